#include "AppUtils/LogSetup.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <vector>
#include "AppUtils/AppBuildInfo.h"
#include "AppUtils/AppConfig.h"
#include "AppUtils/AppPaths.h"
#include "AppUtils/CleanFiles.h"
#include "YrLogV2/Log.h"
#include "YrLogV2/LogOutput.h"

namespace AppUtils
{

namespace fs = boost::filesystem;

namespace
{

CleanFilesRule LogFolderRule(const fs::path& folder)
{
    CleanFilesRule rule;
    rule.path = folder;
    rule.max_cnt = LogSetupInfo::c_keepLogFiles;
    rule.max_size_mb = LogSetupInfo::c_keepLogMb;
    rule.regexp_mask = "log_.*\\.log";
    return rule;
}

} // namespace

boost::filesystem::path ConfiguredLogFolder(const AppConfig& cfg, const AppPaths& paths)
{
    const std::wstring& configured = cfg.m_logFolder.Value();
    if (configured.empty())
        return paths.LogFolder();
    const fs::path p = ToPath(configured);
    return p.is_absolute() ? p : paths.AppDir() / p;
}

LogSetupInfo::LogSetupInfo(const AppConfig& cfg, const AppPaths& paths)
    : m_folder(ConfiguredLogFolder(cfg, paths))
{
    YrLogV2::LogRoot& root = YrLogV2::LogRoot::Instance();
    root.SetLevels(cfg.m_logLevel.Value(), cfg.m_logLevels.Value());

    const QString folder = QString::fromStdWString(FromPath(m_folder));
    std::vector<std::shared_ptr<YrLogV2::ILogOutput>> outputs;
    std::string fileError;
    if (cfg.m_logToFile.Value())
    {
        try
        {
            YrLogV2::FileOutputLimits limits;
            limits.maxFileBytes = uint64_t(c_maxLogFileMb) << 20;
            const CleanFilesRule rule = LogFolderRule(m_folder);
            limits.onNewFile = [rule] { CleanFiles(rule); };
            const std::shared_ptr<YrLogV2::IFileOutput> file = YrLogV2::CreateFileOutput(folder, limits);
            m_filePath = file->FilePath();
            outputs.push_back(file);
        }
        catch (const std::exception& e)
        {
            // The application runs on without a file; the console (if any) says why.
            fileError = e.what();
        }
    }
    if (cfg.m_logToConsole.Value())
        outputs.push_back(YrLogV2::CreateConsoleOutput());

    // One attach, so that every output gets the early records.
    if (outputs.empty())
        root.DiscardEarlyRecords();
    else
        m_outputs = root.AttachOutputs(outputs);

    YrLogV2::Log& log = YrLogV2::LogRoot::RootLog();
    log.Add(YrLogV2::Info, "Log set up: level {}, file '{}', console {}", cfg.m_logLevel.Value(), m_filePath,
            cfg.m_logToConsole.Value());
    log.Add(YrLogV2::Info, "Build: {}", AppBuildInfo::GetBuildInfoText(false));
    if (!fileError.empty())
        log.Add(YrLogV2::Error, "Log file can't be created in '{}': {}", folder, fileError);

    if (!m_filePath.isEmpty())
    {
        log.Add(YrLogV2::Info, "Clean log folder '{}' result: {}", folder, CleanFiles(LogFolderRule(m_folder)));
    }
}

LogSetupInfo::~LogSetupInfo()
{
    YrLogV2::LogRoot::RootLog().Add(YrLogV2::Info, "Log set-up ends");
    m_outputs.reset();
}

std::unique_ptr<LogSetupInfo> SetupLogFromConfig(const AppConfig& cfg, const AppPaths& paths)
{
    return std::make_unique<LogSetupInfo>(cfg, paths);
}

} // namespace AppUtils
