#include "YrLogV2/Tracer.h"

#include <mutex>
#include <set>
#include <utility>
#include "Utils/StringUtils.h"

namespace YrLogV2
{

namespace
{

// True the first time a location asks; the set only grows, by one entry per call site.
bool FirstTime(const ESS::CppLocation& location)
{
    static std::mutex* pLock = new std::mutex;
    static std::set<std::pair<std::string, int>>* pSeen = new std::set<std::pair<std::string, int>>;
    std::lock_guard<std::mutex> lock(*pLock);
    // By text: one file's __FILE__ may be a different pointer in every unit that includes it.
    return pSeen->emplace(location.file ? location.file : "", location.line).second;
}

bool ShouldWrite(const ESS::CppLocation& location, bool once, const Log& log, const Tag& tag)
{
    log.AssertAlive();
    // Only a record that is actually written uses up the location's one time.
    if (!log.Active(tag))
        return false;
    return !once || FirstTime(location);
}

} // namespace

void Tracer::Trace(const ESS::CppLocation& location, bool once, const Log& log, const Tag& tag,
                   const std::string& text)
{
    if (ShouldWrite(location, once, log, tag))
        log.Put(text, tag);
}

void Tracer::Trace(const ESS::CppLocation& location, bool once, const Log& log, const Tag& tag,
                   const std::wstring& text)
{
    if (ShouldWrite(location, once, log, tag))
        log.Put(Utils::WStringToStdString(text), tag);
}

} // namespace YrLogV2
