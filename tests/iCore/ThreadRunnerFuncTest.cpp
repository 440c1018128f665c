#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include "Platform/Thread.h"
#include "iCore/MsgQueue.h"
#include "iCore/ThreadRunnerFunc.h"
#include "iCoreTestUtils.h"

using namespace iCore;
using namespace iCoreTest;

namespace
{

TEST(ThreadRunnerFuncTest, ConstructorReturnsOnlyAfterTheFunctionRan)
{
    std::atomic<bool> ran{false};
    std::string msgThreadName, osThreadName;
    void* fnThreadId = nullptr;
    bool currentIsGiven = false;
    {
        ThreadRunnerFunc runner(TestProfile("Runner"),
                                [&](MsgThread& t)
                                {
                                    // Slow on purpose: a constructor that did not wait would return before
                                    // this ends.
                                    Platform::SleepMs(50);
                                    msgThreadName = t.Name();
                                    osThreadName = Platform::CurrentThreadName();
                                    fnThreadId = Platform::Thread::GetCurrentThreadID();
                                    currentIsGiven =
                                        (&CurrentMsgThread() == &t) && t.InCurrentThreadContext();
                                    ran = true;
                                });
        EXPECT_TRUE(ran.load());
        EXPECT_FALSE(runner.IsFinished());
    }
    EXPECT_EQ("Runner", msgThreadName);
    EXPECT_EQ(0u, osThreadName.rfind("HostRunner/", 0)) << osThreadName;
    EXPECT_NE(Platform::Thread::GetCurrentThreadID(), fnThreadId);
    EXPECT_TRUE(currentIsGiven);
    EXPECT_EQ(nullptr, CurrentMsgThreadPtr());
}

TEST(ThreadRunnerFuncTest, TimeoutRule)
{
    EXPECT_EQ(77u, ThreadRunnerFunc::Timeout(0, 77));
    EXPECT_EQ(5u, ThreadRunnerFunc::Timeout(5, 77));
    EXPECT_EQ(1u, ThreadRunnerFunc::Timeout(1, ~0u));
    EXPECT_DEATH(ThreadRunnerFunc::Timeout(-1, 77), "value >= 0");
}

TEST(ThreadRunnerFuncTest, NegativeLimitsAreFatal)
{
    EXPECT_EXIT(ThreadRunnerFunc(ThreadRunnerFuncProfile(0, "Neg", 2, -1, 0, false), [](MsgThread&) {}),
                ::testing::ExitedWithCode(3), "value >= 0");
    EXPECT_EXIT(ThreadRunnerFunc(ThreadRunnerFuncProfile(0, "Neg", 2, 0, -5, false), [](MsgThread&) {}),
                ::testing::ExitedWithCode(3), "value >= 0");
}

TEST(ThreadRunnerFuncTest, EmptyFunctionIsFatal)
{
    EXPECT_EXIT(ThreadRunnerFunc(TestProfile(), ThreadRunnerFunc::RunFn()), ::testing::ExitedWithCode(3),
                "m_runFn");
}

TEST(ThreadRunnerFuncTest, CreationTimeoutWithFlagSetsIt)
{
    detail::FlagEvent release;
    std::atomic<bool> fnDone{false};
    bool timedOut = false;
    {
        ThreadRunnerFunc runner(
            ThreadRunnerFuncProfile(0, "Slow", 2, 30, 0, false),
            [&](MsgThread&)
            {
                release.Wait(~0u);
                fnDone = true;
            },
            &timedOut);
        EXPECT_TRUE(timedOut);
        EXPECT_FALSE(fnDone.load());
        release.Set();
        // Destruction stops and joins the thread once the function has returned.
    }
    EXPECT_TRUE(fnDone.load());
}

TEST(ThreadRunnerFuncTest, CreationInTimeClearsTheFlag)
{
    bool timedOut = true;
    ThreadRunnerFunc runner(
        ThreadRunnerFuncProfile(0, "Quick", 2, 5000, 0, true), [](MsgThread&) {}, &timedOut);
    EXPECT_FALSE(timedOut);
}

TEST(ThreadRunnerFuncTest, CreationTimeoutWithoutFlagHalts)
{
    EXPECT_EXIT(
        {
            detail::FlagEvent never;
            ThreadRunnerFunc runner(ThreadRunnerFuncProfile(0, "Stuck", 2, 30, 0, false),
                                    [&](MsgThread&) { never.Wait(~0u); });
        },
        ::testing::ExitedWithCode(3), "Creation timeout");
}

TEST(ThreadRunnerFuncTest, SecondJoinIsFatal)
{
    EXPECT_EXIT(
        {
            ThreadRunnerFunc runner(TestProfile(), [](MsgThread&) {});
            EXPECT_TRUE(runner.JoinThread());
            runner.JoinThread();
        },
        ::testing::ExitedWithCode(3), "!m_threadJoined");
}

TEST(ThreadRunnerFuncTest, RunTimeoutOnDestructionHalts)
{
    // A message that never returns keeps the loop from seeing the exit request.
    EXPECT_EXIT(
        {
            detail::FlagEvent never;
            Signal busy;
            ThreadRunnerFunc runner(ThreadRunnerFuncProfile(0, "Busy", 2, 0, 50, false),
                                    [&](MsgThread& t)
                                    {
                                        PostFn(t,
                                               [&]
                                               {
                                                   busy.Set();
                                                   never.Wait(~0u);
                                               });
                                    });
            // Destroyed only once the message is running: an exit request seen before it would
            // end the loop in time.
            if (!busy.Wait())
                std::_Exit(1);
        },
        ::testing::ExitedWithCode(3), "Run timeout");
}

TEST(ThreadRunnerFuncTest, JoinReportsTimeoutAndStillEnds)
{
    detail::FlagEvent release;
    Signal busy;
    ThreadRunnerFunc runner(ThreadRunnerFuncProfile(0, "Busy", 2, 0, 30, false),
                            [&](MsgThread& t)
                            {
                                PostFn(t,
                                       [&]
                                       {
                                           busy.Set();
                                           release.Wait(~0u);
                                       });
                            });
    ASSERT_TRUE(busy.Wait());
    EXPECT_FALSE(runner.JoinThread());
    EXPECT_FALSE(runner.IsFinished());
    release.Set();
    // The destructor waits for the thread without limit and does not join again.
}

TEST(ThreadRunnerFuncTest, DestructionStopsAThreadThatWouldRunForever)
{
    std::atomic<int> ticks{0};
    Signal ticked;
    {
        ThreadRunnerFunc runner(TestProfile("Forever"),
                                [&](MsgThread& t)
                                {
                                    auto* obj = new TestObject(t, MsgObject::OwnedByThread);
                                    obj->RunDelayed(
                                        [&]
                                        {
                                            ++ticks;
                                            ticked.Set();
                                        },
                                        1, true);
                                });
        ASSERT_TRUE(ticked.Wait(3));
    }
    const int after = ticks.load();
    EXPECT_GE(after, 3);
    EXPECT_EQ(after, ticks.load());
}

TEST(ThreadRunnerFuncTest, WaitFinishedWaitsForTheThreadToEndByItself)
{
    std::atomic<bool> exitedByItself{false};
    ThreadRunnerFunc runner(TestProfile("Worker"),
                            [&](MsgThread& t)
                            {
                                auto* obj = new TestObject(t, MsgObject::OwnedByThread);
                                obj->RunDelayed(
                                    [&t, &exitedByItself]
                                    {
                                        exitedByItself = true;
                                        t.RequestExit();
                                    },
                                    30);
                            });
    EXPECT_TRUE(runner.WaitFinished());
    EXPECT_TRUE(exitedByItself.load());
    EXPECT_TRUE(runner.IsFinished());
}

TEST(ThreadRunnerFuncTest, ExitRequestedInsideTheFunctionEndsTheLoopAtOnce)
{
    std::atomic<bool> laterMessageRan{false};
    ThreadRunnerFunc runner(TestProfile(),
                            [&](MsgThread& t)
                            {
                                PostFn(t, [&] { laterMessageRan = true; });
                                t.RequestExit();
                            });
    EXPECT_TRUE(runner.WaitFinished());
    EXPECT_FALSE(laterMessageRan.load());
}

TEST(ThreadRunnerFuncTest, JoinFromTheOwnThreadIsFatal)
{
    EXPECT_EXIT(
        {
            MsgThread* pThread = nullptr;
            ThreadRunnerFunc runner(TestProfile(), [&](MsgThread& t) { pThread = &t; });
            MsgThreadFnBlocked(*pThread, [&](MsgThread&) { runner.JoinThread(); });
        },
        ::testing::ExitedWithCode(3), "OnRunnerThread");
}

} // namespace
