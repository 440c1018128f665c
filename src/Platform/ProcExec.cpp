#include "Platform/ProcExec.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <locale>
#include <mutex>
#include <time.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/make_shared.hpp>
#include "ESS/Assert.h"
#include "Utils/StringUtils.h"

extern char** environ;

namespace
{
// Through the system calls: the library wrappers are missing from some C library versions.
int PidfdOpen(pid_t pid)
{
    return int(syscall(SYS_pidfd_open, pid, 0));
}

int PidfdSendSignal(int pidfd, int sig)
{
    return int(syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}
} // namespace

namespace
{

std::wstring ErrnoText(int err)
{
    char buf[256] = {};
    const char* p = strerror_r(err, buf, sizeof(buf));
    return Utils::LocaleStringToUnicode(p ? p : "");
}

std::wstring TrimTrailingSpace(const std::wstring& s)
{
    const std::locale loc;
    size_t e = s.size();
    while (e > 0 && std::isspace(s[e - 1], loc))
    {
        --e;
    }
    return s.substr(0, e);
}

bool IsQuoted(const std::wstring& s)
{
    return s.size() >= 2 && s.front() == L'"' && s.back() == L'"';
}

int64_t MonotonicMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Reaps the child when it has ended; true then (also when somebody else reaped it already).
bool TryReap(pid_t pid, int pidfd)
{
    siginfo_t info;
    std::memset(&info, 0, sizeof(info));
    int r;
    do
    {
        r = (pidfd >= 0) ? waitid(P_PIDFD, id_t(pidfd), &info, WEXITED | WNOHANG)
                         : waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r < 0)
    {
        return errno == ECHILD;
    }
    return info.si_pid != 0;
}

// Children whose owner went away before they ended; reaped by later launches and destructions,
// so that none of them stays a zombie for longer than the next such call after it ends.
class Orphans
{
public:
    static Orphans& Instance()
    {
        static Orphans* const p = new Orphans(); // may be used by late static destructors
        return *p;
    }

    void Add(pid_t pid, int pidfd)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_items.push_back(Item{pid, pidfd});
    }

    void Sweep()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (size_t i = 0; i < m_items.size();)
        {
            if (TryReap(m_items[i].pid, m_items[i].pidfd))
            {
                if (m_items[i].pidfd >= 0)
                {
                    close(m_items[i].pidfd);
                }
                m_items.erase(m_items.begin() + long(i));
            }
            else
            {
                ++i;
            }
        }
    }

private:
    struct Item
    {
        pid_t pid;
        int pidfd;
    };

    std::mutex m_lock;
    std::vector<Item> m_items;
};

class ProcExec : public Platform::IProcExec, boost::noncopyable
{
public:
    ProcExec(pid_t pid, int pidfd) : m_pid(pid), m_pidfd(pidfd), m_ended(false) {}

    ~ProcExec() override
    {
        // Neither waits for the child nor ends it; one that runs on is left to the orphan sweep.
        if (!m_ended && !TryReap(m_pid, m_pidfd))
        {
            Orphans::Instance().Add(m_pid, m_pidfd);
        }
        else if (m_pidfd >= 0)
        {
            close(m_pidfd);
        }
        Orphans::Instance().Sweep();
    }

    bool Wait(const uint32_t& ms) override
    {
        if (m_ended)
        {
            return true;
        }
        const bool forever = (ms == 0xFFFFFFFFu);
        const int64_t deadline = MonotonicMs() + int64_t(ms);
        while (true)
        {
            if (TryReap(m_pid, m_pidfd))
            {
                m_ended = true;
                return true;
            }
            const int64_t left = forever ? -1 : deadline - MonotonicMs();
            if (!forever && left <= 0)
            {
                return false;
            }
            if (m_pidfd >= 0)
            {
                struct pollfd pfd = {m_pidfd, POLLIN, 0};
                const int timeout = forever ? -1 : int(left > INT_MAX ? INT_MAX : left);
                const int r = poll(&pfd, 1, timeout);
                if (r < 0 && errno != EINTR)
                {
                    return false;
                }
            }
            else
            {
                // No process descriptor (old kernel): look again shortly.
                const int64_t step = forever ? 5 : std::min<int64_t>(left, 5);
                struct timespec ts = {0, long(step) * 1000000L};
                nanosleep(&ts, nullptr);
            }
        }
    }

    std::wstring Terminate() override
    {
        if (m_ended)
        {
            return ErrnoText(ESRCH);
        }
        const int r = (m_pidfd >= 0) ? PidfdSendSignal(m_pidfd, SIGKILL) : kill(m_pid, SIGKILL);
        return (r == 0) ? std::wstring() : ErrnoText(errno);
    }

private:
    const pid_t m_pid;
    const int m_pidfd;
    bool m_ended;
};

// Owns the spawn attributes and argument texts of one launch.
class SpawnArgs : boost::noncopyable
{
public:
    explicit SpawnArgs(const std::vector<std::string>& items) : m_items(items)
    {
        for (std::string& s : m_items)
        {
            m_ptrs.push_back(&s[0]);
        }
        m_ptrs.push_back(nullptr);
    }

    char** Get() { return m_ptrs.data(); }

private:
    std::vector<std::string> m_items;
    std::vector<char*> m_ptrs;
};

} // namespace

namespace Win32
{

ProcAppArgs ProcAppArgs::Make(const std::wstring& appIn, const std::wstring& args)
{
    ESS_ASSERT(!appIn.empty());
    ProcAppArgs res;
    res.m_app = appIn;
    res.m_commandLine = QuoteItem(appIn) + L" " + args;
    return res;
}

std::wstring ProcAppArgs::QuoteItem(const std::wstring& item)
{
    const std::wstring s = TrimTrailingSpace(item);
    return IsQuoted(s) ? s : L"\"" + s + L"\"";
}

std::wstring ProcAppArgs::ChildItem(const std::wstring& item)
{
    const std::wstring s = TrimTrailingSpace(item);
    return IsQuoted(s) ? s.substr(1, s.size() - 2) : s;
}

ProcAppArgs::ArgsTempWrapper::ArgsTempWrapper(const std::wstring& s) : m_s(s)
{
    ESS_ASSERT(!m_s.empty());
}

} // namespace Win32

namespace Platform
{

std::wstring MakeCommandLine(const std::wstring& app, const std::vector<std::wstring>& args)
{
    std::wstring joined;
    for (size_t i = 0; i < args.size(); ++i)
    {
        if (i != 0)
        {
            joined += L" ";
        }
        joined += Win32::ProcAppArgs::QuoteItem(args[i]);
    }
    return Win32::ProcAppArgs::Make(app, joined).CommandLine();
}

namespace
{

std::vector<std::string> ChildArgv(const std::wstring& app, const std::vector<std::wstring>& args)
{
    std::vector<std::string> argv;
    argv.push_back(Utils::UnicodeToLocaleString(app));
    for (const std::wstring& a : args)
    {
        argv.push_back(Utils::UnicodeToLocaleString(Win32::ProcAppArgs::ChildItem(a)));
    }
    return argv;
}

// What posix_spawn needs besides the program: only the standard streams passed on, default signal
// handling, and the working directory when one is given. Made in full before the spawn, so that the
// spawn itself allocates nothing (the detached launch spawns from a forked copy of the process).
class SpawnSetup
{
public:
    explicit SpawnSetup(const char* workDir)
    {
        posix_spawn_file_actions_init(&m_actions);
        posix_spawn_file_actions_addclosefrom_np(&m_actions, 3);
        if (workDir != nullptr)
        {
            posix_spawn_file_actions_addchdir_np(&m_actions, workDir);
        }
        posix_spawnattr_init(&m_attr);
        sigset_t all;
        sigfillset(&all);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&m_attr, &all);
        posix_spawnattr_setsigmask(&m_attr, &none);
        posix_spawnattr_setflags(&m_attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
    ~SpawnSetup()
    {
        posix_spawnattr_destroy(&m_attr);
        posix_spawn_file_actions_destroy(&m_actions);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    // 0 or the error number.
    int Spawn(pid_t& pid, const char* path, char** argv, char** envp) const
    {
        return posix_spawn(&pid, path, &m_actions, &m_attr, argv, envp);
    }

private:
    posix_spawn_file_actions_t m_actions;
    posix_spawnattr_t m_attr;
};

int Spawn(pid_t& pid, const char* path, char** argv, char** envp, const char* workDir)
{
    const SpawnSetup setup(workDir);
    return setup.Spawn(pid, path, argv, envp);
}

// How long the detached launch waits for its intermediate child's report and end. The child only
// spawns and reports; a child that does neither in this time is killed, and the launch fails.
const int c_detachedReportMs = 10000;

// Until fd is readable or closed (true), or timeoutMs has passed (false).
bool WaitReadable(int fd, int timeoutMs)
{
    const int64_t end = MonotonicMs() + timeoutMs;
    for (;;)
    {
        const int64_t now = MonotonicMs();
        if (now >= end)
        {
            return false;
        }
        pollfd p = {fd, POLLIN, 0};
        const int r = poll(&p, 1, int(end - now));
        if (r > 0)
        {
            return true;
        }
        if (r < 0 && errno != EINTR)
        {
            return true; // the read that follows reports it
        }
    }
}

// Reaps the child; a child that has not ended within timeoutMs is killed first.
void ReapBounded(pid_t child, int timeoutMs)
{
    int status = 0;
    const int64_t end = MonotonicMs() + timeoutMs;
    for (;;)
    {
        const pid_t r = waitpid(child, &status, WNOHANG);
        if (r == child || (r < 0 && errno != EINTR))
        {
            return;
        }
        if (MonotonicMs() >= end)
        {
            break;
        }
        const timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
    }
    kill(child, SIGKILL);
    while (waitpid(child, &status, 0) < 0 && errno == EINTR)
    {
    }
}

// Reads exactly n bytes (a short read is an end of the writer).
bool ReadAll(int fd, void* buf, size_t n)
{
    char* p = static_cast<char*>(buf);
    while (n > 0)
    {
        const ssize_t r = read(fd, p, n);
        if (r < 0 && errno == EINTR)
        {
            continue;
        }
        if (r <= 0)
        {
            return false;
        }
        p += r;
        n -= size_t(r);
    }
    return true;
}

} // namespace

StartProcessResult StartProcess(const std::wstring& app, const std::vector<std::wstring>& args,
                                QProcessEnvironment env)
{
    Orphans::Instance().Sweep();

    // Checks the path and keeps the text of the command line for the reader of a debugger or dump.
    const Win32::ProcAppArgs::ArgsTempWrapper commandLine(MakeCommandLine(app, args));

    const std::vector<std::string> argv = ChildArgv(app, args);
    SpawnArgs childArgv(argv);

    std::vector<std::string> envItems;
    if (!env.isEmpty())
    {
        for (const QString& kv : env.toStringList())
        {
            envItems.push_back(kv.toLocal8Bit().toStdString());
        }
    }
    SpawnArgs childEnv(envItems);

    pid_t pid = 0;
    const int err =
        Spawn(pid, argv[0].c_str(), childArgv.Get(), env.isEmpty() ? environ : childEnv.Get(), nullptr);

    StartProcessResult res;
    if (err != 0)
    {
        res.error = ErrnoText(err);
        return res;
    }

    const int pidfd = PidfdOpen(pid);
    res.process = boost::make_shared<ProcExec>(pid, pidfd);
    res.processId = uint32_t(pid);
    return res;
}

StartDetachedResult StartDetachedProcess(const std::wstring& app, const std::vector<std::wstring>& args,
                                         const std::wstring& workDir)
{
    const Win32::ProcAppArgs::ArgsTempWrapper commandLine(MakeCommandLine(app, args));
    const std::vector<std::string> argv = ChildArgv(app, args);
    SpawnArgs childArgv(argv);
    const std::string dir = Utils::UnicodeToLocaleString(workDir);

    StartDetachedResult res;
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
    {
        res.error = ErrnoText(errno);
        return res;
    }
    // Everything is prepared before the fork: the intermediate child only spawns the real one,
    // reports its pid (or the error) and ends, so that the real one is handed to the system. It is
    // a copy of a busy process: a lock that another thread held at the fork (the allocator's,
    // under a sanitizer) stays held in it for ever, so it allocates and frees nothing.
    const SpawnSetup setup(dir.empty() ? nullptr : dir.c_str());
    const pid_t middle = fork();
    if (middle < 0)
    {
        res.error = ErrnoText(errno);
        close(report[0]);
        close(report[1]);
        return res;
    }
    if (middle == 0)
    {
        close(report[0]);
        pid_t pid = 0;
        const int err = setup.Spawn(pid, argv[0].c_str(), childArgv.Get(), environ);
        const int32_t msg[2] = {err, int32_t(pid)};
        ssize_t w;
        do
        {
            w = write(report[1], msg, sizeof(msg));
        } while (w < 0 && errno == EINTR);
        // The system call itself: a sanitizer's _exit would run its exit checks in this copy.
        syscall(SYS_exit_group, 0);
    }

    close(report[1]);
    int32_t msg[2] = {0, 0};
    bool got = false;
    int readErr = ETIMEDOUT;
    if (WaitReadable(report[0], c_detachedReportMs))
    {
        errno = 0;
        got = ReadAll(report[0], msg, sizeof(msg));
        readErr = errno != 0 ? errno : EPIPE;
    }
    close(report[0]);
    // A child that reported ends at once; one that did not is stalled and goes now.
    ReapBounded(middle, got ? c_detachedReportMs : 0);

    if (!got)
    {
        res.error = ErrnoText(readErr);
    }
    else if (msg[0] != 0)
    {
        res.error = ErrnoText(msg[0]);
    }
    else
    {
        res.processId = uint32_t(msg[1]);
    }
    return res;
}

} // namespace Platform
