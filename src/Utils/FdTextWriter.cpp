#include "Utils/FdTextWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include "Utils/StringUtils.h"

namespace Utils
{

namespace
{

const char c_byteOrderMark[] = "\xEF\xBB\xBF";

// Qt's "d.MM hh:mm:ss": the day without a leading zero, the rest with one, 24-hour time.
std::string LocalTimePrefix()
{
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    if (now == static_cast<std::time_t>(-1) || ::localtime_r(&now, &tm) == nullptr)
        return ": ";
    char buf[40];
    std::snprintf(buf, sizeof(buf), "%d.%02d %02d:%02d:%02d: ", tm.tm_mday, tm.tm_mon + 1, tm.tm_hour,
                  tm.tm_min, tm.tm_sec);
    return buf;
}

} // namespace

FdTextWriter::FdTextWriter(const std::string& path, bool timePrefix)
    : m_path(path), m_timePrefix(timePrefix), m_fd(-1)
{
    struct stat st;
    const bool existed = ::stat(path.c_str(), &st) == 0;
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (m_fd < 0)
        ESS_THROW_MSG(Error, L"Can't open file " + StdStringToWString(path));
    if (existed)
        return;
    try
    {
        WriteAll(c_byteOrderMark);
    }
    catch (...)
    {
        ::close(m_fd);
        throw;
    }
}

FdTextWriter::~FdTextWriter()
{
    ::close(m_fd);
}

void FdTextWriter::WriteLine(const std::wstring& text)
{
    std::string line = m_timePrefix ? LocalTimePrefix() : std::string();
    line += WStringToStdString(text);
    line += '\n';
    WriteAll(line);
}

void FdTextWriter::WriteAll(const std::string& bytes)
{
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left != 0)
    {
        const ssize_t n = ::write(m_fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
        {
            const int error = n < 0 ? errno : EIO;
            ESS_THROW_MSG(Error, L"Can't write file " + StdStringToWString(m_path) + L": " +
                                     StdStringToWString(std::strerror(error)));
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

} // namespace Utils
