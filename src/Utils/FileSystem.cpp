#include "Utils/FileSystem.h"

#include <mutex>
#include <boost/filesystem/operations.hpp>
#include "ESS/Assert.h"
#include "Utils/StringUtils.h"

namespace fs = boost::filesystem;

namespace Utils
{

bool EnsureDirExists(const fs::path& path)
{
    if (path.empty())
    {
        return false;
    }
    boost::system::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (!ec && fs::exists(st))
    {
        return true;
    }
    ec.clear();
    fs::create_directories(path, ec);
    return !ec;
}

boost::optional<uint64_t> GetDiskFreeSpace(const fs::path& path)
{
    boost::system::error_code ec;
    const fs::space_info info = fs::space(path, ec);
    if (ec)
    {
        return boost::none;
    }
    return uint64_t(info.available);
}

bool IsDiskSpaceLow(const fs::path& path, uint64_t limitKb)
{
    const boost::optional<uint64_t> free = GetDiskFreeSpace(path);
    if (!free)
    {
        return false;
    }
    return *free < (limitKb << 10);
}

bool PathExists(const fs::path& path)
{
    boost::system::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    return !ec && fs::exists(st);
}

bool RemoveFile(const fs::path& filePath, std::wstring* pError)
{
    ESS_ASSERT(!filePath.empty());

    boost::system::error_code ec;
    fs::remove(filePath, ec);
    if (!ec)
    {
        return true;
    }
    if (pError != nullptr)
    {
        *pError = L"Can't delete file: " + filePath.wstring() + L" // " + LocaleStringToUnicode(ec.message());
    }
    return false;
}

namespace
{
std::recursive_mutex& QtMessageHookMutex()
{
    static std::recursive_mutex* const p =
        new std::recursive_mutex(); // used until the very end of the process
    return *p;
}

// Made while the module loads, before any thread can race for it.
[[maybe_unused]] std::recursive_mutex& g_qtHookMutexAtLoad = QtMessageHookMutex();
} // namespace

void LockQtMessageHook()
{
    QtMessageHookMutex().lock();
}

void UnlockQtMessageHook()
{
    QtMessageHookMutex().unlock();
}

} // namespace Utils
