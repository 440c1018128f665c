#pragma once
#include <cstdint>
#include "Utils/TimerBase.h"

namespace Utils
{

// The interval timer of the logging benchmarks: ticks of the system tick count (monotonic
// milliseconds), and a wait that really sleeps instead of polling.
//
// Threads: one thread uses a timer.
class TimerTicks : public TimerBase
{
public:
    uint32_t GetTicks() const override;

    // Sleeps for ms milliseconds from now, then stops the timer.
    void Sleep(uint32_t ms) override;
};

} // namespace Utils
