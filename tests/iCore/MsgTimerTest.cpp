#include <atomic>
#include <gtest/gtest.h>
#include "Platform/Thread.h"
#include "iCore/MsgQueue.h"
#include "iCore/MsgTimerEx.h"
#include "iCoreTestUtils.h"

using namespace iCore;
using namespace iCoreTest;

namespace
{

// Whether a call that must not happen did not happen can only be seen after it would have come:
// the tests wait for a sentinel scheduled well after it on the same thread.

// ------------------------------------------------------------------------------------------------
// RunDelayed

TEST(RunDelayedTest, OneShotRunsOnceOnTheObjectsThread)
{
    TestThread t;
    std::atomic<int> calls{0};
    std::atomic<void*> ranOn{nullptr};
    void* threadId = nullptr;
    Signal fired, sentinel;
    TestObject* o = nullptr;
    t.Call(
        [&]
        {
            threadId = Platform::Thread::GetCurrentThreadID();
            o = new TestObject();
            o->RunDelayed(
                [&]
                {
                    ++calls;
                    ranOn = Platform::Thread::GetCurrentThreadID();
                    fired.Set();
                },
                20);
            o->RunDelayed([&] { sentinel.Set(); }, 120);
        });
    ASSERT_TRUE(sentinel.Wait());
    EXPECT_EQ(1, calls.load());
    EXPECT_EQ(threadId, ranOn.load());
    t.Call([&] { delete o; });
}

TEST(RunDelayedTest, PeriodicRepeatsUntilTheObjectDies)
{
    TestThread t;
    std::atomic<int> calls{0};
    Signal ticked, sentinel;
    TestObject* o = nullptr;
    TestObject* witness = nullptr;
    t.Call(
        [&]
        {
            o = new TestObject();
            witness = new TestObject();
            o->RunDelayed(
                [&]
                {
                    ++calls;
                    ticked.Set();
                },
                5, true);
        });
    ASSERT_TRUE(ticked.Wait(4));
    int atDeath = 0;
    t.Call(
        [&]
        {
            delete o;
            atDeath = calls.load();
            witness->RunDelayed([&] { sentinel.Set(); }, 50);
        });
    ASSERT_TRUE(sentinel.Wait());
    EXPECT_EQ(atDeath, calls.load());
    t.Call([&] { delete witness; });
}

TEST(RunDelayedTest, PendingCallsDieWithTheObject)
{
    TestThread t;
    std::atomic<bool> called{false};
    Signal sentinel;
    TestObject* witness = nullptr;
    t.Call(
        [&]
        {
            witness = new TestObject();
            auto* o = new TestObject();
            o->RunDelayed([&] { called = true; }, 10);
            o->RunDelayed([&] { called = true; }, 10, true);
            delete o;
            witness->RunDelayed([&] { sentinel.Set(); }, 60);
        });
    ASSERT_TRUE(sentinel.Wait());
    EXPECT_FALSE(called.load());
    t.Call([&] { delete witness; });
}

TEST(RunDelayedTest, ACallMayDestroyItsObjectAndOthersDueWithIt)
{
    TestThread t;
    std::atomic<int> calls{0};
    Signal sentinel;
    TestObject* witness = nullptr;
    t.Call(
        [&]
        {
            witness = new TestObject();
            auto* o = new TestObject();
            auto* other = new TestObject();
            // All due in one round: the thread is kept busy past their deadlines.
            o->RunDelayed(
                [&, o, other]
                {
                    ++calls;
                    delete other;
                    delete o;
                },
                5);
            other->RunDelayed([&] { ++calls; }, 6);
            o->RunDelayed([&] { ++calls; }, 7, true);
            witness->RunDelayed([&] { sentinel.Set(); }, 80);
            Platform::SleepMs(30);
        });
    ASSERT_TRUE(sentinel.Wait());
    EXPECT_EQ(1, calls.load());
    t.Call([&] { delete witness; });
}

TEST(RunDelayedTest, DelayMustBePositive)
{
    EXPECT_EXIT(
        {
            TestThread t;
            t.Call(
                []
                {
                    TestObject o;
                    o.RunDelayed([] {}, 0);
                });
        },
        ::testing::ExitedWithCode(3), "delayMs > 0");
}

TEST(RunDelayedTest, TimersAndMessagesInterleave)
{
    // A periodic call keeps firing while the thread is busy with a long stream of messages.
    TestThread t;
    std::atomic<int> ticks{0};
    std::atomic<bool> stop{false};
    Signal done;
    TestObject* o = nullptr;
    t.Call(
        [&]
        {
            o = new TestObject();
            o->RunDelayed([&] { ++ticks; }, 2, true);
            // Each message re-posts itself until the timer has fired a few times.
            struct Loop
            {
                static void Step(TestObject* obj, std::atomic<int>& ticks, Signal& done)
                {
                    if (ticks >= 5)
                    {
                        done.Set();
                        return;
                    }
                    Platform::SleepMs(1);
                    obj->PutFunctor([obj, &ticks, &done] { Step(obj, ticks, done); });
                }
            };
            o->PutFunctor([&] { Loop::Step(o, ticks, done); });
        });
    ASSERT_TRUE(done.Wait());
    t.Call([&] { delete o; });
    (void)stop;
}

// ------------------------------------------------------------------------------------------------
// MsgTimerEx

// A timer owner living on the test thread.
struct TimerHost
{
    std::unique_ptr<MsgTimerEx> a, b;
    TestObject* witness = nullptr;
};

TEST(MsgTimerExTest, OneShotAndPeriodicFireOnTheirThread)
{
    TestThread t;
    TimerHost h;
    std::atomic<int> once{0}, periodic{0};
    std::atomic<bool> onThread{true};
    Signal periodicTicks, sentinel;
    t.Call(
        [&]
        {
            h.a = std::make_unique<MsgTimerEx>();
            h.b = std::make_unique<MsgTimerEx>(t.Thread());
            h.witness = new TestObject();
            h.a->Start(
                [&]
                {
                    ++once;
                    onThread = onThread && t.Thread().InCurrentThreadContext();
                },
                10);
            EXPECT_TRUE(h.a->IsActive());
            h.b->Start(
                [&]
                {
                    ++periodic;
                    onThread = onThread && t.Thread().InCurrentThreadContext();
                    periodicTicks.Set();
                },
                5, true);
        });
    ASSERT_TRUE(periodicTicks.Wait(5));
    t.Call(
        [&]
        {
            h.b->Stop();
            EXPECT_FALSE(h.b->IsActive());
            h.witness->RunDelayed([&] { sentinel.Set(); }, 60);
        });
    const int periodicAtStop = periodic.load();
    ASSERT_TRUE(sentinel.Wait());
    EXPECT_EQ(1, once.load());
    EXPECT_EQ(periodicAtStop, periodic.load());
    EXPECT_TRUE(onThread.load());
    t.Call(
        [&]
        {
            EXPECT_FALSE(h.a->IsActive());
            h.a.reset();
            h.b.reset();
            delete h.witness;
        });
}

TEST(MsgTimerExTest, RestartReplacesTheRunAndStopOfAnIdleTimerDoesNothing)
{
    TestThread t;
    TimerHost h;
    std::atomic<int> first{0}, second{0};
    Signal sentinel;
    t.Call(
        [&]
        {
            h.a = std::make_unique<MsgTimerEx>();
            h.a->Stop(); // idle
            h.witness = new TestObject();
            h.a->Start([&] { ++first; }, 20);
            h.a->Start([&] { ++second; }, 30);
            h.witness->RunDelayed([&] { sentinel.Set(); }, 120);
        });
    ASSERT_TRUE(sentinel.Wait());
    EXPECT_EQ(0, first.load());
    EXPECT_EQ(1, second.load());
    t.Call(
        [&]
        {
            h.a.reset();
            delete h.witness;
        });
}

TEST(MsgTimerExTest, ADueCallbackOfAStoppedOrRestartedRunIsNotDelivered)
{
    TestThread t;
    TimerHost h;
    std::unique_ptr<MsgTimerEx> c;
    std::atomic<int> aCalls{0}, bOld{0}, bNew{0}, cCalls{0};
    Signal sentinel;
    t.Call(
        [&]
        {
            h.a = std::make_unique<MsgTimerEx>();
            h.b = std::make_unique<MsgTimerEx>();
            c = std::make_unique<MsgTimerEx>();
            h.witness = new TestObject();
            // a fires first and, in the same round, stops c, restarts b and destroys nothing else.
            h.a->Start(
                [&]
                {
                    ++aCalls;
                    c->Stop();
                    h.b->Start([&] { ++bNew; }, 20);
                },
                5);
            h.b->Start([&] { ++bOld; }, 6);
            c->Start([&] { ++cCalls; }, 7, true);
            h.witness->RunDelayed([&] { sentinel.Set(); }, 150);
            // Keep the thread busy so that all three are due together when it looks next.
            Platform::SleepMs(40);
        });
    ASSERT_TRUE(sentinel.Wait());
    EXPECT_EQ(1, aCalls.load());
    EXPECT_EQ(0, bOld.load());
    EXPECT_EQ(1, bNew.load());
    EXPECT_EQ(0, cCalls.load());
    t.Call(
        [&]
        {
            h.a.reset();
            h.b.reset();
            c.reset();
            delete h.witness;
        });
}

TEST(MsgTimerExTest, ACallbackMayDestroyTimersDueWithItAndRestartItself)
{
    TestThread t;
    TimerHost h;
    std::atomic<int> aCalls{0}, bCalls{0}, restarted{0};
    Signal sentinel;
    t.Call(
        [&]
        {
            h.a = std::make_unique<MsgTimerEx>();
            h.b = std::make_unique<MsgTimerEx>();
            h.witness = new TestObject();
            h.a->Start(
                [&]
                {
                    ++aCalls;
                    h.b.reset();
                    // Restarting from inside its own callback replaces the function that is running.
                    h.a->Start([&] { ++restarted; }, 10);
                },
                5, true);
            h.b->Start([&] { ++bCalls; }, 6);
            h.witness->RunDelayed([&] { sentinel.Set(); }, 150);
            Platform::SleepMs(30);
        });
    ASSERT_TRUE(sentinel.Wait());
    EXPECT_EQ(1, aCalls.load());
    EXPECT_EQ(0, bCalls.load());
    EXPECT_EQ(1, restarted.load());
    t.Call(
        [&]
        {
            h.a.reset();
            delete h.witness;
        });
}

TEST(MsgTimerExTest, ATimerDestroyedInItsOwnCallbackIsFreedSafely)
{
    TestThread t;
    TimerHost h;
    Signal fired;
    t.Call(
        [&]
        {
            h.a = std::make_unique<MsgTimerEx>();
            h.a->Start(
                [&]
                {
                    h.a.reset();
                    fired.Set();
                },
                5, true);
        });
    ASSERT_TRUE(fired.Wait());
    t.Call([&] { EXPECT_EQ(nullptr, h.a.get()); });
}

TEST(MsgTimerExTest, OnlyTheAcceptedRangeIsArmed)
{
    TestThread t;
    t.Call(
        [&]
        {
            MsgTimerEx timer;
            auto fn = [] { ADD_FAILURE() << "must not fire"; };
            timer.Start(fn, 0);
            EXPECT_FALSE(timer.IsActive());
            timer.Start(fn, -5);
            EXPECT_FALSE(timer.IsActive());
            timer.Start(fn, 1296000001);
            EXPECT_FALSE(timer.IsActive());
            timer.Start(fn, 1296000000);
            EXPECT_TRUE(timer.IsActive());
            timer.Start(fn, 1);
            EXPECT_TRUE(timer.IsActive());
            // An out-of-range start still stops the run before it.
            timer.Start(fn, 0);
            EXPECT_FALSE(timer.IsActive());
        });
}

TEST(MsgTimerExTest, StartOffTheThreadIsFatal)
{
    EXPECT_EXIT(
        {
            TestThread t;
            std::unique_ptr<MsgTimerEx> timer;
            t.Call([&] { timer = std::make_unique<MsgTimerEx>(); });
            timer->Start([] {}, 10);
        },
        ::testing::ExitedWithCode(3), "getMsgThread\\(\\).InCurrentThreadContext\\(\\)");
}

TEST(MsgTimerExTest, EmptyFunctionIsFatal)
{
    EXPECT_EXIT(
        {
            TestThread t;
            t.Call(
                [&]
                {
                    MsgTimerEx timer;
                    timer.Start(boost::function<void()>(), 10);
                });
        },
        ::testing::ExitedWithCode(3), "fn");
}

} // namespace
