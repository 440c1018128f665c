#pragma once
#include <memory>
#include <string>
#include <boost/noncopyable.hpp>
#include "Utils/Notification.h"

namespace Utils
{
class FdTextWriter;
}

namespace Platform
{
struct ExitInformation;
}

namespace AppUtils
{

// In debug mode (IsDebugMode), records why the process halted: at every halt the description goes,
// as a line with the time, into fileName next to the executable (UTF-8). The file is emptied at the
// first halt of a process, so it holds the last process that ended abnormally; nothing is written at
// start. Its own failures go to standard error, prefixed "\nLogAbnormalExit: ". Keep the object for
// the life of the process.
class LogAbnormalExit : boost::noncopyable
{
public:
    explicit LogAbnormalExit(const std::string& fileName);
    ~LogAbnormalExit();

    bool Active() const { return !m_observer.IsEmpty(); }
    const std::string& FilePath() const { return m_filePath; }

private:
    void OnExit(const Platform::ExitInformation& info);

    std::string m_filePath;
    std::unique_ptr<Utils::FdTextWriter> m_file;
    Utils::NotificationHandle m_observer;
};

} // namespace AppUtils
