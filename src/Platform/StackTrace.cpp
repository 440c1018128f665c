#include "Platform/StackTrace.h"

#include <execinfo.h>
#include <cstdlib>

namespace Platform
{

std::string CaptureStackTrace()
{
    void* frames[64];
    int n = backtrace(frames, 64);
    char** names = backtrace_symbols(frames, n);
    std::string res;
    for (int i = 1; i < n; ++i) // frame 0 is this function
    {
        res += names ? names[i] : "?";
        res += '\n';
    }
    std::free(names);
    return res;
}

} // namespace Platform
