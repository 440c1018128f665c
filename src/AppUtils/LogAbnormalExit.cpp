#include "AppUtils/LogAbnormalExit.h"

#include <exception>
#include <boost/filesystem/path.hpp>
#include "AppUtils/AppMode.h"
#include "Platform/Halt.h"
#include "Utils/ExeName.h"
#include "Utils/FdTextWriter.h"
#include "Utils/StringUtils.h"

namespace AppUtils
{

LogAbnormalExit::LogAbnormalExit(const std::string& fileName)
{
    const boost::filesystem::path exe(Utils::WStringToStdString(Utils::ExeName::Instance().GetExeName()));
    m_filePath = (exe.parent_path() / fileName).string();
    if (IsDebugMode())
        m_observer =
            Platform::AddExitObserver([this](const Platform::ExitInformation& info) { OnExit(info); });
}

LogAbnormalExit::~LogAbnormalExit()
{
    m_observer.Reset();
}

void LogAbnormalExit::OnExit(const Platform::ExitInformation& info)
{
    if (info.kind != 0)
        return;
    // The halting thread may hold one of Qt's or the C library's locks: the file is written
    // without them, and a failure is told without them too.
    try
    {
        // Opened at the first halt only: a process that ends well leaves the previous record alone.
        if (!m_file)
            m_file = std::make_unique<Utils::FdTextWriter>(m_filePath, true);
        if (!m_file->WriteLine(info.description))
            Platform::WriteToStandardError("\nLogAbnormalExit: " + m_file->Error() + "\n");
    }
    catch (const std::exception& e)
    {
        Platform::WriteToStandardError(std::string("\nLogAbnormalExit: ") + e.what() + "\n");
    }
}

} // namespace AppUtils
