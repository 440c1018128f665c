#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <chrono>
#include <functional>
#include <thread>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <boost/filesystem.hpp>
#include <QString>
#include "Utils/DebugLog.h"
#include "Utils/FdTextWriter.h"
#include "Utils/FileSystem.h"
#include "Utils/TextFile.h"

namespace fs = boost::filesystem;

namespace
{

class TempDir
{
public:
    TempDir()
    {
        char tmpl[] = "/tmp/yr_textfile_XXXXXX";
        const char* p = mkdtemp(tmpl);
        m_path = p ? p : "";
    }
    ~TempDir()
    {
        boost::system::error_code ec;
        fs::remove_all(m_path, ec);
    }
    fs::path operator/(const std::string& name) const { return m_path / name; }
    const fs::path& Path() const { return m_path; }

private:
    fs::path m_path;
};

std::string ReadBytes(const fs::path& p)
{
    std::ifstream in(p.string(), std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

QString Q(const fs::path& p)
{
    return QString::fromStdString(p.string());
}

const std::string c_bom = "\xEF\xBB\xBF";

TEST(TextFileTest, NewFileGetsOneByteOrderMark)
{
    TempDir dir;
    const fs::path file = dir / "a.txt";
    {
        Utils::TextFileWriter w(Q(file), true, true, false, "UTF-8");
        w.WriteLine("one");
    }
    {
        Utils::TextFileWriter w(Q(file), true, false, false, "utf-8");
        w.WriteLine(QString::fromUtf8("два"));
    }
    EXPECT_EQ(c_bom + "one\n" + "два\n", ReadBytes(file));
}

TEST(TextFileTest, WithoutAppendTheFileStartsAfresh)
{
    TempDir dir;
    const fs::path file = dir / "b.txt";
    {
        Utils::TextFileWriter w(Q(file), false, true, false, "UTF-8");
        w.WriteLine("old");
    }
    {
        Utils::TextFileWriter w(Q(file), false, true, false, "UTF-8");
        w.WriteLine("new");
    }
    // The file existed at the second open: truncated, and no mark written again.
    EXPECT_EQ("new\n", ReadBytes(file));
}

TEST(TextFileTest, FlushMakesEachLineVisibleAtOnce)
{
    TempDir dir;
    const fs::path file = dir / "c.txt";
    Utils::TextFileWriter w(Q(file), false, true, false, "UTF-8");
    w.WriteLine("x");
    EXPECT_EQ(c_bom + "x\n", ReadBytes(file));
}

TEST(TextFileTest, TimePrefix)
{
    TempDir dir;
    const fs::path file = dir / "d.txt";
    {
        Utils::TextFileWriter w(Q(file), false, true, true, "");
        w.WriteLine("text");
    }
    const std::string s = ReadBytes(file);
    // Day without a leading zero, two-digit month, 24-hour time.
    EXPECT_TRUE(std::regex_match(
        s, std::regex(c_bom + "[1-9][0-9]?\\.[01][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9]: text\n")))
        << s;
}

TEST(TextFileTest, NamedCodecEncodesTheText)
{
    TempDir dir;
    const fs::path file = dir / "e.txt";
    {
        Utils::TextFileWriter w(Q(file), false, true, false, "Windows-1251");
        w.WriteLine(QString::fromUtf8("Привет"));
    }
    EXPECT_EQ("\xCF\xF0\xE8\xE2\xE5\xF2\n", ReadBytes(file));
}

TEST(TextFileTest, Failures)
{
    TempDir dir;
    try
    {
        Utils::TextFileWriter w(Q(dir / "f.txt"), false, true, false, "xyz");
        FAIL() << "no exception";
    }
    catch (const Utils::TextFileWriter::Error& e)
    {
        EXPECT_EQ(L"Bad codec xyz", e.Message());
    }

    try
    {
        Utils::TextFileWriter w(Q(dir.Path()), false, true, false, "UTF-8");
        FAIL() << "no exception";
    }
    catch (const Utils::TextFileWriter::Error& e)
    {
        EXPECT_EQ(L"Can't open file " + dir.Path().wstring(), e.Message());
    }
}

// The halt path's writer leaves the bytes of the Qt writer with "utf-8", in a new file and in one
// that exists.
TEST(FdTextWriterTest, WritesTheBytesOfTheQtWriter)
{
    TempDir dir;
    const std::wstring lines[] = {L"[cr-section-text]\r", L"Привет, 世界 \U0001F600\r\n next\r", L"", L"\r"};
    for (int round = 0; round < 2; ++round)
    {
        {
            Utils::TextFileWriter qt(Q(dir / "qt.txt"), false, false, false, "utf-8");
            Utils::FdTextWriter fd((dir / "fd.txt").string(), false);
            for (const std::wstring& line : lines)
            {
                qt.WriteLine(QString::fromStdWString(line));
                fd.WriteLine(line);
            }
        }
        EXPECT_EQ(ReadBytes(dir / "qt.txt"), ReadBytes(dir / "fd.txt")) << round;
    }
}

TEST(FdTextWriterTest, TimePrefixAndNonCharacters)
{
    TempDir dir;
    const fs::path file = dir / "t.txt";
    {
        Utils::FdTextWriter w(file.string(), true);
        w.WriteLine({L'a', wchar_t(0xD800), wchar_t(0x110000), L'b'});
    }
    const std::string s = ReadBytes(file);
    EXPECT_TRUE(
        std::regex_match(s, std::regex(c_bom + "[1-9][0-9]?\\.[01][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9]: "
                                               "a\xEF\xBF\xBD\xEF\xBF\xBD"
                                               "b\n")))
        << s;
}

// Failures are returned, not thrown: the halt path must not run the error core. After one
// nothing more is written.
TEST(FdTextWriterTest, Failures)
{
    TempDir dir;
    Utils::FdTextWriter folder(dir.Path().string(), false);
    EXPECT_EQ("Can't open file " + dir.Path().string(), folder.Error());
    EXPECT_FALSE(folder.WriteLine(L"lost"));

    Utils::FdTextWriter full("/dev/full", false);
    EXPECT_EQ("", full.Error());
    EXPECT_FALSE(full.WriteLine(L"lost"));
    EXPECT_EQ("Can't write file /dev/full: No space left on device", full.Error());
}

TEST(FileSystemTest, EnsureDirExists)
{
    TempDir dir;
    EXPECT_FALSE(Utils::EnsureDirExists(fs::path()));

    const fs::path nested = dir / "x/y/z";
    EXPECT_TRUE(Utils::EnsureDirExists(nested));
    EXPECT_TRUE(fs::is_directory(nested));
    EXPECT_TRUE(Utils::EnsureDirExists(nested));

    const fs::path file = dir / "regular";
    std::ofstream(file.string()) << "data";
    EXPECT_TRUE(Utils::EnsureDirExists(file));
    EXPECT_TRUE(fs::is_regular_file(file));
    EXPECT_FALSE(Utils::EnsureDirExists(file / "sub"));
}

TEST(FileSystemTest, FreeSpace)
{
    TempDir dir;
    const boost::optional<uint64_t> free = Utils::GetDiskFreeSpace(dir.Path());
    ASSERT_TRUE(free);
    EXPECT_GT(*free, 0u);
    EXPECT_FALSE(Utils::GetDiskFreeSpace(dir / "missing"));

    EXPECT_FALSE(Utils::IsDiskSpaceLow(dir.Path(), 0));
    // More KiB than any volume has.
    EXPECT_TRUE(Utils::IsDiskSpaceLow(dir.Path(), uint64_t(1) << 50));
    // A failed query is not "low".
    EXPECT_FALSE(Utils::IsDiskSpaceLow(dir / "missing", uint64_t(1) << 50));
}

TEST(FileSystemTest, PathExistsAndRemoveFile)
{
    TempDir dir;
    const fs::path file = dir / "f";
    EXPECT_FALSE(Utils::PathExists(file));
    EXPECT_TRUE(Utils::RemoveFile(file)); // nothing to remove is no error

    std::ofstream(file.string()) << "data";
    EXPECT_TRUE(Utils::PathExists(file));
    EXPECT_TRUE(Utils::PathExists(dir.Path()));
    std::wstring err = L"untouched";
    EXPECT_TRUE(Utils::RemoveFile(file, &err));
    EXPECT_EQ(L"untouched", err);
    EXPECT_FALSE(Utils::PathExists(file));

    const fs::path full = dir / "full";
    fs::create_directories(full / "inner");
    EXPECT_FALSE(Utils::RemoveFile(full));
    EXPECT_FALSE(Utils::RemoveFile(full, &err));
    EXPECT_EQ(L"Can't delete file: " + full.wstring() + L" // Directory not empty", err);
    EXPECT_TRUE(Utils::PathExists(full));
}

TEST(FileSystemDeathTest, RemoveFileWithEmptyPathHalts)
{
    EXPECT_EXIT(Utils::RemoveFile(fs::path()), ::testing::ExitedWithCode(3), "!filePath.empty\\(\\)");
}

// The debug log keeps process-wide state that changes once: each case runs in a forked child
// (not a re-executed one: the child must see the folder this test made). Gives the exit code.
int RunForked(const std::function<int()>& body)
{
    const pid_t pid = fork();
    if (pid == 0)
    {
        _exit(body());
    }
    for (int i = 0; i < 2000; ++i)
    {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
        {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -2; // hung
}

class DebugLogTest : public ::testing::Test
{
protected:
    // The file the child writes with TMPDIR set to folder.
    static fs::path LogFile(const fs::path& folder) { return folder / "debug_log_test_Utils.txt"; }

    static void UseTempFolder(const fs::path& folder) { setenv("TMPDIR", folder.string().c_str(), 1); }

    TempDir m_dir;
};

TEST_F(DebugLogTest, WritesToTheTempFolderWithAndWithoutTime)
{
    const fs::path folder = m_dir.Path();
    EXPECT_EQ(0, RunForked(
                     [&]
                     {
                         UseTempFolder(folder);
                         Utils::DebugLogFile::Write(L"plain", false);
                         Utils::DebugLogFile::Write(L"timed", true);
                         return 0;
                     }));
    const std::string s = ReadBytes(LogFile(folder));
    EXPECT_TRUE(std::regex_match(
        s,
        std::regex(c_bom + "plain\n[0-9]{4}-[01][0-9]-[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9]: timed\n")))
        << s;
}

TEST_F(DebugLogTest, FailedOpenIsNeverRetried)
{
    const fs::path folder = m_dir / "later";
    EXPECT_EQ(0, RunForked(
                     [&]
                     {
                         UseTempFolder(folder);
                         Utils::DebugLogFile::Write(L"lost", false);
                         fs::create_directories(folder);
                         Utils::DebugLogFile::Write(L"lost too", false);
                         return 0;
                     }));
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_FALSE(fs::exists(LogFile(folder)));
}

TEST_F(DebugLogTest, RedirectTakesEverythingWithoutTime)
{
    const fs::path folder = m_dir.Path();
    const std::string sink = (folder / "sink.txt").string();
    EXPECT_EQ(0, RunForked(
                     [&]
                     {
                         UseTempFolder(folder);
                         Utils::DebugLogFile::Write(L"to file", false);
                         Utils::DebugLogFile::SetRedirect(
                             [&](const std::wstring& t)
                             { std::ofstream(sink, std::ios::app) << "first<" << t.size() << ">\n"; });
                         Utils::DebugLogFile::SetRedirect(
                             [&](const std::wstring& t) {
                                 std::ofstream(sink, std::ios::app)
                                     << "R<" << std::string(t.begin(), t.end()) << ">\n";
                             });
                         Utils::DebugLogFile::Write(L"redirected", true);
                         Utils::DebugLogFile::Write(L"again", false);
                         return 0;
                     }));
    EXPECT_EQ("R<redirected>\nR<again>\n", ReadBytes(sink));
    EXPECT_EQ(c_bom + "to file\n", ReadBytes(LogFile(folder)));
}

TEST_F(DebugLogTest, RedirectThatWritesToTheDebugLogDoesNotDeadlock)
{
    const fs::path folder = m_dir.Path();
    EXPECT_EQ(0, RunForked(
                     [&]
                     {
                         UseTempFolder(folder);
                         Utils::DebugLogFile::SetRedirect(
                             [](const std::wstring& t)
                             { Utils::DebugLogFile::Write(L"nested " + t, false); });
                         Utils::DebugLogFile::Write(L"outer", false);
                         return 0;
                     }));
    EXPECT_EQ(c_bom + "nested outer\n", ReadBytes(LogFile(folder)));
}

TEST_F(DebugLogTest, ConcurrentWritersKeepWholeLines)
{
    const fs::path folder = m_dir.Path();
    EXPECT_EQ(0, RunForked(
                     [&]
                     {
                         UseTempFolder(folder);
                         std::vector<std::thread> threads;
                         for (int t = 0; t < 4; ++t)
                         {
                             threads.emplace_back(
                                 [t]
                                 {
                                     for (int i = 0; i < 50; ++i)
                                     {
                                         Utils::DebugLogFile::Write(
                                             L"thread " + std::to_wstring(t) + L" line", false);
                                     }
                                 });
                         }
                         for (std::thread& th : threads)
                         {
                             th.join();
                         }
                         return 0;
                     }));
    std::istringstream in(ReadBytes(LogFile(folder)).substr(c_bom.size()));
    std::string line;
    int count = 0;
    while (std::getline(in, line))
    {
        EXPECT_TRUE(std::regex_match(line, std::regex("thread [0-3] line"))) << line;
        ++count;
    }
    EXPECT_EQ(200, count);
}

TEST(DebugLogDeathTest, EmptyRedirectHalts)
{
    EXPECT_EXIT(Utils::DebugLogFile::SetRedirect(boost::function<void(const std::wstring&)>()),
                ::testing::ExitedWithCode(3), "\n>>>\nfn\n<<<\n");
}

} // namespace
