// A client and a server session over the in-memory link (each on its own message thread, every
// piece copied and posted as a transport would): the client sends data packets, the server's
// owner counts them. Largest packet 1600, so 4 KiB payloads travel in three pieces.
// Items are data packets; bytes are payload bytes.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <benchmark/benchmark.h>
#include "SessTranspLayer/MemoryLink.h"
#include "SessTranspLayer/StlConnection.h"
#include "YrLogV2/Log.h"

namespace
{

using namespace SessTranspLayer;

class CountingOwner : public IStl2Owner
{
public:
    void Connected(uint64_t) override { Bump(m_connected); }
    void ReceiveData(const Utils::ByteArray&, uint64_t) override { Bump(m_data); }
    void Disconnected(const DiscCause&, uint64_t) override { Bump(m_disconnected); }

    // False after 30 s: the session broke down.
    bool WaitData(uint64_t count) { return Wait(m_data, count); }
    bool WaitConnected() { return Wait(m_connected, 1); }
    uint64_t Disconnects() const { return m_disconnected.load(); }

private:
    void Bump(std::atomic<uint64_t>& v)
    {
        const uint64_t now = ++v;
        if (now >= m_wake.load(std::memory_order_relaxed))
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_cond.notify_all();
        }
    }

    bool Wait(std::atomic<uint64_t>& v, uint64_t count)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_wake = count;
        return m_cond.wait_for(lock, std::chrono::seconds(30), [&] { return v.load() >= count; });
    }

    std::atomic<uint64_t> m_connected{0};
    std::atomic<uint64_t> m_data{0};
    std::atomic<uint64_t> m_disconnected{0};
    std::atomic<uint64_t> m_wake{0};
    std::mutex m_mutex;
    std::condition_variable m_cond;
};

StlSettings Settings(uint32_t role)
{
    StlSettings s;
    s.m_role = role;
    s.m_maxPacketSize = 1600;
    // Long enough that a loaded machine never times a session out during a run.
    s.m_respTimeoutMs = 600000;
    s.m_pingIntervalMs = 600000;
    return s;
}

void BM_StlSessionPair(benchmark::State& state)
{
    const uint64_t size = static_cast<uint64_t>(state.range(0));
    const int batch = 1000;

    YrLogV2::Log log(YrLogV2::LogRoot::RootLog(), "StlBench");
    MemoryLink link;
    CountingOwner cliOwner, srvOwner;
    std::unique_ptr<StlConnection> cli, srv;
    link.Call(MemoryLink::SideB,
              [&] {
                  srv.reset(new StlConnection(Settings(c_stlRoleServer), log, srvOwner,
                                              link.End(MemoryLink::SideB)));
              });
    link.Call(MemoryLink::SideA,
              [&] {
                  cli.reset(new StlConnection(Settings(c_stlRoleClient), log, cliOwner,
                                              link.End(MemoryLink::SideA)));
              });
    if (!cliOwner.WaitConnected() || !srvOwner.WaitConnected())
        state.SkipWithError("no session");

    Utils::ByteArray payload(size, uint8_t(0x5A), 0);
    uint64_t sent = 0;
    for (auto _ : state)
    {
        link.Call(MemoryLink::SideA,
                  [&]
                  {
                      for (int i = 0; i < batch; ++i)
                          cli->SendData(payload);
                  });
        sent += batch;
        if (!srvOwner.WaitData(sent))
        {
            state.SkipWithError("data lost");
            break;
        }
    }
    if (srvOwner.Disconnects() != 0 || cliOwner.Disconnects() != 0)
        state.SkipWithError("the session broke down");

    state.SetItemsProcessed(static_cast<int64_t>(sent));
    state.SetBytesProcessed(static_cast<int64_t>(sent * size));

    link.Call(MemoryLink::SideA,
              [&]
              {
                  link.End(MemoryLink::SideA).ClearUser();
                  cli.reset();
              });
    link.Call(MemoryLink::SideB,
              [&]
              {
                  link.End(MemoryLink::SideB).ClearUser();
                  srv.reset();
              });
}

BENCHMARK(BM_StlSessionPair)->Arg(16)->Arg(256)->Arg(4096)->UseRealTime()->Unit(benchmark::kMicrosecond);

} // namespace
