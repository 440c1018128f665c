#include "Platform/TypeName.h"

#include <cxxabi.h>
#include <cstdlib>
#include <memory>

namespace Platform
{

std::string RawTypeName(const std::type_info& ti)
{
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> p(abi::__cxa_demangle(ti.name(), nullptr, nullptr, &status), std::free);
    return (status == 0 && p) ? std::string(p.get()) : std::string(ti.name());
}

std::string PrettyTypeName(const char* rawName)
{
    std::string s(rawName ? rawName : "");
    std::string res;
    res.reserve(s.size());
    for (char c : s)
        if (c != ' ')
            res += c;
    return res;
}

} // namespace Platform
