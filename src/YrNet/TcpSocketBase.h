#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <boost/asio/ip/tcp.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include "Utils/SafeRef.h"
#include "YrNet/BlockedCreate.h"
#include "YrNet/ITcpSocket.h"
#include "iCore/MsgObject.h"
#include "iCore/MsgThread.h"

namespace YrNet
{

class TcpSocketImpl;

// A receive window as TcpSocketBase::SetRecvWindow takes it; high 0: none.
struct TcpRecvWindow
{
    uint64_t high = 0;
    uint64_t low = 0;
    uint64_t readCost = 0;
};

// The user's side of a TCP connection, on the user's message thread. Requests go to the engine
// on the network thread; every engine event comes back through a message queue and is delivered
// only if no disconnect happened since it was raised, so each connection is a clean sequence.
class TcpSocketBase : public ITcpSocket,
                      protected SocketIdBase,
                      protected ITcpSocketToUser,
                      boost::noncopyable
{
public:
    enum ConnectionState : int32_t
    {
        stDisc = 0,
        stGoesConn = 1,
        stConn = 2,
    };

    TcpSocketBase(iCore::MsgThread& thread, bool connected);
    ~TcpSocketBase() override;

    // A pending connect is abandoned silently by a new one.
    void ConnectToHost(const HostAddr& addr) override;
    void SendData(const Utils::ByteArray& data) override;
    HostAddr LocalHostInf() const override;
    HostAddr PeerHostInf() const override;
    bool IsConnected() const override { return m_state == stConn; }
    const SocketIdBase* Id() const override { return this; }
    // Blocks for one round trip to the network thread; afterwards no event of the old connection
    // reaches the user, and data it still held is discarded.
    void Disconnect() override;
    void PauseReceive() override;
    void ResumeReceive() override;
    // Back-pressure by count: every DataReceived costs its bytes plus `readCost` until the user
    // acknowledges them (bytes and the number of reads); reading stops when the cost reaches
    // `high` and resumes at `low` or below, so at most one read (TcpSocketImpl::c_readBufferSize)
    // beyond `high` is ever taken in. Reads made before the window was set count too. high 0
    // (the default) means no window.
    void SetRecvWindow(uint64_t high, uint64_t low, uint64_t readCost);
    void AckReceived(uint64_t bytes, uint64_t reads);

    ConnectionState State() const { return m_state; }

    static std::string ResolveState(ConnectionState state);

protected:
    ITcpSocketToUser& User();
    void AssertState(ConnectionState expected) const;
    void SetObserver(ITcpSocketToUser* pObserver) { m_pObserver = pObserver; }

    // Replaces the engine by a fresh one (blocking).
    virtual void ResetImpl() = 0;
    virtual const TcpSocketImpl& Impl() const = 0;
    virtual TcpSocketImpl& Impl() = 0;

    // What the engine reports to (on the network thread).
    ITcpSocketToUser* EngineSink() { return this; }
    const SocketIdBase* EngineId() const { return this; }

private:
    class MsgQueue;
    struct Event;

    // ITcpSocketToUser, called by the engine on the network thread.
    void Connected(const SocketIdBase* id) override;
    void AllDataSent(const SocketIdBase* id) override;
    void DataReceived(boost::shared_ptr<SocketData> data) override;
    void Error(boost::shared_ptr<SocketError> error) override;

    // User thread, current generation only.
    void HandleEvent(Event& ev);

    ConnectionState m_state;
    ITcpSocketToUser* m_pObserver;
    std::unique_ptr<MsgQueue> m_queue;
};

// The TCP connection. Made around a connection accepted by TcpSocketServer, or unconnected; after
// a disconnect it holds a fresh engine and may connect out with ConnectToHost.
class TcpSocket : public TcpSocketBase
{
public:
    explicit TcpSocket(iCore::MsgThread& thread);
    // An accepted connection; its reading starts at once, within `window` from the first read.
    TcpSocket(iCore::MsgThread& thread, const boost::shared_ptr<boost::asio::ip::tcp::socket>& accepted,
              const TcpRecvWindow& window = TcpRecvWindow());
    ~TcpSocket() override;

    // Set right after making or receiving the socket, before any event can arrive.
    void SetUser(const Utils::SafeRef<ITcpSocketToUser>& user);

private:
    void ResetImpl() override;
    const TcpSocketImpl& Impl() const override;
    TcpSocketImpl& Impl() override;

    BlockedCreate<TcpSocketImpl> m_impl;
    Utils::SafeRef<ITcpSocketToUser> m_user;
};

} // namespace YrNet
