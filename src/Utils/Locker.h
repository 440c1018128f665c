#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

namespace Utils
{

// A non-recursive mutex with a flag that tells whether a Locker holds it (readable
// without taking the mutex, e.g. by diagnostics).
struct LockerMutex
{
    std::mutex m_mutex;
    std::atomic<int32_t> m_locked{0};

    bool IsLocked() const { return m_locked.load() != 0; }
};

// Scoped lock over a LockerMutex.
class Locker
{
public:
    explicit Locker(LockerMutex& lock) : m_pLock(&lock)
    {
        m_pLock->m_mutex.lock();
        m_pLock->m_locked.store(1);
    }
    Locker(const Locker&) = delete;
    Locker& operator=(const Locker&) = delete;

    virtual ~Locker()
    {
        m_pLock->m_locked.store(0);
        m_pLock->m_mutex.unlock();
    }

private:
    LockerMutex* m_pLock;
};

} // namespace Utils
