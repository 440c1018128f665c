#include "VdiCommon/EntryStarters.h"

#include <map>
#include <mutex>

namespace VdiCommon
{

namespace
{

struct Registry
{
    std::mutex lock;
    std::map<std::string, EntryStarter> starters;
};

// Made on first use: registrations run from static initialisers in any order.
Registry& TheRegistry()
{
    static Registry s_registry;
    return s_registry;
}

} // namespace

EntryStarter SetEntryStarter(const std::string& entryName, const EntryStarter& starter)
{
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.lock);
    EntryStarter previous;
    auto it = r.starters.find(entryName);
    if (it != r.starters.end())
    {
        previous = it->second;
        r.starters.erase(it);
    }
    if (starter)
        r.starters.emplace(entryName, starter);
    return previous;
}

EntryStarter GetEntryStarter(const std::string& entryName)
{
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.lock);
    auto it = r.starters.find(entryName);
    return it != r.starters.end() ? it->second : EntryStarter();
}

} // namespace VdiCommon
