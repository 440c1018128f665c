#pragma once
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <boost/noncopyable.hpp>
#include <boost/optional.hpp>
#include <boost/shared_ptr.hpp>
#include "ESS/Assert.h"
#include "Platform/Thread.h"

namespace Utils
{

// One-shot hand-shake: the thread that creates the event waits; another thread calls Ready once.
// The waiter holds the mutex from construction until Wait, so a Ready given before the waiter
// waits is not lost: the signaller blocks until the waiter is inside Wait.
class ThreadSyncEvent : boost::noncopyable
{
public:
    // With checkThreads, only the creating thread may Wait and only another thread may Ready.
    explicit ThreadSyncEvent(bool checkThreads = true) : m_waiterLock(m_mutex)
    {
        if (checkThreads)
            m_waitThreadID = Platform::Thread::GetCurrentThreadID();
    }

    // An event may only die after Ready has completed.
    ~ThreadSyncEvent() { ESS_ASSERT(m_readyDone.Get()); }

    void Ready()
    {
        if (m_waitThreadID)
            ESS_ASSERT(Platform::Thread::GetCurrentThreadID() != m_waitThreadID.get());
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_signalled = true;
            m_cond.notify_one();
        }
        m_readyDone.Set(true);
    }

    // true when signalled, false when the time ran out; UINT_MAX (-1) waits without limit.
    // Called exactly once, by the creating thread.
    bool Wait(unsigned int timeoutMs)
    {
        if (m_waitThreadID)
            ESS_ASSERT(Platform::Thread::GetCurrentThreadID() == m_waitThreadID.get());
        ESS_ASSERT(!m_waitDone);
        m_waitDone = true;
        // A wake-up without Ready (spurious) must not count as the signal.
        const auto signalled = [this] { return m_signalled; };
        if (timeoutMs == UINT_MAX)
            m_cond.wait(m_waiterLock, signalled);
        else
            m_cond.wait_for(m_waiterLock, std::chrono::milliseconds(timeoutMs), signalled);
        const bool res = m_signalled;
        m_waiterLock.unlock();
        return res;
    }

private:
    class Flag
    {
    public:
        bool Get() const { return m_value.load(); }
        void Set(bool v) { m_value.store(v); }

    private:
        std::atomic<bool> m_value{false};
    };

    std::mutex m_mutex;
    std::unique_lock<std::mutex> m_waiterLock; // taken at construction, given up in Wait
    std::condition_variable m_cond;
    boost::optional<void*> m_waitThreadID;
    Flag m_readyDone;
    bool m_signalled = false; // guarded by m_mutex
    bool m_waitDone = false;  // waiter's thread only
};

// Signals through a copy of the reference, which keeps the event alive until Ready has finished
// even when the woken waiter drops its own reference at once.
inline void SignalEventFn(const std::shared_ptr<ThreadSyncEvent>& event)
{
    std::shared_ptr<ThreadSyncEvent> copy = event;
    copy->Ready();
}

// The same for an event held in a boost::shared_ptr.
inline void SignalEventFn(const boost::shared_ptr<ThreadSyncEvent>& event)
{
    boost::shared_ptr<ThreadSyncEvent> copy = event;
    copy->Ready();
}

} // namespace Utils
