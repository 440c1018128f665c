// A minimal relay plug-in, written apart from the library to measure the library against: the
// same work with no framework. It loads into the host as the library does, opens the channel
// when the host connects, runs the client end of the session (connect, pings, data packets with
// header and payload CRC-32, pieces of at most 1600 bytes), launches "MediaBridge" next to its
// own file, and relays between the session's data and the media bridge's loopback TCP stream.
//
// Threads: the host's threads raise the init events and deliver data (written to the socket at
// once, blocking); one thread accepts the media bridge and reads it in 64 KiB blocks, each sent
// as one data packet; one thread pings. Sending takes m_txLock, so pieces and numbers stay in
// order; at most c_maxWrites writes are outstanding at the host.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>
#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>
#include "VMware/Shared/VirtualChannel.h"

extern char** environ;

namespace
{

const uint32_t c_magic = 0x45006FA9;
const size_t c_header = 32;
const size_t c_piece = 1600;
const int c_maxWrites = 512;
const auto c_pingPeriod = std::chrono::milliseconds(12000);
const char c_channelName[] = "YrTnVCh";

enum Cmd : uint16_t
{
    cmdConnect = 0,
    cmdConnected = 1,
    cmdDisc = 2,
    cmdDisconnected = 3,
    cmdPing = 4,
    cmdPong = 5,
    cmdData = 6,
};

uint32_t Get32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

void Put32(uint8_t* p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

uint32_t Crc(const uint8_t* p, size_t n)
{
    return uint32_t(::crc32(0, p, uInt(n)));
}

class Relay
{
public:
    void Entry(const CHANNEL_ENTRY_POINTS& ep)
    {
        m_ep = ep;
        CHANNEL_DEF def{};
        std::memcpy(def.name, c_channelName, sizeof(c_channelName));
        m_ep.pVirtualChannelInit(&m_initHandle, &def, 1, VIRTUAL_CHANNEL_VERSION_WIN2000, &InitEvent);
    }

private:
    static void InitEvent(void*, uint32_t event, void*, uint32_t);
    static void OpenEvent(uint32_t, uint32_t event, void* pData, uint32_t len, uint32_t, uint32_t flags);

    void Start()
    {
        char name[sizeof(c_channelName)];
        std::memcpy(name, c_channelName, sizeof(name));
        if (m_ep.pVirtualChannelOpen(m_initHandle, &m_openHandle, name, &OpenEvent) != CHANNEL_RC_OK)
            return;
        std::mt19937_64 random(std::random_device{}());
        m_srcId = random() | 1;
        m_sessionId = uint32_t(random()) | 1;
        m_txNum = 0;
        m_stop = false;
        if (!Listen())
            return;
        SendPacket(cmdConnect, nullptr, 0);
        m_reader = std::thread([this] { ReadMediaBridge(); });
        m_pinger = std::thread([this] { Ping(); });
    }

    void Stop()
    {
        {
            std::lock_guard<std::mutex> lock(m_stateLock);
            m_stop = true;
        }
        m_stateChanged.notify_all();
        if (m_sock >= 0)
            ::shutdown(m_sock, SHUT_RDWR);
        for (std::thread* t : {&m_reader, &m_pinger})
            if (t->joinable())
                t->join();
        for (int* fd : {&m_sock, &m_listen})
            if (*fd >= 0)
                ::close(*fd);
        m_sock = m_listen = -1;
    }

    // A loopback listener on a free port, and the media bridge told to connect to it.
    bool Listen()
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        if (::bind(m_listen, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(m_listen, 1) != 0 ||
            ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return false;
        Dl_info info{};
        ::dladdr(reinterpret_cast<void*>(&InitEvent), &info);
        char real[PATH_MAX];
        std::string dir = ::realpath(info.dli_fname, real) ? real : "";
        dir = dir.substr(0, dir.rfind('/'));
        std::string exe = dir + "/MediaBridge", mode = "VMware", pid = std::to_string(::getpid());
        std::string addr = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
        char* argv[] = {&exe[0], &mode[0], &pid[0], &addr[0], nullptr};
        pid_t child = 0;
        return ::posix_spawn(&child, exe.c_str(), nullptr, nullptr, argv, environ) == 0;
    }

    // Accepts the media bridge, then reads it into data packets until it ends.
    void ReadMediaBridge()
    {
        while (!Stopping())
        {
            pollfd p{m_listen, POLLIN, 0};
            if (::poll(&p, 1, 100) != 1)
                continue;
            // Loopback only; the first connection is taken as the media bridge's.
            const int s = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (s >= 0)
            {
                const int one = 1;
                ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
                std::lock_guard<std::mutex> lock(m_sockLock);
                m_sock = s;
                WriteSocketLocked(m_early.data(), m_early.size());
                m_early.clear();
                break;
            }
        }
        std::vector<uint8_t> buf(64 * 1024);
        while (!Stopping())
        {
            const ssize_t n = ::recv(m_sock, buf.data(), buf.size(), 0);
            if (n <= 0)
                break;
            SendPacket(cmdData, buf.data(), size_t(n));
        }
    }

    void Ping()
    {
        std::unique_lock<std::mutex> lock(m_stateLock);
        while (!m_stateChanged.wait_for(lock, c_pingPeriod, [this] { return m_stop; }))
        {
            lock.unlock();
            SendPacket(cmdPing, nullptr, 0);
            lock.lock();
        }
    }

    bool Stopping()
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        return m_stop;
    }

    // One frame, straight into pieces of at most c_piece bytes.
    void SendPacket(Cmd cmd, const uint8_t* pData, size_t size)
    {
        std::lock_guard<std::mutex> lock(m_txLock);
        uint8_t h[c_header];
        Put32(h, c_magic);
        Put32(h + 4, uint32_t(m_srcId >> 32));
        Put32(h + 8, uint32_t(m_srcId));
        Put32(h + 12, m_sessionId);
        h[16] = uint8_t(m_txNum >> 8);
        h[17] = uint8_t(m_txNum++);
        h[18] = 0;
        h[19] = uint8_t(cmd);
        Put32(h + 20, uint32_t(size));
        Put32(h + 24, size ? Crc(pData, size) : 0);
        Put32(h + 28, Crc(h, 28));
        const size_t total = c_header + size;
        for (size_t off = 0; off < total;)
        {
            const size_t n = std::min(total - off, c_piece);
            uint8_t* piece = new uint8_t[n];
            size_t i = 0;
            for (; i < n && off + i < c_header; ++i)
                piece[i] = h[off + i];
            if (i < n)
                std::memcpy(piece + i, pData + (off + i - c_header), n - i);
            WriteChannel(piece, uint32_t(n));
            off += n;
        }
    }

    void WriteChannel(uint8_t* piece, uint32_t n)
    {
        {
            std::unique_lock<std::mutex> lock(m_stateLock);
            m_stateChanged.wait(lock, [this] { return m_writes < c_maxWrites || m_stop; });
            ++m_writes;
        }
        if (m_ep.pVirtualChannelWrite(m_openHandle, piece, n, piece) != CHANNEL_RC_OK)
            WriteDone(piece);
    }

    void WriteDone(void* piece)
    {
        delete[] static_cast<uint8_t*>(piece);
        {
            std::lock_guard<std::mutex> lock(m_stateLock);
            --m_writes;
        }
        m_stateChanged.notify_all();
    }

    // A channel message: more of the session's byte stream.
    void OnMessage(const uint8_t* p, size_t n)
    {
        m_rx.insert(m_rx.end(), p, p + n);
        size_t pos = 0;
        while (m_rx.size() - pos >= c_header)
        {
            const uint8_t* h = m_rx.data() + pos;
            const size_t size = Get32(h + 20);
            if (Get32(h) != c_magic || Crc(h, 28) != Get32(h + 28))
            {
                ++pos; // resynchronise byte by byte
                continue;
            }
            if (m_rx.size() - pos < c_header + size)
                break;
            if (Crc(h + c_header, size) == Get32(h + 24))
                OnPacket(h, size);
            pos += c_header + size;
        }
        m_rx.erase(m_rx.begin(), m_rx.begin() + long(pos));
    }

    void OnPacket(const uint8_t* h, size_t size)
    {
        switch (h[19])
        {
        case cmdData:
            WriteSocket(h + c_header, size);
            break;
        case cmdDisc:
            SendPacket(cmdDisconnected, nullptr, 0);
            break;
        default:
            break; // Connected, Pong: nothing to do
        }
    }

    void WriteSocket(const uint8_t* p, size_t n)
    {
        std::lock_guard<std::mutex> lock(m_sockLock);
        if (m_sock < 0)
            m_early.insert(m_early.end(), p, p + n);
        else
            WriteSocketLocked(p, n);
    }

    void WriteSocketLocked(const uint8_t* p, size_t n)
    {
        while (n > 0)
        {
            const ssize_t w = ::send(m_sock, p, n, MSG_NOSIGNAL);
            if (w <= 0)
                return;
            p += w;
            n -= size_t(w);
        }
    }

    CHANNEL_ENTRY_POINTS m_ep{};
    void* m_initHandle = nullptr;
    uint32_t m_openHandle = 0;
    uint64_t m_srcId = 0;
    uint32_t m_sessionId = 0;

    std::mutex m_txLock; // guards the send numbers and the order of pieces
    uint16_t m_txNum = 0;

    std::mutex m_stateLock; // guards up to the blank line
    std::condition_variable m_stateChanged;
    bool m_stop = false;
    int m_writes = 0;

    std::mutex m_sockLock; // guards up to the blank line
    int m_sock = -1;
    std::vector<uint8_t> m_early; // data for the media bridge before it connected

    int m_listen = -1;
    std::vector<uint8_t> m_chunk; // host receive thread: the message being assembled
    std::vector<uint8_t> m_rx;    // host receive thread: unparsed session bytes
    std::thread m_reader;
    std::thread m_pinger;
};

Relay g_relay;

void Relay::InitEvent(void*, uint32_t event, void*, uint32_t)
{
    if (event == CHANNEL_EVENT_CONNECTED)
        g_relay.Start();
    else if (event == CHANNEL_EVENT_DISCONNECTED || event == CHANNEL_EVENT_TERMINATED)
        g_relay.Stop();
}

void Relay::OpenEvent(uint32_t, uint32_t event, void* pData, uint32_t len, uint32_t, uint32_t flags)
{
    if (event == CHANNEL_EVENT_WRITE_COMPLETE || event == CHANNEL_EVENT_WRITE_CANCELLED)
    {
        g_relay.WriteDone(pData);
        return;
    }
    if (event != CHANNEL_EVENT_DATA_RECEIVED)
        return;
    const uint8_t* p = static_cast<const uint8_t*>(pData);
    if ((flags & CHANNEL_FLAG_ONLY) == CHANNEL_FLAG_ONLY)
    {
        g_relay.OnMessage(p, len);
        return;
    }
    if (flags & CHANNEL_FLAG_FIRST)
        g_relay.m_chunk.clear();
    g_relay.m_chunk.insert(g_relay.m_chunk.end(), p, p + len);
    if (flags & CHANNEL_FLAG_LAST)
        g_relay.OnMessage(g_relay.m_chunk.data(), g_relay.m_chunk.size());
}

} // namespace

extern "C" __attribute__((visibility("default"))) int32_t VirtualChannelEntry(PCHANNEL_ENTRY_POINTS pEntryPoints)
{
    if (pEntryPoints == nullptr)
        return 0;
    g_relay.Entry(*pEntryPoints);
    return 1;
}
