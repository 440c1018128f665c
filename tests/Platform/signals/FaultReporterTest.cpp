// The fault reporter: the unhandled-fault filter runs on the reporter's thread for a fault of any
// other thread, with the faulting thread's context; stopped, it leaves faults to their threads.
#include <dirent.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdio>
#include <string>
#include <gtest/gtest.h>
#include "Platform/FaultSignals.h"
#include "Platform/Thread.h"
#include "Platform/WinExcept.h"

#include "common/RealFaults.h"

namespace
{

void* CurrentTid()
{
    return reinterpret_cast<void*>(static_cast<uintptr_t>(::syscall(SYS_gettid)));
}

int ThreadCount()
{
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/task"))
    {
        while (dirent* e = ::readdir(d))
            n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

// The kernel lists a joined thread a moment longer: waits (bounded) until it has gone.
bool ThreadCountBecomes(int count)
{
    for (int i = 0; i < 2000 && ThreadCount() != count; ++i)
        ::usleep(1000);
    return ThreadCount() == count;
}

void* volatile g_faultingThread = nullptr;

// Ends the child with what the filter saw: 10 on the reporter for the faulting thread, 20 on the
// faulting thread itself; the stack must start in the faulting function either way.
void TellWhereFilter(const WinExcept::ExceptionPointers& ep)
{
    const std::string stack = WinExcept::StackTextFromContext(ep.context);
    const bool stackOk = stack.find("WriteNullHere") != std::string::npos;
    const bool onReporter = CurrentTid() != g_faultingThread && Platform::ReportedThreadId() == g_faultingThread;
    const bool onItself = CurrentTid() == g_faultingThread && Platform::ReportedThreadId() == g_faultingThread;
    _exit(!stackOk ? 1 : onReporter ? 10 : onItself ? 20 : 2);
}

[[noreturn]] void FaultWithFilter(bool stopReporterFirst)
{
    Platform::InstallFaultDispatcher();
    Platform::SetUnhandledFaultFilter(&TellWhereFilter);
    const int before = ThreadCount();
    if (!Platform::StartFaultReporter() || ThreadCount() != before + 1)
        _exit(3);
    if (stopReporterFirst)
    {
        Platform::StopFaultReporter();
        if (!ThreadCountBecomes(before) || Platform::FaultReporterRunning())
            _exit(4);
    }
    g_faultingThread = CurrentTid();
    TestUtils::WriteNullHere();
    _exit(5);
}

} // namespace

TEST(FaultReporterDeathTest, FilterRunsOnTheReporterWithTheFaultingThreadsContext)
{
    EXPECT_EXIT(FaultWithFilter(false), ::testing::ExitedWithCode(10), "");
}

TEST(FaultReporterDeathTest, StoppedReporterIsJoinedAndLeavesFaultsToTheirThread)
{
    EXPECT_EXIT(FaultWithFilter(true), ::testing::ExitedWithCode(20), "");
}

TEST(FaultReporterDeathTest, ForkedChildEndsWithoutTheReporter)
{
    EXPECT_EXIT(
        {
            Platform::InstallFaultDispatcher();
            Platform::StartFaultReporter();
            const pid_t child = ::fork();
            if (child == 0)
                std::exit(0); // static destructors stop a reporter this process does not have
            int status = -1;
            ::waitpid(child, &status, 0);
            _exit(WIFEXITED(status) ? WEXITSTATUS(status) + 30 : 1);
        },
        ::testing::ExitedWithCode(30), "");
}
