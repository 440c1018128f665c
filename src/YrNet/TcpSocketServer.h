#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>
#include <boost/asio/ip/tcp.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include "Utils/IBasicInterface.h"
#include "Utils/SafeRef.h"
#include "YrNet/BlockedCreate.h"
#include "YrNet/HostAddr.h"
#include "YrNet/PeerCredentials.h"
#include "YrNet/TcpSocketBase.h"
#include "iCore/MsgObject.h"
#include "iCore/MsgTimerEx.h"

namespace YrNet
{

struct TcpError
{
    std::wstring text;
    int32_t code = 0;
};

enum class PeerVerdict
{
    Accept,
    Refuse,
    LookAgain
};

// The user of a server, called on the server's message thread; none of its calls may destroy the
// server.
class ITcpServerToUser : public Utils::IBasicInterface
{
public:
    // Asked before OnNewConnection when the server checks its peers (TcpSocketServer::CheckPeers);
    // waited is zero at the first ask. A refused connection is closed at once and its accept is
    // made again: it neither reaches the user nor uses up the server's accepts. A connection to
    // look at again is kept aside, its accept still in use, while the thread goes on; it is asked
    // about again after c_firstLookAgainMs and then at doubling steps of up to c_lookAgainStepMs,
    // until the user accepts or refuses it: the user bounds the wait and makes each look. At most
    // c_asideMax are kept aside: to keep another, the oldest is asked once more and refused
    // unless accepted, so that strays never stop the server from taking the next connect.
    virtual PeerVerdict AcceptPeer(const PeerCredentials& peer, std::chrono::milliseconds waited)
    {
        (void)peer;
        (void)waited;
        return PeerVerdict::Accept;
    }
    // The receiver owns the connection from now on and sets its user at once.
    virtual void OnNewConnection(boost::shared_ptr<TcpSocket> socket) = 0;
    // An accept failed; the listening socket has been closed.
    virtual void OnServerError(TcpError error) = 0;
};

// What the implementation reports to its facade, on the network thread.
class ITcpServerImplNotify : public Utils::IBasicInterface
{
public:
    virtual void OnAccepted(boost::shared_ptr<boost::asio::ip::tcp::socket> socket) = 0;
    virtual void OnError(TcpError error) = 0;
};

// A listening TCP socket. One Listen accepts at most c_acceptCount connections.
class TcpSocketServer : public iCore::MsgObject, ITcpServerImplNotify, boost::noncopyable
{
public:
    static const int c_acceptCount = 50;
    static constexpr int c_firstLookAgainMs = 10;
    static constexpr int c_lookAgainStepMs = 250;
    static constexpr size_t c_asideMax = 8;

    TcpSocketServer(iCore::MsgThread& thread, const Utils::SafeRef<ITcpServerToUser>& user);
    ~TcpSocketServer() override;

    // addr must be an IP literal (the server never resolves). False when binding failed; no
    // event then. Other socket failures are thrown to the caller. Call it while no accept is
    // pending (once, or after a failed bind).
    bool Listen(const HostAddr& addr);

    // The bound address and port; only meaningful after a successful Listen (throws otherwise).
    HostAddr LocalHostInf() const;

    // From now on every accepted connection's peer is looked up (ReadPeerCredentials) and put
    // to the user's AcceptPeer before it is delivered. A socket query that fails where the socket
    // table answers is told once, at Warning, in the network thread's log.
    void CheckPeers() { m_checkPeers = true; }

    // The receive window of the connections accepted from now on, in force from their first read
    // (TcpSocketBase::SetRecvWindow set later would leave the reads before it unbounded).
    void SetAcceptedRecvWindow(const TcpRecvWindow& window) { m_acceptedWindow = window; }

    class TcpServerImpl;

private:
    // ITcpServerImplNotify, network thread.
    void OnAccepted(boost::shared_ptr<boost::asio::ip::tcp::socket> socket) override;
    void OnError(TcpError error) override;

    using Clock = std::chrono::steady_clock;
    using AsioSocket = boost::shared_ptr<boost::asio::ip::tcp::socket>;

    // A connection the user wants looked at again.
    struct AsideConn
    {
        AsioSocket socket;
        PeerCredentials peer;
        Clock::time_point since;
        Clock::time_point nextLook;
        int stepMs;
    };

    // Owner's thread.
    void DeliverConnection(AsioSocket socket);
    void DeliverError(TcpError error);
    // False when the connection is to be looked at again; it has been delivered or refused
    // otherwise.
    bool Decide(AsioSocket& socket, const PeerCredentials& peer, std::chrono::milliseconds waited);
    void Deliver(AsioSocket socket);
    void Refuse(AsioSocket& socket);
    void RefuseOldestAside();
    void LookAgain();
    void ArmLookAgain();
    void CloseAside();

    BlockedCreate<TcpServerImpl> m_impl;
    Utils::SafeRef<ITcpServerToUser> m_user;
    bool m_checkPeers = false;
    bool m_queryFailureTold = false; // owner's thread
    TcpRecvWindow m_acceptedWindow;
    std::vector<AsideConn> m_aside;
    iCore::MsgTimerEx m_lookTimer;
};

} // namespace YrNet
