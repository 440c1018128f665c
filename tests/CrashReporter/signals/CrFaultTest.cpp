// Real faults in child processes: the unhandled-fault filter turns them into a halt, a crash
// report and a dump with the fault's context.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <boost/function.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include "CrashReporter/CrHook.h"
#include "CrashReporter/CrTestSupport.h"
#include "CrashReporter/spec/CrPlatform_linux.h"
#include "Platform/FaultSignals.h"
#include "Platform/Halt.h"
#include "Utils/FuncThread.h"

using namespace CrTest;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

namespace
{

int* volatile g_null = nullptr;

// The fault must happen for real, not be reported by the sanitizers first.
__attribute__((noinline, no_sanitize("address", "undefined"))) void WriteNullHere()
{
    *g_null = 7;
}

// Runs until the stack is gone, on purpose.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winfinite-recursion"
__attribute__((noinline, no_sanitize("address", "undefined"))) void RecurseForever(int depth)
{
    volatile char pad[512];
    pad[0] = static_cast<char>(depth);
    RecurseForever(depth + 1);
    pad[1] = pad[0];
}
#pragma GCC diagnostic pop

__attribute__((noinline)) void ThrowUncaught()
{
    throw std::runtime_error("nobody catches this");
}

const char* const c_avContext =
    "Windows Exception EXCEPTION_ACCESS_VIOLATION \\(0xc0000005\\) at 0x[0-9A-F]{16}; "
    "write 0x0000000000000000";

} // namespace

class CrFaultScenario : public ScenarioTest
{
protected:
    void InstallInternal(bool full = false)
    {
        StartChildApp();
        CrashReporter::InstallHook(Params(CrashReporter::WinHookMode::Internal, full));
    }

    Report TheReport(std::string* dump = nullptr)
    {
        fs::path reportPath, dumpPath;
        EXPECT_TRUE(FindSingleReport(reportPath, dumpPath));
        if (dump != nullptr && !dumpPath.empty())
            *dump = ReadFile(dumpPath);
        return reportPath.empty() ? Report() : ParseReport(reportPath);
    }
};

TEST_F(CrFaultScenario, NullWriteOnTheMainThread)
{
    EXPECT_EXIT(
        {
            InstallInternal();
            WriteNullHere();
        },
        ::testing::ExitedWithCode(3), std::string("Aborted! (.|\n)*") + c_avContext);

    std::string dump;
    const Report r = TheReport(&dump);
    EXPECT_EQ(r.Text("text-brief"), "Unhandled system exception");
    EXPECT_THAT(r.Text("text"), MatchesRegex(std::string("(.|\n)*") + c_avContext + "(.|\n)*"));
    // The stack of the fault starts at the faulting function.
    EXPECT_THAT(r.Text("text"), HasSubstr("WriteNullHere"));
    EXPECT_THAT(r.Text("thread"), MatchesRegex("main \\([0-9]+\\)"));

    EXPECT_THAT(dump, HasSubstr("\n[exception]\ncode: 0xc0000005\n"));
    EXPECT_THAT(dump, HasSubstr("\nparameters: 0x0000000000000001 0x0000000000000000\n"));
    EXPECT_THAT(dump, HasSubstr("signal: 11 SIGSEGV"));
    EXPECT_THAT(dump, MatchesRegex("(.|\n)*\n\\[registers\\]\n(.|\n)*\nrip     0x[0-9a-f]{16}\n(.|\n)*"));
    // The dumping thread's stack is the fault's: its first frame is the faulting function.
    const size_t own = dump.find("(dumping)]\n");
    ASSERT_NE(own, std::string::npos);
    EXPECT_THAT(dump.substr(own, 300),
                MatchesRegex("\\(dumping\\)\\]\nname: main \\([0-9]+\\)\n0x[0-9a-f]{16} "
                             "[^\n]*WriteNullHere\\(\\)(.|\n)*"));
}

TEST_F(CrFaultScenario, FaultOnAProgramThread)
{
    EXPECT_EXIT(
        {
            InstallInternal(true);
            // The thread's own guard does not take faults: they go on to the filter.
            Utils::ThreadRunFn(&WriteNullHere, "Faulty").reset();
        },
        ::testing::ExitedWithCode(3), c_avContext);

    std::string dump;
    const Report r = TheReport(&dump);
    EXPECT_THAT(r.Text("thread"), MatchesRegex("Faulty/main \\([0-9]+\\)"));
    EXPECT_EQ(r.Text("text-brief"), "Unhandled system exception");
    EXPECT_THAT(dump, HasSubstr("kind: full"));
    EXPECT_THAT(dump, HasSubstr("\n[memory at fault address]\n"));
    // The main thread waits for the faulty one: it is listed with its stack by the helper.
    EXPECT_THAT(dump, MatchesRegex("(.|\n)*\n\\[thread [0-9]+ \"[^\"]*\"\\]\n0x(.|\n)*"));
}

TEST_F(CrFaultScenario, StackOverflow)
{
    EXPECT_EXIT(
        {
            InstallInternal();
            RecurseForever(0);
        },
        ::testing::ExitedWithCode(3), "EXCEPTION_STACK_OVERFLOW");
    const Report r = TheReport();
    EXPECT_THAT(r.Text("text"), HasSubstr("RecurseForever"));
}

TEST_F(CrFaultScenario, UncaughtExceptionOnARawThread)
{
    EXPECT_EXIT(
        {
            InstallInternal();
            std::thread t(&ThrowUncaught);
            t.join();
        },
        ::testing::ExitedWithCode(3), "EXCEPTION_MS_CPP .*nobody catches this");
    const Report r = TheReport();
    EXPECT_EQ(r.Text("text-brief"), "Unhandled system exception");
    EXPECT_THAT(r.Text("text"), HasSubstr("Exception type 'std::runtime_error' info 'nobody catches this'"));
    // The exception never unwound: the stack still shows where it was thrown.
    EXPECT_THAT(r.Text("text"), HasSubstr("ThrowUncaught"));
}

TEST_F(CrFaultScenario, TerminateWithoutException)
{
    EXPECT_EXIT(
        {
            InstallInternal();
            std::terminate();
        },
        ::testing::ExitedWithCode(3), "Unknown unhandled exception occurred");
    EXPECT_EQ(TheReport().Text("text-brief"), "Unhandled Exception");
}

TEST_F(CrFaultScenario, WithoutTheFilterAFaultIsNotReported)
{
    EXPECT_EXIT(
        {
            StartChildApp();
            CrashReporter::InstallHook(Params(CrashReporter::WinHookMode::Off));
            WriteNullHere();
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    EXPECT_TRUE(FilesWithExt(ReportFolder(), ".crash").empty());
}

TEST_F(CrFaultScenario, WatchdogEndsAReportThatHangs)
{
    EXPECT_EXIT(
        {
            StartChildApp();
            CrashReporter::detail::SetFaultWatchdogSeconds(1);
            // An observer that never lets the halt go on, as a lock held by the faulting code would.
            static Utils::NotificationHandle stuck = Platform::AddExitObserver(
                [](const Platform::ExitInformation&)
                {
                    for (;;)
                        ::pause();
                });
            CrashReporter::InstallHook(Params(CrashReporter::WinHookMode::Internal));
            WriteNullHere();
        },
        ::testing::KilledBySignal(SIGALRM), "");
}

// A tracer of this process (a child, as a debugger would be); killed by the returned function.
pid_t AttachTracer(Checks& c)
{
    ::prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    const pid_t self = ::getpid();
    const pid_t tracer = ::fork();
    if (tracer == 0)
    {
        if (::ptrace(PTRACE_SEIZE, self, nullptr, nullptr) != 0)
            ::_exit(1);
        ::sleep(c_childLimitSeconds);
        ::_exit(0);
    }
    for (int i = 0; i < 3000 && !Platform::IsDebuggerPresent(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    c.Expect(Platform::IsDebuggerPresent(), "tracer attached");
    return tracer;
}

void DetachTracer(pid_t tracer)
{
    ::kill(tracer, SIGKILL);
    ::waitpid(tracer, nullptr, 0);
    for (int i = 0; i < 3000 && Platform::IsDebuggerPresent(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void EmptyFilter(const WinExcept::ExceptionPointers&) {}

TEST_F(CrFaultScenario, DebuggerSeesTheFaults)
{
    EXPECT_EXIT(
        {
            StartChildApp();
            Checks c;
            Platform::InstallFaultDispatcher();
            Platform::SetUnhandledFaultFilter(&EmptyFilter);

            // Under a debugger nothing is installed.
            pid_t tracer = AttachTracer(c);
            c.Expect(CrashReporter::InstallSegfaultFilter(), "result under a debugger");
            c.Expect(Platform::SetUnhandledFaultFilter(&EmptyFilter) == &EmptyFilter, "filter replaced");
            DetachTracer(tracer);

            // Without one it is (once), keeping the filter before it.
            c.Expect(CrashReporter::InstallSegfaultFilter(), "result without a debugger");
            Platform::UnhandledFaultFilter ours = Platform::SetUnhandledFaultFilter(nullptr);
            c.Expect(ours != nullptr && ours != &EmptyFilter, "filter not installed");
            Platform::SetUnhandledFaultFilter(ours);

            // A debugger that comes later gets the faults passed on (continue search) instead of a halt.
            tracer = AttachTracer(c);
            c.Expect(CrashReporter::ExceptionFilter::UnhandledExceptionFilterProc(nullptr) == 0, "verdict");
            DetachTracer(tracer);
            c.Exit();
        },
        ::testing::ExitedWithCode(0), "");
}
