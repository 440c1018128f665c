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
//   YR_MEDIABRIDGE_KEEP_FDS=1       keeps every inherited descriptor open, as a media bridge that
//                                   does not clean up would: it still has to see the end of its
//                                   connection when the plug-in goes.
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
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
};

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
    if (const char* p = std::getenv("YR_MEDIABRIDGE_DROP_AFTER"))
    {
        long long n = 0;
        if (ParseNumber(p, 1, 0x7FFFFFFFFFFFll, n))
            opt.dropAfter = static_cast<uint64_t>(n);
    }
    return true;
}

// The connection and its echo, on the "Echo" message thread.
class Echo : public iCore::MsgObject, public YrNet::ITcpSocketToUser
{
public:
    Echo(const Options& opt, int& exitCode)
        : iCore::MsgObject(iCore::MsgObject::OwnedByThread), m_opt(opt), m_exitCode(exitCode),
          m_sock(new YrNet::TcpSocket(getMsgThread()))
    {
        m_sock->SetUser(Utils::SafeRef<YrNet::ITcpSocketToUser>(this));
        m_sock->ConnectToHost(YrNet::HostAddr(m_opt.host, m_opt.port));
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
    }

    void AllDataSent(const YrNet::SocketIdBase*) override
    {
        m_unsent = 0;
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
    boost::shared_ptr<YrNet::TcpSocket> m_sock;
    bool m_connected = false;
    bool m_paused = false;
    bool m_dropPending = false;
    bool m_ended = false;
    uint64_t m_echoed = 0;
    uint64_t m_unsent = 0;
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
