#pragma once
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <linux/sockios.h>
#include <boost/asio/post.hpp>
#include <boost/make_shared.hpp>
#include <gtest/gtest.h>
#include "Platform/Thread.h"
#include "YrNet/NetThread.h"
#include "YrNet/TcpSocketBase.h"
#include "YrNet/TcpSocketServer.h"
#include "YrNet/UdpSocket.h"
#include "iCore/MsgObject.h"
#include "iCore/MsgThread.h"
#include "iCore/ThreadRunnerFunc.h"

namespace NetTest
{

// Every wait in these tests is bounded by this; a working network layer is far quicker.
constexpr std::chrono::milliseconds c_waitLimit(10000);

// A message thread for a test; Call runs a function on it and waits.
class TestThread
{
public:
    explicit TestThread(const std::string& name = "NetTest")
        : m_runner(new iCore::ThreadRunnerFunc(iCore::ThreadRunnerFuncProfile(0, name, 3, 0, 0, false),
                                               [this](iCore::MsgThread& t) { m_thread = &t; }))
    {
    }

    iCore::MsgThread& Thread() { return *m_thread; }
    void* ThreadId() const { return m_thread->GetThreadId(); }

    void Call(const std::function<void()>& fn)
    {
        ASSERT_TRUE(iCore::MsgThreadFnBlocked(*m_thread, [&](iCore::MsgThread&) { fn(); }));
    }

private:
    iCore::MsgThread* m_thread = nullptr;
    std::unique_ptr<iCore::ThreadRunnerFunc> m_runner;
};

// ------------------------------------------------------------------------------------------------
// Recording of events from any thread, with bounded waits.

struct Event
{
    enum Kind
    {
        Connected,
        AllDataSent,
        Data,
        Error,
        NewConnection,
        ServerError,
    };

    Kind kind;
    void* threadId = nullptr;
    const YrNet::SocketIdBase* id = nullptr;
    std::string bytes;
    YrNet::HostAddr peer;
    std::wstring text;
    int32_t code = 0;
};

class EventLog
{
public:
    void Add(Event ev)
    {
        ev.threadId = Platform::Thread::GetCurrentThreadID();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_events.push_back(std::move(ev));
        }
        m_cond.notify_all();
    }

    // True when pred holds for the events within the limit.
    bool WaitFor(const std::function<bool(const std::vector<Event>&)>& pred,
                 std::chrono::milliseconds limit = c_waitLimit)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, limit, [&] { return pred(m_events); });
    }

    bool WaitCount(Event::Kind kind, size_t count, std::chrono::milliseconds limit = c_waitLimit)
    {
        return WaitFor([&](const std::vector<Event>& evs) { return CountOf(evs, kind) >= count; }, limit);
    }

    // Waits until the received bytes reach size.
    bool WaitBytes(size_t size)
    {
        return WaitFor([&](const std::vector<Event>& evs) { return BytesOf(evs).size() >= size; });
    }

    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.clear();
    }

    std::vector<Event> Events()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }

    size_t Count(Event::Kind kind)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return CountOf(m_events, kind);
    }

    std::string Bytes()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return BytesOf(m_events);
    }

    static size_t CountOf(const std::vector<Event>& evs, Event::Kind kind)
    {
        size_t n = 0;
        for (const Event& e : evs)
            n += (e.kind == kind) ? 1 : 0;
        return n;
    }

    static std::string BytesOf(const std::vector<Event>& evs)
    {
        std::string s;
        for (const Event& e : evs)
            if (e.kind == Event::Data)
                s += e.bytes;
        return s;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<Event> m_events;
};

inline std::string ToString(const Utils::ByteArray& data)
{
    return data.IsEmpty() ? std::string()
                          : std::string(reinterpret_cast<const char*>(data.Data()), data.Size());
}

inline Utils::ByteArray ToBytes(const std::string& s)
{
    return Utils::ByteArray(s.data(), s.size());
}

// A pattern whose every position differs from its neighbours, so reordering shows.
inline std::string Pattern(size_t size, unsigned seed = 0)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return s;
}

// A user of one TCP socket, living on a test thread.
class TcpUser : public iCore::MsgObject, public YrNet::ITcpSocketToUser
{
public:
    // On the test thread. Without accepted, the socket starts unconnected.
    TcpUser(EventLog& log,
            boost::shared_ptr<YrNet::TcpSocket> accepted = boost::shared_ptr<YrNet::TcpSocket>())
        : m_log(log), m_socket(accepted ? accepted : boost::make_shared<YrNet::TcpSocket>(getMsgThread()))
    {
        m_socket->SetUser(Utils::SafeRef<YrNet::ITcpSocketToUser>(this));
    }

    ~TcpUser() override { m_socket.reset(); }

    YrNet::TcpSocket& Socket() { return *m_socket; }
    void DropSocket() { m_socket.reset(); }

    // Called inside an event, on the test thread.
    std::function<void(const Event&)> m_onEvent;

private:
    void Connected(const YrNet::SocketIdBase* id) override
    {
        Event ev{Event::Connected};
        ev.id = id;
        Record(ev);
    }
    void AllDataSent(const YrNet::SocketIdBase* id) override
    {
        Event ev{Event::AllDataSent};
        ev.id = id;
        Record(ev);
    }
    void DataReceived(boost::shared_ptr<YrNet::SocketData> data) override
    {
        Event ev{Event::Data};
        ev.id = data->id;
        ev.bytes = ToString(data->data);
        ev.peer = data->peer;
        Record(ev);
    }
    void Error(boost::shared_ptr<YrNet::SocketError> error) override
    {
        Event ev{Event::Error};
        ev.id = error->id;
        ev.text = error->text;
        ev.code = error->code;
        Record(ev);
    }

    void Record(const Event& ev)
    {
        m_log.Add(ev);
        if (m_onEvent)
            m_onEvent(ev);
    }

    EventLog& m_log;
    boost::shared_ptr<YrNet::TcpSocket> m_socket;
};

// Keeps the network thread busy until released.
class NetThreadBlocker
{
public:
    NetThreadBlocker() : m_state(std::make_shared<State>())
    {
        std::shared_ptr<State> state = m_state; // outlives this object while the handler waits
        boost::asio::post(YrNet::NetThread::Instance()->GetIoService(),
                          [state]
                          {
                              std::unique_lock<std::mutex> lock(state->mutex);
                              state->running = true;
                              state->cond.notify_all();
                              state->cond.wait_for(lock, c_waitLimit, [&] { return state->released; });
                          });
        std::unique_lock<std::mutex> lock(m_state->mutex);
        m_state->cond.wait_for(lock, c_waitLimit, [this] { return m_state->running; });
    }

    ~NetThreadBlocker()
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->released = true;
        m_state->cond.notify_all();
    }

private:
    struct State
    {
        std::mutex mutex;
        std::condition_variable cond;
        bool running = false;
        bool released = false;
    };
    std::shared_ptr<State> m_state;
};

// ------------------------------------------------------------------------------------------------
// Plain sockets: the peers of the tests, written with the system's socket calls.

class Fd
{
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    Fd(Fd&& o) noexcept : m_fd(o.m_fd) { o.m_fd = -1; }
    Fd& operator=(Fd&& o) noexcept
    {
        Reset();
        m_fd = o.m_fd;
        o.m_fd = -1;
        return *this;
    }
    Fd(const Fd&) = delete;
    ~Fd() { Reset(); }

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    void Reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

inline sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

inline uint16_t LocalPort(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// A TCP listener on 127.0.0.1 with a port the system chooses.
inline Fd PlainListen(int backlog = 16)
{
    Fd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a = Loopback(0);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || ::listen(fd.Get(), backlog) != 0)
        return Fd();
    return fd;
}

inline bool WaitReadable(int fd, int ms = static_cast<int>(c_waitLimit.count()))
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}

inline Fd PlainAccept(int listener)
{
    if (!WaitReadable(listener))
        return Fd();
    return Fd(::accept(listener, nullptr, nullptr));
}

// A blocking connect to 127.0.0.1:port.
inline Fd PlainConnect(uint16_t port)
{
    Fd fd(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a = Loopback(port);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
        return Fd();
    return fd;
}

inline bool WriteAll(int fd, const std::string& s)
{
    size_t done = 0;
    while (done < s.size())
    {
        const ssize_t n = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads exactly size bytes, or fewer when the peer closes or the limit runs out.
inline std::string ReadExact(int fd, size_t size)
{
    std::string s;
    char buf[8192];
    const auto deadline = std::chrono::steady_clock::now() + c_waitLimit;
    while (s.size() < size)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !WaitReadable(fd, static_cast<int>(left.count())))
            break;
        const ssize_t n = ::recv(fd, buf, std::min(sizeof(buf), size - s.size()), 0);
        if (n <= 0)
            break;
        s.append(buf, static_cast<size_t>(n));
    }
    return s;
}

// True when the peer closed (end of stream or reset) within the limit.
inline bool WaitClosed(int fd)
{
    char buf[4096];
    const auto deadline = std::chrono::steady_clock::now() + c_waitLimit;
    while (std::chrono::steady_clock::now() < deadline)
    {
        if (!WaitReadable(fd, 100))
            continue;
        const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
        if (n <= 0)
            return true;
    }
    return false;
}

// Closing after this sends a reset instead of an orderly end.
inline void SetLingerZero(int fd)
{
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
}

// A port on 127.0.0.1 where nothing listens (bound, never listening: nobody else gets it meanwhile).
class ClosedPort
{
public:
    ClosedPort() : m_fd(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in a = Loopback(0);
        ::bind(m_fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a));
    }
    uint16_t Port() const { return LocalPort(m_fd.Get()); }

private:
    Fd m_fd;
};

// A loopback listener that never accepts, with its queue filled, so that a further connect to it
// stays pending (the system drops its handshake) without any time-out involved.
class BlackHoleListener
{
public:
    BlackHoleListener() : m_listener(PlainListen(0))
    {
        // A backlog of 0 holds one established connection; it is full afterwards.
        m_filler = PlainConnect(Port());
    }
    uint16_t Port() const { return LocalPort(m_listener.Get()); }
    bool Ready() const { return m_listener.Valid() && m_filler.Valid(); }

private:
    Fd m_listener;
    Fd m_filler;
};

// The descriptor of this process's socket that listens on port, or -1.
inline int FindListeningFd(uint16_t port)
{
    for (int fd = 3; fd < 4096; ++fd)
    {
        int listening = 0;
        socklen_t len = sizeof(listening);
        if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 || !listening)
            continue;
        if (LocalPort(fd) == port)
            return fd;
    }
    return -1;
}

// Gives the connections that this process's listener on port accepts from now on a roomy receive
// queue, for tests that wait for bytes to back up there. With the default 128 KiB, a reader that
// stops inside one of loopback's 64 KiB segments leaves too little room for the next: the system
// drops it, the writer probes the closed window with growing back-off, and the queue can stay
// below 32 KiB for seconds.
inline bool RoomyAcceptedReceiveQueues(uint16_t port)
{
    const int bytes = 1024 * 1024;
    const int fd = FindListeningFd(port);
    return fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes)) == 0;
}

// The receive queue of the loopback TCP connection localPort -> remotePort as the system reports
// it, or -1 when the connection is not listed.
inline long RxQueue(uint16_t localPort, uint16_t remotePort)
{
    std::ifstream f("/proc/net/tcp");
    std::string line;
    char local[32], remote[32];
    std::snprintf(local, sizeof(local), "0100007F:%04X", localPort);
    std::snprintf(remote, sizeof(remote), "0100007F:%04X", remotePort);
    while (std::getline(f, line))
    {
        std::istringstream in(line);
        std::string sl, loc, rem, st, queues;
        in >> sl >> loc >> rem >> st >> queues;
        if (loc == local && rem == remote)
        {
            const size_t colon = queues.find(':');
            return std::stol(queues.substr(colon + 1), nullptr, 16);
        }
    }
    return -1;
}

// Waits until the engine on the network thread has taken every byte the system holds for the
// connection, and the handlers of those reads have run.
inline bool WaitDrainedByNetThread(int peerFd, uint16_t localPort, uint16_t remotePort)
{
    const auto deadline = std::chrono::steady_clock::now() + c_waitLimit;
    auto peerOutQueue = [peerFd]()
    {
        int n = -1;
        ::ioctl(peerFd, SIOCOUTQ, &n);
        return n;
    };
    while (peerOutQueue() != 0 || RxQueue(localPort, remotePort) != 0)
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // A handler posted now runs after the completion of the read that emptied the queue.
    YrNet::NetThread::Instance()->RunBlocked([] {});
    return true;
}

} // namespace NetTest
