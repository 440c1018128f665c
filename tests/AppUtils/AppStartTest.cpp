// Start-up is once per process, so every scenario runs in a child process of its own (a death test
// that is expected to live); the parent looks at what the child left on disk.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <dirent.h>
#include <unistd.h>
#include <QDir>
#include <QMutex>
#include <QDirIterator>
#include <QRegularExpression>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include "common/ChildChecks.h"
#include "AppTestUtils.h"
#include "AppUtils/AppConfig.h"
#include "AppUtils/AppStart.h"
#include "AppUtils/LogAbnormalExit.h"
#include "AppUtils/LogSetup.h"
#include "ESS/Assert.h"
#include "Platform/SecurityToken.h"
#include "Platform/Thread.h"
#include "SarvikAppSetup/AppSetup.h"
#include "Utils/IniFile.h"
#include "Utils/QtMsgHandler.h"
#include "Utils/StringUtils.h"
#include "Utils/ThreadsInfo.h"
#include "YrLogV2/Log.h"
#include "YrLogV2/LogOutput.h"
#include "iCore/ThreadRunnerFunc.h"

namespace
{

const char* const c_dirVar = "YR_APPSTART_TEST_DIR";

// The kernel ids of the process's threads.
std::set<std::string> Tasks()
{
    std::set<std::string> res;
    DIR* d = opendir("/proc/self/task");
    if (d == nullptr)
        return res;
    while (dirent* e = readdir(d))
    {
        if (e->d_name[0] != '.')
            res.insert(e->d_name);
    }
    closedir(d);
    return res;
}

// The folder shared by the parent and its child: the parent makes it and names it in the
// environment, the child (which runs the test from its start again) finds it there. Data and
// temporary files of the child stay inside it.
class ScenarioTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const char* shared = std::getenv(c_dirVar);
        if (shared != nullptr)
        {
            m_root = shared;
        }
        else
        {
            m_tmp = std::make_unique<QTemporaryDir>();
            ASSERT_TRUE(m_tmp->isValid());
            m_root = m_tmp->path().toStdString();
            setenv(c_dirVar, m_root.c_str(), 1);
            QDir().mkpath(QString::fromStdString(Path("tmp")));
            SaveEnv("XDG_DATA_HOME", Path("data"));
            SaveEnv("TMPDIR", Path("tmp"));
        }
        m_exe = Path("app/host");
        AppTest::WriteBytes(QString::fromStdString(m_exe), "not really a program");
    }

    void TearDown() override
    {
        if (m_tmp)
        {
            unsetenv(c_dirVar);
            for (const auto& v : m_saved)
            {
                if (v.second.first)
                    setenv(v.first.c_str(), v.second.second.c_str(), 1);
                else
                    unsetenv(v.first.c_str());
            }
        }
    }

    std::string Path(const std::string& rel) const { return m_root + "/" + rel; }

    void WriteConfig(const QString& text)
    {
        AppTest::WriteBytes(QString::fromStdString(Path("app/config.ini")), AppTest::To1251(text));
    }

    // The only log file below the folder.
    QString FindLogFile(const std::string& folder) const
    {
        QStringList found;
        QDirIterator it(QString::fromStdString(folder), QStringList() << "log_*.log", QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            found << it.next();
        return found.size() == 1 ? found[0] : QString();
    }

    SarvikAppSetup::AppSetupParams Params() const
    {
        return SarvikAppSetup::AppSetupParams(L"config.ini", L"", L"", AppUtils::SarvikAppMode::VdiModule,
                                              SarvikAppSetup::VdiMode::VMware,
                                              boost::filesystem::path(m_exe));
    }

    std::unique_ptr<Utils::IVirtualDestroy> Start()
    {
        m_argv0 = m_exe;
        m_arg1 = "first arg";
        char* argv[] = {&m_argv0[0], &m_arg1[0], nullptr};
        return AppStartWithAsyncDest(2, argv);
    }

    std::string m_root;
    std::string m_exe;

private:
    void SaveEnv(const std::string& name, const std::string& value)
    {
        const char* old = std::getenv(name.c_str());
        m_saved.emplace_back(name, std::make_pair(old != nullptr, old ? std::string(old) : std::string()));
        setenv(name.c_str(), value.c_str(), 1);
    }

    std::unique_ptr<QTemporaryDir> m_tmp;
    std::vector<std::pair<std::string, std::pair<bool, std::string>>> m_saved;
    std::string m_argv0;
    std::string m_arg1;
};

using TestUtils::Checks;

std::atomic<int> g_childPrevCalls{0};
void ChildPrevHandler(QtMsgType, const QMessageLogContext&, const QString&)
{
    ++g_childPrevCalls;
}

// Waits, bounded, until the other thread has reached the stage.
bool WaitStage(const std::atomic<int>& stage, int value)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (stage.load() != value)
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

void WriteText(const std::string& path, const std::string& text)
{
    AppTest::WriteBytes(QString::fromStdString(path), QByteArray::fromStdString(text));
}

} // namespace

class AppStartScenarioTest : public ScenarioTest
{
protected:
    [[noreturn]] void FullRun()
    {
        Checks c;
        const std::set<std::string> threadsBefore = Tasks();
        qInstallMessageHandler(&ChildPrevHandler);

        YrLogV2::Log log(YrLogV2::LogRoot::RootLog(), "ScenarioNode");
        log.Add(YrLogV2::Info, "record 1 before start");
        std::unique_ptr<Utils::IVirtualDestroy> app = Start();
        c.Expect(std::string(std::getenv("QT_BEARER_POLL_TIMEOUT") ? std::getenv("QT_BEARER_POLL_TIMEOUT")
                                                                   : "") == "-1",
                 "QT_BEARER_POLL_TIMEOUT");
        log.Add(YrLogV2::Info, "record 2 after start");
        qWarning("qt says %d", 5);
        c.Expect(g_childPrevCalls == 0, "a Qt message passed the hook");

        Utils::ThreadsInfo::Instance();
        SarvikAppSetup::AppSetupInstanceSet(Params());
        try
        {
            ESS_THROW_MSG(ESS::Exception, L"scenario exception");
        }
        catch (const ESS::Exception&)
        {
        }
        {
            iCore::ThreadRunnerFunc worker(
                iCore::ThreadRunnerFuncProfile(0, "ScenarioWorker", 2, 0, 0, false),
                [&](iCore::MsgThread&) { log.Add(YrLogV2::Info, "record 3 in worker"); });
        }

        const AppUtils::AppConfig& cfg = AppUtils::AppConfigInstance();
        c.Expect(cfg.GetRawValue("Custom").value_or("") == "\xC4\xE0", "raw Cyrillic value");
        c.Expect(cfg.m_doCrashJSON.Value() == L"Да", "typed Cyrillic value");
        std::unique_ptr<AppUtils::LogSetupInfo> logSetup =
            AppUtils::SetupLogFromConfig(cfg, SarvikAppSetup::AppSetupInstance().GetPaths());
        log.Add(YrLogV2::Info, "record 4 after set-up");
        WriteText(Path("logpath.txt"), logSetup->LogFilePath().toStdString());
        WriteText(Path("pid.txt"), std::to_string(getpid()));

        logSetup.reset();
        app.reset();

        // Both hooks are gone: Qt has its previous handler back, exceptions are not logged.
        qWarning("after the application");
        c.Expect(g_childPrevCalls == 1, "the previous Qt handler is not back");
        auto out = std::make_shared<YrLogV2::MemoryOutput>();
        auto link = YrLogV2::LogRoot::Instance().AttachOutput(out);
        try
        {
            ESS_THROW_MSG(ESS::Exception, L"late exception");
        }
        catch (const ESS::Exception&)
        {
        }
        c.Expect(AppTest::FindLine(out->Lines(), "late exception") == -1,
                 "the exception hook is still there");
        link.reset();

        // A joined thread leaves /proc shortly after its join returns: wait for that, bounded.
        std::set<std::string> extra;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline)
        {
            extra.clear();
            for (const std::string& t : Tasks())
            {
                if (threadsBefore.count(t) == 0)
                    extra.insert(t);
            }
            if (extra.empty())
                break;
            Platform::SleepMs(1);
        }
        for (const std::string& t : extra)
            c.Expect(false, "thread " + t + " still runs");
        c.Exit();
    }

    [[noreturn]] void MalformedRun()
    {
        Checks c;
        auto out = std::make_shared<YrLogV2::MemoryOutput>();
        auto link = YrLogV2::LogRoot::Instance().AttachOutput(out);
        std::unique_ptr<Utils::IVirtualDestroy> app = Start();
        std::string error = "none";
        try
        {
            SarvikAppSetup::AppSetupInstanceSet(Params());
        }
        catch (const Utils::IniFileParseError& e)
        {
            error = Utils::WStringToStdString(e.Message());
        }
        c.Expect(error == "Sections not allowed at 1; data: [Main]", "error: " + error);
        c.Expect(!SarvikAppSetup::AppSetupInstanceExists(), "a half set-up is left");
        c.Expect(!AppUtils::AppConfigInstanceExists(), "a configuration is left");
        // Logged where it was raised, even though it was caught.
        c.Expect(AppTest::FindLine(out->Lines(), "Exception: ") != -1 &&
                     AppTest::FindLine(out->Lines(), "Sections not allowed at 1") != -1,
                 "the exception is not in the log");
        c.Exit();
    }

    [[noreturn]] void HaltRun(bool withRecorder)
    {
        std::unique_ptr<Utils::IVirtualDestroy> app = Start();
        if (withRecorder)
            new AppUtils::LogAbnormalExit("module_last_abnormal_exit.txt"); // held for the process's life
        ESS_HALT("scenario halt");
    }
};

TEST_F(AppStartScenarioTest, LogsEveryRecordInOrderIntoTheConfiguredFileAndLeavesNoThreadBehind)
{
    WriteConfig(QString::fromUtf8("// Журнал: папка рядом с программой\n"
                                  "LogFolder = Logs\n"
                                  "LogLevel = 7\n"
                                  "Custom = Да\n"
                                  "DoCrashJSON = Да\n"));
    EXPECT_EXIT(FullRun(), ::testing::ExitedWithCode(0), "");
    if (::testing::Test::HasFailure())
        return;

    const QString logPath =
        QString::fromStdString(AppTest::ReadBytes(QString::fromStdString(Path("logpath.txt"))).toStdString());
    const std::string pid = AppTest::ReadBytes(QString::fromStdString(Path("pid.txt"))).toStdString();
    ASSERT_FALSE(logPath.isEmpty());
    EXPECT_EQ(QString::fromStdString(Path("app/Logs")), QFileInfo(logPath).absolutePath());
    const QRegularExpression name(QString::fromStdString("^log_\\d{6}_\\d{6}_pid" + pid + "\\.log$"));
    EXPECT_TRUE(name.match(QFileInfo(logPath).fileName()).hasMatch()) << logPath.toStdString();

    const std::vector<std::string> lines = AppTest::ReadLines(logPath);
    const int r1 = AppTest::FindLine(lines, "ScenarioNode: record 1 before start");
    const int r2 = AppTest::FindLine(lines, "ScenarioNode: record 2 after start");
    const int qt = AppTest::FindLine(lines, "QtMsg: qt says 5");
    const int r3 = AppTest::FindLine(lines, "ScenarioNode: record 3 in worker");
    const int r4 = AppTest::FindLine(lines, "ScenarioNode: record 4 after set-up");
    EXPECT_NE(-1, r1);
    EXPECT_LT(r1, r2);
    EXPECT_LT(r2, qt);
    EXPECT_LT(qt, r3);
    EXPECT_LT(r3, r4);
    ASSERT_NE(-1, qt);
    EXPECT_NE(std::string::npos, lines[size_t(qt)].find("QtWarning"));

    EXPECT_NE(-1, AppTest::FindLine(lines, "UtilsDebugLog: Application start"));
    EXPECT_NE(-1, AppTest::FindLine(lines, "first arg"));
    EXPECT_NE(-1, AppTest::FindLine(lines, "Exception: "));
    EXPECT_NE(-1, AppTest::FindLine(lines, "scenario exception"));
    EXPECT_EQ(-1, AppTest::FindLine(lines, "late exception"));
    EXPECT_NE(-1, AppTest::FindLine(lines, "Threads: startup: Threads: user"));
    const int begin = AppTest::FindLine(lines, "Threads: begin id ");
    EXPECT_NE(-1, begin);
    EXPECT_LT(begin, AppTest::FindLine(lines, "Threads: end id "));
    EXPECT_NE(-1, AppTest::FindLine(lines, "AppConfig: Config file '"));
    EXPECT_NE(-1, AppTest::FindLine(lines, "Log set-up ends"));
}

TEST_F(AppStartScenarioTest, WithoutAConfigurationTheDefaultsLogBelowTheDataRoot)
{
    EXPECT_EXIT(
        {
            std::unique_ptr<Utils::IVirtualDestroy> app = Start();
            SarvikAppSetup::AppSetupInstanceSet(Params());
            auto setup = AppUtils::SetupLogFromConfig(AppUtils::AppConfigInstance(),
                                                      SarvikAppSetup::AppSetupInstance().GetPaths());
            std::exit(AppUtils::AppConfigInstance().FileFound() ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
    // The data root is the user's data folder (XDG_DATA_HOME), or the temporary one for a system account.
    const QString logPath =
        FindLogFile(Utils::WStringToStdString(Platform::GetDataRootPath()) + "/YrAppVdiModule/VMware/Logs");
    EXPECT_THAT(logPath.toStdString(), ::testing::StartsWith(m_root));
    ASSERT_FALSE(logPath.isEmpty());
    const std::vector<std::string> lines = AppTest::ReadLines(logPath);
    const int warning = AppTest::FindLine(lines, "config.ini' not found");
    ASSERT_NE(-1, warning);
    EXPECT_NE(std::string::npos, lines[size_t(warning)].find("Warning"));
}

TEST_F(AppStartScenarioTest, AMalformedConfigurationIsAnErrorThatLeavesNothingSetUp)
{
    WriteConfig("LogLevel = 7\n[Main]\n");
    EXPECT_EXIT(MalformedRun(), ::testing::ExitedWithCode(0), "");
}

TEST_F(AppStartScenarioTest, InDebugModeAHaltIsRecordedNextToTheExecutable)
{
    const std::string record = Path("app/module_last_abnormal_exit.txt");
    AppTest::WriteBytes(QString::fromStdString(Path("app/debug.mode")), "");
    EXPECT_EXIT(HaltRun(true), ::testing::ExitedWithCode(3), "scenario halt");
    const QByteArray first = AppTest::ReadBytes(QString::fromStdString(record));
    const std::vector<std::string> lines = AppTest::ReadLines(QString::fromStdString(record));
    ASSERT_FALSE(lines.empty());
    // A dated line with the description (which has the assertion's full text).
    EXPECT_THAT(lines[0],
                ::testing::MatchesRegex("[0-9]+\\.[0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9]: .+"));
    EXPECT_TRUE(first.contains("scenario halt"));

    // A later abnormal end replaces the record.
    EXPECT_EXIT(HaltRun(true), ::testing::ExitedWithCode(3), "scenario halt");
    const QByteArray second = AppTest::ReadBytes(QString::fromStdString(record));
    EXPECT_EQ(first.count("scenario halt"), second.count("scenario halt"));
}

TEST_F(AppStartScenarioTest, InDebugModeNothingIsWrittenAtStartAndANormalEndKeepsTheLastRecord)
{
    const std::string record = Path("app/module_last_abnormal_exit.txt");
    AppTest::WriteBytes(QString::fromStdString(Path("app/debug.mode")), "");
    WriteText(record, "previous abnormal end\n");
    EXPECT_EXIT(
        {
            std::unique_ptr<Utils::IVirtualDestroy> app = Start();
            AppUtils::LogAbnormalExit* p = new AppUtils::LogAbnormalExit("module_last_abnormal_exit.txt");
            const bool active = p->Active() && p->FilePath() == record;
            const bool untouched =
                AppTest::ReadBytes(QString::fromStdString(record)) == "previous abnormal end\n";
            app.reset();
            _exit(active && untouched ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ("previous abnormal end\n", AppTest::ReadBytes(QString::fromStdString(record)).toStdString());
}

TEST_F(AppStartScenarioTest, ARecordThatCannotBeWrittenIsReportedOnStandardError)
{
    AppTest::WriteBytes(QString::fromStdString(Path("app/debug.mode")), "");
    QDir().mkpath(QString::fromStdString(Path("app/module_last_abnormal_exit.txt")));
    EXPECT_EXIT(HaltRun(true), ::testing::ExitedWithCode(3),
                "LogAbnormalExit: .*module_last_abnormal_exit.txt");
}

TEST_F(AppStartScenarioTest, OutsideDebugModeNothingIsRecorded)
{
    const std::string record = Path("app/module_last_abnormal_exit.txt");
    EXPECT_EXIT(HaltRun(true), ::testing::ExitedWithCode(3), "scenario halt");
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(record)));
}

namespace
{

class QuietError : public ESS::Exception, public ESS::INonTraceable
{
public:
    QuietError(const std::wstring& m, const ESS::CppLocation& l) : ESS::Exception(m, l) {}
};

std::string TagOf(const std::vector<YrLogV2::LogRecord>& records, const std::string& text)
{
    for (const auto& r : records)
    {
        if (r.text.find(text) != std::string::npos)
            return r.node + "/" + r.tag;
    }
    return "none";
}

} // namespace

TEST_F(AppStartScenarioTest, AFatalQtMessageReachesTheLogFileBeforeQtEndsTheProcess)
{
    WriteConfig("LogFolder = Logs\n");
    EXPECT_DEATH(
        {
            std::unique_ptr<Utils::IVirtualDestroy> app = Start();
            SarvikAppSetup::AppSetupInstanceSet(Params());
            std::unique_ptr<AppUtils::LogSetupInfo> logSetup = AppUtils::SetupLogFromConfig(
                AppUtils::AppConfigInstance(), SarvikAppSetup::AppSetupInstance().GetPaths());
            WriteText(Path("logpath.txt"), logSetup->LogFilePath().toStdString());
            qFatal("fatal %s", "one");
        },
        "");
    const QString logPath =
        QString::fromStdString(AppTest::ReadBytes(QString::fromStdString(Path("logpath.txt"))).toStdString());
    ASSERT_FALSE(logPath.isEmpty());
    const std::vector<std::string> lines = AppTest::ReadLines(logPath);
    const int fatal = AppTest::FindLine(lines, "QtMsg: fatal one");
    ASSERT_NE(-1, fatal);
    EXPECT_NE(std::string::npos, lines[size_t(fatal)].find("QtFatal"));
}

TEST_F(AppStartScenarioTest, HooksLogQtMessagesByTypeAndTraceableExceptions)
{
    EXPECT_EXIT(
        {
            Checks c;
            auto out = std::make_shared<YrLogV2::MemoryOutput>();
            auto link = YrLogV2::LogRoot::Instance().AttachOutput(out);
            std::unique_ptr<Utils::IVirtualDestroy> app = Start();
            c.Expect(AppUtils::details::QtMsgTagLevel(QtInfoMsg) == 7, "QtInfo");
            c.Expect(AppUtils::details::QtMsgTagLevel(QtDebugMsg) == 7, "QtDebug");
            c.Expect(AppUtils::details::QtMsgTagLevel(QtWarningMsg) == 5, "QtWarning");
            c.Expect(AppUtils::details::QtMsgTagLevel(QtCriticalMsg) == 2, "QtCritical");
            c.Expect(AppUtils::details::QtMsgTagLevel(QtFatalMsg) == 2, "QtFatal");
            YrLogV2::LogRoot::Instance().SetLevels(8, {});
            qInfo("an info");
            qDebug("a debug");
            qCritical("a critical");
            c.Expect(TagOf(out->Records(), "an info") == "QtMsg/QtInfo",
                     "info: " + TagOf(out->Records(), "an info"));
            c.Expect(TagOf(out->Records(), "a debug") == "QtMsg/QtDebug", "debug");
            c.Expect(TagOf(out->Records(), "a critical") == "QtMsg/QtCritical", "critical");

            try
            {
                ESS_THROW_MSG(QuietError, L"quiet one");
            }
            catch (const ESS::Exception&)
            {
            }
            try
            {
                ESS_THROW_MSG(ESS::Exception, L"loud one");
            }
            catch (const ESS::Exception&)
            {
            }
            c.Expect(TagOf(out->Records(), "quiet one") == "none", "a non-traceable exception was logged");
            c.Expect(TagOf(out->Records(), "loud one") == "root/LogError",
                     "exception: " + TagOf(out->Records(), "loud one"));
            c.Exit();
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(AppStartScenarioTest, AnExceptionRaisedWhileTheLogStaysBusyGoesToStandardError)
{
    EXPECT_EXIT(
        {
            std::unique_ptr<Utils::IVirtualDestroy> app = Start();
            std::atomic<int> stage{0};
            std::thread holder(
                [&]
                {
                    QMutex& m = YrLogV2::LogRoot::Instance().Mutex();
                    m.lock();
                    stage = 1;
                    WaitStage(stage, 2);
                    m.unlock();
                });
            if (!WaitStage(stage, 1))
                _exit(4);
            try
            {
                ESS_THROW_MSG(ESS::Exception, L"while busy");
            }
            catch (const ESS::Exception&)
            {
            }
            stage = 2;
            holder.join();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "Exception: .*while busy");
}

TEST_F(AppStartScenarioTest, QtMessagesOfAThreadHoldingTheLogDoNotDeadlockWithTheQtHook)
{
    // This thread enters the Qt hook (holding the hook lock) while the other thread holds the log;
    // the other thread then raises a Qt message of its own, which needs the hook lock. The hook
    // gives up waiting for the log, so both go on.
    EXPECT_EXIT(
        {
            alarm(60); // a deadlock ends the child instead of hanging the test
            auto out = std::make_shared<YrLogV2::MemoryOutput>();
            auto link = YrLogV2::LogRoot::Instance().AttachOutput(out);
            std::atomic<int> stage{0};
            // Runs before the application's hook, on this thread's message only.
            Utils::QtMsgHandler first(
                [&](const Utils::QtMsgHandler::Msg& m)
                {
                    if (m.m_text == "while busy")
                        stage = 2;
                    return Utils::QtMsgHandler::PassOn;
                });
            std::unique_ptr<Utils::IVirtualDestroy> app = Start();
            std::thread holder(
                [&]
                {
                    QMutex& m = YrLogV2::LogRoot::Instance().Mutex();
                    m.lock();
                    stage = 1;
                    WaitStage(stage, 2);
                    qWarning("from the log holder");
                    m.unlock();
                });
            if (!WaitStage(stage, 1))
                _exit(4);
            qWarning("while busy");
            holder.join();
            const bool logged = AppTest::FindLine(out->Texts("QtMsg"), "from the log holder") != -1;
            app.reset();
            link.reset();
            _exit(logged ? 0 : 5);
        },
        ::testing::ExitedWithCode(0), "QtMsg: while busy");
}
