// The named entry "CrasherEntry": the command-line front end of the crasher.
//   CrasherEntry <crash type> [<thread>]
#include <iostream>
#include "AppUtils/AppPaths.h"
#include "CrashReporter/CrHook.h"
#include "CrashReporterTestUtils/Crasher.h"
#include "SarvikAppSetup/AppSetup.h"
#include "Utils/AppEntry.h"
#include "Utils/ExeName.h"

namespace CrashReporterTestUtils
{

namespace
{

// Run by a program that made no application set-up (the entry runner): the set-up the plug-in
// makes, so that the reports go where the plug-in's would.
void EnsureAppSetup()
{
    if (SarvikAppSetup::AppSetupInstanceExists())
        return;
    SarvikAppSetup::AppSetupInstanceSet(SarvikAppSetup::AppSetupParams(
        L"config.ini", L"", L"", AppUtils::SarvikAppMode::VdiModule, SarvikAppSetup::VdiMode::VMware,
        AppUtils::ToPath(Utils::ExeName::Instance().GetExeName())));
}

int CrasherEntry(const Utils::ArgStringList& args)
{
    EnsureAppSetup();
    CrashReporter::HookParams params;
    const boost::filesystem::path reports =
        AppUtils::GetReportPath(SarvikAppSetup::AppSetupInstance().GetPaths());
    params.m_dumpFolder = AppUtils::FromPath(CrashReporter::MakeVersionFolder(reports));
    params.m_fullDump = false;
    params.m_mode = CrashReporter::WinHookMode::Procdump;
    CrashReporter::InstallHook(params);

    Crasher crasher;
    crasher.AddMsgThread();

    if (args.size() < 1 || args.size() > 2)
    {
        std::cout << "Extra args: crash_type [thread_name]" << std::endl;
        std::cout << std::endl;
        std::cout << crasher.Help() << std::endl;
        return -1;
    }

    const CrashType type = CrashType::FromName(args[0]);
    const std::string thread = (args.size() > 1) ? args[1] : std::string();
    crasher.Crash(thread, type);
    return 0;
}

const RegisterAppEntry g_crasherEntry("CrasherEntry", &CrasherEntry, true);

} // namespace

} // namespace CrashReporterTestUtils
