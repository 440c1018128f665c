#include <signal.h>
#include <unistd.h>
#include <atomic>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include "Platform/FaultSignals.h"
#include "Platform/OsTryCatch.h"
#include "Platform/Thread.h"
#include "Utils/StringUtils.h"

namespace
{

using ::testing::HasSubstr;
using ::testing::StartsWith;

volatile int* volatile g_null = nullptr;
volatile int g_zero = 0;

// The faults must happen for real: the sanitizers would otherwise report and stop first.
#define REAL_FAULT __attribute__((noinline, no_sanitize("address", "undefined")))

REAL_FAULT void WriteNull()
{
    *g_null = 1;
}

REAL_FAULT int ReadAt16()
{
    return *reinterpret_cast<volatile int*>(reinterpret_cast<uintptr_t>(g_null) + 16);
}

// The division in assembly: a C++ division whose result is unused may be optimised away.
REAL_FAULT int DivideByZero()
{
    int quotient = 7;
    const int divisor = g_zero;
    asm volatile("cltd\n\tidivl %[d]" : "+a"(quotient) : [d] "r"(divisor) : "edx", "cc");
    return quotient;
}

REAL_FAULT void IllegalInstruction()
{
    __builtin_trap();
}

REAL_FAULT void Breakpoint()
{
    asm volatile("int3");
}

template <class F>
std::unique_ptr<Utils::ExceptionInfo> Guard(F f, Platform::OsTryCatchType kind)
{
    auto ex = Utils::MakeExecuter(f);
    return Platform::OsTryCatch(ex, kind);
}

std::string Narrow(const std::wstring& w)
{
    return Utils::WStringToStdString(w);
}

std::string FirstLine(const std::string& s)
{
    return s.substr(0, s.find('\n'));
}

TEST(FaultGuardTest, NullWriteIsCaughtWithItsDescription)
{
    auto info = Guard([] { WriteNull(); }, Platform::enOsTCTAllWindows);
    ASSERT_NE(nullptr, info);
    const std::string ctx = Narrow(info->context);
    EXPECT_TRUE(
        std::regex_match(ctx, std::regex("Windows Exception EXCEPTION_ACCESS_VIOLATION \\(0xc0000005\\) at "
                                         "0x[0-9A-F]{16}; write 0x0000000000000000")))
        << ctx;
    // The stack starts at the faulting function, not in the handler.
    // The frame's name alone, as report readers parse it.
    EXPECT_THAT(FirstLine(info->stackTrace), HasSubstr("WriteNull"));
    EXPECT_THAT(FirstLine(info->stackTrace), ::testing::Not(HasSubstr(".cpp:")));
    EXPECT_THAT(info->stackTrace, HasSubstr("NullWriteIsCaughtWithItsDescription"));
    EXPECT_TRUE(info->typeName.empty());
}

TEST(FaultGuardTest, ReadAtSixteen)
{
    auto info = Guard([] { ReadAt16(); }, Platform::enOsTCTAllWindows);
    ASSERT_NE(nullptr, info);
    EXPECT_THAT(Narrow(info->context), ::testing::EndsWith("; read 0x0000000000000010"));
    EXPECT_THAT(FirstLine(info->stackTrace), HasSubstr("ReadAt16"));
}

TEST(FaultGuardTest, OtherFaultsGetTheirWindowsNames)
{
    auto div = Guard([] { DivideByZero(); }, Platform::enOsTCTAllWindows);
    ASSERT_NE(nullptr, div);
    EXPECT_THAT(Narrow(div->context),
                StartsWith("Windows Exception EXCEPTION_INT_DIVIDE_BY_ZERO (0xc0000094) at 0x"));
    EXPECT_THAT(FirstLine(div->stackTrace), HasSubstr("DivideByZero"));

    auto ill = Guard([] { IllegalInstruction(); }, Platform::enOsTCTAllWindows);
    ASSERT_NE(nullptr, ill);
    EXPECT_THAT(Narrow(ill->context),
                StartsWith("Windows Exception EXCEPTION_ILLEGAL_INSTRUCTION (0xc000001d) at 0x"));

    auto brk = Guard([] { Breakpoint(); }, Platform::enOsTCTAllWindows);
    ASSERT_NE(nullptr, brk);
    EXPECT_THAT(Narrow(brk->context),
                StartsWith("Windows Exception EXCEPTION_BREAKPOINT (0x80000003) at 0x"));
}

TEST(FaultGuardTest, GuardsNestAndTheInnermostCatches)
{
    std::unique_ptr<Utils::ExceptionInfo> inner;
    bool afterInner = false;
    auto outer = Guard(
        [&]
        {
            inner = Guard([] { WriteNull(); }, Platform::enOsTCTAllWindows);
            afterInner = true;
            // A regular guard inside takes no fault: the outer one does.
            Guard([] { ReadAt16(); }, Platform::enOsTCTRegular);
            ADD_FAILURE() << "the fault should have left the work";
        },
        Platform::enOsTCTAllWindows);
    ASSERT_NE(nullptr, inner);
    EXPECT_THAT(Narrow(inner->context), HasSubstr("; write "));
    EXPECT_TRUE(afterInner);
    ASSERT_NE(nullptr, outer);
    EXPECT_THAT(Narrow(outer->context), HasSubstr("; read 0x0000000000000010"));

    // Everything is unwound: the next guard works as the first did.
    EXPECT_EQ(nullptr, Guard([] {}, Platform::enOsTCTAllWindows));
    EXPECT_NE(nullptr, Guard([] { WriteNull(); }, Platform::enOsTCTAllWindows));
}

TEST(FaultGuardTest, ThreadsCatchTheirOwnFaults)
{
    std::atomic<int> caught(0);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
    {
        threads.emplace_back(
            [&caught, i]
            {
                for (int k = 0; k < 10; ++k)
                {
                    auto info = Guard([i] { (i % 2) ? WriteNull() : (void)DivideByZero(); },
                                      Platform::enOsTCTAllWindows);
                    if (info && info->context.find(i % 2 ? L"ACCESS_VIOLATION" : L"INT_DIVIDE_BY_ZERO") !=
                                    std::wstring::npos)
                        ++caught;
                }
            });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(40, caught.load());
}

// Runs until the stack is gone, on purpose.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winfinite-recursion"
__attribute__((noinline)) int Overflow(int n)
{
    volatile char buf[256];
    buf[0] = static_cast<char>(n);
    int r = Overflow(n + 1);
    asm volatile("" ::: "memory");
    return r + buf[0];
}
#pragma GCC diagnostic pop

class OverflowThread : public Platform::Thread
{
public:
    OverflowThread() : Platform::Thread("Overflow") {}
    ~OverflowThread() override { Wait(); }
    std::unique_ptr<Utils::ExceptionInfo> info;
    bool bodyGoesOn = false;

private:
    void run() override
    {
        info = Guard([] { Overflow(0); }, Platform::enOsTCTAllWindows);
        bodyGoesOn = true;
    }
};

TEST(FaultGuardTest, StackOverflowOnAPlatformThreadIsCaught)
{
    OverflowThread t;
    t.Start(QThread::InheritPriority);
    t.Wait();
    ASSERT_NE(nullptr, t.info);
    EXPECT_THAT(Narrow(t.info->context),
                StartsWith("Windows Exception EXCEPTION_STACK_OVERFLOW (0xc00000fd) at 0x"));
    EXPECT_THAT(FirstLine(t.info->stackTrace), HasSubstr("Overflow"));
    EXPECT_TRUE(t.bodyGoesOn);
}

TEST(FaultGuardDeathTest, RegularKindLetsFaultsThrough)
{
    Platform::InstallFaultDispatcher();
    EXPECT_EXIT(Guard([] { WriteNull(); }, Platform::enOsTCTDefault), ::testing::KilledBySignal(SIGSEGV), "");
    EXPECT_EXIT(Guard([] { DivideByZero(); }, Platform::enOsTCTRegular), ::testing::KilledBySignal(SIGFPE),
                "");
}

void ReportingFilter(const WinExcept::ExceptionPointers& ep)
{
    Utils::ExceptionInfo info = WinExcept::MakeSysExceptionInfo(ep);
    std::string text = "filter: " + Utils::WStringToStdString(info.context) + "\n" + info.stackTrace + "\n";
    ssize_t n = write(STDERR_FILENO, text.data(), text.size());
    (void)n;
    _exit(3);
}

TEST(FaultGuardDeathTest, UnguardedFaultReachesTheUnhandledFilter)
{
    EXPECT_EXIT(
        {
            Platform::InstallFaultDispatcher();
            Platform::SetUnhandledFaultFilter(&ReportingFilter);
            Guard([] { WriteNull(); }, Platform::enOsTCTDefault);
        },
        ::testing::ExitedWithCode(3),
        "filter: Windows Exception EXCEPTION_ACCESS_VIOLATION \\(0xc0000005\\) at 0x[0-9A-F]{16}; write "
        "0x0000000000000000\n[^\n]*WriteNull");

    // A fault on a platform thread takes the same road.
    EXPECT_EXIT(
        {
            Platform::InstallFaultDispatcher();
            Platform::SetUnhandledFaultFilter(&ReportingFilter);
            struct T : Platform::Thread
            {
                T() : Platform::Thread("Faulty") {}
                void run() override { WriteNull(); }
            } t;
            t.Start(QThread::InheritPriority);
            t.Wait();
        },
        ::testing::ExitedWithCode(3), "filter: Windows Exception EXCEPTION_ACCESS_VIOLATION");
}

void PreviousHandler(int, siginfo_t*, void*)
{
    _exit(7);
}

TEST(FaultGuardDeathTest, UnguardedFaultChainsToThePreviousHandler)
{
    EXPECT_EXIT(
        {
            struct sigaction sa;
            std::memset(&sa, 0, sizeof(sa));
            sa.sa_sigaction = &PreviousHandler;
            sa.sa_flags = SA_SIGINFO;
            sigaction(SIGSEGV, &sa, nullptr);
            Platform::InstallFaultDispatcher();
            // Guards still work while a previous handler exists.
            if (Guard([] { WriteNull(); }, Platform::enOsTCTAllWindows) == nullptr)
                _exit(1);
            WriteNull();
        },
        ::testing::ExitedWithCode(7), "");
}

TEST(FaultGuardDeathTest, RemovingTheDispatcherRestoresThePreviousHandler)
{
    EXPECT_EXIT(
        {
            struct sigaction sa;
            std::memset(&sa, 0, sizeof(sa));
            sa.sa_sigaction = &PreviousHandler;
            sa.sa_flags = SA_SIGINFO;
            sigaction(SIGSEGV, &sa, nullptr);
            Platform::InstallFaultDispatcher();
            Platform::RemoveFaultDispatcher();
            struct sigaction cur;
            sigaction(SIGSEGV, nullptr, &cur);
            _exit(cur.sa_sigaction == &PreviousHandler ? 5 : 6);
        },
        ::testing::ExitedWithCode(5), "");
}

} // namespace
