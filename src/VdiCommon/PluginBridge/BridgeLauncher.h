#pragma once
#include <memory>
#include <string>
#include <vector>
#include <QString>
#include <boost/filesystem/path.hpp>
#include "Utils/IBasicInterface.h"
#include "VdiCommon/PluginBridge/PluginBridge.h"
#include "YrLogV2/Log.h"
#include "iCore/MsgObject.h"

namespace VdiCommon
{
namespace PluginBridge
{

// Starts the media-bridge process, detached, and tells it where to connect: the loopback address
// and the port of the TCP server that the bridge has just opened. The whole work is done by the
// constructor; the object only exists so that its owner can destroy it, which does not stop the
// process. A missing executable or a failed start ends the current message thread (the relay
// stops).
class BridgeLauncher : public iCore::MsgObject, public Utils::IVirtualDestroy, public ILaunchedProcess
{
public:
    BridgeLauncher(YrLogV2::Log& log, const QString& address);

    const QString& Address() const { return m_address; }
    int64_t Pid() const override { return m_pid; }

private:
    void LaunchMediaExe();

    QString m_address;
    YrLogV2::Log m_log;
    int64_t m_pid = 0; // of the started process; 0 when none was started
};

// The launch function of the bridge's profile: port text (decimal, std::stoi rules: it throws
// std::invalid_argument or std::out_of_range) to "127.0.0.1:<port>" and a new launcher.
std::unique_ptr<Utils::IVirtualDestroy> LaunchMediaBridge(YrLogV2::Log& log, const std::string& portText);

// The folder the application runs from (the module's folder, absolute): the working directory of
// the media-bridge process.
boost::filesystem::path MediaExeDir();

// The media-bridge executable: "../MediaBridge.exe" relative to that folder on Windows,
// "MediaBridge" in it elsewhere (the relative part is joined as it is, not folded).
boost::filesystem::path MediaExePath();

// The process's arguments: the VDI mode's name, this process's id, the address.
std::vector<std::wstring> MediaExeArgs(const QString& address);

} // namespace PluginBridge
} // namespace VdiCommon
