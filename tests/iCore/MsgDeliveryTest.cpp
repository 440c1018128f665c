#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>
#include <gtest/gtest.h>
#include "Platform/Thread.h"
#include "iCore/MsgObject.h"
#include "iCore/MsgQueue.h"
#include "iCore/MsgTimerEx.h"
#include "iCoreTestUtils.h"

using namespace iCore;
using namespace iCoreTest;

namespace
{

// Where and when posted messages and delayed calls run.

class Where : public MsgObject
{
public:
    void Note(int v)
    {
        m_threads.push_back(Platform::Thread::GetCurrentThreadID());
        m_values.push_back(v);
    }
    std::vector<void*> m_threads;
    std::vector<int> m_values;
};

TEST(MsgDeliveryTest, ForeignPostReturnsAtOnceAndRunsLaterOnTheObjectsThread)
{
    TestThread t;
    Where* w = nullptr;
    void* threadId = nullptr;
    t.Call(
        [&]
        {
            w = new Where();
            threadId = Platform::Thread::GetCurrentThreadID();
        });

    // While the thread is held, a post can only be queued: it returns without having run.
    detail::FlagEvent release;
    Signal holding;
    PostFn(t.Thread(),
           [&]
           {
               holding.Set();
               release.Wait(~0u);
           });
    ASSERT_TRUE(holding.Wait());
    std::atomic<int> ranBeforeReturn{-1};
    std::thread poster(
        [&]
        {
            w->PutMsg(&Where::Note, 1);
            w->PutMsg(&Where::Note, 2);
            ranBeforeReturn = 0;
        });
    poster.join();
    EXPECT_EQ(0, ranBeforeReturn.load());
    release.Set();

    std::vector<void*> threads;
    std::vector<int> values;
    t.Call(
        [&]
        {
            threads = w->m_threads;
            values = w->m_values;
            delete w;
        });
    EXPECT_EQ((std::vector<int>{1, 2}), values);
    EXPECT_EQ((std::vector<void*>{threadId, threadId}), threads);
}

TEST(MsgDeliveryTest, PostsFromTimerAndDelayedCallbacksNeverRunInsideThem)
{
    TestThread t;
    Signal done;
    Where* w = nullptr;
    std::unique_ptr<MsgTimerEx> timer;
    // Per callback: did its own post run before the callback returned?
    std::vector<bool> ranInside;
    auto contains = [](const std::vector<int>& v, int x)
    { return std::find(v.begin(), v.end(), x) != v.end(); };
    t.Call(
        [&]
        {
            w = new Where();
            timer = std::make_unique<MsgTimerEx>();
            w->RunDelayed(
                [&]
                {
                    w->PutMsg(&Where::Note, 1);
                    ranInside.push_back(contains(w->m_values, 1));
                },
                5);
            timer->Start(
                [&]
                {
                    w->PutMsg(&Where::Note, 2);
                    ranInside.push_back(contains(w->m_values, 2));
                    w->PutFunctor([&] { done.Set(); });
                },
                30);
        });
    ASSERT_TRUE(done.Wait());
    std::vector<int> values;
    t.Call(
        [&]
        {
            values = w->m_values;
            timer.reset();
            delete w;
        });
    EXPECT_EQ((std::vector<bool>{false, false}), ranInside);
    EXPECT_EQ((std::vector<int>{1, 2}), values);
}

TEST(MsgDeliveryTest, PeriodicAndOneShotDelaysFireOnTheObjectsThreadOnly)
{
    // Two threads with an object each: every call of either kind runs on its own object's thread,
    // also while the other thread is busy.
    TestThread a("A"), b("B");
    Where* wa = nullptr;
    Where* wb = nullptr;
    void* idA = nullptr;
    void* idB = nullptr;
    Signal ticksA, ticksB;
    std::atomic<int> wrongThread{0};
    auto arm = [&](Where*& w, void*& id, Signal& ticks)
    {
        w = new Where();
        id = Platform::Thread::GetCurrentThreadID();
        void* const expected = id;
        w->RunDelayed(
            [&, expected]
            {
                if (Platform::Thread::GetCurrentThreadID() != expected)
                    ++wrongThread;
                ticks.Set();
            },
            2, true);
        w->RunDelayed(
            [&, expected]
            {
                if (Platform::Thread::GetCurrentThreadID() != expected)
                    ++wrongThread;
                ticks.Set();
            },
            3);
    };
    a.Call([&] { arm(wa, idA, ticksA); });
    b.Call([&] { arm(wb, idB, ticksB); });
    PostFn(b.Thread(), [] { Platform::SleepMs(20); });
    ASSERT_TRUE(ticksA.Wait(6));
    ASSERT_TRUE(ticksB.Wait(6));
    a.Call([&] { delete wa; });
    b.Call([&] { delete wb; });
    EXPECT_NE(idA, idB);
    EXPECT_EQ(0, wrongThread.load());
}

} // namespace
