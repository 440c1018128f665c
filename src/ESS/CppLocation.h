#pragma once
#include <cstdint>
#include <string>

namespace ESS
{

// Where an exception or assertion was raised.
struct CppLocation
{
    const char* file = nullptr;     // as the compiler gives it; null: no location known
    const char* function = nullptr; // full signature
    int32_t line = 0;

    CppLocation() = default;
    CppLocation(const char* file, const char* function, int32_t line)
        : file(file), function(function), line(line)
    {
    }

    // file ":" line " in " function, with file cut to the path below src/ without extension;
    // "" when no file is known.
    std::string ToString() const;
};

// The path below the source root without extension: ".../src/Utils/ThreadContext.cpp" ->
// "Utils/ThreadContext".
std::string SourceFileText(const char* file);

} // namespace ESS

#define ESS_LOCATION ::ESS::CppLocation(__FILE__, __PRETTY_FUNCTION__, __LINE__)
