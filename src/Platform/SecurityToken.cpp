#include "Platform/SecurityToken.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <QStandardPaths>
#include <fmt/format.h>
#include <fmt/xchar.h>

#include "ESS/Exception.h"
#include "Platform/SysInfo.h"
#include "Utils/DebugLog.h"
#include "Utils/StringUtils.h"

namespace Win32
{

namespace
{

// The folder that plays the part of the Windows directory.
const wchar_t* const c_systemDirectory = L"/usr";

// The text of a file below the process directory; false (errno set) when it cannot be read.
bool ReadProcFile(int dirFd, const char* name, std::string& text)
{
    const int fd = openat(dirFd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
    {
        return false;
    }
    text.clear();
    char buf[4096];
    while (true)
    {
        const ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0)
        {
            const int err = errno;
            close(fd);
            errno = err;
            return false;
        }
        if (n == 0)
        {
            break;
        }
        text.append(buf, size_t(n));
    }
    close(fd);
    return true;
}

bool ReadEffectiveUid(int dirFd, uint32_t& uid)
{
    std::string text;
    if (!ReadProcFile(dirFd, "status", text))
    {
        return false;
    }
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
    {
        if (line.compare(0, 4, "Uid:") == 0)
        {
            std::istringstream fields(line.substr(4));
            uint32_t real = 0;
            if (fields >> real >> uid)
            {
                return true;
            }
        }
    }
    errno = EINVAL;
    return false;
}

bool ReadSessionId(int dirFd, uint64_t& session)
{
    std::string text;
    if (!ReadProcFile(dirFd, "stat", text))
    {
        return false;
    }
    // Fields after the command name: state, ppid, pgrp, session.
    const size_t close = text.rfind(')');
    if (close != std::string::npos)
    {
        std::istringstream in(text.substr(close + 1));
        std::string state;
        int64_t ppid = 0;
        int64_t pgrp = 0;
        int64_t sid = 0;
        if (in >> state >> ppid >> pgrp >> sid)
        {
            session = uint64_t(sid);
            return true;
        }
    }
    errno = EINVAL;
    return false;
}

} // namespace

SpecialSid SpecialSidFromSidText(const std::wstring& sid)
{
    return (sid == L"S-1-5-18" || sid == L"S-1-22-1-0") ? SpecialSid::LocalSystem : SpecialSid::None;
}

RaiiMalloc::RaiiMalloc(size_t size) : m_p(std::malloc(size), &std::free), m_size(size)
{
    if (!m_p)
    {
        ESS_THROW_MSG(ESS::Exception,
                      Utils::LocaleStringToUnicode(fmt::format("Failed malloc() for {} bytes", size)));
    }
}

ProcessToken::ProcessToken(pid_t process, uint32_t /*access*/) : m_h(-1)
{
    const std::string dir = (process == 0) ? std::string("/proc/self") : "/proc/" + std::to_string(process);
    m_h = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_h < 0)
    {
        ThrowLastError(L"OpenProcessToken");
    }
}

ProcessToken::~ProcessToken()
{
    CloseHandleLogged(m_h, L"ProcessToken");
}

RaiiMalloc ProcessToken::GetInformation(uint32_t infoClass) const
{
    size_t size = 0;
    switch (infoClass)
    {
    case TokenUserClass:
        size = sizeof(TOKEN_USER);
        break;
    case TokenGroupsAndPrivilegesClass:
        size = sizeof(TOKEN_GROUPS_AND_PRIVILEGES);
        break;
    default:
        errno = EINVAL;
        break;
    }
    if (size == 0)
    {
        ThrowLastError(L"Can't get size for GetTokenInformation()");
    }

    RaiiMalloc block(size);
    std::memset(block.Get(), 0, size);
    bool ok = false;
    if (infoClass == TokenUserClass)
    {
        ok = ReadEffectiveUid(m_h, static_cast<TOKEN_USER*>(block.Get())->uid);
    }
    else
    {
        ok = ReadSessionId(m_h, static_cast<TOKEN_GROUPS_AND_PRIVILEGES*>(block.Get())->authenticationId);
    }
    if (!ok)
    {
        ThrowLastError(L"GetTokenInformation() is failed");
    }
    return block;
}

TokenUserInfo ProcessToken::GetUserInfo() const
{
    TokenUserInfo info;

    const RaiiMalloc groups = GetInformation(TokenGroupsAndPrivilegesClass);
    const uint64_t authId = static_cast<const TOKEN_GROUPS_AND_PRIVILEGES*>(groups.Get())->authenticationId;
    info.authenticationId = fmt::format(L"{:x}-{:x}", uint32_t(authId >> 32), uint32_t(authId & 0xFFFFFFFFu));

    const RaiiMalloc user = GetInformation(TokenUserClass);
    const TOKEN_USER& tu = *static_cast<const TOKEN_USER*>(user.Get());
    info.sid = GetSid(tu);
    info.kind = SpecialSidFromSidText(info.sid);
    info.account = GetAccountName(tu);
    return info;
}

std::wstring ProcessToken::GetSid(const TOKEN_USER& user)
{
    // The conventional SID form of a Unix user.
    return L"S-1-22-1-" + std::to_wstring(user.uid);
}

std::wstring ProcessToken::GetAccountName(const TOKEN_USER& user)
{
    struct passwd pw;
    struct passwd* res = nullptr;
    std::vector<char> buf(16384);
    const int r = getpwuid_r(uid_t(user.uid), &pw, buf.data(), buf.size(), &res);
    if (r != 0 || res == nullptr)
    {
        errno = (r != 0) ? r : ENOENT;
        ThrowLastError(L"LookupAccountSid() is failed");
    }
    return Utils::LocaleStringToUnicode(res->pw_name);
}

void CloseHandleLogged(int h, const std::wstring& context)
{
    if (close(h) == 0)
    {
        return;
    }
    const std::wstring text = Platform::LastErrorText();
    Utils::DebugLogFile::Write(fmt::format(L"CloseHandle() in '{}' failed for h {}: {}", context, h, text),
                               true);
}

bool IsUnderWindowsDirectory(const std::wstring& path)
{
    std::wstring dir = c_systemDirectory;
    while (dir.size() > 1 && dir.back() == L'/')
    {
        dir.pop_back();
    }
    if (path.compare(0, dir.size(), dir) != 0)
    {
        return false;
    }
    // The prefix must end at a path separator: "/usrlocal" is not inside "/usr".
    return path.size() == dir.size() || path[dir.size()] == L'/' || dir == L"/";
}

bool IsSystemContext(const std::wstring& path)
{
    const ProcessToken token(0, 11);
    return token.GetUserInfo().kind == SpecialSid::LocalSystem || IsUnderWindowsDirectory(path);
}

} // namespace Win32

namespace Platform
{

std::wstring GetDataRootPath()
{
    const std::wstring path =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toStdWString();
    try
    {
        if (!Win32::IsSystemContext(path))
        {
            return path;
        }
    }
    catch (const std::exception&)
    {
        return path;
    }
    return QStandardPaths::writableLocation(QStandardPaths::TempLocation).toStdWString();
}

} // namespace Platform
