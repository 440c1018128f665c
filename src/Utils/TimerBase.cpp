#include "Utils/TimerBase.h"

namespace Utils
{

TimerBase::TimerBase() : m_start(0), m_interval(0), m_repeat(false) {}

TimerBase::~TimerBase() = default;

void TimerBase::Sleep(uint32_t ms)
{
    m_interval = ms;
    m_repeat = false;
    m_start = GetTicks();

    // The difference, not start + interval, is compared: it stays right when the counter wraps.
    while (static_cast<uint32_t>(GetTicks() - m_start) < m_interval)
    {
    }

    if (m_repeat)
    {
        m_start = GetTicks();
        return;
    }
    m_start = 0;
    m_interval = 0;
}

uint32_t TimerBase::Elapsed() const
{
    return GetTicks() - m_start;
}

void TimerBase::Restart()
{
    m_start = GetTicks();
}

void TimerBase::Stop()
{
    m_start = 0;
    m_interval = 0;
    m_repeat = false;
}

void TimerBase::SetRepeat(bool repeat)
{
    m_repeat = repeat;
}

uint32_t TimerBase::Interval() const
{
    return m_interval;
}

} // namespace Utils
