#include <atomic>
#include <chrono>
#include <thread>
#include <boost/make_shared.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include "Utils/ThreadSyncEvent.h"

namespace
{

using ::testing::HasSubstr;
using Utils::ThreadSyncEvent;

TEST(ThreadSyncEventTest, ReadyBeforeWaitIsNotLost)
{
    auto event = boost::make_shared<ThreadSyncEvent>(true);
    std::atomic<bool> signalling(false), readyReturned(false);
    std::thread signaller(
        [&]
        {
            signalling = true;
            Utils::SignalEventFn(event);
            readyReturned = true;
        });
    // The signaller is (about to be) blocked in Ready: it cannot finish before we wait.
    while (!signalling)
        std::this_thread::yield();
    EXPECT_FALSE(readyReturned);
    EXPECT_TRUE(event->Wait(UINT_MAX));
    signaller.join();
    EXPECT_TRUE(readyReturned);
}

TEST(ThreadSyncEventTest, TimeoutThenLateReady)
{
    auto event = boost::make_shared<ThreadSyncEvent>(true);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(event->Wait(50));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(50));
    // The late signal finds the mutex free and returns; the event then dies quietly.
    std::thread late([event] { event->Ready(); });
    late.join();
}

TEST(ThreadSyncEventTest, WaitReturnsOnlyAfterReady)
{
    for (int i = 0; i < 50; ++i)
    {
        auto event = boost::make_shared<ThreadSyncEvent>(true);
        std::atomic<bool> workDone(false);
        std::thread worker(
            [event, &workDone]
            {
                workDone = true;
                Utils::SignalEventFn(event);
            });
        ASSERT_TRUE(event->Wait(UINT_MAX));
        EXPECT_TRUE(workDone);
        worker.join();
    }
}

TEST(ThreadSyncEventTest, WithoutChecksAnyThreadMaySignal)
{
    std::thread waiterThread(
        []
        {
            auto event = boost::make_shared<ThreadSyncEvent>(false);
            std::thread signaller([event] { event->Ready(); });
            EXPECT_TRUE(event->Wait(5000));
            signaller.join();
        });
    waiterThread.join();
}

TEST(ThreadSyncEventDeathTest, MisuseHalts)
{
    EXPECT_EXIT(
        {
            ThreadSyncEvent e(true);
            e.Ready();
        },
        ::testing::ExitedWithCode(3),
        HasSubstr("Platform::Thread::GetCurrentThreadID() != m_waitThreadID.get()"));
    EXPECT_EXIT(
        {
            auto e = boost::make_shared<ThreadSyncEvent>(true);
            std::thread other([e] { e->Wait(10); });
            other.join();
        },
        ::testing::ExitedWithCode(3),
        HasSubstr("Platform::Thread::GetCurrentThreadID() == m_waitThreadID.get()"));
    EXPECT_EXIT({ ThreadSyncEvent e(true); }, ::testing::ExitedWithCode(3), HasSubstr("m_readyDone.Get()"));
}

} // namespace
