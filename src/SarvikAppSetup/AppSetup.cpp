#include "SarvikAppSetup/AppSetup.h"

#include <mutex>
#include <QString>
#include "ESS/Assert.h"
#include "Platform/SecurityToken.h"
#include "Utils/ExeName.h"
#include "YrLogV2/Log.h"

namespace SarvikAppSetup
{

namespace
{

std::mutex& Lock()
{
    static std::mutex* const p = new std::mutex();
    return *p;
}

AppSetup* g_pSetup = nullptr; // guarded by Lock()

} // namespace

AppSetup::AppSetup(const AppSetupParams& params) : m_params(params)
{
    const boost::filesystem::path exe = AppUtils::ToPath(Utils::ExeName::Instance().GetExeName());
    const AppUtils::SarvikAppMode& mode = params.Mode();
    const VdiMode vdiMode =
        AppUtils::IsVdiRunningMode(mode) ? params.GetVdiMode() : VdiMode(VdiMode::NonActive);
    m_paths = std::make_unique<AppUtils::AppPaths>(exe, mode, vdiMode, params.Base(),
                                                   AppUtils::ToPath(Platform::GetDataRootPath()));

    const boost::filesystem::path cfgFile = m_paths->AppDir() / AppUtils::ToPath(params.ConfigName());
    m_config = std::make_unique<AppUtils::AppConfig>(QString::fromStdWString(AppUtils::FromPath(cfgFile)));
}

const AppUtils::AppPaths& AppSetup::GetPaths() const
{
    const AppUtils::AppPaths* px = m_paths.get();
    ESS_ASSERT(px != 0);
    return *px;
}

void AppSetupInstanceSet(const AppSetupParams& params)
{
    std::lock_guard<std::mutex> lock(Lock());
    ESS_ASSERT(g_pSetup == 0);
    // Made completely before it is published: a failing configuration leaves no half set-up.
    std::unique_ptr<AppSetup> p(new AppSetup(params));
    g_pSetup = p.release();
    AppUtils::details::SetAppConfigInstance(&g_pSetup->GetConfig());

    const AppUtils::AppPaths& paths = g_pSetup->GetPaths();
    YrLogV2::LogRoot::RootLog().Add(
        YrLogV2::Info, "Application set up: mode {}, VDI mode {}, mode folder '{}'", paths.Mode().ToString(),
        paths.GetVdiMode().ToString(), paths.ModeFolder().string());
}

AppSetup& AppSetupInstance()
{
    std::lock_guard<std::mutex> lock(Lock());
    ESS_ASSERT(g_pSetup != 0);
    return *g_pSetup;
}

bool AppSetupInstanceExists()
{
    std::lock_guard<std::mutex> lock(Lock());
    return g_pSetup != nullptr;
}

} // namespace SarvikAppSetup
