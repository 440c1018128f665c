#pragma once
#include <string>
#include <typeinfo>

namespace Platform
{

// The demangled form of a mangled symbol or type name; the text itself when it is not mangled,
// "" for null.
std::string DemangleName(const char* name);

// The run-time type name as the platform gives it, demangled ("ESS::Exception").
std::string RawTypeName(const std::type_info& ti);

// Readable type name for logs and exception texts. Takes the name as type information gives it
// (mangled) or already demangled: the std string types become "std::string"/"std::wstring";
// otherwise "class "/"struct "/"enum " and all blanks are removed
// ("std::vector<int,std::allocator<int>>").
std::string PrettyTypeName(const char* rawName);

} // namespace Platform
