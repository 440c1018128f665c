// Faults on any thread of the process reach the report through the fault reporter, whatever the
// faulting thread's stack and heap look like: each child ends with exit code 3, the halt's notice
// and a report with the fault's sections.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <QTextCodec>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include "AppUtils/LogAbnormalExit.h"
#include "CrashReporter/CrHook.h"
#include "CrashReporter/CrTestSupport.h"
#include "Platform/FaultSignals.h"
#include "Platform/Halt.h"
#include "Utils/FuncThread.h"
#include "Utils/ThreadNames.h"
#include "YrLogV2/Log.h"
#include "YrLogV2/LogOutput.h"

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

// A halt that the fault reporter runs says so first on standard error, past the stream's lock.
const char* const c_reporterHalts = "halt on the fault reporter\n(.|\n)*Aborted! (.|\n)*EXCEPTION_ACCESS_VIOLATION";

void SayWhichThreadHalts(const Platform::ExitInformation& info)
{
    if (info.kind != 0)
        return;
    const char* text = Platform::IsFaultReporterThread() ? "halt on the fault reporter\n" : "halt on another thread\n";
    (void)::write(STDERR_FILENO, text, std::strlen(text));
}

// Faults while the faulting thread holds a lock that the report or the abnormal-exit record
// once took; each helper is a frame of its own in the report's stack.
YR_REAL_FAULT void FaultHoldingTheStandardErrorLock()
{
    ::flockfile(stderr); // as code that writes a line in pieces does
    TestUtils::WriteNullHere();
    ::funlockfile(stderr);
}

YR_REAL_FAULT void FaultHoldingTheStandardOutputLock()
{
    // The C library's own printf: the sanitizer's reads the string before it calls it. Two
    // conversions, or a compiler would make it puts, which reads the string before it locks.
    using Printf = int (*)(const char*, ...);
    void* const libc = ::dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    const auto print = reinterpret_cast<Printf>(::dlsym(libc, "printf"));
    // Used after it returns, so that the call stays a frame of this function.
    const volatile int written = print("%s: %d\n", &TestUtils::InaccessibleObject<char>(), 1);
    (void)written;
}

YR_REAL_FAULT void FaultHoldingTheTimeZoneLock()
{
    const std::time_t now = std::time(nullptr);
    ::localtime_r(&now, &TestUtils::InaccessibleObject<std::tm>());
}

YR_REAL_FAULT void FaultHoldingTheStreamListLock()
{
    // Closing a stream walks the list of streams under the list's lock: a broken link faults there.
    FILE* older = std::fopen("/dev/null", "r");
    FILE* newer = std::fopen("/dev/null", "r");
    newer->_chain = &TestUtils::InaccessibleObject<FILE>();
    std::fclose(older);
    std::fclose(newer);
}

YR_REAL_FAULT void FaultHoldingTheThreadNameLock()
{
    // The name is copied under the registry's lock.
    Utils::ThreadNames::Instance().Register(reinterpret_cast<void*>(uintptr_t(0xFFFF0F01)),
                                            TestUtils::InaccessibleObject<std::string>());
}

} // namespace

class CrReporterScenario : public ScenarioTest
{
protected:
    void InstallInternal()
    {
        StartChildApp();
        CrashReporter::InstallHook(Params(CrashReporter::WinHookMode::Internal));
    }

    // In the child: debug mode, so that the abnormal-exit record is kept too, and the line that
    // says which thread halts.
    void InstallWithRecord()
    {
        WriteFile(RecordPath().parent_path() / "debug.mode", "");
        InstallInternal();
        new AppUtils::LogAbnormalExit(RecordPath().filename().string()); // held for the process's life
        static Utils::NotificationHandle saying = Platform::AddExitObserver(&SayWhichThreadHalts);
    }

    fs::path RecordPath() const { return ExePath().parent_path() / "module_last_abnormal_exit.txt"; }

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
    // Neither the report nor the abnormal-exit record may wait for that lock. It is recursive: a
    // report written on the faulting thread would take it again, so the reporter must be the one.
    EXPECT_EXIT(
        {
            InstallWithRecord();
            new FaultingCodec(); // Qt owns its codecs
            FaultingCodec::s_armed = true;
            QTextCodec::codecForName("yr-no-such-codec");
            _exit(101);
        },
        ::testing::ExitedWithCode(3), c_reporterHalts);
    ExpectFaultReport("QTextCodec::codecForName");
    EXPECT_THAT(ReadFile(RecordPath()), HasSubstr("EXCEPTION_ACCESS_VIOLATION"));
}

struct HeldLock
{
    const char* name;
    void (*fault)();
    const char* frame; // in the report's stack

    friend void PrintTo(const HeldLock& l, std::ostream* os) { *os << l.name; }
};

class CrFaultUnderLockScenario : public CrReporterScenario, public ::testing::WithParamInterface<HeldLock>
{
};

// The report and the record come whole, from the fault reporter, although the faulting thread
// never lets go of the lock.
TEST_P(CrFaultUnderLockScenario, ReportAndRecordDoNotWaitForIt)
{
    EXPECT_EXIT(
        {
            InstallWithRecord();
            // A file, as for a host started in the background: its stream is fully buffered.
            std::freopen((Root() / "stdout.txt").c_str(), "w", stdout);
            GetParam().fault();
            _exit(101);
        },
        ::testing::ExitedWithCode(3), c_reporterHalts);
    ExpectFaultReport(GetParam().frame);
    EXPECT_THAT(ReadFile(RecordPath()), HasSubstr("EXCEPTION_ACCESS_VIOLATION"));
}

// A report that cannot be written ends in the crash reporter's own halt, which waits for no lock
// of the faulting thread either: its line goes to the log too, as records do in the plug-in.
TEST_F(CrReporterScenario, UnwritableReportEndsTheProcessUnderTheTimeZoneLock)
{
    WriteFile(ReportFolder(), "a file where the reports' folder belongs");
    EXPECT_EXIT(
        {
            InstallWithRecord();
            static auto log = YrLogV2::LogRoot::Instance().AttachOutput(
                YrLogV2::CreateFileOutput(QString::fromStdString((Root() / "logs").string())));
            FaultHoldingTheTimeZoneLock();
            _exit(101);
        },
        ::testing::ExitedWithCode(3), std::string(c_reporterHalts) + "(.|\n)*CrashReporter halt");
    EXPECT_THAT(ReadFile(RecordPath()), HasSubstr("EXCEPTION_ACCESS_VIOLATION"));
    const std::vector<std::string> logs = FilesWithExt(Root() / "logs", ".log");
    ASSERT_EQ(1u, logs.size());
    EXPECT_THAT(ReadFile(Root() / "logs" / logs[0]), HasSubstr("UtilsDebugLog: CrashReporter halt"));
}

INSTANTIATE_TEST_SUITE_P(
    CLibraryAndOwnLocks, CrFaultUnderLockScenario,
    ::testing::Values(
        HeldLock{"StandardError", &FaultHoldingTheStandardErrorLock, "FaultHoldingTheStandardErrorLock"},
        HeldLock{"StandardOutput", &FaultHoldingTheStandardOutputLock, "FaultHoldingTheStandardOutputLock"},
        HeldLock{"TimeZone", &FaultHoldingTheTimeZoneLock, "FaultHoldingTheTimeZoneLock"},
        HeldLock{"StreamList", &FaultHoldingTheStreamListLock, "FaultHoldingTheStreamListLock"},
        HeldLock{"ThreadNames", &FaultHoldingTheThreadNameLock, "ThreadNames::Register"}),
    [](const ::testing::TestParamInfo<HeldLock>& info) { return std::string(info.param.name); });

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
