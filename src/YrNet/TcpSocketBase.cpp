#include "YrNet/TcpSocketBase.h"
#include "ESS/Exception.h"
#include "YrNet/TcpSocketImpl.h"

namespace YrNet
{

struct TcpSocketBase::Event
{
    enum Kind
    {
        evConnected,
        evAllDataSent,
        evData,
        evError,
    };

    Kind kind = evConnected;
    uint32_t generation = 0;
    boost::shared_ptr<SocketData> data;
    boost::shared_ptr<SocketError> error;
};

// Moves engine events to the user's thread, tagged with the generation current when they were
// raised; a disconnect moves the generation on, and older events are dropped on arrival.
class TcpSocketBase::MsgQueue : public iCore::MsgObject
{
public:
    MsgQueue(iCore::MsgThread& thread, TcpSocketBase& owner)
        : iCore::MsgObject(thread), m_owner(owner), m_generation(0)
    {
    }

    // Network thread.
    void Post(Event ev)
    {
        ev.generation = m_generation.load(std::memory_order_acquire);
        PutMsg(&MsgQueue::OnEvent, std::move(ev));
    }

    // User thread.
    void NextGeneration() { m_generation.fetch_add(1, std::memory_order_acq_rel); }

private:
    void OnEvent(Event ev)
    {
        if (ev.generation != m_generation.load(std::memory_order_acquire))
            return;
        // The user may destroy the socket, and with it this queue, inside the call.
        m_owner.HandleEvent(ev);
    }

    TcpSocketBase& m_owner;
    std::atomic<uint32_t> m_generation;
};

TcpSocketBase::TcpSocketBase(iCore::MsgThread& thread, bool connected)
    : m_state(connected ? stConn : stDisc), m_pObserver(nullptr),
      m_queue(std::make_unique<MsgQueue>(thread, *this))
{
}

TcpSocketBase::~TcpSocketBase() = default;

std::string TcpSocketBase::ResolveState(ConnectionState state)
{
    switch (state)
    {
    case stDisc:
        return "stDisc";
    case stGoesConn:
        return "stGoesConn";
    case stConn:
        return "stConn";
    }
    ::ESS::Throw(ESS::NoReturnException(ESS_LOCATION));
}

ITcpSocketToUser& TcpSocketBase::User()
{
    ESS_ASSERT(m_pObserver != 0);
    return *m_pObserver;
}

void TcpSocketBase::AssertState(ConnectionState expected) const
{
    if (m_state == expected)
        return;
    ESS_HALT("Wrong state. Expected " + ResolveState(expected) + " Current " + ResolveState(m_state));
}

void TcpSocketBase::ConnectToHost(const HostAddr& addr)
{
    if (m_state == stGoesConn)
        Disconnect();
    AssertState(stDisc);
    m_state = stGoesConn;
    Impl().ConnectToHost(addr);
}

void TcpSocketBase::SendData(const Utils::ByteArray& data)
{
    AssertState(stConn);
    Impl().SendData(data);
}

HostAddr TcpSocketBase::LocalHostInf() const
{
    AssertState(stConn);
    return Impl().LocalHostInf();
}

HostAddr TcpSocketBase::PeerHostInf() const
{
    AssertState(stConn);
    return Impl().PeerHostInf();
}

void TcpSocketBase::Disconnect()
{
    if (m_state == stDisc)
        return;
    m_state = stDisc;
    ResetImpl();
    // Only now: events the old engine raised while it was being destroyed still carry the old value.
    m_queue->NextGeneration();
}

void TcpSocketBase::PauseReceive()
{
    Impl().PauseReceive();
}

void TcpSocketBase::ResumeReceive()
{
    Impl().ResumeReceive();
}

void TcpSocketBase::SetRecvWindow(uint64_t high, uint64_t low, uint64_t readCost)
{
    Impl().SetRecvWindow(high, low, readCost);
}

void TcpSocketBase::AckReceived(uint64_t bytes, uint64_t reads)
{
    Impl().AckReceived(bytes, reads);
}

void TcpSocketBase::Connected(const SocketIdBase*)
{
    Event ev;
    ev.kind = Event::evConnected;
    m_queue->Post(std::move(ev));
}

void TcpSocketBase::AllDataSent(const SocketIdBase*)
{
    Event ev;
    ev.kind = Event::evAllDataSent;
    m_queue->Post(std::move(ev));
}

void TcpSocketBase::DataReceived(boost::shared_ptr<SocketData> data)
{
    Event ev;
    ev.kind = Event::evData;
    ev.data = std::move(data);
    m_queue->Post(std::move(ev));
}

void TcpSocketBase::Error(boost::shared_ptr<SocketError> error)
{
    Event ev;
    ev.kind = Event::evError;
    ev.error = std::move(error);
    m_queue->Post(std::move(ev));
}

void TcpSocketBase::HandleEvent(Event& ev)
{
    switch (ev.kind)
    {
    case Event::evConnected:
        AssertState(stGoesConn);
        m_state = stConn;
        User().Connected(Id());
        return;
    case Event::evData:
        AssertState(stConn);
        User().DataReceived(std::move(ev.data));
        return;
    case Event::evAllDataSent:
        // Sends made after it was raised are not out yet; their own report follows.
        if (m_state == stConn && Impl().AllSent())
            User().AllDataSent(Id());
        return;
    case Event::evError:
        if (m_state == stDisc)
            ESS_HALT("Wrong state. Current " + ResolveState(m_state));
        Disconnect();
        User().Error(std::move(ev.error));
        return;
    }
}

// ------------------------------------------------------------------------------------------------

TcpSocket::TcpSocket(iCore::MsgThread& thread) : TcpSocketBase(thread, false)
{
    ResetImpl();
}

TcpSocket::TcpSocket(iCore::MsgThread& thread, const boost::shared_ptr<boost::asio::ip::tcp::socket>& accepted,
                     const TcpRecvWindow& window)
    : TcpSocketBase(thread, true)
{
    ITcpSocketToUser* const sink = EngineSink();
    const SocketIdBase* const id = EngineId();
    m_impl.Reset([sink, id, accepted, window]() { return new TcpSocketImpl(sink, id, accepted, window); });
}

TcpSocket::~TcpSocket()
{
    // The engine goes first, on the network thread: after that nothing posts to the queue.
    m_impl.Clear();
}

void TcpSocket::SetUser(const Utils::SafeRef<ITcpSocketToUser>& user)
{
    m_user = user;
    SetObserver(&*m_user); // a user must be given ("m_pIntf")
}

void TcpSocket::ResetImpl()
{
    ITcpSocketToUser* const sink = EngineSink();
    const SocketIdBase* const id = EngineId();
    m_impl.Reset([sink, id]() { return new TcpSocketImpl(sink, id); });
}

const TcpSocketImpl& TcpSocket::Impl() const
{
    return *m_impl;
}

TcpSocketImpl& TcpSocket::Impl()
{
    return *m_impl;
}

} // namespace YrNet
