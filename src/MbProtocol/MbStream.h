#pragma once
#include <cstdint>
#include <deque>
#include <memory>
#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include "MbProtocol/MbCommand.h"
#include "MbProtocol/MbPacket.h"
#include "Utils/ByteArray.h"

namespace MbProtocol
{

// Reassembles packets from stream chunks of any size. There is no start marker: after an
// exception the caller must treat the link as broken.
class PackReceiver : boost::noncopyable
{
public:
    PackReceiver(uint32_t expectedVersion, const CommandList& incoming);

    // Queues the chunk (shared, not copied); an empty one is ignored.
    void PushData(const Utils::ByteArray& chunk);

    // The next complete packet, or null when more bytes are needed. Throws ESS::Exception on a
    // header CRC mismatch and BadIncomingPacket on a packet that fails its checks or announces
    // more than c_maxPayloadSize bytes. A packet whose payload was refused has been consumed
    // whole, so the next call starts at the packet behind it.
    std::shared_ptr<Packet> TryGetPacket();

    uint64_t BufferSize() const { return m_bufferSize; }
    bool HeaderPending() const { return m_header != nullptr; }

private:
    using Sink = boost::function<void(const uint8_t*, uint64_t)>;

    // Consumes exactly bytesCount bytes from the front, handing them to sink chunk by chunk.
    void PeekBytes(uint64_t bytesCount, const Sink& sink);
    std::unique_ptr<StreamPackHeader> PeekHeader();

    const uint32_t m_expectedVersion;
    const CommandList& m_incoming;
    uint64_t m_bufferSize;                      // bytes queued
    std::deque<Utils::ByteArray> m_buffer;      // oldest first
    uint64_t m_frontUsed;                       // bytes of the front chunk already consumed
    std::unique_ptr<StreamPackHeader> m_header; // read, its payload not yet complete
};

} // namespace MbProtocol
