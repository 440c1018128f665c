#pragma once
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

// Keeps `count` threads of this process spinning while it lives, to load the machine from the
// inside (a saturated machine for the relay's load tests and benchmarks).
class BusyThreads
{
public:
    explicit BusyThreads(unsigned count)
    {
        for (unsigned i = 0; i < count; ++i)
            m_threads.emplace_back(
                [this]
                {
                    volatile uint64_t x = 0;
                    while (!m_stop.load(std::memory_order_relaxed))
                        x = x + 1;
                });
    }
    ~BusyThreads()
    {
        m_stop = true;
        for (std::thread& t : m_threads)
            t.join();
    }
    BusyThreads(const BusyThreads&) = delete;
    BusyThreads& operator=(const BusyThreads&) = delete;

    // More busy threads than cores: every core stays busy and the relay's threads must queue.
    static unsigned MoreThanCores() { return std::max(2u, std::thread::hardware_concurrency()) + 2; }

private:
    std::atomic<bool> m_stop{false};
    std::vector<std::thread> m_threads;
};
