#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "ESS/Assert.h"
#include "ESS/ChildProcessRun.h"
#include "Platform/Halt.h"
#include "Platform/HaltPathLock.h"
#include "Platform/SysInfo.h"

#include "common/FileSizeLimit.h"
#include "common/StreamLockHolder.h"

namespace
{

using TestUtils::CountOccurrences;
using TestUtils::RunInChild;

const char* const c_timeRe = "[0-9]{4}-[A-Z][a-z]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}";

bool FullMatch(const std::string& text, const std::string& re)
{
    return std::regex_match(text, std::regex(re, std::regex::extended));
}

std::string Notice(const std::string& description)
{
    return "\n\nAborted! " + std::string(c_timeRe) + "\n" + description + "\n";
}

// Prints every notification on standard output: "<kind>:<description>|<brief>|<extra>".
void PrintingObserver(const Platform::ExitInformation& i)
{
    std::printf("%d:%ls|%ls|%s\n", i.kind, i.description.c_str(), i.brief.c_str(),
                i.extra ? "extra" : "null");
    std::fflush(stdout);
}

TEST(ExitObserversTest, NotifiedInRegistrationOrderUntilHandleDropped)
{
    std::vector<std::string> calls;
    auto observer = [&calls](const char* name)
    {
        return [&calls, name](const Platform::ExitInformation& i)
        { calls.push_back(name + std::to_string(i.kind)); };
    };
    Utils::NotificationHandle a = Platform::AddExitObserver(observer("A"));
    Utils::NotificationHandle b = Platform::AddExitObserver(observer("B"));
    Utils::NotificationHandle c = Platform::AddExitObserver(observer("C"));

    Platform::ExitInformation info;
    info.kind = 7;
    Platform::NotifyExitObservers(info);
    EXPECT_EQ((std::vector<std::string>{"A7", "B7", "C7"}), calls);

    calls.clear();
    {
        Utils::NotificationHandle bCopy = b;
        b.Reset();
        Platform::NotifyExitObservers(info); // a copy keeps the subscription
        bCopy.Reset();
    }
    Platform::NotifyExitObservers(info);
    EXPECT_EQ((std::vector<std::string>{"A7", "B7", "C7", "A7", "C7"}), calls);
}

TEST(ExitObserversDeathTest, EmptyObserverIsRefused)
{
    EXPECT_EXIT(Platform::AddExitObserver(Platform::ExitObserver()), ::testing::ExitedWithCode(3),
                "\n>>>\nfn\n<<<\n");
}

// With a termination that returns: kind 0 then 1 on the first halt, kind 0 only afterwards.
TEST(HaltTest, FirstHaltSendsBothKindsLaterOnlyKindZero)
{
    const auto r = RunInChild(
        []
        {
            Platform::SetTerminateSelfHandler([] { std::printf("terminate\n"); });
            static Utils::NotificationHandle h = Platform::AddExitObserver(&PrintingObserver);
            Platform::Halt(L"desc", L"brief", nullptr);
            std::printf("returned\n");
            Platform::Halt(L"", L"", nullptr);
            std::printf("returned\n");
        });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ("0:desc|brief|null\n1:desc|brief|null\nterminate\nreturned\n"
              "0:<no description>||null\nterminate\nreturned\n",
              r.out);
    EXPECT_TRUE(FullMatch(r.err, Notice("desc") + Notice("<no description>") + "\nRecursive exit!\n"))
        << r.err;
}

TEST(HaltTest, ExtraPointerAndAbortForwardUnchanged)
{
    const auto r = RunInChild(
        []
        {
            Platform::SetTerminateSelfHandler([] {});
            static Utils::NotificationHandle h = Platform::AddExitObserver(&PrintingObserver);
            Platform::Abort(L"d", L"b", reinterpret_cast<const Platform::SysExceptionInfoBase*>(&h));
        });
    EXPECT_EQ("0:d|b|extra\n1:d|b|extra\n", r.out);
    EXPECT_TRUE(FullMatch(r.err, Notice("d"))) << r.err;
}

// The notice is UTF-8, not the low byte of each character.
TEST(HaltTest, DescriptionIsWrittenAsUtf8)
{
    const auto r = RunInChild(
        []
        {
            Platform::SetTerminateSelfHandler([] {});
            Platform::Halt(L"\u00DC \u0420\u0443\u0441\u0441\u043a\u0438\u0439 Winter is coming...", L"",
                           nullptr);
        });
    EXPECT_NE(
        std::string::npos,
        r.err.find(
            "\n\xC3\x9C \xD0\xA0\xD1\x83\xD1\x81\xD1\x81\xD0\xBA\xD0\xB8\xD0\xB9 Winter is coming...\n"))
        << r.err;
}

// A real halt: exit code 3, nothing of atexit handlers or static destructors.
TEST(HaltTest, RealHaltExitsWithCodeThreeWithoutExitHandlers)
{
    const auto r = RunInChild(
        []
        {
            static Utils::NotificationHandle h = Platform::AddExitObserver(&PrintingObserver);
            std::atexit([] { std::fprintf(stderr, "ATEXIT-MARKER\n"); });
            struct Marker
            {
                ~Marker() { std::fprintf(stderr, "DESTRUCTOR-MARKER\n"); }
            };
            static Marker marker;
            Platform::Halt(L"real", L"b", nullptr);
            std::fprintf(stderr, "AFTER-HALT\n");
        });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(Platform::c_haltExitCode, r.exitCode);
    EXPECT_EQ("0:real|b|null\n1:real|b|null\n", r.out);
    EXPECT_TRUE(FullMatch(r.err, Notice("real"))) << r.err;
}

// A failed assertion in a real child: every observer hears kind 0, in registration order, before
// any hears kind 1; the notice carries the time and the full assertion text; the exit code is 3.
TEST(HaltTest, FailedAssertionNotifiesObserversInOrderAndExitsWithThree)
{
    const auto r = RunInChild(
        []
        {
            static Utils::NotificationHandle a =
                Platform::AddExitObserver([](const Platform::ExitInformation& i)
                                          { std::printf("A%d|%ls\n", i.kind, i.brief.c_str()); });
            static Utils::NotificationHandle b = Platform::AddExitObserver(
                [](const Platform::ExitInformation& i)
                {
                    std::printf("B%d\n", i.kind);
                    std::fflush(stdout);
                });
            const int x = 2;
            ESS_ASSERT(x == 1);
        });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(Platform::c_haltExitCode, r.exitCode);
    EXPECT_EQ("A0|x == 1\nB0\nA1|x == 1\nB1\n", r.out);
    EXPECT_TRUE(FullMatch(r.err, Notice("Exception \n>>>\nx == 1\n<<<\nESS::Assertion in thread .*")))
        << r.err;
    EXPECT_EQ(0, CountOccurrences(r.err, "Recursive exit!"));
}

// An assertion inside an observer re-enters the halt: it must end the process, not loop.
TEST(HaltTest, HaltReenteredFromObserverEndsWithRecursiveExit)
{
    const auto r = RunInChild(
        []
        {
            static int calls = 0;
            static Utils::NotificationHandle h = Platform::AddExitObserver(
                [](const Platform::ExitInformation& i)
                {
                    ++calls;
                    std::printf("observer %d kind %d\n", calls, i.kind);
                    std::fflush(stdout);
                    ESS_ASSERT(calls == 0);
                });
            Platform::Halt(L"outer", L"", nullptr);
        },
        20000);
    EXPECT_FALSE(r.timedOut);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(Platform::c_haltExitCode, r.exitCode);
    EXPECT_EQ("observer 1 kind 0\n", r.out);
    // The inner halt prints its notice and ends the process while the outer one is still notifying.
    EXPECT_EQ(1, CountOccurrences(r.err, "Aborted! "));
    EXPECT_EQ(1, CountOccurrences(r.err, "\nRecursive exit!\n"));
    EXPECT_NE(std::string::npos, r.err.find("\n>>>\ncalls == 0\n<<<\n"));
    EXPECT_EQ(r.err.size() - std::strlen("\nRecursive exit!\n"), r.err.rfind("\nRecursive exit!\n"));
}

// An observer that throws does not keep the process alive.
TEST(HaltTest, ThrowingObserverStillEndsTheProcess)
{
    const auto r = RunInChild(
        []
        {
            static Utils::NotificationHandle h = Platform::AddExitObserver(
                [](const Platform::ExitInformation& i)
                {
                    std::printf("kind %d\n", i.kind);
                    std::fflush(stdout);
                    throw std::runtime_error("observer failed");
                });
            Platform::Halt(L"x", L"", nullptr);
        });
    EXPECT_EQ(Platform::c_haltExitCode, r.exitCode);
    EXPECT_EQ("kind 0\nkind 1\n", r.out);
    EXPECT_TRUE(FullMatch(r.err, Notice("x"))) << r.err;
}

// A throwing observer does not keep the observers registered after it from hearing both kinds.
TEST(HaltTest, ThrowingObserverDoesNotSilenceLaterObservers)
{
    const auto r = RunInChild(
        []
        {
            static Utils::NotificationHandle a = Platform::AddExitObserver(
                [](const Platform::ExitInformation& i)
                {
                    std::printf("A%d\n", i.kind);
                    std::fflush(stdout);
                    if (i.kind == 0)
                        throw std::runtime_error("observer failed");
                    throw 1;
                });
            static Utils::NotificationHandle b = Platform::AddExitObserver(
                [](const Platform::ExitInformation& i)
                {
                    std::printf("B%d\n", i.kind);
                    std::fflush(stdout);
                });
            Platform::Halt(L"x", L"", nullptr);
        });
    EXPECT_EQ(Platform::c_haltExitCode, r.exitCode);
    EXPECT_EQ("A0\nB0\nA1\nB1\n", r.out);
    EXPECT_TRUE(FullMatch(r.err, Notice("x"))) << r.err;
}

// Halts of several threads at once: observers never run concurrently and only one kind 1 is sent.
TEST(HaltTest, ConcurrentHaltsAreSerialisedAndSendOneKindOne)
{
    const auto r = RunInChild(
        []
        {
            Platform::SetTerminateSelfHandler([] {});
            static std::atomic<int> inside{0};
            static std::atomic<int> overlaps{0};
            static std::atomic<int> kind0{0};
            static std::atomic<int> kind1{0};
            static Utils::NotificationHandle h = Platform::AddExitObserver(
                [](const Platform::ExitInformation& i)
                {
                    if (inside.fetch_add(1) != 0)
                        ++overlaps;
                    ++(i.kind == 0 ? kind0 : kind1);
                    std::this_thread::yield();
                    inside.fetch_sub(1);
                });
            std::vector<std::thread> threads;
            for (int t = 0; t < 4; ++t)
                threads.emplace_back([] { Platform::Halt(L"t", L"", nullptr); });
            for (auto& t : threads)
                t.join();
            std::printf("overlaps=%d kind0=%d kind1=%d\n", overlaps.load(), kind0.load(), kind1.load());
        });
    EXPECT_EQ("overlaps=0 kind0=4 kind1=1\n", r.out);
    EXPECT_EQ(4, CountOccurrences(r.err, "Aborted! "));
    EXPECT_EQ(3, CountOccurrences(r.err, "\nRecursive exit!\n"));
}

// A lock that never comes; it keeps the waits asked of it, in milliseconds.
struct NeverFreeLock
{
    std::string waits;
    bool try_lock_for(std::chrono::milliseconds wait)
    {
        waits += " " + std::to_string(wait.count());
        return false;
    }
};

// A halt waits once for a lock that does not come, then no more; the next halt waits for it again,
// and off the halt path every try waits. Standard error's lock counts as one such lock.
TEST(HaltTest, AHaltWaitsOnceForALockThatDoesNotCome)
{
    const auto r = RunInChild(
        []
        {
            static NeverFreeLock a, b;
            static std::string stderrWait;
            static Utils::NotificationHandle h = Platform::AddExitObserver(
                [](const Platform::ExitInformation& i)
                {
                    if (i.kind != 0)
                        return;
                    Platform::TryLockForHaltPath(a);
                    Platform::TryLockForHaltPath(a);
                    Platform::TryLockForHaltPath(b);
                    Platform::WriteToStandardError("observer\n");
                    stderrWait += " " + std::to_string(Platform::HaltPathWait(stderr).count());
                });
            {
                const TestUtils::StreamLockHolder held(stderr);
                Platform::SetTerminateSelfHandler([] {});
                Platform::TryLockForHaltPath(a);
                Platform::Halt(L"first", L"", nullptr);
                Platform::Halt(L"second", L"", nullptr);
                Platform::TryLockForHaltPath(a);
            }
            std::printf("a%s; b%s; stderr%s\n", a.waits.c_str(), b.waits.c_str(), stderrWait.c_str());
        },
        20000);
    ASSERT_TRUE(r.exited);
    EXPECT_EQ("a 100 100 0 100 0 100; b 100 100; stderr 0 0\n", r.out);
    EXPECT_EQ(2, CountOccurrences(r.err, "observer\n"));
    EXPECT_EQ(2, CountOccurrences(r.err, "Aborted! "));
}

// A write to standard error that failed (the file at its size limit) must not silence the next
// halt's notice once there is room again.
TEST(HaltTest, AFailedWriteToStandardErrorDoesNotSilenceTheNextNotice)
{
    char path[] = "/tmp/yr_halt_stderr_XXXXXX";
    const int file = ::mkstemp(path);
    ASSERT_GE(file, 0);
    const auto r = RunInChild(
        [file]
        {
            const int original = ::dup(STDERR_FILENO);
            ::dup2(file, STDERR_FILENO);
            {
                const TestUtils::FileSizeLimit full(0);
                Platform::WriteToStandardError("lost\n");
            }
            Platform::SetTerminateSelfHandler([] {});
            Platform::Halt(L"after a failed write", L"", nullptr);
            ::dup2(original, STDERR_FILENO);
        });
    const std::string written = Platform::ReadSmallFile(path);
    ::close(file);
    ::unlink(path);
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_TRUE(FullMatch(written, Notice("after a failed write"))) << written;
}

TEST(HaltTest, TerminateSelfHandlerIsReplaceable)
{
    static int called;
    called = 0;
    auto previous = Platform::SetTerminateSelfHandler([] { ++called; });
    Platform::TerminateSelf();
    EXPECT_EQ(1, called);
    auto mine = Platform::SetTerminateSelfHandler(previous);
    EXPECT_NE(nullptr, mine);
    EXPECT_FALSE(Platform::IsDebuggerPresent());
}

} // namespace
