#include "Utils/DelayInit.h"

#include <algorithm>
#include "ESS/Assert.h"

namespace Utils
{

DelayInitHost& DelayInitHost::Instance()
{
    static DelayInitHost host;
    return host;
}

DelayInitHost::DelayInitHost() : m_initDone(false) {}

void DelayInitHost::Register(const boost::function<void()>& f, int priority)
{
    ESS_ASSERT(f);
    m_entries.push_back(Entry{f, priority});
}

void DelayInitHost::DoInit()
{
    ESS_ASSERT(!m_initDone);

    // The pass runs on its own list, so that a function registering another entry while it runs
    // does not disturb the iteration; such an entry is held and never run.
    std::vector<Entry> pass;
    pass.swap(m_entries);
    std::stable_sort(pass.begin(), pass.end(),
                     [](const Entry& a, const Entry& b) { return a.priority < b.priority; });

    try
    {
        for (const Entry& e : pass)
        {
            e.fn();
        }
    }
    catch (...)
    {
        // Keep everything (sorted) for a later DoInit, followed by whatever arrived meanwhile.
        pass.insert(pass.end(), m_entries.begin(), m_entries.end());
        m_entries.swap(pass);
        throw;
    }

    m_initDone = true;
}

} // namespace Utils
