#include "AppUtils/LogAbnormalExit.h"

#include <cstdio>
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
    try
    {
        // Opened at the first halt only: a process that ends well leaves the previous record alone.
        // Written without Qt: the halting thread may hold one of Qt's locks.
        if (!m_file)
            m_file = std::make_unique<Utils::FdTextWriter>(m_filePath, true);
        m_file->WriteLine(info.description);
    }
    catch (const std::exception& e)
    {
        std::fprintf(stderr, "\nLogAbnormalExit: %s\n", e.what());
    }
    catch (...)
    {
        std::fprintf(stderr, "\nLogAbnormalExit: unknown error\n");
    }
}

} // namespace AppUtils
