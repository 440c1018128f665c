#include <memory>
#include <thread>
#include <vector>
#include <boost/function.hpp>
#include <gtest/gtest.h>
#include "Utils/AliveCallback.h"

using Callbacks = Utils::AliveCallback<Utils::details::AliveCallbackStrategyThreadUnsafe>;

TEST(AliveCallbackTest, ResetKillsOnlyEarlierCallbacks)
{
    std::vector<int> calls;
    Callbacks alive;
    boost::function<void(int)> f = [&](int v) { calls.push_back(v); };

    boost::function<void(int)> cb1 = alive.MakeCallback(f);
    cb1(1);
    alive.Reset();
    cb1(2); // dropped
    boost::function<void(int)> cb2 = alive.MakeCallback(f);
    cb2(3);
    cb1(4); // still dropped
    EXPECT_EQ((std::vector<int>{1, 3}), calls);
}

TEST(AliveCallbackTest, CallbacksDieWithTheirOwner)
{
    int calls = 0;
    auto alive = std::make_unique<Callbacks>();
    boost::function<void()> cb = alive->MakeCallback(boost::function<void()>([&] { ++calls; }));
    auto wrapped = alive->Wrap([&](int a, int b) { calls += a + b; });
    cb();
    wrapped(10, 20);
    EXPECT_EQ(31, calls);

    alive.reset();
    cb();
    wrapped(1, 1);
    EXPECT_EQ(31, calls);
}

TEST(AliveCallbackTest, DroppedHandlersReleaseTheirCaptures)
{
    std::shared_ptr<int> payload = std::make_shared<int>(5);
    std::weak_ptr<int> watch = payload;
    boost::function<void()> cb;
    {
        Callbacks alive;
        cb = alive.MakeCallback(boost::function<void()>([payload] {}));
        payload.reset();
        EXPECT_FALSE(watch.expired()); // the callback keeps its captures
    }
    cb = boost::function<void()>();
    EXPECT_TRUE(watch.expired());
}

TEST(AliveCallbackTest, ArgumentsReachTheFunction)
{
    Callbacks alive;
    std::string got;
    boost::function<void(const std::string&, size_t)> cb =
        alive.MakeCallback(boost::function<void(const std::string&, size_t)>(
            [&](const std::string& s, size_t n) { got = s.substr(0, n); }));
    cb("abcdef", 3);
    EXPECT_EQ("abc", got);
}

TEST(AliveCallbackDeathTest, MisuseHalts)
{
    // A callback belongs to its owner's thread.
    EXPECT_DEATH(
        {
            Callbacks alive;
            boost::function<void()> cb = alive.MakeCallback(boost::function<void()>([] {}));
            std::thread other([&] { cb(); });
            other.join();
        },
        "Current\\(\\)");
    // Reset belongs there too.
    EXPECT_DEATH(
        {
            Callbacks alive;
            std::thread other([&] { alive.Reset(); });
            other.join();
        },
        "Current\\(\\)");
    // A proxy makes callbacks only for itself.
    EXPECT_DEATH(
        {
            Callbacks a;
            Callbacks b;
            a.CurrentProxy()->MakeCallback(b.CurrentProxy(), boost::function<void()>([] {}));
        },
        "ptr.get\\(\\) == this");
}
