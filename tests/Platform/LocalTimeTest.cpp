// The halt path's local time, worked out without the C library's time-zone code, against the C
// library itself.
#include <cstdlib>
#include <ctime>
#include <string>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>
#include "Platform/Halt.h"
#include "Platform/LocalTime.h"

namespace
{

std::string Fields(const std::tm& tm)
{
    char buf[96];
    std::snprintf(buf, sizeof(buf), "%d-%02d-%02d %02d:%02d:%02d wday %d yday %d dst %d off %ld", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_wday, tm.tm_yday,
                  tm.tm_isdst, tm.tm_gmtoff);
    return buf;
}

// A POSIX time-zone rule for the test's life (no time-zone files needed); the offsets taken under
// it go with it.
class TimeZone
{
public:
    explicit TimeZone(const char* rule)
    {
        const char* old = std::getenv("TZ");
        m_had = old != nullptr;
        if (m_had)
            m_old = old;
        ::setenv("TZ", rule, 1);
        ::tzset();
    }
    ~TimeZone()
    {
        if (m_had)
            ::setenv("TZ", m_old.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
        Platform::TakeUtcOffset();
    }

private:
    bool m_had = false;
    std::string m_old;
};

std::tm LibraryLocalTime(int64_t t)
{
    const std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm;
    ::localtime_r(&tt, &tm);
    return tm;
}

} // namespace

TEST(LocalTimeTest, CivilTimeIsTheCalendarOfTheCLibrary)
{
    // Before the epoch, around leap days and century years, far ahead; offsets east and west.
    const int64_t starts[] = {-2208988800LL, -86401, 0, 951782400, 4107542400LL, 253402300799LL - 86400 * 3};
    const long offsets[] = {0, -36000, 19800, 45900};
    for (int64_t start : starts)
    {
        for (int64_t t = start; t < start + 86400 * 3; t += 3607)
        {
            for (long offset : offsets)
            {
                const std::time_t shifted = static_cast<std::time_t>(t + offset);
                std::tm expected;
                ASSERT_NE(nullptr, ::gmtime_r(&shifted, &expected));
                expected.tm_gmtoff = offset;
                EXPECT_EQ(Fields(expected), Fields(Platform::detail::CivilTime(t, offset))) << t << " " << offset;
            }
        }
    }
}

// Each second around a change of offset, with the offset taken before it (within the two minutes
// it serves) and long before it (run out: taken anew, as off the fault path it is).
TEST(LocalTimeTest, LocalTimeFollowsChangesOfOffset)
{
    struct Change
    {
        const char* rule;
        int64_t at; // UTC
    };
    const Change changes[] = {
        {"EST5EDT,M3.2.0,M11.1.0", 1772953200},                          // 2026-03-08 02:00 EST
        {"EST5EDT,M3.2.0,M11.1.0", 1793512800},                          // 2026-11-01 02:00 EDT
        {"<+1030>-10:30<+11>-11,M10.1.0,M4.1.0", 1775314800},           // half an hour back
        {"<+0545>-5:45", 1775314800},                                     // none
    };
    for (const Change& c : changes)
    {
        const TimeZone zone(c.rule);
        for (int64_t takenAt : {c.at - 100, c.at - 1, c.at - 300})
        {
            Platform::detail::TakeUtcOffsetAt(takenAt);
            for (int64_t t = takenAt; t < c.at + 150; ++t)
            {
                std::tm tm;
                ASSERT_TRUE(Platform::detail::LocalTimeAt(t, tm));
                ASSERT_EQ(Fields(LibraryLocalTime(t)), Fields(tm)) << c.rule << " taken " << takenAt << " at " << t;
            }
        }
    }
}

TEST(LocalTimeTest, SimpleTextIsTheDateTimeLibrarys)
{
    for (int month = 0; month < 12; ++month)
    {
        const int64_t t = 1767225600 + int64_t(month) * 31 * 86400 + 3723; // from 2026-01-01 01:02:03
        const std::tm tm = Platform::detail::CivilTime(t, 0);
        EXPECT_EQ(boost::posix_time::to_simple_string(boost::posix_time::from_time_t(static_cast<std::time_t>(t))),
                  Platform::detail::SimpleTimeText(tm));
    }
}
