#include "Utils/ThreadNames.h"
#include <cstdlib>
#include "ESS/Assert.h"
#include "Platform/HaltPathLock.h"
#include "Platform/Thread.h"
#include "Utils/DelayInit.h"

namespace Utils
{

ThreadNames::ThreadNames()
{
    // Whoever creates the registry is the start-up thread.
    m_entries.emplace_back(Platform::Thread::GetCurrentThreadID(), "main");
}

ThreadNames* ThreadNames::InstancePtr()
{
    // Never destroyed: threads may still look names up while static destructors run.
    static ThreadNames* const p = new ThreadNames();
    return p;
}

ThreadNames& ThreadNames::Instance()
{
    ThreadNames* p = InstancePtr();
    ESS_ASSERT(p != 0);
    return *p;
}

int ThreadNames::Find(void* id) const
{
    for (size_t i = 0; i < m_entries.size(); ++i)
    {
        if (m_entries[i].first == id)
            return static_cast<int>(i);
    }
    return -1;
}

void ThreadNames::Register(void* id, const std::string& name)
{
    {
        std::lock_guard<std::recursive_timed_mutex> lock(m_lock);
        if (Find(id) < 0)
        {
            m_entries.emplace_back(id, name);
            return;
        }
    }
    ESS_HALT("Duplicate thread ID " + Platform::ThreadIdToString(id));
}

std::string ThreadNames::GetName(void* id) const
{
    // Others hold the registry for a few instructions at a time; on the halt path the thread
    // that holds it may be stopped by a fault.
    if (!Platform::LockBoundedOnHaltPath(m_lock))
        return std::string();
    std::lock_guard<std::recursive_timed_mutex> lock(m_lock, std::adopt_lock);
    int i = Find(id);
    return (i < 0) ? std::string() : m_entries[i].second;
}

std::string ThreadNames::ThreadTextNoWait(void* id) const
{
    const std::string text = Platform::ThreadIdToString(id);
    if (!Platform::TryLockForHaltPath(m_lock))
        return text;
    std::lock_guard<std::recursive_timed_mutex> lock(m_lock, std::adopt_lock);
    const int i = Find(id);
    return (i < 0) ? text : m_entries[i].second + " (" + text + ")";
}

void ThreadNames::Unregister(void* id)
{
    {
        std::lock_guard<std::recursive_timed_mutex> lock(m_lock);
        int i = Find(id);
        if (i >= 0)
        {
            m_entries.erase(m_entries.begin() + i);
            return;
        }
    }
    ESS_HALT("No thread ID " + Platform::ThreadIdToString(id));
}

} // namespace Utils

namespace
{
// The registry exists before any thread is started; whoever runs the deferred initialisers is "main".
Utils::DelayInitRegistrar g_threadNamesInit([] { Utils::ThreadNames::InstancePtr(); }, -20);
} // namespace
