#include "VdiCommon/PluginBridge/CrashJsonTimer.h"
#include <boost/bind/bind.hpp>
#include "AppUtils/AppConfig.h"
#include "Utils/JsonNode.h"
#include "YrLogV2/Log.h"

namespace VdiCommon
{
namespace PluginBridge
{

namespace
{

void CrashByCrasher(const std::string& threadName, const CrashReporterTestUtils::CrashType& type)
{
    CrashReporterTestUtils::Crasher crasher;
    crasher.Crash(threadName, type);
}

std::wstring ConfiguredCommand()
{
    // Without a configuration (a bridge outside the plug-in's start-up) there is no command.
    if (!AppUtils::AppConfigInstanceExists())
        return std::wstring();
    return AppUtils::AppConfigInstance().m_doCrashJSON.Value();
}

} // namespace

CrashJsonTimer::CrashJsonTimer() : m_crash(&CrashByCrasher)
{
    Init(ConfiguredCommand());
}

CrashJsonTimer::CrashJsonTimer(const std::wstring& commandText, const CrashFn& crash)
    : m_crash(crash ? crash : CrashFn(&CrashByCrasher))
{
    Init(commandText);
}

void CrashJsonTimer::Init(const std::wstring& text)
{
    if (text.empty() || !Utils::JsonNode::IsValidJson(text))
        return;
    bool started = false;
    try
    {
        started = Setup(Utils::JsonNode(text));
    }
    catch (const std::exception&)
    {
        // A value of the wrong JSON type: an invalid command like any other, ignored silently.
        started = false;
    }
    if (started)
        YrLogV2::LogRoot::RootLog().Add(YrLogV2::Warning, "DoCrashJSON setup. Going to crash in time");
}

bool CrashJsonTimer::Setup(const Utils::JsonNode& command)
{
    const Utils::JsonNode::Ptr time = command.FindNode(L"time_ms");
    if (!time)
        return false;
    const int64_t timeMs = time->AsInt();
    // A delay the timer cannot arm would never fire: not a command that "is going to crash".
    if (timeMs < 1 || timeMs > iCore::MsgTimerEx::c_maxArmMs)
        return false;

    const Utils::JsonNode::Ptr typeNode = command.FindNode(L"crash_type");
    if (!typeNode)
        return false;
    const std::wstring typeText = typeNode->AsString();
    CrashReporterTestUtils::CrashType type(CrashReporterTestUtils::CrashType::Assert);
    for (wchar_t c : typeText)
        if (c < 0x20 || c > 0x7E)
            return false; // every name of the table is plain ASCII
    if (!type.FromString(std::string(typeText.begin(), typeText.end()), false))
        return false;

    std::string threadName;
    if (const Utils::JsonNode::Ptr nameNode = command.FindNode(L"thread_name"))
    {
        // Each character cut to its low byte.
        for (wchar_t c : nameNode->AsString())
            threadName += static_cast<char>(static_cast<unsigned char>(c & 0xFF));
    }

    m_timer.Start(boost::bind(&CrashJsonTimer::Fire, this, threadName, type), static_cast<int>(timeMs),
                  false);
    return true;
}

void CrashJsonTimer::Fire(const std::string& threadName, const CrashReporterTestUtils::CrashType& type)
{
    m_crash(threadName, type);
}

} // namespace PluginBridge
} // namespace VdiCommon
