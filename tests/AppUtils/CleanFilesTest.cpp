#include <ctime>
#include <set>
#include <string>
#include <unistd.h>
#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include "AppTestUtils.h"
#include "AppUtils/CleanFiles.h"

namespace
{

namespace fs = boost::filesystem;

class CleanFilesTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_root = fs::path(m_dir.path().toStdString());
    }

    // A file of size bytes, modified age seconds before a fixed moment.
    void Make(const std::string& rel, int ageSec, size_t size = 10)
    {
        const fs::path p = m_root / rel;
        fs::create_directories(p.parent_path());
        AppTest::WriteBytes(QString::fromStdString(p.string()), QByteArray(int(size), 'x'));
        fs::last_write_time(p, c_now - ageSec);
    }

    std::set<std::string> Left() const
    {
        std::set<std::string> res;
        for (fs::recursive_directory_iterator i(m_root), e; i != e; ++i)
        {
            if (fs::is_regular_file(i->symlink_status()))
                res.insert(fs::relative(i->path(), m_root).string());
        }
        return res;
    }

    AppUtils::CleanFilesRule Rule(int cnt, int mb) const
    {
        AppUtils::CleanFilesRule r;
        r.path = m_root;
        r.max_cnt = cnt;
        r.max_size_mb = mb;
        return r;
    }

    static constexpr std::time_t c_now = 1700000000;
    QTemporaryDir m_dir;
    fs::path m_root;
};

} // namespace

TEST_F(CleanFilesTest, RemovesTheOldestFilesOfEverySubfolderDownToTheCount)
{
    Make("a.log", 50);
    Make("1.0.0.1/crash-1.crash", 40);
    Make("1.0.0.1/crash-1.dmp", 30);
    Make("1.0.0.2/deep/x.txt", 20);
    Make("b.log", 10);
    EXPECT_EQ(3, AppUtils::CleanFiles(Rule(2, 20)));
    EXPECT_EQ((std::set<std::string>{"1.0.0.2/deep/x.txt", "b.log"}), Left());
    // Already within the limits: nothing more goes.
    EXPECT_EQ(0, AppUtils::CleanFiles(Rule(2, 20)));
}

TEST_F(CleanFilesTest, RemovesTheOldestFilesDownToTheSize)
{
    const size_t mb = 1 << 20;
    Make("old.bin", 30, mb);
    Make("mid.bin", 20, mb / 2);
    Make("new.bin", 10, mb / 2);
    EXPECT_EQ(1, AppUtils::CleanFiles(Rule(100, 1)));
    EXPECT_EQ((std::set<std::string>{"mid.bin", "new.bin"}), Left()); // exactly 1 MiB is allowed
    EXPECT_EQ(2, AppUtils::CleanFiles(Rule(100, 0)));
    EXPECT_TRUE(Left().empty());
}

TEST_F(CleanFilesTest, MaskAndSkipPatternsChooseTheFilesByWholeName)
{
    Make("log_1.log", 50);
    Make("log_2.log", 40);
    Make("log_3.log.bak", 30);
    Make("keep.log", 60);
    Make("sub/log_4.log", 20);
    AppUtils::CleanFilesRule r = Rule(1, 20);
    r.regexp_mask = "log_.*\\.log";
    r.regexp_skip = "log_2\\..*";
    EXPECT_EQ(1, AppUtils::CleanFiles(r));
    EXPECT_EQ((std::set<std::string>{"keep.log", "log_2.log", "log_3.log.bak", "sub/log_4.log"}), Left());
}

TEST_F(CleanFilesTest, NegativeLimitsMeanNoLimit)
{
    Make("a", 2);
    Make("b", 1);
    EXPECT_EQ(0, AppUtils::CleanFiles(Rule(-1, -1)));
    EXPECT_EQ(1, AppUtils::CleanFiles(Rule(1, -1)));
    EXPECT_EQ(1u, Left().size());
}

TEST_F(CleanFilesTest, MissingFolderGivesZeroAndUnusableInputsGiveMinusOne)
{
    AppUtils::CleanFilesRule r = Rule(0, 0);
    r.path = m_root / "none";
    EXPECT_EQ(0, AppUtils::CleanFiles(r));

    Make("file", 1);
    r.path = m_root / "file";
    EXPECT_EQ(-1, AppUtils::CleanFiles(r));

    r = Rule(0, 0);
    r.regexp_mask = "([";
    EXPECT_EQ(-1, AppUtils::CleanFiles(r));
    EXPECT_EQ(1u, Left().size());
}

TEST_F(CleanFilesTest, SymbolicLinksAreNeitherFollowedNorRemoved)
{
    QTemporaryDir outside;
    ASSERT_TRUE(outside.isValid());
    const fs::path target(outside.path().toStdString());
    AppTest::WriteBytes(QString::fromStdString((target / "precious").string()), "x");
    fs::create_directory_symlink(target, m_root / "linkdir");
    fs::create_symlink(target / "precious", m_root / "linkfile");
    Make("own", 5);

    EXPECT_EQ(1, AppUtils::CleanFiles(Rule(0, 0)));
    EXPECT_TRUE(fs::exists(target / "precious"));
    EXPECT_TRUE(fs::is_symlink(m_root / "linkfile"));
}

TEST_F(CleanFilesTest, AFileThatCannotBeRemovedIsSkippedAndNotCounted)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not stop root";
    Make("locked/old", 30);
    Make("mid", 20);
    Make("new", 10);
    fs::permissions(m_root / "locked", fs::owner_read | fs::owner_exe);
    const int removed = AppUtils::CleanFiles(Rule(1, 20));
    fs::permissions(m_root / "locked", fs::owner_all);
    // "old" stays; "mid" goes; the newest is kept although two files are left.
    EXPECT_EQ(1, removed);
    EXPECT_EQ((std::set<std::string>{"locked/old", "new"}), Left());
}

TEST_F(CleanFilesTest, APatternTooComplexToMatchGivesMinusOneAndRemovesNothing)
{
    // boost refuses this match (exponential backtracking) by throwing; CleanFiles must not.
    Make(std::string(200, 'a'), 20);
    Make("other", 10);
    AppUtils::CleanFilesRule r = Rule(0, 0);
    r.regexp_mask = "(a*)*b";
    EXPECT_EQ(-1, AppUtils::CleanFiles(r));
    r.regexp_mask.clear();
    r.regexp_skip = "(a*)*b";
    EXPECT_EQ(-1, AppUtils::CleanFiles(r));
    EXPECT_EQ(2u, Left().size());
}
