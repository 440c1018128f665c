#include <gtest/gtest.h>

#include <cmath>

#include "YrMetaTestTypes.h"

namespace
{

using namespace YrMetaTest;
using Utils::ByteArray;

class WithNoZero : public YrMeta::ObjectBaseCached<YrMeta::DefaultMetaCache>
{
public:
    int m_before = 5;
    NoZero m_e = NoZero::Two;
    int m_after = 6;

    boost::shared_ptr<YrMeta::Info> CreateInfo() const override
    {
        boost::shared_ptr<YrMeta::Info> info(new YrMeta::Info(this));
        YrMeta::Info::AddField(*info, "m_before", &m_before);
        YrMeta::Info::AddField(*info, "m_e", &m_e);
        YrMeta::Info::AddField(*info, "m_after", &m_after);
        return info;
    }
};

TEST(YrMetaClearTest, EveryKindGetsItsClearedValue)
{
    AllKinds a;
    a.m_bool = true;
    a.m_u8 = 1;
    a.m_short = -1;
    a.m_int = 7;
    a.m_i64 = -7;
    a.m_u16 = 9;
    a.m_u32 = 9;
    a.m_u64 = 9;
    a.m_float = -2.5f;
    a.m_double = -0.0;
    a.m_string = std::string(100, 's');
    a.m_wstring = L"wide";
    a.m_bytes = ByteArray(std::string("xyz"));
    a.m_enum = Color::Blue;
    a.m_smart = VdiCommon::SendDataRes::RemoteNotReady;
    a.m_inner = Inner(3, 4);
    a.m_ints = {1, 2, 3};
    a.m_inners = {Inner(1, 1)};
    const std::size_t stringCapacity = a.m_string.capacity();

    YrMeta::Clear(&a);

    EXPECT_FALSE(a.m_bool);
    EXPECT_EQ(0, a.m_u8);
    EXPECT_EQ(0, a.m_short);
    EXPECT_EQ(0, a.m_int);
    EXPECT_EQ(0, a.m_i64);
    EXPECT_EQ(0, a.m_u16);
    EXPECT_EQ(0u, a.m_u32);
    EXPECT_EQ(0u, a.m_u64);
    EXPECT_EQ(0.0f, a.m_float);
    EXPECT_FALSE(std::signbit(a.m_double)); // +0.0, not the -0.0 it held
    EXPECT_TRUE(a.m_string.empty());
    EXPECT_EQ(stringCapacity, a.m_string.capacity());
    EXPECT_TRUE(a.m_wstring.empty());
    EXPECT_FALSE(a.m_bytes.IsNull());
    EXPECT_EQ(0u, a.m_bytes.Size());
    EXPECT_EQ(3u, a.m_bytes.Capacity());
    EXPECT_EQ(0, static_cast<int>(a.m_enum));
    EXPECT_EQ("Failed", a.m_smart.ToString());
    EXPECT_EQ(0, a.m_inner.m_a);
    EXPECT_EQ(0, a.m_inner.m_b);
    EXPECT_TRUE(a.m_ints.empty());
    EXPECT_TRUE(a.m_inners.empty());

    // And the encoding is the zero form of each field.
    AllKinds fresh;
    EXPECT_EQ(Hex(Encode(fresh)), Hex(Encode(a)));
}

TEST(YrMetaClearTest, SharedByteArrayBlockIsUnsharedFirst)
{
    One<ByteArray> obj(ByteArray(std::string("shared")));
    const ByteArray other = obj.m_v;
    YrMeta::Clear(&obj);
    EXPECT_EQ(0u, obj.m_v.Size());
    EXPECT_EQ(6u, obj.m_v.Capacity());
    EXPECT_EQ(ByteArray(std::string("shared")), other);

    One<ByteArray> none;
    YrMeta::Clear(&none);
    EXPECT_TRUE(none.m_v.IsNull());
}

TEST(YrMetaClearTest, EnumerationWithoutZeroThrowsAfterEarlierFields)
{
    WithNoZero w;
    EXPECT_THROW(YrMeta::Clear(&w), YrMeta::SmartEnum::ConvertionException);
    EXPECT_EQ(0, w.m_before);
    EXPECT_EQ(2, w.m_e.CastToInt());
    EXPECT_EQ(6, w.m_after);
}

TEST(YrMetaClearTest, ConstructorsThatClearGiveKnownValues)
{
    TestPacket p;
    EXPECT_EQ(0, p.m_packetNum);
    EXPECT_TRUE(p.m_payload.IsNull());
    EXPECT_EQ("03 00 0C 00", Hex(Encode(p)));
}

} // namespace
