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

// CRC marks: one every c_crcMarkStep bytes of the buffer, used for payloads of at least
// c_markedCrcMin bytes while resynchronising.
const uint32_t c_crcMarkStep = 256;
const uint64_t c_markedCrcMin = 1024;

// Arithmetic on CRC registers (polynomials over GF(2) modulo the CRC polynomial, in the
// register's reflected bit order): a register followed by n zero bytes is the register times
// x^(8n). This is what lets a CRC over a range be put together from two running marks.
const uint32_t c_reflectedPoly = 0xEDB88320;

uint32_t MultModP(uint32_t a, uint32_t b)
{
    uint32_t product = 0;
    for (uint32_t m = 1u << 31; m != 0; m >>= 1)
    {
        if (a & m)
        {
            product ^= b;
            if ((a & (m - 1)) == 0)
                break;
        }
        b = (b & 1) ? (b >> 1) ^ c_reflectedPoly : b >> 1;
    }
    return product;
}

struct PowersOfX
{
    uint32_t x2n[32]; // x^(2^k)

    PowersOfX()
    {
        uint32_t p = 1u << 30; // x^1
        for (uint32_t& v : x2n)
        {
            v = p;
            p = MultModP(p, p);
        }
    }
};

// The register r followed by n zero bytes.
uint32_t ShiftCrc(uint32_t r, uint64_t n)
{
    static const PowersOfX s_powers;
    uint32_t xn = 1u << 31; // x^0
    for (unsigned k = 3; n != 0; n >>= 1, ++k)
    {
        if (n & 1)
            xn = MultModP(s_powers.x2n[k & 31], xn);
    }
    return MultModP(xn, r);
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

StlPacket::StlPacket(ParsedKey)
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

void StlPacketSerializer::WriteHeader(const StlPacket& p, uint8_t* pOut)
{
    ESS_ASSERT(p.m_data.Size() == p.m_dataSize);
    Put32(pOut, p.m_magic);
    Put64(pOut + 4, p.m_srcId);
    Put32(pOut + 12, p.m_sessionId);
    Put16(pOut + 16, p.m_packNum);
    Put16(pOut + 18, static_cast<uint16_t>(p.m_cmd));
    Put32(pOut + 20, p.m_dataSize);
    Put32(pOut + 24, p.m_dataCrc);
    Put32(pOut + c_headerCrcOffset, Crc(pOut, c_headerCrcOffset));
}

Utils::ByteArray StlPacketSerializer::Serialize(const StlPacket& p)
{
    // Sized once; the header is written in place and the payload copied behind it.
    Utils::ByteArray res(p.WireSize(), uint64_t(c_stlHeaderSize));
    WriteHeader(p, res.MutableData());
    if (!p.m_data.IsEmpty())
        res.Append(p.m_data.Data(), p.m_data.Size(), false);
    return res;
}

std::unique_ptr<StlPacket> StlPacketSerializer::ProcessData(const Utils::ByteArray& ba)
{
    ESS_ASSERT(!ba.IsNull());
    if (std::unique_ptr<StlPacket> p = TakeWholeFrame(ba))
        return p;
    AppendToBuffer(ba.Data(), ba.Size());
    if (BufferedSize() == 0 || !SeekMagic())
        return nullptr;

    // All sizes below are 64-bit: 32 + N must not wrap for N near 2^32.
    const uint64_t beginPos = m_scanPos - m_begin;
    const uint64_t avail = m_buff.Size() - m_scanPos;
    if (avail < c_stlHeaderSize)
    {
        DropFront(beginPos); // the header is awaited
        return nullptr;
    }
    const uint8_t* h = BufferData() + m_scanPos;
    CheckHeader(h);
    // Rejected: drop one byte from the front and search again. While bytes precede the magic,
    // the same magic is met again, and its verdict is reused.
    if (m_header == hsBadHeader)
    {
        DropFront(1);
        return nullptr;
    }
    if (avail < m_packetSize)
    {
        DropFront(beginPos); // the payload is awaited
        return nullptr;
    }
    if (m_header == hsBadPayload || !CheckPayload(h))
    {
        DropFront(1);
        return nullptr;
    }
    std::unique_ptr<StlPacket> p = ReadPacket(h);
    DropFront(beginPos + m_packetSize);
    return p;
}

// The common case, a chunk that starts with a whole valid frame while nothing is buffered, is
// parsed in place: the chunk is not copied into the buffer first. Anything else goes the long way.
std::unique_ptr<StlPacket> StlPacketSerializer::TakeWholeFrame(const Utils::ByteArray& ba)
{
    const uint64_t size = ba.Size();
    if (BufferedSize() != 0 || size < c_stlHeaderSize)
        return nullptr;
    const uint8_t* h = ba.Data();
    const uint64_t packetSize = c_stlHeaderSize + uint64_t(Get32(h + 20));
    if (Get32(h) != c_stlMagic || packetSize > size || packetSize - c_stlHeaderSize > c_stlMaxPayload)
        return nullptr;
    m_work += packetSize;
    if (Crc(h, c_headerCrcOffset) != Get32(h + c_headerCrcOffset) ||
        Crc(h + c_stlHeaderSize, packetSize - c_stlHeaderSize) != Get32(h + 24))
        return nullptr;
    std::unique_ptr<StlPacket> p = ReadPacket(h);
    if (size > packetSize)
        AppendToBuffer(h + packetSize, size - packetSize);
    return p;
}

// Finds the magic the next packet starts with; false when there is none yet (the bytes that
// cannot start one are dropped).
bool StlPacketSerializer::SeekMagic()
{
    if (m_scanPos < m_begin)
    {
        m_scanPos = m_begin;
        m_atMagic = false;
    }
    if (m_atMagic)
        return true;
    const uint64_t end = m_buff.Size();
    const uint64_t found = FindMagic(BufferData() + m_scanPos, end - m_scanPos);
    m_work += std::min<uint64_t>(found + 4, end - m_scanPos);
    if (found == end - m_scanPos)
    {
        // Every start before the last 3 bytes is searched; those wait for more bytes.
        if (end - m_scanPos > 3)
            m_scanPos = end - 3;
        // The last 4 bytes may hold the start of a magic split across deliveries.
        if (end - m_begin > 4)
            DropFront(end - m_begin - 4);
        return false;
    }
    m_scanPos += found;
    m_atMagic = true;
    m_header = hsUnknown;
    return true;
}

// Judges the header at the magic once: a false magic inside other bytes, or a header announcing
// more than any real frame, is bad.
void StlPacketSerializer::CheckHeader(const uint8_t* h)
{
    if (m_header != hsUnknown)
        return;
    m_work += c_headerCrcOffset;
    const uint32_t dataSize = Get32(h + 20);
    if (Crc(h, c_headerCrcOffset) != Get32(h + c_headerCrcOffset) || dataSize > c_stlMaxPayload)
    {
        m_header = hsBadHeader;
        return;
    }
    m_header = hsGood;
    m_packetSize = c_stlHeaderSize + static_cast<uint64_t>(dataSize);
}

bool StlPacketSerializer::CheckPayload(const uint8_t* h)
{
    if (PayloadCrc(m_scanPos + c_stlHeaderSize, m_scanPos + m_packetSize) == Get32(h + 24))
        return true;
    m_header = hsBadPayload;
    m_resync = true;
    return false;
}

std::unique_ptr<StlPacket> StlPacketSerializer::ReadPacket(const uint8_t* h)
{
    auto p = std::make_unique<StlPacket>(StlPacket::ParsedKey());
    p->m_magic = Get32(h);
    p->m_srcId = Get64(h + 4);
    p->m_sessionId = Get32(h + 12);
    p->m_packNum = Get16(h + 16);
    p->m_cmd = Get16(h + 18);
    p->m_dataSize = Get32(h + 20);
    p->m_dataCrc = Get32(h + 24);
    p->m_headerCrc = Get32(h + c_headerCrcOffset);
    p->m_data = Utils::ByteArray(h + c_stlHeaderSize, p->m_dataSize);
    ESS_ASSERT(p->m_magic == c_stlMagic);
    return p;
}

void StlPacketSerializer::Reset()
{
    if (!m_buff.IsNull() && BufferedSize() != 0)
        DropFront(BufferedSize());
}

void StlPacketSerializer::AppendToBuffer(const uint8_t* pData, uint64_t add)
{
    const uint64_t size = m_buff.Size();
    const uint64_t live = size - m_begin;
    if (m_buff.IsNull() || size + add > m_buff.Capacity())
    {
        const uint64_t needed = live + add;
        if (!m_buff.IsNull() && needed <= m_buff.Capacity() && m_begin >= live)
        {
            // Moving the live bytes costs no more than the bytes consumed since they last moved.
            uint8_t* p = m_buff.MutableData();
            std::memmove(p, p + m_begin, live);
            m_buff.Resize(live);
        }
        else
        {
            // Geometric growth: a stream fed byte by byte must not copy the buffer on every byte.
            const uint64_t capacity = std::max<uint64_t>({needed, 2 * m_buff.Capacity(), 2 * 1024});
            Utils::ByteArray bigger(capacity, uint64_t(0));
            if (live != 0)
                bigger.Append(BufferData() + m_begin, live, false);
            m_buff = std::move(bigger);
        }
        m_work += live;
        m_scanPos -= std::min(m_scanPos, m_begin);
        m_begin = 0;
        m_crcMarks.clear(); // the marks describe positions that have moved
    }
    if (add != 0)
        m_buff.Append(pData, add, false);
}

void StlPacketSerializer::DropFront(uint64_t count)
{
    if (count == 0)
        return;
    ESS_ASSERT(count <= BufferedSize());
    m_begin += count;
    if (m_begin == m_buff.Size())
    {
        ForgetAll();
        return;
    }
    if (m_begin > m_scanPos)
    {
        // The magic under consideration (if any) lost its first byte.
        m_scanPos = m_begin;
        m_atMagic = false;
    }
}

void StlPacketSerializer::ForgetAll()
{
    // A buffer that grew for one large packet is released once it runs empty.
    if (m_buff.Capacity() > c_keepBufferCapacity)
        m_buff = Utils::ByteArray();
    else if (!m_buff.IsNull())
        m_buff.Resize(0);
    m_begin = 0;
    m_scanPos = 0;
    m_atMagic = false;
    m_header = hsUnknown;
    m_packetSize = 0;
    m_resync = false;
    if (m_crcMarks.capacity() > 4096)
        std::vector<uint32_t>().swap(m_crcMarks);
    else
        m_crcMarks.clear();
}

uint32_t StlPacketSerializer::PayloadCrc(uint64_t begin, uint64_t end)
{
    const uint8_t* data = BufferData();
    const uint64_t alignedBegin = (begin + c_crcMarkStep - 1) / c_crcMarkStep * c_crcMarkStep;
    const uint64_t alignedEnd = end / c_crcMarkStep * c_crcMarkStep;
    if (!m_resync || end - begin < c_markedCrcMin || alignedEnd <= alignedBegin)
    {
        m_work += end - begin;
        return Crc(data + begin, end - begin);
    }

    // The register over [alignedBegin, alignedEnd) follows from the two marks around it; only
    // the unaligned ends are read.
    ExtendCrcMarks(alignedEnd / c_crcMarkStep);
    m_work += (alignedBegin - begin) + (end - alignedEnd) + c_stlHeaderSize;
    uint32_t r = Utils::Crc32(data + begin, static_cast<int32_t>(alignedBegin - begin), c_crcInit, false);
    r = ShiftCrc(r ^ m_crcMarks[alignedBegin / c_crcMarkStep], alignedEnd - alignedBegin) ^
        m_crcMarks[alignedEnd / c_crcMarkStep];
    r = Utils::Crc32(data + alignedEnd, static_cast<int32_t>(end - alignedEnd), r, false);
    return ~r;
}

void StlPacketSerializer::ExtendCrcMarks(uint64_t index)
{
    const uint8_t* data = BufferData();
    if (m_crcMarks.empty())
        m_crcMarks.push_back(0);
    while (m_crcMarks.size() <= index)
    {
        const uint64_t from = (m_crcMarks.size() - 1) * c_crcMarkStep;
        m_crcMarks.push_back(Utils::Crc32(data + from, c_crcMarkStep, m_crcMarks.back(), false));
        m_work += c_crcMarkStep;
    }
}

} // namespace SessTranspLayer
