// Chunks through the media-bridge TCP transport between a plain loopback peer (standard socket
// calls) and a listener on a message thread, in both directions, with 64-byte and 4 KiB chunks:
// chunks per second and bytes per second.
//   up:   the peer writes each chunk with its own send; the listener counts what OnRecvData gets.
//   down: the listener's thread calls SendData once per chunk; the peer reads everything.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#include <benchmark/benchmark.h>
#include "MediaBridgeControl/MbcTcpTransp.h"
#include "iCore/MsgObject.h"
#include "iCore/MsgThread.h"
#include "iCore/ThreadRunnerFunc.h"

namespace
{

using MediaBridgeControl::TranspState;

const uint64_t c_bytesPerIteration = 8 * 1024 * 1024;
const uint64_t c_downWindow = 4 * 1024 * 1024; // queued ahead of the peer (the socket allows 16 MiB)
const uint64_t c_downBatch = 256 * 1024;       // bytes sent per posted message

bool WriteAll(int fd, const void* p, size_t size)
{
    const char* c = static_cast<const char*>(p);
    while (size > 0)
    {
        const ssize_t n = ::send(fd, c, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        c += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Bounded spin-then-sleep wait; false when the limit ran out.
bool WaitUntil(const std::function<bool()>& pred, std::chrono::seconds limit = std::chrono::seconds(30))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (int i = 0; !pred(); ++i)
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        if (i > 1000)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        else
            std::this_thread::yield();
    }
    return true;
}

// The listener: counts, on its message thread.
class Sink : public iCore::MsgObject, public MediaBridgeControl::IMbcTranspEvents
{
public:
    explicit Sink(YrLogV2::Log& log)
    {
        m_transp = MediaBridgeControl::CreateSrvTcpTransp(log, 0, *this, &m_bound, 0);
    }
    ~Sink() override { m_transp.reset(); }

    uint16_t Port() const { return static_cast<uint16_t>(m_bound.Port()); }

    void SendChunks(const Utils::ByteArray& chunk, uint64_t count)
    {
        for (uint64_t i = 0; i < count; ++i)
            m_transp->SendData(chunk);
    }

    void Post(std::function<void()> fn) { PutFunctor(std::move(fn)); }

    std::atomic<uint64_t> m_bytes{0};
    std::atomic<uint64_t> m_chunks{0};
    std::atomic<bool> m_connected{false};

private:
    void OnStateChanged() override { m_connected = m_transp->State().Is(TranspState::Connected); }
    void OnRecvData(const Utils::ByteArray& data) override
    {
        m_bytes.fetch_add(data.Size(), std::memory_order_relaxed);
        m_chunks.fetch_add(1, std::memory_order_relaxed);
    }

    YrNet::HostAddr m_bound;
    std::unique_ptr<MediaBridgeControl::IMbcTransp> m_transp;
};

// A message thread with a connected transport and its plain peer.
class Env
{
public:
    Env()
        : m_log(YrLogV2::LogRoot::RootLog(), "MbcBench"),
          m_runner(new iCore::ThreadRunnerFunc(iCore::ThreadRunnerFuncProfile(0, "MbcBench", 3, 0, 0, false),
                                               [this](iCore::MsgThread& t) { m_thread = &t; }))
    {
        iCore::MsgThreadFnBlocked(*m_thread, [this](iCore::MsgThread&) { m_sink.reset(new Sink(m_log)); });
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(m_sink->Port());
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_ok = ::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
               WaitUntil([this] { return m_sink->m_connected.load(); });
    }

    ~Env()
    {
        ::close(m_fd);
        iCore::MsgThreadFnBlocked(*m_thread, [this](iCore::MsgThread&) { m_sink.reset(); });
    }

    bool Ok() const { return m_ok; }
    int Fd() const { return m_fd; }
    Sink& GetSink() { return *m_sink; }

private:
    YrLogV2::Log m_log;
    iCore::MsgThread* m_thread = nullptr;
    std::unique_ptr<iCore::ThreadRunnerFunc> m_runner;
    std::unique_ptr<Sink> m_sink;
    int m_fd = -1;
    bool m_ok = false;
};

void Report(benchmark::State& state, uint64_t chunkSize, uint64_t chunks)
{
    state.SetBytesProcessed(static_cast<int64_t>(chunks * chunkSize));
    state.counters["chunks/s"] = benchmark::Counter(static_cast<double>(chunks), benchmark::Counter::kIsRate);
}

void BM_MbcTcpUp(benchmark::State& state)
{
    const uint64_t size = static_cast<uint64_t>(state.range(0));
    const uint64_t count = c_bytesPerIteration / size;
    Env env;
    if (!env.Ok())
    {
        state.SkipWithError("no connection");
        return;
    }
    const std::vector<char> chunk(size, 'u');
    uint64_t expected = 0;
    uint64_t done = 0;
    for (auto _ : state)
    {
        for (uint64_t i = 0; i < count; ++i)
            WriteAll(env.Fd(), chunk.data(), chunk.size());
        expected += count * size;
        if (!WaitUntil([&] { return env.GetSink().m_bytes.load() >= expected; }))
        {
            state.SkipWithError("bytes missing");
            return;
        }
        done += count;
    }
    Report(state, size, done);
    state.counters["bytes/OnRecvData"] = static_cast<double>(env.GetSink().m_bytes.load()) /
                                         static_cast<double>(env.GetSink().m_chunks.load());
}

void BM_MbcTcpDown(benchmark::State& state)
{
    const uint64_t size = static_cast<uint64_t>(state.range(0));
    const uint64_t count = c_bytesPerIteration / size;
    const uint64_t perBatch = c_downBatch / size;
    Env env;
    if (!env.Ok())
    {
        state.SkipWithError("no connection");
        return;
    }
    const Utils::ByteArray chunk(size, 'd', 0);
    std::vector<char> buf(1 << 16);
    uint64_t done = 0;
    for (auto _ : state)
    {
        uint64_t sent = 0;
        uint64_t received = 0;
        while (received < count * size)
        {
            // Keep a window queued so that the socket's send-queue limit is never reached.
            while (sent < count * size && sent - received < c_downWindow)
            {
                Sink* sink = &env.GetSink();
                const uint64_t n = std::min(perBatch, count - sent / size);
                sink->Post([sink, chunk, n] { sink->SendChunks(chunk, n); });
                sent += n * size;
            }
            pollfd p{env.Fd(), POLLIN, 0};
            if (::poll(&p, 1, 30000) != 1)
            {
                state.SkipWithError("peer got nothing");
                return;
            }
            const ssize_t r = ::recv(env.Fd(), buf.data(), buf.size(), 0);
            if (r <= 0)
            {
                state.SkipWithError("connection lost");
                return;
            }
            received += static_cast<uint64_t>(r);
        }
        done += count;
    }
    Report(state, size, done);
}

BENCHMARK(BM_MbcTcpUp)->Arg(64)->Arg(4096)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MbcTcpDown)->Arg(64)->Arg(4096)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace
