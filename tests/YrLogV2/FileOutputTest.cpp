// The buffered file output: when records reach the file, the size cap, a full disk.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include "LogTestUtils.h"
#include "Platform/Halt.h"
#include "Utils/TextFileWriter.h"

#include "common/FileSizeLimit.h"

using namespace YrLogV2;
using YrLogV2Test::LogFixture;

namespace
{

QByteArray ReadAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Bounded: gives up after five seconds.
bool WaitForText(const QString& path, const QByteArray& text)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!ReadAll(path).contains(text))
    {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The folder of the test; a death test's child, which runs the test again from the start, finds
// its parent's folder through the environment.
const char c_folderVariable[] = "YR_FILE_OUTPUT_TEST_DIR";

QString TestFolder()
{
    const char* p = std::getenv(c_folderVariable);
    return p ? QString::fromLocal8Bit(p) : QString();
}

class FileOutputTest : public LogFixture
{
protected:
    void SetUp() override
    {
        LogFixture::SetUp();
        ASSERT_TRUE(m_dir.isValid());
        // A parent's folder exists while its child runs; an earlier test's folder is gone.
        if (TestFolder().isEmpty() || !QDir(TestFolder()).exists())
            ::setenv(c_folderVariable, m_dir.path().toLocal8Bit().constData(), 1);
    }

    // An output that goes on in a new file past 4 KiB and counts the clean-ups it calls.
    std::shared_ptr<IFileOutput> CreateCappedOutput()
    {
        FileOutputLimits limits;
        limits.maxFileBytes = 4096;
        limits.onNewFile = [this] { ++m_newFiles; };
        return CreateFileOutput(m_dir.path(), limits);
    }

    // Debug-log lines (written by the flusher thread) that contain what.
    long Told(const std::string& what) const
    {
        const std::vector<std::string> texts = m_out->Texts("UtilsDebugLog");
        return std::count_if(texts.begin(), texts.end(),
                             [&](const std::string& t) { return t.find(what) != std::string::npos; });
    }
    bool WaitTold(const std::string& what) const
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (Told(what) == 0 && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return Told(what) != 0;
    }

    QTemporaryDir m_dir;
    int m_newFiles = 0;
};

} // namespace

TEST_F(FileOutputTest, InfoIsBufferedThenWrittenByTheTimerWarningAtOnce)
{
    std::shared_ptr<IFileOutput> file = CreateFileOutput(m_dir.path());
    auto link = LogRoot::Instance().AttachOutput(file);
    Log log(LogRoot::RootLog(), "FileOutTimer");

    log.Add(Info, "buffered {}", 1);
    log.Add(Warning, "important {}", 2);
    // The warning takes the buffered record with it, in order.
    const QByteArray now = ReadAll(file->FilePath());
    EXPECT_GT(now.indexOf("important 2"), now.indexOf("buffered 1"));
    EXPECT_NE(-1, now.indexOf("buffered 1"));

    log.Add(Info, "later {}", 3);
    EXPECT_TRUE(WaitForText(file->FilePath(), "later 3"));
}

TEST_F(FileOutputTest, ASecondOutputWithinTheSameSecondKeepsTheFirstOnesRecords)
{
    // File names go by the second: tried again when the two outputs happened to straddle one.
    for (int attempt = 0; attempt < 3; ++attempt)
    {
        const QByteArray first = "first " + QByteArray::number(attempt);
        const QByteArray second = "second " + QByteArray::number(attempt);
        QString firstPath;
        {
            std::shared_ptr<IFileOutput> file = CreateFileOutput(m_dir.path());
            auto link = LogRoot::Instance().AttachOutput(file);
            Log(LogRoot::RootLog(), "FileOutFirst").Add(Warning, first.constData());
            firstPath = file->FilePath();
        }
        std::shared_ptr<IFileOutput> file = CreateFileOutput(m_dir.path());
        auto link = LogRoot::Instance().AttachOutput(file);
        Log(LogRoot::RootLog(), "FileOutSecond").Add(Warning, second.constData());
        if (file->FilePath() != firstPath)
            continue;
        const QByteArray text = ReadAll(firstPath);
        EXPECT_NE(-1, text.indexOf(first));
        EXPECT_GT(text.indexOf(second), text.indexOf(first));
        EXPECT_EQ(1, text.count("\xEF\xBB\xBF")); // one byte-order mark, at the start
        return;
    }
    FAIL() << "no two outputs started within one second";
}

TEST_F(FileOutputTest, PassingTheSizeCapGoesOnInANewFileAndCallsTheCleanUp)
{
    std::shared_ptr<IFileOutput> file = CreateCappedOutput();
    const QString first = file->FilePath();
    auto link = LogRoot::Instance().AttachOutput(file);
    Log log(LogRoot::RootLog(), "FileOutCap");

    const std::string text(100, 'x');
    for (int i = 0; i < 100; ++i)
        log.Add(Info, "{} {}", i, text);
    link.reset();
    const QString last = file->FilePath();
    file.reset();

    EXPECT_GE(m_newFiles, 2);
    const QStringList files = QDir(m_dir.path()).entryList({"log_*.log"}, QDir::Files);
    EXPECT_EQ(m_newFiles + 1, files.size());
    EXPECT_NE(first, last);
    EXPECT_TRUE(QFileInfo(last).fileName().endsWith(QString("_%1.log").arg(m_newFiles + 1)));
    for (const QString& name : files)
    {
        const QByteArray data = ReadAll(m_dir.filePath(name));
        EXPECT_TRUE(data.startsWith("\xEF\xBB\xBF")) << name.toStdString();
        // A file ends at the first record that passes the cap.
        EXPECT_LT(data.size(), 4096 + 200) << name.toStdString();
    }
    QByteArray all;
    for (const QString& name : files)
        all += ReadAll(m_dir.filePath(name));
    for (int i = 0; i < 100; ++i)
        EXPECT_TRUE(all.contains(QByteArray::number(i) + " xxx")) << i;
}

using TestUtils::FileSizeLimit;

TEST_F(FileOutputTest, AFullDiskLeavesNoFileBehindAndLoggingResumesInANewFileOnceThereIsRoom)
{
    std::shared_ptr<IFileOutput> file = CreateCappedOutput();
    const QString first = file->FilePath();
    auto link = LogRoot::Instance().AttachOutput(file);
    Log log(LogRoot::RootLog(), "FileOutFull");
    const std::string text(100, 'x');
    {
        FileSizeLimit full(2);
        for (int i = 0; i < 2000; ++i)
            log.Add(Info, "lost {} {}", i, text);
        file->Flush();
    }
    EXPECT_EQ(QFileInfo(first).fileName().toStdString(),
              QDir(m_dir.path()).entryList(QDir::Files).join(" ").toStdString());
    EXPECT_EQ(0, m_newFiles);

    // Room again: the first record after the pause starts the next file, which the clean-up hears of.
    std::this_thread::sleep_for(std::chrono::milliseconds(IFileOutput::c_startRetryMs));
    log.Add(Info, "back {}", 1);
    log.Add(Warning, "back {}", 2);
    EXPECT_EQ(1, m_newFiles);
    EXPECT_EQ(2, QDir(m_dir.path()).entryList(QDir::Files).size());
    EXPECT_TRUE(file->FilePath().endsWith("_2.log"));
    EXPECT_TRUE(ReadAll(file->FilePath()).contains("FileOutFull: back 2"));

    EXPECT_TRUE(WaitTold("can't be opened") && WaitTold("write failed"));
    EXPECT_EQ(1, Told("YrLogV2: next log file '"));
    EXPECT_EQ(1, Told("YrLogV2: log file write failed: File too large"));
}

TEST_F(FileOutputTest, AFolderFullAtTheStartGetsItsFirstFileOnceThereIsRoom)
{
    std::shared_ptr<IFileOutput> file;
    std::unique_ptr<Utils::IVirtualDestroy> link;
    Log log(LogRoot::RootLog(), "FileOutFullAtStart");
    {
        FileSizeLimit full(2); // not even the byte-order mark fits
        file = CreateCappedOutput();
        link = LogRoot::Instance().AttachOutput(file);
        for (int i = 0; i < 10; ++i)
            log.Add(Warning, "lost {}", i);
        file->Flush();
        EXPECT_TRUE(file->FilePath().isEmpty());
        EXPECT_TRUE(QDir(m_dir.path()).entryList(QDir::Files).isEmpty());
    }

    std::this_thread::sleep_for(std::chrono::milliseconds(IFileOutput::c_startRetryMs));
    log.Add(Warning, "back {}", 1);
    const QStringList files = QDir(m_dir.path()).entryList(QDir::Files);
    ASSERT_EQ(1, files.size());
    EXPECT_EQ(m_dir.filePath(files[0]), file->FilePath());
    EXPECT_FALSE(files[0].endsWith("_2.log")) << files[0].toStdString();
    const QByteArray text = ReadAll(file->FilePath());
    EXPECT_TRUE(text.contains("FileOutFullAtStart: back 1"));
    EXPECT_FALSE(text.contains("lost"));
    EXPECT_EQ(1, m_newFiles);
    EXPECT_TRUE(WaitTold("can't be opened"));
    EXPECT_EQ(1, Told("YrLogV2: log file '"));
}

namespace
{

// Logs one Info record and halts at once: the buffered record must be in the file.
void LogThenHalt(const QString& folder)
{
    std::shared_ptr<IFileOutput> file = CreateFileOutput(folder);
    auto link = LogRoot::Instance().AttachOutput(file);
    Log log(LogRoot::RootLog(), "FileOutHalt");
    log.Add(Info, "the last record before the halt");
    Platform::Halt(L"halted right after logging", L"test", nullptr);
}

} // namespace

TEST_F(FileOutputTest, AHaltRightAfterLoggingKeepsTheLastRecord)
{
    EXPECT_EXIT(LogThenHalt(TestFolder()), ::testing::ExitedWithCode(Platform::c_haltExitCode),
                "halted right after logging");
    const QStringList files = QDir(TestFolder()).entryList({"log_*.log"}, QDir::Files);
    ASSERT_EQ(1, files.size());
    EXPECT_TRUE(ReadAll(QDir(TestFolder()).filePath(files[0])).contains("FileOutHalt: the last record before the halt"));
}

namespace
{

// Logs and leaves through exit() with the output still attached (the root keeps it alive).
void LogThenExit(const QString& folder)
{
    static std::unique_ptr<Utils::IVirtualDestroy> link;
    link = LogRoot::Instance().AttachOutput(CreateFileOutput(folder));
    Log log(LogRoot::RootLog(), "FileOutExit");
    log.Add(Info, "the last record before exit");
    std::exit(0);
}

} // namespace

TEST_F(FileOutputTest, ProcessExitWritesTheBufferOut)
{
    EXPECT_EXIT(LogThenExit(TestFolder()), ::testing::ExitedWithCode(0), "");
    const QStringList files = QDir(TestFolder()).entryList({"log_*.log"}, QDir::Files);
    ASSERT_EQ(1, files.size());
    EXPECT_TRUE(ReadAll(QDir(TestFolder()).filePath(files[0])).contains("FileOutExit: the last record before exit"));
}
