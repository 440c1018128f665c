// TCP through YrNet::TcpSocket against a plain loopback peer written with the system's socket calls,
// and the same plain peer talking to a plain client: throughput one way and both ways in 4 KiB
// chunks, and the round trip of 64-byte messages (median and 99th percentile).
//
// The peer serves each connection in one of two modes, chosen by the connection's first byte:
// 'E' echoes everything back; 'S' is a sink that reads an 8-byte count, swallows that many bytes
// and answers with one byte.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include <benchmark/benchmark.h>
#include <boost/make_shared.hpp>
#include "YrNet/TcpSocketBase.h"
#include "iCore/MsgObject.h"
#include "iCore/MsgThread.h"
#include "iCore/ThreadRunnerFunc.h"

namespace
{

const size_t c_chunk = 4096;
const uint64_t c_transfer = 16 * 1024 * 1024; // bytes per iteration, each way
const size_t c_rttMessage = 64;
const int c_rttPerIteration = 1000;
const uint64_t c_bothWaysWindow = 256 * 1024; // bytes in flight for the echo
const uint64_t c_oneWayBatch = 1024 * 1024;   // bytes queued per AllDataSent

// ------------------------------------------------------------------------------------------------
// Plain sockets

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

bool ReadAll(int fd, void* p, size_t size)
{
    char* c = static_cast<char*>(p);
    while (size > 0)
    {
        const ssize_t n = ::recv(fd, c, size, 0);
        if (n <= 0)
            return false;
        c += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int PlainConnect(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
    {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The plain peer: a listener on 127.0.0.1 and one thread per connection.
class PlainPeer
{
public:
    PlainPeer()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = Loopback(0);
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        ::listen(m_listener, 16);
        socklen_t len = sizeof(a);
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&a), &len);
        m_port = ntohs(a.sin_port);
        m_acceptor = std::thread([this] { AcceptLoop(); });
    }

    ~PlainPeer()
    {
        m_stop = true;
        ::shutdown(m_listener, SHUT_RDWR);
        m_acceptor.join();
        ::close(m_listener);
        for (std::thread& t : m_conns)
            t.join();
    }

    uint16_t Port() const { return m_port; }

private:
    void AcceptLoop()
    {
        while (!m_stop)
        {
            pollfd p{m_listener, POLLIN, 0};
            if (::poll(&p, 1, 100) != 1)
                continue;
            const int fd = ::accept(m_listener, nullptr, nullptr);
            if (fd < 0)
                continue;
            m_conns.emplace_back([fd] { Serve(fd); });
        }
    }

    static void Serve(int fd)
    {
        char mode = 0;
        if (ReadAll(fd, &mode, 1))
        {
            if (mode == 'E')
                Echo(fd);
            else
                Sink(fd);
        }
        ::close(fd);
    }

    static void Echo(int fd)
    {
        std::vector<char> buf(65536);
        while (true)
        {
            const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
            if (n <= 0 || !WriteAll(fd, buf.data(), static_cast<size_t>(n)))
                return;
        }
    }

    static void Sink(int fd)
    {
        std::vector<char> buf(65536);
        uint64_t total = 0;
        while (ReadAll(fd, &total, sizeof(total)))
        {
            while (total > 0)
            {
                const ssize_t n = ::recv(fd, buf.data(), std::min<uint64_t>(buf.size(), total), 0);
                if (n <= 0)
                    return;
                total -= static_cast<uint64_t>(n);
            }
            const char ack = 'A';
            if (!WriteAll(fd, &ack, 1))
                return;
        }
    }

    int m_listener = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_acceptor;
    std::vector<std::thread> m_conns; // touched by the acceptor thread only until it is joined
};

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
    return v[i];
}

// ------------------------------------------------------------------------------------------------
// The YrNet client: a message thread with a user of one TcpSocket.

class Latch
{
public:
    void Set()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_set = true;
        }
        m_cond.notify_one();
    }
    void WaitAndReset()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cond.wait(lock, [this] { return m_set; });
        m_set = false;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_set = false;
};

class BenchUser : public iCore::MsgObject, public YrNet::ITcpSocketToUser
{
public:
    BenchUser(Latch& latch, char mode, uint16_t port)
        : m_latch(latch), m_mode(mode), m_socket(boost::make_shared<YrNet::TcpSocket>(getMsgThread())),
          m_chunk(c_chunk, uint8_t(0x5A), c_chunk)
    {
        m_socket->SetUser(Utils::SafeRef<YrNet::ITcpSocketToUser>(this));
        m_socket->ConnectToHost(YrNet::HostAddr("127.0.0.1", port));
    }
    ~BenchUser() override { m_socket.reset(); }

    // All on the user thread; each run ends with the latch.
    void StartOneWay()
    {
        m_kind = kOneWay;
        m_toSend = c_transfer;
        m_socket->SendData(Utils::ByteArray(&c_transfer, sizeof(c_transfer)));
        SendBatch(c_oneWayBatch);
    }

    void StartBothWays()
    {
        m_kind = kBothWays;
        m_toSend = c_transfer;
        m_received = 0;
        SendBatch(c_bothWaysWindow);
    }

    void StartRtt()
    {
        m_kind = kRtt;
        m_rttLeft = c_rttPerIteration;
        m_received = 0;
        m_rttSamples.clear();
        SendRttMessage();
    }

    std::vector<double> m_rttSamples; // microseconds

private:
    enum Kind
    {
        kNone,
        kOneWay,
        kBothWays,
        kRtt
    };

    void SendBatch(uint64_t bytes)
    {
        while (bytes > 0 && m_toSend > 0)
        {
            m_socket->SendData(m_chunk);
            m_toSend -= c_chunk;
            bytes -= std::min<uint64_t>(bytes, c_chunk);
        }
    }

    void SendRttMessage()
    {
        m_rttStart = std::chrono::steady_clock::now();
        m_socket->SendData(Utils::ByteArray(c_rttMessage, uint8_t(0x33), c_rttMessage));
    }

    void Connected(const YrNet::SocketIdBase*) override
    {
        m_socket->SendData(Utils::ByteArray(&m_mode, 1));
        m_latch.Set();
    }

    void AllDataSent(const YrNet::SocketIdBase*) override
    {
        if (m_kind == kOneWay)
            SendBatch(c_oneWayBatch);
    }

    void DataReceived(boost::shared_ptr<YrNet::SocketData> data) override
    {
        m_received += data->data.Size();
        switch (m_kind)
        {
        case kOneWay:
            m_kind = kNone; // the sink's answer
            m_latch.Set();
            return;
        case kBothWays:
            if (m_received >= c_transfer)
            {
                m_kind = kNone;
                m_latch.Set();
                return;
            }
            // Keep the window full.
            {
                const uint64_t sent = c_transfer - m_toSend;
                if (sent - m_received < c_bothWaysWindow)
                    SendBatch(c_bothWaysWindow - (sent - m_received));
            }
            return;
        case kRtt:
            if (m_received < c_rttMessage)
                return;
            m_received -= c_rttMessage;
            m_rttSamples.push_back(
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - m_rttStart)
                    .count());
            if (--m_rttLeft == 0)
            {
                m_kind = kNone;
                m_latch.Set();
                return;
            }
            SendRttMessage();
            return;
        case kNone:
            return;
        }
    }

    void Error(boost::shared_ptr<YrNet::SocketError> error) override { std::abort(); }

    Latch& m_latch;
    const char m_mode;
    boost::shared_ptr<YrNet::TcpSocket> m_socket;
    Utils::ByteArray m_chunk;
    Kind m_kind = kNone;
    uint64_t m_toSend = 0;
    uint64_t m_received = 0;
    int m_rttLeft = 0;
    std::chrono::steady_clock::time_point m_rttStart;
};

// A message thread with a connected BenchUser for the length of one benchmark run.
class YrNetClient
{
public:
    YrNetClient(char mode, uint16_t port)
        : m_runner(new iCore::ThreadRunnerFunc(iCore::ThreadRunnerFuncProfile(0, "BenchUser", 7, 0, 0, false),
                                               [this](iCore::MsgThread& t) { m_thread = &t; }))
    {
        Run([this, mode, port] { m_user.reset(new BenchUser(m_latch, mode, port)); });
        m_latch.WaitAndReset(); // connected
    }

    ~YrNetClient()
    {
        Run([this] { m_user.reset(); });
    }

    void Run(const std::function<void()>& fn)
    {
        iCore::MsgThreadFnBlocked(*m_thread, [&](iCore::MsgThread&) { fn(); });
    }

    // Starts fn on the user thread and waits for the run's end.
    void RunAndWait(void (BenchUser::*fn)())
    {
        Run([this, fn] { (m_user.get()->*fn)(); });
        m_latch.WaitAndReset();
    }

    BenchUser& User() { return *m_user; }

private:
    Latch m_latch;
    iCore::MsgThread* m_thread = nullptr;
    std::unique_ptr<iCore::ThreadRunnerFunc> m_runner;
    std::unique_ptr<BenchUser> m_user;
};

// ------------------------------------------------------------------------------------------------

void BM_Plain_OneWay(benchmark::State& state)
{
    PlainPeer peer;
    const int fd = PlainConnect(peer.Port());
    const char mode = 'S';
    WriteAll(fd, &mode, 1);
    std::vector<char> chunk(c_chunk, 0x5A);
    for (auto _ : state)
    {
        WriteAll(fd, &c_transfer, sizeof(c_transfer));
        for (uint64_t sent = 0; sent < c_transfer; sent += c_chunk)
            WriteAll(fd, chunk.data(), chunk.size());
        char ack = 0;
        ReadAll(fd, &ack, 1);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c_transfer));
    ::close(fd);
}

void BM_YrNet_OneWay(benchmark::State& state)
{
    PlainPeer peer;
    YrNetClient client('S', peer.Port());
    for (auto _ : state)
        client.RunAndWait(&BenchUser::StartOneWay);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c_transfer));
}

void BM_Plain_BothWays(benchmark::State& state)
{
    PlainPeer peer;
    const int fd = PlainConnect(peer.Port());
    const char mode = 'E';
    WriteAll(fd, &mode, 1);
    std::vector<char> chunk(c_chunk, 0x5A);
    std::vector<char> in(65536);
    for (auto _ : state)
    {
        std::thread writer(
            [&]
            {
                for (uint64_t sent = 0; sent < c_transfer; sent += c_chunk)
                    WriteAll(fd, chunk.data(), chunk.size());
            });
        uint64_t received = 0;
        while (received < c_transfer)
        {
            const ssize_t n = ::recv(fd, in.data(), in.size(), 0);
            if (n <= 0)
                break;
            received += static_cast<uint64_t>(n);
        }
        writer.join();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c_transfer * 2));
    ::close(fd);
}

void BM_YrNet_BothWays(benchmark::State& state)
{
    PlainPeer peer;
    YrNetClient client('E', peer.Port());
    for (auto _ : state)
        client.RunAndWait(&BenchUser::StartBothWays);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c_transfer * 2));
}

void ReportRtt(benchmark::State& state, const std::vector<double>& samples)
{
    state.counters["median_us"] = Percentile(samples, 0.5);
    state.counters["p99_us"] = Percentile(samples, 0.99);
    state.SetItemsProcessed(static_cast<int64_t>(samples.size()));
}

void BM_Plain_Rtt64(benchmark::State& state)
{
    PlainPeer peer;
    const int fd = PlainConnect(peer.Port());
    // Socket options as the YrNet socket has them: the defaults.
    const char mode = 'E';
    WriteAll(fd, &mode, 1);
    std::vector<char> msg(c_rttMessage, 0x33), in(c_rttMessage);
    std::vector<double> samples;
    for (auto _ : state)
    {
        for (int i = 0; i < c_rttPerIteration; ++i)
        {
            const auto start = std::chrono::steady_clock::now();
            WriteAll(fd, msg.data(), msg.size());
            ReadAll(fd, in.data(), in.size());
            samples.push_back(
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        }
    }
    ReportRtt(state, samples);
    ::close(fd);
}

void BM_YrNet_Rtt64(benchmark::State& state)
{
    PlainPeer peer;
    YrNetClient client('E', peer.Port());
    std::vector<double> samples;
    for (auto _ : state)
    {
        client.RunAndWait(&BenchUser::StartRtt);
        client.Run(
            [&] {
                samples.insert(samples.end(), client.User().m_rttSamples.begin(),
                               client.User().m_rttSamples.end());
            });
    }
    ReportRtt(state, samples);
}

} // namespace

BENCHMARK(BM_Plain_OneWay)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_YrNet_OneWay)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Plain_BothWays)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_YrNet_BothWays)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Plain_Rtt64)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_YrNet_Rtt64)->UseRealTime()->Unit(benchmark::kMillisecond);
