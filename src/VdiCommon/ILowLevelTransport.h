#pragma once
#include <cstdint>
#include <memory>
#include <boost/function.hpp>
#include "Utils/ByteArray.h"
#include "Utils/IBasicInterface.h"
#include "VdiCommon/SendDataRes.h"

namespace iCore
{
class MsgThread;
}

namespace YrLogV2
{
class Log;
}

namespace VdiCommon
{

// Listener of a low-level transport; every call comes on the transport's message thread.
class ILowLevelTransportEvents : public Utils::IBasicInterface
{
public:
    // maxPacketSize: the largest packet the user may send when connected, 0 when not.
    virtual void OnConnected(bool connected, uint64_t maxPacketSize) = 0;
    // One whole message as the host delivered it: a write of the peer, or several writes its
    // server merged, so it may be larger than maxPacketSize (up to the largest session frame).
    virtual void OnDataReceived(const Utils::ByteArray& packet) = 0;
};

// Packets over the virtual channel. Made, used and destroyed on its user's message thread.
class ILowLevelTransport : public Utils::IBasicInterface
{
public:
    typedef boost::function<void(const SendDataRes&)> SendCallback;

    // data: 1 to the largest packet size; callback: required. The callback runs later on the
    // transport's thread, never inside this call, with the write's result.
    virtual void SendPacket(const Utils::ByteArray& data, const SendCallback& callback) = 0;
    // Announces a channel that opened before the transport existed. Call once, after creation.
    virtual void Start() = 0;
};

// What a function that makes a low-level transport receives.
struct LlEnvToCreate
{
    LlEnvToCreate(iCore::MsgThread& thread, YrLogV2::Log& log, ILowLevelTransportEvents& events)
        : m_thread(thread), m_log(log), m_events(events)
    {
    }

    iCore::MsgThread& m_thread;
    YrLogV2::Log& m_log;
    ILowLevelTransportEvents& m_events;
};

// Users get one of these, so that they do not depend on the channel driver.
typedef boost::function<std::unique_ptr<ILowLevelTransport>(const LlEnvToCreate&)> LlTransportCreator;

} // namespace VdiCommon
