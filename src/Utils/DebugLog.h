#pragma once
#include <string>
#include <boost/function.hpp>

namespace Utils
{

// The process's last-resort diagnostic text channel. Until the logging library installs its
// redirect, texts go to "debug_log_<executable stem>.txt" in the temporary folder; the file is
// opened on the first write and, when that fails, the channel stays silent for good.
class DebugLogFile
{
public:
    // An empty function is fatal; a later call replaces the redirect.
    static void SetRedirect(const boost::function<void(const std::wstring&)>& fn);

    // The redirect gets the text alone; the file gets "<local time>: " first when addTime is set.
    // On the halt path (Platform/HaltPathLock.h) the channel's lock is only tried, the time is
    // taken without the time-zone code, and a file not yet open is not opened: the text is lost
    // rather than the halt kept waiting.
    static void Write(const std::wstring& text, bool addTime = true);
};

} // namespace Utils
