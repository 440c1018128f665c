#pragma once
#include <memory>
#include <QString>
#include <boost/filesystem/path.hpp>
#include "Utils/IBasicInterface.h"

namespace AppUtils
{

class AppConfig;
class AppPaths;

// Logging as the configuration asks: node levels ("LogLevel", "LogLevels"), a plain UTF-8 file
// "log_<yyMMdd_hhmmss>_pid<pid>.log" in the log folder ("LogToFile", "LogFolder") and the console
// ("LogToConsole"). The records logged before it existed are replayed into its outputs, in order.
// The log folder keeps the newest c_keepLogFiles files of at most c_keepLogMb MiB: cleaned at set-up
// and each time the file passes c_maxLogFileMb MiB and the log goes on in a new one. The outputs
// stay attached for as long as the object lives.
class LogSetupInfo : public Utils::IVirtualDestroy
{
public:
    static constexpr int c_keepLogFiles = 30;
    static constexpr int c_keepLogMb = 200;
    static constexpr int c_maxLogFileMb = 20;

    LogSetupInfo(const AppConfig& cfg, const AppPaths& paths);
    ~LogSetupInfo() override;

    // The first log file; empty when there is none (none can be made, or it waits for room).
    const QString& LogFilePath() const { return m_filePath; }
    const boost::filesystem::path& LogFolder() const { return m_folder; }

private:
    boost::filesystem::path m_folder;
    QString m_filePath;
    std::unique_ptr<Utils::IVirtualDestroy> m_outputs;
};

// The log folder the configuration asks for: "LogFolder" (relative to the application's folder)
// or the running mode's.
boost::filesystem::path ConfiguredLogFolder(const AppConfig& cfg, const AppPaths& paths);

std::unique_ptr<LogSetupInfo> SetupLogFromConfig(const AppConfig& cfg, const AppPaths& paths);

} // namespace AppUtils

using AppUtils::SetupLogFromConfig;
