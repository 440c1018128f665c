#include "Utils/Crc32.h"

#include <cstring>
#include <zlib.h>

namespace Utils
{

namespace
{

const uint32_t c_polynomial = 0x04C11DB7;

uint32_t Reflect(uint32_t value, int bits)
{
    uint32_t res = 0;
    for (int i = 0; i < bits; ++i)
    {
        if (value & (1u << i))
            res |= 1u << (bits - 1 - i);
    }
    return res;
}

// Eight tables for slicing-by-8: table k holds the register after byte i followed by k
// zero bytes, so eight bytes are folded with eight independent look-ups per step.
struct Crc32Tables
{
    uint32_t t[8][256];

    Crc32Tables()
    {
        InitCrc32Table(t[0]);
        for (int i = 0; i < 256; ++i)
        {
            for (int k = 1; k < 8; ++k)
                t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
        }
    }
};

// Made on first use, so that a CRC computed by another unit's static initialiser never
// sees an empty table; the initialiser below fills it at load time in any case.
const Crc32Tables& Tables()
{
    static const Crc32Tables tables;
    return tables;
}

[[maybe_unused]] const Crc32Tables& g_tablesAtLoad = Tables();

inline uint32_t Load32(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

// zlib's braided routine is about twice as fast as slicing-by-8 on long buffers, but its set-up
// makes it slower below about a kilobyte (measured with bench/crc32.cpp), where session control
// packets and small media packets live.
const int32_t c_zlibFromLength = 1024;

uint32_t SlicingBy8(uint32_t r, const uint8_t* p, int32_t left)
{
    const auto& t = Tables().t;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    while (left >= 8)
    {
        const uint32_t lo = Load32(p) ^ r;
        const uint32_t hi = Load32(p + 4);
        r = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
            t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
        p += 8;
        left -= 8;
    }
#endif
    while (left-- > 0)
        r = t[0][(r ^ *p++) & 0xFF] ^ (r >> 8);
    return r;
}

} // namespace

uint32_t* InitCrc32Table(uint32_t* pTable)
{
    for (uint32_t i = 0; i < 256; ++i)
    {
        uint32_t r = Reflect(i, 8) << 24;
        for (int bit = 0; bit < 8; ++bit)
            r = (r & 0x80000000u) ? (r << 1) ^ c_polynomial : (r << 1);
        pTable[i] = Reflect(r, 32);
    }
    return pTable;
}

uint32_t Crc32(const void* pData, int32_t length, uint32_t initial, bool finalXor)
{
    const uint8_t* p = static_cast<const uint8_t*>(pData);
    if (length <= 0)
        return finalXor ? ~initial : initial;
    if (length < c_zlibFromLength)
    {
        const uint32_t r = SlicingBy8(initial, p, length);
        return finalXor ? ~r : r;
    }
    // zlib inverts the register before and after; undo both so that initial and finalXor keep
    // their meaning.
    const uint32_t z = uint32_t(::crc32(~initial & 0xFFFFFFFFu, p, uInt(length)));
    return finalXor ? z : ~z;
}

} // namespace Utils
