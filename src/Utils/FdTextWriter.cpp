#include "Utils/FdTextWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <cstring>
#include "Platform/LocalTime.h"
#include "Platform/SysInfo.h"
#include "Utils/StringUtils.h"

namespace Utils
{

namespace
{

const char c_byteOrderMark[] = "\xEF\xBB\xBF";

// Qt's "d.MM hh:mm:ss": the day without a leading zero, the rest with one, 24-hour time.
std::string LocalTimePrefix()
{
    std::tm tm;
    if (!Platform::LocalTimeNow(tm))
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
        m_error = "Can't open file " + path;
    else if (!existed)
        WriteAll(c_byteOrderMark);
}

FdTextWriter::~FdTextWriter()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool FdTextWriter::WriteLine(const std::wstring& text)
{
    std::string line = m_timePrefix ? LocalTimePrefix() : std::string();
    line += WStringToStdString(text);
    line += '\n';
    return WriteAll(line);
}

bool FdTextWriter::WriteAll(const std::string& bytes)
{
    if (!m_error.empty())
        return false;
    if (const int error = Platform::WriteWhole(m_fd, bytes.data(), bytes.size()))
        m_error = "Can't write file " + m_path + ": " + std::strerror(error);
    return m_error.empty();
}

} // namespace Utils
