// plugin_cycle: loads the shipped plug-in, runs it and unloads it again and again in one process,
// as a real client does at every connection, and checks that nothing of it stays behind.
//
// Each cycle: dlopen, VirtualChannelEntry, INITIALIZED, CONNECTED, a short relay (the far-end
// peer sends its bytes through the channel, the session, the bridge and the MediaBridge stand-in
// and checks them when they come back), DISCONNECTED, TERMINATED, dlclose. After TERMINATED no
// thread of the plug-in may be left (by name, in /proc/self/task); after dlclose the fault-signal
// handlers must be the host's again, the C library's list of streams must be as before the load,
// and the MediaBridge of the cycle must have ended (it keeps every descriptor it inherited, so it
// ends only when its connection sees EOF). Descriptors and resident memory must stay flat after
// the first cycles. Every descriptor the plug-in holds while it runs must be close-on-exec.
//
// Before the cycles, refused start-ups (a config.ini with a section line, with a repeated key, a
// folder in its place): each must print its reason on standard error in one line with the file's
// path, start no thread and leave the descriptor count as it was.
//
// Usage: plugin_cycle <plug-in library> <MediaBridge> <stl_peer> [cycles [refusals [rss slack kB]]]
// A negative slack skips the memory check (a sanitizer build keeps the shadow of every load).
// Exit code 0 when every check held; the failures are printed on standard error.
//
// Every step is bounded: a step that does not end within its bound, and a relay that does not
// bring the bytes back, are reported with the plug-in's log, the far end's lines, the state of the
// MediaBridge and of every thread of the host (and their stacks, when gdb is there); a stalled
// step then ends the host with exit code 1 instead of letting it hang.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <boost/filesystem.hpp>
#include "VcHost.h"

namespace fs = boost::filesystem;

extern char** environ;

// The C library's list of open C streams and its lock (glibc exports them).
extern "C" FILE* _IO_list_all;
extern "C" void _IO_list_lock();
extern "C" void _IO_list_unlock();

namespace
{

const int c_waitMs = 30000;
// A step of the host (a call into the plug-in, the far end's or the library's end) that takes
// longer than this has stalled.
const int c_stepLimitMs = 60000;
const size_t c_logTailLines = 150;
const int c_relayBytes = 200000;
const int c_flatAfterCycle = 20;
const int c_faultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};

int g_failures = 0;

void Fail(int cycle, const std::string& what)
{
    ++g_failures;
    std::cerr << "cycle " << cycle << ": " << what << std::endl;
}

std::string ReadFirstLine(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::vector<std::string> ListDir(const std::string& path)
{
    std::vector<std::string> res;
    if (DIR* d = ::opendir(path.c_str()))
    {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.')
                res.push_back(e->d_name);
        ::closedir(d);
    }
    return res;
}

// The names of this process's threads that are not the host's own (the main thread and the
// substitute host's "vchost-" threads).
std::vector<std::string> ForeignThreads(const std::string& mainName)
{
    std::vector<std::string> res;
    for (const std::string& tid : ListDir("/proc/self/task"))
    {
        const std::string name = ReadFirstLine("/proc/self/task/" + tid + "/comm");
        if (!name.empty() && name != mainName && name.rfind("vchost-", 0) != 0 && name != "cycle-watchdog")
            res.push_back(name + "(" + tid + ")");
    }
    return res;
}

// The kernel drops a joined thread's task a moment after the join has returned; bounded.
std::vector<std::string> ForeignThreadsSettled(const std::string& mainName)
{
    std::vector<std::string> res = ForeignThreads(mainName);
    for (int i = 0; i < 100 && !res.empty(); ++i)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        res = ForeignThreads(mainName);
    }
    return res;
}

std::set<int> OpenFds()
{
    std::set<int> res;
    for (const std::string& fd : ListDir("/proc/self/fd"))
        res.insert(std::atoi(fd.c_str()));
    return res;
}

size_t OpenStreams()
{
    _IO_list_lock();
    size_t n = 0;
    for (FILE* f = _IO_list_all; f != nullptr; f = f->_chain)
        ++n;
    _IO_list_unlock();
    return n;
}

long RssKb()
{
    std::ifstream in("/proc/self/statm");
    long pages = 0, resident = 0;
    in >> pages >> resident;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

struct Handlers
{
    struct sigaction sa[sizeof(c_faultSignals) / sizeof(c_faultSignals[0])];
};

Handlers CurrentHandlers()
{
    Handlers h;
    for (size_t i = 0; i < sizeof(c_faultSignals) / sizeof(c_faultSignals[0]); ++i)
        ::sigaction(c_faultSignals[i], nullptr, &h.sa[i]);
    return h;
}

// The C library adds its restorer flag to every handler it installs, the default one too.
const int c_restorerFlag = 0x04000000;

bool SameHandlers(const Handlers& a, const Handlers& b)
{
    for (size_t i = 0; i < sizeof(c_faultSignals) / sizeof(c_faultSignals[0]); ++i)
        if (a.sa[i].sa_sigaction != b.sa[i].sa_sigaction ||
            (a.sa[i].sa_flags & ~c_restorerFlag) != (b.sa[i].sa_flags & ~c_restorerFlag))
            return false;
    return true;
}

// The processes for which keep holds, given the pid as /proc names it.
std::vector<int> Processes(const std::function<bool(const std::string& pid)>& keep)
{
    std::vector<int> res;
    for (const std::string& pid : ListDir("/proc"))
        if (pid.find_first_not_of("0123456789") == std::string::npos && keep(pid))
            res.push_back(std::atoi(pid.c_str()));
    return res;
}

// MediaBridge processes launched for this host: their second argument is our pid.
std::vector<int> OurMediaBridges()
{
    const std::string self = std::to_string(::getpid());
    return Processes(
        [&](const std::string& pid)
        {
            std::ifstream in("/proc/" + pid + "/cmdline", std::ios::binary);
            std::vector<std::string> args;
            for (std::string a; std::getline(in, a, '\0');)
                args.push_back(a);
            return args.size() >= 3 && fs::path(args[0]).filename() == "MediaBridge" && args[2] == self &&
                   ReadFirstLine("/proc/" + pid + "/stat").find(") Z") == std::string::npos;
        });
}

bool WaitNoMediaBridge()
{
    for (int i = 0; i < 1000; ++i)
    {
        if (OurMediaBridges().empty())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// Descriptors opened since `before` that a child of the host would inherit.
std::vector<int> InheritableSince(const std::set<int>& before)
{
    std::vector<int> res;
    for (int fd : OpenFds())
    {
        if (before.count(fd) != 0)
            continue;
        const int flags = ::fcntl(fd, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0)
            res.push_back(fd);
    }
    return res;
}

class Folder
{
public:
    Folder(const std::string& lib, const std::string& mediaBridge)
    {
        m_dir = fs::temp_directory_path() / fs::unique_path("plugin-cycle-%%%%-%%%%");
        fs::create_directories(m_dir / "home");
        fs::copy_file(lib, m_dir / "libYrTnVMwarePlugin.so");
        fs::copy_file(mediaBridge, m_dir / "MediaBridge");
        fs::permissions(m_dir / "MediaBridge", fs::owner_all);
    }
    ~Folder()
    {
        boost::system::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    void WriteConfig(const std::string& text) const
    {
        fs::remove_all(Config());
        std::ofstream(Config().string()) << "LogFolder = logs\n" << text;
    }
    void MakeConfigAFolder() const
    {
        fs::remove_all(Config());
        fs::create_directories(Config());
    }
    fs::path Lib() const { return m_dir / "libYrTnVMwarePlugin.so"; }
    fs::path Config() const { return m_dir / "config.ini"; }
    fs::path Home() const { return m_dir / "home"; }
    fs::path Logs() const { return m_dir / "logs"; }

private:
    fs::path m_dir;
};

// Standard error of this process goes to a file while the object lives.
class CaptureStderr
{
public:
    explicit CaptureStderr(const fs::path& file) : m_file(file)
    {
        std::fflush(stderr);
        m_saved = ::dup(2);
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~CaptureStderr() { Restore(); }

    std::string Restore()
    {
        if (m_saved >= 0)
        {
            std::fflush(stderr);
            ::dup2(m_saved, 2);
            ::close(m_saved);
            m_saved = -1;
        }
        std::ifstream in(m_file.string());
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

private:
    fs::path m_file;
    int m_saved;
};

// ---- what a stalled cycle shows

std::vector<std::string> TailLines(const fs::path& file, size_t count)
{
    std::ifstream in(file.string());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
    {
        lines.push_back(line);
        if (lines.size() > 4 * count)
            lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(count));
    }
    if (lines.size() > count)
        lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(count));
    return lines;
}

// The plug-in's newest log file (one per load): the latest written, the latest name on a tie.
fs::path NewestLog(const fs::path& dir)
{
    fs::path newest;
    std::time_t newestTime = 0;
    for (const std::string& name : ListDir(dir.string()))
    {
        struct stat st;
        const fs::path p = dir / name;
        if (::stat(p.c_str(), &st) == 0 &&
            (newest.empty() || st.st_mtime > newestTime || (st.st_mtime == newestTime && p > newest)))
        {
            newest = p;
            newestTime = st.st_mtime;
        }
    }
    return newest;
}

// "name(tid) state wchan" of every thread of a process.
std::string TaskStates(const std::string& procDir)
{
    std::string res;
    for (const std::string& tid : ListDir(procDir + "/task"))
    {
        const std::string dir = procDir + "/task/" + tid;
        const std::string stat = ReadFirstLine(dir + "/stat");
        const size_t close = stat.rfind(')');
        const std::string state =
            close != std::string::npos && close + 2 < stat.size() ? stat.substr(close + 2, 1) : "?";
        res += "  " + ReadFirstLine(dir + "/comm") + "(" + tid + ") " + state + " " +
               ReadFirstLine(dir + "/wchan") + "\n";
    }
    return res;
}

// The processes whose parent is this one (the far end, a launcher's intermediate child).
std::vector<int> OurChildren()
{
    const std::string self = std::to_string(::getpid());
    return Processes(
        [&](const std::string& pid)
        {
            const std::string stat = ReadFirstLine("/proc/" + pid + "/stat");
            const size_t close = stat.rfind(')');
            if (close == std::string::npos)
                return false;
            std::istringstream rest(stat.substr(close + 2));
            std::string state, ppid;
            rest >> state >> ppid;
            return ppid == self;
        });
}

// The stacks of every thread of a process, when gdb is there (bounded by timeout).
void PrintStacks(int pid)
{
    ::prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    std::vector<std::string> all{
        "timeout", "60", "gdb", "-p", std::to_string(pid), "-batch", "-nx", "-ex", "thread apply all bt 30"};
    std::vector<char*> argv;
    for (std::string& a : all)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, 2, 1); // everything on standard error
    pid_t child = -1;
    if (::posix_spawnp(&child, "timeout", &fa, nullptr, argv.data(), environ) == 0)
    {
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR)
        {
        }
    }
    posix_spawn_file_actions_destroy(&fa);
}

// Everything that tells where a cycle stalled, on standard error.
void Diagnose(int cycle, const std::string& what, const fs::path& logDir,
              const std::vector<std::string>& peerLines)
{
    std::ostringstream out;
    out << "==== cycle " << cycle << " stalled: " << what << "\n";
    if (!peerLines.empty())
    {
        out << "---- far end (stl_peer):\n";
        for (const std::string& l : peerLines)
            out << "  " << l << "\n";
    }
    for (int pid : OurMediaBridges())
        out << "---- MediaBridge " << pid << ":\n" << TaskStates("/proc/" + std::to_string(pid));
    const std::vector<int> children = OurChildren();
    for (int pid : children)
        out << "---- child " << pid << " " << ReadFirstLine("/proc/" + std::to_string(pid) + "/cmdline")
            << ":\n"
            << TaskStates("/proc/" + std::to_string(pid));
    out << "---- threads of the host:\n" << TaskStates("/proc/self");
    const fs::path log = NewestLog(logDir);
    out << "---- plug-in log " << log.string() << " (last " << c_logTailLines << " lines):\n";
    for (const std::string& l : TailLines(log, c_logTailLines))
        out << "  " << l << "\n";
    std::cerr << out.str() << std::flush;
    for (int pid : children)
        PrintStacks(pid);
    PrintStacks(::getpid());
    std::cerr << "==== end of cycle " << cycle << "'s report" << std::endl;
}

// Bounds every step of the host: one that does not end within c_stepLimitMs is diagnosed and
// the host ends with exit code 1 (a stalled step cannot be undone: the plug-in is stuck in it).
class Watchdog
{
public:
    explicit Watchdog(const fs::path& logDir) : m_logDir(logDir), m_thread([this] { Run(); }) {}
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_stop = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }

    // The next step starts; it ends when the next one starts or at Idle.
    void Step(int cycle, const char* name)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_cycle = cycle;
        m_step = name;
        m_deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(c_stepLimitMs);
        m_active = true;
    }
    void Idle()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_active = false;
    }

private:
    void Run()
    {
        ::pthread_setname_np(::pthread_self(), "cycle-watchdog");
        std::unique_lock<std::mutex> lock(m_lock);
        while (!m_stop)
        {
            if (m_active && std::chrono::steady_clock::now() >= m_deadline)
            {
                Diagnose(m_cycle,
                         std::string("step '") + m_step + "' did not end in " +
                             std::to_string(c_stepLimitMs) + " ms",
                         m_logDir, {});
                std::cerr << "cycle " << m_cycle << ": step '" << m_step << "' stalled" << std::endl;
                std::_Exit(1);
            }
            m_changed.wait_for(lock, std::chrono::milliseconds(500));
        }
    }

    const fs::path m_logDir;
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_stop = false;
    bool m_active = false;
    int m_cycle = 0;
    const char* m_step = "";
    std::chrono::steady_clock::time_point m_deadline;
    std::thread m_thread;
};

Watchdog* g_watchdog = nullptr;

void Step(int cycle, const char* name)
{
    if (g_watchdog != nullptr)
        g_watchdog->Step(cycle, name);
}

// Refused start-ups in turn: a section line, a repeated key, a folder in the file's place.
const char* SetRefusedConfig(int n, const Folder& folder)
{
    switch (n % 3)
    {
    case 0:
        folder.WriteConfig("[Section]\n");
        return "Sections not allowed";
    case 1:
        folder.WriteConfig("LogLevel = 7\nLogLevel = 8\n");
        return "Duplicate item LogLevel";
    default:
        folder.MakeConfigAFolder();
        return "isn`t a file";
    }
}

void RefusalCycle(int n, const Folder& folder, const std::set<int>& fdsBefore)
{
    const std::string reason = SetRefusedConfig(n, folder);
    Step(n, "refusal: load");
    {
        VcHost::Host host;
        std::string error;
        if (!host.Load(folder.Lib().string(), &error))
            return Fail(n, "refusal: load failed: " + error);
        const std::set<int> loaded = OpenFds();
        CaptureStderr capture(folder.Home() / "stderr.txt");
        Step(n, "refusal: entry");
        const int32_t rc = host.CallEntry();
        const std::string text = capture.Restore();
        if (OpenFds() != loaded)
            Fail(n, "refusal: the refused start-up left descriptors open");
        if (rc != 0)
            Fail(n, "refusal: the entry returned " + std::to_string(rc));
        const std::string expected = "start-up refused, config '" + folder.Config().string() + "': ";
        const size_t at = text.find(expected);
        if (at == std::string::npos || text.find(reason, at) == std::string::npos ||
            text.find('\n', at) != text.size() - 1)
            Fail(n, "refusal: no one-line reason on standard error: " + text);
        if (!ForeignThreadsSettled(ReadFirstLine("/proc/self/comm")).empty())
            Fail(n, "refusal: threads of the plug-in run after the refused entry");
        Step(n, "refusal: TERMINATED");
        host.RaiseInitEvent(CHANNEL_EVENT_TERMINATED);
        Step(n, "refusal: unload");
        if (!host.Unload())
            Fail(n, "refusal: the library stayed loaded");
        Step(n, "refusal: host end");
    }
    Step(n, "refusal: checks");
    if (OpenFds() != fdsBefore)
        Fail(n, "refusal: descriptors differ from before the refused start-up");
    if (g_watchdog != nullptr)
        g_watchdog->Idle();
}

struct Sample
{
    size_t fds;
    long rssKb;
};

Sample RunCycle(int n, const Folder& folder, const std::string& peer, const Handlers& hostHandlers)
{
    const std::string mainName = ReadFirstLine("/proc/self/comm");
    const size_t streamsBefore = OpenStreams();
    {
        Step(n, "load");
        VcHost::Host host;
        std::string error;
        if (!host.Load(folder.Lib().string(), &error))
        {
            Fail(n, "load failed: " + error);
            return Sample{0, 0};
        }
        Step(n, "peer start");
        if (!host.StartPeer(peer, {"--send", std::to_string(c_relayBytes)}, &error))
            Fail(n, "peer failed: " + error);
        const std::set<int> fdsBefore = OpenFds();
        Step(n, "entry");
        if (host.CallEntry() != 1)
            Fail(n, "the entry returned FALSE");
        Step(n, "INITIALIZED");
        host.RaiseInitEvent(CHANNEL_EVENT_INITIALIZED);
        Step(n, "CONNECTED");
        host.Connect();
        Step(n, "session connect");
        if (!host.WaitPeerLine("connected", c_waitMs))
        {
            Fail(n, "the far end's session did not connect");
            Step(n, "report");
            Diagnose(n, "the far end's session did not connect", folder.Logs(), host.PeerLines());
        }
        Step(n, "relay");
        if (!host.WaitPeerLine("verified " + std::to_string(c_relayBytes), c_waitMs))
        {
            Fail(n, "the relay did not bring the far end's bytes back");
            Step(n, "report");
            Diagnose(n, "the relay did not bring the far end's bytes back", folder.Logs(), host.PeerLines());
        }
        for (int fd : InheritableSince(fdsBefore))
            Fail(n, "descriptor " + std::to_string(fd) + " of the plug-in is not close-on-exec");
        Step(n, "DISCONNECTED");
        host.Disconnect();
        Step(n, "TERMINATED");
        host.Terminate();
        Step(n, "thread check");
        const std::vector<std::string> left = ForeignThreads(mainName);
        if (!ForeignThreadsSettled(mainName).empty())
        {
            std::string names;
            for (const std::string& t : left)
                names += " " + t;
            Fail(n, "threads of the plug-in alive after TERMINATED:" + names);
        }
        Step(n, "peer stop");
        host.StopPeer();
        Step(n, "unload");
        if (!host.Unload())
            Fail(n, "the library stayed loaded after dlclose");
        if (!host.Problems().empty())
            Fail(n, "channel contract broken: " + host.Problems().front());
        Step(n, "host end");
    }
    Step(n, "MediaBridge end");
    if (!SameHandlers(hostHandlers, CurrentHandlers()))
        Fail(n, "fault-signal handlers are not the host's after dlclose");
    // A stream of the plug-in left on the list would be called back at the host's exit.
    if (OpenStreams() != streamsBefore)
        Fail(n, "C streams open after dlclose: " + std::to_string(OpenStreams()) +
                    ", before the load: " + std::to_string(streamsBefore));
    if (!WaitNoMediaBridge())
        Fail(n, "the MediaBridge did not end after the unload");
    if (g_watchdog != nullptr)
        g_watchdog->Idle();
    return Sample{OpenFds().size(), RssKb()};
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4)
    {
        std::cerr << "usage: plugin_cycle <plug-in library> <MediaBridge> <stl_peer> [cycles [refusals [rss "
                     "slack kB]]]\n";
        return 2;
    }
    const int cycles = argc > 4 ? std::atoi(argv[4]) : 200;
    const int refusals = argc > 5 ? std::atoi(argv[5]) : 10;
    const long rssSlackKb = argc > 6 ? std::atol(argv[6]) : 4096;

    Folder folder(argv[1], argv[2]);
    ::setenv("XDG_DATA_HOME", folder.Home().c_str(), 1);
    ::setenv("TMPDIR", folder.Home().c_str(), 1);
    ::setenv("YR_MEDIABRIDGE_KEEP_FDS", "1", 1);
    // A descriptor of the host without close-on-exec: the media bridge must not get it.
    int hostPipe[2] = {-1, -1};
    if (::pipe(hostPipe) != 0)
        return 2;

    const Handlers hostHandlers = CurrentHandlers();
    Watchdog watchdog(folder.Logs());
    g_watchdog = &watchdog;

    for (int i = 1; i <= refusals; ++i)
    {
        const std::set<int> before = OpenFds();
        RefusalCycle(i, folder, before);
    }

    // Info lines are what tells a stalled cycle's story: their level is set, whatever the default.
    folder.WriteConfig("LogLevel = 7\n");
    std::vector<Sample> samples;
    for (int i = 1; i <= cycles; ++i)
        samples.push_back(RunCycle(i, folder, argv[3], hostHandlers));

    if (cycles > c_flatAfterCycle)
    {
        const Sample& base = samples[c_flatAfterCycle - 1];
        const Sample& last = samples.back();
        if (last.fds != base.fds)
            Fail(cycles, "descriptors grew from " + std::to_string(base.fds) + " after cycle " +
                             std::to_string(c_flatAfterCycle) + " to " + std::to_string(last.fds));
        if (rssSlackKb >= 0 && last.rssKb - base.rssKb > rssSlackKb)
            Fail(cycles, "resident memory grew from " + std::to_string(base.rssKb) + " kB to " +
                             std::to_string(last.rssKb) + " kB");
    }
    g_watchdog = nullptr;
    std::cout << "cycles " << cycles << " refusals " << refusals << " failures " << g_failures;
    if (!samples.empty())
        std::cout << " fds " << samples.front().fds << "->" << samples.back().fds << " rss_kb "
                  << samples.front().rssKb << "->" << samples[std::min<size_t>(c_flatAfterCycle, samples.size()) - 1].rssKb
                  << "->" << samples.back().rssKb;
    std::cout << std::endl;
    return g_failures == 0 ? 0 : 1;
}
