#include "Platform/SysInfo.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QMutex>
#include <QMutexLocker>
#include <QProcess>
#include <QString>

#include "ESS/Exception.h"
#include "Utils/DebugLog.h"
#include "Utils/DelayInit.h"
#include "Utils/StringUtils.h"

namespace Platform
{

namespace
{

std::string ReadWholeFile(const char* path)
{
    return ReadSmallFile(path);
}

std::string ErrnoText(int err)
{
    char buf[256] = {};
    // The GNU form returns the text, which may or may not be in buf.
    const char* p = strerror_r(err, buf, sizeof(buf));
    return p ? std::string(p) : std::string();
}

// Computed once early at start-up, so that later readers never wait for the files.
const Utils::DelayInitRegistrar g_osVersionInit([] { GetOsVersion(); }, 0);

} // namespace

namespace detail
{

uint32_t ArchitectureCode(const std::string& name)
{
    std::string s = name;
    for (char& c : s)
    {
        if (c >= 'A' && c <= 'Z')
        {
            c = char(c - 'A' + 'a');
        }
    }
    if (s == "amd64" || s == "x86_64")
    {
        return 1;
    }
    if (s == "arm" || s == "armv7l")
    {
        return 2;
    }
    if (s == "arm64" || s == "aarch64")
    {
        return 3;
    }
    if (s == "x64")
    {
        return 4;
    }
    if (s == "x86" || s == "i386" || s == "i686")
    {
        return 5;
    }
    return 0;
}

void ParseKernelRelease(const std::string& release, uint32_t& major, uint32_t& minor, uint32_t& build)
{
    uint32_t parts[3] = {0, 0, 0};
    size_t pos = 0;
    for (int i = 0; i < 3; ++i)
    {
        uint64_t v = 0;
        bool any = false;
        while (pos < release.size() && release[pos] >= '0' && release[pos] <= '9')
        {
            v = v * 10 + uint32_t(release[pos] - '0');
            if (v > 0xFFFFFFFFull)
            {
                v = 0xFFFFFFFFull;
            }
            any = true;
            ++pos;
        }
        if (!any)
        {
            break;
        }
        parts[i] = uint32_t(v);
        if (pos >= release.size() || release[pos] != '.')
        {
            break;
        }
        ++pos;
    }
    major = parts[0];
    minor = parts[1];
    build = parts[2];
}

std::string OsReleaseValue(const std::string& fileText, const std::string& key)
{
    std::istringstream in(fileText);
    std::string line;
    const std::string prefix = key + "=";
    while (std::getline(in, line))
    {
        if (line.compare(0, prefix.size(), prefix) != 0)
        {
            continue;
        }
        std::string v = line.substr(prefix.size());
        while (!v.empty() && (v.back() == '\r' || v.back() == ' '))
        {
            v.pop_back();
        }
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        {
            v = v.substr(1, v.size() - 2);
        }
        return v;
    }
    return std::string();
}

std::wstring ShortNameWithBitness(const std::wstring& shortName)
{
    return shortName + (shortName.size() >= 4 ? L"64" : L"-64");
}

} // namespace detail

OsVersionReader::OsVersionReader()
    : m_osKind(OsKindLinux), m_arch(GetProcessorArchitecture()), m_major(0), m_minor(0), m_build(0),
      m_platformId(0), m_is64(true)
{
    struct utsname u;
    std::string sysName = "Linux";
    if (uname(&u) == 0)
    {
        detail::ParseKernelRelease(u.release, m_major, m_minor, m_build);
        m_updateRevision = Utils::LocaleStringToUnicode(u.version);
        sysName = u.sysname;
    }

    std::string osRelease = ReadWholeFile("/etc/os-release");
    if (osRelease.empty())
    {
        osRelease = ReadWholeFile("/usr/lib/os-release");
    }
    std::string name = detail::OsReleaseValue(osRelease, "PRETTY_NAME");
    if (name.empty())
    {
        name = sysName;
    }
    m_releaseId = Utils::LocaleStringToUnicode(detail::OsReleaseValue(osRelease, "VERSION_ID"));

    m_name = Utils::LocaleStringToUnicode(name) + L" (64 bits)";
    m_shortName = detail::ShortNameWithBitness(L"Lnx");
}

OsVersionReader GetOsVersion()
{
    static const OsVersionReader c_version;
    return c_version;
}

bool IsWindows()
{
    return GetOsVersion().OsKind() == OsVersionReader::OsKindWindows;
}

uint32_t GetProcessorArchitecture()
{
    struct utsname u;
    if (uname(&u) != 0)
    {
        return 0;
    }
    return detail::ArchitectureCode(u.machine);
}

std::wstring GetComputerName()
{
    char buf[256] = {};
    if (gethostname(buf, sizeof(buf) - 1) != 0)
    {
        return std::wstring();
    }
    return Utils::LocaleStringToUnicode(buf);
}

std::wstring GetUserName(bool /*plain*/)
{
    struct passwd pw;
    struct passwd* res = nullptr;
    std::vector<char> buf(16384);
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &res) == 0 && res != nullptr && res->pw_name &&
        res->pw_name[0] != 0)
    {
        return Utils::LocaleStringToUnicode(res->pw_name);
    }
    const char* env = std::getenv("USER");
    if (env != nullptr && env[0] != 0)
    {
        return Utils::LocaleStringToUnicode(env);
    }
    return L"YRUser";
}

std::string ReadSmallFile(const std::string& path, size_t limit)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::string();
    std::string res;
    char buf[8192];
    while (res.size() < limit)
    {
        const ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        res.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return res;
}

int WriteWhole(int fd, const char* data, size_t size)
{
    while (size != 0)
    {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

std::wstring GetExePath()
{
    std::vector<char> buf(4096);
    while (true)
    {
        const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0)
        {
            return std::wstring();
        }
        if (size_t(n) < buf.size())
        {
            return Utils::LocaleStringToUnicode(std::string(buf.data(), size_t(n)));
        }
        buf.resize(buf.size() * 2);
    }
}

std::wstring GetCommandLineProgram()
{
    const std::string cmdLine = ReadWholeFile("/proc/self/cmdline");
    // NUL-separated items; the first one is the program as invoked.
    return Utils::LocaleStringToUnicode(std::string(cmdLine.c_str()));
}

uint32_t GetTickCount()
{
    // The monotonic clock: it never jumps with the wall clock, and every tick of the program
    // (timers, time-outs) is measured on it.
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms = uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
    return uint32_t(ms);
}

int ReadKeyNoWait()
{
    if (!isatty(STDIN_FILENO))
    {
        return -1;
    }
    struct termios saved;
    if (tcgetattr(STDIN_FILENO, &saved) != 0)
    {
        return -1;
    }
    struct termios raw = saved;
    raw.c_lflag &= ~tcflag_t(ICANON | ECHO);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);

    int key = -1;
    struct pollfd pfd = {STDIN_FILENO, POLLIN, 0};
    if (poll(&pfd, 1, 0) == 1 && (pfd.revents & POLLIN))
    {
        unsigned char c = 0;
        if (read(STDIN_FILENO, &c, 1) == 1)
        {
            key = c;
        }
    }
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    return key;
}

int ShowErrorMessageBox(const std::string& text, const std::string& caption)
{
    const std::string line = caption + ": " + text;
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
    Utils::DebugLogFile::Write(Utils::LocaleStringToUnicode(line), true);
    return 1;
}

namespace
{

bool HasConsole()
{
    for (int fd = 0; fd <= 2; ++fd)
    {
        if (isatty(fd))
        {
            return true;
        }
    }
    const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0)
    {
        close(fd);
        return true;
    }
    return false;
}

// A terminal that the parent process has open on one of its standard streams; -1 when none.
int OpenParentTerminal()
{
    const std::string base = "/proc/" + std::to_string(getppid()) + "/fd/";
    for (int i = 0; i <= 2; ++i)
    {
        const int fd = open((base + std::to_string(i)).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
        {
            continue;
        }
        if (isatty(fd))
        {
            return fd;
        }
        close(fd);
    }
    return -1;
}

} // namespace

void ShowConsole()
{
    static std::mutex s_lock;
    std::lock_guard<std::mutex> guard(s_lock);
    static bool s_hasConsole = HasConsole();
    if (s_hasConsole)
    {
        return;
    }

    // There is no way to create a new console window: without a parent terminal we stop here.
    const int tty = OpenParentTerminal();
    if (tty < 0)
    {
        return;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    for (int fd = 0; fd <= 2; ++fd)
    {
        dup2(tty, fd);
    }
    close(tty);
    // The C streams keep their descriptors, which now lead to the terminal; unbuffered as before.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    std::clearerr(stdin);
    std::clearerr(stdout);
    std::clearerr(stderr);
    std::ios::sync_with_stdio(true);
    std::cout.clear();
    std::cerr.clear();
    std::cin.clear();
    s_hasConsole = true;
}

bool ShellOpen(const std::wstring& file, const std::wstring& params, std::wstring* pError)
{
    const std::string path = Utils::UnicodeToLocaleString(file);
    const size_t sep = file.find_last_of(L"/\\");
    const QString folder =
        (sep == std::wstring::npos) ? QString() : QString::fromStdWString(file.substr(0, sep));

    std::wstring errorText;
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
    {
        errorText = Utils::LocaleStringToUnicode(ErrnoText(errno));
    }
    else
    {
        QProcess proc;
        if (S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0)
        {
            proc.setProgram(QString::fromStdWString(file));
            proc.setArguments(QProcess::splitCommand(QString::fromStdWString(params)));
        }
        else
        {
            proc.setProgram("xdg-open");
            proc.setArguments(QStringList() << QString::fromStdWString(file));
        }
        proc.setWorkingDirectory(folder);
        // Detached: the child is re-parented, so nobody has to reap it.
        qint64 pid = 0;
        if (proc.startDetached(&pid))
        {
            return true;
        }
        errorText = proc.errorString().toStdWString();
    }

    const std::wstring msg = L"ShellExecuteExW completed with error: " + errorText;
    Utils::DebugLogFile::Write(msg, true);
    if (pError != nullptr)
    {
        *pError = msg;
    }
    return false;
}

std::wstring Tr(const char* text, int32_t n)
{
    static QMutex s_lock;
    QMutexLocker guard(&s_lock);
    QString s = QString::fromUtf8(text ? text : "");
    if (n != -1)
    {
        const QString num = QString::number(n);
        s.replace(QLatin1String("%n"), num);
        s.replace(QLatin1String("%Ln"), num);
    }
    return s.toStdWString();
}

std::wstring LastErrorText()
{
    const int err = errno;
    if (err == 0)
    {
        return std::wstring();
    }
    return Utils::LocaleStringToUnicode(ErrnoText(err));
}

qint64 CurrentProcessId()
{
    return QCoreApplication::applicationPid();
}

} // namespace Platform

namespace Win32
{

void ThrowLastError(const std::wstring& context)
{
    const int err = errno;
    std::wstring msg = L"Win LastError";
    if (!context.empty())
    {
        msg += L" for '" + context + L"'";
    }
    msg += L": " + Utils::LocaleStringToUnicode(Platform::ErrnoText(err));
    ESS_THROW_MSG(ESS::Exception, msg);
}

} // namespace Win32
