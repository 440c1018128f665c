#pragma once
#include <cstdio>
#include <future>
#include <thread>

namespace TestUtils
{

// While it lives, another thread holds a C stream's lock, as a thread stopped by a fault inside
// printf would.
class StreamLockHolder
{
public:
    explicit StreamLockHolder(FILE* stream)
        : m_thread(
              [this, stream]
              {
                  ::flockfile(stream);
                  m_locked.set_value();
                  m_release.get_future().wait();
                  ::funlockfile(stream);
              })
    {
        m_locked.get_future().wait();
    }
    ~StreamLockHolder()
    {
        m_release.set_value();
        m_thread.join();
    }
    StreamLockHolder(const StreamLockHolder&) = delete;
    StreamLockHolder& operator=(const StreamLockHolder&) = delete;

private:
    std::promise<void> m_locked, m_release;
    std::thread m_thread; // last: it uses the promises
};

} // namespace TestUtils
