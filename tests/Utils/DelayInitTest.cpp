#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>
#include "Utils/DelayInit.h"

namespace
{

TEST(DelayInitTest, RunsOnceInAscendingPriorityOrder)
{
    Utils::DelayInitHost host;
    std::vector<std::string> order;
    host.Register([&] { order.push_back("0a"); }, 0);
    host.Register([&] { order.push_back("-10"); }, -10);
    host.Register([&] { order.push_back("0b"); }, 0);
    host.Register([&] { order.push_back("-20"); }, -20);

    EXPECT_FALSE(host.InitDone());
    host.DoInit();
    EXPECT_TRUE(host.InitDone());

    ASSERT_EQ(4u, order.size());
    EXPECT_EQ("-20", order[0]);
    EXPECT_EQ("-10", order[1]);
    // Equal priorities carry no promised order: both run, after the negative ones.
    EXPECT_TRUE((order[2] == "0a" && order[3] == "0b") || (order[2] == "0b" && order[3] == "0a"));
}

TEST(DelayInitTest, EmptyHostOnlyMarksDone)
{
    Utils::DelayInitHost host;
    host.DoInit();
    EXPECT_TRUE(host.InitDone());
}

TEST(DelayInitTest, ThrowingEntryStopsThePassAndKeepsEveryEntry)
{
    Utils::DelayInitHost host;
    int first = 0;
    int after = 0;
    bool fail = true;
    host.Register([&] { ++first; }, -5);
    host.Register(
        [&]
        {
            if (fail)
            {
                throw std::runtime_error("not yet");
            }
        },
        0);
    host.Register([&] { ++after; }, 5);

    EXPECT_THROW(host.DoInit(), std::runtime_error);
    EXPECT_FALSE(host.InitDone());
    EXPECT_EQ(1, first);
    EXPECT_EQ(0, after);

    // Every entry is still held: a later pass runs them all again.
    fail = false;
    host.DoInit();
    EXPECT_TRUE(host.InitDone());
    EXPECT_EQ(2, first);
    EXPECT_EQ(1, after);
}

TEST(DelayInitTest, EntryRegisteredAfterDoInitNeverRuns)
{
    Utils::DelayInitHost host;
    host.DoInit();
    bool ran = false;
    host.Register([&] { ran = true; }, -100);
    EXPECT_FALSE(ran);
    EXPECT_TRUE(host.InitDone());
}

TEST(DelayInitTest, RegistrationDuringThePassIsHeldNotRun)
{
    Utils::DelayInitHost host;
    int late = 0;
    int second = 0;
    host.Register([&] { host.Register([&] { ++late; }, -100); }, 0);
    host.Register([&] { ++second; }, 1);
    host.DoInit();
    EXPECT_EQ(1, second);
    EXPECT_EQ(0, late);
    EXPECT_TRUE(host.InitDone());
}

TEST(DelayInitTest, RegistrationDuringAFailedPassIsKeptForTheNextPass)
{
    Utils::DelayInitHost host;
    int late = 0;
    bool fail = true;
    bool registered = false;
    host.Register(
        [&]
        {
            if (!registered)
            {
                registered = true;
                host.Register([&] { ++late; }, 10);
            }
            if (fail)
            {
                throw std::runtime_error("x");
            }
        },
        0);
    EXPECT_THROW(host.DoInit(), std::runtime_error);
    fail = false;
    host.DoInit();
    EXPECT_EQ(1, late);
}

TEST(DelayInitDeathTest, SecondDoInitHalts)
{
    EXPECT_EXIT(
        {
            Utils::DelayInitHost host;
            host.DoInit();
            host.DoInit();
        },
        ::testing::ExitedWithCode(3), "!m_initDone");
}

TEST(DelayInitDeathTest, EmptyFunctionHalts)
{
    EXPECT_EXIT(
        {
            Utils::DelayInitHost host;
            host.Register(boost::function<void()>(), 0);
        },
        ::testing::ExitedWithCode(3), "\n>>>\nf\n<<<\n");
}

} // namespace
