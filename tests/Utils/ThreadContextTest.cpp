#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include "Platform/Thread.h"
#include "ThreadLooper.h"
#include "Utils/ThreadContext.h"

namespace
{

using ::testing::HasSubstr;
using TestUtils::ThreadLooper;

// Holds a looper's thread inside a function until released.
class Gate
{
public:
    void Block()
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_entered = true;
        m_cond.notify_all();
        m_cond.wait(lock, [this] { return m_open; });
    }
    void WaitEntered()
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_cond.wait(lock, [this] { return m_entered; });
    }
    void Open()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_open = true;
        m_cond.notify_all();
    }

private:
    std::mutex m_lock;
    std::condition_variable m_cond;
    bool m_entered = false;
    bool m_open = false;
};

TEST(ThreadContextTest, RunSyncRunsInTheTargetThreadAndWaits)
{
    ThreadLooper looper("LoopA");
    Utils::ThreadContext ctx = looper.MakeContext();
    EXPECT_FALSE(ctx.IsCurrent());
    void* ranOn = nullptr;
    ctx.RunSync([&] { ranOn = Platform::Thread::GetCurrentThreadID(); });
    EXPECT_EQ(looper.Id(), ranOn);
    EXPECT_EQ(looper.Id(), ctx.Id());
}

TEST(ThreadContextTest, ContextAsksTheTargetForItsId)
{
    ThreadLooper looper("LoopA");
    Utils::ThreadContext ctx([&](const boost::function<void()>& fn, int) { looper.Post(fn); }, false,
                             boost::optional<void*>());
    EXPECT_EQ(looper.Id(), ctx.Id());

    Utils::ThreadContext here([](const boost::function<void()>& fn, int) { fn(); }, true,
                              boost::optional<void*>());
    EXPECT_TRUE(here.IsCurrent());
}

TEST(ThreadContextTest, RunSyncOnTheTargetThreadRunsInline)
{
    ThreadLooper looper("LoopA");
    Utils::ThreadContext ctx = looper.MakeContext();
    bool innerDoneBeforeReturn = false;
    ctx.RunSync(
        [&]
        {
            bool inner = false;
            // A posted call would wait for itself; inline it cannot.
            ctx.RunSync([&] { inner = true; });
            innerDoneBeforeReturn = inner;
        });
    EXPECT_TRUE(innerDoneBeforeReturn);
}

TEST(ThreadContextTest, AsyncCallsOfADestroyedContextAreSkipped)
{
    ThreadLooper looper("LoopA");
    Gate gate;
    looper.Post([&] { gate.Block(); });
    gate.WaitEntered();

    std::atomic<int> viaOriginal(0), viaCopy(0);
    auto ctx = std::make_unique<Utils::ThreadContext>(looper.MakeContext());
    Utils::ThreadContext copy(*ctx);
    ctx->RunAsync([&] { ++viaOriginal; });
    copy.RunAsync([&] { ++viaCopy; });
    ctx.reset();
    gate.Open();

    copy.RunSync([] {}); // everything posted before has run
    EXPECT_EQ(0, viaOriginal.load());
    EXPECT_EQ(1, viaCopy.load());
}

TEST(ThreadContextTest, ExceptionInTheTargetStillReleasesTheCaller)
{
    ThreadLooper looper("LoopA");
    Utils::ThreadContext ctx = looper.MakeContext();
    ctx.RunSync([] { throw 1; }, 20000);
    // The block of the first call is gone: the same pair registers again without "duplicate".
    bool ran = false;
    ctx.RunSync([&] { ran = true; }, 20000);
    EXPECT_TRUE(ran);
    EXPECT_EQ(1, looper.Thrown()); // the exception went on to the target's own handling
}

TEST(ThreadContextDeathTest, TwoThreadCycleIsDetected)
{
    EXPECT_EXIT(
        {
            ThreadLooper a("LoopA");
            ThreadLooper b("LoopB");
            Utils::ThreadContext ctxA = a.MakeContext();
            Utils::ThreadContext ctxB = b.MakeContext();
            ctxA.RunSync([&] { ctxB.RunSync([&] { ctxA.RunSync([] {}); }); }, 20000);
        },
        ::testing::ExitedWithCode(3),
        "Deadlock detected; LoopB/main \\([0-9]+\\) -> LoopA/main \\([0-9]+\\)");
}

TEST(ThreadContextDeathTest, ThreeThreadCycleIsNotDetectedButTheLimitEndsIt)
{
    EXPECT_EXIT(
        {
            ThreadLooper a("LoopA");
            ThreadLooper b("LoopB");
            ThreadLooper c("LoopC");
            Utils::ThreadContext ctxA = a.MakeContext();
            Utils::ThreadContext ctxB = b.MakeContext();
            Utils::ThreadContext ctxC = c.MakeContext();
            ctxA.RunSync(
                [&] { ctxB.RunSync([&] { ctxC.RunSync([&] { ctxA.RunSync([] {}, 300); }, 20000); }, 20000); },
                20000);
        },
        ::testing::ExitedWithCode(3), "event->Wait\\(timeout\\)");
}

TEST(ThreadContextDeathTest, StalledTargetFailsTheLimit)
{
    EXPECT_EXIT(
        {
            ThreadLooper a("LoopA");
            Gate gate;
            a.Post([&] { gate.Block(); });
            Utils::ThreadContext ctx = a.MakeContext();
            ctx.RunSync([] {}, 50);
        },
        ::testing::ExitedWithCode(3), HasSubstr("event->Wait(timeout)"));
}

TEST(ThreadContextDeathTest, EmptyFunctionsHalt)
{
    EXPECT_EXIT(Utils::ThreadContext(Utils::ThreadContext::RunInThreadFn(), true, boost::optional<void*>()),
                ::testing::ExitedWithCode(3), HasSubstr("\nrunInThreadFn\n"));
    EXPECT_EXIT(
        {
            Utils::ThreadContext ctx([](const boost::function<void()>& fn, int) { fn(); }, true,
                                     boost::optional<void*>());
            ctx.RunAsync(boost::function<void()>());
        },
        ::testing::ExitedWithCode(3), HasSubstr("\nfn\n"));
}

} // namespace
