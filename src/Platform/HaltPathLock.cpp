#include "Platform/HaltPathLock.h"

#include <atomic>
#include <thread>

#include "Platform/FaultSignals.h"
#include "Platform/Halt.h"

namespace Platform
{

namespace
{

// The locks given up on since the halt began. A halt meets only a few locks (the standard
// streams, the debug output's, the thread names', the log's); past the last slot a lock is
// simply tried with its wait again.
const int c_missSlots = 16;
std::atomic<const void*> g_missed[c_missSlots];

bool Missed(const void* lock) noexcept
{
    for (const auto& slot : g_missed)
    {
        if (slot.load() == lock)
            return true;
    }
    return false;
}

} // namespace

bool OnHaltPath() noexcept
{
    return OnFaultPath() || HaltingOnThisThread();
}

std::chrono::milliseconds HaltPathWait(const void* lock, std::chrono::milliseconds wait) noexcept
{
    return OnHaltPath() && Missed(lock) ? std::chrono::milliseconds(0) : wait;
}

void NoteHaltPathMiss(const void* lock) noexcept
{
    if (!OnHaltPath() || Missed(lock))
        return;
    for (auto& slot : g_missed)
    {
        const void* expected = nullptr;
        if (slot.compare_exchange_strong(expected, lock))
            return;
    }
}

void BeginHaltPath() noexcept
{
    for (auto& slot : g_missed)
        slot.store(nullptr);
}

bool TryLockStreamForHaltPath(FILE* stream) noexcept
{
    const auto deadline = std::chrono::steady_clock::now() + HaltPathWait(stream);
    while (::ftrylockfile(stream) != 0)
    {
        if (std::chrono::steady_clock::now() >= deadline)
        {
            NoteHaltPathMiss(stream);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace Platform
