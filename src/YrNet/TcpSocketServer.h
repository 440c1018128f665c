#pragma once
#include <cstdint>
#include <string>
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

namespace YrNet
{

struct TcpError
{
    std::wstring text;
    int32_t code = 0;
};

// The user of a server, called on the server's message thread.
class ITcpServerToUser : public Utils::IBasicInterface
{
public:
    // Asked before OnNewConnection when the server checks its peers (TcpSocketServer::CheckPeers).
    // A refused connection is closed at once and its accept is made again: it neither reaches
    // the user nor uses up the server's accepts.
    virtual bool AcceptPeer(const PeerCredentials& peer)
    {
        (void)peer;
        return true;
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

    TcpSocketServer(iCore::MsgThread& thread, const Utils::SafeRef<ITcpServerToUser>& user);
    ~TcpSocketServer() override;

    // addr must be an IP literal (the server never resolves). False when binding failed; no
    // event then. Other socket failures are thrown to the caller. Call it while no accept is
    // pending (once, or after a failed bind).
    bool Listen(const HostAddr& addr);

    // The bound address and port; only meaningful after a successful Listen (throws otherwise).
    HostAddr LocalHostInf() const;

    // From now on every accepted connection's peer is looked up (ReadPeerCredentials) and put
    // to the user's AcceptPeer before it is delivered.
    void CheckPeers() { m_checkPeers = true; }

    // The receive window of the connections accepted from now on, in force from their first read
    // (TcpSocketBase::SetRecvWindow set later would leave the reads before it unbounded).
    void SetAcceptedRecvWindow(const TcpRecvWindow& window) { m_acceptedWindow = window; }

    class TcpServerImpl;

private:
    // ITcpServerImplNotify, network thread.
    void OnAccepted(boost::shared_ptr<boost::asio::ip::tcp::socket> socket) override;
    void OnError(TcpError error) override;

    // Owner's thread.
    void DeliverConnection(boost::shared_ptr<boost::asio::ip::tcp::socket> socket);
    void DeliverError(TcpError error);

    BlockedCreate<TcpServerImpl> m_impl;
    Utils::SafeRef<ITcpServerToUser> m_user;
    bool m_checkPeers = false;
    TcpRecvWindow m_acceptedWindow;
};

} // namespace YrNet
