#include <gtest/gtest.h>
#include "common/RegexLiteral.h"

#include <string>
#include "YrMeta/SendDataRes.h"
#include "YrMeta/SmartEnum.h"
#include "Utils/StringUtils.h"

namespace Sample
{
// Integers out of table order, with a duplicate: conversions must go through the table.
YRMETA_SMART_ENUM(Sparse, (A, 10), (B, 5), (C, -3), (D, 5));
} // namespace Sample

namespace
{

using TestUtils::Literal;

using VdiCommon::SendDataRes;

std::wstring ConvertionMessage(SendDataRes& e, int value)
{
    try
    {
        e.FromInt(value, true);
    }
    catch (const YrMeta::SmartEnum::ConvertionException& ex)
    {
        return ex.Message();
    }
    ADD_FAILURE() << "no ConvertionException for " << value;
    return std::wstring();
}

std::wstring ConvertionMessage(SendDataRes& e, const std::string& text)
{
    try
    {
        e.FromString(text, true);
    }
    catch (const YrMeta::SmartEnum::ConvertionException& ex)
    {
        return ex.Message();
    }
    ADD_FAILURE() << "no ConvertionException for '" << text << "'";
    return std::wstring();
}

TEST(SmartEnumTest, TableOfSendDataRes)
{
    const YrMeta::EnumRawInfo& info = SendDataRes::StaticRawInfo();
    ASSERT_EQ(4u, info.count);
    const char* names[] = {"Failed", "Ok", "TryLater", "RemoteNotReady"};
    for (int i = 0; i < 4; ++i)
    {
        EXPECT_STREQ(names[i], info.names[i]);
        EXPECT_EQ(i, info.values[i]);
    }
    EXPECT_TRUE(info.IsValidIndex(3));
    EXPECT_FALSE(info.IsValidIndex(4));

    EXPECT_EQ(1, static_cast<int>(SendDataRes::Ok));
    EXPECT_EQ(3, static_cast<int>(SendDataRes::RemoteNotReady));
}

TEST(SmartEnumTest, ConversionsBothWays)
{
    SendDataRes r(SendDataRes::Failed);
    EXPECT_EQ("Failed", r.ToString());
    EXPECT_TRUE(r.FromInt(2, true));
    EXPECT_EQ("TryLater", r.ToString());
    EXPECT_EQ(2, r.CastToInt());
    EXPECT_EQ(2u, r.ValueIndex());

    EXPECT_TRUE(r.FromString("Ok", true));
    EXPECT_EQ(1, r.CastToInt());
    EXPECT_EQ(&SendDataRes::StaticRawInfo(), &r.RawInfo());

    // Through the base, as the reflection library handles fields.
    YrMeta::SmartEnum& base = r;
    EXPECT_TRUE(base.FromString("RemoteNotReady", false));
    EXPECT_EQ("RemoteNotReady", base.ToString());
    base.SetValueIndex(0);
    EXPECT_EQ("Failed", r.ToString());
}

TEST(SmartEnumTest, MissingValueWithoutThrowKeepsValue)
{
    SendDataRes r(SendDataRes::TryLater);
    EXPECT_FALSE(r.FromInt(9, false));
    EXPECT_EQ(2, r.CastToInt());
    EXPECT_FALSE(r.FromString("ok", false));
    EXPECT_EQ("TryLater", r.ToString());
}

TEST(SmartEnumTest, MissingValueThrows)
{
    SendDataRes r(SendDataRes::Ok);
    EXPECT_EQ(L"Enum (VdiCommon::SendDataRes) value 7 is not valid.", ConvertionMessage(r, 7));
    EXPECT_EQ(L"Enum (VdiCommon::SendDataRes) value -4 is not valid.", ConvertionMessage(r, -4));
    EXPECT_EQ(L"Enum (VdiCommon::SendDataRes) does not have value of ok",
              ConvertionMessage(r, std::string("ok")));
    EXPECT_EQ(L"Enum (VdiCommon::SendDataRes) does not have value of Ok ",
              ConvertionMessage(r, std::string("Ok ")));
    EXPECT_EQ(L"Enum (VdiCommon::SendDataRes) does not have value of ", ConvertionMessage(r, std::string()));
    // The value stays after a failed conversion, and the exception is an ESS::Exception.
    EXPECT_EQ(SendDataRes(SendDataRes::Ok), r);
    EXPECT_THROW(r.FromInt(100, true), ESS::Exception);

    // Construction from an integer outside the table throws rather than leave the object unset.
    EXPECT_THROW(SendDataRes(YrMeta::EnumValue(4)), YrMeta::SmartEnum::ConvertionException);
    EXPECT_EQ(3, SendDataRes(YrMeta::EnumValue(3)).CastToInt());
}

TEST(SmartEnumTest, NonAsciiNameInMessageIsDecodedAsUtf8)
{
    Utils::SetupLocaleCodePage();
    SendDataRes r(SendDataRes::Ok);
    EXPECT_EQ(L"Enum (VdiCommon::SendDataRes) does not have value of \u0416",
              ConvertionMessage(r, std::string("\xD0\x96")));
}

TEST(SmartEnumTest, NonSequentialIntegersGoThroughTheTable)
{
    Sample::Sparse s(Sample::Sparse::A);
    EXPECT_EQ(0u, s.ValueIndex());
    EXPECT_TRUE(s.FromInt(5, true));
    EXPECT_EQ("B", s.ToString());
    EXPECT_EQ(5, s.CastToInt());
    // The first of two equal integers wins.
    EXPECT_EQ(1u, s.ValueIndex());

    EXPECT_TRUE(s.FromInt(-3, true));
    EXPECT_EQ("C", s.ToString());
    EXPECT_FALSE(s.FromInt(0, false));
    EXPECT_FALSE(s.FromInt(1, false));

    // D shares its integer with B: constructing D lands on B.
    EXPECT_EQ("B", Sample::Sparse(Sample::Sparse::D).ToString());
}

TEST(SmartEnumTest, ComparesByInteger)
{
    Sample::Sparse b(Sample::Sparse::A);
    ASSERT_TRUE(b.FromString("B", true));
    Sample::Sparse d(Sample::Sparse::A);
    d.SetValueIndex(3);
    ASSERT_EQ("D", d.ToString());

    // Different table positions, same integer: equal.
    EXPECT_TRUE(b == d);
    EXPECT_FALSE(b != d);

    Sample::Sparse a(Sample::Sparse::A);
    EXPECT_TRUE(a != b);
    // 10 > 5 although A comes first in the table.
    EXPECT_TRUE(b < a);
    EXPECT_TRUE(a > b);
    EXPECT_EQ(1, a.Compare(b));
    EXPECT_EQ(-1, b.Compare(a));
    EXPECT_EQ(0, b.Compare(d));

    EXPECT_TRUE(SendDataRes(SendDataRes::Ok) == SendDataRes::Ok);
    EXPECT_TRUE(SendDataRes(SendDataRes::Ok) != SendDataRes::TryLater);
}

TEST(SmartEnumTest, CopyKeepsValue)
{
    SendDataRes a(SendDataRes::RemoteNotReady);
    SendDataRes b(a);
    EXPECT_EQ("RemoteNotReady", b.ToString());
    SendDataRes c(SendDataRes::Failed);
    c = a;
    EXPECT_EQ(3, c.CastToInt());
    a.FromInt(0, true);
    EXPECT_EQ(3, c.CastToInt());
    // An object is a table pointer and the index.
    EXPECT_EQ(sizeof(void*) + sizeof(std::uint64_t), sizeof(SendDataRes));
}

TEST(SmartEnumTest, IndexOutsideTableHalts)
{
    EXPECT_EXIT(
        {
            SendDataRes r(SendDataRes::Ok);
            r.SetValueIndex(4);
        },
        ::testing::ExitedWithCode(3), Literal("RawInfo().IsValidIndex(val)"));
}

// An enumeration whose index went wrong behind its back, as memory corruption would leave it.
class BrokenEnum : public YrMeta::SmartEnum
{
public:
    void SetValueIndex(std::uint64_t) override {}
    std::uint64_t ValueIndex() const override { return 9; }
    const YrMeta::EnumRawInfo& RawInfo() const override { return VdiCommon::SendDataRes::StaticRawInfo(); }
};

TEST(SmartEnumTest, BadIndexInConversionsHalts)
{
    EXPECT_EXIT(BrokenEnum().CastToInt(), ::testing::ExitedWithCode(3), Literal("info.IsValidIndex(index)"));
    EXPECT_EXIT(BrokenEnum().ToString(), ::testing::ExitedWithCode(3), Literal("info.IsValidIndex(index)"));
}

} // namespace
