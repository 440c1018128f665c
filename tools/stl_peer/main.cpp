// stl_peer: the application at the far end of the virtual channel, for tests. It runs one
// session connection in the server role (largest packet 1600 bytes, response time-out 8000 ms,
// ping interval 12000 ms, so it gives up after 20000 ms without a ping) behind a byte-packet
// pipe on its standard streams, and echoes every payload it receives back to the client.
//
// Command line:
//   stl_peer [--max-packet N] [--resp-timeout MS] [--ping-interval MS] [--no-echo] [--verbose]
//            [--send N[,N...] [--window W] [--payload P] [--rate B] [--rtt K]] [--link xrdp:NAME [--counters N]]
//            [--sink N] [--source N] [--report FILE]
//
// With --send the peer is a source instead of an echo: in every session it sends N bytes of a
// pattern (in payloads of at most P bytes, 4000 by default, never more than W bytes, 262144 by
// default, ahead of what has come back), expects every byte back in order and writes "verified N"
// and "round N bytes <microseconds> us" when all have come back equal, or "mismatch at <offset>"
// at the first difference. Several sizes are sent one after another, each when the one before has
// come back. With --rate the payloads of a session go out at no more than B bytes a second, counted
// from its start. With --rtt it then sends K payloads of 64 bytes, each when the one before has come
// back, and writes "rtt 64 bytes x K: p50 <us> us, p99 <us> us" and "rtt done". Then it writes
// "finished". --rtt without --send runs the round trips alone.
//
// For measurements (bench/relay.cpp), in every session:
//   --sink N     nothing is echoed; "received N" once N payload bytes have arrived;
//   --source N   once the first payload has come (the media bridge is there: a relay may drop
//                what comes before), N bytes go out as fast as the pipe takes them;
//                "sourced N" when all are handed to the session;
//   --report F   appends the figures of the run to F: "sink <bytes> <ns from the first byte
//                to the last>", "send <bytes> <ns from a round's first payload to its last byte
//                back>", "rtt <count> <p50 ns> <p99 ns> <longest ns>".
//
// With --link xrdp:NAME the packet link is the static channel NAME of the xrdp session that
// DISPLAY names (xrdp's channel API) instead of the pipe: the channel is a byte stream both ways.
// The peer must be a source there (or --counters), and ends by itself: when it has finished it
// disconnects its session and ends with exit code 0 (1 after a mismatch, or when the channel
// failed or could not be opened). With --counters N it runs no session: it writes N 32-bit
// little-endian counters from 0 (in writes of 1600 bytes), expects them back byte for byte (the
// plug-in's echo test), and writes "counters verified N".
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
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include <QThread>
#include "SessTranspLayer/StlConnection.h"
#include "XrdpChannel.h"
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
const uint64_t c_rttBytes = 64;
// How long a finished peer on a channel waits for its session's disconnect to be confirmed.
const auto c_discWait = std::chrono::seconds(5);

using Clock = std::chrono::steady_clock;

struct Options
{
    StlSettings settings;
    bool echo = true;
    bool verbose = false;
    std::vector<uint64_t> sends; // source mode when not empty
    uint64_t window = 256 * 1024;
    uint64_t payload = 4000;
    uint64_t rate = 0; // bytes per second sent at most in source mode; 0: as fast as it goes
    uint64_t rtt = 0;
    std::string xrdpChannel; // the pipe when empty
    uint64_t counters = 0;
    uint64_t sinkBytes = 0;   // sink mode when not 0
    uint64_t sourceBytes = 0; // source mode when not 0
    std::string report;
};

uint64_t NsSince(Clock::time_point t)
{
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t).count());
}

void Report(const Options& opt, const std::string& line)
{
    if (!opt.report.empty())
        std::ofstream(opt.report, std::ios::app) << line << std::endl;
}

// Writes one packet to the link; false when the link has failed. Called on the peer's thread.
using LinkWrite = std::function<bool(const uint8_t* data, uint32_t size)>;

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
    Peer(const Options& opt, YrLogV2::Log& log, LinkWrite write)
        : m_opt(opt), m_source(!opt.sends.empty() || opt.rtt != 0),
          m_echo(opt.echo && !m_source && opt.sinkBytes == 0 && opt.sourceBytes == 0), m_rounds(opt.sends),
          m_window(opt.window), m_payload(opt.payload), m_rttTotal(opt.rtt),
          m_disconnectWhenFinished(!opt.xrdpChannel.empty()), m_write(std::move(write))
    {
        m_conn = std::make_unique<StlConnection>(opt.settings, log, *this, *this);
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
        if (!m_write(data.Data(), static_cast<uint32_t>(data.Size())))
        {
            // The host has gone; the end of its input ends this program.
            if (!m_outputFailed)
                EventLine("output failed");
            m_outputFailed = true;
        }
    }

    // Source mode: every round has come back (true), or a mismatch ended it (false). Any thread.
    bool Finished(bool& ok) const
    {
        const int r = m_result.load();
        ok = r == c_ok;
        return r != c_running;
    }
    // The session is closed after the source has finished. Any thread.
    bool Closed() const { return m_closed.load(); }

    // IStl2Owner
    void Connected(uint64_t) override
    {
        EventLine("connected");
        m_received = 0;
        m_sourced = 0;
        m_sourcing = false;
        m_rateStart = Clock::now();
        m_rateSent = 0;
        if (!m_source)
            return;
        m_round = 0;
        m_rttNs.clear();
        m_mismatch = false;
        StartRound(m_rounds.empty() ? c_rttBytes : m_rounds[0]);
    }
    void ReceiveData(const Utils::ByteArray& data, uint64_t) override
    {
        if (m_source)
        {
            CheckBack(data);
            return;
        }
        if (m_opt.sinkBytes != 0)
        {
            Sink(data.Size());
            return;
        }
        if (m_opt.sourceBytes != 0)
        {
            if (!m_sourcing)
            {
                m_sourcing = true;
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
        if (m_result.load() != c_running)
            m_closed = true;
    }

private:
    static const int c_running = 0;
    static const int c_ok = 1;
    static const int c_failed = 2;

    // Source mode: one round of bytes, timed from its first payload to its last byte back.
    void StartRound(uint64_t bytes)
    {
        m_roundBytes = bytes;
        m_sent = m_back = 0;
        m_roundStart = Clock::now();
        SendMore();
    }

    void RoundDone()
    {
        const uint64_t ns = NsSince(m_roundStart);
        if (m_round < m_rounds.size())
        {
            Report(m_opt, "send " + std::to_string(m_roundBytes) + " " + std::to_string(ns));
            EventLine("verified " + std::to_string(m_roundBytes));
            EventLine("round " + std::to_string(m_roundBytes) + " bytes " + std::to_string(ns / 1000) + " us");
            ++m_round;
        }
        else
        {
            m_rttNs.push_back(ns);
        }
        if (m_round < m_rounds.size())
            StartRound(m_rounds[m_round]);
        else if (m_rttNs.size() < m_rttTotal)
            StartRound(c_rttBytes);
        else
            Finish(true);
    }

    void Finish(bool ok)
    {
        if (!m_rttNs.empty())
        {
            std::sort(m_rttNs.begin(), m_rttNs.end());
            auto at = [this](double q)
            { return m_rttNs[std::min(m_rttNs.size() - 1, size_t(q * m_rttNs.size()))]; };
            Report(m_opt, "rtt " + std::to_string(m_rttNs.size()) + " " + std::to_string(at(0.50)) + " " +
                              std::to_string(at(0.99)) + " " + std::to_string(m_rttNs.back()));
            EventLine("rtt " + std::to_string(c_rttBytes) + " bytes x " + std::to_string(m_rttNs.size()) +
                      ": p50 " + std::to_string(at(0.50) / 1000) + " us, p99 " + std::to_string(at(0.99) / 1000) +
                      " us");
            EventLine("rtt done");
        }
        if (ok)
            EventLine("finished");
        m_result = ok ? c_ok : c_failed;
        // Posted: the session refuses a call from inside its own event.
        if (m_disconnectWhenFinished)
            PostTarget().Put(
                std::make_unique<iCore::MsgFunctor<std::function<void()>>>([this] { m_conn->Disconnect(); }));
    }

    // Sink mode: counts what arrives.
    void Sink(uint64_t size)
    {
        if (m_received == 0)
            m_firstByte = Clock::now();
        const bool wasShort = m_received < m_opt.sinkBytes;
        m_received += size;
        if (!wasShort || m_received < m_opt.sinkBytes)
            return;
        Report(m_opt, "sink " + std::to_string(m_received) + " " + std::to_string(NsSince(m_firstByte)));
        EventLine("received " + std::to_string(m_opt.sinkBytes));
    }

    // Free-running source: a block per message, so that input keeps flowing in between.
    void SourceMore()
    {
        const uint64_t c_block = 4000;
        for (int i = 0; i < 16 && m_sourced < m_opt.sourceBytes; ++i)
        {
            const uint64_t n = std::min<uint64_t>(c_block, m_opt.sourceBytes - m_sourced);
            Utils::ByteArray piece{n, n}; // capacity, size
            std::memset(piece.MutableData(), 0x5A, n);
            m_conn->SendData(piece);
            m_sourced += n;
        }
        if (m_sourced < m_opt.sourceBytes)
            PutFunctor([this] { SourceMore(); });
        else
            EventLine("sourced " + std::to_string(m_opt.sourceBytes));
    }

    // Source mode: the next payloads, as far as the window allows.
    void SendMore()
    {
        while (!m_mismatch && m_sent < m_roundBytes && m_sent - m_back < m_window)
        {
            if (AheadOfRate())
                return;
            const uint64_t n = std::min<uint64_t>(m_payload, m_roundBytes - m_sent);
            Utils::ByteArray piece{n, n}; // capacity, size
            for (uint64_t i = 0; i < n; ++i)
                piece.MutableData()[i] = PatternByte(m_sent + i);
            m_conn->SendData(piece);
            m_sent += n;
            m_rateSent += n;
        }
    }

    // With a rate: the session has sent what its time allows; SendMore runs again a little later.
    bool AheadOfRate()
    {
        if (m_opt.rate == 0)
            return false;
        const double allowed = double(m_opt.rate) * double(NsSince(m_rateStart)) / 1e9;
        if (double(m_rateSent) < allowed)
            return false;
        if (!m_rateWait)
        {
            m_rateWait = true;
            RunDelayed(
                [this]
                {
                    m_rateWait = false;
                    SendMore();
                },
                c_rateStepMs);
        }
        return true;
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
                Finish(false);
                return;
            }
        }
        m_back += data.Size();
        if (m_back == m_roundBytes)
            RoundDone();
        else
            SendMore();
    }

    const Options m_opt;
    const bool m_source; // sends rounds and round trips, checks what comes back
    const bool m_echo;
    const std::vector<uint64_t> m_rounds;
    const uint64_t m_window;
    const uint64_t m_payload;
    const uint64_t m_rttTotal;
    const bool m_disconnectWhenFinished;
    const LinkWrite m_write;
    size_t m_round = 0; // index in m_rounds; the round trips follow the last
    uint64_t m_roundBytes = 0;
    uint64_t m_sent = 0;
    uint64_t m_back = 0;
    // Rate-limited sending: counted from the session's start.
    static const int c_rateStepMs = 10;
    Clock::time_point m_rateStart = Clock::now();
    uint64_t m_rateSent = 0;
    bool m_rateWait = false;
    Clock::time_point m_roundStart;
    std::vector<uint64_t> m_rttNs;
    bool m_mismatch = false;
    uint64_t m_received = 0; // sink mode
    Clock::time_point m_firstByte;
    uint64_t m_sourced = 0; // free-running source
    bool m_sourcing = false;
    std::unique_ptr<StlConnection> m_conn;
    IStlTransport2Owner* m_user = nullptr;
    bool m_outputFailed = false;
    std::atomic<int> m_result{c_running};
    std::atomic<bool> m_closed{false};
};

// "N[,N...]", every N from 1 to 2^32 - 1.
bool ParseSizes(const char* text, std::vector<uint64_t>& out)
{
    out.clear();
    for (const char* p = text;;)
    {
        char* end = nullptr;
        const uint64_t v = std::strtoull(p, &end, 10);
        if (end == p || v == 0 || v > 0xFFFFFFFFull || (*end != ',' && *end != 0))
            return false;
        out.push_back(v);
        if (*end == 0)
            return true;
        p = end + 1;
    }
}

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
        else if (a == "--send" && i + 1 < argc && ParseSizes(argv[++i], opt.sends))
            continue;
        else if (a == "--window" && number(v))
            opt.window = v;
        else if (a == "--payload" && number(v))
            opt.payload = v;
        else if (a == "--rate" && number(v))
            opt.rate = v;
        else if (a == "--rtt" && number(v))
            opt.rtt = v;
        else if (a == "--counters" && number(v))
            opt.counters = v;
        else if (a == "--sink" && number(v))
            opt.sinkBytes = v;
        else if (a == "--source" && number(v))
            opt.sourceBytes = v;
        else if (a == "--report" && i + 1 < argc)
            opt.report = argv[++i];
        else if (a == "--link" && i + 1 < argc && std::strncmp(argv[i + 1], "xrdp:", 5) == 0 &&
                 argv[i + 1][5] != 0)
            opt.xrdpChannel = argv[++i] + 5;
        else
            return false;
    }
    // On a channel the peer must have work of its own to end by itself.
    if (!opt.xrdpChannel.empty())
        return opt.counters != 0 || !opt.sends.empty();
    return opt.counters == 0;
}

bool ReadAll(uint8_t* p, size_t n)
{
    return std::fread(p, 1, n, stdin) == n;
}

bool PipeWrite(const uint8_t* data, uint32_t size)
{
    const uint8_t header[4] = {uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size)};
    return std::fwrite(header, 1, 4, stdout) == 4 && std::fwrite(data, 1, size, stdout) == size &&
           std::fflush(stdout) == 0;
}

void Deliver(const iCore::MsgPostTarget& target, Peer* peer, const Utils::ByteArray& data)
{
    target.Put(
        std::make_unique<iCore::MsgFunctor<std::function<void()>>>([peer, data] { peer->OnInput(data); }));
}

// The client's writes from the pipe, until its end; the exit code.
int PipeLoop(const iCore::MsgPostTarget& target, Peer* peer)
{
    for (;;)
    {
        uint8_t header[4];
        if (!ReadAll(header, 1))
            return 0; // end of input between frames
        if (!ReadAll(header + 1, 3))
            return 2;
        const uint32_t size = (uint32_t(header[0]) << 24) | (uint32_t(header[1]) << 16) |
                              (uint32_t(header[2]) << 8) | header[3];
        if (size > c_maxFrame)
        {
            EventLine("frame of " + std::to_string(size) + " bytes refused");
            return 2;
        }
        Utils::ByteArray data{uint64_t(size), uint64_t(size)}; // capacity, size
        if (size != 0 && !ReadAll(data.MutableData(), size))
            return 2;
        Deliver(target, peer, data);
    }
}

// The client's bytes from the channel, until the source has finished and its session has closed;
// the exit code.
int ChannelLoop(XrdpChannel& channel, const iCore::MsgPostTarget& target, Peer* peer)
{
    const uint32_t c_readSize = 65536;
    std::vector<uint8_t> buf(c_readSize);
    Clock::time_point finishedAt;
    for (;;)
    {
        bool ok = false;
        if (peer->Finished(ok))
        {
            if (finishedAt == Clock::time_point())
                finishedAt = Clock::now();
            if (peer->Closed() || Clock::now() - finishedAt > c_discWait)
                return ok ? 0 : 1;
        }
        const int n = channel.Read(buf.data(), c_readSize, 100);
        if (n < 0)
        {
            EventLine("channel closed");
            Deliver(target, peer, Utils::ByteArray());
            return 1;
        }
        if (n > 0)
        {
            Utils::ByteArray data{uint64_t(n), uint64_t(n)}; // capacity, size
            std::memcpy(data.MutableData(), buf.data(), n);
            Deliver(target, peer, data);
        }
    }
}

// Without a session: counters out, the same bytes expected back (the plug-in's echo test).
int CounterLoop(XrdpChannel& channel, uint64_t counters)
{
    const uint64_t c_write = 1600;
    const uint64_t c_window = 16000;
    std::vector<uint8_t> out(counters * 4);
    for (uint64_t i = 0; i < counters; ++i)
        for (int b = 0; b < 4; ++b)
            out[i * 4 + b] = uint8_t(i >> (8 * b));
    std::vector<uint8_t> buf(65536);
    uint64_t sent = 0;
    uint64_t back = 0;
    while (back < out.size())
    {
        while (sent < out.size() && sent - back < c_window)
        {
            const uint64_t n = std::min(c_write, out.size() - sent);
            if (!channel.Write(out.data() + sent, uint32_t(n)))
            {
                EventLine("channel write failed");
                return 1;
            }
            sent += n;
        }
        const int n = channel.Read(buf.data(), uint32_t(buf.size()), 1000);
        if (n < 0)
        {
            EventLine("channel closed");
            return 1;
        }
        for (int i = 0; i < n; ++i, ++back)
        {
            if (back >= sent || buf[i] != out[back])
            {
                EventLine("mismatch at " + std::to_string(back));
                return 1;
            }
        }
    }
    EventLine("counters verified " + std::to_string(counters));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Utils::SetupLocaleCodePage();
    Options opt;
    if (!ParseOptions(argc, argv, opt))
    {
        std::cerr << "usage: stl_peer [--max-packet N] [--resp-timeout MS] [--ping-interval MS] [--no-echo] "
                     "[--verbose] [--send N[,N...] [--window W] [--payload P] [--rate B] [--rtt K]] "
                     "[--link xrdp:NAME [--counters N]] [--sink N] [--source N] [--report FILE]"
                  << std::endl;
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);

    XrdpChannel channel;
    LinkWrite write = PipeWrite;
    if (!opt.xrdpChannel.empty())
    {
        std::string error;
        if (!channel.Open(opt.xrdpChannel, error))
        {
            EventLine("channel open failed: " + error);
            return 1;
        }
        EventLine("channel open " + opt.xrdpChannel);
        if (opt.counters != 0)
            return CounterLoop(channel, opt.counters);
        write = [&channel](const uint8_t* data, uint32_t size) { return channel.Write(data, size); };
    }

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

    std::unique_ptr<Peer> peer;
    iCore::MsgThread* thread = nullptr;
    auto runner = std::make_unique<iCore::ThreadRunnerFunc>(
        iCore::ThreadRunnerFuncProfile(0, "Peer", QThread::InheritPriority, 0, 0, false),
        [&](iCore::MsgThread& t)
        {
            thread = &t;
            peer = std::make_unique<Peer>(opt, log, write);
        });
    const iCore::MsgPostTarget target = peer->PostTarget();
    EventLine("stl_peer ready");

    const int rc =
        opt.xrdpChannel.empty() ? PipeLoop(target, peer.get()) : ChannelLoop(channel, target, peer.get());

    // The peer goes before the channel it writes to.
    iCore::MsgThreadFnBlocked(*thread, [&](iCore::MsgThread&) { peer.reset(); });
    runner.reset();
    channel.Close();
    logLink.reset();
    return rc;
}
