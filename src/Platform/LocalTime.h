#pragma once
#include <cstdint>
#include <ctime>

// The local time for the halt path, without the C library's time-zone code: that code holds a
// process-wide lock while it works, and a thread stopped by a fault inside it (localtime_r given a
// bad result pointer, say) would keep every later caller waiting for good. The offset from UTC is
// taken ahead, outside the fault path: when the fault dispatcher is installed, then once a minute
// on the fault reporter, and by any caller off the fault path once the last offset has run out.
// The offset two minutes on is taken with it, so that a change of offset within them (summer
// time) comes out right.
//
// Threads: any.
namespace Platform
{

// Takes the offset now. Runs the time-zone code: never on the fault path.
void TakeUtcOffset() noexcept;

// Now in local time, as localtime_r gives it (but tm_zone, which is null). On the fault path the
// last offset taken serves however old it is. False only when no offset could ever be had.
bool LocalTimeNow(std::tm& tm) noexcept;

// The local time of `now` (seconds since the epoch; a time of these minutes, such as a log
// record's) as LocalTimeNow gives it, or UTC where no offset can be had: for a time that must
// never cost its text.
std::tm LocalTimeOrUtc(int64_t now) noexcept;

// Now in UTC (tm_isdst 0), without the C library.
std::tm UniversalTimeNow() noexcept;

namespace detail
{

// TakeUtcOffset and LocalTimeNow with `now` given (seconds since the epoch). For tests.
void TakeUtcOffsetAt(int64_t now) noexcept;
bool LocalTimeAt(int64_t now, std::tm& tm) noexcept;

// For tests: while held, the offsets are as a writer stopped in the middle of writing them left
// them, and no offset can be had.
void HoldOffsetsWriting(bool hold) noexcept;

// The calendar time `t` (seconds since the epoch) at `offset` seconds east of UTC, broken down
// without the C library (tm_isdst 0, tm_zone null).
std::tm CivilTime(int64_t t, long offset) noexcept;

} // namespace detail

} // namespace Platform
