// The relay end to end, as the main job runs it (tools/vc_host loads the plug-in, tools/stl_peer
// is the far end, the MediaBridge stand-in echoes), with 4 MiB in flight each way: the far end
// keeps 4 MiB unanswered, so 4 MiB are on the way to the media bridge and its echo on the way
// back. Arg 0: an idle machine; arg 1: every core kept busy by threads of this program (more
// threads than cores). Counters: bytes per second each way and the most channel writes the host
// ever had outstanding (the channel's limit is 1000; the relay's window keeps it near 520).
// Needs the programs of the same build tree (bench/.. is the tree).
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <benchmark/benchmark.h>
#include <boost/filesystem.hpp>
#include "common/BusyThreads.h"
#include "common/LineChild.h"


namespace
{

namespace fs = boost::filesystem;

const uint64_t c_bytes = 32 * 1024 * 1024;
const uint64_t c_window = 4 * 1024 * 1024;
const int c_limitMs = 300000;

// The plug-in installed into a folder of its own (it finds the media bridge next to itself),
// and vc_host driven through its command lines.
class Relay
{
public:
    explicit Relay(const fs::path& build)
        : m_build(build),
          m_host({(build / "tools/vc_host/vc_host").string()}, LineChild::Environment({}), std::string())
    {
        char tmpl[] = "/tmp/yr-bench-relay-XXXXXX";
        m_dir = fs::path(::mkdtemp(tmpl));
        fs::copy_file(build / "src/VMware/libYrTnVMwarePlugin.so", m_dir / "libYrTnVMwarePlugin.so");
        fs::copy_file(build / "src/VMware/MediaBridge", m_dir / "MediaBridge");
        fs::create_directory(m_dir / "logs");
        std::ofstream((m_dir / "config.ini").string()) << "LogToFile=1\nLogFolder=logs\nLogLevel=3\n";
    }

    ~Relay()
    {
        if (m_host.StartedPid() != 0)
        {
            Command("terminate");
            Command("stop-peer");
            m_host.Quit(c_limitMs);
        }
        boost::system::error_code ec;
        fs::remove_all(m_dir, ec);
    }

    // Loads, opens the channel and starts the far end; false with a reason on failure.
    bool Start(std::string& error)
    {
        const std::string peer = (m_build / "tools/stl_peer/stl_peer").string() + " --send " +
                                 std::to_string(c_bytes) + " --window " + std::to_string(c_window);
        const std::vector<std::pair<std::string, std::string>> steps = {
            {"load " + (m_dir / "libYrTnVMwarePlugin.so").string(), "load ok"},
            {"entry", "entry 1"},
            {"initialized", "ok"},
            {"peer " + peer, "peer ok"},
            {"connect", "ok"}};
        for (const auto& s : steps)
        {
            const std::string answer = Command(s.first);
            if (answer != s.second)
            {
                error = s.first + " -> " + answer;
                return false;
            }
        }
        return true;
    }

    bool WaitVerified()
    {
        return Command("wait-peer " + std::to_string(c_limitMs) + " verified " + std::to_string(c_bytes)) ==
               "wait-peer ok";
    }

    // One value of the host's statistics; -1 when missing.
    int64_t Stat(const std::string& key)
    {
        std::istringstream in(Command("stats"));
        std::string w;
        while (in >> w)
            if (w.compare(0, key.size() + 1, key + "=") == 0)
                return std::stoll(w.substr(key.size() + 1));
        return -1;
    }

private:
    std::string Command(const std::string& line) { return m_host.Command(line, c_limitMs + 5000); }

    fs::path m_build;
    fs::path m_dir;
    LineChild m_host;
};

fs::path BuildTree()
{
    return fs::read_symlink("/proc/self/exe").parent_path().parent_path();
}

void BM_RelayFourMiBInFlight(benchmark::State& state)
{
    const bool saturated = state.range(0) != 0;
    int64_t maxOutstanding = 0, refused = 0;
    for (auto _ : state)
    {
        state.PauseTiming();
        Relay relay(BuildTree());
        BusyThreads busy(saturated ? BusyThreads::MoreThanCores() : 0);
        std::string error;
        if (!relay.Start(error))
        {
            state.SkipWithError(("relay did not start: " + error).c_str());
            return;
        }
        state.ResumeTiming();
        const bool verified = relay.WaitVerified();
        state.PauseTiming();
        if (!verified)
        {
            state.SkipWithError("the data did not come back whole");
            return;
        }
        maxOutstanding = std::max(maxOutstanding, relay.Stat("max"));
        refused += relay.Stat("refused");
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c_bytes)); // each way
    state.counters["max_outstanding_writes"] = static_cast<double>(maxOutstanding);
    state.counters["refused_writes"] = static_cast<double>(refused);
}

} // namespace

BENCHMARK(BM_RelayFourMiBInFlight)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
