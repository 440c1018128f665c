#include "YrNet/TcpSocketServer.h"
#include <algorithm>
#include <system_error>
#include <boost/make_shared.hpp>
#include "Utils/AliveCallback.h"
#include "Utils/StringUtils.h"
#include "YrNet/CloseOnExec.h"
#include "YrNet/HostAddr2BoostEndpoint.h"

namespace YrNet
{

// The listening socket on the network thread.
class TcpSocketServer::TcpServerImpl : boost::noncopyable
{
public:
    explicit TcpServerImpl(ITcpServerImplNotify& notify)
        : m_thread(NetThread::Instance()), m_acceptor(m_thread->GetIoService()), m_notify(notify)
    {
    }

    ~TcpServerImpl()
    {
        boost::system::error_code ec;
        m_acceptor.close(ec);
    }

    // Network thread. Throws for open, option and listen failures; false when binding failed.
    bool Listen(const boost::asio::ip::tcp::endpoint& ep)
    {
        m_context.Assert();
        // Accepts of an earlier Listen would complete with errors and close the new socket.
        m_alive.Reset();

        boost::system::error_code ec;
        if (m_acceptor.is_open())
            m_acceptor.close(ec);
        m_acceptor.open(ep.protocol());
        SetCloseOnExec(m_acceptor);
        m_acceptor.set_option(boost::asio::socket_base::reuse_address(false));
        m_acceptor.bind(ep, ec);
        if (ec)
        {
            m_thread->Log().Add(YrLogV2::Info, "Listen on {} failed: {}",
                                HostAddr(ep.address(), ep.port()).ToString(), ec.message());
            return false;
        }
        m_acceptor.listen(boost::asio::socket_base::max_listen_connections);
        for (int i = 0; i < c_acceptCount; ++i)
            StartAccept();
        return true;
    }

    // Network thread; throws when the socket is not open.
    HostAddr LocalHostInf() const
    {
        m_context.Assert();
        const boost::asio::ip::tcp::endpoint ep = m_acceptor.local_endpoint();
        return HostAddr(ep.address().to_string(), ep.port());
    }

    // Network thread: closes a connection the user refused and puts its accept back.
    void Refuse(const boost::shared_ptr<boost::asio::ip::tcp::socket>& socket)
    {
        m_context.Assert();
        boost::system::error_code ignored;
        socket->close(ignored);
        if (m_acceptor.is_open())
            StartAccept();
    }

private:
    typedef boost::asio::ip::tcp tcp;

    void StartAccept()
    {
        boost::shared_ptr<tcp::socket> socket = boost::make_shared<tcp::socket>(m_acceptor.get_executor());
        boost::shared_ptr<tcp::endpoint> ep = boost::make_shared<tcp::endpoint>();
        m_acceptor.async_accept(*socket, *ep,
                                m_alive.Wrap([this, socket, ep](const boost::system::error_code& ec)
                                             { OnAccept(ec, socket, ep); }));
    }

    void OnAccept(const boost::system::error_code& ec, const boost::shared_ptr<tcp::socket>& socket,
                  const boost::shared_ptr<tcp::endpoint>& ep)
    {
        m_context.Assert();
        if (ec)
        {
            TcpError err;
            err.text = Utils::LocaleStringToUnicode(ec.message());
            err.code = ec.value();
            m_notify.OnError(err);
            boost::system::error_code ignored;
            m_acceptor.close(ignored);
            return;
        }

        SetCloseOnExec(*socket);
        // A client that connected and reset at once cannot tell its address any more: drop it
        // and keep the supply of pending accepts.
        boost::system::error_code peerEc;
        const tcp::endpoint peer = socket->remote_endpoint(peerEc);
        if (peerEc)
        {
            m_thread->Log().Add(YrLogV2::Warning, "Accepted connection dropped: {}", peerEc.message());
            boost::system::error_code ignored;
            socket->close(ignored);
            StartAccept();
            return;
        }
        if (peer != *ep)
            ESS_HALT("socket->remote_endpoint() == *ep");
        m_notify.OnAccepted(socket);
    }

    Utils::SafeRef<NetThread> m_thread;
    tcp::acceptor m_acceptor;
    ITcpServerImplNotify& m_notify;
    Utils::ThreadContextChecker m_context;
    Utils::AliveCallback<> m_alive;
};

TcpSocketServer::TcpSocketServer(iCore::MsgThread& thread, const Utils::SafeRef<ITcpServerToUser>& user)
    : iCore::MsgObject(thread), m_user(user), m_lookTimer(thread)
{
    ITcpServerImplNotify* const notify = this;
    m_impl.Reset([notify]() { return new TcpServerImpl(*notify); });
}

TcpSocketServer::~TcpSocketServer()
{
    m_user.Clear();
    CloseAside();
    m_impl.Clear();
}

bool TcpSocketServer::Listen(const HostAddr& addr)
{
    ESS_ASSERT(!addr.IsEmpty());
    boost::asio::ip::tcp::endpoint ep;
    if (!TryConvertTcpEndPoint(addr, ep))
        ESS_HALT("Wrong local address");

    TcpServerImpl* const pImpl = &*m_impl;
    return m_impl.Thread().RunBlockedQuery<bool>([pImpl, ep]() { return pImpl->Listen(ep); });
}

HostAddr TcpSocketServer::LocalHostInf() const
{
    const TcpServerImpl* const pImpl = &*m_impl;
    return m_impl.Thread().RunBlockedQuery<HostAddr>([pImpl]() { return pImpl->LocalHostInf(); });
}

void TcpSocketServer::OnAccepted(boost::shared_ptr<boost::asio::ip::tcp::socket> socket)
{
    PutMsg(&TcpSocketServer::DeliverConnection, std::move(socket));
}

void TcpSocketServer::OnError(TcpError error)
{
    PutMsg(&TcpSocketServer::DeliverError, std::move(error));
}

void TcpSocketServer::DeliverConnection(AsioSocket socket)
{
    if (!m_checkPeers)
    {
        Deliver(std::move(socket));
        return;
    }
    const PeerCredentials peer = ReadPeerCredentials(socket->native_handle());
    if (peer.queryError != 0 && !m_queryFailureTold)
    {
        // Where the query fails it fails for every connect: told once.
        m_queryFailureTold = true;
        m_impl.Thread().Log().Add(
            YrLogV2::Warning,
            "The socket diagnostics query does not answer ({}): peers are looked up in the socket table",
            std::error_code(peer.queryError, std::system_category()).message());
    }
    if (Decide(socket, peer, std::chrono::milliseconds(0)))
        return;
    if (m_aside.size() >= c_asideMax)
        RefuseOldestAside();
    const Clock::time_point now = Clock::now();
    m_aside.push_back(AsideConn{std::move(socket), peer, now,
                                now + std::chrono::milliseconds(c_firstLookAgainMs), c_firstLookAgainMs});
    ArmLookAgain();
}

bool TcpSocketServer::Decide(AsioSocket& socket, const PeerCredentials& peer,
                             std::chrono::milliseconds waited)
{
    switch (m_user->AcceptPeer(peer, waited))
    {
    case PeerVerdict::Accept:
        Deliver(std::move(socket));
        return true;
    case PeerVerdict::Refuse:
        Refuse(socket);
        return true;
    case PeerVerdict::LookAgain:
        break;
    }
    return false;
}

void TcpSocketServer::Deliver(AsioSocket socket)
{
    boost::shared_ptr<TcpSocket> conn =
        boost::make_shared<TcpSocket>(getMsgThread(), socket, m_acceptedWindow);
    socket.reset();
    m_user->OnNewConnection(conn);
}

void TcpSocketServer::Refuse(AsioSocket& socket)
{
    TcpServerImpl* const pImpl = &*m_impl;
    m_impl.Thread().RunBlocked([pImpl, &socket]() { pImpl->Refuse(socket); });
    socket.reset();
}

// The oldest has been looked at longest: it makes room, unless a last look lets it in.
void TcpSocketServer::RefuseOldestAside()
{
    AsideConn oldest = std::move(m_aside.front());
    m_aside.erase(m_aside.begin());
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - oldest.since);
    if (Decide(oldest.socket, oldest.peer, waited))
        return;
    m_impl.Thread().Log().Add(
        YrLogV2::Warning, "Connection of uid {} refused after {} ms: {} connections are kept aside already",
        oldest.peer.uid, waited.count(), c_asideMax);
    Refuse(oldest.socket);
}

void TcpSocketServer::LookAgain()
{
    const Clock::time_point now = Clock::now();
    std::vector<AsideConn> aside;
    aside.swap(m_aside);
    for (AsideConn& c : aside)
    {
        if (c.nextLook <= now)
        {
            if (Decide(c.socket, c.peer,
                       std::chrono::duration_cast<std::chrono::milliseconds>(now - c.since)))
                continue;
            c.stepMs = std::min(2 * c.stepMs, c_lookAgainStepMs);
            c.nextLook = now + std::chrono::milliseconds(c.stepMs);
        }
        m_aside.push_back(std::move(c));
    }
    ArmLookAgain();
}

void TcpSocketServer::ArmLookAgain()
{
    if (m_aside.empty())
    {
        m_lookTimer.Stop();
        return;
    }
    Clock::time_point next = m_aside.front().nextLook;
    for (const AsideConn& c : m_aside)
        next = std::min(next, c.nextLook);
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
    m_lookTimer.Start([this]() { LookAgain(); }, int(std::max<int64_t>(1, wait)));
}

// The sockets are closed on the network thread, which owns their registration.
void TcpSocketServer::CloseAside()
{
    m_lookTimer.Stop();
    if (m_aside.empty())
        return;
    std::vector<AsideConn>& aside = m_aside;
    m_impl.Thread().RunBlocked(
        [&aside]()
        {
            boost::system::error_code ignored;
            for (AsideConn& c : aside)
                c.socket->close(ignored);
        });
    m_aside.clear();
}

void TcpSocketServer::DeliverError(TcpError error)
{
    m_user->OnServerError(std::move(error));
}

} // namespace YrNet
