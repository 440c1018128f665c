#include "Utils/FdTextWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include "Utils/StringUtils.h"

namespace Utils
{

namespace
{

const char c_byteOrderMark[] = "\xEF\xBB\xBF";

void AppendUtf8(std::string& out, const std::wstring& text)
{
    for (const wchar_t wc : text)
    {
        uint32_t c = static_cast<uint32_t>(wc);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            c = 0xFFFD;
        if (c < 0x80)
        {
            out += static_cast<char>(c);
            continue;
        }
        if (c < 0x800)
        {
            out += static_cast<char>(0xC0 | (c >> 6));
        }
        else if (c < 0x10000)
        {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        }
        else
        {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        }
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

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
    line.reserve(line.size() + text.size() + 1);
    AppendUtf8(line, text);
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
