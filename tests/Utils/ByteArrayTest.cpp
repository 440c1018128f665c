#include <gtest/gtest.h>
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include "Utils/ByteArray.h"

namespace
{

std::string Bytes(const Utils::ByteArray& ba)
{
    return ba.IsNull() ? std::string() : std::string(reinterpret_cast<const char*>(ba.Data()), ba.Size());
}

const uint8_t c_data[] = {1, 2, 3, 4, 5, 6, 7, 8};

} // namespace

TEST(ByteArrayTest, NullAndEmpty)
{
    Utils::ByteArray null;
    EXPECT_TRUE(null.IsNull());
    EXPECT_TRUE(null.IsEmpty());
    EXPECT_EQ(null.Size(), 0u);
    EXPECT_EQ(null.Capacity(), 0u);
    EXPECT_EQ(null.ToString(0, 0), "");

    Utils::ByteArray empty(c_data, 0, 0);
    EXPECT_FALSE(empty.IsNull());
    EXPECT_TRUE(empty.IsEmpty());
    EXPECT_TRUE(empty == null);

    Utils::ByteArray viaAppend;
    viaAppend.Append(c_data, 0, false);
    EXPECT_FALSE(viaAppend.IsNull());
    EXPECT_EQ(viaAppend.Capacity(), 0u);
}

TEST(ByteArrayTest, Constructors)
{
    Utils::ByteArray raw(c_data, 3, 8);
    EXPECT_EQ(Bytes(raw), std::string("\x01\x02\x03"));
    EXPECT_EQ(raw.Capacity(), 8u);
    EXPECT_EQ(Utils::ByteArray(c_data, 3, 0).Capacity(), 3u);

    Utils::ByteArray filled(4, 0xAB, 10);
    EXPECT_EQ(Bytes(filled), std::string(4, '\xAB'));
    EXPECT_EQ(filled.Capacity(), 10u);
    EXPECT_EQ(Utils::ByteArray(4, 0xAB, 0).Capacity(), 4u);

    Utils::ByteArray reserved(16, 5);
    EXPECT_EQ(reserved.Capacity(), 16u);
    EXPECT_EQ(reserved.Size(), 5u);

    Utils::ByteArray text(std::string("abc"));
    EXPECT_EQ(text.Size(), 3u);
    EXPECT_EQ(text.Capacity(), 3u);
    EXPECT_EQ(Bytes(text), "abc");
}

TEST(ByteArrayTest, ReadsShareTheBlockAndMutableDataUnsharesIt)
{
    Utils::ByteArray a(c_data, 4, 0);
    Utils::ByteArray b = a;
    const uint8_t* block = std::as_const(a).Data();
    ASSERT_EQ(block, std::as_const(b).Data());

    b.MutableData()[0] = 0x7F;
    EXPECT_NE(block, std::as_const(b).Data());
    EXPECT_EQ(std::as_const(a).Data()[0], 1);
    EXPECT_EQ(std::as_const(b).Data()[0], 0x7F);
    // Now private: writing copies nothing.
    EXPECT_EQ(block, a.MutableData());
}

TEST(ByteArrayTest, CopyOnWrite)
{
    Utils::ByteArray a(c_data, 4, 0);
    const uint8_t* aBlock = static_cast<const Utils::ByteArray&>(a).Data();
    Utils::ByteArray b = a;
    EXPECT_EQ(static_cast<const Utils::ByteArray&>(a).Data(), static_cast<const Utils::ByteArray&>(b).Data());
    const uint8_t x = 9;
    b.Append(&x, 1, true);
    // The writer took its own block; the original keeps its block, size and bytes.
    EXPECT_EQ(static_cast<const Utils::ByteArray&>(a).Data(), aBlock);
    EXPECT_NE(static_cast<const Utils::ByteArray&>(b).Data(), aBlock);
    EXPECT_EQ(a.Size(), 4u);
    EXPECT_EQ(Bytes(a), std::string("\x01\x02\x03\x04"));
    EXPECT_EQ(Bytes(b), std::string("\x01\x02\x03\x04\x09"));

    Utils::ByteArray c = a;
    c.Data()[0] = 0x7F; // non-const access unshares first
    EXPECT_EQ(std::as_const(a).Data()[0], 1);
    EXPECT_EQ(std::as_const(c).Data()[0], 0x7F);

    Utils::ByteArray d = a;
    d.Fill(2, 0);
    d.Resize(1);
    EXPECT_EQ(Bytes(a), std::string("\x01\x02\x03\x04"));
}

TEST(ByteArrayTest, AppendGrowthIsExact)
{
    Utils::ByteArray fits(c_data, 3, 8);
    const uint8_t* before = static_cast<const Utils::ByteArray&>(fits).Data();
    fits.Append(c_data + 3, 5, false);
    EXPECT_EQ(static_cast<const Utils::ByteArray&>(fits).Data(), before);
    EXPECT_EQ(fits.Capacity(), 8u);
    EXPECT_EQ(Bytes(fits), std::string(reinterpret_cast<const char*>(c_data), 8));

    Utils::ByteArray grows(c_data, 3, 6);
    grows.Append(c_data + 3, 5, true);
    EXPECT_EQ(grows.Capacity(), 8u);
    EXPECT_EQ(Bytes(grows), std::string(reinterpret_cast<const char*>(c_data), 8));

    Utils::ByteArray fromNull;
    fromNull.Append(c_data, 5, false);
    EXPECT_EQ(fromNull.Capacity(), 5u);
    EXPECT_EQ(fromNull.Size(), 5u);

    Utils::ByteArray other(std::string("xy"));
    fromNull.Append(other, true);
    EXPECT_EQ(fromNull.Size(), 7u);
    EXPECT_EQ(Bytes(fromNull).substr(5), "xy");
    fromNull.Append(Utils::ByteArray(c_data, 0, 0), false); // empty, non-null: nothing added
    EXPECT_EQ(fromNull.Size(), 7u);
}

TEST(ByteArrayTest, AppendToItself)
{
    Utils::ByteArray a(std::string("abc"));
    a.Append(a, true);
    EXPECT_EQ(Bytes(a), "abcabc");
    EXPECT_EQ(a.Capacity(), 6u);

    // A pointer into its own block, with growth.
    a.Append(static_cast<const Utils::ByteArray&>(a).Data() + 1, 2, true);
    EXPECT_EQ(Bytes(a), "abcabcbc");

    // Without growth, within the capacity.
    Utils::ByteArray b(std::string("xy").data(), 2, 4);
    b.Append(b, false);
    EXPECT_EQ(Bytes(b), "xyxy");

    // A shared copy appended to the array sharing its block.
    Utils::ByteArray c(std::string("pq"));
    Utils::ByteArray d = c;
    c.Append(d, true);
    EXPECT_EQ(Bytes(c), "pqpq");
    EXPECT_EQ(Bytes(d), "pq");
}

TEST(ByteArrayTest, CutFromBegin)
{
    Utils::ByteArray a(c_data, 4, 0);
    Utils::ByteArray shared = a;
    Utils::ByteArray head = a.CutFromBegin(2);
    EXPECT_EQ(Bytes(head), std::string("\x01\x02"));
    EXPECT_EQ(head.Capacity(), 2u);
    EXPECT_EQ(Bytes(a), std::string("\x03\x04"));
    EXPECT_EQ(a.Capacity(), 4u);
    EXPECT_EQ(Bytes(shared), std::string("\x01\x02\x03\x04"));

    // Private block: cut in place.
    Utils::ByteArray none = a.CutFromBegin(0);
    EXPECT_FALSE(none.IsNull());
    EXPECT_TRUE(none.IsEmpty());
    EXPECT_EQ(Bytes(a), std::string("\x03\x04"));
    EXPECT_EQ(a.Capacity(), 4u);

    Utils::ByteArray all = a.CutFromBegin(2);
    EXPECT_EQ(Bytes(all), std::string("\x03\x04"));
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_FALSE(a.IsNull());
    EXPECT_EQ(a.Capacity(), 4u);
}

TEST(ByteArrayTest, ResizeAndFill)
{
    Utils::ByteArray a(8, 0, 0);
    a.Fill(3, 0x11);
    EXPECT_EQ(a.Size(), 3u);
    a.Resize(5);
    EXPECT_EQ(std::as_const(a).Data()[0], 0x11);
    EXPECT_EQ(std::as_const(a).Data()[2], 0x11);
    // Bytes beyond the fill keep what the block held before.
    EXPECT_EQ(std::as_const(a).Data()[3], 0);
    a.Resize(0);
    EXPECT_FALSE(a.IsNull());
    EXPECT_EQ(a.Capacity(), 8u);
}

TEST(ByteArrayTest, ToString)
{
    const uint8_t bytes[] = {0x01, 0xAB, 0xFF};
    Utils::ByteArray a(bytes, 3, 0);
    EXPECT_EQ(a.ToString(0, 0), "01 ab ff");
    EXPECT_EQ(a.ToString(2, 0), "01 ab (...)");
    EXPECT_EQ(a.ToString(0, 1), "ab ff");
    EXPECT_EQ(a.ToString(0, 3), "");
    EXPECT_EQ(Utils::ByteArray(bytes, 0, 0).ToString(0, 5), "");
}

TEST(ByteArrayTest, Equality)
{
    Utils::ByteArray a(std::string("abc")), b(std::string("abc")), c(std::string("abd")),
        d(std::string("ab"));
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a != b);
    EXPECT_TRUE(a != c);
    EXPECT_TRUE(a != d);
    EXPECT_TRUE(Utils::ByteArray() == Utils::ByteArray(4, 0));
    EXPECT_TRUE(Utils::ByteArray(4, 2) != Utils::ByteArray());
}

TEST(ByteArrayDeathTest, MisuseHalts)
{
    EXPECT_DEATH(
        {
            Utils::ByteArray a(c_data, 3, 6);
            a.Append(c_data, 5, false);
        },
        "\\( ba\\.m_size \\+ size \\) <= ba\\.m_capacity");
    EXPECT_DEATH(
        {
            Utils::ByteArray a;
            a.Append(nullptr, 0, true);
        },
        "p != NULL");
    // A size whose sum with the used bytes wraps 64 bits halts before any byte is copied.
    EXPECT_DEATH(
        {
            Utils::ByteArray a(c_data, 3, 8);
            a.Append(c_data, UINT64_MAX - 1, false);
        },
        "size <= std::numeric_limits<uint64_t>::max\\(\\) - cur\\.m_size");
    EXPECT_DEATH(
        {
            Utils::ByteArray a(c_data, 3, 8);
            a.Append(c_data, UINT64_MAX, true);
        },
        "size <= std::numeric_limits<uint64_t>::max\\(\\) - cur\\.m_size");
    EXPECT_DEATH({ Utils::ByteArray a(c_data, 4, 2); }, "capacity >= size");
    EXPECT_DEATH({ Utils::ByteArray a(4, 1, 2); }, "capacity >= size");
    EXPECT_DEATH({ Utils::ByteArray a(2, 4); }, "size <= capacity");
    EXPECT_DEATH({ Utils::ByteArray a{std::string()}; }, "!s.empty\\(\\)");
    EXPECT_DEATH(
        {
            Utils::ByteArray a(c_data, 4, 0);
            a.CutFromBegin(5);
        },
        "size <= m_data\\.Get\\(\\)\\.m_size");
    EXPECT_DEATH(
        {
            Utils::ByteArray a(c_data, 3, 0);
            a.ToString(0, 4);
        },
        "offset <= Size\\(\\)");
    EXPECT_DEATH(
        {
            Utils::ByteArray a(c_data, 3, 0);
            a.Resize(4);
        },
        "size <= ba\\.m_capacity");
    EXPECT_DEATH(
        {
            Utils::ByteArray a;
            a.Append(Utils::ByteArray(), true);
        },
        "!ba\\.IsNull\\(\\)");
    EXPECT_DEATH(
        {
            const Utils::ByteArray a;
            a.Data();
        },
        "!IsNull\\(\\)");
}

// A block is cleared only where a Resize exposes bytes that never held content; bytes a read
// wrote into the spare capacity are taken as they are.
TEST(ByteArrayTest, ResizeExposesOnlyClearedOrWrittenBytes)
{
    // Dirty the heap first, so that an uncleared block would likely show it.
    for (int i = 0; i < 8; ++i)
    {
        Utils::ByteArray dirty(uint64_t(4096), uint8_t(0xAB), 0);
    }
    Utils::ByteArray a(uint64_t(4096), uint64_t(0));
    a.Append("xy", 2, false);
    a.Resize(4096);
    EXPECT_EQ(std::as_const(a).Data()[0], 'x');
    EXPECT_EQ(std::count(std::as_const(a).Data() + 2, std::as_const(a).Data() + 4096, 0), 4094);

    Utils::ByteArray b(uint64_t(16), uint64_t(0));
    std::memcpy(b.MutableData(), "abcdef", 6);
    b.ResizeWritten(6);
    EXPECT_EQ(Bytes(b), std::string("abcdef"));
    b.Resize(2);
    b.Resize(8); // the earlier content comes back, the never-written rest is cleared
    EXPECT_EQ(Bytes(b), std::string("abcdef\0\0", 8));
}
