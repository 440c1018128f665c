#include <ctime>
#include <memory>
#include <string>
#include <unistd.h>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <boost/filesystem.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include "AppTestUtils.h"
#include "AppUtils/AppConfig.h"
#include "AppUtils/AppPaths.h"
#include "AppUtils/LogSetup.h"
#include "YrLogV2/Log.h"
#include "YrLogV2/LogOutput.h"

namespace
{

namespace fs = boost::filesystem;
using ::testing::HasSubstr;

class LogSetupTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_exe = m_dir.filePath("app/host");
        AppTest::WriteBytes(m_exe, "x");
        m_paths = std::make_unique<AppUtils::AppPaths>(
            fs::path(m_exe.toStdString()), AppUtils::SarvikAppMode::VdiModule,
            SarvikAppSetup::VdiMode::VMware, fs::path(m_exe.toStdString()),
            fs::path(m_dir.filePath("data").toStdString()));
    }

    void TearDown() override { YrLogV2::LogRoot::Instance().SetLevels(YrLogV2::c_defaultLevel, {}); }

    std::unique_ptr<AppUtils::AppConfig> Config(const QString& text)
    {
        const QString path = m_dir.filePath("app/config.ini");
        AppTest::WriteBytes(path, AppTest::To1251(text));
        return std::make_unique<AppUtils::AppConfig>(path);
    }

    QStringList LogFiles(const QString& folder) const
    {
        return QDir(folder).entryList(QStringList() << "log_*.log", QDir::Files, QDir::Name);
    }

    QTemporaryDir m_dir;
    QString m_exe;
    std::unique_ptr<AppUtils::AppPaths> m_paths;
};

} // namespace

TEST_F(LogSetupTest, WritesANamedFileInTheConfiguredFolderWhileItLives)
{
    const QString folder = m_dir.filePath("logs here");
    auto cfg = Config("LogFolder = " + folder + "\n");
    YrLogV2::Log log(YrLogV2::LogRoot::RootLog(), "LogSetupTestNode");

    auto setup = AppUtils::SetupLogFromConfig(*cfg, *m_paths);
    EXPECT_EQ(folder.toStdString(), setup->LogFolder().string());
    const QStringList files = LogFiles(folder);
    ASSERT_EQ(1, files.size());
    EXPECT_EQ(folder + "/" + files[0], setup->LogFilePath());
    const QRegularExpression name(QString("^log_\\d{6}_\\d{6}_pid%1\\.log$").arg(getpid()));
    EXPECT_TRUE(name.match(files[0]).hasMatch()) << files[0].toStdString();

    log.Add(YrLogV2::Info, "while set up {}", 1);
    setup.reset();
    log.Add(YrLogV2::Info, "after set-up {}", 2);

    const std::vector<std::string> lines = AppTest::ReadLines(folder + "/" + files[0]);
    EXPECT_NE(-1, AppTest::FindLine(lines, "LogSetupTestNode: while set up 1"));
    EXPECT_EQ(-1, AppTest::FindLine(lines, "after set-up 2"));
    EXPECT_NE(-1, AppTest::FindLine(lines, "Build: "));
}

TEST_F(LogSetupTest, AppliesTheConfiguredLevels)
{
    auto cfg =
        Config("LogLevel = 5\nLogLevels = LogSetupTestLoud = 8\nLogFolder = " + m_dir.filePath("lv") + "\n");
    YrLogV2::Log quiet(YrLogV2::LogRoot::RootLog(), "LogSetupTestQuiet");
    YrLogV2::Log loud(YrLogV2::LogRoot::RootLog(), "LogSetupTestLoud");
    auto setup = AppUtils::SetupLogFromConfig(*cfg, *m_paths);
    EXPECT_FALSE(quiet.Active(YrLogV2::Info));
    EXPECT_TRUE(quiet.Active(YrLogV2::Warning));
    EXPECT_TRUE(loud.Active(YrLogV2::LogTrace));

    quiet.Add(YrLogV2::Info, "quiet info");
    quiet.Add(YrLogV2::Warning, "quiet warning");
    loud.Add(YrLogV2::LogTrace, "loud trace");
    const QString path = setup->LogFilePath();
    setup.reset(); // writes the buffered records out
    const std::vector<std::string> lines = AppTest::ReadLines(path);
    EXPECT_EQ(-1, AppTest::FindLine(lines, "quiet info"));
    EXPECT_NE(-1, AppTest::FindLine(lines, "quiet warning"));
    EXPECT_NE(-1, AppTest::FindLine(lines, "loud trace"));
}

TEST_F(LogSetupTest, FolderDefaultsToTheModesAndARelativeOneLiesBelowTheApplication)
{
    {
        auto cfg = Config("");
        auto setup = AppUtils::SetupLogFromConfig(*cfg, *m_paths);
        EXPECT_EQ(m_paths->LogFolder(), setup->LogFolder());
        EXPECT_EQ(m_dir.filePath("data/YrAppVdiModule/VMware/Logs").toStdString(),
                  setup->LogFolder().string());
        EXPECT_EQ(1, LogFiles(m_dir.filePath("data/YrAppVdiModule/VMware/Logs")).size());
    }
    {
        auto cfg = Config(QString::fromUtf8("LogFolder = Журналы\n"));
        auto setup = AppUtils::SetupLogFromConfig(*cfg, *m_paths);
        EXPECT_EQ(m_dir.filePath("app/Журналы").toStdString(), setup->LogFolder().string());
        EXPECT_EQ(1, LogFiles(m_dir.filePath("app/Журналы")).size());
    }
}

TEST_F(LogSetupTest, KeepsTheNewestLogFilesAndLeavesOtherFilesAlone)
{
    const QString folder = m_dir.filePath("old");
    for (int i = 0; i < 35; ++i)
    {
        const QString p = folder + QString("/log_200101_0000%1_pid1.log").arg(i, 2, 10, QChar('0'));
        AppTest::WriteBytes(p, "old");
        fs::last_write_time(fs::path(p.toStdString()), std::time(nullptr) - 1000 + i);
    }
    AppTest::WriteBytes(folder + "/notes.txt", "mine");
    fs::last_write_time(fs::path((folder + "/notes.txt").toStdString()), std::time(nullptr) - 5000);

    auto cfg = Config("LogFolder = " + folder + "\n");
    auto setup = AppUtils::SetupLogFromConfig(*cfg, *m_paths);
    const QStringList files = LogFiles(folder);
    EXPECT_EQ(AppUtils::LogSetupInfo::c_keepLogFiles, files.size());
    EXPECT_TRUE(files.contains(QFileInfo(setup->LogFilePath()).fileName()));
    EXPECT_FALSE(files.contains("log_200101_000000_pid1.log"));
    EXPECT_TRUE(files.contains("log_200101_000034_pid1.log"));
    EXPECT_TRUE(QFileInfo::exists(folder + "/notes.txt"));
}

TEST_F(LogSetupTest, NoOutputsWhenTheConfigurationWantsNone)
{
    const QString folder = m_dir.filePath("none");
    auto cfg = Config("LogToFile = 0\nLogFolder = " + folder + "\n");
    auto setup = AppUtils::SetupLogFromConfig(*cfg, *m_paths);
    EXPECT_TRUE(setup->LogFilePath().isEmpty());
    EXPECT_FALSE(QFileInfo::exists(folder));
}

TEST_F(LogSetupTest, AFolderThatCannotBeMadeLeavesTheApplicationWithoutAFile)
{
    auto out = std::make_shared<YrLogV2::MemoryOutput>();
    auto link = YrLogV2::LogRoot::Instance().AttachOutput(out);
    out->Clear();

    AppTest::WriteBytes(m_dir.filePath("blocker"), "file, not a folder");
    auto cfg = Config("LogFolder = " + m_dir.filePath("blocker/logs") + "\n");
    ::testing::internal::CaptureStderr();
    auto setup = AppUtils::SetupLogFromConfig(*cfg, *m_paths);
    const QString err = QString::fromStdString(::testing::internal::GetCapturedStderr());
    EXPECT_EQ(1, err.count("YrLogV2: log file '" + m_dir.filePath("blocker/logs/log_"))) << err.toStdString();
    EXPECT_TRUE(setup->LogFilePath().isEmpty());
    const std::vector<std::string> texts = out->Texts("root");
    EXPECT_NE(-1, AppTest::FindLine(texts, "Log file can't be created in '" +
                                               m_dir.filePath("blocker/logs").toStdString()));
}
