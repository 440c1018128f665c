// The relay end to end, in child processes: the substitute host (vc_host) loads the plug-in
// library, the channel connects to the far-end peer's session (stl_peer), the plug-in launches the
// media-bridge stand-in (MediaBridge), and the far end's data goes through channel, session,
// bridge, TCP, media bridge (echo) and all the way back, where the peer checks it byte for byte.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include "VMware/ProcessTestUtils.h"
#include "VdiCommon/PluginBridge/PluginBridge.h"
#include "YrNet/TcpSocketImpl.h"
#include "common/BusyThreads.h"
#include "common/LineChild.h"


namespace
{

namespace fs = boost::filesystem;
using namespace ProcTest;

// The programs of this build tree (the test runs from <build>/tests).
struct Programs
{
    Programs()
    {
        const fs::path build = fs::read_symlink("/proc/self/exe").parent_path().parent_path();
        plugin = build / "src/VMware/libYrTnVMwarePlugin.so";
        mediaBridge = build / "src/VMware/MediaBridge";
        vcHost = build / "tools/vc_host/vc_host";
        stlPeer = build / "tools/stl_peer/stl_peer";
    }
    std::string Missing() const
    {
        for (const fs::path& p : {plugin, mediaBridge, vcHost, stlPeer})
            if (!fs::exists(p))
                return p.string();
        return std::string();
    }
    fs::path plugin, mediaBridge, vcHost, stlPeer;
};

// A folder laid out as the plug-in is installed: the library, the media bridge next to it and a
// configuration that logs into the folder. Removed with everything in it.
class InstallDir
{
public:
    InstallDir(const Programs& progs)
    {
        char tmpl[] = "/tmp/yr-relay-XXXXXX";
        m_dir = fs::canonical(::mkdtemp(tmpl));
        fs::copy_file(progs.plugin, Plugin());
        fs::copy_file(progs.mediaBridge, m_dir / "MediaBridge");
        fs::create_directory(m_dir / "logs");
        std::ofstream(Config().string()) << "LogToFile=1\nLogFolder=logs\nLogLevel=7\n";
    }
    ~InstallDir()
    {
        boost::system::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    fs::path Dir() const { return m_dir; }
    fs::path Plugin() const { return m_dir / "libYrTnVMwarePlugin.so"; }
    fs::path Config() const { return m_dir / "config.ini"; }
    fs::path MediaBridgeLog() const { return m_dir / "mediabridge.txt"; }
    fs::path HostErr() const { return m_dir / "vc_host.err"; }

    // The plug-in's log file ("" before it exists).
    fs::path PluginLog() const
    {
        boost::system::error_code ec;
        for (fs::directory_iterator it(m_dir / "logs", ec), end; !ec && it != end; it.increment(ec))
            if (it->path().extension() == ".log")
                return it->path();
        return fs::path();
    }

private:
    fs::path m_dir;
};

// vc_host as a child process: one command line in, its answer line out.
class VcHost
{
public:
    VcHost(const Programs& progs, const InstallDir& dir, const std::map<std::string, std::string>& env,
           const std::string& profile)
        : m_child({progs.vcHost.string(), "--host", profile}, Environment(dir, env), dir.HostErr().string())
    {
        EXPECT_NE(0, m_child.StartedPid());
    }

    pid_t Pid() const { return m_child.StartedPid(); }

    // Sends a command and returns its answer line ("" when none came in time).
    std::string Command(const std::string& line, int limitMs = c_limitMs + 5000)
    {
        return m_child.Command(line, limitMs);
    }

    // Ends its input and waits for it; its exit status (-1 after a time-out).
    int Quit() { return m_child.Quit(c_limitMs); }

private:
    static std::vector<std::string> Environment(const InstallDir& dir, const std::map<std::string, std::string>& env)
    {
        std::vector<std::string> envs = LineChild::Environment({"YR_MEDIABRIDGE_", "ASAN_OPTIONS="});
        // The host unloads the library at its end, which leaves the library's process-long
        // objects unreachable: the leak check would report them. The relay's own code is checked
        // for leaks by its unit tests; here every other sanitizer finding still fails the run.
        envs.push_back("ASAN_OPTIONS=detect_leaks=0");
        envs.push_back("YR_MEDIABRIDGE_LOG=" + dir.MediaBridgeLog().string());
        for (const auto& kv : env)
            envs.push_back(kv.first + "=" + kv.second);
        return envs;
    }

    LineChild m_child;
};

// One value of a "stats" answer ("... max=12 ..."); -1 when it is missing.
int64_t StatValue(const std::string& stats, const std::string& key)
{
    for (const std::string& w : Words(stats))
        if (w.compare(0, key.size() + 1, key + "=") == 0)
            return std::stoll(w.substr(key.size() + 1));
    return -1;
}

// The most channel writes the relay may have outstanding: the media bridge's window (512 writes'
// worth, each chunk counted one write more than its bytes, which covers the writes a chunk takes
// whatever its size) with 2% for the session's frame headers, one read of the media-bridge socket
// beyond it, and a ping.
int64_t MaxOutstandingWrites()
{
    using namespace VdiCommon::PluginBridge;
    // The window's writes, and those of the one read it may take in beyond it.
    const uint64_t readWrites = (YrNet::TcpSocketImpl::c_readBufferSize + 32) / c_channelWriteSize + 1;
    return static_cast<int64_t>(c_mediaBridgeRecvHigh / c_channelWriteSize * 102 / 100 + readWrites + 1);
}

// A TCP connection to a loopback port from this process; -1 when it could not be made.
int ConnectLoopback(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

// True when the other end closes the connection within the limit (end of stream or reset).
bool ClosedByPeer(int fd, int limitMs = c_limitMs)
{
    const int64_t deadline = NowMs() + limitMs;
    for (;;)
    {
        const int64_t left = deadline - NowMs();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) != 1)
            return false;
        char buf[256];
        const ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n <= 0)
            return true;
    }
}

// Run under each host profile: the Horizon Client's ("classic") and FreeRDP's, which merges the
// far end's writes into larger messages and keeps the channel open across a reconnection.
class RelayEndToEndTest : public ::testing::TestWithParam<std::string>
{
protected:
    bool FreeRdp() const { return GetParam() == "freerdp"; }

    void SetUp() override
    {
        const std::string missing = m_progs.Missing();
        if (!missing.empty())
            GTEST_SKIP() << "not built: " << missing;
        m_dir = std::make_unique<InstallDir>(m_progs);
        m_waiter = std::make_unique<FileWaiter>(std::vector<fs::path>{m_dir->Dir(), m_dir->Dir() / "logs"});
    }

    // Loads the plug-in, opens the channel and starts the far end with these arguments.
    void StartRelay(VcHost& host, const std::string& peerArgs)
    {
        ASSERT_EQ("load ok", host.Command("load " + m_dir->Plugin().string()));
        ASSERT_EQ("entry 1", host.Command("entry"));
        ASSERT_EQ("ok", host.Command("initialized"));
        ASSERT_EQ("peer ok", host.Command("peer " + m_progs.stlPeer.string() + " " + peerArgs));
        ASSERT_EQ("ok", host.Command("connect"));
    }

    // Ends the plug-in and the far end; true when everything ended cleanly.
    void StopRelay(VcHost& host)
    {
        EXPECT_EQ("ok", host.Command("terminate"));
        EXPECT_EQ("stop-peer 0", host.Command("stop-peer"));
        EXPECT_EQ(0, host.Quit()) << ReadFile(m_dir->HostErr());
    }

    std::string MediaBridgeLog() const { return ReadFile(m_dir->MediaBridgeLog()); }
    std::string PluginLog() const
    {
        const fs::path p = m_dir->PluginLog();
        return p.empty() ? std::string() : ReadFile(p);
    }
    // Every launched media bridge has ended.
    bool WaitMediaBridgesEnded()
    {
        return m_waiter->Wait(
            [&]
            {
                const std::string log = MediaBridgeLog();
                return CountLinesStarting(log, "end ") == CountLinesStarting(log, "start ");
            });
    }

    Programs m_progs;
    std::unique_ptr<InstallDir> m_dir;
    std::unique_ptr<FileWaiter> m_waiter;
};

INSTANTIATE_TEST_SUITE_P(Hosts, RelayEndToEndTest, ::testing::Values("classic", "freerdp"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

TEST_P(RelayEndToEndTest, FarEndDataTravelsThroughTheMediaBridgeAndBackByteExact)
{
    const uint64_t bytes = 3000000;
    VcHost host(m_progs, *m_dir, {}, GetParam());
    StartRelay(host, "--send " + std::to_string(bytes));
    ASSERT_EQ("wait-peer ok", host.Command("wait-peer 60000 verified " + std::to_string(bytes)))
        << ReadFile(m_dir->HostErr());

    const std::string stats = host.Command("stats");
    EXPECT_EQ(0, StatValue(stats, "refused")) << stats;
    EXPECT_EQ(0, StatValue(stats, "cancelled")) << stats;
    // Under FreeRDP the far end's writes reached the plug-in merged into larger messages.
    if (FreeRdp())
        EXPECT_GT(StatValue(stats, "merged"), 0) << stats;
    EXPECT_EQ("problems 0", host.Command("problems"));
    StopRelay(host);

    // One media bridge, launched with the plug-in's command line, ended with the relay.
    ASSERT_TRUE(WaitMediaBridgesEnded()) << MediaBridgeLog();
    const std::vector<std::string> mb = Lines(MediaBridgeLog());
    ASSERT_EQ(1u, CountLinesStarting(MediaBridgeLog(), "start "));
    const std::vector<std::string> words = Words(mb.front());
    ASSERT_GE(words.size(), 4u) << mb.front();
    EXPECT_EQ("VMware", words[1]);
    EXPECT_EQ(std::to_string(host.Pid()), words[2]);
    EXPECT_EQ(0u, words[3].find("127.0.0.1:")) << words[3];
    EXPECT_EQ(1u, CountOf(MediaBridgeLog(), "end connection closed echoed " + std::to_string(bytes)))
        << MediaBridgeLog();

    const std::string log = PluginLog();
    EXPECT_NE(std::string::npos, log.find("Entry: StartVdiMediaBridge")) << log;
    EXPECT_EQ(1u, CountOf(log, "LaunchMediaExe: success")) << log;
    EXPECT_EQ(0u, CountOf(log, " Error ")) << log;
}

TEST_P(RelayEndToEndTest, LostMediaBridgeIsLaunchedAgainThreeTimesAtMost)
{
    // Every media bridge drops its connection after its first echo.
    VcHost host(m_progs, *m_dir, {{"YR_MEDIABRIDGE_DROP_AFTER", "1"}}, GetParam());
    StartRelay(host, "--send 100000");
    ASSERT_TRUE(m_waiter->Wait([&] { return CountOf(PluginLog(), "Restart: false") == 1; }))
        << PluginLog() << MediaBridgeLog();
    StopRelay(host);
    ASSERT_TRUE(WaitMediaBridgesEnded()) << MediaBridgeLog();

    const std::string mb = MediaBridgeLog();
    EXPECT_EQ(4u, CountLinesStarting(mb, "start ")) << mb;
    EXPECT_EQ(4u, CountLinesStarting(mb, "end dropped")) << mb;
    std::set<std::string> addresses;
    for (const std::string& l : Lines(mb))
        if (l.compare(0, 6, "start ") == 0)
            addresses.insert(Words(l).at(3));
    EXPECT_EQ(4u, addresses.size()) << mb; // a new TCP server for every launch

    const std::string log = PluginLog();
    EXPECT_EQ(3u, CountOf(log, "On Disc from client (MediaBrige) side. Restart: true")) << log;
    EXPECT_EQ(4u, CountOf(log, "LaunchMediaExe: success")) << log;
}

TEST_P(RelayEndToEndTest, HostHoldingItsWritesSlowsTheMediaBridgeDownInsteadOfLosingData)
{
    // The far end sends 8 MB, keeping up to 3 MB unanswered, while the host completes no write:
    // the echo piles up in the channel's outstanding writes until the relay stops reading the
    // media bridge at its window, far below the channel's limit of 1000 writes, and nothing is
    // refused. (The window stays below what the relay holds for a media bridge that has not
    // connected yet: the session has no flow control, and on a slow machine the bridge connects
    // late.)
    const uint64_t bytes = 8000000;
    const uint64_t window = 3000000;
    VcHost host(m_progs, *m_dir, {}, GetParam());
    StartRelay(host, "--send " + std::to_string(bytes) + " --window " + std::to_string(window));
    ASSERT_EQ("wait-peer ok", host.Command("wait-peer 60000 connected"));
    ASSERT_EQ("ok", host.Command("mode hold"));
    // The outstanding writes rise until the relay stops reading the media bridge, then stay.
    int64_t outstanding = -1;
    bool settled = false;
    for (int i = 0; i < 300 && !settled; ++i)
    {
        const int64_t before = outstanding;
        ASSERT_EQ("ok", host.Command("sleep 200"));
        outstanding = StatValue(host.Command("stats"), "outstanding");
        settled = outstanding >= 300 && outstanding == before;
    }
    std::string stats = host.Command("stats");
    ASSERT_TRUE(settled) << stats;
    const int64_t bound = MaxOutstandingWrites();
    EXPECT_LE(StatValue(stats, "max"), bound) << stats;
    EXPECT_EQ(0, StatValue(stats, "refused")) << stats;

    ASSERT_EQ("ok", host.Command("mode complete"));
    ASSERT_EQ("ok", host.Command("release 1000 complete"));
    ASSERT_EQ("wait-peer ok", host.Command("wait-peer 60000 verified " + std::to_string(bytes)))
        << ReadFile(m_dir->HostErr());
    stats = host.Command("stats");
    EXPECT_EQ(0, StatValue(stats, "refused")) << stats;
    EXPECT_EQ(0, StatValue(stats, "cancelled")) << stats;
    EXPECT_LE(StatValue(stats, "max"), bound) << stats;
    StopRelay(host);
    ASSERT_TRUE(WaitMediaBridgesEnded()) << MediaBridgeLog();
}

TEST_P(RelayEndToEndTest, SaturatedMachineWithFourMiBInFlightEachWayKeepsMovingByteExact)
{
    // Busy threads of this process outnumber the cores while the far end keeps 4 MiB unanswered:
    // 4 MiB on the way to the media bridge and its echo on the way back.
    const uint64_t bytes = 16 * 1024 * 1024;
    const uint64_t window = 4 * 1024 * 1024;
    BusyThreads busy(BusyThreads::MoreThanCores());
    VcHost host(m_progs, *m_dir, {}, GetParam());
    StartRelay(host, "--send " + std::to_string(bytes) + " --window " + std::to_string(window));
    ASSERT_EQ("wait-peer ok", host.Command("wait-peer 240000 verified " + std::to_string(bytes), 245000))
        << ReadFile(m_dir->HostErr()) << host.Command("stats");

    const std::string stats = host.Command("stats");
    EXPECT_EQ(0, StatValue(stats, "refused")) << stats;
    EXPECT_EQ(0, StatValue(stats, "cancelled")) << stats;
    EXPECT_LE(StatValue(stats, "max"), MaxOutstandingWrites()) << stats;
    EXPECT_EQ("problems 0", host.Command("problems"));
    StopRelay(host);
    ASSERT_TRUE(WaitMediaBridgesEnded()) << MediaBridgeLog();
    EXPECT_EQ(1u, CountLinesStarting(MediaBridgeLog(), "start ")) << MediaBridgeLog();
    EXPECT_EQ(0u, CountOf(PluginLog(), "refused a write")) << PluginLog();
}

TEST_P(RelayEndToEndTest, WriteRefusedMidTransferCostsOneSessionNotTheRelay)
{
    const uint64_t bytes = 6000000;
    VcHost host(m_progs, *m_dir, {}, GetParam());
    StartRelay(host, "--send " + std::to_string(bytes) + " --window 1000000");
    ASSERT_EQ("wait-peer ok", host.Command("wait-peer 60000 connected"));
    // Data is moving when the host refuses writes, and only until it has refused one.
    auto waitStat = [&](const std::string& key, int64_t atLeast)
    {
        for (int i = 0; i < 6000; ++i)
        {
            if (StatValue(host.Command("stats"), key) >= atLeast)
                return true;
            host.Command("sleep 10");
        }
        return false;
    };
    ASSERT_TRUE(waitStat("completed", 500));
    ASSERT_EQ("ok", host.Command("mode refuse"));
    ASSERT_TRUE(waitStat("refused", 1));
    ASSERT_EQ("ok", host.Command("mode complete"));

    // The far end sends everything again in the new session, and it all comes back.
    ASSERT_EQ("wait-peer ok", host.Command("wait-peer 120000 verified " + std::to_string(bytes), 125000))
        << ReadFile(m_dir->HostErr());
    const std::string log = PluginLog();
    EXPECT_EQ(1u, CountOf(log, "The channel refused a write: the session ends, a new one opens in 1000 ms"))
        << log;
    EXPECT_EQ(1u, CountOf(log, "Opening a new session after the refused write")) << log;
    StopRelay(host);
    ASSERT_TRUE(WaitMediaBridgesEnded()) << MediaBridgeLog();
    // The media bridge went with the session and came back with the next one.
    EXPECT_EQ(2u, CountLinesStarting(MediaBridgeLog(), "start ")) << MediaBridgeLog();
}

TEST_P(RelayEndToEndTest, StrangerConnectingBeforeTheMediaBridgeIsRefusedAndTheMediaBridgeStillRelays)
{
    // The media bridge connects only once the test opens its gate.
    const fs::path gate = m_dir->Dir() / "gate";
    const uint64_t bytes = 1000000;
    VcHost host(m_progs, *m_dir, {{"YR_MEDIABRIDGE_CONNECT_GATE", gate.string()}}, GetParam());
    StartRelay(host, "--send " + std::to_string(bytes));
    ASSERT_TRUE(m_waiter->Wait([&] { return CountLinesStarting(MediaBridgeLog(), "start ") == 1; }))
        << MediaBridgeLog();
    const std::string address = Words(Lines(MediaBridgeLog()).front()).at(3);
    const uint16_t port = static_cast<uint16_t>(std::stoi(address.substr(address.rfind(':') + 1)));

    const int stranger = ConnectLoopback(port);
    ASSERT_GE(stranger, 0);
    EXPECT_TRUE(ClosedByPeer(stranger));
    ::close(stranger);
    const std::string who =
        "Connection refused: pid unknown, uid " + std::to_string(::getuid()) + " is not the media bridge";
    ASSERT_TRUE(m_waiter->Wait([&] { return CountOf(PluginLog(), who) == 1; })) << PluginLog();

    std::ofstream(gate.string()) << "open\n";
    ASSERT_EQ("wait-peer ok", host.Command("wait-peer 60000 verified " + std::to_string(bytes)))
        << ReadFile(m_dir->HostErr()) << MediaBridgeLog();
    StopRelay(host);
    ASSERT_TRUE(WaitMediaBridgesEnded()) << MediaBridgeLog();
    EXPECT_EQ(1u, CountLinesStarting(MediaBridgeLog(), "connected")) << MediaBridgeLog();
    EXPECT_EQ(1u, CountOf(PluginLog(), "LaunchMediaExe: success"));
}

TEST_P(RelayEndToEndTest, AReconnectionInTheMiddleOfATransferStartsAFreshSessionThatCompletes)
{
    const uint64_t bytes = 2000000;
    VcHost host(m_progs, *m_dir, {}, GetParam());
    StartRelay(host, "--send " + std::to_string(bytes));
    ASSERT_EQ("wait-peer ok", host.Command("wait-peer 60000 connected"));
    // Part of the transfer has gone round when the client loses the connection.
    ASSERT_EQ("results ok", host.Command("wait-results 50 60000"));
    ASSERT_EQ("ok", host.Command("disconnect"));
    ASSERT_EQ("ok", host.Command("connect"));
    ASSERT_EQ("wait-peer ok", host.Command("wait-peer 60000 verified " + std::to_string(bytes)))
        << ReadFile(m_dir->HostErr()) << PluginLog();
    EXPECT_EQ("problems 0", host.Command("problems"));
    StopRelay(host);

    const std::string log = PluginLog();
    if (FreeRdp())
        EXPECT_EQ(1u, CountOf(log, "still open, handle")) << log;
    EXPECT_EQ(0u, CountOf(log, "VirtualChannelOpen 'YrTnVCh' failed")) << log;
}

} // namespace
