#pragma once
// A minimal thread that runs posted functions in order, for tests of cross-thread calls.
#include <atomic>
#include <deque>
#include <string>
#include <QMutex>
#include <QMutexLocker>
#include <QWaitCondition>
#include <boost/function.hpp>
#include <boost/optional.hpp>
#include "Platform/Thread.h"
#include "Utils/ThreadContext.h"

namespace TestUtils
{

class ThreadLooper : public Platform::Thread
{
public:
    explicit ThreadLooper(const std::string& name) : Platform::Thread(name)
    {
        Start(QThread::InheritPriority);
        // The id is needed by the contexts; wait until the body has it.
        QMutexLocker lock(&m_lock);
        while (m_id == nullptr)
            m_cond.wait(&m_lock);
    }

    ~ThreadLooper() override
    {
        Post([this] { m_stop = true; });
        Wait();
    }

    void Post(const boost::function<void()>& fn)
    {
        QMutexLocker lock(&m_lock);
        m_queue.push_back(fn);
        m_cond.wakeAll();
    }

    void* Id() const { return m_id; }
    int Thrown() const { return m_thrown; }

    Utils::ThreadContext MakeContext()
    {
        return Utils::ThreadContext([this](const boost::function<void()>& fn, int) { Post(fn); }, false,
                                    boost::optional<void*>(m_id));
    }

private:
    void run() override
    {
        {
            QMutexLocker lock(&m_lock);
            m_id = GetCurrentThreadID();
            m_cond.wakeAll();
        }
        while (!m_stop)
        {
            boost::function<void()> fn;
            {
                QMutexLocker lock(&m_lock);
                while (m_queue.empty())
                    m_cond.wait(&m_lock);
                fn = m_queue.front();
                m_queue.pop_front();
            }
            // A message loop reports what its functions throw and goes on; so does this one.
            try
            {
                fn();
            }
            catch (...)
            {
                ++m_thrown;
            }
        }
    }

    QMutex m_lock;
    QWaitCondition m_cond;
    std::deque<boost::function<void()>> m_queue;
    void* m_id = nullptr;
    bool m_stop = false; // looper thread only
    std::atomic<int> m_thrown{0};
};

} // namespace TestUtils
