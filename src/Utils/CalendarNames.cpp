#include "Utils/CalendarNames.h"

namespace Utils
{

const std::vector<MonthInfo> g_months = {
    {31, 31, "January", "Jan"}, {28, 29, "February", "Feb"}, {31, 31, "March", "Mar"},
    {30, 30, "April", "Apr"},   {31, 31, "May", "May"},      {30, 30, "June", "Jun"},
    {31, 31, "July", "Jul"},    {31, 31, "August", "Aug"},   {30, 30, "September", "Sep"},
    {31, 31, "October", "Oct"}, {30, 30, "November", "Nov"}, {31, 31, "December", "Dec"},
};

const std::vector<std::string> g_dayPartMarkers = {"AM", "am", "PM", "pm", "AP", "ap"};

} // namespace Utils
