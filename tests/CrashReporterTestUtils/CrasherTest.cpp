// The crash test facility: its names and help, its misuse, and the crash kinds that end in a halt
// without a fault signal (each in a child process, through the named entry or the crasher).
#include <sys/resource.h>
#include <cstdio>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include "CrashReporter/CrHook.h"
#include "CrashReporter/CrTestSupport.h"
#include "CrasherScenarioBase.h"
#include "CrashReporterTestUtils/Crasher.h"
#include "CrashReporterTestUtils/ExceptionMsg.h"
#include "Utils/AppEntry.h"
#include "Utils/StringUtils.h"
#include "YrLogV2/Log.h"
#include "YrLogV2/LogOutput.h"
#include "common/EntryHostRun.h"
#include "common/RegexLiteral.h"

using namespace CrTest;
using CrashReporterTestUtils::Crasher;
using CrashReporterTestUtils::CrashType;
using ::testing::HasSubstr;

namespace
{

const char* const c_message = "Русский Winter is coming...";

// The address space this process may still take grows by at most extraMiB.
[[maybe_unused]] void SetAddressSpaceLimit(uint64_t extraMiB)
{
    const std::string status = ReadFile("/proc/self/status");
    const size_t pos = status.find("VmSize:");
    const uint64_t kb = pos == std::string::npos ? 0 : std::stoull(status.substr(pos + 7));
    struct rlimit as;
    as.rlim_cur = as.rlim_max = (kb + extraMiB * 1024) * 1024;
    setrlimit(RLIMIT_AS, &as);
}

} // namespace

TEST(CrashTypeTest, TableInOrder)
{
    const std::vector<std::string> names = {
        "Assert",        "AV",       "std",      "ESS",           "UDT", "InsideQt",
        "StackOverflow", "LogAlive", "OutOfMem", "DoubleOutOfMem"};
    for (size_t i = 0; i < names.size(); ++i)
    {
        const CrashType t = CrashType::FromName(names[i]);
        EXPECT_EQ(t.CastToInt(), static_cast<int>(i));
        EXPECT_EQ(t.ToString(), names[i]);
        EXPECT_EQ(CrashType(YrMeta::EnumValue(static_cast<int>(i))).ToString(), names[i]);
    }
    EXPECT_EQ(CrashType(CrashType::Std).ToString(), "std");
    EXPECT_EQ(CrashType(CrashType::Ess).ToString(), "ESS");
    EXPECT_TRUE(CrashType(CrashType::AV) < CrashType(CrashType::UDT));
}

TEST(CrashTypeTest, NamesAreCaseSensitive)
{
    try
    {
        CrashType::FromName("av");
        FAIL() << "accepted";
    }
    catch (const YrMeta::SmartEnum::ConvertionException& e)
    {
        EXPECT_THAT(Utils::WStringToStdString(e.Message()),
                    ::testing::MatchesRegex("Enum \\(.*CrashType\\) does not have value of av"));
    }
    EXPECT_THROW(CrashType::FromName("Std"), YrMeta::SmartEnum::ConvertionException);
    EXPECT_THROW(CrashType(YrMeta::EnumValue(10)), YrMeta::SmartEnum::ConvertionException);
}

TEST(CrashTypeDeathTest, IndexOutsideTable)
{
    CrashType t(CrashType::Assert);
    EXPECT_EXIT(t.SetValueIndex(10), ::testing::ExitedWithCode(3),
                TestUtils::Literal("RawInfo().IsValidIndex(val)"));
}

TEST(CrasherTest, ExceptionMsgCarriesUtf8)
{
    const Utils::ExceptionMsg e(Utils::WStringToStdString(L"Русский Winter is coming..."));
    EXPECT_STREQ(e.what(), c_message);
    const std::exception& base = e;
    EXPECT_STREQ(base.what(), c_message);
}

// Help needs no threads of its own; the registered names come in name order.
TEST(CrasherTest, HelpListsThreadsAndKinds)
{
    Crasher c;
    const Utils::ThreadContext ctx([](const boost::function<void()>& fn, int) { fn(); }, true,
                                   boost::optional<void*>());
    c.Add("zeta", ctx);
    c.Add("alpha", ctx);
    EXPECT_EQ(c.Help(), "threads:\n"
                        "  ''   -- for current thread\n"
                        "  '+u' -- for start new unprotected thread\n"
                        "  '+p' -- for start new protected   thread\n"
                        "  '+r' -- for start new raw thread (QThread)\n"
                        "  'alpha'\n"
                        "  'zeta'\n"
                        "\ncrash types:\n"
                        "  Assert\n  AV\n  std\n  ESS\n  UDT\n  InsideQt\n  StackOverflow\n  LogAlive\n"
                        "  OutOfMem\n  DoubleOutOfMem\n");
}

TEST(CrasherDeathTest, Misuse)
{
    const Utils::ThreadContext ctx([](const boost::function<void()>& fn, int) { fn(); }, true,
                                   boost::optional<void*>());
    EXPECT_EXIT(
        {
            Crasher c;
            c.Add("x", ctx);
            c.Add("x", ctx);
        },
        ::testing::ExitedWithCode(3), TestUtils::Literal("m_threads.find(name) == m_threads.end()"));
    EXPECT_EXIT(
        {
            Crasher c;
            c.Crash("+x", CrashType::Assert);
        },
        ::testing::ExitedWithCode(3), TestUtils::Literal("i != m_threads.end()"));
    EXPECT_EXIT(
        {
            Crasher c;
            c.AddMsgThread();
            c.AddMsgThread();
        },
        ::testing::ExitedWithCode(3), TestUtils::Literal("m_thread == 0"));
}

// ---- through the named entry and the crasher, in children ----

class CrasherScenario : public CrasherScenarioBase
{
protected:
    // Runs the entry with its output in a file; exits 0 when it returned want and wrote what
    // the checker accepts.
    [[noreturn]] void RunEntryExpecting(const Utils::ArgStringList& args, int want)
    {
        StartChildApp();
        const std::string out = (Root() / "stdout.txt").string();
        std::freopen(out.c_str(), "w", stdout);
        const boost::optional<int> res = Utils::RunEntry("CrasherEntry", args);
        std::fflush(stdout);
        Checks c;
        c.Expect(res && *res == want, "entry result");
        const std::string text = ReadFile(out);
        c.Expect(text.compare(0, 39, "Extra args: crash_type [thread_name]\n\nt") == 0,
                 "usage line: " + text);
        c.Expect(text.find("  'iCore'\n") != std::string::npos, "iCore thread in help");
        c.Expect(text.find("  DoubleOutOfMem\n\n") != std::string::npos, "help end");
        c.Exit();
    }
};

TEST_F(CrasherScenario, EntryWithoutArgumentsPrintsUsage)
{
    EXPECT_EXIT(RunEntryExpecting({}, -1), ::testing::ExitedWithCode(0), "");
}

TEST_F(CrasherScenario, EntryWithThreeArgumentsPrintsUsage)
{
    EXPECT_EXIT(RunEntryExpecting({"Assert", "", "more"}, -1), ::testing::ExitedWithCode(0), "");
}

TEST_F(CrasherScenario, EntryAssertOnTheCallingThread)
{
    EXPECT_EXIT(
        {
            StartChildApp();
            Utils::RunEntry("CrasherEntry", {"Assert"});
        },
        ::testing::ExitedWithCode(3), std::string("Aborted! (.|\n)*") + c_message);
    const Report r = TheReport();
    // The message reaches the report as the assertion's text, in UTF-8.
    EXPECT_EQ(r.Text("text-brief"), c_message);
    EXPECT_THAT(r.Text("text"), HasSubstr("CrashReporterTestUtils/Crasher"));
    EXPECT_THAT(r.Text("thread"), ::testing::MatchesRegex("main \\([0-9]+\\)"));
}

TEST_F(CrasherScenario, EntryStdExceptionOnUnprotectedThread)
{
    EXPECT_EXIT(
        {
            StartChildApp();
            Utils::RunEntry("CrasherEntry", {"std", "+u"});
        },
        ::testing::ExitedWithCode(3), std::string("Halt on unexpected exception(.|\n)*") + c_message);
    const Report r = TheReport();
    EXPECT_THAT(r.Text("thread"), ::testing::MatchesRegex("CrashInRawThread/main \\([0-9]+\\)"));
    EXPECT_THAT(r.Text("text"), HasSubstr("Utils::ExceptionMsg"));
}

TEST_F(CrasherScenario, EntryEssExceptionOnProtectedThread)
{
    EXPECT_EXIT(
        {
            StartChildApp();
            Utils::RunEntry("CrasherEntry", {"ESS", "+p"});
        },
        ::testing::ExitedWithCode(3), "at location Crasher(.|\n)*CustomException");
    EXPECT_THAT(TheReport().Text("text"), HasSubstr(c_message));
}

TEST_F(CrasherScenario, EntryForeignTypeOnTheMessageThread)
{
    EXPECT_EXIT(
        {
            StartChildApp();
            Utils::RunEntry("CrasherEntry", {"UDT", "iCore"});
        },
        ::testing::ExitedWithCode(3), "Halt on unexpected exception at location iCore::MsgThread");
    EXPECT_THAT(TheReport().Text("thread"),
                ::testing::MatchesRegex("HostiCoreCrasherThread/main \\([0-9]+\\)"));
}

TEST_F(CrasherScenario, EntryWaitsForTheMessageThreadToHalt)
{
    // The exception leaves the crash on the message thread before that thread has halted: the
    // entry must not return (and the process end well) meanwhile.
    EXPECT_EXIT(
        {
            StartChildApp();
            Utils::RunEntry("CrasherEntry", {"ESS", "iCore"});
            _exit(0);
        },
        ::testing::ExitedWithCode(3), "Aborted! (.|\n)*CustomException");
    EXPECT_THAT(TheReport().Text("thread"), ::testing::HasSubstr("iCoreCrasherThread"));
}

TEST_F(CrasherScenario, EntryUnknownThread)
{
    EXPECT_EXIT(
        {
            StartChildApp();
            Utils::RunEntry("CrasherEntry", {"Assert", "nosuch"});
        },
        ::testing::ExitedWithCode(3), TestUtils::Literal("i != m_threads.end()"));
    EXPECT_EQ(TheReport().Text("text-brief"), "i != m_threads.end()");
}

TEST_F(CrasherScenario, EntryInstallsTheDumpToolMode)
{
    EXPECT_EXIT(
        {
            StartChildApp();
            auto out = std::make_shared<YrLogV2::MemoryOutput>();
            auto link = YrLogV2::LogRoot::Instance().AttachOutput(out);
            std::freopen("/dev/null", "w", stdout);
            Utils::RunEntry("CrasherEntry", {});
            Checks c;
            c.Expect(CrashReporter::IsHookInstalled(), "hook");
            c.Expect(out->Texts("CrashReporter") ==
                         std::vector<std::string>(1, "ProcDump run was failed: Can't find procdump"),
                     "log");
            c.Exit();
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(CrasherScenario, LogAliveEndsInTheLogAssertion)
{
    EXPECT_EXIT(
        {
            StartChildApp();
            auto out = std::make_shared<YrLogV2::MemoryOutput>();
            static auto link = YrLogV2::LogRoot::Instance().AttachOutput(out);
            CrashReporter::InstallHook(Params(CrashReporter::WinHookMode::Internal));
            Crasher c;
            c.Crash("", CrashType::LogAlive);
        },
        ::testing::ExitedWithCode(3), "Log node\\(0x[0-9a-f]+\\) is dead");
    EXPECT_THAT(TheReport().Text("text-brief"), ::testing::MatchesRegex("Log node\\(0x[0-9a-f]+\\) is dead"));
}

TEST_F(CrasherScenario, StdExceptionOnRawThreadReachesTheFilter)
{
    EXPECT_EXIT(CrashWithInternalHook("+r", CrashType::Std), ::testing::ExitedWithCode(3),
                std::string("EXCEPTION_MS_CPP(.|\n)*") + c_message);
    EXPECT_EQ(TheReport().Text("text-brief"), "Unhandled system exception");
}

TEST_F(CrasherScenario, OutOfMemoryIsReported)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator ends the process itself when memory runs out";
#else
    EXPECT_EXIT(
        {
            StartChildApp();
            CrashReporter::InstallHook(Params(CrashReporter::WinHookMode::Internal));
            Crasher c;
            // Little room above what the process uses now, for this child only.
            SetAddressSpaceLimit(512);
            c.Crash("+r", CrashType::DoubleOutOfMem);
        },
        ::testing::ExitedWithCode(3), "std::bad_alloc");
    EXPECT_EQ(TheReport().Text("text-brief"), "Unhandled system exception");
#endif
}

// ---- through the entry runner, as a user starts it ----

class CrasherEntryHost : public ScenarioTest
{
protected:
    void SetUp() override
    {
        ScenarioTest::SetUp();
        if (!TestUtils::EntryHostBuilt())
            GTEST_SKIP() << "the entry host is not built";
    }

    // The runner keeps its reports below the user's data folder (the temporary folder for a
    // system account): here, the test's own.
    TestUtils::EntryHostRun Run(const QStringList& args)
    {
        fs::create_directories(Root() / "data");
        const QString data = QString::fromStdString((Root() / "data").string());
        QProcessEnvironment env;
        env.insert("XDG_DATA_HOME", data);
        env.insert("TMPDIR", data);
        return TestUtils::RunEntryHost("CrasherEntry", QByteArray(), env, args);
    }

    std::vector<fs::path> Reports() const
    {
        std::vector<fs::path> res;
        boost::system::error_code ec;
        for (fs::recursive_directory_iterator i(Root() / "data", ec), end; !ec && i != end; i.increment(ec))
        {
            if (i->path().extension() == ".crash")
                res.push_back(i->path());
        }
        return res;
    }
};

TEST_F(CrasherEntryHost, WithoutArgumentsPrintsTheUsage)
{
    const TestUtils::EntryHostRun r = Run(QStringList());
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(255, r.exitCode);
    EXPECT_TRUE(r.out.startsWith("Extra args: crash_type [thread_name]\n\nthreads:\n")) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("  'iCore'\n"));
    EXPECT_TRUE(Reports().empty());
}

TEST_F(CrasherEntryHost, CrashKindEndsWithAReport)
{
    const TestUtils::EntryHostRun r = Run(QStringList() << "Assert");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(3, r.exitCode);
    EXPECT_TRUE(r.err.contains("Aborted! ")) << r.err.toStdString();
    const std::vector<fs::path> reports = Reports();
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ(ParseReport(reports[0]).Text("text-brief"), c_message);
}
