#pragma once
#include <atomic>
#include <cstdint>
#include "Utils/IBasicInterface.h"

namespace Utils
{

// An interval timer over an abstract millisecond tick source. Tick arithmetic is unsigned 32-bit,
// so elapsed times stay right across one wrap of the counter.
class TimerBase : private IBasicInterface
{
public:
    TimerBase();
    ~TimerBase() override;

    // The current tick of the source, in milliseconds.
    virtual uint32_t GetTicks() const = 0;
    // Waits for ms milliseconds by polling the tick source (burns a processor for the whole wait;
    // sources with a real sleep replace it). Afterwards the timer is stopped, unless the repeat
    // flag was set meanwhile: then it runs again with the same interval from now. 0 returns at once.
    virtual void Sleep(uint32_t ms);

    // Ticks since the start; the current tick itself when the timer is stopped (start 0).
    uint32_t Elapsed() const;
    void Restart();
    void Stop();

    // The only thing another thread may do to a timer: ask a running Sleep to leave it running.
    void SetRepeat(bool repeat);
    uint32_t Interval() const;

private:
    uint32_t m_start;
    std::atomic<uint32_t> m_interval;
    std::atomic<bool> m_repeat;
};

} // namespace Utils
