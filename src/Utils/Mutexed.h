#pragma once
#include <utility>
#include "ESS/Assert.h"
#include "Platform/Thread.h"

namespace Utils
{

// Scoped lock of any mutex with lock()/unlock(); by default a Platform::Mutex.
template <class TMutex = Platform::Mutex>
class LockGuard
{
public:
    explicit LockGuard(TMutex& mutex) : m_mutex(mutex) { m_mutex.lock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;
    ~LockGuard() { m_mutex.unlock(); }

private:
    TMutex& m_mutex;
};

// A value kept together with the mutex that guards it; reach it only through a Ptr.
template <class T, class TMutex = Platform::Mutex>
class Mutexed
{
public:
    template <class... Args>
    explicit Mutexed(Args&&... args) : m_value(std::forward<Args>(args)...)
    {
    }
    Mutexed(const Mutexed&) = delete;
    Mutexed& operator=(const Mutexed&) = delete;

    // Holds the mutex for as long as it lives.
    class Ptr
    {
    public:
        explicit Ptr(Mutexed& owner) : m_p(&owner) { m_p->m_mutex.lock(); }
        Ptr(const Ptr&) = delete;
        Ptr& operator=(const Ptr&) = delete;
        Ptr(Ptr&& other) noexcept : m_p(other.m_p) { other.m_p = nullptr; }
        ~Ptr()
        {
            if (m_p != 0)
                m_p->m_mutex.unlock();
        }

        T* operator->() const
        {
            ESS_ASSERT(m_p != 0);
            return &m_p->m_value;
        }
        T& operator*() const
        {
            ESS_ASSERT(m_p != 0);
            return m_p->m_value;
        }

    private:
        Mutexed* m_p;
    };

    Ptr Lock() { return Ptr(*this); }

private:
    TMutex m_mutex;
    T m_value;
};

} // namespace Utils
