#include "VdiCommon/PluginBridge/BridgeLauncher.h"
#include <boost/filesystem/operations.hpp>
#include "Platform/ProcExec.h"
#include "Platform/SysInfo.h"
#include "SarvikAppSetup/AppSetup.h"
#include "Utils/ExeName.h"
#include "Utils/FileSystem.h"
#include "Utils/StringUtils.h"

namespace VdiCommon
{
namespace PluginBridge
{

namespace fs = boost::filesystem;

boost::filesystem::path MediaExeDir()
{
    const fs::path exe(Utils::ExeName::Instance().GetExeName());
    return fs::absolute(exe.parent_path(), fs::current_path());
}

boost::filesystem::path MediaExePath()
{
    const bool windows = Platform::GetOsVersion().OsKind() == Platform::OsVersionReader::OsKindWindows;
    return MediaExeDir() / (windows ? "../MediaBridge.exe" : "MediaBridge");
}

std::vector<std::wstring> MediaExeArgs(const QString& address)
{
    const std::string mode = SarvikAppSetup::AppSetupInstance().GetParams().GetVdiMode().ToString();
    return {Utils::StdStringToWString(mode), std::to_wstring(Platform::CurrentProcessId()),
            address.toStdWString()};
}

BridgeLauncher::BridgeLauncher(YrLogV2::Log& log, const QString& address)
    : m_address(address), m_log(log, "Exec_prcLouncher", 1)
{
    LaunchMediaExe();
}

void BridgeLauncher::LaunchMediaExe()
{
    const fs::path dir = MediaExeDir();
    const fs::path exe = MediaExePath();
    if (!Utils::PathExists(exe))
    {
        m_log.Add(YrLogV2::Error, "LaunchMediaExe: cannot find MediaExe file by path '{}'", exe.string());
        iCore::CurrentMsgThread().RequestExit();
        return;
    }

    const std::vector<std::wstring> args = MediaExeArgs(m_address);
    std::wstring joined;
    for (const std::wstring& a : args)
        joined += (joined.empty() ? L"" : L" ") + a;
    m_log.Add(YrLogV2::Info, L"LaunchMediaExe: launching MediaExe '{} {}'", exe.wstring(), joined);

    // Detached, through our own launcher: the process outlives this object and the plug-in and is
    // reaped by the system, and it gets none of the host's descriptors (the listener among them),
    // so it sees the end of its connection when the plug-in goes.
    const Platform::StartDetachedResult r = Platform::StartDetachedProcess(exe.wstring(), args, dir.wstring());
    if (r.error.empty())
    {
        m_pid = r.processId;
        m_log.Add(YrLogV2::Info, "LaunchMediaExe: success");
        return;
    }
    m_log.Add(YrLogV2::Error, L"LaunchMediaExe: cannot launch MediaExe: {}", r.error);
    iCore::CurrentMsgThread().RequestExit();
}

std::unique_ptr<Utils::IVirtualDestroy> LaunchMediaBridge(YrLogV2::Log& log, const std::string& portText)
{
    const int port = std::stoi(portText, nullptr, 10);
    const QString address = QString("%1:%2").arg("127.0.0.1").arg(port);
    return std::make_unique<BridgeLauncher>(log, address);
}

} // namespace PluginBridge
} // namespace VdiCommon
