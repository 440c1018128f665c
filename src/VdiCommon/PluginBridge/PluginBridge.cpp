#include "VdiCommon/PluginBridge/PluginBridge.h"
#include <deque>
#include <string>
#include <vector>
#include <QThread>
#include <boost/bind/bind.hpp>
#include "ESS/Assert.h"
#include "MediaBridgeControl/IMbcFlow.h"
#include "MediaBridgeControl/MbcTcpTransp.h"
#include "Utils/VirtDestroyList.h"
#include "VdiCommon/PluginBridge/BridgeLauncher.h"
#include "VdiCommon/PluginBridge/CrashJsonTimer.h"
#include "YrLogV2/Log.h"
#include "YrLogV2/Tracer.h"
#include "YrNet/HostAddr.h"
#include "YrNet/NetThread.h"
#include "iCore/MsgObject.h"
#include "iCore/ThreadRunnerFunc.h"

namespace VdiCommon
{
namespace PluginBridge
{

using MediaBridgeControl::IMbcTransp;
using MediaBridgeControl::IMbcTranspEvents;
using MediaBridgeControl::TranspState;

void PluginBridgeProf::AssertValid() const
{
    ESS_ASSERT(m_createServer && m_launchClient);
    ESS_ASSERT(m_createClient);
    ESS_ASSERT(m_restoreRestartLimitMs > 0 && m_connectTimeoutMs > 0);
}

CreateServerResult CreateTcpServerSide(YrLogV2::Log& log, IMbcTranspEvents& events)
{
    YrNet::HostAddr bound; // port -1 until the server has bound one
    CreateServerResult res;
    res.m_transp = MediaBridgeControl::CreateSrvTcpTransp(log, 0, events, &bound);
    res.m_port = std::to_string(bound.Port());
    return res;
}

namespace
{

// Which side of the bridge a transport is.
enum TrType
{
    TcpServer = 0, // the media-bridge process, over local TCP
    TcpClient = 1, // the session over the virtual channel
};

const char* TrTypeName(TrType t)
{
    return t == TcpServer ? "TcpServer" : "TcpClient";
}

// The bridge's listener interface for both sides, with the side as a tag.
template <class TTag>
class IMbcTranspEventsTagged : public Utils::IVirtualDestroy
{
public:
    virtual void OnStateChanged(const TTag& tag) = 0;
    virtual void OnRecvData(const TTag& tag, const Utils::ByteArray& data) = 0;
    virtual void OnRecvDataBatch(const TTag& tag, const std::vector<Utils::ByteArray>& chunks) = 0;
};

// One side's listener: adds the side's tag and passes the call on.
template <class TTag>
class MbcTranspEventsDisp : public IMbcTranspEvents
{
public:
    MbcTranspEventsDisp(const TTag& tag, IMbcTranspEventsTagged<TTag>& target) : m_tag(tag), m_target(target)
    {
    }

    void OnStateChanged() override { m_target.OnStateChanged(m_tag); }
    void OnRecvData(const Utils::ByteArray& data) override { m_target.OnRecvData(m_tag, data); }
    void OnRecvDataBatch(const std::vector<Utils::ByteArray>& chunks) override
    {
        m_target.OnRecvDataBatch(m_tag, chunks);
    }

private:
    const TTag m_tag;
    IMbcTranspEventsTagged<TTag>& m_target;
};

class Bridge : public iCore::MsgObject, public IMbcTranspEventsTagged<TrType>
{
public:
    explicit Bridge(const PluginBridgeProf& prof)
        : iCore::MsgObject(iCore::MsgObject::OwnedByThread),
          m_log(YrLogV2::LogRoot::RootLog(), "Bridge_to_prc"), m_prof(prof), m_restartLimit(c_restartLimit),
          m_tagPacket(16, "packet")
    {
        m_prof.AssertValid();
        m_log.Add(YrLogV2::Info, "StartClient");
        m_clientDisp = std::make_unique<MbcTranspEventsDisp<TrType>>(TcpClient, *this);
        m_transpClient = m_prof.m_createClient(getMsgThread(), m_log, *m_clientDisp);
        ESS_ASSERT(m_transpClient);
    }

    ~Bridge() override
    {
        DestroyServer();
        // The bridge is the network thread's only user in the plug-in; its threads must end
        // before the module can go. Recreation stays possible for a later bridge.
        YrNet::NetThread::DestroyInstance(true);
        m_crashTimer.reset();
        m_launcher.reset();
        m_transpClient.reset();
        m_clientDisp.reset();
        m_serverDisp.reset();
    }

private:
    // IMbcTranspEventsTagged

    void OnRecvData(const TrType& tag, const Utils::ByteArray& data) override
    {
        if (m_log.Active(m_tagPacket))
            m_log.Add(m_tagPacket, "OnRecvData {} [{}] {}", TrTypeName(tag), data.Size(),
                      data.ToString(0, 0));

        if (tag == TcpClient)
        {
            if (!m_transpServer)
            {
                YrLogV2::Tracer::Trace(ESS_LOCATION, true, m_log, YrLogV2::LogTraceOnce,
                                       std::string("There is no TcpServer side"));
                return;
            }
            if (!m_serverConnected)
            {
                HoldForServer(data);
                return;
            }
            m_transpServer->SendData(data);
            return;
        }

        if (!m_transpClient)
        {
            YrLogV2::Tracer::Trace(ESS_LOCATION, true, m_log, YrLogV2::LogTraceOnce,
                                   std::string("There is no Client side"));
            AckServer(m_serverGen, data.Size());
            return;
        }
        // The bytes count against the media bridge's reading until the channel is done with them.
        if (auto* tracked = dynamic_cast<MediaBridgeControl::IMbcSendDone*>(m_transpClient.get()))
        {
            tracked->SendDataNotify(data, boost::bind(&Bridge::AckServer, this, m_serverGen, data.Size()));
            return;
        }
        m_transpClient->SendData(data);
        AckServer(m_serverGen, data.Size());
    }

    // Chunks of the media bridge that were waiting together leave in shared channel writes.
    void OnRecvDataBatch(const TrType& tag, const std::vector<Utils::ByteArray>& chunks) override
    {
        auto* tracked = dynamic_cast<MediaBridgeControl::IMbcSendDone*>(m_transpClient.get());
        if (tag == TcpClient || !tracked)
        {
            for (const Utils::ByteArray& c : chunks)
                OnRecvData(tag, c);
            return;
        }
        std::vector<uint64_t> sizes;
        sizes.reserve(chunks.size());
        for (const Utils::ByteArray& c : chunks)
            sizes.push_back(c.Size());
        if (m_log.Active(m_tagPacket))
            m_log.Add(m_tagPacket, "OnRecvDataBatch {} chunks", chunks.size());
        tracked->SendDataBatchNotify(chunks, boost::bind(&Bridge::AckServerChunks, this, m_serverGen, sizes));
    }

    void OnStateChanged(const TrType& tag) override
    {
        if (tag == TcpClient)
            OnClientStateChanged();
        else
            OnServerStateChanged();
    }

    // The sides

    void OnClientStateChanged()
    {
        if (!m_transpClient)
            return; // still being made
        const TranspState st = m_transpClient->State();
        m_log.Add(YrLogV2::Info, "OnStateChanged, TcpClient: {}", st.ToString());
        if (st.Is(TranspState::Connected))
            StartRemoteModule();
        else
            ShutdownRemoteModule();
    }

    void OnServerStateChanged()
    {
        if (!m_transpServer)
            return; // a server that is already gone
        const TranspState st = m_transpServer->State();
        m_log.Add(YrLogV2::Info, "OnStateChanged, TcpServer: {} RestartLimit: {}", st.ToString(),
                  m_restartLimit);
        if (st.Is(TranspState::Connected))
        {
            OnServerConnected();
            return;
        }
        // The first report of a lost connection or a failed server ends this server; later
        // reports of the same server must not spend the budget again.
        if (m_serverLost)
            return;
        OnServerLost();
    }

    void OnServerConnected()
    {
        if (m_serverConnected)
            return;
        m_serverConnected = true;
        m_connectTimer.Stop();
        if (!m_pendingToServer.empty())
            m_log.Add(YrLogV2::Info, "Media bridge connected, passing on {} bytes held for it",
                      m_pendingBytes);
        while (!m_pendingToServer.empty() && m_transpServer)
        {
            const Utils::ByteArray data = std::move(m_pendingToServer.front());
            m_pendingToServer.pop_front();
            m_transpServer->SendData(data);
        }
        ClearPending();
    }

    void OnServerLost()
    {
        m_serverLost = true;
        ++m_serverGen;
        const bool restart = m_restartLimit > 0;
        m_log.Add(YrLogV2::Info, "On Disc from client (MediaBrige) side. Restart: {}", restart);
        if (restart)
            --m_restartLimit;
        PutMsg(&Bridge::RestartRemoteModule, restart);
        if (m_restartLimit == c_restartLimit - 1)
            PutMsg(&Bridge::ScheduleRestoreRestartLimit);
    }

    void OnConnectTimeout()
    {
        if (!m_transpServer || m_serverConnected || m_serverLost)
            return;
        m_log.Add(YrLogV2::Warning, "Media bridge did not connect in {} ms", m_prof.m_connectTimeoutMs);
        OnServerLost();
    }

    void RestartRemoteModule(bool restart)
    {
        ShutdownRemoteModule();
        if (m_transpClient)
            m_transpClient->Disconnect(restart);
    }

    void ScheduleRestoreRestartLimit()
    {
        RunDelayed(boost::bind(&Bridge::RestoreRestartLimit, this), m_prof.m_restoreRestartLimitMs);
    }

    void RestoreRestartLimit()
    {
        m_log.Add(YrLogV2::Info, "Restore restart limit by timeout: {}->{}", m_restartLimit, c_restartLimit);
        m_restartLimit = c_restartLimit;
    }

    void StartRemoteModule()
    {
        m_log.Add(YrLogV2::Info, "StartRemoteModule");
        // The old server refers to the old dispatcher: it goes first.
        DestroyServer();
        m_serverDisp = std::make_unique<MbcTranspEventsDisp<TrType>>(TcpServer, *this);
        CreateServerResult res = m_prof.m_createServer(m_log, *m_serverDisp);
        m_transpServer = std::move(res.m_transp);
        ESS_ASSERT(m_transpServer);
        m_serverConnected = false;
        m_serverLost = false;
        ++m_serverGen;
        if (auto* window = dynamic_cast<MediaBridgeControl::IMbcRecvWindow*>(m_transpServer.get()))
            window->SetRecvWindow(c_mediaBridgeRecvHigh, c_mediaBridgeRecvLow, c_mediaBridgeChunkCost);
        m_connectTimer.Start(boost::bind(&Bridge::OnConnectTimeout, this), m_prof.m_connectTimeoutMs, false);
        m_launcher.reset(); // a launcher of an earlier start goes before the next launch
        m_launcher = m_prof.m_launchClient(m_log, res.m_port);
        ExpectLaunchedPeer();
    }

    // Told on this thread before the server's accepts are handed to it, so the launched process
    // is known before its connection is looked at.
    void ExpectLaunchedPeer()
    {
        auto* check = dynamic_cast<MediaBridgeControl::IMbcPeerCheck*>(m_transpServer.get());
        auto* launched = dynamic_cast<ILaunchedProcess*>(m_launcher.get());
        if (check && launched)
            check->ExpectPeerPid(launched->Pid());
    }

    // Bytes of the media bridge the channel is done with. Those of an earlier server (or of a
    // connection that was lost) belong to no one now.
    void AckServer(uint64_t serverGen, uint64_t bytes)
    {
        if (serverGen != m_serverGen || !m_transpServer)
            return;
        if (auto* window = dynamic_cast<MediaBridgeControl::IMbcRecvWindow*>(m_transpServer.get()))
            window->AckRecv(bytes);
    }

    void AckServerChunks(uint64_t serverGen, const std::vector<uint64_t>& chunkSizes)
    {
        for (uint64_t bytes : chunkSizes)
            AckServer(serverGen, bytes);
    }

    void ShutdownRemoteModule()
    {
        m_log.Add(YrLogV2::Info, "ShutdownRemoteModule");
        std::unique_ptr<Utils::IVirtualDestroy> launcher(std::move(m_launcher));
        launcher.reset();
        DestroyServer();
    }

    void DestroyServer()
    {
        m_connectTimer.Stop();
        std::unique_ptr<IMbcTransp> server(std::move(m_transpServer));
        server.reset();
        m_serverConnected = false;
        m_serverLost = false;
        if (m_pendingBytes != 0)
            m_log.Add(YrLogV2::Warning, "{} bytes for the media bridge dropped: it never connected",
                      m_pendingBytes);
        ClearPending();
    }

    // Data from the channel while the launched process has not connected yet: kept for it, up to
    // a bound, instead of being dropped by a server without a connection.
    void HoldForServer(const Utils::ByteArray& data)
    {
        if (m_pendingBytes + data.Size() > c_pendingToServerLimit)
        {
            YrLogV2::Tracer::Trace(ESS_LOCATION, true, m_log, YrLogV2::Warning,
                                   std::string("Data for a media bridge that is not connected yet dropped"));
            return;
        }
        m_pendingToServer.push_back(data);
        m_pendingBytes += data.Size();
    }

    void ClearPending()
    {
        m_pendingToServer.clear();
        m_pendingBytes = 0;
    }

    YrLogV2::Log m_log;
    PluginBridgeProf m_prof;
    std::unique_ptr<IMbcTransp> m_transpServer;
    std::unique_ptr<IMbcTransp> m_transpClient;
    std::unique_ptr<MbcTranspEventsDisp<TrType>> m_serverDisp;
    std::unique_ptr<MbcTranspEventsDisp<TrType>> m_clientDisp;
    std::unique_ptr<Utils::IVirtualDestroy> m_launcher;
    int32_t m_restartLimit;
    std::unique_ptr<CrashJsonTimer> m_crashTimer = std::make_unique<CrashJsonTimer>();
    YrLogV2::UserTag m_tagPacket;

    iCore::MsgTimerEx m_connectTimer;
    bool m_serverConnected = false; // the launched process is connected to the current server
    bool m_serverLost = false;      // the current server's loss was handled
    uint64_t m_serverGen = 0;       // changes with every server and every lost connection
    std::deque<Utils::ByteArray> m_pendingToServer;
    uint64_t m_pendingBytes = 0;
};

} // namespace

std::unique_ptr<Utils::IVirtualDestroy> ExecPluginBridge(const PluginBridgeProf& prof)
{
    const PluginBridgeProf copy(prof);
    // The bridge is owned by its thread (OwnedByThread), which destroys it when it ends.
    auto runner = std::make_unique<iCore::ThreadRunnerFunc>(
        iCore::ThreadRunnerFuncProfile(0, "Bridge", 2, 0, 0, true),
        [copy](iCore::MsgThread&) { new Bridge(copy); });
    return std::make_unique<Utils::details::VirtDestroyHolder<iCore::ThreadRunnerFunc>>(std::move(runner));
}

std::unique_ptr<Utils::IVirtualDestroy> StartPluginBridge(const PluginBridgeProf& prof)
{
    auto list = std::make_unique<Utils::VirtDestroyList>();
    YrLogV2::LogRoot::RootLog().Add(YrLogV2::Info, "Run TCP socket transport");
    list->push_back(ExecPluginBridge(prof));
    return list;
}

} // namespace PluginBridge
} // namespace VdiCommon
