#pragma once
// A minimal thread that runs posted functions in order, for tests of cross-thread calls.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
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
        std::unique_lock<std::mutex> lock(m_lock);
        m_cond.wait(lock, [this] { return m_id != nullptr; });
    }

    ~ThreadLooper() override
    {
        Post([this] { m_stop = true; });
        Wait();
    }

    void Post(const boost::function<void()>& fn)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_queue.push_back(fn);
        m_cond.notify_all();
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
            std::lock_guard<std::mutex> lock(m_lock);
            m_id = GetCurrentThreadID();
            m_cond.notify_all();
        }
        while (!m_stop)
        {
            boost::function<void()> fn;
            {
                std::unique_lock<std::mutex> lock(m_lock);
                m_cond.wait(lock, [this] { return !m_queue.empty(); });
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

    std::mutex m_lock; // guards the members up to the blank line
    std::condition_variable m_cond;
    std::deque<boost::function<void()>> m_queue;
    void* m_id = nullptr;

    bool m_stop = false; // looper thread only
    std::atomic<int> m_thrown{0};
};

} // namespace TestUtils
