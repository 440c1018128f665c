#include "YrLogV2/Tag.h"

#include <mutex>
#include <set>

namespace YrLogV2
{

namespace
{

// Tag names made at run time; a tag is a plain value, so its text must never go away.
// Deliberately never freed: tags may be used by static destructors and other threads at exit.
const char* InternName(const std::string& name)
{
    static std::mutex* pLock = new std::mutex;
    static std::set<std::string>* pNames = new std::set<std::string>;
    std::lock_guard<std::mutex> lock(*pLock);
    return pNames->insert(name).first->c_str();
}

} // namespace

Tag::Tag(int level, const std::string& name) : m_level(level), m_name(InternName(name)) {}

} // namespace YrLogV2
