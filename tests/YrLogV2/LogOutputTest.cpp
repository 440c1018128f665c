#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>
#include "ESS/ChildProcessRun.h"
#include "ESS/Exception.h"
#include "LogTestUtils.h"
#include "Platform/Halt.h"
#include "Platform/Thread.h"
#include "Utils/ThreadNames.h"

#include "common/StreamLockHolder.h"

using namespace YrLogV2;
using ::testing::ElementsAre;
using YrLogV2Test::LogFixture;

namespace
{

std::chrono::system_clock::time_point LocalTime(int y, int mo, int d, int h, int mi, int s, int ms)
{
    std::tm t{};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    t.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&t)) + std::chrono::milliseconds(ms);
}

} // namespace

TEST(LogLineTest, FieldsArePaddedAndOrdered)
{
    LogRecord r;
    r.time = LocalTime(2024, 3, 5, 7, 8, 9, 45);
    r.thread = "main";
    r.level = 7;
    r.tag = "Info";
    r.node = "Threads";
    r.text = "startup: x";
    EXPECT_EQ("2024-03-05 07:08:09.045 main               Info     Threads: startup: x", FormatRecordLine(r));

    // Long fields are not cut; the cached second of the thread is refreshed.
    r.time = LocalTime(2024, 12, 31, 23, 59, 58, 999);
    r.thread = "HostBridge/main/extra-long-name";
    r.tag = "LogTraceOnce";
    EXPECT_EQ("2024-12-31 23:59:58.999 HostBridge/main/extra-long-name LogTraceOnce Threads: startup: x",
              FormatRecordLine(r));
}

TEST(LogLineTest, FileNameFromStartTimeAndPid)
{
    const QDateTime start(QDate(2024, 3, 5), QTime(7, 8, 9));
    EXPECT_EQ(QString("log_240305_070809_pid1234.log"), MakeLogFileName(start, 1234));
}

class LogOutputTest : public LogFixture
{
};

TEST_F(LogOutputTest, FileOutputWritesUtf8LinesWithBom)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString folder = dir.filePath("nested/Logs");
    std::shared_ptr<IFileOutput> file = CreateFileOutput(folder);
    const QString path = file->FilePath();
    EXPECT_EQ(QDir(folder).absolutePath(), QFileInfo(path).absolutePath());
    const QRegularExpression name("^log_\\d{6}_\\d{6}_pid" + QString::number(::getpid()) + "\\.log$");
    EXPECT_TRUE(name.match(QFileInfo(path).fileName()).hasMatch()) << path.toStdString();

    Log log(LogRoot::RootLog(), "FileOut");
    {
        auto link = LogRoot::Instance().AttachOutput(file);
        log.Add(Info, "файл {}", 1);
        log.Add(Warning, L"второй");
        log.Add(LogTrace, "filtered");
    }
    log.Add(Info, "after detach");
    file.reset();

    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray data = f.readAll();
    ASSERT_GE(data.size(), 3);
    EXPECT_EQ(QByteArray("\xEF\xBB\xBF"), data.left(3));
    const QStringList lines = QString::fromUtf8(data.mid(3)).split('\n');
    ASSERT_EQ(3, lines.size()) << data.toStdString();
    EXPECT_TRUE(lines[2].isEmpty());
    const QRegularExpression line1(
        "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} .{18,} Info     FileOut: файл 1$");
    const QRegularExpression line2("^\\d{4}-.* Warning  FileOut: второй$");
    EXPECT_TRUE(line1.match(lines[0]).hasMatch()) << lines[0].toStdString();
    EXPECT_TRUE(line2.match(lines[1]).hasMatch()) << lines[1].toStdString();
}

TEST_F(LogOutputTest, FileOutputInUnwritableFolderThrows)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // A regular file where the folder should be.
    const QString blocker = dir.filePath("blocker");
    QFile f(blocker);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    EXPECT_THROW(CreateFileOutput(blocker), ESS::Exception);
}

TEST_F(LogOutputTest, ConsoleOutputWritesLinesToStdout)
{
    Log log(LogRoot::RootLog(), "ConsoleOut");
    ::testing::internal::CaptureStdout();
    {
        auto link = LogRoot::Instance().AttachOutput(CreateConsoleOutput());
        log.Add(Error, "to the console {}", 2);
    }
    const std::string out = ::testing::internal::GetCapturedStdout();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ('\n', out.back());
    EXPECT_NE(std::string::npos, out.find(" Error    ConsoleOut: to the console 2\n")) << out;
}

// On the halt path a record meets standard output held for good (a thread stopped inside printf):
// past the short wait it goes to descriptor 1 directly instead of being lost.
TEST_F(LogOutputTest, ConsoleOutputOnTheHaltPathWritesPastAHeldStandardOutput)
{
    const auto r = TestUtils::RunInChild(
        []
        {
            auto link = LogRoot::Instance().AttachOutput(CreateConsoleOutput());
            static Log log(LogRoot::RootLog(), "ConsoleHalt");
            static Utils::NotificationHandle h = Platform::AddExitObserver(
                [](const Platform::ExitInformation& i)
                {
                    if (i.kind == 0)
                        log.Add(Error, "past the held lock");
                });
            const TestUtils::StreamLockHolder held(stdout);
            Platform::SetTerminateSelfHandler([] {});
            Platform::Halt(L"halt", L"", nullptr);
        });
    ASSERT_TRUE(r.exited) << r.err;
    EXPECT_NE(std::string::npos, r.out.find(" Error    ConsoleHalt: past the held lock\n")) << r.out;
}

TEST_F(LogOutputTest, RecordCarriesThreadName)
{
    // The registry names whichever thread makes it "main"; the start-up makes it first of all.
    Utils::ThreadNames::Instance();
    Log log(LogRoot::RootLog(), "ThreadField");
    log.Add(Info, "from main");
    std::string id;
    std::thread t(
        [&]
        {
            id = Platform::ThreadIdToString(Platform::Thread::GetCurrentThreadID());
            log.Add(Info, "from a thread");
        });
    t.join();
    const std::vector<LogRecord> recs = m_out->Records();
    ASSERT_EQ(2u, recs.size());
    EXPECT_EQ(Platform::CurrentThreadName(), recs[0].thread);
    EXPECT_FALSE(recs[0].thread.empty());
    // An unnamed thread is shown by its id.
    EXPECT_EQ(id, recs[1].thread);
}

// Each scenario below needs a root that never had an output, so it runs in a process of its own.
namespace
{

bool Expect(bool ok, const char* what)
{
    if (!ok)
        std::fprintf(stderr, "failed: %s\n", what);
    return ok;
}

void EarlyReplayScenario()
{
    Log a(LogRoot::RootLog(), "EarlyA");
    Log b(a, "B");
    a.Add(Info, "first");
    std::thread t([&] { b.Add(Warning, "second {}", 2); });
    t.join();
    a.Add(LogTrace, "filtered");
    b.Put("third", Info);

    auto m1 = std::make_shared<MemoryOutput>();
    auto m2 = std::make_shared<MemoryOutput>();
    auto link = LogRoot::Instance().AttachOutputs({m1, m2});
    a.Add(Info, "fourth");
    auto m3 = std::make_shared<MemoryOutput>();
    auto link3 = LogRoot::Instance().AttachOutput(m3);
    a.Add(Info, "fifth");

    bool ok = true;
    for (const auto& m : {m1, m2})
    {
        std::vector<std::string> mine;
        for (const LogRecord& r : m->Records())
            if (r.node.rfind("EarlyA", 0) == 0)
                mine.push_back(r.node + ":" + r.text);
        const std::vector<std::string> expected = {"EarlyA:first", "EarlyA.B:second 2", "EarlyA.B:third",
                                                   "EarlyA:fourth", "EarlyA:fifth"};
        ok &= Expect(mine == expected, "replayed records in order");
    }
    ok &= Expect(m3->Texts("EarlyA") == std::vector<std::string>{"fifth"}, "no replay into a later attach");
    std::_Exit(ok ? 0 : 1);
}

void EarlyLimitScenario()
{
    Log log(LogRoot::RootLog(), "EarlyMany");
    const int c_extra = 5;
    for (size_t i = 0; i < LogRoot::c_earlyRecordLimit + c_extra; ++i)
        log.Add(Info, "#{}", i);

    auto m = std::make_shared<MemoryOutput>();
    auto link = LogRoot::Instance().AttachOutput(m);
    const std::vector<LogRecord> recs = m->Records();
    const std::vector<std::string> mine = m->Texts("EarlyMany");

    bool ok = Expect(recs.size() == LogRoot::c_earlyRecordLimit + 1, "limit plus the warning");
    for (size_t i = 0; ok && i < mine.size(); ++i)
        ok &= Expect(mine[i] == "#" + std::to_string(i), "the oldest records are kept");
    if (ok)
    {
        // Records logged by others before ours took buffer places and were kept too.
        const size_t dropped = LogRoot::c_earlyRecordLimit + c_extra - mine.size();
        ok &= Expect(recs.back().tag == "Warning" && recs.back().node == "root", "warning from the root");
        ok &= Expect(recs.back().text == std::to_string(dropped) +
                                             " early log records were dropped before the log was set up",
                     "dropped count");
    }
    std::_Exit(ok ? 0 : 1);
}

void DiscardScenario()
{
    Log log(LogRoot::RootLog(), "EarlyDiscard");
    log.Add(Info, "before");
    LogRoot::Instance().DiscardEarlyRecords();
    log.Add(Info, "no output yet");
    auto m = std::make_shared<MemoryOutput>();
    auto link = LogRoot::Instance().AttachOutput(m);
    log.Add(Info, "after");
    std::_Exit(Expect(m->Texts("EarlyDiscard") == std::vector<std::string>{"after"}, "discarded") ? 0 : 1);
}

} // namespace

TEST(LogEarlyBufferDeathTest, RecordsBeforeFirstAttachAreReplayedInOrder)
{
    EXPECT_EXIT(EarlyReplayScenario(), ::testing::ExitedWithCode(0), "");
}

TEST(LogEarlyBufferDeathTest, BufferIsBoundedAndCountsDroppedRecords)
{
    EXPECT_EXIT(EarlyLimitScenario(), ::testing::ExitedWithCode(0), "");
}

TEST(LogEarlyBufferDeathTest, DiscardStopsBuffering)
{
    EXPECT_EXIT(DiscardScenario(), ::testing::ExitedWithCode(0), "");
}
