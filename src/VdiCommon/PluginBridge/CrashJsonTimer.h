#pragma once
#include <string>
#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include "CrashReporterTestUtils/Crasher.h"
#include "iCore/MsgTimerEx.h"

namespace Utils
{
class JsonNode;
}

namespace VdiCommon
{
namespace PluginBridge
{

// Crash on command: when the option "DoCrashJSON" holds a command such as
//     {"time_ms": 5000, "crash_type": "AV", "thread_name": ""}
// a one-shot timer crashes the named thread in that way after that delay (an empty or absent
// name: the timer's own thread), so that crash reporting can be checked in the deployed plug-in.
// An empty option, invalid JSON or an invalid command arm nothing, silently.
class CrashJsonTimer : boost::noncopyable
{
public:
    typedef boost::function<void(const std::string& threadName,
                                 const CrashReporterTestUtils::CrashType& type)>
        CrashFn;

    // Reads the option from the configuration (nothing is armed without one) and crashes
    // through CrashReporterTestUtils::Crasher. On the current message thread.
    CrashJsonTimer();
    // The command text given; crash empty: through the Crasher.
    CrashJsonTimer(const std::wstring& commandText, const CrashFn& crash);

    // Starts the timer for a valid command; false (nothing started) for an invalid one.
    bool Setup(const Utils::JsonNode& command);

    bool IsArmed() const { return m_timer.IsActive(); }

private:
    void Init(const std::wstring& text);
    void Fire(const std::string& threadName, const CrashReporterTestUtils::CrashType& type);

    CrashFn m_crash;
    iCore::MsgTimerEx m_timer;
};

} // namespace PluginBridge
} // namespace VdiCommon
