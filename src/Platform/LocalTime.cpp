#include "Platform/LocalTime.h"

#include <atomic>
#include "Platform/FaultSignals.h"

namespace Platform
{

namespace
{

// An offset serves this long after it was taken; the reporter takes one every minute.
const int64_t c_horizonSeconds = 120;

struct Offsets
{
    int64_t takenAt = 0;
    int64_t switchAt = 0; // from here on `after` holds; takenAt + c_horizonSeconds for no change
    long before = 0;
    long after = 0;
    bool dstBefore = false;
    bool dstAfter = false;
};

// The last offsets taken, behind a sequence lock: readers never wait for a writer, and a writer
// that finds another one at work leaves it to publish. g_version is odd while being written and
// 0 until the first offsets are in.
std::atomic<unsigned> g_version{0};
std::atomic_flag g_writing = ATOMIC_FLAG_INIT;
std::atomic<int64_t> g_takenAt{0};
std::atomic<int64_t> g_switchAt{0};
std::atomic<long> g_before{0};
std::atomic<long> g_after{0};
std::atomic<int> g_dst{0}; // bit 0: before, bit 1: after

void Publish(const Offsets& o)
{
    if (g_writing.test_and_set(std::memory_order_acquire))
        return;
    const unsigned v = g_version.load(std::memory_order_relaxed);
    g_version.store(v + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    g_takenAt.store(o.takenAt, std::memory_order_relaxed);
    g_switchAt.store(o.switchAt, std::memory_order_relaxed);
    g_before.store(o.before, std::memory_order_relaxed);
    g_after.store(o.after, std::memory_order_relaxed);
    g_dst.store((o.dstBefore ? 1 : 0) | (o.dstAfter ? 2 : 0), std::memory_order_relaxed);
    g_version.store(v + 2, std::memory_order_release);
    g_writing.clear(std::memory_order_release);
}

// Bounded: a writer only stores a few words, so a reader that keeps finding one at work is
// looking at a writer that was stopped, and gives up.
bool Read(Offsets& o)
{
    for (int i = 0; i < 10000; ++i)
    {
        const unsigned v = g_version.load(std::memory_order_acquire);
        if (v == 0)
            return false;
        if ((v & 1) != 0)
            continue;
        o.takenAt = g_takenAt.load(std::memory_order_relaxed);
        o.switchAt = g_switchAt.load(std::memory_order_relaxed);
        o.before = g_before.load(std::memory_order_relaxed);
        o.after = g_after.load(std::memory_order_relaxed);
        const int dst = g_dst.load(std::memory_order_relaxed);
        o.dstBefore = (dst & 1) != 0;
        o.dstAfter = (dst & 2) != 0;
        std::atomic_thread_fence(std::memory_order_acquire);
        if (g_version.load(std::memory_order_relaxed) == v)
            return true;
    }
    return false;
}

bool OffsetAt(int64_t t, long& offset, bool& dst)
{
    const std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm;
    if (::localtime_r(&tt, &tm) == nullptr)
        return false;
    offset = tm.tm_gmtoff;
    dst = tm.tm_isdst > 0;
    return true;
}

int64_t FloorDiv(int64_t a, int64_t b)
{
    return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0);
}

bool IsLeapYear(int64_t y)
{
    return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
}

} // namespace

void TakeUtcOffset() noexcept
{
    detail::TakeUtcOffsetAt(static_cast<int64_t>(std::time(nullptr)));
}

bool LocalTimeNow(std::tm& tm) noexcept
{
    return detail::LocalTimeAt(static_cast<int64_t>(std::time(nullptr)), tm);
}

std::tm LocalTimeOrUtc(int64_t now) noexcept
{
    std::tm tm;
    return detail::LocalTimeAt(now, tm) ? tm : detail::CivilTime(now, 0);
}

std::tm UniversalTimeNow() noexcept
{
    return detail::CivilTime(static_cast<int64_t>(std::time(nullptr)), 0);
}

namespace detail
{

void TakeUtcOffsetAt(int64_t now) noexcept
{
    Offsets o;
    o.takenAt = now;
    o.switchAt = o.takenAt + c_horizonSeconds;
    if (!OffsetAt(o.takenAt, o.before, o.dstBefore))
        return;
    if (!OffsetAt(o.switchAt, o.after, o.dstAfter))
    {
        o.after = o.before;
        o.dstAfter = o.dstBefore;
    }
    if (o.after != o.before || o.dstAfter != o.dstBefore)
    {
        // The first second of the new offset: `lo` has the old one, `hi` the new one.
        int64_t lo = o.takenAt, hi = o.switchAt;
        while (hi - lo > 1)
        {
            const int64_t mid = lo + (hi - lo) / 2;
            long offset = 0;
            bool dst = false;
            if (OffsetAt(mid, offset, dst) && offset == o.before && dst == o.dstBefore)
                lo = mid;
            else
                hi = mid;
        }
        o.switchAt = hi;
    }
    Publish(o);
}

bool LocalTimeAt(int64_t now, std::tm& tm) noexcept
{
    Offsets o;
    bool have = Read(o);
    const bool fresh = have && now >= o.takenAt && now < o.takenAt + c_horizonSeconds;
    if (!fresh && !OnFaultPath())
    {
        TakeUtcOffsetAt(now);
        have = Read(o);
    }
    if (!have)
        return false;
    const bool after = now >= o.switchAt;
    tm = CivilTime(now, after ? o.after : o.before);
    tm.tm_isdst = (after ? o.dstAfter : o.dstBefore) ? 1 : 0;
    return true;
}

void HoldOffsetsWriting(bool hold) noexcept
{
    if (hold)
    {
        while (g_writing.test_and_set(std::memory_order_acquire))
        {
        }
    }
    g_version.fetch_add(1); // odd while held
    if (!hold)
        g_writing.clear(std::memory_order_release);
}

std::tm CivilTime(int64_t t, long offset) noexcept
{
    // Days to the civil date after H. Hinnant's days-to-civil algorithm, on a calendar whose
    // years start on 1 March (the leap day comes last) in eras of 400 years.
    const int64_t local = t + offset;
    const int64_t days = FloorDiv(local, 86400);
    const int64_t secs = local - days * 86400;
    const int64_t z = days + 719468; // days from 0000-03-01
    const int64_t era = FloorDiv(z, 146097);
    const int64_t doe = z - era * 146097;                                    // [0, 146096]
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365; // [0, 399]
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);               // [0, 365], from 1 March
    const int64_t mp = (5 * doy + 2) / 153;                                    // [0, 11], March first
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;                           // [1, 12]
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);

    std::tm tm{};
    tm.tm_year = static_cast<int>(year - 1900);
    tm.tm_mon = static_cast<int>(month - 1);
    tm.tm_mday = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    tm.tm_hour = static_cast<int>(secs / 3600);
    tm.tm_min = static_cast<int>(secs % 3600 / 60);
    tm.tm_sec = static_cast<int>(secs % 60);
    const int64_t fromSunday = days + 4; // 1970-01-01 was a Thursday
    tm.tm_wday = static_cast<int>(fromSunday - FloorDiv(fromSunday, 7) * 7);
    // 1 March is day 59 of a common year; January and February lie at the end of the shifted year.
    tm.tm_yday = static_cast<int>(month <= 2 ? doy - 306 : doy + 59 + (IsLeapYear(year) ? 1 : 0));
    tm.tm_gmtoff = offset;
    return tm;
}

} // namespace detail

} // namespace Platform
