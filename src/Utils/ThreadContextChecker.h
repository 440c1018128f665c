#pragma once
#include "ESS/Assert.h"
#include "Platform/Thread.h"

namespace Utils
{

namespace details
{
// The kernel id of the calling thread, asked once per thread: checks run in every completion
// handler of the network layer and should not cost a system call each.
inline void* CachedCurrentThreadId()
{
    thread_local void* const t_id = Platform::Thread::GetCurrentThreadID();
    return t_id;
}
} // namespace details

// Records the thread that made it and asserts later that code runs on that thread.
class ThreadContextChecker
{
public:
    // Records the calling thread; the destructor checks that it runs there too.
    ThreadContextChecker()
        : m_empty(false), m_threadId(details::CachedCurrentThreadId()), m_checkOnDestroy(true)
    {
    }

    // An empty checker records no thread: Assert passes anywhere, Current() is a contract violation.
    struct EmptyTag
    {
    };
    explicit ThreadContextChecker(EmptyTag) : m_empty(true), m_threadId(nullptr), m_checkOnDestroy(false) {}

    ~ThreadContextChecker()
    {
        if (m_checkOnDestroy)
            Assert();
    }

    // True when the calling thread is the recorded one.
    bool Current() const
    {
        ESS_ASSERT(!m_empty);
        return details::CachedCurrentThreadId() == m_threadId;
    }

    void Assert() const
    {
        if (m_empty)
            return;
        ESS_ASSERT(Current());
    }

    bool IsEmpty() const { return m_empty; }
    void* ThreadId() const { return m_threadId; }

private:
    bool m_empty;
    void* m_threadId;
    bool m_checkOnDestroy;
};

} // namespace Utils
