// Message-thread runtime: cost of a post-and-run round trip between two message threads and the
// message rate of one thread (posts from the thread itself and from a foreign thread).
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <benchmark/benchmark.h>
#include "iCore/MsgObject.h"
#include "iCore/MsgThread.h"
#include "iCore/ThreadRunnerFunc.h"

namespace
{

using namespace iCore;

class Done
{
public:
    void Set()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_cond.notify_one();
    }
    void WaitAndReset()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cond.wait(lock, [this] { return m_done; });
        m_done = false;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_done = false;
};

class Peer : public MsgObject
{
public:
    Peer() = default;

    // Bounces the counter to the other peer until it runs out.
    void Ping(int left)
    {
        if (left == 0)
        {
            m_done->Set();
            return;
        }
        m_other->PutMsg(&Peer::Ping, left - 1);
    }

    // Counts messages; the last one reports.
    void Count(int left)
    {
        if (left == 0)
            m_done->Set();
    }

    Peer* m_other = nullptr;
    Done* m_done = nullptr;
};

struct Thread
{
    explicit Thread(const char* name)
        : runner(ThreadRunnerFuncProfile(0, name, QThread::NormalPriority, 0, 0, false),
                 [this](MsgThread&) { peer = new Peer(); })
    {
    }
    ~Thread()
    {
        MsgThreadFnBlocked(peer->getMsgThread(), [this](MsgThread&) { delete peer; });
    }

    Peer* peer = nullptr; // before the runner: its function sets it
    ThreadRunnerFunc runner;
};

// One round trip: A posts to B, B posts back to A.
void BM_RoundTripTwoThreads(benchmark::State& state)
{
    const int roundTrips = 10000;
    Done done;
    Thread a("BenchA"), b("BenchB");
    a.peer->m_other = b.peer;
    b.peer->m_other = a.peer;
    a.peer->m_done = b.peer->m_done = &done;
    for (auto _ : state)
    {
        a.peer->PutMsg(&Peer::Ping, 2 * roundTrips);
        done.WaitAndReset();
    }
    state.SetItemsProcessed(state.iterations() * roundTrips);
    state.counters["round_trips_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * roundTrips, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RoundTripTwoThreads)->Unit(benchmark::kMillisecond)->UseRealTime();

// Messages the thread posts to itself and runs.
void BM_MessagesOneThreadSelfPosted(benchmark::State& state)
{
    const int messages = 100000;
    Done done;
    Thread a("BenchSelf");
    a.peer->m_done = &done;
    for (auto _ : state)
    {
        MsgThreadFnBlocked(a.peer->getMsgThread(),
                           [&](MsgThread&)
                           {
                               for (int i = messages - 1; i >= 0; --i)
                                   a.peer->PutMsg(&Peer::Count, i);
                           });
        done.WaitAndReset();
    }
    state.SetItemsProcessed(state.iterations() * messages);
    state.counters["msgs_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * messages, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MessagesOneThreadSelfPosted)->Unit(benchmark::kMillisecond)->UseRealTime();

// Messages posted from a foreign thread as fast as it can, run by one message thread.
void BM_MessagesOneThreadForeignPosted(benchmark::State& state)
{
    const int messages = 100000;
    Done done;
    Thread a("BenchForeign");
    a.peer->m_done = &done;
    for (auto _ : state)
    {
        for (int i = messages - 1; i >= 0; --i)
            a.peer->PutMsg(&Peer::Count, i);
        done.WaitAndReset();
    }
    state.SetItemsProcessed(state.iterations() * messages);
    state.counters["msgs_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * messages, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MessagesOneThreadForeignPosted)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
