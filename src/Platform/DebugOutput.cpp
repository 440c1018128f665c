#include "Platform/DebugOutput.h"
#include <cstdlib>
#include <mutex>
#include <sstream>
#include "Platform/Halt.h"
#include "Platform/HaltPathLock.h"
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
        WriteToStandardError(text); // a fault's stack walk writes here
}

std::timed_mutex& SinkLock()
{
    static std::timed_mutex* m = new std::timed_mutex();
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
    // Bounded: the faulting thread may be the one that holds the lock. Without it the text goes
    // to the default destination.
    if (TryLockForHaltPath(SinkLock()))
    {
        std::lock_guard<std::timed_mutex> lock(SinkLock(), std::adopt_lock);
        sink = Sink();
    }
    if (sink)
        sink(text);
    else
        DefaultSink(text);
}

DebugOutputSink SetDebugOutputSink(const DebugOutputSink& sink)
{
    std::lock_guard<std::timed_mutex> lock(SinkLock());
    DebugOutputSink prev = Sink();
    Sink() = sink;
    return prev;
}

} // namespace Platform
