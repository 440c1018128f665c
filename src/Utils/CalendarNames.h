#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace Utils
{

struct MonthInfo
{
    uint32_t shortestDays;
    uint32_t longestDays;
    std::string fullName;  // "January"
    std::string shortName; // "Jan"
};

// The 12 months in calendar order. Built while the module loads: do not read it from another
// unit's static initialiser.
extern const std::vector<MonthInfo> g_months;

// "AM", "am", "PM", "pm", "AP", "ap".
extern const std::vector<std::string> g_dayPartMarkers;

} // namespace Utils
