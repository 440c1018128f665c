// Faults on any thread of the process reach the report through the fault reporter, whatever the
// faulting thread's stack and heap look like: each child ends with exit code 3, the halt's notice
// and a report with the fault's sections.
#include <signal.h>
#include <atomic>
#include <QTextCodec>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include "AppUtils/LogAbnormalExit.h"
#include "CrashReporter/CrHook.h"
#include "CrashReporter/CrTestSupport.h"
#include "Platform/FaultSignals.h"
#include "Platform/Halt.h"
#include "Utils/FuncThread.h"

#include "common/RealFaults.h"

using namespace CrTest;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

namespace
{

const char* const c_nullWrite =
    "Aborted! (.|\n)*EXCEPTION_ACCESS_VIOLATION \\(0xc0000005\\) at 0x[0-9A-F]{16}; write 0x0000000000000000";
const char* const c_overflow = "Aborted! (.|\n)*EXCEPTION_STACK_OVERFLOW";

void NullWrite()
{
    TestUtils::WriteNullHere();
}

void Overflow()
{
    TestUtils::RecurseForever(0);
}

// A codec whose name faults once armed. Qt asks every codec its name, holding the codec
// registry's lock, when it looks up a name it has not seen before.
class FaultingCodec : public QTextCodec
{
public:
    static std::atomic<bool> s_armed;

    QByteArray name() const override
    {
        if (s_armed)
            TestUtils::WriteNullHere();
        return "yr-faulting-codec";
    }
    int mibEnum() const override { return -4242; }

protected:
    QString convertToUnicode(const char*, int, ConverterState*) const override { return QString(); }
    QByteArray convertFromUnicode(const QChar*, int, ConverterState*) const override { return QByteArray(); }
};
std::atomic<bool> FaultingCodec::s_armed{false};

} // namespace

class CrReporterScenario : public ScenarioTest
{
protected:
    void InstallInternal()
    {
        StartChildApp();
        CrashReporter::InstallHook(Params(CrashReporter::WinHookMode::Internal));
    }

    // The report of an unhandled fault whose stack shows the frame; returns the thread section.
    std::string ExpectFaultReport(const std::string& frame)
    {
        fs::path reportPath, dumpPath;
        EXPECT_TRUE(FindSingleReport(reportPath, dumpPath));
        if (reportPath.empty())
            return std::string();
        const Report r = ParseReport(reportPath);
        EXPECT_EQ(r.Text("text-brief"), "Unhandled system exception");
        EXPECT_THAT(r.Text("text"), HasSubstr(frame));
        EXPECT_THAT(r.Names(), Contains("attach-dump"));
        EXPECT_THAT(r.Names(), Contains("user"));
        return r.Text("thread");
    }
};

TEST_F(CrReporterScenario, NullWriteOnAHostThreadWithASmallAlternateStack)
{
    EXPECT_EXIT(
        {
            InstallInternal();
            TestUtils::OnHostThread(64 * 1024, &NullWrite);
        },
        ::testing::ExitedWithCode(3), c_nullWrite);
    // A host thread has no registered name: its id alone.
    EXPECT_THAT(ExpectFaultReport("WriteNullHere"), MatchesRegex("[0-9]+"));
}

TEST_F(CrReporterScenario, NullWriteOnAHostThreadWithoutAlternateStack)
{
    EXPECT_EXIT(
        {
            InstallInternal();
            TestUtils::OnHostThread(0, &NullWrite);
        },
        ::testing::ExitedWithCode(3), c_nullWrite);
    ExpectFaultReport("WriteNullHere");
}

TEST_F(CrReporterScenario, StackOverflowOnAHostThread)
{
    EXPECT_EXIT(
        {
            InstallInternal();
            TestUtils::OnHostThread(64 * 1024, &Overflow);
        },
        ::testing::ExitedWithCode(3), c_overflow);
    ExpectFaultReport("RecurseForever");
}

TEST_F(CrReporterScenario, StackOverflowOnAPlatformThread)
{
    EXPECT_EXIT(
        {
            InstallInternal();
            Utils::ThreadRunFn(&Overflow, "Deep").reset();
        },
        ::testing::ExitedWithCode(3), c_overflow);
    EXPECT_THAT(ExpectFaultReport("RecurseForever"), MatchesRegex("Deep/main \\([0-9]+\\)"));
}

TEST_F(CrReporterScenario, FaultWhileTheMallocArenaLockIsHeld)
{
    EXPECT_EXIT(
        {
            InstallInternal();
            // The reporter thread makes the process multi-threaded: malloc locks its arenas.
            if (!Platform::FaultReporterRunning())
                _exit(100);
            TestUtils::FaultInsideMalloc();
            _exit(101); // the heap was not laid out as needed
        },
        ::testing::ExitedWithCode(3), "Aborted! (.|\n)*EXCEPTION_ACCESS_VIOLATION");
    EXPECT_THAT(ExpectFaultReport("malloc"), MatchesRegex("main \\([0-9]+\\)"));
}

TEST_F(CrReporterScenario, FaultWhileQtsCodecRegistryLockIsHeld)
{
    // Neither the report nor the abnormal-exit record (debug mode) may wait for that lock.
    const fs::path record = ExePath().parent_path() / "module_last_abnormal_exit.txt";
    EXPECT_EXIT(
        {
            WriteFile(ExePath().parent_path() / "debug.mode", "");
            InstallInternal();
            new AppUtils::LogAbnormalExit(record.filename().string()); // held for the process's life
            new FaultingCodec();                                       // Qt owns its codecs
            FaultingCodec::s_armed = true;
            QTextCodec::codecForName("yr-no-such-codec");
            _exit(101);
        },
        ::testing::ExitedWithCode(3), "Aborted! (.|\n)*EXCEPTION_ACCESS_VIOLATION");
    ExpectFaultReport("QTextCodec::codecForName");
    EXPECT_THAT(ReadFile(record), HasSubstr("EXCEPTION_ACCESS_VIOLATION"));
}

TEST_F(CrReporterScenario, FaultInsideAHaltEndsThatHalt)
{
    // Handed to the reporter, the fault's halt would wait for the halt it struck in until the
    // watchdog killed the process.
    EXPECT_EXIT(
        {
            InstallInternal();
            static Utils::NotificationHandle faulty = Platform::AddExitObserver(
                [](const Platform::ExitInformation& info)
                {
                    if (info.kind == 0)
                        TestUtils::WriteNullHere();
                });
            Platform::Halt(L"first halt", L"", nullptr);
        },
        ::testing::ExitedWithCode(3), "Aborted! (.|\n)*EXCEPTION_ACCESS_VIOLATION(.|\n)*Recursive exit!");
}
