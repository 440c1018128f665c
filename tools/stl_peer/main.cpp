// stl_peer: the application at the far end of the virtual channel, for tests. It runs one
// session connection in the server role (largest packet 1600 bytes, response time-out 8000 ms,
// ping interval 12000 ms, so it gives up after 20000 ms without a ping) behind a byte-packet
// pipe on its standard streams, and echoes every payload it receives back to the client.
//
// Command line:
//   stl_peer [--max-packet N] [--resp-timeout MS] [--ping-interval MS] [--no-echo] [--verbose]
//            [--send N [--window W]] [--sink N] [--source N] [--rtt COUNT] [--report FILE]
//
// With --send the peer is a source instead of an echo: in every session it sends N bytes of a
// pattern (in payloads of at most 4000 bytes, never more than W bytes, 262144 by default, ahead of
// what has come back), expects every byte back in order and writes "verified N" when all have
// come back equal, or "mismatch at <offset>" at the first difference.
//
// For measurements (bench/relay.cpp), in every session:
//   --sink N     nothing is echoed; "received N" once N payload bytes have arrived;
//   --source N   once the first payload has come (the media bridge is there: a relay may drop
//                what comes before), N bytes go out as fast as the pipe takes them;
//                "sourced N" when all are handed to the session;
//   --rtt COUNT  one 64-byte payload at a time, the next once it has come back; "rtt done"
//                after COUNT round trips.
//   --report F   appends the figures of the run to F: "sink <bytes> <ns from the first byte
//                to the last>", "send <bytes> <ns from Connected to verified>",
//                "rtt <count> <p50 ns> <p99 ns>".
//
// Pipe (both directions framed the same way):
//   each channel write is a 4-byte big-endian length L followed by L bytes.
//   standard input : the writes of the client (the plug-in), 1 <= L <= 1048576, delivered to the
//                    session one by one, as a channel delivers them; L = 0 means the channel
//                    failed (the session hears a transport error and drops its session). End of
//                    input ends the program with exit code 0; a length above the limit or a
//                    cut frame ends it with exit code 2.
//   standard output: the writes of this peer, one frame per write, each at most the largest
//                    packet (longer session frames are cut into consecutive writes).
//   standard error : "stl_peer ready", then one line per session event: "connected",
//                    "data <size>", "disconnected <cause>" (dcTranspErr, dcWrongHeader,
//                    dcRspTimeout, dcDiscRemote, dcDiscByUser); with --verbose also the session's
//                    log records.
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <QThread>
#include "SessTranspLayer/StlConnection.h"
#include "Utils/ByteArray.h"
#include "Utils/StringUtils.h"
#include "YrLogV2/Log.h"
#include "YrLogV2/LogOutput.h"
#include "iCore/MsgObject.h"
#include "iCore/MsgParam.h"
#include "iCore/ThreadRunnerFunc.h"

namespace
{

using namespace SessTranspLayer;

const uint32_t c_maxFrame = 1024 * 1024;

struct Options
{
    StlSettings settings;
    bool echo = true;
    bool verbose = false;
    uint64_t sendBytes = 0; // source mode when not 0
    uint64_t window = 256 * 1024;
    uint64_t sinkBytes = 0;   // sink mode when not 0
    uint64_t sourceBytes = 0; // source mode when not 0
    uint64_t rttCount = 0;    // round-trip mode when not 0
    std::string report;
};

uint64_t NowNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

void Report(const Options& opt, const std::string& line)
{
    if (opt.report.empty())
        return;
    std::ofstream(opt.report, std::ios::app) << line << std::endl;
}

// The byte at a position of the source pattern (every position differs from its neighbours).
uint8_t PatternByte(uint64_t pos)
{
    const uint64_t x = (pos + 1) * 0x9E3779B97F4A7C15ull;
    return static_cast<uint8_t>((x >> 29) ^ (pos >> 8) ^ pos);
}

void EventLine(const std::string& text)
{
    static std::mutex s_mutex;
    std::lock_guard<std::mutex> lock(s_mutex);
    std::cerr << text << std::endl;
}

// The session's log records on standard error (standard output carries the pipe).
class StderrOutput : public YrLogV2::ILogOutput
{
public:
    void Write(const YrLogV2::LogRecord&, const std::string& line) override { EventLine(line); }
};

// The transport of the session over the pipe, and its owner.
class Peer : public iCore::MsgObject, public IStlTransport, public IStl2Owner
{
public:
    Peer(const Options& opt, YrLogV2::Log& log)
        : m_opt(opt), m_echo(opt.echo && opt.sendBytes == 0 && opt.sinkBytes == 0 && opt.sourceBytes == 0 &&
                             opt.rttCount == 0),
          m_sendBytes(opt.sendBytes), m_window(opt.window)
    {
        m_conn.reset(new StlConnection(opt.settings, log, *this, *this));
    }

    ~Peer() override { m_conn.reset(); }

    // A write of the client, or an empty one for a failed channel.
    void OnInput(const Utils::ByteArray& data)
    {
        if (m_user == nullptr)
            return;
        if (data.IsEmpty())
            m_user->OnTranspError(L"channel failed");
        else
            m_user->OnTranspData(data);
    }

    // IStlTransport
    bool IsConnected() const override { return true; }
    void SetUser(IStlTransport2Owner& user) override { m_user = &user; }
    void Send(const Utils::ByteArray& data) override
    {
        const uint32_t size = static_cast<uint32_t>(data.Size());
        const uint8_t header[4] = {uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8),
                                   uint8_t(size)};
        if (std::fwrite(header, 1, 4, stdout) != 4 || std::fwrite(data.Data(), 1, size, stdout) != size ||
            std::fflush(stdout) != 0)
        {
            // The host has gone; the end of its input ends this program.
            if (!m_outputFailed)
                EventLine("output failed");
            m_outputFailed = true;
        }
    }

    // IStl2Owner
    void Connected(uint64_t) override
    {
        EventLine("connected");
        m_startNs = NowNs();
        m_received = 0;
        m_rtts.clear();
        m_sourcing = false;
        if (m_opt.rttCount != 0)
            SendRttProbe();
        if (m_sendBytes == 0)
            return;
        m_sent = m_back = 0;
        m_mismatch = false;
        SendMore();
    }
    void ReceiveData(const Utils::ByteArray& data, uint64_t) override
    {
        if (m_sendBytes != 0)
        {
            CheckBack(data);
            return;
        }
        if (m_opt.sinkBytes != 0)
        {
            Sink(data.Size());
            return;
        }
        if (m_opt.rttCount != 0)
        {
            OnRttEcho(data.Size());
            return;
        }
        if (m_opt.sourceBytes != 0)
        {
            if (!m_sourcing)
            {
                m_sourcing = true;
                m_sent = 0;
                SourceMore();
            }
            return;
        }
        EventLine("data " + std::to_string(data.Size()));
        if (m_echo)
            m_conn->SendData(data);
    }
    void Disconnected(const DiscCause& cause, uint64_t) override
    {
        EventLine("disconnected " + cause.ToString());
    }

private:
    void Sink(uint64_t size)
    {
        const uint64_t now = NowNs();
        if (m_received == 0)
            m_firstNs = now;
        const bool wasShort = m_received < m_opt.sinkBytes;
        m_received += size;
        if (wasShort && m_received >= m_opt.sinkBytes)
        {
            Report(m_opt, "sink " + std::to_string(m_received) + " " + std::to_string(now - m_firstNs));
            EventLine("received " + std::to_string(m_opt.sinkBytes));
        }
    }

    // A block per message, so that input keeps flowing in between.
    void SourceMore()
    {
        const uint64_t c_payload = 4000;
        for (int i = 0; i < 16 && m_sent < m_opt.sourceBytes; ++i)
        {
            const uint64_t n = std::min<uint64_t>(c_payload, m_opt.sourceBytes - m_sent);
            Utils::ByteArray piece{n, n};
            std::memset(piece.Data(), 0x5A, n);
            m_conn->SendData(piece);
            m_sent += n;
        }
        if (m_sent < m_opt.sourceBytes)
            PutFunctor([this] { SourceMore(); });
        else
            EventLine("sourced " + std::to_string(m_opt.sourceBytes));
    }

    void SendRttProbe()
    {
        Utils::ByteArray probe{uint64_t(64), uint64_t(64)};
        std::memset(probe.Data(), 0x33, 64);
        m_probeNs = NowNs();
        m_received = 0;
        m_conn->SendData(probe);
    }

    void OnRttEcho(uint64_t size)
    {
        m_received += size;
        if (m_received < 64)
            return;
        m_rtts.push_back(NowNs() - m_probeNs);
        if (m_rtts.size() < m_opt.rttCount)
        {
            SendRttProbe();
            return;
        }
        std::vector<uint64_t> sorted = m_rtts;
        std::sort(sorted.begin(), sorted.end());
        Report(m_opt, "rtt " + std::to_string(sorted.size()) + " " + std::to_string(sorted[sorted.size() / 2]) +
                          " " + std::to_string(sorted[sorted.size() * 99 / 100]));
        EventLine("rtt done");
    }

    // Source mode: the next payloads, as far as the window allows.
    void SendMore()
    {
        const uint64_t c_payload = 4000;
        while (!m_mismatch && m_sent < m_sendBytes && m_sent - m_back < m_window)
        {
            const uint64_t n = std::min<uint64_t>(c_payload, m_sendBytes - m_sent);
            Utils::ByteArray piece{n, n}; // capacity, size
            for (uint64_t i = 0; i < n; ++i)
                piece.Data()[i] = PatternByte(m_sent + i);
            m_conn->SendData(piece);
            m_sent += n;
        }
    }

    void CheckBack(const Utils::ByteArray& data)
    {
        if (m_mismatch)
            return;
        for (uint64_t i = 0; i < data.Size(); ++i)
        {
            if (m_back + i >= m_sent || data.Data()[i] != PatternByte(m_back + i))
            {
                m_mismatch = true;
                EventLine("mismatch at " + std::to_string(m_back + i));
                return;
            }
        }
        m_back += data.Size();
        if (m_back == m_sendBytes)
        {
            Report(m_opt, "send " + std::to_string(m_sendBytes) + " " + std::to_string(NowNs() - m_startNs));
            EventLine("verified " + std::to_string(m_sendBytes));
        }
        else
            SendMore();
    }

    const Options m_opt;
    const bool m_echo;
    const uint64_t m_sendBytes;
    const uint64_t m_window;
    uint64_t m_sent = 0;
    uint64_t m_back = 0;
    bool m_mismatch = false;
    uint64_t m_startNs = 0;
    uint64_t m_firstNs = 0;
    uint64_t m_received = 0;
    uint64_t m_probeNs = 0;
    bool m_sourcing = false;
    std::vector<uint64_t> m_rtts;
    std::unique_ptr<StlConnection> m_conn;
    IStlTransport2Owner* m_user = nullptr;
    bool m_outputFailed = false;
};

bool ParseOptions(int argc, char** argv, Options& opt)
{
    opt.settings.m_role = c_stlRoleServer;
    opt.settings.m_maxPacketSize = 1600;
    opt.settings.m_respTimeoutMs = 8000;
    opt.settings.m_pingIntervalMs = 12000;
    for (int i = 1; i < argc; ++i)
    {
        const std::string a = argv[i];
        auto number = [&](uint64_t& out) -> bool
        {
            if (i + 1 >= argc)
                return false;
            char* end = nullptr;
            out = std::strtoull(argv[++i], &end, 10);
            return end != nullptr && *end == 0 && out > 0 && out <= 0xFFFFFFFFull;
        };
        uint64_t v = 0;
        if (a == "--max-packet" && number(v))
            opt.settings.m_maxPacketSize = v;
        else if (a == "--resp-timeout" && number(v))
            opt.settings.m_respTimeoutMs = static_cast<uint32_t>(v);
        else if (a == "--ping-interval" && number(v))
            opt.settings.m_pingIntervalMs = static_cast<uint32_t>(v);
        else if (a == "--no-echo")
            opt.echo = false;
        else if (a == "--verbose")
            opt.verbose = true;
        else if (a == "--send" && number(v))
            opt.sendBytes = v;
        else if (a == "--window" && number(v))
            opt.window = v;
        else if (a == "--sink" && number(v))
            opt.sinkBytes = v;
        else if (a == "--source" && number(v))
            opt.sourceBytes = v;
        else if (a == "--rtt" && number(v))
            opt.rttCount = v;
        else if (a == "--report" && i + 1 < argc)
            opt.report = argv[++i];
        else
            return false;
    }
    return true;
}

bool ReadAll(uint8_t* p, size_t n)
{
    return std::fread(p, 1, n, stdin) == n;
}

} // namespace

int main(int argc, char** argv)
{
    Utils::SetupLocaleCodePage();
    Options opt;
    if (!ParseOptions(argc, argv, opt))
    {
        std::cerr << "usage: stl_peer [--max-packet N] [--resp-timeout MS] [--ping-interval MS] [--no-echo] "
                     "[--verbose] [--send N [--window W]] [--sink N] [--source N] [--rtt COUNT] [--report FILE]"
                  << std::endl;
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<Utils::IVirtualDestroy> logLink;
    if (opt.verbose)
    {
        YrLogV2::LogRoot::Instance().SetLevels(YrLogV2::c_defaultLevel, {{"StlPeer", 16}});
        logLink = YrLogV2::LogRoot::Instance().AttachOutput(std::make_shared<StderrOutput>());
    }
    else
    {
        YrLogV2::LogRoot::Instance().DiscardEarlyRecords();
        YrLogV2::LogRoot::Instance().SetLevels(0, {});
    }
    YrLogV2::Log log(YrLogV2::LogRoot::RootLog(), "StlPeer");

    Peer* peer = nullptr;
    iCore::MsgThread* thread = nullptr;
    std::unique_ptr<iCore::ThreadRunnerFunc> runner(new iCore::ThreadRunnerFunc(
        iCore::ThreadRunnerFuncProfile(0, "Peer", QThread::InheritPriority, 0, 0, false),
        [&](iCore::MsgThread& t)
        {
            thread = &t;
            peer = new Peer(opt, log);
        }));
    const iCore::MsgPostTarget target = peer->PostTarget();
    EventLine("stl_peer ready");

    int rc = 0;
    for (;;)
    {
        uint8_t header[4];
        if (!ReadAll(header, 1))
            break; // end of input between frames
        if (!ReadAll(header + 1, 3))
        {
            rc = 2;
            break;
        }
        const uint32_t size = (uint32_t(header[0]) << 24) | (uint32_t(header[1]) << 16) |
                              (uint32_t(header[2]) << 8) | header[3];
        if (size > c_maxFrame)
        {
            EventLine("frame of " + std::to_string(size) + " bytes refused");
            rc = 2;
            break;
        }
        Utils::ByteArray data{uint64_t(size), uint64_t(size)}; // capacity, size
        if (size != 0 && !ReadAll(data.Data(), size))
        {
            rc = 2;
            break;
        }
        Peer* p = peer;
        target.Put(new iCore::MsgFunctor<std::function<void()>>([p, data] { p->OnInput(data); }));
    }

    iCore::MsgThreadFnBlocked(*thread, [&](iCore::MsgThread&) { delete peer; });
    runner.reset();
    logLink.reset();
    return rc;
}
