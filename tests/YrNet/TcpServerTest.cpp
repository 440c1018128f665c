#include <sys/socket.h>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>
#include <boost/asio/error.hpp>
#include <gtest/gtest.h>
#include "NetTestUtils.h"
#include "YrNet/TcpSocketImpl.h"
#include "YrNet/TcpSocketServer.h"

using namespace NetTest;
using YrNet::HostAddr;

namespace
{

// Owns a server and every connection it delivers, on a test thread.
class ServerUser : public iCore::MsgObject, public YrNet::ITcpServerToUser
{
public:
    explicit ServerUser(EventLog& log)
        : m_log(log),
          m_server(new YrNet::TcpSocketServer(getMsgThread(), Utils::SafeRef<YrNet::ITcpServerToUser>(this)))
    {
    }

    ~ServerUser() override
    {
        m_conns.clear();
        m_server.reset();
    }

    YrNet::TcpSocketServer& Server() { return *m_server; }
    TcpUser& Conn(size_t i) { return *m_conns.at(i); }

    EventLog m_connLog; // events of the accepted connections

private:
    void OnNewConnection(boost::shared_ptr<YrNet::TcpSocket> socket) override
    {
        Event ev{Event::NewConnection};
        ev.peer = socket->PeerHostInf();
        m_conns.emplace_back(new TcpUser(m_connLog, socket));
        m_log.Add(ev);
    }

    void OnServerError(YrNet::TcpError error) override
    {
        Event ev{Event::ServerError};
        ev.text = error.text;
        ev.code = error.code;
        m_log.Add(ev);
    }

    EventLog& m_log;
    std::unique_ptr<YrNet::TcpSocketServer> m_server;
    std::vector<std::unique_ptr<TcpUser>> m_conns;
};

class TcpServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_thread.Call([&] { m_user = std::make_unique<ServerUser>(m_log); });
    }

    void TearDown() override
    {
        m_thread.Call([&] { m_user.reset(); });
    }

    void Flush()
    {
        YrNet::NetThread::Instance()->RunBlocked([] {});
        m_thread.Call([] {});
    }

    // Listens on the IPv4 any-address with a port the system chooses; returns the port.
    uint16_t ListenAny()
    {
        bool ok = false;
        HostAddr local;
        m_thread.Call(
            [&]
            {
                ok = m_user->Server().Listen(HostAddr(HostAddr::AnyV4, 0));
                local = m_user->Server().LocalHostInf();
            });
        EXPECT_TRUE(ok);
        return static_cast<uint16_t>(local.Port());
    }

    TestThread m_thread;
    EventLog m_log;
    std::unique_ptr<ServerUser> m_user;
};

} // namespace

TEST_F(TcpServerTest, ListenOnPortZeroReportsTheRealPortAndDeliversClients)
{
    HostAddr local;
    bool ok = false;
    m_thread.Call(
        [&]
        {
            ok = m_user->Server().Listen(HostAddr(HostAddr::AnyV4, 0));
            local = m_user->Server().LocalHostInf();
        });
    ASSERT_TRUE(ok);
    EXPECT_EQ("0.0.0.0", local.Host());
    EXPECT_NE(0, local.Port());

    Fd client = PlainConnect(static_cast<uint16_t>(local.Port()));
    ASSERT_TRUE(client.Valid());
    ASSERT_TRUE(m_log.WaitCount(Event::NewConnection, 1));
    Flush();

    const std::vector<Event> evs = m_log.Events();
    ASSERT_EQ(1u, evs.size());
    EXPECT_EQ(m_thread.ThreadId(), evs[0].threadId);
    EXPECT_EQ(HostAddr("127.0.0.1", LocalPort(client.Get())), evs[0].peer);

    // The delivered socket is connected and reading already.
    ASSERT_TRUE(WriteAll(client.Get(), "ping"));
    ASSERT_TRUE(m_user->m_connLog.WaitBytes(4));
    EXPECT_EQ("ping", m_user->m_connLog.Bytes());
    m_thread.Call(
        [&]
        {
            EXPECT_TRUE(m_user->Conn(0).Socket().IsConnected());
            m_user->Conn(0).Socket().SendData(ToBytes("pong"));
        });
    EXPECT_EQ("pong", ReadExact(client.Get(), 4));
}

// The window given to the server holds for an accepted connection from its first read, with no
// window set on the connection itself: the bytes beyond it stay in the system's queue.
TEST_F(TcpServerTest, AcceptedConnectionsReadWithinTheServersWindowFromTheStart)
{
    const uint64_t high = 64 * 1024;
    YrNet::TcpRecvWindow window;
    window.high = high;
    window.low = high / 4;
    m_thread.Call([&] { m_user->Server().SetAcceptedRecvWindow(window); });
    const uint16_t port = ListenAny();
    ASSERT_TRUE(RoomyAcceptedReceiveQueues(port));
    Fd client = PlainConnect(port);
    ASSERT_TRUE(client.Valid());
    const uint16_t clientPort = LocalPort(client.Get());
    ASSERT_TRUE(m_log.WaitCount(Event::NewConnection, 1));

    std::thread writer([&] { WriteAll(client.Get(), Pattern(4 * 1024 * 1024)); });
    bool backedUp = false;
    for (int i = 0; i < 1000 && !backedUp; ++i)
    {
        backedUp = RxQueue(port, clientPort) > 32 * 1024;
        if (!backedUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(5)); // the system's queue has no event
    }
    Flush();
    EXPECT_TRUE(backedUp);
    EXPECT_LE(m_user->m_connLog.Bytes().size(), high + YrNet::TcpSocketImpl::c_readBufferSize);
    ::shutdown(client.Get(), SHUT_RDWR); // ends the blocked write
    writer.join();
}

// A failure of the socket work reaches the caller as an exception on its own thread; the
// network thread goes on.
TEST_F(TcpServerTest, SocketFailuresReachTheCallerAsExceptions)
{
    bool thrown = false;
    m_thread.Call(
        [&]
        {
            try
            {
                m_user->Server().LocalHostInf(); // nothing listens yet
            }
            catch (const YrNet::NetThreadTaskError& e)
            {
                thrown = true;
                EXPECT_NE(std::wstring::npos, e.Message().find(L"local_endpoint")) << e.what();
            }
        });
    EXPECT_TRUE(thrown);

    const uint16_t port = ListenAny();
    EXPECT_NE(0, port);
    Fd client = PlainConnect(port);
    ASSERT_TRUE(client.Valid());
    ASSERT_TRUE(m_log.WaitCount(Event::NewConnection, 1));
}

TEST_F(TcpServerTest, BindFailuresGiveFalseAndNoEvent)
{
    const uint16_t port = ListenAny();

    EventLog otherLog;
    std::unique_ptr<ServerUser> other;
    bool sameAddress = true, foreignAddress = true;
    m_thread.Call(
        [&]
        {
            other = std::make_unique<ServerUser>(otherLog);
            sameAddress = other->Server().Listen(HostAddr(HostAddr::AnyV4, port));
            // Not an address of this machine: the bind fails locally, nothing is sent.
            foreignAddress = other->Server().Listen(HostAddr("192.0.2.1", 0));
        });
    EXPECT_FALSE(sameAddress);
    EXPECT_FALSE(foreignAddress);

    // The first server still works.
    Fd client = PlainConnect(port);
    ASSERT_TRUE(m_log.WaitCount(Event::NewConnection, 1));
    Flush();
    EXPECT_TRUE(otherLog.Events().empty());
    m_thread.Call([&] { other.reset(); });
}

TEST_F(TcpServerTest, OneListenAcceptsFiftyConnections)
{
    const uint16_t port = ListenAny();
    std::vector<Fd> clients;
    for (int i = 0; i < 50; ++i)
    {
        clients.push_back(PlainConnect(port));
        ASSERT_TRUE(clients.back().Valid());
    }
    ASSERT_TRUE(m_log.WaitCount(Event::NewConnection, 50));

    // The kernel completes the 51st handshake, but no accept is left to take it.
    clients.push_back(PlainConnect(port));
    ASSERT_TRUE(clients.back().Valid());
    EXPECT_FALSE(m_log.WaitCount(Event::NewConnection, 51, std::chrono::milliseconds(1000)));
    EXPECT_EQ(50u, m_log.Count(Event::NewConnection));
    EXPECT_EQ(0u, m_log.Count(Event::ServerError));
}

TEST_F(TcpServerTest, ClientsThatResetAtOnceDoNotUseUpTheServer)
{
    const uint16_t port = ListenAny();
    {
        // The resets reach the kernel before any accept: the accepted sockets are already dead.
        NetThreadBlocker blocker;
        for (int i = 0; i < 60; ++i)
        {
            Fd c = PlainConnect(port);
            ASSERT_TRUE(c.Valid());
            SetLingerZero(c.Get());
        }
    }

    Fd good = PlainConnect(port);
    ASSERT_TRUE(good.Valid());
    const HostAddr goodAddr("127.0.0.1", LocalPort(good.Get()));
    ASSERT_TRUE(m_log.WaitFor(
        [&](const std::vector<Event>& evs)
        {
            for (const Event& e : evs)
                if (e.kind == Event::NewConnection && e.peer == goodAddr)
                    return true;
            return false;
        }));
    Flush();
    EXPECT_EQ(0u, m_log.Count(Event::ServerError));

    // More resets than accepts: the good client gets through only if every dead one was
    // replaced by a fresh accept.
    EXPECT_LE(m_log.Count(Event::NewConnection), 61u);
    // The good client is served.
    ASSERT_TRUE(WriteAll(good.Get(), "still here"));
    ASSERT_TRUE(m_user->m_connLog.WaitFor(
        [](const std::vector<Event>& evs)
        { return EventLog::BytesOf(evs).find("still here") != std::string::npos; }));
}

TEST_F(TcpServerTest, DestroyingTheServerWithPendingAcceptsRaisesNoEvent)
{
    const uint16_t port = ListenAny();
    m_thread.Call([&] { m_user.reset(); });
    Flush();
    EXPECT_TRUE(m_log.Events().empty());
    // Nobody listens any more.
    EXPECT_FALSE(PlainConnect(port).Valid());
}

TEST_F(TcpServerTest, AcceptErrorIsReportedAndClosesTheServer)
{
    const uint16_t port = ListenAny();
    // Shutting the listening socket down under the server makes its pending accepts fail.
    const int listenFd = FindListeningFd(port);
    ASSERT_GE(listenFd, 0);
    ASSERT_EQ(0, ::shutdown(listenFd, SHUT_RDWR));

    // Every pending accept reports its end: the failure itself, or the abort by the close.
    ASSERT_TRUE(m_log.WaitCount(Event::ServerError, YrNet::TcpSocketServer::c_acceptCount));
    Flush();
    const std::vector<Event> evs = m_log.Events();
    ASSERT_EQ(static_cast<size_t>(YrNet::TcpSocketServer::c_acceptCount), evs.size());
    EXPECT_EQ(boost::asio::error::invalid_argument, evs[0].code);
    EXPECT_FALSE(evs[0].text.empty());
    for (const Event& e : evs)
    {
        EXPECT_EQ(Event::ServerError, e.kind);
        EXPECT_TRUE(e.code == boost::asio::error::invalid_argument ||
                    e.code == boost::asio::error::operation_aborted)
            << e.code;
        EXPECT_EQ(m_thread.ThreadId(), e.threadId);
    }
    // The server closed its socket.
    EXPECT_FALSE(PlainConnect(port).Valid());
}

TEST(TcpServerDeathTest, ListenNeedsALiteralAddress)
{
    EXPECT_DEATH(
        {
            TestThread t;
            EventLog log;
            t.Call(
                [&]
                {
                    ServerUser user(log);
                    user.Server().Listen(HostAddr("localhost", 0));
                });
        },
        "Wrong local address");
    EXPECT_DEATH(
        {
            TestThread t;
            EventLog log;
            t.Call(
                [&]
                {
                    ServerUser user(log);
                    user.Server().Listen(HostAddr());
                });
        },
        "!addr.IsEmpty\\(\\)");
}

// At shutdown the TCP side goes first, then the network thread, for good.
TEST(NetThreadShutdownTest, NetworkObjectsGoBeforeTheThread)
{
    EXPECT_EXIT(
        {
            TestThread t;
            EventLog log;
            std::unique_ptr<ServerUser> server;
            std::unique_ptr<TcpUser> client;
            t.Call(
                [&]
                {
                    server = std::make_unique<ServerUser>(log);
                    server->Server().Listen(HostAddr("127.0.0.1", 0));
                    client = std::make_unique<TcpUser>(log);
                    client->Socket().ConnectToHost(
                        HostAddr("127.0.0.1", server->Server().LocalHostInf().Port()));
                });
            if (!log.WaitCount(Event::NewConnection, 1) || !log.WaitCount(Event::Connected, 1))
                ::_exit(10);
            t.Call(
                [&]
                {
                    client.reset();
                    server.reset();
                });
            YrNet::NetThread::DestroyInstance(false);
            ::_exit(0);
        },
        ::testing::ExitedWithCode(0), "");

    // A socket still alive when the thread goes is a broken shutdown order.
    EXPECT_DEATH(
        {
            TestThread t;
            EventLog log;
            std::unique_ptr<TcpUser> client;
            t.Call([&] { client = std::make_unique<TcpUser>(log); });
            YrNet::NetThread::DestroyInstance(false);
        },
        "~SafeRefServer [0-9]+ TYPE \\{YrNet::NetThread\\}");
}
