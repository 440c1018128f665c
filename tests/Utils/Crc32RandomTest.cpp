#include <gtest/gtest.h>
#include <cstring>
#include <vector>
#include "Utils/Crc32.h"
#include "Utils/Random.h"

namespace
{

// One table look-up per byte, straight from the definition: the reference for the fast path.
uint32_t BitwiseCrc(const uint8_t* p, size_t n, uint32_t r)
{
    for (size_t i = 0; i < n; ++i)
    {
        r ^= p[i];
        for (int b = 0; b < 8; ++b)
            r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : (r >> 1);
    }
    return r;
}

} // namespace

TEST(Crc32Test, StandardValues)
{
    EXPECT_EQ(Utils::Crc32("123456789", 9, 0xFFFFFFFF, true), 0xCBF43926u);
    EXPECT_EQ(Utils::Crc32("abc", 3, 0xFFFFFFFF, true), 0x352441C2u);
    EXPECT_EQ(Utils::Crc32("", 0, 0xFFFFFFFF, true), 0u);
    EXPECT_EQ(Utils::Crc32("123456789", 9, 0xFFFFFFFF, false), 0x340BC6D9u);
    EXPECT_EQ(Utils::Crc32("123456789", -5, 0xFFFFFFFF, true), 0u);
    EXPECT_EQ(Utils::Crc32("123456789", -5, 0x1234, false), 0x1234u);
}

TEST(Crc32Test, TableIsTheIeeeTable)
{
    uint32_t table[256];
    EXPECT_EQ(Utils::InitCrc32Table(table), table);
    EXPECT_EQ(table[0], 0u);
    EXPECT_EQ(table[1], 0x77073096u);
    EXPECT_EQ(table[128], 0xEDB88320u);
    EXPECT_EQ(table[255], 0x2D02EF8Du);
}

TEST(Crc32Test, FastPathMatchesBytewiseForAllLengthsAndAlignments)
{
    std::vector<uint8_t> buf(300);
    uint32_t x = 12345;
    for (auto& b : buf)
    {
        x = x * 1103515245 + 12345;
        b = static_cast<uint8_t>(x >> 16);
    }
    for (size_t offset = 0; offset < 8; ++offset)
    {
        for (size_t len = 0; len + offset <= 90; ++len)
        {
            ASSERT_EQ(Utils::Crc32(buf.data() + offset, static_cast<int32_t>(len), 0xFFFFFFFF, true),
                      ~BitwiseCrc(buf.data() + offset, len, 0xFFFFFFFF))
                << "offset " << offset << " len " << len;
        }
    }
    // Chaining: the bare register of the first part seeds the second.
    const uint32_t part = Utils::Crc32(buf.data(), 100, 0xFFFFFFFF, false);
    EXPECT_EQ(Utils::Crc32(buf.data() + 100, 200, part, true),
              Utils::Crc32(buf.data(), 300, 0xFFFFFFFF, true));
}

TEST(Crc32Test, LongBuffersMatchBytewiseWithAnyInitialAndChaining)
{
    std::vector<uint8_t> buf(5000);
    for (size_t i = 0; i < buf.size(); ++i)
        buf[i] = static_cast<uint8_t>(i * 131 + 7);
    for (size_t len : {1023u, 1024u, 1600u, 4128u, 5000u})
    {
        for (uint32_t initial : {0xFFFFFFFFu, 0u, 0x12345678u})
        {
            const uint32_t reg = BitwiseCrc(buf.data(), len, initial);
            ASSERT_EQ(Utils::Crc32(buf.data(), int32_t(len), initial, false), reg) << len;
            ASSERT_EQ(Utils::Crc32(buf.data(), int32_t(len), initial, true), ~reg) << len;
        }
    }
    const uint32_t part = Utils::Crc32(buf.data(), 3000, 0xFFFFFFFF, false);
    EXPECT_EQ(Utils::Crc32(buf.data() + 3000, 2000, part, true), Utils::Crc32(buf.data(), 5000, 0xFFFFFFFF, true));
}

TEST(RandomTest, SequenceFromDefaultState)
{
    Utils::Random r;
    EXPECT_EQ(r.Next(0xFFFFFFFF), 134775813u);
    EXPECT_EQ(r.Seed(), 134775814u);
    EXPECT_EQ(r.Next(0xFFFFFFFF), 3698175006u);
    EXPECT_EQ(r.Seed(), 3698175007u);
    EXPECT_EQ(r.Next(0xFFFFFFFF), 870078619u);

    Utils::Random six;
    EXPECT_EQ(six.Next(6), 0u);
    EXPECT_EQ(six.Next(6), 5u);
    EXPECT_EQ(six.Next(6), 1u);
}

TEST(RandomTest, DegenerateRanges)
{
    Utils::Random r(777);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(r.Next(1), 0u);
    const uint32_t before = r.Seed();
    EXPECT_EQ(r.Next(0), 0u);
    EXPECT_NE(r.Seed(), before);
}

TEST(RandomTest, SixteenBitArithmeticGivesSameResults)
{
    const uint32_t seeds[] = {0u, 1u, 0xFFFFFFFFu, 0x80000000u, 0x12345678u};
    const uint32_t ranges[] = {0u, 1u, 6u, 0xFFFFu, 0x10000u, 0x7FFFFFFFu, 0xFFFFFFFFu, 0xDEADBEEFu};
    for (uint32_t seed : seeds)
    {
        for (uint32_t range : ranges)
        {
            Utils::Random a(seed, false), b(seed, true);
            for (int i = 0; i < 200; ++i)
            {
                const uint32_t va = a.Next(range);
                ASSERT_EQ(va, b.Next(range)) << "seed " << seed << " range " << range;
                if (range > 0)
                {
                    ASSERT_LT(va, range);
                }
            }
            ASSERT_EQ(a.Seed(), b.Seed());
        }
    }
}
