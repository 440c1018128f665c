#include "VMware/Client/VMwareEntry.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <boost/filesystem/path.hpp>
#include "AppUtils/AppConfig.h"
#include "AppUtils/AppMode.h"
#include "AppUtils/AppPaths.h"
#include "AppUtils/AppStart.h"
#include "AppUtils/CleanFiles.h"
#include "AppUtils/LogAbnormalExit.h"
#include "AppUtils/LogSetup.h"
#include "CrashReporter/CrHook.h"
#include "ESS/Exception.h"
#include "Platform/StackTrace.h"
#include "Platform/SysInfo.h"
#include "SarvikAppSetup/AppSetup.h"
#include "SarvikAppSetup/AppSetupParams.h"
#include "Utils/DebugLog.h"
#include "Utils/ExeName.h"
#include "Utils/LexicalCast.h"
#include "Utils/StringUtils.h"
#include "Utils/ThreadsInfo.h"
#include "VMware/Client/DriverCore.h"
#include "VMware/Client/Torvane/TnVmwareExec.h"
#include "VdiCommon/AppPath.h"
#include "VdiCommon/CrashHook.h"
#include "YrLogV2/Log.h"

namespace VMware
{
namespace Client
{

namespace
{

// Set once the channel is registered: the application start-up behind it exists once per module,
// so a second call of the export is refused rather than repeated.
std::atomic<bool> g_started(false);

void ShowConsoleIfConfigured(YrLogV2::Log& log)
{
    const boost::optional<std::string> raw =
        AppUtils::AppConfigInstance().GetRawValue("VMwareModuleShowConsole");
    if (!raw)
        return;
    bool show = false;
    try
    {
        show = LexicalCast<bool>(*raw);
    }
    catch (const BadLexicalCast&)
    {
        // A mistyped switch must not cost the channel: no console, and say why.
        log.Add(YrLogV2::Warning, "VMwareModuleShowConsole value '{}' is not a boolean, no console", *raw);
        return;
    }
    if (show)
        Platform::ShowConsole();
}

bool StartApplication(YrLogV2::Log& log)
{
    AppUtils::g_moduleMode = true;

    AddClientObject(AppStartWithAsyncDest(1, VdiCommon::AppPath::GetModuleArgv()));

    // Records an abnormal end, whenever that comes. One per load: it goes with the
    // module's statics when the host unloads it, so loading again makes no second one.
    static const AppUtils::LogAbnormalExit s_abnormalExit("module_last_abnormal_exit.txt");
    log.Add(YrLogV2::Info, "CreateDriver, StartUp done for YR VMware plugin");

    SarvikAppSetup::AppSetupInstanceSet(SarvikAppSetup::AppSetupParams(
        L"config.ini", L"", L"", AppUtils::SarvikAppMode::VdiModule, SarvikAppSetup::VdiMode::VMware,
        AppUtils::ToPath(Utils::ExeName::Instance().GetExeName())));

    const AppUtils::AppPaths& paths = SarvikAppSetup::AppSetupInstance().GetPaths();
    AppUtils::CleanFilesRule rule;
    rule.path = AppUtils::GetReportPath(paths);
    rule.max_cnt = 16;
    rule.max_size_mb = 20;
    const int cleaned = CleanFiles(rule);
    log.Add(YrLogV2::Info, "Clean path '{}' result: {}", rule.path.string(), cleaned);

    VdiCommon::InstallCrashHook();
    log.Add(YrLogV2::Info, "CreateDriver, Config instantiated.");

    AddClientObject(SetupLogFromConfig(AppUtils::AppConfigInstance(), paths));
    log.Add(YrLogV2::Info, "CreateDriver, Log instantiated.");

    ShowConsoleIfConfigured(log);
    log.Add(YrLogV2::Info, "CreateDriver, Driver accessible.");

    AddClientObject(VMwareExec());
    return true;
}

// The configuration the start-up reads: "config.ini" next to the module's real file.
std::string ConfigFilePath()
{
    return (boost::filesystem::path(VdiCommon::AppPath::GetModulePath()).parent_path() / "config.ini").string();
}

// A refused start-up says why where a user looks (standard error and the debug log, one line
// with the file to fix) and closes what it opened: the client objects made so far are destroyed
// now, so none of our threads runs while the registered channel waits for the host's
// TERMINATED, and the files the exception's stack trace opened are closed.
void RefuseStartUp(YrLogV2::Log& log, std::wstring reason)
{
    log.Add(YrLogV2::Error, L"InitializeDriver, start-up failed: {}", reason);
    std::replace(reason.begin(), reason.end(), L'\n', L' ');
    const std::wstring line = L"YrTnVMwarePlugin: start-up refused, config '" +
                              Utils::LocaleStringToUnicode(ConfigFilePath()) + L"': " + reason;
    Utils::DebugLogFile::Write(line);
    std::fprintf(stderr, "%s\n", Utils::UnicodeToLocaleString(line).c_str());
    std::fflush(stderr);

    if (g_core && !g_core->GetClientObjects().Cleared())
        g_core->GetClientObjects().Clear();
    CrashReporter::StopFaultReporter();
    Platform::ReleaseStackTraceFiles();
}

// Makes g_core, or logs why not: a table that is invalid (an unset pointer) or a registration
// the host refused. On failure the driver stays as it was.
bool MakeDriver(const std::function<std::unique_ptr<DriverCore>()>& create, bool tableValid)
{
    YrLogV2::Log& log = YrLogV2::LogRoot::RootLog();
    if (!tableValid)
    {
        log.Add(YrLogV2::Error, "InitDriverInstance pEntryPoints is invalid");
        return false;
    }
    try
    {
        std::unique_ptr<DriverCore> core = create();
        // The new driver is in place before the old one goes.
        g_core.swap(core);
        return true;
    }
    catch (const ESS::Exception& e)
    {
        log.Add(YrLogV2::Error, L"InitDriverInstance cannot create Core: {}", e.Message());
        return false;
    }
}

} // namespace

bool InitDriverInstance(PCHANNEL_ENTRY_POINTS pEntryPoints)
{
    const bool valid = pEntryPoints != nullptr && pEntryPoints->pVirtualChannelInit != nullptr &&
                       pEntryPoints->pVirtualChannelOpen != nullptr &&
                       pEntryPoints->pVirtualChannelClose != nullptr &&
                       pEntryPoints->pVirtualChannelWrite != nullptr;
    return MakeDriver([pEntryPoints] { return std::make_unique<DriverCore>(pEntryPoints); }, valid);
}

bool InitDriverInstanceEx(PCHANNEL_ENTRY_POINTS_EX pEntryPointsEx, void* pInitHandle)
{
    const bool valid = pEntryPointsEx != nullptr && pInitHandle != nullptr &&
                       pEntryPointsEx->pVirtualChannelInitEx != nullptr &&
                       pEntryPointsEx->pVirtualChannelOpenEx != nullptr &&
                       pEntryPointsEx->pVirtualChannelCloseEx != nullptr &&
                       pEntryPointsEx->pVirtualChannelWriteEx != nullptr;
    return MakeDriver([pEntryPointsEx, pInitHandle]
                      { return std::make_unique<DriverCore>(pEntryPointsEx, pInitHandle); },
                      valid);
}

namespace
{

// The start-up of either entry, once per module: tableGiven says whether the host gave a table at
// all, makeDriver validates it and makes the driver.
bool StartUp(bool tableGiven, const std::function<bool()>& makeDriver)
{
    Utils::ThreadsInfo::Instance();
    YrLogV2::Log& log = YrLogV2::LogRoot::RootLog();
    log.Add(YrLogV2::Info, "InitializeDriver entered");
    if (!tableGiven)
    {
        log.Add(YrLogV2::Info, "AppInitializing failed with pEntryPoints == 0");
        return false;
    }
    if (g_started.load())
    {
        log.Add(YrLogV2::Error,
                "InitializeDriver: the plug-in is started already, a second entry is refused");
        return false;
    }
    // Without its own path the plug-in finds neither its configuration nor its folders: refuse
    // before the channel is registered.
    if (!VdiCommon::AppPath::ModulePathFound())
    {
        log.Add(YrLogV2::Error, "InitializeDriver: the module's own path cannot be found");
        return false;
    }
    if (!makeDriver())
    {
        log.Add(YrLogV2::Info, "InitializeDriver, failed");
        return false;
    }
    g_started = true;

    // The channel is registered; a failure of the application from here on is reported to the
    // host as FALSE, never as an exception crossing the export.
    try
    {
        return StartApplication(log);
    }
    catch (const ESS::BaseException& e)
    {
        RefuseStartUp(log, e.Message());
    }
    catch (const std::exception& e)
    {
        RefuseStartUp(log, Utils::LocaleStringToUnicode(e.what()));
    }
    return false;
}

} // namespace

bool InitializeDriver(PCHANNEL_ENTRY_POINTS pEntryPoints)
{
    return StartUp(pEntryPoints != nullptr, [pEntryPoints] { return InitDriverInstance(pEntryPoints); });
}

bool InitializeDriverEx(PCHANNEL_ENTRY_POINTS_EX pEntryPointsEx, void* pInitHandle)
{
    return StartUp(pEntryPointsEx != nullptr, [pEntryPointsEx, pInitHandle]
                   { return InitDriverInstanceEx(pEntryPointsEx, pInitHandle); });
}

} // namespace Client
} // namespace VMware

int32_t VirtualChannelEntry(PCHANNEL_ENTRY_POINTS pEntryPoints)
{
    try
    {
        return VMware::Client::InitializeDriver(pEntryPoints) ? 1 : 0;
    }
    catch (...)
    {
        return 0; // nothing may unwind into the host
    }
}

int32_t VirtualChannelEntryEx(PCHANNEL_ENTRY_POINTS_EX pEntryPointsEx, void* pInitHandle)
{
    try
    {
        return VMware::Client::InitializeDriverEx(pEntryPointsEx, pInitHandle) ? 1 : 0;
    }
    catch (...)
    {
        return 0; // nothing may unwind into the host
    }
}
