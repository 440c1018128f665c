// MediaBridge: a stand-in for the media-bridge process that the plug-in launches. It takes the
// plug-in's command line, connects back over loopback TCP and echoes every byte it receives, so
// that everything the far end of the channel writes comes back to it through the whole relay.
//
// Command line:
//   MediaBridge <VDI mode name> <host process id> <127.0.0.1:port>
// Only loopback addresses are accepted ("127.0.0.1:<port>", "[::1]:<port>").
//
// It ends by itself, exit code 0, when the connection ends (the plug-in closed it, or sent the
// in-band disconnect command "TcpTranspCmd Disc"), and also when the host process is gone. A
// connection that does not come up within c_connectTimeoutMs ends it with exit code 1; a bad
// command line with exit code 2.
//
// The process is started detached by the plug-in and may inherit its descriptors (sockets and
// pipes of the host process): it closes every descriptor above standard error at once, and keeps
// only standard error (for its diagnostic lines) of the three standard ones, so that it holds
// nothing of the host open.
//
// Environment (for tests):
//   YR_MEDIABRIDGE_LOG=<file>       appends one line per event: "start <mode> <pid> <address>",
//                                   "connected", "end <reason> echoed <bytes>".
//   YR_MEDIABRIDGE_DROP_AFTER=<n>   closes the connection after echoing n bytes or more, as a
//                                   media bridge that fails would.
// For measurements (bench/relay.cpp):
//   YR_MEDIABRIDGE_SINK=<n>         echoes nothing; sends one byte once connected (the far end
//                                   starts then); logs "sunk <n> <ns from the first byte to the
//                                   n-th>" once n bytes have arrived.
//   YR_MEDIABRIDGE_SOURCE=<n>       echoes nothing; sends n bytes as fast as the socket takes them
//                                   once connected, and logs "sourced <n>".
//   YR_MEDIABRIDGE_CONNECT_GATE=<f> connects only once file f exists (waits up to the connect
//                                   time-out), so that a test can act before the connection.
//   YR_MEDIABRIDGE_KEEP_FDS=1       keeps every inherited descriptor open, as a media bridge that
//                                   does not clean up would: it still has to see the end of its
//                                   connection when the plug-in goes.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <QThread>
#include <boost/bind/bind.hpp>
#include <boost/shared_ptr.hpp>
#include <signal.h>
#include "Utils/ByteArray.h"
#include "Utils/StringUtils.h"
#include "YrLogV2/Log.h"
#include "YrNet/HostAddr.h"
#include "YrNet/NetThread.h"
#include "YrNet/TcpSocketBase.h"
#include "iCore/MsgObject.h"
#include "iCore/ThreadRunnerFunc.h"

namespace
{

const int c_connectTimeoutMs = 10000;
const int c_hostCheckMs = 1000;
const int c_gatePollMs = 10;
// Echoed bytes waiting in the socket's send queue above which no more is read: the plug-in's
// reading sets the pace, and memory stays bounded.
const uint64_t c_pauseBytes = 1024 * 1024;

const char* const c_discCmd = "TcpTranspCmd Disc";

struct Options
{
    std::string mode;
    long long hostPid = 0;
    std::string host;
    int port = 0;
    std::string logFile;
    uint64_t dropAfter = 0; // 0: never
    uint64_t sinkBytes = 0;
    uint64_t sourceBytes = 0;
    std::string connectGate;
};

uint64_t NowNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

void LogLine(const Options& opt, const std::string& line)
{
    std::cerr << "MediaBridge[" << ::getpid() << "]: " << line << std::endl;
    if (opt.logFile.empty())
        return;
    std::ofstream f(opt.logFile, std::ios::app);
    f << line << " pid " << ::getpid() << std::endl;
}

bool ParseNumber(const std::string& text, long long min, long long max, long long& out)
{
    if (text.empty() || text.size() > 19)
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    out = std::stoll(text);
    return out >= min && out <= max;
}

// "127.0.0.1:port" or "[::1]:port": loopback only, the stand-in never talks to another machine.
bool ParseAddress(const std::string& text, std::string& host, int& port)
{
    const std::string::size_type colon = text.rfind(':');
    if (colon == std::string::npos)
        return false;
    host = text.substr(0, colon);
    if (host == "[::1]")
        host = "::1";
    if (host != "127.0.0.1" && host != "::1")
        return false;
    long long p = 0;
    if (!ParseNumber(text.substr(colon + 1), 1, 65535, p))
        return false;
    port = static_cast<int>(p);
    return true;
}

bool ParseOptions(int argc, char** argv, Options& opt)
{
    if (argc != 4)
        return false;
    opt.mode = argv[1];
    if (opt.mode.empty() || !ParseNumber(argv[2], 1, 0x7FFFFFFF, opt.hostPid))
        return false;
    if (!ParseAddress(argv[3], opt.host, opt.port))
        return false;
    if (const char* p = std::getenv("YR_MEDIABRIDGE_LOG"))
        opt.logFile = p;
    if (const char* p = std::getenv("YR_MEDIABRIDGE_CONNECT_GATE"))
        opt.connectGate = p;
    const std::pair<const char*, uint64_t*> numbers[] = {{"YR_MEDIABRIDGE_DROP_AFTER", &opt.dropAfter},
                                                         {"YR_MEDIABRIDGE_SINK", &opt.sinkBytes},
                                                         {"YR_MEDIABRIDGE_SOURCE", &opt.sourceBytes}};
    for (const auto& n : numbers)
    {
        long long v = 0;
        if (const char* p = std::getenv(n.first))
            if (ParseNumber(p, 1, 0x7FFFFFFFFFFFll, v))
                *n.second = static_cast<uint64_t>(v);
    }
    return true;
}

// The connection and its echo, on the "Echo" message thread.
class Echo : public iCore::MsgObject, public YrNet::ITcpSocketToUser
{
public:
    Echo(const Options& opt, int& exitCode)
        : iCore::MsgObject(iCore::MsgObject::OwnedByThread), m_opt(opt), m_exitCode(exitCode),
          m_sock(std::make_unique<YrNet::TcpSocket>(getMsgThread()))
    {
        m_sock->SetUser(Utils::SafeRef<YrNet::ITcpSocketToUser>(this));
        ConnectWhenGateOpen();
        RunDelayed(boost::bind(&Echo::OnConnectTimeout, this), c_connectTimeoutMs);
        RunDelayed(boost::bind(&Echo::CheckHost, this), c_hostCheckMs, true);
    }

    ~Echo() override
    {
        if (m_sock)
            m_sock->Disconnect();
        m_sock.reset();
    }

private:
    // YrNet::ITcpSocketToUser

    void Connected(const YrNet::SocketIdBase*) override
    {
        m_connected = true;
        LogLine(m_opt, "connected");
        if (m_opt.sourceBytes != 0)
            SourceMore();
        else if (m_opt.sinkBytes != 0)
            m_sock->SendData(Utils::ByteArray(uint64_t(1), uint8_t('r'), 0));
    }

    void AllDataSent(const YrNet::SocketIdBase*) override
    {
        m_unsent = 0;
        if (m_opt.sourceBytes != 0)
            SourceMore();
        if (m_paused && m_sock)
        {
            m_paused = false;
            m_sock->ResumeReceive();
        }
        if (m_dropPending)
            End("dropped", 0);
    }

    void DataReceived(boost::shared_ptr<YrNet::SocketData> data) override
    {
        if (!m_sock || m_dropPending)
            return;
        const Utils::ByteArray& bytes = data->data;
        if (bytes.Size() == std::char_traits<char>::length(c_discCmd) &&
            std::string(reinterpret_cast<const char*>(bytes.Data()), bytes.Size()) == c_discCmd)
        {
            End("disconnect command", 0);
            return;
        }
        if (m_opt.sinkBytes != 0 || m_opt.sourceBytes != 0)
        {
            Sink(bytes.Size());
            return;
        }
        m_sock->SendData(bytes);
        m_echoed += bytes.Size();
        m_unsent += bytes.Size();
        if (!m_paused && m_unsent > c_pauseBytes)
        {
            m_paused = true;
            m_sock->PauseReceive();
        }
        if (m_opt.dropAfter != 0 && m_echoed >= m_opt.dropAfter)
        {
            // Let the echo go out first, so the far end sees exactly what was echoed.
            m_dropPending = true;
            m_sock->PauseReceive();
        }
    }

    void Error(boost::shared_ptr<YrNet::SocketError> error) override
    {
        if (!m_connected)
        {
            End("connect failed: " + Utils::WStringToStdString(error->text), 1);
            return;
        }
        End("connection closed", 0);
    }

    void Sink(uint64_t size)
    {
        const uint64_t now = NowNs();
        if (m_sunk == 0)
            m_firstNs = now;
        const bool wasShort = m_sunk < m_opt.sinkBytes;
        m_sunk += size;
        if (wasShort && m_sunk >= m_opt.sinkBytes)
            LogLine(m_opt, "sunk " + std::to_string(m_sunk) + " " + std::to_string(now - m_firstNs));
    }

    // Up to c_pauseBytes queued at a time; the rest when the queue has gone out.
    void SourceMore()
    {
        const uint64_t c_block = 64 * 1024;
        while (m_sock && m_sourced < m_opt.sourceBytes && m_unsent < c_pauseBytes)
        {
            const uint64_t n = std::min(c_block, m_opt.sourceBytes - m_sourced);
            Utils::ByteArray block(n, uint8_t(0x5A), 0);
            m_sock->SendData(block);
            m_sourced += n;
            m_unsent += n;
            if (m_sourced == m_opt.sourceBytes)
                LogLine(m_opt, "sourced " + std::to_string(m_sourced));
        }
    }

    void ConnectWhenGateOpen()
    {
        struct stat st;
        if (m_ended)
            return;
        if (!m_opt.connectGate.empty() && ::stat(m_opt.connectGate.c_str(), &st) != 0)
        {
            RunDelayed(boost::bind(&Echo::ConnectWhenGateOpen, this), c_gatePollMs);
            return;
        }
        m_sock->ConnectToHost(YrNet::HostAddr(m_opt.host, m_opt.port));
    }

    void OnConnectTimeout()
    {
        if (!m_connected)
            End("connect timeout", 1);
    }

    void CheckHost()
    {
        if (::kill(static_cast<pid_t>(m_opt.hostPid), 0) != 0 && errno == ESRCH)
            End("host process gone", 0);
    }

    void End(const std::string& reason, int code)
    {
        if (m_ended)
            return;
        m_ended = true;
        m_exitCode = code;
        LogLine(m_opt, "end " + reason + " echoed " + std::to_string(m_echoed));
        if (m_sock)
            m_sock->Disconnect();
        getMsgThread().RequestExit();
    }

    const Options m_opt;
    int& m_exitCode;
    std::unique_ptr<YrNet::TcpSocket> m_sock;
    bool m_connected = false;
    bool m_paused = false;
    bool m_dropPending = false;
    bool m_ended = false;
    uint64_t m_echoed = 0;
    uint64_t m_unsent = 0;
    uint64_t m_sunk = 0;
    uint64_t m_firstNs = 0;
    uint64_t m_sourced = 0;
};

} // namespace

// Lets go of what the host process handed down.
void DetachFromHost()
{
    if (const char* keep = std::getenv("YR_MEDIABRIDGE_KEEP_FDS"))
        if (std::string(keep) == "1")
            return;
    ::close_range(3, ~0u, 0);
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0)
    {
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::close(null);
    }
}

int main(int argc, char** argv)
{
    DetachFromHost();
    Utils::SetupLocaleCodePage();
    std::signal(SIGPIPE, SIG_IGN);
    Options opt;
    if (!ParseOptions(argc, argv, opt))
    {
        std::cerr << "usage: MediaBridge <VDI mode> <host pid> <127.0.0.1:port>" << std::endl;
        return 2;
    }
    YrLogV2::LogRoot::Instance().DiscardEarlyRecords();
    YrLogV2::LogRoot::Instance().SetLevels(0, {});
    LogLine(opt, "start " + opt.mode + " " + std::to_string(opt.hostPid) + " " + argv[3]);

    int exitCode = 0;
    {
        iCore::ThreadRunnerFunc runner(
            iCore::ThreadRunnerFuncProfile(0, "Echo", QThread::InheritPriority, 0, 0, false),
            [&](iCore::MsgThread&) { new Echo(opt, exitCode); });
        runner.WaitFinished();
    }
    YrNet::NetThread::DestroyInstance(false);
    return exitCode;
}
