#include "AppUtils/AppPaths.h"

#include <boost/filesystem/operations.hpp>
#include "Utils/StringUtils.h"

namespace AppUtils
{

namespace fs = boost::filesystem;

namespace
{

const char* const c_vdiModuleFolder = "YrAppVdiModule";

fs::path BaseFolderOf(const fs::path& base)
{
    boost::system::error_code ec;
    if (fs::is_regular_file(base, ec))
        return base.parent_path();
    return base;
}

} // namespace

AppPaths::AppPaths(const fs::path& exePath, const SarvikAppMode& mode, const SarvikAppSetup::VdiMode& vdiMode,
                   const fs::path& base, const fs::path& dataRoot)
    : m_exePath(exePath), m_appDir(exePath.parent_path()), m_mode(mode), m_vdiMode(vdiMode),
      m_baseFolder(BaseFolderOf(base)), m_dataRoot(dataRoot)
{
    if (m_mode == SarvikAppMode::VdiModule)
        m_modeFolder = m_dataRoot / c_vdiModuleFolder / m_vdiMode.ToString();
    else if (m_mode == SarvikAppMode::VdiModuleVantrel)
        m_modeFolder = m_baseFolder / c_vdiModuleFolder;
    else
        m_modeFolder = m_dataRoot / ("YrApp" + m_mode.ToString());
    m_logFolder = m_modeFolder / "Logs";
}

fs::path GetReportPath(const AppPaths& paths)
{
    if (paths.Mode() == SarvikAppMode::VdiModuleVantrel)
        return MakeCrashReportsPath(paths.BaseFolder() / c_vdiModuleFolder);
    return MakeCrashReportsPath(paths.ModeFolder());
}

fs::path MakeCrashReportsPath(const fs::path& folder)
{
    return folder / "CrashReports";
}

fs::path ToPath(const std::wstring& text)
{
    return fs::path(Utils::WStringToStdString(text));
}

std::wstring FromPath(const fs::path& path)
{
    return Utils::StdStringToWString(path.string());
}

} // namespace AppUtils
