#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <typeinfo>
#include "ESS/Exception.h"
#include "MbProtocol/MbCommand.h"
#include "Utils/ByteArray.h"
#include "YrLogV2/Log.h"
#include "YrLogV2/Tag.h"

namespace MbProtocol
{

// A received packet that fails its checks (direction, version, command, payload, length).
ESS_DECLARE_EXCEPTION(BadIncomingPacket, ::ESS::Exception);

// The tag of packet dumps (level 16): packets are dumped with their data only where it is active.
extern const YrLogV2::UserTag TagPacket;

// The largest payload a receiver accepts. A header announcing more is refused at once, before
// anything is buffered for it: a peer must not make us hold gigabytes for one packet.
const uint32_t c_maxPayloadSize = 16 * 1024 * 1024;

// The header fields that the CRC covers. On the wire, big-endian and without gaps:
//   req u8, noLog u8, cmd i32, contextToDispatch i32, contextToReply i32, ver i32,
//   length u32 (payload bytes that follow), crc u32 (CRC-32 of the first 18 bytes).
struct PackHeader
{
    uint8_t req = 0;   // 1 request, 0 response
    uint8_t noLog = 0; // any non-zero value: neither side logs the packet
    int32_t cmd = 0;   // index of the command type in the list of its direction
    int32_t contextToDispatch = 0;
    int32_t contextToReply = 0;
    int32_t ver = 0;
};

// The whole header as read from the stream.
struct StreamPackHeader : PackHeader
{
    uint32_t length = 0;
    uint32_t crc = 0;
};

// The size of the serialised header: 26.
uint64_t HeaderSize();

// The CRC-32 (IEEE 802.3) of the big-endian serialisation of the six covered fields.
uint32_t CalcHeaderCrc(const PackHeader& header);

// The 26 header bytes with length and the computed CRC.
Utils::ByteArray SerializeHeader(const PackHeader& header, uint32_t length);

// Reads the 26 bytes at p (no checks but the size).
StreamPackHeader ParseHeader(const uint8_t* p);

// Header and msgpack payload of obj in one buffer, ready to send.
Utils::ByteArray MakePacket(const PackHeader& header, const CommandObject& obj);

// A received packet, decoded and checked when it is made.
class Packet
{
public:
    // Throws BadIncomingPacket when a check fails or the payload does not decode.
    Packet(uint32_t expectedVersion, const PackHeader& header, const Utils::ByteArray& payload,
           const CommandList& commands);

    const PackHeader& Header() const { return m_header; }
    const Utils::ByteArray& Payload() const { return m_payload; }
    const std::string& CommandType() const { return m_commandType; }
    const std::shared_ptr<CommandObject>& Data() const { return m_data; }
    ContextId ContextToDispatch() const { return ContextId(m_header.contextToDispatch); }
    ContextId ContextToReply() const { return ContextId(m_header.contextToReply); }
    bool NoLog() const { return m_header.noLog != 0; }

    // The command object as T; asserts that it is one.
    template <class T>
    std::shared_ptr<T> As() const
    {
        ESS_ASSERT(!m_commandType.empty() && m_data);
        std::shared_ptr<T> res = std::dynamic_pointer_cast<T>(m_data);
        ESS_ASSERT(res != 0);
        return res;
    }

    // "PACKET req cmd = 0 [TestPacket] contextToDispatch = 1 contextToReply = 1 ver = 1 data[20]",
    // with data " {00 01 ... (...)}" (at most 16 bytes). With payloadIncludesHeader the buffer
    // starts with the header (the sender's view) and only the bytes behind it count.
    static std::string ToString(const PackHeader& header, const Utils::ByteArray& payload,
                                const std::string& commandType, bool withData, bool payloadIncludesHeader);
    std::string ToString(bool withData) const;

private:
    // The reason of the first failed check; empty when the packet is good.
    std::string Init(const CommandList& commands);
    [[noreturn]] void ThrowBadPacket(const std::string& reason) const;

    uint32_t m_expectedVersion;
    PackHeader m_header;
    Utils::ByteArray m_payload;
    std::string m_commandType;
    std::shared_ptr<CommandObject> m_data;
};

// Writes a packet's text: in error mode one Error record with data; otherwise one TagPacket record
// with data where that tag is active, else one Info record without data where Info is active.
void LogPacket(const Packet& packet, const std::string& prefix, const YrLogV2::Log& log, bool errorMode);

} // namespace MbProtocol
