// The crash kinds that end in a real fault, each in a child process with the crash hook installed
// the way the plug-in installs it (the unhandled-fault filter), or the way the named entry does
// (the external dump tool, which leaves faults to the system).
#include <signal.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include "CrashReporter/CrHook.h"
#include "CrashReporter/CrTestSupport.h"
#include "CrashReporterTestUtils/CrasherScenarioBase.h"
#include "CrashReporterTestUtils/Crasher.h"
#include "Utils/AppEntry.h"

using namespace CrTest;
using CrashReporterTestUtils::Crasher;
using CrashReporterTestUtils::CrashType;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

class CrasherFaultScenario : public CrasherScenarioBase
{
};

TEST_F(CrasherFaultScenario, AccessViolationOnTheCallingThread)
{
    EXPECT_EXIT(CrashWithInternalHook("", CrashType::AV), ::testing::ExitedWithCode(3),
                "EXCEPTION_ACCESS_VIOLATION \\(0xc0000005\\) at 0x[0-9A-F]{16}; write 0x0000000000000000");
    const Report r = TheReport();
    EXPECT_EQ(r.Text("text-brief"), "Unhandled system exception");
    EXPECT_THAT(r.Text("text"), HasSubstr("WriteThroughNull"));
}

TEST_F(CrasherFaultScenario, AccessViolationOnAnUnprotectedThread)
{
    EXPECT_EXIT(CrashWithInternalHook("+u", CrashType::AV), ::testing::ExitedWithCode(3),
                "EXCEPTION_ACCESS_VIOLATION");
    EXPECT_THAT(TheReport().Text("thread"), MatchesRegex("CrashInRawThread/main \\([0-9]+\\)"));
}

TEST_F(CrasherFaultScenario, AccessViolationOnTheMessageThread)
{
    EXPECT_EXIT(CrashWithInternalHook("iCore", CrashType::AV), ::testing::ExitedWithCode(3),
                "EXCEPTION_ACCESS_VIOLATION");
    EXPECT_THAT(TheReport().Text("thread"), HasSubstr("iCoreCrasherThread"));
}

TEST_F(CrasherFaultScenario, InsideQtSignalDelivery)
{
    EXPECT_EXIT(CrashWithInternalHook("", CrashType::InsideQt), ::testing::ExitedWithCode(3),
                "EXCEPTION_ACCESS_VIOLATION");
    const std::string text = TheReport().Text("text");
    // The fault's first frames are Qt's, delivering the signal.
    const size_t stack = text.find("* stack trace *");
    ASSERT_NE(stack, std::string::npos);
    EXPECT_THAT(text.substr(stack, 400), HasSubstr("QCoreApplication::postEvent"));
    EXPECT_THAT(text, HasSubstr("QObject::objectNameChanged"));
}

TEST_F(CrasherFaultScenario, StackOverflow)
{
    EXPECT_EXIT(CrashWithInternalHook("", CrashType::StackOverflow), ::testing::ExitedWithCode(3),
                "EXCEPTION_STACK_OVERFLOW");
    EXPECT_EQ(TheReport().Text("text-brief"), "Unhandled system exception");
}

TEST_F(CrasherFaultScenario, StackOverflowOnTheRawThread)
{
    EXPECT_EXIT(CrashWithInternalHook("+r", CrashType::StackOverflow), ::testing::ExitedWithCode(3),
                "Aborted! (.|\n)*EXCEPTION_STACK_OVERFLOW");
    const Report r = TheReport();
    EXPECT_EQ(r.Text("text-brief"), "Unhandled system exception");
    EXPECT_THAT(r.Text("text"), HasSubstr("OverflowStack"));
    EXPECT_THAT(r.Names(), ::testing::Contains("attach-dump"));
}

TEST_F(CrasherFaultScenario, EntryLeavesFaultsToTheDumpTool)
{
    // The entry installs the hook in the external tool's mode: no filter of ours, so the fault
    // ends the process with its signal and no report (the tool, when present, writes the dump).
    EXPECT_EXIT(
        {
            StartChildApp();
            Utils::RunEntry("CrasherEntry", {"AV"});
        },
        ::testing::KilledBySignal(SIGSEGV), "");
    EXPECT_TRUE(FilesWithExt(ReportFolder(), ".crash").empty());
}
