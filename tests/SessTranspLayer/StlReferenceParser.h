#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>
#include "SessTranspLayer/StlPacket.h"
#include "Utils/Crc32.h"

namespace SessTranspLayer
{

// The parsing rules in their plainest form: every call searches from the front and removes
// consumed bytes from the front. Slow on hostile input (quadratic), so only for comparisons on
// small streams; StlPacketSerializer must give the same result after every call.
class StlReferenceParser
{
public:
    // Appends n bytes; true with the wire bytes of one valid packet in packet.
    bool ProcessData(const uint8_t* p, size_t n, std::vector<uint8_t>& packet)
    {
        packet.clear();
        m_buff.insert(m_buff.end(), p, p + n);
        const size_t size = m_buff.size();
        if (size == 0)
            return false;

        const uint8_t magic[4] = {0x45, 0x00, 0x6F, 0xA9};
        const size_t begin =
            static_cast<size_t>(std::search(m_buff.begin(), m_buff.end(), magic, magic + 4) - m_buff.begin());
        if (begin == size)
        {
            if (size > 4)
                Drop(size - 4);
            return false;
        }
        const uint64_t avail = size - begin;
        if (avail < c_stlHeaderSize)
        {
            Drop(begin);
            return false;
        }
        const uint8_t* h = m_buff.data() + begin;
        const uint64_t n32 = Be32(h + 20);
        if (Crc(h, 28) != Be32(h + 28) || n32 > c_stlMaxPayload)
        {
            Drop(1);
            return false;
        }
        const uint64_t packetSize = c_stlHeaderSize + n32;
        if (avail < packetSize)
        {
            Drop(begin);
            return false;
        }
        if (Crc(h + c_stlHeaderSize, n32) != Be32(h + 24))
        {
            Drop(1);
            return false;
        }
        packet.assign(h, h + packetSize);
        Drop(begin + static_cast<size_t>(packetSize));
        return true;
    }

    size_t BufferedSize() const { return m_buff.size(); }
    void Reset() { m_buff.clear(); }

private:
    static uint32_t Be32(const uint8_t* p)
    {
        return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
    }

    static uint32_t Crc(const uint8_t* p, uint64_t n)
    {
        return Utils::Crc32(p, static_cast<int32_t>(n), 0xFFFFFFFF, true);
    }

    void Drop(size_t n) { m_buff.erase(m_buff.begin(), m_buff.begin() + static_cast<std::ptrdiff_t>(n)); }

    std::vector<uint8_t> m_buff;
};

} // namespace SessTranspLayer
