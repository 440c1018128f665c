#pragma once
#include <vector>
#include <boost/function.hpp>
#include <boost/noncopyable.hpp>

namespace Utils
{

// Work that static initialisers may not do yet (it needs the log root, the thread names or the
// executable name) is registered here with a priority and run once by the start-up through DoInit,
// lowest priority first (thread names -20, log root -10, everything else 0).
class DelayInitHost : boost::noncopyable
{
public:
    // The process-wide host (created on first use). Separate hosts exist only in tests.
    static DelayInitHost& Instance();

    DelayInitHost();

    // Appends the function; an empty function is fatal. Entries registered after DoInit never run.
    void Register(const boost::function<void()>& f, int priority);

    // Runs every entry once in priority order and drops them; a second call is fatal. A throwing
    // entry leaves at once: nothing after it runs and every entry is kept for a later DoInit.
    void DoInit();

    bool InitDone() const { return m_initDone; }

private:
    struct Entry
    {
        boost::function<void()> fn;
        int priority;
    };

    bool m_initDone;
    std::vector<Entry> m_entries;
};

// A static object of this type registers a deferred function while the module loads.
class DelayInitRegistrar : boost::noncopyable
{
public:
    DelayInitRegistrar(const boost::function<void()>& f, int priority)
    {
        DelayInitHost::Instance().Register(f, priority);
    }
};

} // namespace Utils
