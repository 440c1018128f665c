#include "Utils/Crc32.h"
#include <cstring>

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
    uint32_t r = initial;
    const uint8_t* p = static_cast<const uint8_t*>(pData);
    const auto& t = Tables().t;
    int32_t left = length > 0 ? length : 0;

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

    return finalXor ? ~r : r;
}

} // namespace Utils
