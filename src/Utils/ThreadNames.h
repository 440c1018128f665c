#pragma once
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace Utils
{

// Process-wide registry from thread id (Platform::Thread::GetCurrentThreadID) to thread name.
// Created on first use, which registers the creating thread as "main"; never destroyed.
class ThreadNames
{
public:
    static ThreadNames* InstancePtr();
    static ThreadNames& Instance();

    // A second registration of one id is fatal.
    void Register(void* id, const std::string& name);
    // "" when the id is not registered, or on the halt path when the registry stays locked
    // past a short wait.
    std::string GetName(void* id) const;
    // For the halt path: the thread as ESS::CurrentThreadText writes it, "name (id)", or the id
    // alone when it has no name or the registry stays locked past a short wait (the thread that
    // holds it may be stopped by a fault).
    std::string ThreadTextNoWait(void* id) const;
    // Removing an id that is not registered is fatal.
    void Unregister(void* id);

private:
    ThreadNames();
    ~ThreadNames() = delete;

    int Find(void* id) const;

    mutable std::recursive_timed_mutex m_lock;
    std::vector<std::pair<void*, std::string>> m_entries;
};

} // namespace Utils
