#pragma once
#include <boost/filesystem/path.hpp>
#include "AppUtils/AppMode.h"
#include "SarvikAppSetup/VdiMode.h"

namespace AppUtils
{

// The application's folders, fixed when the application is set up.
class AppPaths
{
public:
    // exePath: the executable (or module) path; base: the caller's base path, a file (its folder is
    // then the base folder) or a folder; dataRoot: the user's data root (Platform::GetDataRootPath).
    AppPaths(const boost::filesystem::path& exePath, const SarvikAppMode& mode,
             const SarvikAppSetup::VdiMode& vdiMode, const boost::filesystem::path& base,
             const boost::filesystem::path& dataRoot);

    // The executable's path and its folder, where "config.ini", "debug.mode" and the media-bridge
    // executable live.
    const boost::filesystem::path& ExePath() const { return m_exePath; }
    const boost::filesystem::path& AppDir() const { return m_appDir; }

    const SarvikAppMode& Mode() const { return m_mode; }
    const SarvikAppSetup::VdiMode& GetVdiMode() const { return m_vdiMode; }

    const boost::filesystem::path& BaseFolder() const { return m_baseFolder; }
    const boost::filesystem::path& DataRoot() const { return m_dataRoot; }

    // The folder of the running mode: VdiModule <data root>/YrAppVdiModule/<VDI mode name>;
    // VdiModuleVantrel <base folder>/YrAppVdiModule; the others <data root>/YrApp<mode name>.
    const boost::filesystem::path& ModeFolder() const { return m_modeFolder; }

    // The default log folder: <mode folder>/Logs.
    const boost::filesystem::path& LogFolder() const { return m_logFolder; }

private:
    boost::filesystem::path m_exePath;
    boost::filesystem::path m_appDir;
    SarvikAppMode m_mode;
    SarvikAppSetup::VdiMode m_vdiMode;
    boost::filesystem::path m_baseFolder;
    boost::filesystem::path m_dataRoot;
    boost::filesystem::path m_modeFolder;
    boost::filesystem::path m_logFolder;
};

// The crash-report folder of the running mode: VdiModuleVantrel <base folder>/YrAppVdiModule/
// CrashReports; any other mode <mode folder>/CrashReports.
boost::filesystem::path GetReportPath(const AppPaths& paths);

// folder / "CrashReports".
boost::filesystem::path MakeCrashReportsPath(const boost::filesystem::path& folder);

// Paths hold UTF-8 on this platform; these convert without the process locale.
boost::filesystem::path ToPath(const std::wstring& text);
std::wstring FromPath(const boost::filesystem::path& path);

} // namespace AppUtils
