#include "Platform/TypeName.h"

#include <cxxabi.h>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <boost/regex.hpp>

namespace Platform
{

namespace
{

bool IsNameOf(const char* rawName, const std::string& demangled, const std::type_info& ti)
{
    return std::strcmp(rawName, ti.name()) == 0 || demangled == DemangleName(ti.name());
}

} // namespace

std::string DemangleName(const char* name)
{
    if (name == nullptr)
        return std::string();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> p(abi::__cxa_demangle(name, nullptr, nullptr, &status), std::free);
    return (status == 0 && p) ? std::string(p.get()) : std::string(name);
}

std::string RawTypeName(const std::type_info& ti)
{
    return DemangleName(ti.name());
}

std::string PrettyTypeName(const char* rawName)
{
    if (rawName == nullptr)
    {
        return std::string();
    }

    std::string s = DemangleName(rawName);
    if (IsNameOf(rawName, s, typeid(std::string)))
    {
        return "std::string";
    }
    if (IsNameOf(rawName, s, typeid(std::wstring)))
    {
        return "std::wstring";
    }

    static const boost::regex c_keyword("\\b(class|enum|struct)\\b.");
    s = boost::regex_replace(s, c_keyword, "");

    static const std::string c_ptr64(" __ptr64");
    if (s.size() >= c_ptr64.size() && s.compare(s.size() - c_ptr64.size(), c_ptr64.size(), c_ptr64) == 0)
    {
        s.erase(s.size() - c_ptr64.size());
    }

    std::string res;
    res.reserve(s.size());
    for (char c : s)
    {
        if (c != ' ')
        {
            res += c;
        }
    }
    return res;
}

} // namespace Platform
