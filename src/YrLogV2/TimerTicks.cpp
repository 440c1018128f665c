#include "YrLogV2/TimerTicks.h"

#include <chrono>
#include <thread>
#include "Platform/SysInfo.h"

namespace Utils
{

uint32_t TimerTicks::GetTicks() const
{
    return Platform::GetTickCount();
}

void TimerTicks::Sleep(uint32_t ms)
{
    Restart();
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    Stop();
}

} // namespace Utils
