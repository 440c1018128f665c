// The whole relay road, measured against a minimal relay in the same run.
//
// Each measurement starts the substitute host (vc_host) with a plug-in installed as it ships (the
// library, "MediaBridge" next to it, a config.ini at the shipped log level), the far end
// (stl_peer) on the channel and the media-bridge stand-in on loopback TCP, in one of four
// scenarios:
//   up    the far end sources, the media bridge sinks (MB/s at the media bridge);
//   down  the media bridge sources, the far end sinks (MB/s at the far end);
//   both  the far end sends, the media bridge echoes, the far end checks (MB/s each way);
//   rtt   one 64-byte payload at a time, far end -> media bridge -> far end (p50, p99).
// CPU is the host process's plus the media bridge's, per MB relayed. The two relays take turns
// scenario by scenario, on a quiet machine and then with every core kept busy by spinning threads.
// It ends with the size the log reaches at the shipped level, per MB relayed and per hour at 1 MB/s
// each way, and checks it against the bound the README states.
//
// With --log-minutes M it instead relays at 1 MB/s each way for M minutes at the shipped level and
// checks the size of the log it wrote against the README's hourly bound.
//
// With --full-log-disk L it instead relays both ways at log level L with the log folder on a small
// file system that is full, against the same with room on it, and counts the files left in the
// log folder (as root: each folder is a tmpfs of its own, in a mount namespace of the benchmark's).
//
// The default run ends with the rate both ways while a process of our user connects to the
// media-bridge port once a second from a socket that no process is seen holding, against the same
// without, and the round trips with and without such connects while a crowd of idle processes is
// on the machine (--only stray runs just that).
//
// Usage: bench_relay [--rounds N] [--mb N] [--only up|down|both|rtt|stray] [--log-minutes M]
//                    [--full-log-disk L]

//        (the build tree is found from the program's path)
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include "common/BusyThreads.h"
#include "common/InFlight.h"
#include "common/LineChild.h"
#include "common/ProcessCrowd.h"

namespace
{

namespace fs = std::filesystem;

// The shipped configuration's level (scripts/run-main.sh) and the README's bound at it.
const int c_shippedLevel = 5;
const double c_logBoundMbPerHour = 1.0;

const int c_waitMs = 120000;
// A run that moves less than this gave up (a relay that drops data never completes).
const double c_slowestMbPerSec = 4.0;

struct Programs
{
    fs::path build;
    fs::path Plugin() const { return build / "src/VMware/libYrTnVMwarePlugin.so"; }
    fs::path Minimal() const { return build / "bench/libMinimalRelay.so"; }
    fs::path MediaBridge() const { return build / "src/VMware/MediaBridge"; }
    fs::path VcHost() const { return build / "tools/vc_host/vc_host"; }
    fs::path StlPeer() const { return build / "tools/stl_peer/stl_peer"; }
};

enum class Relay
{
    Ours,
    Minimal
};
enum class Scenario
{
    Up,
    Down,
    Both,
    Rtt
};

const char* Name(Scenario s)
{
    switch (s)
    {
    case Scenario::Up:
        return "up";
    case Scenario::Down:
        return "down";
    case Scenario::Both:
        return "both";
    default:
        return "rtt";
    }
}

struct Result
{
    bool ok = false;
    double mbPerSec = 0;        // each way, over the far end's round (from its first payload)
    double connectMbPerSec = 0; // each way, from the channel's connect: a late start counts too
    double p50Us = 0;
    double p99Us = 0;
    double longestUs = 0;
    double cpuMsPerMb = 0;
    uint64_t logBytes = 0;
    double mbRelayed = 0;
    size_t logFiles = 0;
    int strayConnects = 0;
};

std::string ReadFile(const fs::path& p)
{
    std::ifstream f(p);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// The first line of the file that starts with prefix, or "".
std::string FindLine(const fs::path& p, const std::string& prefix)
{
    std::istringstream in(ReadFile(p));
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) == 0)
            return line;
    return std::string();
}

// User plus system time of a process, in ms (0 when it is gone).
double CpuMs(pid_t pid)
{
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream in(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i)
    {
        if (i == 14)
            utime = std::stoull(field);
        if (i == 15)
            stime = std::stoull(field);
    }
    return double(utime + stime) * 1000.0 / double(::sysconf(_SC_CLK_TCK));
}

// Where the log folder lies: a plain folder, or a tmpfs of its own with room or full.
enum class LogDisk
{
    Plain,
    Roomy,
    Full
};

// A folder laid out as the plug-in is installed; removed at the end.
class Install
{
public:
    Install(const Programs& progs, Relay relay, int level, LogDisk disk = LogDisk::Plain)
    {
        char tmpl[] = "/tmp/yr-bench-relay-XXXXXX";
        m_dir = ::mkdtemp(tmpl);
        fs::copy_file(relay == Relay::Ours ? progs.Plugin() : progs.Minimal(), Library());
        fs::copy_file(progs.MediaBridge(), m_dir / "MediaBridge");
        fs::create_directory(m_dir / "logs");
        if (disk != LogDisk::Plain)
            MountLogDisk(disk);
        std::ofstream(m_dir / "config.ini") << "LogToFile=1\nLogFolder=logs\nLogLevel=" << level << "\n";
    }
    // Kept (and named) when YR_BENCH_KEEP is set, to read the logs of a failed run.
    ~Install()
    {
        if (m_mounted)
            ::umount2((m_dir / "logs").c_str(), MNT_DETACH);
        if (std::getenv("YR_BENCH_KEEP") != nullptr)
        {
            std::printf("  (kept %s)\n", m_dir.c_str());
            return;
        }
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    bool LogDiskReady() const { return m_mounted; }
    size_t LogFiles() const
    {
        size_t n = 0;
        for (const auto& e : fs::directory_iterator(m_dir / "logs"))
            n += e.path().filename().string().rfind("log_", 0) == 0 ? 1 : 0;
        return n;
    }
    fs::path Library() const { return m_dir / "librelay.so"; }
    fs::path Dir() const { return m_dir; }
    uint64_t LogBytes() const
    {
        uint64_t n = 0;
        for (const auto& e : fs::directory_iterator(m_dir / "logs"))
            n += e.file_size();
        return n;
    }

private:
    // 4 MiB, as a small partition; a full one keeps 64 KiB for the start-up records, which the
    // relay's records then fill within the first second.
    void MountLogDisk(LogDisk disk)
    {
        const fs::path logs = m_dir / "logs";
        const std::string options = disk == LogDisk::Full ? "size=4m" : "size=1g";
        m_mounted = ::mount("tmpfs", logs.c_str(), "tmpfs", 0, options.c_str()) == 0;
        if (!m_mounted || disk != LogDisk::Full)
            return;
        const int fd = ::open((logs / "filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        std::vector<char> block(65536, 'f');
        off_t size = 0;
        for (ssize_t n; (n = ::write(fd, block.data(), block.size())) > 0;)
            size += n;
        if (::ftruncate(fd, std::max<off_t>(0, size - 65536)) != 0)
            m_mounted = false;
        ::close(fd);
    }

    fs::path m_dir;
    bool m_mounted = false;
};

// vc_host as a child: a command line in, its answer line out. At its end its input is closed,
// which ends vc_host; one that does not end within 5 s is killed.
class Host
{
public:
    Host(const Programs& progs, const Install& inst, const std::vector<std::string>& env)
        : m_child({progs.VcHost().string()}, Environment(env), (inst.Dir() / "vc_host.err").string())
    {
    }
    ~Host() { m_child.Quit(5000); }

    pid_t Pid() const { return m_child.StartedPid(); }

    // The answer line, "" when none came in time.
    std::string Ask(const std::string& cmd, int timeoutMs = c_waitMs) { return m_child.Command(cmd, timeoutMs); }

private:
    static std::vector<std::string> Environment(const std::vector<std::string>& extra)
    {
        std::vector<std::string> env = LineChild::Environment({"YR_MEDIABRIDGE_"});
        env.insert(env.end(), extra.begin(), extra.end());
        return env;
    }

    LineChild m_child;
};

// Bounded: a minute and more for a line of the media bridge's log.
std::string WaitForLine(const fs::path& file, const std::string& prefix, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;)
    {
        const std::string line = FindLine(file, prefix);
        if (!line.empty() || std::chrono::steady_clock::now() > end)
            return line;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// Once the media bridge has started (its log names the port), connects to its port once a second
// from a socket kept in flight, which no process is seen holding, until the object ends.
class StrayConnects
{
public:
    explicit StrayConnects(const fs::path& mbLog) : m_thread([this, mbLog] { Run(mbLog); }) {}
    ~StrayConnects()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_cond.notify_all();
        m_thread.join();
    }
    int Count() const { return m_count; }

private:
    // True when told to stop within ms.
    bool Stopped(int ms)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stop; });
    }

    void Run(const fs::path& mbLog)
    {
        const std::string key = "127.0.0.1:";
        std::string line;
        while ((line = FindLine(mbLog, "start ")).find(key) == std::string::npos)
            if (Stopped(2))
                return;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(std::atoi(line.c_str() + line.find(key) + key.size())));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        TestUtils::InFlight inFlight;
        do
        {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) == 0 && inFlight.Put(fd))
                ++m_count;
            ::close(fd);
        } while (!Stopped(1000));
    }

    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_stop = false;
    std::atomic<int> m_count{0};
    std::thread m_thread; // last: it starts at once
};

std::vector<double> Numbers(const std::string& line)
{
    std::istringstream in(line);
    std::vector<double> v;
    std::string word;
    while (in >> word)
    {
        char* e = nullptr;
        const double d = std::strtod(word.c_str(), &e);
        if (e != word.c_str() && *e == 0)
            v.push_back(d);
    }
    return v;
}

// peerRate: bytes per second the far end sends at most (0: as fast as it goes).
Result Measure(const Programs& progs, Relay relay, Scenario sc, uint64_t bytes, int level, uint64_t peerRate = 0,
               LogDisk disk = LogDisk::Plain, bool strays = false)
{
    Result r;
    Install inst(progs, relay, level, disk);
    if (disk != LogDisk::Plain && !inst.LogDiskReady())
        return r;
    const fs::path mbLog = inst.Dir() / "mediabridge.txt";
    const fs::path report = inst.Dir() / "peer.txt";
    std::vector<std::string> env = {"YR_MEDIABRIDGE_LOG=" + mbLog.string(), "ASAN_OPTIONS=detect_leaks=0"};
    std::string peerArgs;
    const std::string n = std::to_string(bytes);
    switch (sc)
    {
    case Scenario::Up:
        env.push_back("YR_MEDIABRIDGE_SINK=" + n);
        peerArgs = "--source " + n;
        break;
    case Scenario::Down:
        env.push_back("YR_MEDIABRIDGE_SOURCE=" + n);
        peerArgs = "--sink " + n;
        break;
    case Scenario::Both:
        peerArgs = "--send " + n;
        if (peerRate != 0)
            peerArgs += " --rate " + std::to_string(peerRate);
        break;
    case Scenario::Rtt:
        peerArgs = "--rtt " + n;
        break;
    }
    Host host(progs, inst, env);
    if (host.Ask("load " + inst.Library().string()) != "load ok" || host.Ask("entry") != "entry 1" ||
        host.Ask("initialized") != "ok" ||
        host.Ask("peer " + progs.StlPeer().string() + " " + peerArgs + " --report " + report.string()) !=
            "peer ok")
        return r;
    const double hostCpu0 = CpuMs(host.Pid());
    if (host.Ask("connect") != "ok")
        return r;
    const auto connected = std::chrono::steady_clock::now();
    std::unique_ptr<StrayConnects> strayConnects = strays ? std::make_unique<StrayConnects>(mbLog) : nullptr;

    const double slowest = peerRate != 0 ? 0.9 * double(peerRate) / 1048576.0 : c_slowestMbPerSec;
    const int limitMs = std::max(10000, int(double(bytes) / 1048576.0 / slowest * 1000));
    std::string done;
    if (sc == Scenario::Up)
        done = WaitForLine(mbLog, "sunk ", limitMs);
    else
    {
        const std::string line = sc == Scenario::Down ? "received " + n
                                 : sc == Scenario::Both ? "verified " + n
                                                        : std::string("rtt done");
        if (host.Ask("wait-peer " + std::to_string(limitMs) + " " + line, limitMs + 5000) == "wait-peer ok")
            done = FindLine(report, sc == Scenario::Down ? "sink " : sc == Scenario::Both ? "send " : "rtt ");
    }
    const double sinceConnectSec =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - connected).count();
    if (strayConnects)
    {
        r.strayConnects = strayConnects->Count();
        strayConnects.reset();
    }
    const std::vector<double> start = Numbers(FindLine(mbLog, "start "));
    const pid_t mbPid = start.empty() ? 0 : pid_t(start.back());
    const double cpuMs = CpuMs(host.Pid()) - hostCpu0 + (mbPid > 0 ? CpuMs(mbPid) : 0);
    host.Ask("terminate");
    host.Ask("stop-peer");
    host.Ask("quit", 5000);

    const std::vector<double> v = Numbers(done);
    if (v.size() < 2)
        return r;
    r.ok = true;
    if (sc == Scenario::Rtt)
    {
        r.p50Us = v[1] / 1000.0;
        r.p99Us = v.size() > 2 ? v[2] / 1000.0 : 0;
        r.longestUs = v.size() > 3 ? v[3] / 1000.0 : 0;
    }
    else
    {
        r.mbPerSec = v[0] / 1048576.0 / (v[1] / 1e9);
        r.connectMbPerSec = v[0] / 1048576.0 / sinceConnectSec;
        r.mbRelayed = double(bytes) / 1048576.0 * (sc == Scenario::Both ? 2 : 1);
        r.cpuMsPerMb = cpuMs / r.mbRelayed;
    }
    r.logBytes = inst.LogBytes();
    r.logFiles = inst.LogFiles();
    return r;
}

double Median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Figures
{
    std::map<std::string, std::vector<double>> values; // "<relay>/<figure>"
};

// Empty: every scenario; else only the one named by --only.
std::string g_only;

void Run(const Programs& progs, const char* condition, int rounds, uint64_t bytes, Figures& f)
{
    const Scenario scenarios[] = {Scenario::Up, Scenario::Down, Scenario::Both, Scenario::Rtt};
    for (int round = 0; round < rounds; ++round)
        for (Scenario sc : scenarios)
            for (Relay relay : {Relay::Ours, Relay::Minimal})
            {
                if (!g_only.empty() && g_only != Name(sc))
                    continue;
                const uint64_t n = sc == Scenario::Rtt ? 2000 : sc == Scenario::Both ? bytes / 2 : bytes;
                const Result r = Measure(progs, relay, sc, n, c_shippedLevel);
                const std::string key = std::string(relay == Relay::Ours ? "ours" : "minimal") + "/" + condition +
                                        "/" + Name(sc);
                if (!r.ok)
                {
                    std::printf("  %-28s FAILED: not all data arrived (see the relay's log)\n", key.c_str());
                    std::fflush(stdout);
                    continue;
                }
                if (sc == Scenario::Rtt)
                {
                    f.values[key + "/p50"].push_back(r.p50Us);
                    f.values[key + "/p99"].push_back(r.p99Us);
                    std::printf("  %-28s p50 %.0f us  p99 %.0f us\n", key.c_str(), r.p50Us, r.p99Us);
                }
                else
                {
                    f.values[key + "/mbps"].push_back(r.mbPerSec);
                    f.values[key + "/cpu"].push_back(r.cpuMsPerMb);
                    std::printf("  %-28s %.1f MB/s each way  %.2f ms CPU/MB\n", key.c_str(), r.mbPerSec,
                                r.cpuMsPerMb);
                }
                std::fflush(stdout);
            }
}

void PrintRatios(const Figures& f, const char* condition)
{
    std::printf("\n%s machine: ours / minimal (medians)\n", condition);
    const auto ratio = [&](const std::string& sc, const std::string& fig, const char* label, const char* unit)
    {
        const auto o = f.values.find(std::string("ours/") + condition + "/" + sc + "/" + fig);
        const auto m = f.values.find(std::string("minimal/") + condition + "/" + sc + "/" + fig);
        if (o == f.values.end() || m == f.values.end())
        {
            std::printf("  %-34s no figures\n", label);
            return;
        }
        const double a = Median(o->second), b = Median(m->second);
        std::printf("  %-34s %9.1f %-6s %9.1f %-6s ratio %.2f\n", label, a, unit, b, unit, b > 0 ? a / b : 0);
    };
    ratio("up", "mbps", "throughput up (far end -> bridge)", "MB/s");
    ratio("down", "mbps", "throughput down (bridge -> far end)", "MB/s");
    ratio("both", "mbps", "throughput both ways, each way", "MB/s");
    ratio("rtt", "p50", "64-byte round trip p50", "us");
    ratio("rtt", "p99", "64-byte round trip p99", "us");
    ratio("up", "cpu", "CPU per MB up", "ms");
    ratio("down", "cpu", "CPU per MB down", "ms");
    ratio("both", "cpu", "CPU per MB both ways", "ms");
}

// How the log of our relay grows, both ways at once, at a level: bytes per MB relayed, from two
// runs of different length (the start-up records cancel out); -1 when a run failed.
double LogBytesPerMb(const Programs& progs, int level, uint64_t bytes)
{
    const Result small = Measure(progs, Relay::Ours, Scenario::Both, bytes / 4, level);
    const Result big = Measure(progs, Relay::Ours, Scenario::Both, bytes, level);
    if (!small.ok || !big.ok)
        return -1;
    return std::max(0.0, (double(big.logBytes) - double(small.logBytes)) / (big.mbRelayed - small.mbRelayed));
}

// The log of our relay after relaying 1 MB/s each way for the given minutes at the shipped level.
int LogOverMinutes(const Programs& progs, int minutes)
{
    const uint64_t rate = 1024 * 1024;
    std::printf("Relaying %d minutes at 1 MB/s each way, log level %d (shipped)...\n", minutes, c_shippedLevel);
    std::fflush(stdout);
    const Result r = Measure(progs, Relay::Ours, Scenario::Both, rate * 60 * uint64_t(minutes), c_shippedLevel, rate);
    if (!r.ok)
    {
        std::printf("FAILED: not all data came back (see the relay's log)\n");
        return 1;
    }
    const double boundBytes = c_logBoundMbPerHour * 1048576.0 * minutes / 60.0;
    const bool within = double(r.logBytes) <= boundBytes;
    std::printf("log after %d minutes (%.0f MB relayed, %.2f MB/s each way): %llu bytes, bound %.0f bytes: %s\n",
                minutes, r.mbRelayed, r.mbPerSec, (unsigned long long)r.logBytes, boundBytes,
                within ? "within" : "EXCEEDED");
    return within ? 0 : 1;
}

// The relay's rate both ways at a log level with the log folder on a full file system, against the
// same with room on it, and the files each run left in the folder.
int FullLogDisk(const Programs& progs, int level, int rounds, uint64_t bytes)
{
    // The file systems are mounted in a namespace of our own: they go when the benchmark ends.
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    {
        std::printf("bench_relay --full-log-disk: needs root (a mount namespace and tmpfs): %s\n",
                    std::strerror(errno));
        return 1;
    }
    std::printf("Relay both ways at log level %d, %llu MiB each way, log folder on a tmpfs with room "
                "and on a full 4 MiB one (medians of %d rounds)\n",
                level, (unsigned long long)(bytes / 2 / 1048576), rounds);
    std::map<LogDisk, std::vector<double>> rates;
    for (int round = 0; round < rounds; ++round)
        for (LogDisk disk : {LogDisk::Roomy, LogDisk::Full})
        {
            const char* name = disk == LogDisk::Full ? "full disk" : "room";
            const Result r = Measure(progs, Relay::Ours, Scenario::Both, bytes / 2, level, 0, disk);
            if (!r.ok)
            {
                std::printf("  %-10s FAILED: not all data came back\n", name);
                continue;
            }
            rates[disk].push_back(r.mbPerSec);
            std::printf("  %-10s %.1f MB/s each way, %zu log files left\n", name, r.mbPerSec, r.logFiles);
            std::fflush(stdout);
        }
    const double roomy = Median(rates[LogDisk::Roomy]), full = Median(rates[LogDisk::Full]);
    std::printf("full disk / room: %.1f / %.1f MB/s, ratio %.2f\n", full, roomy, roomy > 0 ? full / roomy : 0);
    return rates[LogDisk::Full].empty() || rates[LogDisk::Roomy].empty() ? 1 : 0;
}

// Measures the scenario without and with a stray connect a second, in turns; show prints each run
// that completed. The runs that completed, by whether the connects ran.
std::map<bool, std::vector<Result>> StrayTurns(const Programs& progs, int rounds, Scenario sc, uint64_t n,
                                               const std::function<void(const char*, const Result&)>& show)
{
    std::map<bool, std::vector<Result>> results;
    for (int round = 0; round < rounds; ++round)
        for (bool strays : {false, true})
        {
            const char* name = strays ? "connects" : "none";
            const Result r = Measure(progs, Relay::Ours, sc, n, c_shippedLevel, 0, LogDisk::Plain, strays);
            if (r.ok)
            {
                show(name, r);
                results[strays].push_back(r);
            }
            else
                std::printf("  %-9s FAILED: the run did not complete\n", name);
            std::fflush(stdout);
        }
    return results;
}

double Median(const std::vector<Result>& results, double Result::*field)
{
    std::vector<double> v;
    for (const Result& r : results)
        v.push_back(r.*field);
    return Median(v);
}

// The 64-byte round trip with one stray connect a second against without, on a machine with a
// crowd of idle processes: a look at a connect that read every process's descriptors on the
// relay's thread would show as the longest round trip.
bool StrayRoundTrips(const Programs& progs, int rounds)
{
    const int c_processes = 1000, c_descriptors = 60;
    const uint64_t c_roundTrips = 10000; // about 5 s, within the run's 10 s limit
    const TestUtils::ProcessCrowd crowd(c_processes, c_descriptors);
    std::printf("\n64-byte round trips x %llu with a connect a second against without, %zu idle processes of "
                "%d descriptors present (medians of %d rounds)\n",
                (unsigned long long)c_roundTrips, crowd.Size(), c_descriptors, rounds);
    auto res = StrayTurns(progs, rounds, Scenario::Rtt, c_roundTrips,
                          [](const char* name, const Result& r)
                          {
                              std::printf("  %-9s p50 %.0f us  p99 %.0f us  longest %.0f us, %d stray connects\n",
                                          name, r.p50Us, r.p99Us, r.longestUs, r.strayConnects);
                          });
    std::printf("stray connects / none: p99 %.0f / %.0f us, longest %.0f / %.0f us\n",
                Median(res[true], &Result::p99Us), Median(res[false], &Result::p99Us),
                Median(res[true], &Result::longestUs), Median(res[false], &Result::longestUs));
    return !res[true].empty() && !res[false].empty();
}

// The rate both ways with one stray connect a second against without; counted from the channel's
// connect, since a stall before the far end's round starts (a session started again) is left out
// of the round's own time.
bool StrayConnectFigure(const Programs& progs, int rounds, uint64_t bytes)
{
    std::printf(
        "\nRelay both ways, %llu MiB each way, with a connect a second that no process is seen holding "
        "against without (medians of %d rounds)\n",
        (unsigned long long)(bytes / 1048576), rounds);
    auto res = StrayTurns(progs, rounds, Scenario::Both, bytes,
                          [](const char* name, const Result& r)
                          {
                              std::printf("  %-9s %.1f MB/s each way from connect (%.1f over the round), "
                                          "%d stray connects\n",
                                          name, r.connectMbPerSec, r.mbPerSec, r.strayConnects);
                          });
    const double with = Median(res[true], &Result::connectMbPerSec);
    const double without = Median(res[false], &Result::connectMbPerSec);
    std::printf("stray connects / none: %.1f / %.1f MB/s, ratio %.2f\n", with, without,
                without > 0 ? with / without : 0);
    return StrayRoundTrips(progs, rounds) && !res[true].empty() && !res[false].empty();
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = 3;
    uint64_t mb = 64;
    int logMinutes = 0;
    int fullLogDiskLevel = 0;
    for (int i = 1; i + 1 < argc; i += 2)
    {
        if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--mb") == 0)
            mb = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--only") == 0)
            g_only = argv[i + 1];
        else if (std::strcmp(argv[i], "--log-minutes") == 0)
            logMinutes = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--full-log-disk") == 0)
            fullLogDiskLevel = std::max(1, std::atoi(argv[i + 1]));
    }
    std::signal(SIGPIPE, SIG_IGN);
    Programs progs;
    progs.build = fs::canonical("/proc/self/exe").parent_path().parent_path();
    for (const fs::path& p : {progs.Plugin(), progs.Minimal(), progs.MediaBridge(), progs.VcHost(), progs.StlPeer()})
        if (!fs::exists(p))
        {
            std::printf("bench_relay: not built: %s\n", p.c_str());
            return 1;
        }

    if (logMinutes != 0)
        return LogOverMinutes(progs, logMinutes);
    if (fullLogDiskLevel != 0)
        return FullLogDisk(progs, fullLogDiskLevel, rounds, uint64_t(mb) * 1024 * 1024);

    const uint64_t bytes = mb * 1024 * 1024;
    // Long enough for a few connects a second apart.
    const uint64_t strayBytes = bytes * 8;
    if (g_only == "stray")
        return StrayConnectFigure(progs, rounds, strayBytes) ? 0 : 1;
    std::printf("Relay benchmark: our library vs a minimal relay, %d rounds, %llu MiB per throughput run,\n"
                "log level %d (shipped); figures are medians; the machine may be shared.\n",
                rounds, (unsigned long long)mb, c_shippedLevel);
    Figures f;
    std::printf("\nquiet machine\n");
    Run(progs, "quiet", rounds, bytes, f);
    {
        BusyThreads busy(std::max(1u, std::thread::hardware_concurrency()));
        std::printf("\nsaturated machine (%u spinning threads)\n", std::max(1u, std::thread::hardware_concurrency()));
        Run(progs, "saturated", rounds, bytes / 4, f);
    }
    PrintRatios(f, "quiet");
    PrintRatios(f, "saturated");

    // The README's bound: log growth per hour at 1 MB/s each way (2 MB relayed per second).
    const double shipped = LogBytesPerMb(progs, c_shippedLevel, bytes / 2);
    const double info = LogBytesPerMb(progs, 7, bytes / 4);
    const double perHourMb = shipped * 2 * 3600 / 1048576.0;
    std::printf("\nlog size: level %d %.0f bytes per MB relayed (%.2f MB per hour at 1 MB/s each way, "
                "bound %.1f MB): %s\n",
                c_shippedLevel, shipped, perHourMb, c_logBoundMbPerHour,
                shipped >= 0 && perHourMb <= c_logBoundMbPerHour ? "within" : "EXCEEDED");
    std::printf("log size: level 7 %.0f bytes per MB relayed (%.0f MB per hour at 1 MB/s each way)\n", info,
                info * 2 * 3600 / 1048576.0);
    const bool strays = !g_only.empty() || StrayConnectFigure(progs, rounds, strayBytes);
    return shipped >= 0 && perHourMb <= c_logBoundMbPerHour && strays ? 0 : 1;
}
