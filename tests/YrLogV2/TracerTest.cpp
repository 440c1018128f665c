#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>
#include "LogTestUtils.h"
#include "YrLogV2/FormatHelper.h"
#include "YrLogV2/Tracer.h"

using namespace YrLogV2;
using ::testing::ElementsAre;
using YrLogV2Test::LogFixture;

class TracerTest : public LogFixture
{
protected:
    // Once is per process; a file text of its own per test run keeps the tests repeatable.
    void SetUp() override
    {
        LogFixture::SetUp();
        static int s_run = 0;
        m_file = "Tracer/Run" + std::to_string(++s_run) + ".cpp";
    }
    ESS::CppLocation Here(int line) const { return ESS::CppLocation(m_file.c_str(), "fn", line); }

    std::string m_file;
};

TEST_F(TracerTest, OnceWritesOnlyTheFirstTimePerLocation)
{
    Log log(LogRoot::RootLog(), "TraceOnce");
    for (int i = 0; i < 3; ++i)
        Tracer::Trace(Here(1), true, log, LogTraceOnce, "There is no Client side");
    for (int i = 0; i < 2; ++i)
        Tracer::Trace(Here(2), true, log, LogTraceOnce, std::wstring(L"There is no TcpServer side"));
    for (int i = 0; i < 2; ++i)
        Tracer::Trace(Here(3), false, log, Info, "every time");
    EXPECT_THAT(Texts(log), ElementsAre("There is no Client side", "There is no TcpServer side", "every time",
                                        "every time"));
    const std::vector<LogRecord> recs = m_out->Records();
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ("LogTraceOnce", recs[0].tag);
}

TEST_F(TracerTest, LocationIsMatchedByFileTextAndLine)
{
    Log log(LogRoot::RootLog(), "TraceCopies");
    // Two copies of one file name text (as two units would have) are one location.
    const std::string fileA = m_file;
    const std::string fileB = fileA;
    Tracer::Trace(ESS::CppLocation(fileA.c_str(), "f", 10), true, log, Info, "first");
    Tracer::Trace(ESS::CppLocation(fileB.c_str(), "g", 10), true, log, Info, "same place");
    Tracer::Trace(ESS::CppLocation(fileB.c_str(), "g", 11), true, log, Info, "next line");
    EXPECT_THAT(Texts(log), ElementsAre("first", "next line"));
}

TEST_F(TracerTest, RecordHiddenByLevelDoesNotUseUpTheOnce)
{
    Log log(LogRoot::RootLog(), "TraceHidden");
    LogRoot::Instance().SetLevels(3, {});
    auto trace = [&] { Tracer::Trace(Here(1), true, log, LogTraceOnce, "shown later"); };
    trace();
    LogRoot::Instance().SetLevels(c_defaultLevel, {});
    trace();
    trace();
    EXPECT_THAT(Texts(log), ElementsAre("shown later"));
}

TEST(FormatHelperTest, SecondsModeFormatsDateAndTime)
{
    using namespace boost::posix_time;
    const ptime t(boost::gregorian::date(2024, 3, 5), hours(7) + minutes(8) + seconds(9) + milliseconds(999));
    EXPECT_EQ(L"2024-03-05 07:08:09", FormatHelper(false, 3).Format(t));
    EXPECT_EQ(L"07:08:09", FormatHelper(true, 3).Format(t));
    EXPECT_EQ(std::wstring(), FormatHelper(false, 3).Format(ptime()));
}

TEST(FormatHelperTest, NowIsLocalTime)
{
    const boost::posix_time::ptime before = boost::posix_time::second_clock::local_time();
    const std::wstring now = FormatHelper(false, 3).FormatNow();
    const boost::posix_time::ptime after = boost::posix_time::second_clock::local_time();
    const FormatHelper f(false, 3);
    EXPECT_TRUE(now == f.Format(before) || now == f.Format(after)) << std::string(now.begin(), now.end());
}

TEST(FormatHelperDeathTest, UnknownModeIsFatal)
{
    EXPECT_EXIT(FormatHelper(false, 2), ::testing::ExitedWithCode(3), "mode == c_modeSeconds");
}
