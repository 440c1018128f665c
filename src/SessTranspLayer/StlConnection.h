#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include <boost/noncopyable.hpp>
#include "Utils/ByteArray.h"
#include "Utils/IBasicInterface.h"
#include "Utils/StatisticElement.h"
#include "YrMeta/SmartEnum.h"

namespace YrLogV2
{
class Log;
}

namespace SessTranspLayer
{

// Why a session ended.
YRMETA_SMART_ENUM(DiscCause, (dcTranspErr, 0), (dcWrongHeader, 1), (dcRspTimeout, 2), (dcDiscRemote, 3),
                  (dcDiscByUser, 4));

// m_role: 1 is a client; every other value is a server.
const uint32_t c_stlRoleClient = 1;
const uint32_t c_stlRoleServer = 0;

struct StlSettings
{
    uint32_t m_role = c_stlRoleClient;
    // Largest packet the lower transport takes in one Send; longer frames go out in pieces.
    uint64_t m_maxPacketSize = 0;
    // How long an answer to a command may take.
    uint32_t m_respTimeoutMs = 0;
    // Client: period of its pings. Server: gives up after ping interval + response time-out.
    uint32_t m_pingIntervalMs = 0;
};

typedef Utils::StatisticElement<int, int64_t, uint32_t> StlStatElement;

struct StlStatistics
{
    uint32_t m_maxPacketSize = 0; // low 32 bits of the setting
    uint32_t m_sessions = 0;      // sessions begun by this connection
    StlStatElement m_sent;        // one value per frame handed down, its full size
    StlStatElement m_received;    // one value per chunk the transport delivered
};

// The connection's side of its lower transport; the transport calls it on the connection's thread.
class IStlTransport2Owner : public Utils::IBasicInterface
{
public:
    // The transport can carry packets now.
    virtual void OnTranspConnected() = 0;
    // Bytes of the peer's stream, cut in any way.
    virtual void OnTranspData(const Utils::ByteArray& data) = 0;
    // The transport failed or went down; the text is only logged.
    virtual void OnTranspError(const std::wstring& cause) = 0;
};

// The lower transport of a connection, implemented by the connection's user.
class IStlTransport : public Utils::IBasicInterface
{
public:
    // Asked once, by a client connection when it is made.
    virtual bool IsConnected() const = 0;
    // The connection registers itself when it is made; nothing unregisters it, so a user that
    // replaces its connection clears or overwrites the reference itself.
    virtual void SetUser(IStlTransport2Owner& user) = 0;
    // One non-empty piece of at most the settings' largest packet size. Pieces of one frame come
    // in order and must be kept in order. Failures come back through OnTranspError.
    virtual void Send(const Utils::ByteArray& data) = 0;
};

// The user of a connection. Every call carries the connection's own source id.
//
// ReceiveData and Disconnected are called from inside the connection's state machine: calling
// Connect or Disconnect from them re-enters the machine and halts ("FSM recursive!"), and a
// SendData from Disconnected finds no session. Post such calls to the thread instead. SendData
// from ReceiveData is allowed. Connected comes from a posted message and may call anything.
class IStl2Owner : public Utils::IBasicInterface
{
public:
    virtual void Connected(uint64_t id) = 0;
    virtual void ReceiveData(const Utils::ByteArray& data, uint64_t id) = 0;
    virtual void Disconnected(const DiscCause& cause, uint64_t id) = 0;
};

class StlConnectionImpl;

// One end of a session over a lower packet transport: as a client it opens sessions (and
// re-opens them after errors by itself), as a server it accepts them. Made, used and destroyed on
// one message thread; the owner and the transport must outlive it.
class StlConnection : boost::noncopyable
{
public:
    StlConnection(const StlSettings& settings, YrLogV2::Log& parentLog, IStl2Owner& owner,
                  IStlTransport& transport);
    ~StlConnection(); // sends nothing and reports nothing

    void Connect();
    void Disconnect();
    bool IsConnected() const;
    // Sent as one data packet when connected; dropped with a warning otherwise.
    void SendData(const Utils::ByteArray& data);
    // Each array as one data packet, as SendData would, but the frames share pieces: the lower
    // transport gets full pieces of m_maxPacketSize bytes but for the last one. For data that is
    // waiting together (several reads of a socket).
    void SendDataBatch(const std::vector<Utils::ByteArray>& batch);
    StlStatistics GetStatistics() const;

private:
    std::unique_ptr<StlConnectionImpl> m_impl;
};

} // namespace SessTranspLayer
