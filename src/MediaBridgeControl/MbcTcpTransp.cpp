#include "MediaBridgeControl/MbcTcpTransp.h"
#include <unistd.h>
#include <chrono>
#include <exception>
#include <string>
#include <vector>
#include <boost/bind/bind.hpp>
#include <boost/shared_ptr.hpp>
#include "ESS/Assert.h"
#include "MediaBridgeControl/IMbcFlow.h"
#include "Utils/StringUtils.h"
#include "YrNet/TcpSocketBase.h"
#include "YrNet/TcpSocketServer.h"
#include "iCore/MsgObject.h"

namespace MediaBridgeControl
{

const Utils::ByteArray& TcpTranspCmdDisc()
{
    static const Utils::ByteArray c_cmd(std::string("TcpTranspCmd Disc"));
    return c_cmd;
}

namespace
{

using LogPtr = std::shared_ptr<YrLogV2::Log>;

// How long a connect of our user whose socket the expected process is not seen holding is looked
// at again before it is refused.
const std::chrono::milliseconds c_holderWait(2000);

// ------------------------------------------------------------------------------------------------

// One accepted connection. Bytes pass unchanged; the only thing added to the stream is the
// disconnect command.
class TranspTcp : public iCore::MsgObject,
                  public IMbcTransp,
                  public IMbcRecvFlow,
                  public YrNet::ITcpSocketToUser
{
public:
    TranspTcp(const LogPtr& log, const boost::shared_ptr<YrNet::TcpSocket>& sock, IMbcTranspEvents& listener,
              bool connected, uint32_t serial, int discTimeoutMs)
        : m_log(log), m_sock(sock), m_listener(&listener), m_serial(serial), m_discTimeoutMs(discTimeoutMs)
    {
        m_sock->SetUser(Utils::SafeRef<YrNet::ITcpSocketToUser>(this));
        if (connected)
            OnConnected(false);
        m_log->Add(YrLogV2::Info, "Socket binded");
    }

    // Sends nothing: the peer learns of the end from the closed connection.
    ~TranspTcp() override { m_sock.reset(); }

    uint32_t Serial() const { return m_serial; }

    // IMbcRecvFlow: the socket simply starts no new read while paused.
    void SetRecvPaused(bool paused) override
    {
        getMsgThread().AssertContext();
        if (paused == m_recvPaused)
            return;
        m_recvPaused = paused;
        if (!m_sock)
            return;
        if (paused)
            m_sock->PauseReceive();
        else
            m_sock->ResumeReceive();
    }

    // The window lives in the socket, where the reads are made (YrNet::TcpSocketBase::SetRecvWindow).
    void SetRecvWindow(uint64_t high, uint64_t low, uint64_t chunkCost)
    {
        if (m_sock)
            m_sock->SetRecvWindow(high, low, chunkCost);
    }

    // Chunks are the socket's reads, passed on one by one.
    void AckRecv(uint64_t chunkBytes)
    {
        if (m_sock)
            m_sock->AckReceived(chunkBytes, 1);
    }

    // IMbcTransp

    void SendData(const Utils::ByteArray& data) override
    {
        getMsgThread().AssertContext();
        if (!m_state.Is(TranspState::Connected))
        {
            m_log->Add(YrLogV2::Warning, "send data ignored due to state!");
            return;
        }
        // Connected implies a held, connected socket: both end together (socket error or release).
        m_sock->SendData(data);
    }

    TranspState State() const override { return m_state; }

    void Disconnect(bool restart) override
    {
        getMsgThread().AssertContext();
        if (!m_sock)
            return;
        if (restart)
            m_log->Add(YrLogV2::Warning, "Restart isn`t supported");

        if (m_sock->IsConnected())
        {
            const Utils::ByteArray& cmd = TcpTranspCmdDisc();
            m_log->Add(YrLogV2::Info, "Send TcpTranspCmd disconnect {}", cmd.IsEmpty());
            m_sock->SendData(cmd);
            ArmDiscTimeout();
            return;
        }

        ReleaseSocket();
        m_state.Set(TranspState::Disconnected, L"Disconnected by user");
    }

private:
    // YrNet::ITcpSocketToUser

    void Connected(const YrNet::SocketIdBase*) override { OnConnected(true); }

    void AllDataSent(const YrNet::SocketIdBase*) override {}

    // Chunks that come before the last one is handled go together, as one batch.
    void DataReceived(boost::shared_ptr<YrNet::SocketData> data) override
    {
        ++m_rxQueued;
        m_rxBatch.push_back(std::move(data->data));
        if (m_rxBatch.size() == 1)
            PutMsg(&TranspTcp::ReceiveBatch);
    }

    void Error(boost::shared_ptr<YrNet::SocketError> error) override
    {
        const std::wstring text = L"sock error: " + error->text;
        m_log->Add(YrLogV2::Info, L"{}", text);
        // The chunks still queued came in before the error (typically the peer's last words
        // before it closed): they are passed on, not lost.
        if (m_state.Is(TranspState::Connected))
            m_rxDeliverUpTo = m_rxQueued;
        m_state.Set(TranspState::FatalError, text);
        m_listener->OnStateChanged(); // the last step: the listener may act on the connection
    }

    // Own thread

    void OnConnected(bool withLog)
    {
        if (withLog)
            m_log->Add(YrLogV2::Info, "connected");
        m_state.Set(TranspState::Connected);
        PutMsg(&TranspTcp::NotifyListener);
    }

    void NotifyListener() { m_listener->OnStateChanged(); }

    // The chunks to pass on go to the listener together; those before a disconnect command
    // go before it.
    void ReceiveBatch()
    {
        std::vector<Utils::ByteArray> batch;
        batch.swap(m_rxBatch);
        std::vector<Utils::ByteArray> deliver;
        deliver.reserve(batch.size());
        for (Utils::ByteArray& data : batch)
        {
            const uint64_t seq = ++m_rxHandled;
            if (data == TcpTranspCmdDisc())
            {
                Deliver(deliver);
                OnDiscCommand();
                continue;
            }
            if (!m_state.Is(TranspState::Connected) && seq > m_rxDeliverUpTo)
            {
                m_log->Add(YrLogV2::Warning, "ReceiveData after disconnect");
                continue;
            }
            deliver.push_back(std::move(data));
        }
        Deliver(deliver);
    }

    void Deliver(std::vector<Utils::ByteArray>& chunks)
    {
        if (chunks.size() == 1)
            m_listener->OnRecvData(chunks.front());
        else if (!chunks.empty())
            m_listener->OnRecvDataBatch(chunks);
        chunks.clear();
    }

    void OnDiscCommand()
    {
        m_log->Add(YrLogV2::Info, "On TcpTranspCmd disconnect. Reset socket..");
        ReleaseSocket();
        m_state.Set(TranspState::Disconnected, L"Disconnected by TcpTranspCmd from remote side");
        m_listener->OnStateChanged();
    }

    void ArmDiscTimeout()
    {
        if (m_discTimeoutMs <= 0 || m_discTimerArmed)
            return;
        m_discTimerArmed = true;
        RunDelayed(boost::bind(&TranspTcp::OnDiscTimeout, this), m_discTimeoutMs);
    }

    void OnDiscTimeout()
    {
        m_discTimerArmed = false;
        if (!m_sock || !m_state.Is(TranspState::Connected))
            return;
        m_log->Add(YrLogV2::Info, "No answer to TcpTranspCmd disconnect in {} ms. Reset socket..",
                   m_discTimeoutMs);
        ReleaseSocket();
        m_state.Set(TranspState::Disconnected, L"Disconnected by user");
        m_listener->OnStateChanged();
    }

    // Ends the connection on our side: chunks still queued are no longer passed on.
    void ReleaseSocket()
    {
        m_sock.reset();
        m_rxDeliverUpTo = 0;
    }

    LogPtr m_log;
    boost::shared_ptr<YrNet::TcpSocket> m_sock; // null once the connection was dropped
    IMbcTranspEvents* m_listener;
    TranspState m_state;

    const uint32_t m_serial; // tells this connection from a later one in posted messages
    const int m_discTimeoutMs;
    bool m_discTimerArmed = false;
    bool m_recvPaused = false;

    // Received chunks: handed to us by the socket, handled by ReceiveBatch, and the last one that
    // is still delivered after a socket error (the chunks the socket read before it).
    uint64_t m_rxQueued = 0;
    uint64_t m_rxHandled = 0;
    uint64_t m_rxDeliverUpTo = 0;
    std::vector<Utils::ByteArray> m_rxBatch; // handed to us, not yet handled
};

// ------------------------------------------------------------------------------------------------

// The listening side: accepts one connection at a time and shows that connection's state while
// it has one.
class TranspServer : public iCore::MsgObject,
                     public IMbcTransp,
                     public IMbcRecvFlow,
                     public IMbcRecvWindow,
                     public IMbcPeerCheck,
                     public YrNet::ITcpServerToUser,
                     public IMbcTranspEvents
{
public:
    TranspServer(YrLogV2::Log& parentLog, uint32_t port, IMbcTranspEvents& user, YrNet::HostAddr* pBoundAddr,
                 int discTimeoutMs)
        : m_log(std::make_shared<YrLogV2::Log>(parentLog, "MbcSrvTcpTransp")), m_user(&user),
          m_server(std::make_unique<YrNet::TcpSocketServer>(getMsgThread(),
                                                            Utils::SafeRef<YrNet::ITcpServerToUser>(this))),
          m_discTimeoutMs(discTimeoutMs)
    {
        m_server->CheckPeers();
        if (!Listen(port))
        {
            SetFatalError(L"Can't listen");
            return;
        }
        if (pBoundAddr)
            *pBoundAddr = m_server->LocalHostInf();
    }

    ~TranspServer() override
    {
        m_sock.reset();
        m_server.reset();
    }

    // IMbcTransp

    void SendData(const Utils::ByteArray& data) override
    {
        getMsgThread().AssertContext();
        if (!m_sock)
        {
            m_log->Add(YrLogV2::Warning, "send data is ignored because socket is null");
            return;
        }
        m_sock->SendData(data);
    }

    TranspState State() const override { return m_sock ? m_sock->State() : m_state; }

    void Disconnect(bool restart) override
    {
        getMsgThread().AssertContext();
        if (m_sock)
            m_sock->Disconnect(restart);
    }

    // IMbcRecvFlow: holds for the connection of the moment and for the ones that follow.
    void SetRecvPaused(bool paused) override
    {
        getMsgThread().AssertContext();
        m_recvPaused = paused;
        if (m_sock)
            m_sock->SetRecvPaused(paused);
    }

    // IMbcRecvWindow: as the pause, for this connection and the ones that follow.
    void SetRecvWindow(uint64_t high, uint64_t low, uint64_t chunkCost) override
    {
        getMsgThread().AssertContext();
        m_window.high = high;
        m_window.low = low;
        m_window.readCost = chunkCost;
        m_server->SetAcceptedRecvWindow(m_window);
        if (m_sock)
            m_sock->SetRecvWindow(high, low, chunkCost);
    }

    void AckRecv(uint64_t bytes) override
    {
        getMsgThread().AssertContext();
        if (m_sock)
            m_sock->AckRecv(bytes);
    }

    // IMbcPeerCheck
    void ExpectPeerPid(int64_t pid) override
    {
        getMsgThread().AssertContext();
        m_expectedPid = pid;
    }

private:
    struct ConnChange
    {
        uint32_t serial;
        bool dropped;
    };

    // Only the media-bridge process on this machine is to connect: the listener is on loopback.
    bool Listen(uint32_t port)
    {
        if (port > 0xFFFF)
        {
            m_log->Add(YrLogV2::Info, "Port {} is out of range", port);
            return false;
        }
        try
        {
            return m_server->Listen(YrNet::HostAddr(YrNet::HostAddr::LoopbackV4, static_cast<int>(port)));
        }
        catch (const std::exception& e)
        {
            // A failure other than the bind (socket creation, listen) ends the same way.
            m_log->Add(YrLogV2::Info, "Listen failed: {}", e.what());
            return false;
        }
    }

    void SetFatalError(const std::wstring& text)
    {
        if (m_state.Is(TranspState::FatalError))
            return;
        m_log->Add(YrLogV2::Info, L"Fatal error: {}", text);
        m_state.Set(TranspState::FatalError, text);
        PutMsg(&TranspServer::NotifyUser);
    }

    void NotifyUser() { m_user->OnStateChanged(); }

    // YrNet::ITcpServerToUser

    // Comes right after AcceptPeer let the connection in: no connection is held.
    void OnNewConnection(boost::shared_ptr<YrNet::TcpSocket> socket) override
    {
        ESS_ASSERT(!m_sock);
        m_log->Add(YrLogV2::Info, "incoming connected!");
        m_sock = std::make_unique<TranspTcp>(m_log, socket, *this, true, ++m_connSerial, m_discTimeoutMs);
        if (m_recvPaused)
            m_sock->SetRecvPaused(true);
        if (m_window.high != 0)
            m_sock->SetRecvWindow(m_window.high, m_window.low, m_window.readCost);
    }

    void OnServerError(YrNet::TcpError error) override { SetFatalError(L"server error " + error.text); }

    // Loopback is open to every local process: only our user's, and only the expected process
    // when one is known, may take the media bridge's place; one connection at a time.
    YrNet::PeerVerdict AcceptPeer(const YrNet::PeerCredentials& peer,
                                  std::chrono::milliseconds waited) override
    {
        if (m_sock)
        {
            m_log->Add(YrLogV2::Info, "new connection is ignored, already have connected socket");
            return YrNet::PeerVerdict::Refuse;
        }
        if (peer.known && peer.uid == ::getuid())
        {
            if (m_expectedPid == 0 || peer.pid == m_expectedPid ||
                YrNet::ProcessHoldsSocket(m_expectedPid, peer.inode))
                return YrNet::PeerVerdict::Accept;
            // The expected process's hold may not show at the first look (a descriptor passed to
            // it is in flight): a socket of ours is looked at again for a short while. Only that
            // process's descriptors are read; who else holds the socket is not looked for, since
            // that would read every process's.
            if (peer.pid == 0 && peer.inode != 0 && waited < c_holderWait)
            {
                if (waited.count() == 0)
                    m_log->Add(
                        YrLogV2::Info,
                        "Connection of uid {}: the media bridge does not hold its socket yet, looking again",
                        peer.uid);
                return YrNet::PeerVerdict::LookAgain;
            }
        }
        m_log->Add(YrLogV2::Warning,
                   "Connection refused: pid {}, uid {} is not the media bridge (pid {}, uid {})",
                   peer.pid != 0 ? std::to_string(peer.pid) : std::string("unknown"),
                   peer.known ? std::to_string(peer.uid) : std::string("unknown"), m_expectedPid, ::getuid());
        return YrNet::PeerVerdict::Refuse;
    }

    // IMbcTranspEvents of the connection

    void OnStateChanged() override
    {
        ESS_ASSERT(m_sock);
        const bool dropped = !m_sock->State().Is(TranspState::Connected);
        // The connection is on the stack: it is dropped later, never inside its own call.
        PutMsg(&TranspServer::OnConnChange, ConnChange{m_sock->Serial(), dropped});
    }

    void OnRecvData(const Utils::ByteArray& data) override { m_user->OnRecvData(data); }
    void OnRecvDataBatch(const std::vector<Utils::ByteArray>& chunks) override { m_user->OnRecvDataBatch(chunks); }

    void OnConnChange(ConnChange change)
    {
        // A change of a connection that is already gone must not drop its successor.
        if (change.dropped && m_sock && m_sock->Serial() == change.serial)
        {
            m_sock.reset();
            if (!m_state.Is(TranspState::FatalError))
                m_state.Set(TranspState::Disconnected);
        }
        m_user->OnStateChanged();
    }

    LogPtr m_log;
    IMbcTranspEvents* m_user;
    std::unique_ptr<YrNet::TcpSocketServer> m_server;
    std::unique_ptr<TranspTcp> m_sock;
    TranspState m_state;

    const int m_discTimeoutMs;
    uint32_t m_connSerial = 0;
    bool m_recvPaused = false;
    YrNet::TcpRecvWindow m_window; // high 0: no window
    int64_t m_expectedPid = 0; // any process of our user
};

} // namespace

std::unique_ptr<IMbcTransp> CreateSrvTcpTransp(YrLogV2::Log& parentLog, uint32_t port,
                                               IMbcTranspEvents& events, YrNet::HostAddr* pBoundAddr,
                                               int discTimeoutMs)
{
    return std::make_unique<TranspServer>(parentLog, port, events, pBoundAddr, discTimeoutMs);
}

} // namespace MediaBridgeControl
