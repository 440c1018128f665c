// The logging benchmark entries, run by the entry runner, and their tick timer.
#include <gtest/gtest.h>
#include "YrLogV2/TimerTicks.h"

#include "common/EntryHostRun.h"

TEST(TimerTicksTest, SleepWaitsAtLeastTheIntervalAndStops)
{
    Utils::TimerTicks timer;
    const uint32_t before = timer.GetTicks();
    timer.Sleep(20);
    EXPECT_GE(static_cast<uint32_t>(timer.GetTicks() - before), 20u);
    // Stopped: the elapsed time is the tick value itself.
    const uint32_t now = timer.GetTicks();
    EXPECT_GE(timer.Elapsed(), now);
}

class BenchEntriesTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!TestUtils::EntryHostBuilt())
            GTEST_SKIP() << "entry_host is not built";
    }

    static TestUtils::EntryHostRun Run(const char* entry, const QStringList& args)
    {
        return TestUtils::RunEntryHost(entry, QByteArray(), QProcessEnvironment(), args);
    }
};

TEST_F(BenchEntriesTest, LoopEntryWritesTheGivenCount)
{
    const TestUtils::EntryHostRun r = Run("YrLogBenchLoopV2", QStringList() << "200");
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(0, r.exitCode) << r.err.toStdString();
    EXPECT_TRUE(r.out.startsWith("file: 200 records in ")) << r.out.toStdString();
}

TEST_F(BenchEntriesTest, LoopEntryWantsOneCount)
{
    for (const QStringList& args : {QStringList(), QStringList() << "x", QStringList() << "0",
                                    QStringList() << "1" << "2"})
    {
        const TestUtils::EntryHostRun r = Run("YrLogBenchLoopV2", args);
        ASSERT_TRUE(r.finished);
        EXPECT_EQ(255, r.exitCode);
        EXPECT_EQ("Please, pass records count as first arg!\n", r.out.toStdString());
    }
}

TEST_F(BenchEntriesTest, SeriesEntryRunsEveryConfigurationAndHelpListsBoth)
{
    const TestUtils::EntryHostRun r = Run("YrLogBenchV2", QStringList());
    ASSERT_TRUE(r.finished);
    EXPECT_EQ(0, r.exitCode) << r.err.toStdString();
    const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(3, lines.size()) << r.out.toStdString();
    EXPECT_TRUE(lines[0].startsWith("filtered out: 100000 records in "));
    EXPECT_TRUE(lines[1].startsWith("discarded: 100000 records in "));
    EXPECT_TRUE(lines[2].startsWith("file: 100000 records in "));

    // Byte order: both names sit between "WinHeapTest" and "entry_help".
    const QString help = Run("entry_help", QStringList()).out;
    EXPECT_TRUE(help.contains("    YrLogBenchLoopV2\n    YrLogBenchV2\n    entry_help\n")) << help.toStdString();
}
