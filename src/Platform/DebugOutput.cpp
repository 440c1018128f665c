#include "Platform/DebugOutput.h"
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include "Platform/SysInfo.h"

namespace Platform
{

namespace
{

bool DebuggerAttached()
{
    std::istringstream f(ReadSmallFile("/proc/self/status"));
    std::string line;
    while (std::getline(f, line))
    {
        if (line.compare(0, 10, "TracerPid:") == 0)
            return std::atoi(line.c_str() + 10) != 0;
    }
    return false;
}

void DefaultSink(const std::string& text)
{
    static const bool enabled = (std::getenv("YR_DEBUG_OUTPUT") != nullptr) || DebuggerAttached();
    if (enabled)
        std::fputs(text.c_str(), stderr);
}

std::mutex& SinkLock()
{
    static std::mutex* m = new std::mutex();
    return *m;
}

DebugOutputSink& Sink()
{
    static DebugOutputSink* s = new DebugOutputSink();
    return *s;
}

} // namespace

void DebugOutput(const std::string& text)
{
    DebugOutputSink sink;
    {
        std::lock_guard<std::mutex> lock(SinkLock());
        sink = Sink();
    }
    if (sink)
        sink(text);
    else
        DefaultSink(text);
}

DebugOutputSink SetDebugOutputSink(const DebugOutputSink& sink)
{
    std::lock_guard<std::mutex> lock(SinkLock());
    DebugOutputSink prev = Sink();
    Sink() = sink;
    return prev;
}

} // namespace Platform
