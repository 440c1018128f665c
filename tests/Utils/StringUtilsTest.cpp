#include <gtest/gtest.h>
#include "common/RegexLiteral.h"

#include <string>
#include <vector>
#include <QTextCodec>
#include "Utils/StringUtils.h"

namespace
{

using TestUtils::Literal;

class StringUtilsTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { Utils::SetupLocaleCodePage(); }
};

// ---- narrow <-> wide

TEST_F(StringUtilsTest, WidenStringMapsHighBytesToFF80Block)
{
    EXPECT_EQ(std::wstring(1, static_cast<wchar_t>(0xFFE9)), Utils::WidenString("\xE9"));
    EXPECT_EQ(L"Type::Name<int> 0~", Utils::WidenString("Type::Name<int> 0~"));

    std::string all;
    for (int b = 0; b < 256; ++b)
    {
        all.push_back(static_cast<char>(b));
    }
    const std::wstring w = Utils::WidenString(all);
    ASSERT_EQ(256u, w.size());
    for (int b = 0; b < 256; ++b)
    {
        const uint32_t expected = b < 0x80 ? static_cast<uint32_t>(b) : (0xFF00u | static_cast<uint32_t>(b));
        EXPECT_EQ(expected, static_cast<uint32_t>(w[b])) << "byte " << b;
    }
}

TEST_F(StringUtilsTest, LocaleCodePageIsUtf8WhateverWasSetBefore)
{
    // As if the environment had chosen Latin-1: start-up code puts UTF-8 back.
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
    Utils::SetupLocaleCodePage();

    EXPECT_EQ(L"\u0416\u044f", Utils::LocaleStringToUnicode("\xD0\x96\xD1\x8F"));
    EXPECT_EQ("\xD0\x96\xD1\x8F", Utils::UnicodeToLocaleString(L"\u0416\u044f"));
}

TEST_F(StringUtilsTest, LocaleConversionsKeepEveryByte)
{
    const std::string withNul("a\0b", 3);
    EXPECT_EQ(std::wstring(L"a\0b", 3), Utils::LocaleStringToUnicode(withNul));
    EXPECT_EQ(withNul, Utils::UnicodeToLocaleString(std::wstring(L"a\0b", 3)));

    // A leading byte-order mark is text like any other, not a header to drop.
    EXPECT_EQ(L"\uFEFFx", Utils::LocaleStringToUnicode("\xEF\xBB\xBFx"));

    EXPECT_EQ(L"", Utils::LocaleStringToUnicode(""));
    EXPECT_EQ("", Utils::UnicodeToLocaleString(L""));
}

TEST_F(StringUtilsTest, Utf8ConversionsRoundTripOutsideTheBmp)
{
    const std::string utf8 = "x\xF0\x9F\x98\x80y\xC3\x9C";
    const std::wstring wide = Utils::StdStringToWString(utf8);
    ASSERT_EQ(4u, wide.size());
    EXPECT_EQ(0x1F600u, static_cast<uint32_t>(wide[1]));
    EXPECT_EQ(0xDCu, static_cast<uint32_t>(wide[3]));
    EXPECT_EQ(utf8, Utils::WStringToStdString(wide));
}

TEST_F(StringUtilsTest, InvalidWideCharactersBecomeReplacementCharacters)
{
    // A lone surrogate followed by a value above U+10FFFF must not be glued into one character.
    std::wstring bad;
    bad.push_back(static_cast<wchar_t>(0xD800));
    bad.push_back(static_cast<wchar_t>(0x110000));
    bad.push_back(L'a');
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(replacement + replacement + "a", Utils::WStringToStdString(bad));
    EXPECT_EQ(replacement + replacement + "a", Utils::UnicodeToLocaleString(bad));
}

// ---- case

TEST_F(StringUtilsTest, StringUpCaseTouchesOnlyAsciiLetters)
{
    std::string out(4, '?');
    EXPECT_FALSE(Utils::StringUpCase("abc\xE9", out));
    EXPECT_EQ("ABC\xE9", out);

    // The neighbours of a-z stay as they are.
    std::string out2(5, '?');
    EXPECT_TRUE(Utils::StringUpCase("`az{Q", out2));
    EXPECT_EQ("`AZ{Q", out2);

    std::string empty;
    EXPECT_TRUE(Utils::StringUpCase("", empty));

    bool allAscii = true;
    EXPECT_EQ("KEY\xFF", Utils::StringUpCaseCopy("key\xFF", &allAscii));
    EXPECT_FALSE(allAscii);
    EXPECT_EQ("MAXSIZE", Utils::StringUpCaseCopy("maxSize", &allAscii));
    EXPECT_TRUE(allAscii);
    EXPECT_EQ("A1", Utils::StringUpCaseCopy("a1"));
}

TEST_F(StringUtilsTest, StringUpCaseOutOfOtherLengthHalts)
{
    EXPECT_EXIT(
        {
            std::string out(2, ' ');
            Utils::StringUpCase("abc", out);
        },
        ::testing::ExitedWithCode(3), Literal("in.size() == out.size()"));
}

TEST_F(StringUtilsTest, WideCaseUsesTheCharacterTables)
{
    EXPECT_EQ(L"ABC\u00C9\u0416", Utils::StringUpCaseW(L"abC\u00E9\u0436"));
    EXPECT_EQ(L"abc\u00E9\u0436", Utils::StringLowCaseW(L"ABc\u00C9\u0416"));
    // Sharp s has no one-character capital: the length never changes.
    EXPECT_EQ(L"\u00DF1", Utils::StringUpCaseW(L"\u00DF1"));
}

// ---- trimming and filling

TEST_F(StringUtilsTest, TrimWhitespaceTrimsOnlyItsFourBytes)
{
    EXPECT_EQ("x", Utils::TrimWhitespace(" \tx\r\n"));
    EXPECT_EQ("\vx", Utils::TrimWhitespace("\vx"));
    EXPECT_EQ("x\f", Utils::TrimWhitespace("x\f\n"));
    EXPECT_EQ("a b", Utils::TrimWhitespace("  a b  "));
    EXPECT_EQ("", Utils::TrimWhitespace(" \r\n\t "));
    EXPECT_EQ("", Utils::TrimWhitespace(""));
}

TEST_F(StringUtilsTest, TrimTrimsEverySpaceOfTheLocale)
{
    EXPECT_EQ("x", Utils::Trim("\v\f x \t\r\n"));
    EXPECT_EQ("a = b", Utils::Trim(" a = b "));
    EXPECT_EQ("", Utils::Trim(" \v "));
}

TEST_F(StringUtilsTest, PadRight)
{
    EXPECT_EQ("abc..", Utils::PadRight("abc", 5, '.'));
    EXPECT_EQ("abc", Utils::PadRight("abc", 2, '.'));
    EXPECT_EQ("abc", Utils::PadRight("abc", 3, '.'));
    EXPECT_EQ("        ", Utils::PadRight("", 8, ' '));
    // The difference is a signed 32-bit number: a huge width is negative and fills nothing.
    EXPECT_EQ("abc", Utils::PadRight("abc", 0xFFFFFFFFu, '.'));
}

// ---- splitting

TEST_F(StringUtilsTest, SplitAppendsPieces)
{
    std::vector<std::string> out;
    EXPECT_EQ(2u, Utils::Split(out, std::string("a;;b"), std::string(";"), false));
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), out);

    out.clear();
    EXPECT_EQ(3u, Utils::Split(out, std::string("a;;b"), std::string(";"), true));
    EXPECT_EQ((std::vector<std::string>{"a", "", "b"}), out);

    // out is not cleared; the result counts everything in it.
    EXPECT_EQ(5u, Utils::Split(out, std::string("x;"), std::string(";"), true));
    EXPECT_EQ((std::vector<std::string>{"a", "", "b", "x", ""}), out);

    out.clear();
    EXPECT_EQ(1u, Utils::Split(out, std::string("x;"), std::string(";"), false));
    EXPECT_EQ(3u, Utils::Split(out, std::string("one::two::"), "::", false));
    EXPECT_EQ((std::vector<std::string>{"x", "one", "two"}), out);
}

TEST_F(StringUtilsTest, SplitOfEmptyTextAndWideText)
{
    std::vector<std::string> out;
    EXPECT_EQ(0u, Utils::Split(out, std::string(), std::string(";"), false));
    EXPECT_EQ(1u, Utils::Split(out, std::string(), std::string(";"), true));
    EXPECT_EQ("", out[0]);

    std::vector<std::wstring> wout;
    EXPECT_EQ(2u, Utils::Split(wout, std::wstring(L"\u0416,b"), std::wstring(L","), false));
    EXPECT_EQ(L"\u0416", wout[0]);
}

TEST_F(StringUtilsTest, SplitWithEmptyDelimiterHalts)
{
    EXPECT_EXIT(
        {
            std::vector<std::string> out;
            Utils::Split(out, std::string("abc"), std::string(), true);
        },
        ::testing::ExitedWithCode(3), Literal("!delim.empty()"));
}

// ---- byte sizes and code pages

TEST_F(StringUtilsTest, FormatByteSize)
{
    const QString f("%1%2");
    EXPECT_EQ(QString("1023"), Utils::FormatByteSize(1023, 1024, 1, f));
    EXPECT_EQ(QString("0"), Utils::FormatByteSize(0, 1024, 1, f));
    EXPECT_EQ(QString("-5000"), Utils::FormatByteSize(-5000, 1024, 1, f));
    EXPECT_EQ(QString("1.0K"), Utils::FormatByteSize(1024, 1024, 1, f));
    EXPECT_EQ(QString("1.5K"), Utils::FormatByteSize(1536, 1024, 1, f));
    EXPECT_EQ(QString("1024.0K"), Utils::FormatByteSize(1048575, 1024, 1, f));
    EXPECT_EQ(QString("1.0M"), Utils::FormatByteSize(1048576, 1024, 1, f));
    EXPECT_EQ(QString("1.0G"), Utils::FormatByteSize(int64_t(1) << 30, 1024, 1, f));
    EXPECT_EQ(QString("1.0P"), Utils::FormatByteSize(int64_t(1) << 50, 1024, 1, f));
    EXPECT_EQ(QString("1024.0P"), Utils::FormatByteSize(int64_t(1) << 60, 1024, 1, f));
    EXPECT_EQ(QString("8192.0P"), Utils::FormatByteSize(INT64_MAX, 1024, 1, f));
    EXPECT_EQ(QString("1.50 MB/s"), Utils::FormatByteSize(1500000, 1000, 2, "%1 %2B/s"));
    EXPECT_EQ(QString("999 B/s"), Utils::FormatByteSize(999, 1000, 2, "%1 %2B/s"));
}

TEST_F(StringUtilsTest, FormatByteSizeWithBaseBelowTwoHalts)
{
    EXPECT_EXIT(Utils::FormatByteSize(10, 0, 1, "%1%2"), ::testing::ExitedWithCode(3), Literal("base > 1"));
}

TEST_F(StringUtilsTest, ToWindows1251)
{
    // Capital A, small ya, small a, capital Io, small er.
    const QString text = QString::fromUtf8("\xD0\x90\xD1\x8F\xD0\xB0\xD0\x81\xD1\x80z");
    EXPECT_EQ("\xC0\xFF\xE0\xA8\xF0z", Utils::ToWindows1251(text, false));
    EXPECT_EQ("\x80\xEF\xA0\xA8\xE0z", Utils::ToWindows1251(text, true));
    EXPECT_EQ("", Utils::ToWindows1251(QString(), true));
}

} // namespace
