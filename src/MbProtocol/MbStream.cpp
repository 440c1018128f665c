#include "MbProtocol/MbStream.h"
#include <algorithm>
#include <cstring>
#include "ESS/Assert.h"
#include "Utils/StringUtils.h"

namespace MbProtocol
{

PackReceiver::PackReceiver(uint32_t expectedVersion, const CommandList& incoming)
    : m_expectedVersion(expectedVersion), m_incoming(incoming), m_bufferSize(0), m_frontUsed(0)
{
}

void PackReceiver::PushData(const Utils::ByteArray& chunk)
{
    if (chunk.IsEmpty())
        return;
    m_buffer.push_back(chunk);
    m_bufferSize += chunk.Size();
}

void PackReceiver::PeekBytes(uint64_t bytesCount, const Sink& sink)
{
    ESS_ASSERT(bytesCount <= m_bufferSize);
    // The front chunk keeps an offset instead of being cut: cutting would move its remaining
    // bytes once per packet, which is quadratic for a large chunk of small packets.
    uint64_t left = bytesCount;
    while (left > 0)
    {
        const Utils::ByteArray& front = m_buffer.front();
        const uint64_t n = std::min(left, front.Size() - m_frontUsed);
        sink(front.Data() + m_frontUsed, n);
        left -= n;
        m_frontUsed += n;
        if (m_frontUsed == front.Size())
        {
            m_buffer.pop_front();
            m_frontUsed = 0;
        }
    }
    m_bufferSize -= bytesCount;
}

std::unique_ptr<StreamPackHeader> PackReceiver::PeekHeader()
{
    const uint64_t size = HeaderSize();
    uint8_t bytes[64];
    ESS_ASSERT(size <= sizeof(bytes));
    uint64_t pos = 0;
    PeekBytes(size,
              [&](const uint8_t* p, uint64_t n)
              {
                  std::memcpy(bytes + pos, p, n);
                  pos += n;
              });

    auto h = std::make_unique<StreamPackHeader>(ParseHeader(bytes));
    const uint32_t actual = CalcHeaderCrc(*h);
    if (actual != h->crc)
    {
        ESS_THROW_MSG(ESS::Exception, L"CRC code mismatch: actual(" + std::to_wstring(actual) +
                                          L") != expected(" + std::to_wstring(h->crc) + L")");
    }
    return h;
}

std::shared_ptr<Packet> PackReceiver::TryGetPacket()
{
    if (!m_header)
    {
        if (m_bufferSize < HeaderSize())
            return std::shared_ptr<Packet>();
        std::unique_ptr<StreamPackHeader> h = PeekHeader();
        if (h->length > c_maxPayloadSize)
        {
            // Nothing is kept for it: the stream cannot be followed past this point.
            const std::string text = "Bad incoming packet length " + std::to_string(h->length) +
                                     " above the limit of " + std::to_string(c_maxPayloadSize);
            ESS_THROW_MSG(BadIncomingPacket, Utils::LocaleStringToUnicode(text));
        }
        m_header = std::move(h);
    }

    if (m_bufferSize < m_header->length)
        return std::shared_ptr<Packet>();

    Utils::ByteArray payload(m_header->length, m_header->length);
    uint8_t* const pDst = payload.MutableData();
    uint64_t pos = 0;
    PeekBytes(m_header->length,
              [&](const uint8_t* p, uint64_t n)
              {
                  std::memcpy(pDst + pos, p, n);
                  pos += n;
              });

    // Cleared before the packet is checked: a refused packet is consumed whole, and the next call
    // reads the header behind it instead of slicing the stream with a stale length.
    const std::unique_ptr<StreamPackHeader> h = std::move(m_header);
    return std::make_shared<Packet>(m_expectedVersion, *h, payload, m_incoming);
}

} // namespace MbProtocol
