#include "SessTranspLayer/StlPacket.h"

#include <algorithm>
#include <cstring>
#include <fmt/format.h>
#include "ESS/Assert.h"
#include "Utils/Crc32.h"

namespace SessTranspLayer
{

namespace
{

const uint32_t c_crcInit = 0xFFFFFFFF;
const uint32_t c_headerCrcOffset = 28;
// Buffers that grew beyond this for one large packet are released once they run empty.
const uint64_t c_keepBufferCapacity = 64 * 1024;

uint32_t Crc(const uint8_t* p, uint64_t size)
{
    // Payloads are bounded far below 2^31, so the signed length of the CRC routine holds them.
    return Utils::Crc32(p, static_cast<int32_t>(size), c_crcInit, true);
}

void Put16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void Put32(uint8_t* p, uint32_t v)
{
    Put16(p, static_cast<uint16_t>(v >> 16));
    Put16(p + 2, static_cast<uint16_t>(v));
}

void Put64(uint8_t* p, uint64_t v)
{
    Put32(p, static_cast<uint32_t>(v >> 32));
    Put32(p + 4, static_cast<uint32_t>(v));
}

uint16_t Get16(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t Get32(const uint8_t* p)
{
    return (static_cast<uint32_t>(Get16(p)) << 16) | Get16(p + 2);
}

uint64_t Get64(const uint8_t* p)
{
    return (static_cast<uint64_t>(Get32(p)) << 32) | Get32(p + 4);
}

// Offset of the first magic in [p, p + size), or size when there is none.
uint64_t FindMagic(const uint8_t* p, uint64_t size)
{
    const uint8_t m0 = static_cast<uint8_t>(c_stlMagic >> 24);
    uint64_t pos = 0;
    while (size >= 4 && pos <= size - 4)
    {
        const void* hit = std::memchr(p + pos, m0, size - 3 - pos);
        if (hit == nullptr)
            break;
        pos = static_cast<uint64_t>(static_cast<const uint8_t*>(hit) - p);
        if (Get32(p + pos) == c_stlMagic)
            return pos;
        ++pos;
    }
    return size;
}

} // namespace

StlPacket::StlPacket(uint64_t srcId, uint32_t sessionId, uint16_t packNum, StlCmd cmd,
                     const Utils::ByteArray& data)
    : m_magic(c_stlMagic), m_srcId(srcId), m_sessionId(sessionId), m_packNum(packNum),
      m_cmd(static_cast<uint32_t>(cmd.CastToInt())), m_dataSize(0), m_dataCrc(0), m_headerCrc(0), m_data(data)
{
    // A larger payload would be refused by every receiver (and would not fit the size field).
    ESS_ASSERT(data.Size() <= c_stlMaxPayload);
    m_dataSize = static_cast<uint32_t>(data.Size());
    if (m_dataSize != 0)
        m_dataCrc = Crc(data.Data(), m_dataSize);
}

StlPacket::StlPacket()
    : m_magic(c_stlMagic), m_srcId(0), m_sessionId(0), m_packNum(0), m_cmd(StlCmd::nonInitialize),
      m_dataSize(0), m_dataCrc(0), m_headerCrc(0)
{
}

std::string StlPacket::ToString() const
{
    StlCmd cmd(StlCmd::nonInitialize);
    const std::string name =
        (m_cmd <= 0x7FFFFFFF && cmd.FromInt(YrMeta::EnumValue(static_cast<int>(m_cmd)), false))
            ? cmd.ToString()
            : fmt::format("{}(Can`t resolve)", m_cmd);
    return fmt::format("Cmd:{}, SessionId:{}, num:{}, sz:{}", name, m_sessionId, m_packNum, m_dataSize);
}

Utils::ByteArray StlPacketSerializer::Serialize(const StlPacket& p)
{
    ESS_ASSERT(p.m_data.Size() == p.m_dataSize);

    uint8_t header[c_stlHeaderSize];
    Put32(header, p.m_magic);
    Put64(header + 4, p.m_srcId);
    Put32(header + 12, p.m_sessionId);
    Put16(header + 16, p.m_packNum);
    Put16(header + 18, static_cast<uint16_t>(p.m_cmd));
    Put32(header + 20, p.m_dataSize);
    Put32(header + 24, p.m_dataCrc);
    Put32(header + c_headerCrcOffset, Crc(header, c_headerCrcOffset));

    // The whole packet is reserved up front so that it is built without reallocation.
    Utils::ByteArray res(static_cast<uint64_t>(p.m_dataSize) + c_stlHeaderSize, uint64_t(0));
    res.Append(header, c_stlHeaderSize, false);
    if (!p.m_data.IsEmpty())
        res.Append(p.m_data.Data(), p.m_data.Size(), false);
    return res;
}

std::unique_ptr<StlPacket> StlPacketSerializer::ProcessData(const Utils::ByteArray& ba)
{
    ESS_ASSERT(!ba.IsNull());
    AppendToBuffer(ba);

    const Utils::ByteArray& buff = m_buff;
    const uint64_t size = buff.Size();
    if (size == 0)
        return nullptr;
    const uint8_t* data = buff.Data();

    const uint64_t beginPos = FindMagic(data, size);
    if (beginPos == size)
    {
        // The last 4 bytes may hold the start of a magic split across deliveries.
        if (size > 4)
            DropFront(size - 4);
        return nullptr;
    }

    // All sizes below are 64-bit: 32 + N must not wrap for N near 2^32.
    const uint64_t avail = size - beginPos;
    if (avail < c_stlHeaderSize)
    {
        DropFront(beginPos);
        return nullptr;
    }

    const uint8_t* h = data + beginPos;
    std::unique_ptr<StlPacket> p(new StlPacket());
    p->m_magic = Get32(h);
    p->m_srcId = Get64(h + 4);
    p->m_sessionId = Get32(h + 12);
    p->m_packNum = Get16(h + 16);
    p->m_cmd = Get16(h + 18);
    p->m_dataSize = Get32(h + 20);
    p->m_dataCrc = Get32(h + 24);
    const uint32_t headerCrc = Crc(h, c_headerCrcOffset);
    p->m_headerCrc = Get32(h + c_headerCrcOffset);

    // A false magic inside other bytes, or a header announcing more than any real frame:
    // drop one byte and search again.
    if (headerCrc != p->m_headerCrc || p->m_dataSize > c_stlMaxPayload)
    {
        DropFront(1);
        return nullptr;
    }

    const uint64_t packetSize = c_stlHeaderSize + static_cast<uint64_t>(p->m_dataSize);
    if (avail < packetSize)
    {
        DropFront(beginPos);
        return nullptr;
    }

    p->m_data = Utils::ByteArray(h + c_stlHeaderSize, p->m_dataSize);
    if (Crc(p->m_data.Data(), p->m_dataSize) != p->m_dataCrc)
    {
        DropFront(1);
        return nullptr;
    }

    ESS_ASSERT(p->m_magic == c_stlMagic);
    DropFront(beginPos + packetSize);
    return p;
}

void StlPacketSerializer::Reset()
{
    if (!m_buff.IsNull() && !m_buff.IsEmpty())
        DropFront(m_buff.Size());
}

void StlPacketSerializer::AppendToBuffer(const Utils::ByteArray& data)
{
    const uint64_t add = data.Size();
    const uint64_t needed = m_buff.Size() + add;
    if (m_buff.IsNull() || m_buff.Capacity() < needed)
    {
        // Geometric growth: a stream fed byte by byte must not copy the buffer on every byte.
        const uint64_t capacity = std::max<uint64_t>({needed, 2 * m_buff.Capacity(), 2 * 1024});
        Utils::ByteArray bigger(capacity, uint64_t(0));
        if (!m_buff.IsEmpty())
            bigger.Append(static_cast<const Utils::ByteArray&>(m_buff).Data(), m_buff.Size(), false);
        m_buff = std::move(bigger);
    }
    if (add != 0)
        m_buff.Append(data.Data(), add, false);
}

void StlPacketSerializer::DropFront(uint64_t count)
{
    if (count == 0)
        return;
    const uint64_t size = m_buff.Size();
    ESS_ASSERT(count <= size);
    const uint64_t rest = size - count;
    if (rest == 0 && m_buff.Capacity() > c_keepBufferCapacity)
    {
        m_buff = Utils::ByteArray();
        return;
    }
    uint8_t* p = m_buff.Data();
    if (rest != 0)
        std::memmove(p, p + count, rest);
    m_buff.Resize(rest);
}

} // namespace SessTranspLayer
