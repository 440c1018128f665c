#include <atomic>
#include <memory>
#include <random>
#include <thread>
#include <vector>
#include <gtest/gtest.h>
#include "Platform/Thread.h"
#include "iCore/MsgObject.h"
#include "iCore/MsgThread.h"
#include "iCore/MsgTimerEx.h"
#include "iCoreTestUtils.h"

using namespace iCore;
using namespace iCoreTest;

namespace
{

// ------------------------------------------------------------------------------------------------
// A message thread hosted on a thread of its own, without a runner: its queue lives only as long
// as the MsgThread object, which its thread destroys as soon as the loop has ended.

TEST(MsgThreadLifetimeTest, ExitRequestRacingWithTheEndOfTheThreadTouchesNothingFreed)
{
    // The loop wakes every millisecond by itself, so it often sees the exit flag and destroys the
    // thread while the requesting call is still on its way out (the sanitizer sees a late touch).
    for (int i = 0; i < 300; ++i)
    {
        MsgThread* pThread = nullptr;
        Signal ready;
        std::thread host(
            [&]
            {
                MsgThread thread("Racing");
                auto* o = new TestObject(MsgObject::OwnedByThread);
                o->RunDelayed([] {}, 1, true);
                pThread = &thread;
                ready.Set();
                thread.Run();
            });
        ASSERT_TRUE(ready.Wait());
        if (i % 2)
            Platform::SleepMs(1);
        pThread->RequestExit();
        host.join();
    }
}

TEST(MsgThreadLifetimeTest, BlockedCallRacingWithTheEndOfTheThreadTouchesNothingFreed)
{
    for (int i = 0; i < 300; ++i)
    {
        MsgThread* pThread = nullptr;
        Signal ready;
        std::thread host(
            [&]
            {
                MsgThread thread("Racing");
                pThread = &thread;
                ready.Set();
                thread.Run();
            });
        ASSERT_TRUE(ready.Wait());
        // The function ends the loop itself: the thread may be gone before the posting call returns.
        EXPECT_TRUE(MsgThreadFnBlocked(*pThread, [](MsgThread& t) { t.RequestExit(); }));
        host.join();
    }
}

} // namespace

namespace
{

// ------------------------------------------------------------------------------------------------
// Timers stopped, restarted and destroyed at random from inside callbacks, with several due in
// one round: every callback that arrives must belong to the timer's current run, and a one-shot
// run must arrive at most once.

class TimerChurn
{
public:
    static constexpr int c_timers = 8;
    static constexpr int c_callbacks = 1500;

    explicit TimerChurn(Signal& done) : m_done(done), m_rng(12345)
    {
        for (int i = 0; i < c_timers; ++i)
        {
            m_timers.emplace_back(new MsgTimerEx());
            m_slots.push_back(Slot());
            Restart(i);
        }
    }

    // On the thread.
    void Finish() { m_timers.clear(); }

    int Stale() const { return m_stale; }
    int Delivered() const { return m_delivered; }

private:
    struct Slot
    {
        int run = -1; // -1: stopped
        bool periodic = false;
        int deliveredInRun = 0;
    };

    void Restart(int i)
    {
        Slot& s = m_slots[i];
        s.run = ++m_lastRun;
        s.periodic = (m_rng() % 2) == 0;
        s.deliveredInRun = 0;
        const int run = s.run;
        m_timers[i]->Start([this, i, run] { OnFire(i, run); }, 1 + int(m_rng() % 4), s.periodic);
    }

    void OnFire(int i, int run)
    {
        Slot& s = m_slots[i];
        if (s.run != run || (!s.periodic && s.deliveredInRun > 0))
            ++m_stale;
        ++s.deliveredInRun;
        if (++m_delivered == c_callbacks)
        {
            for (int k = 0; k < c_timers; ++k)
            {
                m_timers[k]->Stop();
                m_slots[k].run = -1;
            }
            m_done.Set();
            return;
        }
        if (m_delivered > c_callbacks)
            return;

        // Touch a few timers, this one included, in the same callback.
        for (int n = 0; n < 3; ++n)
        {
            const int j = int(m_rng() % c_timers);
            switch (m_rng() % 4)
            {
            case 0:
                m_timers[j]->Stop();
                m_slots[j].run = -1;
                break;
            case 1:
                m_timers[j] = std::make_unique<MsgTimerEx>();
                m_slots[j].run = -1;
                break;
            default:
                Restart(j);
                break;
            }
        }
        // A stopped one-shot that already fired keeps the churn going.
        if (!m_slots[i].periodic || m_slots[i].run == -1)
            Restart(i);
        // Now and then the thread is late, so that several timers fall due in one round.
        if (m_rng() % 16 == 0)
            Platform::SleepMs(5);
    }

    Signal& m_done;
    std::mt19937 m_rng;
    std::vector<std::unique_ptr<MsgTimerEx>> m_timers;
    std::vector<Slot> m_slots;
    int m_lastRun = 0;
    int m_stale = 0;
    int m_delivered = 0;
};

TEST(MsgTimerChurnTest, StoppedRestartedOrDestroyedTimersNeverDeliverAStaleCallback)
{
    TestThread t;
    Signal done;
    std::unique_ptr<TimerChurn> churn;
    t.Call([&] { churn = std::make_unique<TimerChurn>(done); });
    ASSERT_TRUE(done.Wait());
    int stale = -1, delivered = 0;
    t.Call(
        [&]
        {
            churn->Finish();
            stale = churn->Stale();
            delivered = churn->Delivered();
            churn.reset();
        });
    EXPECT_EQ(0, stale);
    EXPECT_EQ(TimerChurn::c_callbacks, delivered);
}

} // namespace
