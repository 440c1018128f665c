#include "VdiCommon/CrashHook.h"

#include "AppUtils/AppConfig.h"
#include "AppUtils/AppPaths.h"
#include "CrashReporter/CrHook.h"
#include "SarvikAppSetup/AppSetup.h"
#include "YrLogV2/Log.h"

namespace VdiCommon
{

namespace details
{

CrashReporter::HookParams MakeCrashHookParams()
{
    const AppUtils::AppPaths& paths = SarvikAppSetup::AppSetupInstance().GetPaths();
    const boost::filesystem::path folder = CrashReporter::MakeVersionFolder(AppUtils::GetReportPath(paths));

    CrashReporter::HookParams params;
    params.m_flag = false;
    params.m_dumpFolder = AppUtils::FromPath(folder);
    params.m_fullDump = AppUtils::AppConfigInstance().m_fullCrashDump.Value();
    params.m_value = 0;
    params.m_enforceErrorMode = false;
    params.m_mode = CrashReporter::WinHookMode::Internal;
    return params;
}

} // namespace details

void InstallCrashHook()
{
    YrLogV2::Log& log = YrLogV2::LogRoot::RootLog();
    if (CrashReporter::IsHookInstalled())
    {
        log.Add(YrLogV2::Info, "InstallCrashHook: crash hook is already setup");
        return;
    }
    if (!AppUtils::AppConfigInstance().m_vdiCrashHookEnabled.Value())
    {
        log.Add(YrLogV2::Info, "InstallCrashHook: crash hook is disabled by config");
        return;
    }
    CrashReporter::InstallHook(details::MakeCrashHookParams());
    log.Add(YrLogV2::Info, "InstallCrashHook: installed");
}

} // namespace VdiCommon
