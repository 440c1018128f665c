#include <memory>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include "BridgeTestUtils.h"
#include "VdiCommon/PluginBridge/CrashJsonTimer.h"

namespace
{

using namespace BridgeTest;
using CrashReporterTestUtils::CrashType;
using VdiCommon::PluginBridge::CrashJsonTimer;

struct Crash
{
    std::string thread;
    std::string type;
    void* osThread;
};

class CrashJsonTimerTest : public ::testing::Test
{
protected:
    // Makes a timer for the command on the test thread; true when it was armed.
    bool Arm(const std::wstring& command)
    {
        bool armed = false;
        m_thread.Call(
            [&]
            {
                m_timer = std::make_unique<CrashJsonTimer>(
                    command,
                    [this](const std::string& thread, const CrashType& type)
                    {
                        m_rec.Update(
                            [&] {
                                m_crashes.push_back(
                                    {thread, type.ToString(), Platform::Thread::GetCurrentThreadID()});
                            });
                    });
                armed = m_timer->IsArmed();
            });
        return armed;
    }

    void TearDown() override
    {
        m_thread.Call([&] { m_timer.reset(); });
    }

    std::vector<Crash> Crashes()
    {
        return m_rec.Read([&] { return m_crashes; });
    }

    LogCapture m_log;
    Recorder m_rec;
    std::vector<Crash> m_crashes;
    NetTest::TestThread m_thread{"CrashTimerTest"};
    std::unique_ptr<CrashJsonTimer> m_timer;
};

TEST_F(CrashJsonTimerTest, ValidCommandCrashesAfterTheDelayOnTheTimersThread)
{
    ASSERT_TRUE(Arm(LR"({"time_ms": 50, "crash_type": "AV"})"));
    EXPECT_EQ(1u, m_log.Count("DoCrashJSON setup. Going to crash in time"));
    ASSERT_TRUE(m_rec.WaitFor([&] { return !m_crashes.empty(); }));
    const std::vector<Crash> c = Crashes();
    ASSERT_EQ(1u, c.size());
    EXPECT_EQ("", c[0].thread);
    EXPECT_EQ("AV", c[0].type);
    EXPECT_EQ(m_thread.ThreadId(), c[0].osThread);
    m_thread.Call([&] { EXPECT_FALSE(m_timer->IsArmed()); }); // one shot
}

TEST_F(CrashJsonTimerTest, ThreadNameIsCutToItsLowBytes)
{
    ASSERT_TRUE(Arm(L"{\"time_ms\": 1, \"crash_type\": \"std\", \"thread_name\": \"+p\x0141\"}"));
    ASSERT_TRUE(m_rec.WaitFor([&] { return !m_crashes.empty(); }));
    EXPECT_EQ(std::string("+p\x41"), Crashes()[0].thread);
    EXPECT_EQ("std", Crashes()[0].type);
}

TEST_F(CrashJsonTimerTest, InvalidCommandsArmNothingAndSayNothing)
{
    const std::vector<std::wstring> commands = {
        L"",
        L"{not json",
        LR"({"time_ms": 0, "crash_type": "AV"})",
        LR"({"time_ms": -5, "crash_type": "AV"})",
        LR"({"crash_type": "AV"})",
        LR"({"time_ms": 10})",
        LR"({"time_ms": 10, "crash_type": "av"})",
        LR"({"time_ms": 10, "crash_type": "Nothing"})",
        LR"({"time_ms": "10", "crash_type": "AV"})",
        LR"({"time_ms": 10, "crash_type": 3})",
        // Beyond what the timer can arm: it would never fire.
        LR"({"time_ms": 1296000001, "crash_type": "AV"})",
    };
    for (const std::wstring& c : commands)
        EXPECT_FALSE(Arm(c)) << std::string(c.begin(), c.end());
    EXPECT_EQ(0u, m_log.Count("DoCrashJSON setup"));
}

TEST_F(CrashJsonTimerTest, NoConfigurationNoCommand)
{
    // The bridge's own timer reads the option; this process has no configuration.
    bool armed = true;
    m_thread.Call([&] { armed = CrashJsonTimer().IsArmed(); });
    EXPECT_FALSE(armed);
}

TEST(CrashJsonTimerDeathTest, AssertCommandEndsTheProcessWithACrashReport)
{
    EXPECT_EXIT(
        {
            NetTest::TestThread thread("CrashTimerDeath");
            std::unique_ptr<CrashJsonTimer> timer;
            thread.Call(
                [&]
                {
                    timer = std::make_unique<CrashJsonTimer>(LR"({"time_ms": 10, "crash_type": "Assert"})",
                                                             CrashJsonTimer::CrashFn());
                });
            // The timer's thread halts the process; this wait never ends by itself.
            NetTest::TestThread().Call([] { Platform::SleepMs(10000); });
        },
        ::testing::ExitedWithCode(3), "Winter is coming");
}

} // namespace
