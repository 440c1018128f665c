#pragma once
#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <vector>
#include <boost/noncopyable.hpp>

// Stopping the other threads of the process while code is patched under them. Linux cannot
// suspend a thread from outside, so each one is sent a real-time "park" signal: its handler
// reports where the thread stands, waits until it is released and may move the thread's
// instruction pointer on the way out. Every wait on either side is bounded.
namespace ApiHook
{

// How long the parking side waits for the threads to report, and a parked thread for its release.
constexpr uint32_t c_parkTimeoutMs = 2000;
constexpr uint32_t c_releaseTimeoutMs = 10000;

// The signal that parks a thread (a real-time one, so that it is queued and never merged).
int ParkSignal();

// Parks every other thread of the process for the object's life. One parker at a time (a second
// one waits). Between construction and destruction the owner must not allocate memory or take
// locks a parked thread may hold: it patches and moves instruction pointers, nothing more.
class ThreadParker : boost::noncopyable
{
public:
    struct Thread
    {
        pid_t tid;
        bool parked;  // stopped in the handler
        uintptr_t ip; // where it stopped (valid when parked)
    };

    explicit ThreadParker(uint32_t timeoutMs = c_parkTimeoutMs);
    ~ThreadParker(); // releases

    // The threads that were there when parking began, except the calling one and those that
    // ended meanwhile.
    const std::vector<Thread>& Threads() const { return m_threads; }

    // Threads that live on but did not stop in time (they block the signal, say): they run on.
    size_t NotParkedCount() const;

    // The parked thread i continues at ip when released.
    void MoveIp(size_t i, uintptr_t ip);

private:
    void Release();

    std::vector<Thread> m_threads;
    std::vector<size_t> m_slots; // slot of m_threads[i] in the shared table
};

} // namespace ApiHook
