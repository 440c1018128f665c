#pragma once
#include <string>
#include <typeinfo>

namespace Platform
{

// The run-time type name as the platform gives it, demangled ("ESS::Exception").
std::string RawTypeName(const std::type_info& ti);

// Readable class name: std string types shortened, "class"/"struct"/"enum" and blanks removed.
std::string PrettyTypeName(const char* rawName);

} // namespace Platform
