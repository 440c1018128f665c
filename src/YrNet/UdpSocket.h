#pragma once
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include "Utils/ByteArray.h"
#include "Utils/IBasicInterface.h"
#include "Utils/SafeRef.h"
#include "YrNet/BlockedCreate.h"
#include "YrNet/HostAddr.h"
#include "YrNet/ITcpSocket.h"
#include "iCore/MsgObject.h"

namespace YrNet
{

// The user of a UDP socket, called on the socket's message thread.
class IUdpSocketToUser : public Utils::IBasicInterface
{
public:
    virtual void DataReceived(boost::shared_ptr<SocketData> data) = 0;
    // A receive, a send or a name resolution failed. After a receive error the socket receives
    // nothing any more (its only user discards received data); sending goes on working.
    virtual void Error(boost::shared_ptr<SocketError> error) = 0;
};

// An IPv4 datagram socket. Datagrams longer than c_receiveBufferSize arrive cut to that size.
class UdpSocket : public iCore::MsgObject, IUdpSocketToUser, SocketIdBase, boost::noncopyable
{
public:
    static const uint64_t c_receiveBufferSize = 6144;

    // Opens the socket (a failure is thrown to the caller).
    UdpSocket(iCore::MsgThread& thread, const Utils::SafeRef<IUdpSocketToUser>& user);
    ~UdpSocket() override;

    // host must be an IP literal. False when binding failed (no event); receiving starts on success.
    bool Bind(const HostAddr& host);

    // Never blocks; a failure arrives as an Error event. A name is resolved for every datagram
    // and only its first address is used.
    void SendData(const Utils::ByteArray& data, const HostAddr& host);

    const SocketIdBase* Id() const { return this; }

    class UdpSocketImpl;

private:
    // IUdpSocketToUser: the implementation reports here on the network thread.
    void DataReceived(boost::shared_ptr<SocketData> data) override;
    void Error(boost::shared_ptr<SocketError> error) override;

    // Owner's thread.
    void DeliverData(boost::shared_ptr<SocketData> data);
    void DeliverError(boost::shared_ptr<SocketError> error);

    Utils::SafeRef<IUdpSocketToUser> m_user;
    BlockedCreate<UdpSocketImpl> m_impl;
    bool m_binded;
};

} // namespace YrNet
