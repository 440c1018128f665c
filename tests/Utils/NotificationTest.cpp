#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Utils/Notification.h"

namespace
{

using Unsafe = Utils::Notification<int, Utils::details::NotificationStrategyThreadUnsafe>;
using Safe = Utils::Notification<int, Utils::details::NotificationStrategyThreadSafe>;

TEST(NotificationTest, SubscribersCalledInOrderAndReleasedByLastHandle)
{
    std::vector<int> calls;
    std::vector<int32_t> counts;
    Unsafe n([&counts](int32_t c) { counts.push_back(c); });
    Utils::NotificationHandle h1 = n.CreateHandle([&calls](int v) { calls.push_back(100 + v); });
    Utils::NotificationHandle h2 = n.CreateHandle([&calls](int v) { calls.push_back(200 + v); });
    Utils::NotificationHandle h3 = n.CreateHandle([&calls](int v) { calls.push_back(300 + v); });
    n.Notify(1);
    EXPECT_EQ((std::vector<int>{101, 201, 301}), calls);

    calls.clear();
    Utils::NotificationHandle copy = h2;
    h2.Reset();
    n.Notify(2);
    EXPECT_EQ((std::vector<int>{102, 202, 302}), calls);

    calls.clear();
    copy.Reset();
    n.Notify(3);
    EXPECT_EQ((std::vector<int>{103, 303}), calls);
    EXPECT_EQ(2, n.Size());
    EXPECT_EQ((std::vector<int32_t>{1, 2, 3, 2}), counts);

    h1.Reset();
    h3.Reset();
    EXPECT_EQ(0, n.Size());
}

TEST(NotificationTest, ForeachVisitsEntriesInListOrder)
{
    Unsafe n;
    auto a = n.CreateHandle([](int) {});
    auto b = n.CreateHandle([](int) {});
    std::vector<Unsafe::HandleImpl*> seen;
    n.ForeachItem([&seen](Unsafe::HandleImpl* p) { seen.push_back(p); });
    ASSERT_EQ(2u, seen.size());
    EXPECT_NE(seen[0], seen[1]);
}

TEST(NotificationTest, ThrowingSubscriberLeavesListUsable)
{
    Unsafe n;
    int calls = 0;
    auto a = n.CreateHandle(
        [&calls](int v)
        {
            ++calls;
            if (v == 1)
                throw std::runtime_error("x");
        });
    EXPECT_THROW(n.Notify(1), std::runtime_error);
    // The walk ended: subscribing and walking again are allowed.
    auto b = n.CreateHandle([&calls](int) { ++calls; });
    n.Notify(2);
    EXPECT_EQ(3, calls);
}

// With a flag, a release during the walk is recorded; the entry is never called again and leaves
// the list when the walk ends (the released entry is already destroyed).
TEST(NotificationTest, FlaggedReleaseDuringWalk)
{
    Unsafe n;
    bool released = false;
    std::vector<int> calls;
    Utils::NotificationHandle self;
    Utils::NotificationHandle other = n.CreateHandle([&calls](int v) { calls.push_back(v); });
    self = n.CreateHandle(
        [&](int v)
        {
            calls.push_back(-v);
            self.Reset();
        },
        &released);
    Utils::NotificationHandle last = n.CreateHandle([&calls](int v) { calls.push_back(10 * v); });
    n.Notify(1);
    EXPECT_TRUE(released);
    EXPECT_EQ(2, n.Size());
    n.Notify(2);
    EXPECT_EQ((std::vector<int>{1, -1, 10, 2, 20}), calls);
}

TEST(NotificationDeathTest, MisuseIsFatal)
{
    EXPECT_EXIT(
        {
            Unsafe n;
            n.CreateHandle(Unsafe::Fn());
        },
        ::testing::ExitedWithCode(3), "\n>>>\nfn\n<<<\n");
    EXPECT_EXIT(
        {
            Unsafe n;
            Utils::NotificationHandle h;
            h = n.CreateHandle([&h](int) { h.Reset(); });
            n.Notify(1);
        },
        ::testing::ExitedWithCode(3), "\n>>>\nRead only mode\n<<<\n");
    EXPECT_EXIT(
        {
            Unsafe n;
            std::vector<Utils::NotificationHandle> more;
            auto h = n.CreateHandle([&](int) { more.push_back(n.CreateHandle([](int) {})); });
            n.Notify(1);
        },
        ::testing::ExitedWithCode(3), "\n>>>\n!m_readOnlyMode\n<<<\n");
    EXPECT_EXIT(
        {
            Safe n;
            auto h = n.CreateHandle([&n](int) { n.Notify(2); });
            n.Notify(1);
        },
        ::testing::ExitedWithCode(3), "\n>>>\n!m_readOnlyMode\n<<<\n");
}

// Subscriptions from other threads wait for a walk in progress and never corrupt the list.
TEST(NotificationTest, ThreadSafeStrategyUnderConcurrentUse)
{
    Safe n;
    std::atomic<int> calls{0};
    auto base = n.CreateHandle([&calls](int) { ++calls; });
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
    {
        threads.emplace_back(
            [&]
            {
                for (int i = 0; i < 500 && !stop; ++i)
                {
                    auto h = n.CreateHandle([](int) {});
                    auto h2 = h;
                }
            });
    }
    for (int i = 0; i < 500; ++i)
        n.Notify(i);
    stop = true;
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(500, calls.load());
    EXPECT_EQ(1, n.Size());
}

} // namespace
