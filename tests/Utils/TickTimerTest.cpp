#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <QDate>
#include <QLocale>
#include "Utils/CalendarNames.h"
#include "Utils/TimerBase.h"

namespace
{

// A tick source moved by the test. Every poll advances it by step; after a bounded number of
// polls it jumps far ahead, so that a wait that would never end still ends (and says so).
class FakeTimer : public Utils::TimerBase
{
public:
    explicit FakeTimer(uint32_t ticks = 1000, uint32_t step = 0) : m_ticks(ticks), m_step(step) {}

    uint32_t GetTicks() const override
    {
        if (++m_polls > c_pollLimit)
        {
            m_overrun = true;
            m_ticks += 0x40000000u;
        }
        return m_ticks.fetch_add(m_step);
    }

    void Set(uint32_t ticks) { m_ticks = ticks; }
    uint32_t Now() const { return m_ticks; }
    uint64_t Polls() const { return m_polls; }
    bool Overrun() const { return m_overrun; }

private:
    static const uint64_t c_pollLimit = 200000000;
    mutable std::atomic<uint32_t> m_ticks;
    const uint32_t m_step;
    mutable std::atomic<uint64_t> m_polls{0};
    mutable std::atomic<bool> m_overrun{false};
};

TEST(TickTimerTest, ElapsedCountsFromRestart)
{
    FakeTimer t(5000);
    t.Restart();
    EXPECT_EQ(0u, t.Elapsed());
    t.Set(5250);
    EXPECT_EQ(250u, t.Elapsed());

    // Across the wrap of the 32-bit counter.
    t.Set(0xFFFFFFF0u);
    t.Restart();
    t.Set(0x10);
    EXPECT_EQ(0x20u, t.Elapsed());
}

TEST(TickTimerTest, StoppedTimerElapsedIsTheTickValue)
{
    FakeTimer t(123);
    EXPECT_EQ(123u, t.Elapsed()); // a new timer is stopped
    t.Restart();
    t.Set(777);
    t.Stop();
    EXPECT_EQ(777u, t.Elapsed());
    EXPECT_EQ(0u, t.Interval());
}

TEST(TickTimerTest, SleepPollsUntilTheIntervalHasPassedAcrossTheWrap)
{
    FakeTimer t(0xFFFFFFF0u, 1);
    t.Sleep(0x20);
    EXPECT_FALSE(t.Overrun());
    // Started at 0xFFFFFFF0 (first poll), left at the first poll whose difference reached 0x20:
    // tick 0x10 was the last one seen, so the source stands at 0x11.
    EXPECT_EQ(0x11u, t.Now());
    // Stopped afterwards.
    EXPECT_EQ(0u, t.Interval());
    EXPECT_EQ(t.Now(), t.Elapsed() + 1); // Elapsed polled once more
}

TEST(TickTimerTest, SleepOfZeroReturnsAtOnce)
{
    FakeTimer t(1000, 0); // a source that never moves
    t.Sleep(0);
    EXPECT_FALSE(t.Overrun());
    EXPECT_EQ(0u, t.Interval());
}

TEST(TickTimerTest, RepeatSetDuringSleepKeepsTheTimerRunning)
{
    for (bool repeat : {false, true})
    {
        FakeTimer t(100, 0);
        std::thread sleeper([&] { t.Sleep(50); });

        // Wait (bounded) until the sleeper polls, then let the interval pass.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (t.Polls() < 2 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        ASSERT_GE(t.Polls(), 2u);
        if (repeat)
            t.SetRepeat(true);
        t.Set(160);
        sleeper.join();

        EXPECT_FALSE(t.Overrun());
        if (repeat)
        {
            EXPECT_EQ(50u, t.Interval());
            EXPECT_EQ(0u, t.Elapsed()); // restarted at the end of the wait
        }
        else
        {
            EXPECT_EQ(0u, t.Interval());
            EXPECT_EQ(160u, t.Elapsed());
        }
    }
}

TEST(TickTimerTest, SleepClearsAnEarlierRepeat)
{
    FakeTimer t(0, 1);
    t.SetRepeat(true);
    t.Sleep(5);
    EXPECT_EQ(0u, t.Interval());
}

TEST(CalendarNamesTest, MonthsMatchTheCalendar)
{
    ASSERT_EQ(12u, Utils::g_months.size());
    uint32_t shortest = 0;
    uint32_t longest = 0;
    for (int m = 1; m <= 12; ++m)
    {
        const Utils::MonthInfo& info = Utils::g_months[m - 1];
        EXPECT_EQ(QLocale::c().monthName(m, QLocale::LongFormat).toStdString(), info.fullName);
        EXPECT_EQ(QLocale::c().monthName(m, QLocale::ShortFormat).toStdString(), info.shortName);
        EXPECT_EQ(static_cast<uint32_t>(QDate(2023, m, 1).daysInMonth()), info.shortestDays) << m;
        EXPECT_EQ(static_cast<uint32_t>(QDate(2024, m, 1).daysInMonth()), info.longestDays) << m;
        shortest += info.shortestDays;
        longest += info.longestDays;
    }
    EXPECT_EQ(365u, shortest);
    EXPECT_EQ(366u, longest);
}

TEST(CalendarNamesTest, DayPartMarkers)
{
    EXPECT_EQ((std::vector<std::string>{"AM", "am", "PM", "pm", "AP", "ap"}), Utils::g_dayPartMarkers);
}

} // namespace
