#pragma once
#include <cstdint>

namespace Utils
{

// Fills the 256-entry table of the reflected IEEE 802.3 CRC-32 (polynomial 0x04C11DB7);
// returns it.
uint32_t* InitCrc32Table(uint32_t* pTable);

// CRC-32 of length bytes from initial; inverted at the end when finalXor. A length of 0
// or below processes nothing. Crc32(p, n, 0xFFFFFFFF, true) is the zlib/PNG CRC-32.
uint32_t Crc32(const void* pData, int32_t length, uint32_t initial, bool finalXor);

} // namespace Utils
