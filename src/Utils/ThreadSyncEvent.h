#pragma once
#include <atomic>
#include <climits>
#include <QDeadlineTimer>
#include <QMutex>
#include <QWaitCondition>
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
    explicit ThreadSyncEvent(bool checkThreads = true) : m_mutex(QMutex::NonRecursive)
    {
        if (checkThreads)
            m_waitThreadID = Platform::Thread::GetCurrentThreadID();
        m_mutex.lock();
    }

    // An event may only die after Ready has completed.
    ~ThreadSyncEvent() { ESS_ASSERT(m_readyDone.Get()); }

    void Ready()
    {
        if (m_waitThreadID)
            ESS_ASSERT(Platform::Thread::GetCurrentThreadID() != m_waitThreadID.get());
        m_mutex.lock();
        m_signalled = true;
        m_cond.wakeOne();
        m_mutex.unlock();
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
        QDeadlineTimer deadline(QDeadlineTimer::Forever);
        if (timeoutMs != UINT_MAX)
            deadline.setRemainingTime(static_cast<qint64>(timeoutMs));
        // A wake-up without Ready (spurious) must not count as the signal.
        while (!m_signalled)
        {
            if (!m_cond.wait(&m_mutex, deadline))
                break;
        }
        const bool res = m_signalled;
        m_mutex.unlock();
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

    QMutex m_mutex;
    QWaitCondition m_cond;
    boost::optional<void*> m_waitThreadID;
    Flag m_readyDone;
    bool m_signalled = false; // guarded by m_mutex
    bool m_waitDone = false;  // waiter's thread only
};

// Signals through a copy of the reference, which keeps the event alive until Ready has finished
// even when the woken waiter drops its own reference at once.
inline void SignalEventFn(const boost::shared_ptr<ThreadSyncEvent>& event)
{
    boost::shared_ptr<ThreadSyncEvent> copy = event;
    copy->Ready();
}

} // namespace Utils
