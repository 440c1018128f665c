#include <string>
#include <gtest/gtest.h>
#include "LogTestUtils.h"

using namespace YrLogV2;
using ::testing::ElementsAre;
using YrLogV2Test::LogFixture;

namespace
{

// Counts how often fmt asked it to format itself.
struct Expensive
{
    int* pCount;
};

struct Throwing
{
};

} // namespace

template <>
struct fmt::formatter<Expensive> : fmt::formatter<int>
{
    template <class TContext>
    auto format(const Expensive& e, TContext& ctx) const
    {
        ++*e.pCount;
        return fmt::formatter<int>::format(42, ctx);
    }
};

template <>
struct fmt::formatter<Throwing> : fmt::formatter<int>
{
    template <class TContext>
    auto format(const Throwing&, TContext& ctx) const -> decltype(ctx.out())
    {
        throw std::runtime_error("argument cannot be shown");
    }
};

class LogAddTest : public LogFixture
{
};

TEST_F(LogAddTest, FmtRulesApplyToNarrowFormats)
{
    Log log(LogRoot::RootLog(), "AddNarrow", 0, 0);
    log.Add(Info, "{0:#x}", 255);
    log.Add(Info, "{:.{}f}", 3.14159, 2);
    log.Add(Info, "{} and {}", std::string("a"), 7);
    log.Add(Info, std::string("{1}-{0}"), 1, 2);
    log.Add(Info, "no arguments, {{braces}}");
    EXPECT_THAT(Texts(log), ElementsAre("0xff", "3.14", "a and 7", "2-1", "no arguments, {braces}"));
}

TEST_F(LogAddTest, WideAndNarrowTextsMixAsUtf8)
{
    Log log(LogRoot::RootLog(), "AddWide");
    const std::string enumName = "StartVdiMediaBridge";
    log.Add(Info, L"Entry: {}", enumName);
    log.Add(Info, "{} {}", std::wstring(L"Привет"), L"мир");
    log.Add(Info, L"Ш{}{}", L'ж', std::wstring(L"\U0001F600"));
    log.Add(Info, "[{:>4}]", std::wstring(L"ab"));
    log.Add(Info, std::wstring(L"{}"), QString::fromUtf8("Qt текст"));
    EXPECT_THAT(Texts(log), ElementsAre("Entry: StartVdiMediaBridge", "Привет мир", "Шж\xF0\x9F\x98\x80",
                                        "[  ab]", "Qt текст"));
}

TEST_F(LogAddTest, InvalidWideCharactersBecomeReplacementCharacter)
{
    Log log(LogRoot::RootLog(), "AddBadWide");
    std::wstring bad;
    bad += wchar_t(0xD800);
    bad += wchar_t(0x110000);
    log.Add(Info, "{}", bad);
    EXPECT_THAT(Texts(log), ElementsAre("\xEF\xBF\xBD\xEF\xBF\xBD"));
}

TEST_F(LogAddTest, FormatErrorWritesLogErrorRecordInstead)
{
    Log log(LogRoot::RootLog(), "AddBadFormat");
    log.Add(Info, "{} {}", 1);
    log.Add(Warning, "{:d}", "text");
    log.Add(Info, L"{", 1, 2);
    log.Add(Info, "value {}", Throwing());

    const std::vector<LogRecord> recs = m_out->Records();
    ASSERT_EQ(4u, recs.size());
    EXPECT_EQ("Unable to format string '{} {}' for 1 args", recs[0].text);
    EXPECT_EQ("Unable to format string '{:d}' for 1 args", recs[1].text);
    EXPECT_EQ("Unable to format string '{' for 2 args", recs[2].text);
    EXPECT_EQ("Unable to format string 'value {}' for 1 args", recs[3].text);
    for (const LogRecord& r : recs)
    {
        EXPECT_EQ(3, r.level);
        EXPECT_EQ("LogError", r.tag);
        EXPECT_EQ("AddBadFormat", r.node);
    }
}

TEST_F(LogAddTest, FilteredRecordFormatsNothing)
{
    Log log(LogRoot::RootLog(), "AddFiltered");
    int count = 0;
    log.Add(LogTrace, "{}", Expensive{&count});
    EXPECT_EQ(0, count);
    EXPECT_TRUE(Texts(log).empty());

    log.Add(Info, "{}", Expensive{&count});
    EXPECT_EQ(1, count);
    EXPECT_THAT(Texts(log), ElementsAre("42"));
}

TEST_F(LogAddTest, PutWritesTextUnformatted)
{
    Log log(LogRoot::RootLog(), "PutRaw");
    log.Put("50% {not a format}", Info);
    log.Put(std::string("second"), Warning);
    log.Put("hidden", LogTrace);
    EXPECT_THAT(Texts(log), ElementsAre("50% {not a format}", "second"));
    const std::vector<LogRecord> recs = m_out->Records();
    ASSERT_EQ(2u, recs.size());
    EXPECT_EQ("Info", recs[0].tag);
    EXPECT_EQ("Warning", recs[1].tag);
    EXPECT_EQ(5, recs[1].level);
}

TEST_F(LogAddTest, StreamWritesOneRecordWhenItEnds)
{
    Log log(LogRoot::RootLog(), "Stream");
    log.MakeStream(Info) << "startup: " << 5 << ' ' << std::wstring(L"ж") << L"ы" << QString("q");
    {
        LogStream s = log.MakeStream(Warning);
        s << "part one, ";
        LogStream moved(std::move(s));
        moved << "part two";
        EXPECT_TRUE(Texts(log).size() == 1);
    }
    LogStream hidden = log.MakeStream(LogTrace);
    EXPECT_FALSE(hidden.Active());
    hidden << "never";

    EXPECT_THAT(Texts(log), ElementsAre("startup: 5 жыq", "part one, part two"));
}

TEST_F(LogAddTest, UserTagsKeepTheirNameAndLevel)
{
    Log log(LogRoot::RootLog(), "UserTags");
    std::unique_ptr<UserTag> pTag;
    {
        std::string name = "packet";
        pTag = std::make_unique<UserTag>(16, name);
        name = "overwritten";
    }
    const Tag state(16, std::string("state"));
    EXPECT_EQ(16, pTag->Level());
    EXPECT_STREQ("packet", pTag->Name());

    log.Add(*pTag, "hidden at the default level");
    EXPECT_FALSE(log.Active(*pTag));
    LogRoot::Instance().SetLevels(c_defaultLevel, {{"UserTags", 16}});
    log.Add(*pTag, "dump {}", 1);
    log.Add(state, "st");

    const std::vector<LogRecord> recs = m_out->Records();
    ASSERT_EQ(2u, recs.size());
    EXPECT_EQ("packet", recs[0].tag);
    EXPECT_EQ("dump 1", recs[0].text);
    EXPECT_EQ("state", recs[1].tag);
}

TEST(LogTagTest, BuiltInLevelsAndNames)
{
    const Tag tags[] = {Important, Error, LogError, LogTraceOnce, Warning, LogInfo, Info, LogTrace};
    const char* names[] = {"Important", "Error",   "LogError", "LogTraceOnce",
                           "Warning",   "LogInfo", "Info",     "LogTrace"};
    for (int i = 0; i < 8; ++i)
    {
        EXPECT_EQ(i + 1, tags[i].Level());
        EXPECT_STREQ(names[i], tags[i].Name());
    }
}

using LogAddDeathTest = LogAddTest;

TEST_F(LogAddDeathTest, NullFormatOrTextIsFatal)
{
    Log log(LogRoot::RootLog(), "NullFormat");
    EXPECT_EXIT(log.Add(Info, static_cast<const char*>(nullptr)), ::testing::ExitedWithCode(3),
                "pMsg != nullptr");
    EXPECT_EXIT(log.Add(Info, static_cast<const wchar_t*>(nullptr), 1), ::testing::ExitedWithCode(3),
                "pMsg != nullptr");
    EXPECT_EXIT(log.Put(nullptr, Info), ::testing::ExitedWithCode(3), "pData != 0");
}

TEST_F(LogAddDeathTest, WriteThroughEndedHandleIsFatal)
{
    // The handle is ended by its destructor while its storage stays allocated, so reading the
    // marker afterwards is well defined.
    alignas(Log) unsigned char storage[sizeof(Log)];
    Log* pLog = new (storage) Log(LogRoot::RootLog(), "LogAliveAssetion");
    pLog->~Log();
    EXPECT_EXIT(pLog->Put("Crash...", Info), ::testing::ExitedWithCode(3),
                "Log node\\(0x[0-9a-f]+\\) is dead");
    EXPECT_EXIT(pLog->Add(LogTrace, "filtered, but still checked"), ::testing::ExitedWithCode(3),
                "Log node\\(0x[0-9a-f]+\\) is dead");
    EXPECT_EXIT(Log(*pLog, "Child"), ::testing::ExitedWithCode(3), "is dead");
}
