#pragma once
#include <memory>
#include <string>
#include <boost/function.hpp>
#include "MediaBridgeControl/IMbcTransp.h"
#include "Utils/IBasicInterface.h"

namespace iCore
{
class MsgThread;
}

namespace YrLogV2
{
class Log;
}

namespace VdiCommon
{
namespace PluginBridge
{

// What the server factory of the profile gives: the TcpServer side and its port as decimal text.
struct CreateServerResult
{
    std::unique_ptr<MediaBridgeControl::IMbcTransp> m_transp;
    std::string m_port;
};

// Restarts of the media-bridge side allowed before the budget is restored, and the delay after
// the first restart taken from a full budget at which it is restored.
const int c_restartLimit = 3;
const int c_restoreRestartLimitMs = 300000;

// How long a launched media-bridge process has to connect to its TCP server. A process that
// never connects (it failed to start, or died before connecting) counts as a lost media-bridge
// side, so the relay does not wait for it for ever.
const int c_mediaBridgeConnectTimeoutMs = 30000;

// How the bridge makes its parts (copied into the bridge).
struct PluginBridgeProf
{
    typedef boost::function<CreateServerResult(YrLogV2::Log& log,
                                               MediaBridgeControl::IMbcTranspEvents& events)>
        CreateServerFn;
    typedef boost::function<std::unique_ptr<Utils::IVirtualDestroy>(YrLogV2::Log& log,
                                                                    const std::string& port)>
        LaunchClientFn;
    typedef boost::function<std::unique_ptr<MediaBridgeControl::IMbcTransp>(
        iCore::MsgThread& thread, YrLogV2::Log& log, MediaBridgeControl::IMbcTranspEvents& events)>
        CreateClientFn;

    // The TcpServer side, to which the media-bridge process connects.
    CreateServerFn m_createServer;
    // Starts the media-bridge process for a port; the object returned stands for the launch.
    LaunchClientFn m_launchClient;
    // The TcpClient side: the session over the virtual channel (the plug-in's is
    // VMware::Client::CreateMbcTransp). Made once, when the bridge is made.
    CreateClientFn m_createClient;

    // Delay after the first restart taken from a full budget at which the budget is restored.
    int m_restoreRestartLimitMs = c_restoreRestartLimitMs;
    // How long a launched media-bridge process has to connect to its TCP server.
    int m_connectTimeoutMs = c_mediaBridgeConnectTimeoutMs;

    // "m_createServer && m_launchClient", then "m_createClient" and positive delays.
    void AssertValid() const;
};

// Bytes the bridge keeps for the media-bridge side while its TCP server waits for the launched
// process to connect; what comes beyond it in that time is dropped with a warning. As much as the
// media-bridge connection's send queue takes (YrNet::c_tcpSendQueueLimit): a far end that keeps
// several MiB unanswered must not lose data only because the process connected late.
const uint64_t c_pendingToServerLimit = 16 * 1024 * 1024;

// Flow control from the channel back to the media bridge: what was read from the media bridge
// and not yet completed by the channel, at which its reading stops, and at or below which it
// resumes. Each chunk read counts its bytes plus one write's worth: a chunk of n bytes becomes
// one session frame (n + 32 bytes) in at most (n + 32) / 1600 + 1 writes, so the count bounds the
// writes whatever the chunk sizes. The channel refuses writes beyond 1000 outstanding ones; the
// high mark is 512 writes' worth, so that refusal stays a last guard normal flow never reaches.
const uint64_t c_channelWriteSize = 1600;
const uint64_t c_mediaBridgeChunkCost = c_channelWriteSize;
const uint64_t c_mediaBridgeRecvHigh = 512 * c_channelWriteSize;
const uint64_t c_mediaBridgeRecvLow = 256 * c_channelWriteSize;

// What a launch function may return besides the bare object: the process it started, so that the
// media-bridge side lets in only that process.
class ILaunchedProcess : public Utils::IBasicInterface
{
public:
    // 0 when the launch did not tell.
    virtual int64_t Pid() const = 0;
};

// The profile's server factory of the plug-in: a media-bridge TCP server transport on a port
// that the system chooses ("-1" when none was bound).
CreateServerResult CreateTcpServerSide(YrLogV2::Log& log, MediaBridgeControl::IMbcTranspEvents& events);

// Runs a bridge made from the profile on a message thread "Bridge"; the returned object owns the
// thread, and destroying it ends the thread and the bridge.
std::unique_ptr<Utils::IVirtualDestroy> ExecPluginBridge(const PluginBridgeProf& prof);

// The relay: logs "Run TCP socket transport" and runs the bridge of the profile; the returned
// list keeps it until it is destroyed.
std::unique_ptr<Utils::IVirtualDestroy> StartPluginBridge(const PluginBridgeProf& prof);

// The relay of the plug-in: StartPluginBridge with CreateTcpServerSide, LaunchMediaBridge and
// the session over the plug-in's virtual channel. It is defined with the channel driver
// (VMware/Client), which it needs, and registered there as the entry "StartVdiMediaBridge".
std::unique_ptr<Utils::IVirtualDestroy> StartVdiMediaBridge();

} // namespace PluginBridge
} // namespace VdiCommon
