#include <gtest/gtest.h>
#include "common/RegexLiteral.h"

#include <cmath>
#include <climits>
#include <limits>
#include <map>
#include <string>
#include <boost/optional/optional_io.hpp>
#include "Utils/LexicalCast.h"

namespace
{

using TestUtils::Literal;

const std::wstring c_reason = L"bad lexical cast: source type value could not be interpreted as target";

// The message of the BadLexicalCast that the conversion throws; fails the test when none is.
template <class To, class From>
std::wstring FailureOf(const From& value)
{
    try
    {
        LexicalCastImpl<To, From>(value);
    }
    catch (const BadLexicalCast& e)
    {
        return e.Message();
    }
    ADD_FAILURE() << "no BadLexicalCast";
    return std::wstring();
}

bool EndsWith(const std::wstring& text, const std::wstring& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

using Map = std::map<std::string, std::string>;

// ---- text to numbers

TEST(LexicalCastTest, FailureMessageNamesTypesValueAndReason)
{
    const std::wstring msg = FailureOf<int>(std::string("12abc"));
    EXPECT_EQ(
        L"Can't cast 'std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> >' -> "
        L"'int', value '12abc': " +
            c_reason,
        msg);

    // A non-ASCII value is widened byte by byte.
    const std::wstring msg2 = FailureOf<unsigned int>(std::string("\xE9"));
    EXPECT_NE(std::wstring::npos, msg2.find(std::wstring(L"value '") + static_cast<wchar_t>(0xFFE9) + L"'"));

    // Wide text appears as it is.
    const std::wstring msg3 = FailureOf<unsigned int>(std::wstring(L"\u0416"));
    EXPECT_NE(std::wstring::npos, msg3.find(L"value '\u0416'"));
    EXPECT_TRUE(EndsWith(msg3, c_reason));
}

TEST(LexicalCastTest, DefaultReplacesOnlyFailures)
{
    EXPECT_EQ(7, LexicalCast<int>(std::string("12abc"), boost::optional<int>(7)));
    EXPECT_EQ(12, LexicalCast<int>(std::string("12"), boost::optional<int>(7)));
    EXPECT_THROW(LexicalCast<int>(std::string("12abc")), BadLexicalCast);
    EXPECT_THROW(LexicalCast<int>(std::string("12abc"), boost::optional<int>()), BadLexicalCast);
    // A BadLexicalCast is an ESS::Exception to callers that catch those.
    EXPECT_THROW(LexicalCast<double>(std::string("x")), ESS::Exception);
}

TEST(LexicalCastTest, IntegerGrammar)
{
    EXPECT_EQ(5, LexicalCastImpl<int>(std::string("+5")));
    EXPECT_EQ(5, LexicalCastImpl<short>(std::string("+5")));
    EXPECT_EQ(5u, LexicalCastImpl<unsigned short>(std::string("+5")));
    EXPECT_EQ(5u, LexicalCastImpl<unsigned int>(std::string("+5")));
    EXPECT_EQ(5u, LexicalCastImpl<uint64_t>(std::string("+5")));
    EXPECT_EQ(-5, LexicalCastImpl<long>(std::string("-5")));

    EXPECT_THROW(LexicalCastImpl<int>(std::string("5 ")), BadLexicalCast);
    EXPECT_THROW(LexicalCastImpl<int>(std::string(" 5")), BadLexicalCast);
    EXPECT_THROW(LexicalCastImpl<int>(std::string("")), BadLexicalCast);

    EXPECT_EQ(65535u, LexicalCastImpl<unsigned short>(std::string("-1")));
    EXPECT_THROW(LexicalCastImpl<unsigned short>(std::string("65536")), BadLexicalCast);
    EXPECT_THROW(LexicalCastImpl<short>(std::string("32768")), BadLexicalCast);

    EXPECT_EQ(INT_MIN, LexicalCastImpl<int>(std::string("-2147483648")));
    EXPECT_THROW(LexicalCastImpl<int>(std::string("2147483648")), BadLexicalCast);
    EXPECT_EQ(4294967295u, LexicalCastImpl<unsigned int>(std::wstring(L"4294967295")));
    EXPECT_EQ(UINT64_MAX, LexicalCastImpl<uint64_t>(std::string("18446744073709551615")));
}

TEST(LexicalCastTest, LongKeepsThirtyTwoBitRange)
{
    EXPECT_EQ(2147483647L, LexicalCastImpl<long>(std::string("2147483647")));
    EXPECT_EQ(-2147483647L - 1, LexicalCastImpl<long>(std::string("-2147483648")));
    const std::wstring msg = FailureOf<long>(std::string("2147483648"));
    EXPECT_NE(std::wstring::npos, msg.find(L"-> 'long', value '2147483648'")) << msg;
    EXPECT_THROW(LexicalCastImpl<long>(std::string("-2147483649")), BadLexicalCast);
}

TEST(LexicalCastTest, DoubleGrammar)
{
    EXPECT_DOUBLE_EQ(1500.0, LexicalCastImpl<double>(std::string("1.5e3")));
    EXPECT_DOUBLE_EQ(-0.25, LexicalCastImpl<double>(std::string("-.25")));
    EXPECT_TRUE(std::isinf(LexicalCastImpl<double>(std::string("inf"))));
    EXPECT_THROW(LexicalCastImpl<double>(std::string("1e")), BadLexicalCast);
    EXPECT_THROW(LexicalCastImpl<double>(std::string("1e+")), BadLexicalCast);
    EXPECT_THROW(LexicalCastImpl<double>(std::string("1.0 ")), BadLexicalCast);
}

// ---- bool

TEST(LexicalCastTest, StringToBoolIsExact)
{
    for (const char* t : {"1", "T", "TRUE", "t", "true", "True"})
    {
        EXPECT_EQ(boost::optional<bool>(true), Utils::StringToBool(t)) << t;
    }
    for (const char* f : {"0", "F", "FALSE", "f", "false", "False"})
    {
        EXPECT_EQ(boost::optional<bool>(false), Utils::StringToBool(f)) << f;
    }
    for (const char* n : {"", "tRUE", "fALSE", "yes", " true", "true ", "2", "00", "truee", "FaLsE"})
    {
        EXPECT_FALSE(Utils::StringToBool(n)) << "'" << n << "'";
    }
    EXPECT_FALSE(Utils::StringToBool(std::string("1\0", 2)));
}

TEST(LexicalCastTest, BoolCasts)
{
    EXPECT_TRUE(LexicalCastImpl<bool>(std::string("True")));
    EXPECT_TRUE(LexicalCastImpl<bool>(std::string("TRUE")));
    EXPECT_FALSE(LexicalCastImpl<bool>("f"));
    const char* p = "t";
    EXPECT_TRUE(LexicalCastImpl<bool>(p));

    const std::wstring msg = FailureOf<bool>(std::string("tRUE"));
    EXPECT_NE(std::wstring::npos, msg.find(L"-> 'bool', value 'tRUE': ")) << msg;
    EXPECT_TRUE(EndsWith(msg, c_reason)) << msg;

    EXPECT_TRUE(LexicalCast<bool>("yes", boost::optional<bool>(true)));
    EXPECT_FALSE(LexicalCast<bool>(std::string("no"), boost::optional<bool>(false)));
    EXPECT_THROW(LexicalCast<bool>(std::string("no")), BadLexicalCast);

    EXPECT_EQ("1", LexicalCastImpl<std::string>(true));
    EXPECT_EQ("0", LexicalCastImpl<std::string>(false));
}

// ---- numbers to text

TEST(LexicalCastTest, NumbersToText)
{
    EXPECT_EQ("-42", LexicalCastImpl<std::string>(-42));
    EXPECT_EQ("65535", LexicalCastImpl<std::string>(static_cast<unsigned short>(65535)));
    EXPECT_EQ("4294967295", LexicalCastImpl<std::string>(4294967295u));
    EXPECT_EQ("18446744073709551615", LexicalCastImpl<std::string>(UINT64_MAX));
    EXPECT_EQ("-7", LexicalCastImpl<std::string>(-7L));
    EXPECT_EQ("A", LexicalCastImpl<std::string>(static_cast<unsigned char>(65)));
    EXPECT_EQ("0.10000000000000001", LexicalCastImpl<std::string>(0.1));
    EXPECT_EQ("1", LexicalCastImpl<std::string>(1.0));
    EXPECT_EQ("inf", LexicalCastImpl<std::string>(std::numeric_limits<double>::infinity()));
    EXPECT_EQ("abc", LexicalCastImpl<std::string>(std::string("abc")));

    EXPECT_EQ(L"-3", LexicalCastImpl<std::wstring>(-3));
    EXPECT_EQ(L"3000000000", LexicalCastImpl<std::wstring>(3000000000u));
    EXPECT_EQ(L"18446744073709551615", LexicalCastImpl<std::wstring>(UINT64_MAX));
    EXPECT_EQ(L"0.10000000000000001", LexicalCastImpl<std::wstring>(0.1));

    // Text from a double reads back as the same double.
    const double v = 1.0 / 3.0;
    EXPECT_EQ(v, LexicalCastImpl<double>(LexicalCastImpl<std::string>(v)));
}

// ---- integer and hex text

TEST(LexicalCastTest, IntToString)
{
    EXPECT_EQ("-2147483648", Utils::IntToString(INT_MIN, 1));
    EXPECT_EQ("2147483647", Utils::IntToString(INT_MAX, 1));
    EXPECT_EQ("007", Utils::IntToString(7, 3));
    EXPECT_EQ("0", Utils::IntToString(0, 1));
    EXPECT_EQ("0", Utils::IntToString(0, 0));
    EXPECT_EQ("123", Utils::IntToString(123, -5));
    EXPECT_EQ("123", Utils::IntToString(123, 2));
    // Fill goes after the sign.
    EXPECT_EQ("-005", Utils::IntToString(-5, 4));
}

TEST(LexicalCastTest, IntToHexString)
{
    EXPECT_EQ("0", Utils::IntToHexString(0, false, 0));
    EXPECT_EQ("0xff", Utils::IntToHexString(255, true, 1));
    EXPECT_EQ("0001", Utils::IntToHexString(1, false, 2));
    EXPECT_EQ("0x000abc", Utils::IntToHexString(0xabc, true, 3));
    EXPECT_EQ("ffffffff", Utils::IntToHexString(0xFFFFFFFFu, false, 4));
    EXPECT_EQ("10000000", Utils::IntToHexString(0x10000000u, false, 0));
    EXPECT_EQ("00000010", Utils::IntToHexString(0x10u, false, 4));
    EXPECT_EQ("f", Utils::IntToHexString(15, false, 0));
}

TEST(LexicalCastTest, IntToHexStringOutOfRangeHalts)
{
    const std::string re = Literal("IntToHexString(value, buff, sizeof(buff), add0xPrefix, minAddBytes)");
    EXPECT_EXIT(Utils::IntToHexString(1, false, 5), ::testing::ExitedWithCode(3), re);
    EXPECT_EXIT(Utils::IntToHexString(1, true, -1), ::testing::ExitedWithCode(3), re);
}

TEST(LexicalCastTest, HexStringToInt)
{
    unsigned int v = 0;
    EXPECT_TRUE(Utils::HexStringToInt("1F", v, false));
    EXPECT_EQ(31u, v);
    EXPECT_TRUE(Utils::HexStringToInt("0x1f", v, true));
    EXPECT_EQ(31u, v);
    EXPECT_TRUE(Utils::HexStringToInt("FFFFFFFF", v, false));
    EXPECT_EQ(0xFFFFFFFFu, v);
    EXPECT_TRUE(Utils::HexStringToInt("0xaBcD1234", v, true));
    EXPECT_EQ(0xABCD1234u, v);

    EXPECT_FALSE(Utils::HexStringToInt("0X1f", v, true));
    EXPECT_FALSE(Utils::HexStringToInt("0x", v, true));
    EXPECT_FALSE(Utils::HexStringToInt("1f", v, true));
    EXPECT_FALSE(Utils::HexStringToInt("0x123456789", v, true));
    EXPECT_FALSE(Utils::HexStringToInt("123456789", v, false));
    EXPECT_FALSE(Utils::HexStringToInt("", v, false));
    EXPECT_FALSE(Utils::HexStringToInt("1g", v, false));
    EXPECT_FALSE(Utils::HexStringToInt("-1", v, false));
    EXPECT_FALSE(Utils::HexStringToInt("0x1f", v, false));
}

TEST(LexicalCastTest, DumpToHexString)
{
    const unsigned char bytes[] = {0x00, 0x7F, 0xFF};
    std::string out = "old";
    Utils::DumpToHexString(bytes, 3, out);
    EXPECT_EQ("00 7f ff", out);
    Utils::DumpToHexString(bytes, 3, out, 2, "(...)");
    EXPECT_EQ("00 7f (...)", out);
    Utils::DumpToHexString(bytes, 3, out, 3, "(...)");
    EXPECT_EQ("00 7f ff", out);
    Utils::DumpToHexString(bytes, 0, out, 1, "(...)");
    EXPECT_EQ("", out);

    EXPECT_EQ("00 (...)", Utils::DumpToHexStringLimited(bytes, 3, 1));
    EXPECT_EQ("00 7f ff", Utils::DumpToHexStringLimited(bytes, 3, 0));
}

TEST(LexicalCastTest, DumpToHexStringOfNullHalts)
{
    EXPECT_EXIT(
        {
            std::string out;
            Utils::DumpToHexString(nullptr, 0, out);
        },
        ::testing::ExitedWithCode(3), Literal("pData != 0"));
}

// ---- options map

TEST(LexicalCastTest, ParseOptionsMap)
{
    EXPECT_EQ((Map{{"a", "1"}, {"b", "2"}}), Utils::ParseOptionsMapCont<Map>(" a = 1 ;; b=2;"));
    EXPECT_EQ((Map{{"a", "=b"}}), Utils::ParseOptionsMapCont<Map>("a==b"));
    EXPECT_EQ((Map{{"", "x"}}), Utils::ParseOptionsMapCont<Map>("=x"));
    EXPECT_EQ((Map{{"k", ""}}), Utils::ParseOptionsMapCont<Map>("\tk =\v; \n ;"));
    EXPECT_EQ(Map(), Utils::ParseOptionsMapCont<Map>(""));
    EXPECT_EQ(Map(), Utils::ParseOptionsMapCont<Map>(" ; ;"));
}

TEST(LexicalCastTest, ParseOptionsMapErrors)
{
    try
    {
        Utils::ParseOptionsMapCont<Map>("x=1; a ");
        ADD_FAILURE() << "no exception";
    }
    catch (const ESS::Exception& e)
    {
        EXPECT_EQ(L"Can't find '=' in a", e.Message());
    }

    try
    {
        Utils::ParseOptionsMapCont<Map>("a=1; a=2");
        ADD_FAILURE() << "no exception";
    }
    catch (const ESS::Exception& e)
    {
        EXPECT_EQ(L"Duplicate key 'a'", e.Message());
    }
}

} // namespace
