#pragma once
#include <unistd.h>
#include <string>
#include "CrashReporter/CrHook.h"
#include "CrashReporter/CrTestSupport.h"
#include "CrashReporterTestUtils/Crasher.h"

namespace CrTest
{

// A scenario whose child installs the crash hook the way the plug-in does, then crashes.
class CrasherScenarioBase : public ScenarioTest
{
protected:
    using Crasher = CrashReporterTestUtils::Crasher;
    using CrashType = CrashReporterTestUtils::CrashType;

    // In the child: the crash hook as the plug-in installs it, then the crash.
    [[noreturn]] void CrashWithInternalHook(const std::string& thread, CrashType::Value type)
    {
        StartChildApp();
        CrashReporter::InstallHook(Params(CrashReporter::WinHookMode::Internal));
        Crasher c;
        c.AddMsgThread();
        c.Crash(thread, type);
        _exit(100);
    }

    Report TheReport()
    {
        fs::path reportPath, dumpPath;
        EXPECT_TRUE(FindSingleReport(reportPath, dumpPath));
        return reportPath.empty() ? Report() : ParseReport(reportPath);
    }
};

} // namespace CrTest
