#pragma once
#include <cstdint>

namespace Utils
{

// Tiny linear congruential generator: one multiply-add per draw, no division. Not
// synchronised: one user at a time.
class Random
{
public:
    explicit Random(uint32_t seed = 1, bool use16BitArithmetic = false)
        : m_seed(seed), m_use16Bit(use16BitArithmetic)
    {
    }

    // A value in 0 .. range-1 (0 for range 0 and 1); the state advances on every call.
    uint32_t Next(uint32_t range)
    {
        if (m_use16Bit)
        {
            m_seed = Mul32(m_seed, c_multiplier) + 1;
            return MulHigh32(m_seed, range);
        }
        m_seed = m_seed * c_multiplier + 1;
        return static_cast<uint32_t>((static_cast<uint64_t>(m_seed) * range) >> 32);
    }

    uint32_t Seed() const { return m_seed; }

private:
    static const uint32_t c_multiplier = 134775813; // 0x08088405

    // Low 32 bits of a*b from 16-bit partial products.
    static uint32_t Mul32(uint32_t a, uint32_t b)
    {
        const uint32_t aLo = a & 0xFFFF, aHi = a >> 16, bLo = b & 0xFFFF, bHi = b >> 16;
        return aLo * bLo + ((aHi * bLo + aLo * bHi) << 16);
    }

    // High 32 bits of the 64-bit a*b from 16-bit partial products.
    static uint32_t MulHigh32(uint32_t a, uint32_t b)
    {
        const uint32_t aLo = a & 0xFFFF, aHi = a >> 16, bLo = b & 0xFFFF, bHi = b >> 16;
        const uint32_t ll = aLo * bLo, lh = aLo * bHi, hl = aHi * bLo, hh = aHi * bHi;
        const uint32_t mid = (ll >> 16) + (lh & 0xFFFF) + (hl & 0xFFFF); // at most 3 * 0xFFFF
        return hh + (lh >> 16) + (hl >> 16) + (mid >> 16);
    }

    uint32_t m_seed;
    bool m_use16Bit;
};

} // namespace Utils
