#include <atomic>
#include <memory>
#include <thread>
#include <gtest/gtest.h>
#include "Platform/Thread.h"
#include "Utils/ThreadContext.h"
#include "iCore/MsgQueue.h"
#include "iCore/MsgThread.h"
#include "iCoreTestUtils.h"

using namespace iCore;
using namespace iCoreTest;

namespace
{

TEST(MsgThreadTest, ContextPostsAtOnceOrDelayedIntoTheThread)
{
    TestThread t;
    Recorder rec;
    Signal done;
    std::unique_ptr<Utils::ThreadContext> ctx;
    void* threadId = nullptr;
    bool currentOnThread = false;
    t.Call(
        [&]
        {
            threadId = Platform::Thread::GetCurrentThreadID();
            ctx = std::make_unique<Utils::ThreadContext>(t.Thread().CreateContext());
            currentOnThread = ctx->IsCurrent();
        });
    EXPECT_TRUE(currentOnThread);
    EXPECT_FALSE(ctx->IsCurrent());
    EXPECT_EQ(threadId, ctx->Id());
    EXPECT_EQ(threadId, t.Thread().GetThreadId());

    std::atomic<bool> onThread{true};
    auto add = [&](int v)
    {
        return [&, v]
        {
            onThread = onThread && t.Thread().InCurrentThreadContext();
            rec.Add(v);
            done.Set();
        };
    };
    // Long enough that a poster stalled between these posts still sees the immediate ones first.
    ctx->RunAsync(add(3), 200);
    ctx->RunAsync(add(1), 0);
    ctx->RunAsync(add(2), -1);
    ASSERT_TRUE(done.Wait(3));
    EXPECT_EQ((std::vector<int>{1, 2, 3}), rec.Values());
    EXPECT_TRUE(onThread.load());

    int value = 0;
    ctx->RunSync([&] { value = 5; });
    EXPECT_EQ(5, value);
    t.Call([&] { ctx.reset(); });
}

TEST(MsgThreadTest, ContextMadeOffTheThreadIsNotCurrent)
{
    TestThread t;
    Utils::ThreadContext ctx = t.Thread().CreateContext();
    EXPECT_FALSE(ctx.IsCurrent());
    EXPECT_EQ(t.Thread().GetThreadId(), ctx.Id());
}

TEST(MsgThreadTest, ContextPostsAfterTheThreadEndedAreDropped)
{
    std::unique_ptr<Utils::ThreadContext> ctx;
    std::atomic<bool> ran{false};
    {
        TestThread t;
        ctx = std::make_unique<Utils::ThreadContext>(t.Thread().CreateContext());
        // A delayed one that is still pending when the thread ends is dropped with it.
        ctx->RunAsync([&] { ran = true; }, 100000);
    }
    const int64_t dropped = DroppedMsgCount();
    ctx->RunAsync([&] { ran = true; });
    ctx->RunAsync([&] { ran = true; }, 10);
    EXPECT_EQ(dropped + 2, DroppedMsgCount());
    EXPECT_FALSE(ran.load());
}

TEST(MsgThreadTest, FnBlockedRunsOnTheThreadAndReportsAnEndedThread)
{
    // The message thread lives on a thread of the test, so the object outlives its loop.
    MsgThread* pThread = nullptr;
    Signal ready, loopEnded;
    detail::FlagEvent release, callerDone;
    std::thread host(
        [&]
        {
            MsgThread thread("Inline");
            pThread = &thread;
            ready.Set();
            thread.Run();
            loopEnded.Set();
            callerDone.Wait(~0u);
        });
    ASSERT_TRUE(ready.Wait());

    void* ranOn = nullptr;
    EXPECT_TRUE(MsgThreadFnBlocked(*pThread,
                                   [&](MsgThread& th)
                                   {
                                       EXPECT_EQ(pThread, &th);
                                       ranOn = Platform::Thread::GetCurrentThreadID();
                                   }));
    EXPECT_EQ(pThread->GetThreadId(), ranOn);

    // Behind an exit request: it can no longer run, and the caller is not left waiting, whether
    // the post is queued before the loop ends or finds the thread finished.
    std::atomic<bool> ran{false};
    Signal holding;
    PostFn(*pThread,
           [&]
           {
               CurrentMsgThread().RequestExit();
               holding.Set();
               release.Wait(~0u);
           });
    ASSERT_TRUE(holding.Wait());
    std::thread releaser([&] { release.Set(); });
    EXPECT_FALSE(MsgThreadFnBlocked(*pThread, [&](MsgThread&) { ran = true; }));
    releaser.join();
    ASSERT_TRUE(loopEnded.Wait());
    EXPECT_FALSE(MsgThreadFnBlocked(*pThread, [&](MsgThread&) { ran = true; }));
    EXPECT_FALSE(ran.load());
    callerDone.Set();
    host.join();
}

TEST(MsgThreadTest, AssertContextOffTheThreadIsFatal)
{
    EXPECT_EXIT(
        {
            TestThread t;
            t.Thread().AssertContext();
        },
        ::testing::ExitedWithCode(3), "Not in thread context");
}

TEST(MsgThreadTest, AssertContextOnTheThreadPasses)
{
    TestThread t;
    bool inContext = false;
    t.Call(
        [&]
        {
            t.Thread().AssertContext();
            inContext = t.Thread().InCurrentThreadContext();
        });
    EXPECT_TRUE(inContext);
    EXPECT_FALSE(t.Thread().InCurrentThreadContext());
    EXPECT_TRUE(t.Thread().IsRunning());
}

TEST(MsgThreadTest, EachThreadHasItsOwnDefaultRandom)
{
    TestThread a("A"), b("B");
    uint32_t first = 0, second = 0;
    a.Call([&] { first = a.Thread().GetRandom().Next(0xFFFFFFFF); });
    b.Call([&] { second = b.Thread().GetRandom().Next(0xFFFFFFFF); });
    // Both start from the default state.
    EXPECT_EQ(134775813u, first);
    EXPECT_EQ(first, second);
}

TEST(MsgThreadTest, ExceptionEscapingAMessageHalts)
{
    EXPECT_EXIT(
        {
            TestThread t;
            PostFn(t.Thread(), [] { throw std::runtime_error("boom"); });
            Platform::SleepMs(10000);
        },
        ::testing::ExitedWithCode(3), "boom");
}

TEST(MsgThreadTest, ExitRequestFromAnotherThreadWakesAnIdleLoop)
{
    TestThread t;
    // The loop sleeps with no timer armed; only the wake-up can end it.
    t.Runner().RequestExit();
    EXPECT_TRUE(t.Runner().WaitFinished());
    EXPECT_TRUE(t.Runner().IsFinished());
}

TEST(MsgThreadTest, AMessageThreadCanRunOnACallersOwnThread)
{
    // Without a runner: the test's helper thread hosts the loop itself.
    std::atomic<int> calls{0};
    std::thread host(
        [&]
        {
            MsgThread thread("Inline");
            EXPECT_EQ(&thread, &CurrentMsgThread());
            auto* o = new TestObject(MsgObject::OwnedByThread);
            o->RunDelayed(
                [&]
                {
                    if (++calls == 3)
                        thread.RequestExit();
                },
                1, true);
            thread.Run();
        });
    host.join();
    EXPECT_EQ(3, calls.load());
}

} // namespace
