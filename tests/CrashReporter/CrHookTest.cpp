// The crash hook and its reports. Everything that installs a hook runs in a child process: the
// hook is once per process and ends the process it reports on.
#include <sys/resource.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <thread>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include "CrashReporter/CrHook.h"
#include "CrashReporter/CrTestSupport.h"
#include "CrashReporter/spec/CrPlatform_linux.h"
#include "ESS/Assert.h"
#include "Platform/Halt.h"
#include "Platform/LocalTime.h"
#include "Platform/SysInfo.h"
#include "Utils/FuncThread.h"
#include "Utils/StringUtils.h"
#include "YrLogV2/Log.h"
#include "YrLogV2/LogOutput.h"
#include "common/RegexLiteral.h"

using namespace CrTest;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

namespace
{

std::string TimeTextAt(std::time_t t, bool utc = false)
{
    std::tm tm;
    if (utc)
        gmtime_r(&t, &tm);
    else
        localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof(buf), "%y%m%d-%H%M%S", &tm);
    return buf;
}

} // namespace

// ---- values and names ----

TEST(CrHookValues, HookModeTableAndDefaults)
{
    using CrashReporter::WinHookMode;
    EXPECT_EQ(WinHookMode(WinHookMode::Off).ToString(), "Off");
    EXPECT_EQ(WinHookMode(WinHookMode::Internal).CastToInt(), 1);
    EXPECT_EQ(WinHookMode(WinHookMode::Procdump).CastToInt(), 2);
    WinHookMode m(WinHookMode::Off);
    EXPECT_TRUE(m.FromString("Procdump", false));
    EXPECT_EQ(m, WinHookMode(WinHookMode::Procdump));
    EXPECT_FALSE(m.FromString("procdump", false));
    EXPECT_FALSE(m.FromInt(YrMeta::EnumValue(3), false));

    const CrashReporter::HookParams p;
    EXPECT_FALSE(p.m_flag);
    EXPECT_TRUE(p.m_dumpFolder.empty());
    EXPECT_FALSE(p.m_fullDump);
    EXPECT_EQ(p.m_value, 0u);
    EXPECT_FALSE(p.m_enforceErrorMode);
    EXPECT_EQ(p.m_mode, WinHookMode(WinHookMode::Procdump));
}

TEST(CrHookValuesDeathTest, HookModeIndexOutsideTable)
{
    CrashReporter::WinHookMode m(CrashReporter::WinHookMode::Off);
    EXPECT_EXIT(m.SetValueIndex(3), ::testing::ExitedWithCode(3),
                TestUtils::Literal("RawInfo().IsValidIndex(val)"));
}

TEST(CrHookValues, VersionFolder)
{
    const fs::path p = CrashReporter::MakeVersionFolder(fs::path("/data/CrashReports"));
    EXPECT_EQ(p.string(), "/data/CrashReports/" + AppUtils::AppBuildInfo::GetFullVersion());
    EXPECT_THAT(p.filename().string(), MatchesRegex("[0-9.]+\\.[0-9]+"));
}

TEST(CrHookValues, AttachmentWithoutHookIsRefused)
{
    ASSERT_FALSE(CrashReporter::IsHookInstalled());
    EXPECT_FALSE(CrashReporter::AddAttachment(L"/tmp/log.txt", "log"));
    EXPECT_FALSE(CrashReporter::IsHookInstalled());
}

// ---- report names ----

class ReportNameTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }
    fs::path Dir() const { return fs::path(m_dir.path().toStdString()); }

    QTemporaryDir m_dir;
};

TEST_F(ReportNameTest, FirstFreeNameIsReservedThroughItsDump)
{
    using CrashReporter::detail::MakeReportFileName;
    const fs::path first = MakeReportFileName(Dir(), "240131-235959");
    EXPECT_EQ(first, Dir() / "crash-240131-235959.crash");
    // The dump's name is taken at once (empty), the report's not yet.
    EXPECT_TRUE(fs::exists(Dir() / "crash-240131-235959.dmp"));
    EXPECT_EQ(fs::file_size(Dir() / "crash-240131-235959.dmp"), 0u);
    EXPECT_FALSE(fs::exists(first));

    // Reserved by the first call: the next one counts on.
    EXPECT_EQ(MakeReportFileName(Dir(), "240131-235959"), Dir() / "crash-240131-235959-1.crash");

    // A report left by an earlier run takes its name too, as does a dump without its report.
    WriteFile(Dir() / "crash-240131-235959-2.crash", "old");
    WriteFile(Dir() / "crash-240131-235959-3.dmp", "old");
    EXPECT_EQ(MakeReportFileName(Dir(), "240131-235959"), Dir() / "crash-240131-235959-4.crash");
    EXPECT_EQ(ReadFile(Dir() / "crash-240131-235959-2.crash"), "old");
    EXPECT_EQ(ReadFile(Dir() / "crash-240131-235959-3.dmp"), "old");
}

TEST_F(ReportNameTest, CurrentTimeAndMissingFolders)
{
    const fs::path folder = Dir() / "a" / "b";
    const std::time_t before = std::time(nullptr);
    const fs::path p = CrashReporter::detail::MakeReportFileName(folder);
    const std::time_t after = std::time(nullptr);
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_EQ(p.parent_path(), folder);
    const std::string name = p.filename().string();
    EXPECT_THAT(name, MatchesRegex("crash-[0-9]{6}-[0-9]{6}\\.crash"));
    EXPECT_TRUE(name == "crash-" + TimeTextAt(before) + ".crash" ||
                name == "crash-" + TimeTextAt(after) + ".crash")
        << name;
}

// A local time that cannot be had (a writer of the offsets stopped halfway) costs the report
// nothing: its time is UTC's.
TEST_F(ReportNameTest, WithoutTheLocalTimeTheNameHasUtc)
{
    // A zone of its own (UTC+5:45, no time-zone files needed), so that local time and UTC differ.
    const char* const zone = std::getenv("TZ");
    const std::string savedZone = zone != nullptr ? zone : "";
    ::setenv("TZ", "XYZ-5:45", 1);
    ::tzset();
    Platform::detail::HoldOffsetsWriting(true);
    const std::time_t before = std::time(nullptr);
    const fs::path p = CrashReporter::detail::MakeReportFileName(Dir());
    const std::time_t after = std::time(nullptr);
    Platform::detail::HoldOffsetsWriting(false);
    if (zone != nullptr)
        ::setenv("TZ", savedZone.c_str(), 1);
    else
        ::unsetenv("TZ");
    ::tzset();
    const std::string name = p.filename().string();
    EXPECT_TRUE(name == "crash-" + TimeTextAt(before, true) + ".crash" ||
                name == "crash-" + TimeTextAt(after, true) + ".crash")
        << name;
}

TEST_F(ReportNameTest, FolderThatCannotBeMadeHalts)
{
    WriteFile(Dir() / "file", "x");
    EXPECT_EXIT(CrashReporter::detail::MakeReportFileName(Dir() / "file" / "sub"),
                ::testing::ExitedWithCode(3), "^CrashReporter halt\nAssertion\n");
}

TEST(CrHookDeathTest, CrashHaltWritesTextAndStack)
{
    EXPECT_EXIT(CrashReporter::CrashHalt("the reason"), ::testing::ExitedWithCode(3),
                "^CrashReporter halt\nthe reason\n.*CrashHalt");
}

// ---- reports written by a halting child ----

class CrHookScenario : public ScenarioTest
{
};

// The same halt for every scenario below: an assertion in a function of its own.
__attribute__((noinline)) void FailAssertionHere()
{
    ESS_ASSERT(1 + 1 == 3);
}

TEST_F(CrHookScenario, AssertionReport)
{
    EXPECT_EXIT(
        {
            StartChildApp();
            // Before the hook exists: refused and forgotten.
            CrashReporter::AddAttachment(L"/var/log/early.log", "early");
            CrashReporter::InstallHook(Params(CrashReporter::WinHookMode::Off));
            EXPECT_TRUE(CrashReporter::IsHookInstalled());
            CrashReporter::AddAttachment(L"/var/log/first.log", "log");
            CrashReporter::AddAttachment(L"/var/log/second.log", "log");
            CrashReporter::AddAttachment(L"/var/log/Файл.txt", "other");
            FailAssertionHere();
        },
        ::testing::ExitedWithCode(3), "Aborted! .*1 \\+ 1 == 3");

    fs::path reportPath, dumpPath;
    ASSERT_TRUE(FindSingleReport(reportPath, dumpPath));
    EXPECT_EQ(reportPath.stem(), dumpPath.stem());
    EXPECT_THAT(reportPath.filename().string(), MatchesRegex("crash-[0-9]{6}-[0-9]{6}\\.crash"));

    const Report r = ParseReport(reportPath);
    EXPECT_TRUE(r.bom);
    EXPECT_TRUE(r.crlfOnly);
    std::vector<std::string> expected = {"date-time", "build-info", "version"};
    if (!AppUtils::AppBuildInfo::GetCiJobUrl().empty())
        expected.push_back("jenkins");
    for (const char* s : {"os-version", "thread", "text-brief", "text", "user", "attach-log", "attach-log",
                          "attach-other", "attach-dump"})
        expected.push_back(s);
    EXPECT_EQ(r.Names(), expected);

    EXPECT_THAT(r.Text("date-time"), MatchesRegex("20[0-9]{2}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}"));
    EXPECT_EQ(r.Text("build-info"), AppUtils::AppBuildInfo::GetBuildInfoText(true));
    EXPECT_THAT(r.Text("build-info"), HasSubstr("<ProgramName>"));
    EXPECT_EQ(r.Text("version"), AppUtils::AppBuildInfo::GetFullVersion());
    EXPECT_EQ(r.Text("os-version"), Utils::WStringToStdString(Platform::GetOsVersion().Name()));
    EXPECT_THAT(r.Text("thread"), MatchesRegex("main \\([0-9]+\\)"));
    EXPECT_EQ(r.Text("text-brief"), "1 + 1 == 3");
    // The full assertion text, stack trace lines included, one CR LF per line in the file.
    EXPECT_THAT(r.Text("text"), HasSubstr("1 + 1 == 3"));
    EXPECT_THAT(r.Text("text"), HasSubstr("FailAssertionHere"));
    EXPECT_THAT(r.Text("text"), HasSubstr("\n"));
    EXPECT_EQ(r.Text("user"),
              Utils::WStringToStdString(Platform::GetUserName(false) + L"@" + Platform::GetComputerName()));
    EXPECT_EQ(r.sections[r.sections.size() - 4].second, "/var/log/first.log");
    EXPECT_EQ(r.sections[r.sections.size() - 3].second, "/var/log/second.log");
    EXPECT_EQ(r.Text("attach-other"), "/var/log/Файл.txt");
    EXPECT_EQ(r.Text("attach-dump"), dumpPath.string());

    // An assertion carries no fault: the dump has the halting thread's stack but no exception.
    const std::string dump = ReadFile(dumpPath);
    EXPECT_THAT(dump, HasSubstr("kind: normal"));
    EXPECT_THAT(dump, HasSubstr("\n[modules]\n"));
    EXPECT_THAT(dump, HasSubstr("FailAssertionHere"));
    EXPECT_THAT(dump, HasSubstr("(dumping)"));
    EXPECT_THAT(dump, ::testing::Not(HasSubstr("[exception]")));
    EXPECT_THAT(dump, ::testing::Not(HasSubstr("[status]")));
}

// The user is read when the hook is installed, not looked up on the halt path: a process that has
// changed its user since goes by the number.
TEST_F(CrHookScenario, UserChangedSinceInstallationGoesByNumber)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "changing the user needs root";
    EXPECT_EXIT(
        {
            StartChildApp();
            CrashReporter::InstallHook(Params(CrashReporter::WinHookMode::Off));
            fs::create_directories(ReportFolder());
            for (fs::path p = ReportFolder(); p != Root().parent_path(); p = p.parent_path())
                fs::permissions(p, fs::perms::all_all);
            if (::seteuid(65534) != 0)
                _exit(101);
            FailAssertionHere();
        },
        ::testing::ExitedWithCode(3), "Aborted! ");
    fs::path reportPath, dumpPath;
    ASSERT_TRUE(FindSingleReport(reportPath, dumpPath));
    EXPECT_EQ(ParseReport(reportPath).Text("user"),
              "65534@" + Utils::WStringToStdString(Platform::GetComputerName()));
}

TEST_F(CrHookScenario, ExitNoticeOfKindZeroWritesNothing)
{
    EXPECT_EXIT(
        {
            StartChildApp();
            CrashReporter::InstallHook(Params(CrashReporter::WinHookMode::Off));
            Platform::ExitInformation info;
            info.kind = 0;
            info.description = L"not the end";
            Platform::NotifyExitObservers(info);
            Checks c;
            c.Expect(FilesWithExt(ReportFolder(), "").empty(), "files written for kind 0");
            c.Expect(CrashReporter::AddAttachment(L"/x", "x"), "hook not usable after kind 0");
            c.Exit();
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(CrHookScenario, SameSecondGetsACounter)
{
    EXPECT_EXIT(
        {
            StartChildApp();
            // Reports of an earlier run for every second the halt below may fall into.
            const std::time_t now = std::time(nullptr);
            for (int i = 0; i < 30; ++i)
                WriteFile(ReportFolder() / ("crash-" + TimeTextAt(now + i) + ".crash"), "earlier run");
            CrashReporter::InstallHook(Params(CrashReporter::WinHookMode::Off));
            FailAssertionHere();
        },
        ::testing::ExitedWithCode(3), "");
    std::vector<std::string> counted;
    for (const std::string& f : FilesWithExt(ReportFolder(), ""))
    {
        if (f.find("-1.") != std::string::npos)
            counted.push_back(f);
    }
    ASSERT_EQ(counted.size(), 2u);
    EXPECT_THAT(counted[0], MatchesRegex("crash-[0-9]{6}-[0-9]{6}-1\\.crash"));
    EXPECT_EQ(counted[1], counted[0].substr(0, counted[0].size() - 6) + ".dmp");
    EXPECT_EQ(ParseReport(ReportFolder() / counted[0]).Text("attach-dump"),
              (ReportFolder() / counted[1]).string());
}

TEST_F(CrHookScenario, SecondInstallationIsReportedNotDeadlocked)
{
    EXPECT_EXIT(
        {
            StartChildApp();
            CrashReporter::InstallHook(Params(CrashReporter::WinHookMode::Off));
            CrashReporter::AddAttachment(L"/var/log/first.log", "log");
            // Fails under the crash-reporter mutex; the report must still be written.
            CrashReporter::InstallHook(Params(CrashReporter::WinHookMode::Off));
        },
        ::testing::ExitedWithCode(3), TestUtils::Literal("g_pHook == 0"));
    fs::path reportPath, dumpPath;
    ASSERT_TRUE(FindSingleReport(reportPath, dumpPath));
    const Report r = ParseReport(reportPath);
    EXPECT_EQ(r.Text("text-brief"), "g_pHook == 0");
    EXPECT_EQ(r.Text("attach-log"), "/var/log/first.log");
    EXPECT_EQ(r.Text("attach-dump"), dumpPath.string());
}

TEST_F(CrHookScenario, FullDumpAddsMemory)
{
    EXPECT_EXIT(
        {
            StartChildApp();
            CrashReporter::InstallHook(Params(CrashReporter::WinHookMode::Off, true));
            FailAssertionHere();
        },
        ::testing::ExitedWithCode(3), "");
    fs::path reportPath, dumpPath;
    ASSERT_TRUE(FindSingleReport(reportPath, dumpPath));
    const std::string dump = ReadFile(dumpPath);
    EXPECT_THAT(dump, HasSubstr("kind: full"));
    EXPECT_THAT(dump, HasSubstr("\n[status]\n"));
    EXPECT_THAT(dump, HasSubstr("\n[stack memory]\n0x"));
    EXPECT_THAT(dump, MatchesRegex("(.|\n)*\n0x[0-9a-f]{16}:( [0-9a-f]{2}){16}\n(.|\n)*"));
}

// Parked on a condition until the process ends; its name must show in the dump.
std::mutex g_parkLock;
std::condition_variable g_parkCv;
bool g_parked = false;
__attribute__((noinline)) void ParkedWorkerFunction()
{
    std::unique_lock<std::mutex> lock(g_parkLock);
    g_parked = true;
    g_parkCv.notify_all();
    g_parkCv.wait_for(lock, std::chrono::seconds(c_childLimitSeconds), [] { return false; });
}

TEST_F(CrHookScenario, DumpHasTheOtherThreadsStacks)
{
    EXPECT_EXIT(
        {
            StartChildApp();
            CrashReporter::InstallHook(Params(CrashReporter::WinHookMode::Off));
            std::thread worker(&ParkedWorkerFunction);
            {
                std::unique_lock<std::mutex> lock(g_parkLock);
                g_parkCv.wait_for(lock, std::chrono::seconds(30), [] { return g_parked; });
            }
            worker.detach();
            FailAssertionHere();
        },
        ::testing::ExitedWithCode(3), "");
    fs::path reportPath, dumpPath;
    ASSERT_TRUE(FindSingleReport(reportPath, dumpPath));
    const std::string dump = ReadFile(dumpPath);
    // The worker's section comes from the helper that attached to the thread.
    EXPECT_THAT(dump,
                MatchesRegex("(.|\n)*\n\\[thread [0-9]+ \"[^\"]*\"\\]\n(.|\n)*ParkedWorkerFunction(.|\n)*"));
    // The halting thread appears once, as the dumping thread.
    EXPECT_THAT(dump, HasSubstr("(dumping)]"));
    EXPECT_THAT(dump, ::testing::Not(HasSubstr("<no stacks")));
}

void SlowHelper()
{
    ::sleep(3);
}

// A helper that overruns its time while it holds another thread is cut short: the dump says so
// and the halt goes on to its report and the end of the process.
TEST_F(CrHookScenario, HelperThatOverrunsIsCutShort)
{
    EXPECT_EXIT(
        {
            StartChildApp();
            CrashReporter::InstallHook(Params(CrashReporter::WinHookMode::Off));
            CrashReporter::detail::SetDumpHelperLimitMs(300);
            CrashReporter::detail::SetDumpHelperThreadHook(&SlowHelper);
            std::thread worker(&ParkedWorkerFunction);
            {
                std::unique_lock<std::mutex> lock(g_parkLock);
                g_parkCv.wait_for(lock, std::chrono::seconds(30), [] { return g_parked; });
            }
            worker.detach();
            FailAssertionHere();
        },
        ::testing::ExitedWithCode(3), "");
    fs::path reportPath, dumpPath;
    ASSERT_TRUE(FindSingleReport(reportPath, dumpPath));
    EXPECT_EQ(ParseReport(reportPath).Text("attach-dump"), dumpPath.string());
    const std::string dump = ReadFile(dumpPath);
    EXPECT_THAT(dump, HasSubstr("<thread stacks timed out>"));
    EXPECT_THAT(dump, HasSubstr("\n[modules]\n"));
}

// The report of an assertion is bounded like the one of a fault: a report that does not finish
// (here a helper that takes far longer than allowed) ends with the watchdog, not never. The
// helper, which holds a thread of the process, goes with it: until it did, the end of the process
// would not be reported (here for two minutes).
TEST_F(CrHookScenario, WatchdogBoundsTheReportOfAnAssertion)
{
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EXIT(
        {
            StartChildApp();
            CrashReporter::InstallHook(Params(CrashReporter::WinHookMode::Off));
            CrashReporter::detail::SetFaultWatchdogSeconds(1);
            CrashReporter::detail::SetDumpHelperLimitMs(100000);
            CrashReporter::detail::SetDumpHelperThreadHook([] { ::sleep(c_childLimitSeconds); });
            std::thread worker(&ParkedWorkerFunction);
            {
                std::unique_lock<std::mutex> lock(g_parkLock);
                g_parkCv.wait_for(lock, std::chrono::seconds(30), [] { return g_parked; });
            }
            worker.detach();
            FailAssertionHere();
        },
        ::testing::KilledBySignal(SIGALRM), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(c_childLimitSeconds / 2));
}

// A dump that cannot be written whole (the file-size limit cuts it) is left out of the report;
// the report itself is still written.
TEST_F(CrHookScenario, DumpCutShortIsNotListed)
{
    const rlim_t limit = 24 * 1024;
    EXPECT_EXIT(
        {
            StartChildApp();
            // A full dump: its stack memory alone outgrows the limit in every build, while the
            // report stays below it.
            CrashReporter::InstallHook(Params(CrashReporter::WinHookMode::Off, true));
            CrashReporter::AddAttachment(L"/var/log/first.log", "log");
            std::signal(SIGXFSZ, SIG_IGN);
            struct rlimit fsize;
            fsize.rlim_cur = fsize.rlim_max = limit;
            ::setrlimit(RLIMIT_FSIZE, &fsize);
            FailAssertionHere();
        },
        ::testing::ExitedWithCode(3), "");
    fs::path reportPath, dumpPath;
    ASSERT_TRUE(FindSingleReport(reportPath, dumpPath));
    EXPECT_EQ(fs::file_size(dumpPath), limit);
    const Report r = ParseReport(reportPath);
    ASSERT_FALSE(r.sections.empty());
    EXPECT_EQ(r.sections.back().first, "attach-log");
    EXPECT_EQ(r.Text("text-brief"), "1 + 1 == 3");
    EXPECT_THAT(r.Names(), ::testing::Not(::testing::Contains("attach-dump")));
}

TEST_F(CrHookScenario, DumpWriterFailures)
{
    EXPECT_EXIT(
        {
            StartChildApp();
            Checks c;
            c.Expect(!CrashReporter::WriteMiniDump(L"", nullptr, false), "empty path");
            const fs::path missing = Root() / "missing" / "x.dmp";
            c.Expect(!CrashReporter::WriteMiniDump(AppUtils::FromPath(missing), nullptr, false),
                     "file in a missing folder");
            c.Expect(!fs::exists(missing.parent_path()), "folder made");
            const fs::path good = Root() / "x.dmp";
            c.Expect(CrashReporter::WriteMiniDump(AppUtils::FromPath(good), nullptr, true), "good path");
            const std::string dump = ReadFile(good);
            c.Expect(dump.compare(0, 20, "YrTn process dump 1\n") == 0, "dump header");
            c.Expect(dump.find("kind: full\n") != std::string::npos, "full kind");
            c.Expect(dump.find("\n[modules]\n") != std::string::npos, "modules");
            c.Exit();
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(CrHookScenario, ReportThatCannotBeOpenedEndsInCrashHalt)
{
    EXPECT_EXIT(
        {
            StartChildApp();
            CrashReporter::InstallHook(Params(CrashReporter::WinHookMode::Off));
            // Every report name the halt may pick is a link into a folder that does not exist:
            // the name looks free, but the report cannot be opened.
            fs::create_directories(ReportFolder());
            const std::time_t now = std::time(nullptr);
            for (int i = 0; i < 30; ++i)
                fs::create_symlink(Root() / "missing" / "x",
                                   ReportFolder() / ("crash-" + TimeTextAt(now + i) + ".crash"));
            FailAssertionHere();
        },
        ::testing::ExitedWithCode(3),
        "CrashReporter halt\nUnexpected exception in Callback\\(\\); .*Can't open file .*\\.crash");
    EXPECT_FALSE(fs::exists(Root() / "missing"));
    // The dump was written before the report failed; nothing is retried.
    EXPECT_EQ(FilesWithExt(ReportFolder(), ".dmp").size(), 1u);
}

// ---- the dump tool ----

TEST_F(CrHookScenario, DumpToolGetsItsCommandLine)
{
    EXPECT_EXIT(
        {
            StartChildApp();
            Checks c;
            const fs::path tool = CrashReporter::DumpToolPath();
            c.Expect(tool == ExePath().parent_path() / "tools" / "ZuvazizivUdiruDudidav.exe", "tool path");
            // The stand-in tool writes one argument a line, then a marker.
            WriteFile(tool, "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > \"$0.args.tmp\"\n"
                            "mv \"$0.args.tmp\" \"$0.args\"\n");
            fs::permissions(tool, fs::owner_all);

            auto out = std::make_shared<YrLogV2::MemoryOutput>();
            auto link = YrLogV2::LogRoot::Instance().AttachOutput(out);
            CrashReporter::InstallHook(Params(CrashReporter::WinHookMode::Procdump, true));

            const fs::path args = tool.string() + ".args";
            for (int i = 0; i < 3000 && !fs::exists(args); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            const std::string expected =
                "-e\n" + std::to_string(getpid()) + "\n" + ReportFolder().string() + "\n-ma\n";
            c.Expect(ReadFile(args) == expected, "tool arguments: " + ReadFile(args));
            c.Expect(out->Texts("CrashReporter") == std::vector<std::string>{"ProcDump was installed"},
                     "log line");
            c.Exit();
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(CrHookScenario, MissingOrBrokenDumpToolIsLoggedAndTheHookStays)
{
    EXPECT_EXIT(
        {
            StartChildApp();
            Checks c;
            auto out = std::make_shared<YrLogV2::MemoryOutput>();
            auto link = YrLogV2::LogRoot::Instance().AttachOutput(out);
            CrashReporter::InstallHook(Params(CrashReporter::WinHookMode::Procdump));
            c.Expect(CrashReporter::IsHookInstalled(), "hook installed");
            // A file that cannot be run.
            WriteFile(CrashReporter::DumpToolPath(), "no program");
            fs::permissions(CrashReporter::DumpToolPath(), fs::owner_read | fs::owner_write);
            c.Expect(!CrashReporter::StartDumpTool(Params(CrashReporter::WinHookMode::Procdump)),
                     "start refused");
            const std::vector<std::string> lines({"ProcDump run was failed: Can't find procdump",
                                                  "ProcDump run was failed: Unable to launch procdump"});
            c.Expect(out->Texts("CrashReporter") == lines, "log lines");
            c.Exit();
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(CrHookValues, DumpToolArguments)
{
    CrashReporter::HookParams p;
    p.m_dumpFolder = L"/data/Crash Reports";
    EXPECT_THAT(CrashReporter::detail::DumpToolArguments(p, 4321),
                ElementsAre(L"-e", L"4321", L"/data/Crash Reports"));
    p.m_fullDump = true;
    EXPECT_THAT(CrashReporter::detail::DumpToolArguments(p, 4321),
                ElementsAre(L"-e", L"4321", L"/data/Crash Reports", L"-ma"));
}

// ---- error mode and system texts ----

TEST(CrPlatform, ErrorModeTexts)
{
    using CrashReporter::detail::ErrorModeToText;
    EXPECT_EQ(ErrorModeToText(0), "0x00000000");
    EXPECT_EQ(ErrorModeToText(3), "FAILCRITICALERRORS + SEM_NOGPFAULTERRORBOX (0x00000003)");
    EXPECT_EQ(
        ErrorModeToText(0x8007),
        "FAILCRITICALERRORS + SEM_NOALIGNMENTFAULTEXCEPT + SEM_NOGPFAULTERRORBOX + SEM_NOOPENFILEERRORBOX "
        "(0x00008007)");
    EXPECT_EQ(ErrorModeToText(0x10), "0x00000010");
    EXPECT_EQ(ErrorModeToText(0xA0000002), "SEM_NOGPFAULTERRORBOX (0xa0000002)");
    // Linux has no error mode.
    EXPECT_EQ(CrashReporter::ErrorModeText(), "N/A");
}

TEST(CrPlatform, EnforceErrorModeRunsOnce)
{
    EXPECT_FALSE(CrashReporter::HookSetErrorMode());
    CrashReporter::EnforceErrorMode();
    EXPECT_TRUE(CrashReporter::detail::ErrorModeEnforced());
    CrashReporter::EnforceErrorMode();
    EXPECT_TRUE(CrashReporter::detail::ErrorModeEnforced());
}

TEST(CrPlatform, SystemMessageText)
{
    EXPECT_EQ(Win32::SystemMessageText(ENOENT), L"No such file or directory");
    EXPECT_EQ(Win32::SystemMessageText(EACCES), L"Permission denied");
    EXPECT_THAT(Utils::WStringToStdString(Win32::SystemMessageText(99999)), HasSubstr("99999"));
}

TEST(CrPlatformDeathTest, FilterInstalledTwice)
{
    EXPECT_EXIT(
        {
            CrashReporter::InstallSegfaultFilter();
            CrashReporter::InstallSegfaultFilter();
        },
        ::testing::ExitedWithCode(3), TestUtils::Literal("g_pFilter == 0"));
}
