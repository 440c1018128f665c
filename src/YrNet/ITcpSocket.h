#pragma once
#include <cstdint>
#include <string>
#include <boost/shared_ptr.hpp>
#include "Utils/ByteArray.h"
#include "Utils/IBasicInterface.h"
#include "YrNet/HostAddr.h"

namespace YrNet
{

// The identity of a socket: the address of its facade's SocketIdBase part. Every event carries
// it, so that one observer can serve several sockets.
class SocketIdBase
{
};

// Bytes received by one read (TCP) or one datagram (UDP).
struct SocketData
{
    const SocketIdBase* id = nullptr;
    HostAddr peer;
    Utils::ByteArray data;
};

struct SocketError
{
    const SocketIdBase* id = nullptr;
    std::wstring text;
    int32_t code = 0; // the library's error value; -1 for the engine's own errors
    bool flag = false;
};

// The requests of a TCP connection that the engine on the network thread serves (TcpSocketImpl).
class ITcpSocketEngine : public Utils::IBasicInterface
{
public:
    virtual void ConnectToHost(const HostAddr& addr) = 0;
    virtual void SendData(const Utils::ByteArray& data) = 0;
    virtual HostAddr LocalHostInf() const = 0;
    virtual HostAddr PeerHostInf() const = 0;
    // Back-pressure: while paused no new read is started (a read already under way still
    // delivers its bytes). A connection made after a disconnect starts unpaused.
    virtual void PauseReceive() = 0;
    virtual void ResumeReceive() = 0;
};

// A TCP client connection as its user sees it (TcpSocket): the engine's requests plus the
// connection's state, identity and disconnect, which only the facade on the user's thread knows.
class ITcpSocket : public ITcpSocketEngine
{
public:
    virtual bool IsConnected() const = 0;
    virtual const SocketIdBase* Id() const = 0;
    virtual void Disconnect() = 0;
};

// The events of a TCP connection.
class ITcpSocketToUser : public Utils::IBasicInterface
{
public:
    virtual void Connected(const SocketIdBase* id) = 0;
    // The last queued write completed and nothing waits to be sent; heard only while that is still
    // so (data sent since brings a report of its own when it has gone out).
    virtual void AllDataSent(const SocketIdBase* id) = 0;
    virtual void DataReceived(boost::shared_ptr<SocketData> data) = 0;
    // The connection failed or broke.
    virtual void Error(boost::shared_ptr<SocketError> error) = 0;
};

} // namespace YrNet
