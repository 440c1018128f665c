#include <memory>
#include <string>
#include <type_traits>
#include <boost/asio/error.hpp>
#include <gtest/gtest.h>
#include "ESS/Exception.h"
#include "NetTestUtils.h"
#include "YrNet/BlockedCreate.h"
#include "YrNet/TcpSocketBase.h"
#include "YrNet/TcpSocketImpl.h"

using namespace NetTest;
using YrNet::HostAddr;

namespace
{

class TcpSocketTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_thread.Call([&] { m_user = std::make_unique<TcpUser>(m_log); });
    }

    void TearDown() override
    {
        m_thread.Call([&] { m_user.reset(); });
    }

    // Afterwards every event the engine raised so far has been delivered (or dropped).
    void Flush()
    {
        YrNet::NetThread::Instance()->RunBlocked([] {});
        m_thread.Call([] {});
    }

    void Connect(uint16_t port)
    {
        m_thread.Call([&] { m_user->Socket().ConnectToHost(HostAddr("127.0.0.1", port)); });
    }

    // Connects to a plain listener and returns the accepted peer.
    Fd ConnectedPeer(const Fd& listener)
    {
        Connect(LocalPort(listener.Get()));
        Fd peer = PlainAccept(listener.Get());
        EXPECT_TRUE(peer.Valid());
        EXPECT_TRUE(m_log.WaitCount(Event::Connected, 1));
        return peer;
    }

    bool IsConnected()
    {
        bool res = false;
        m_thread.Call([&] { res = m_user->Socket().IsConnected(); });
        return res;
    }

    TestThread m_thread;
    EventLog m_log;
    std::unique_ptr<TcpUser> m_user;
};

// An engine's sink for tests that drive the engine directly; called on the network thread.
class EngineSink : public YrNet::ITcpSocketToUser, public YrNet::SocketIdBase
{
public:
    explicit EngineSink(EventLog& log) : m_log(log) {}

    void Connected(const YrNet::SocketIdBase* id) override { m_log.Add(Event{Event::Connected}); }
    void AllDataSent(const YrNet::SocketIdBase* id) override { m_log.Add(Event{Event::AllDataSent}); }
    void DataReceived(boost::shared_ptr<YrNet::SocketData> data) override
    {
        Event ev{Event::Data};
        ev.bytes = ToString(data->data);
        m_log.Add(ev);
    }
    void Error(boost::shared_ptr<YrNet::SocketError> error) override
    {
        Event ev{Event::Error};
        ev.text = error->text;
        ev.code = error->code;
        m_log.Add(ev);
    }

private:
    EventLog& m_log;
};

} // namespace

TEST_F(TcpSocketTest, RefusedConnectGivesOneErrorAndNoConnected)
{
    ClosedPort closed;
    Connect(closed.Port());
    ASSERT_TRUE(m_log.WaitCount(Event::Error, 1));
    Flush();

    const std::vector<Event> evs = m_log.Events();
    ASSERT_EQ(1u, evs.size());
    EXPECT_EQ(Event::Error, evs[0].kind);
    EXPECT_EQ(boost::asio::error::connection_refused, evs[0].code);
    EXPECT_EQ(L"Connection refused", evs[0].text);
    EXPECT_EQ(m_thread.ThreadId(), evs[0].threadId);
    EXPECT_FALSE(IsConnected());
}

TEST_F(TcpSocketTest, PeerBurstArrivesInOrderInBoundedRecordsThenOneError)
{
    Fd listener = PlainListen();
    Fd peer = ConnectedPeer(listener);

    const std::string sent = Pattern(2 * YrNet::TcpSocketImpl::c_readBufferSize + 10000);
    ASSERT_TRUE(WriteAll(peer.Get(), sent));
    peer.Reset();
    ASSERT_TRUE(m_log.WaitCount(Event::Error, 1));
    Flush();

    const std::vector<Event> evs = m_log.Events();
    ASSERT_GE(evs.size(), 4u); // connected, at least three records, error
    EXPECT_EQ(Event::Connected, evs.front().kind);
    EXPECT_EQ(Event::Error, evs.back().kind);
    EXPECT_EQ(boost::asio::error::eof, evs.back().code);
    EXPECT_EQ(1u, EventLog::CountOf(evs, Event::Error));

    const HostAddr listenerAddr("127.0.0.1", LocalPort(listener.Get()));
    for (size_t i = 1; i + 1 < evs.size(); ++i)
    {
        EXPECT_EQ(Event::Data, evs[i].kind);
        EXPECT_GE(evs[i].bytes.size(), 1u);
        EXPECT_LE(evs[i].bytes.size(), YrNet::TcpSocketImpl::c_readBufferSize);
        EXPECT_EQ(listenerAddr, evs[i].peer);
    }
    for (const Event& e : evs)
    {
        EXPECT_EQ(m_thread.ThreadId(), e.threadId);
        EXPECT_EQ(evs.front().id, e.id);
    }
    EXPECT_EQ(sent, EventLog::BytesOf(evs));
    EXPECT_FALSE(IsConnected());
}

TEST_F(TcpSocketTest, QuickSendsLeaveInCallOrder)
{
    Fd listener = PlainListen();
    Fd peer = ConnectedPeer(listener);

    std::string expected;
    m_thread.Call(
        [&]
        {
            for (unsigned i = 0; i < 200; ++i)
            {
                const std::string chunk = Pattern(1 + (i * 37) % 1000, i);
                expected += chunk;
                m_user->Socket().SendData(ToBytes(chunk));
            }
        });
    EXPECT_EQ(expected, ReadExact(peer.Get(), expected.size()));
    ASSERT_TRUE(m_log.WaitCount(Event::AllDataSent, 1));
    Flush();
    EXPECT_LE(m_log.Count(Event::AllDataSent), 200u);
    EXPECT_EQ(0u, m_log.Count(Event::Error));
    // The write that carried the last bytes reported the drained queue.
    EXPECT_EQ(Event::AllDataSent, m_log.Events().back().kind);
}

TEST_F(TcpSocketTest, AReportOfAllSentIsDroppedWhenMoreWasSentSince)
{
    Fd listener = PlainListen();
    Fd peer = ConnectedPeer(listener);

    // More than the loopback connection buffers: it cannot go out while the peer does not read.
    const std::string big = Pattern(32 * 1024 * 1024);
    m_thread.Call(
        [&]
        {
            m_user->Socket().SendData(ToBytes("a"));
            EXPECT_EQ("a", ReadExact(peer.Get(), 1));
            // The write's completion ran before this: its report waits in the user's queue.
            YrNet::NetThread::Instance()->RunBlocked([] {});
            m_user->Socket().SendData(ToBytes(big));
        });
    Flush();
    EXPECT_EQ(0u, m_log.Count(Event::AllDataSent));

    EXPECT_EQ(big.size(), ReadExact(peer.Get(), big.size()).size());
    EXPECT_TRUE(m_log.WaitCount(Event::AllDataSent, 1));
}

TEST_F(TcpSocketTest, ConnectedSocketKnowsBothEnds)
{
    Fd listener = PlainListen();
    Fd peer = ConnectedPeer(listener);

    sockaddr_in remote{};
    socklen_t len = sizeof(remote);
    ::getpeername(peer.Get(), reinterpret_cast<sockaddr*>(&remote), &len);

    HostAddr local, peerAddr;
    m_thread.Call(
        [&]
        {
            local = m_user->Socket().LocalHostInf();
            peerAddr = m_user->Socket().PeerHostInf();
        });
    EXPECT_EQ(HostAddr("127.0.0.1", ntohs(remote.sin_port)), local);
    EXPECT_EQ(HostAddr("127.0.0.1", LocalPort(listener.Get())), peerAddr);
}

TEST_F(TcpSocketTest, SecondConnectAbandonsThePendingOneSilently)
{
    BlackHoleListener blackHole;
    ASSERT_TRUE(blackHole.Ready());
    Fd listener = PlainListen();

    m_thread.Call(
        [&]
        {
            m_user->Socket().ConnectToHost(HostAddr("127.0.0.1", blackHole.Port()));
            EXPECT_EQ(YrNet::TcpSocketBase::stGoesConn, m_user->Socket().State());
            m_user->Socket().ConnectToHost(HostAddr("127.0.0.1", LocalPort(listener.Get())));
        });
    Fd peer = PlainAccept(listener.Get());
    ASSERT_TRUE(peer.Valid());
    ASSERT_TRUE(m_log.WaitCount(Event::Connected, 1));
    Flush();

    EXPECT_EQ(1u, m_log.Count(Event::Connected));
    EXPECT_EQ(0u, m_log.Count(Event::Error));
    EXPECT_TRUE(IsConnected());
}

TEST_F(TcpSocketTest, NoEventAfterDisconnectReturns)
{
    Fd listener = PlainListen();
    Fd peer = ConnectedPeer(listener);
    const uint16_t peerPort = LocalPort(peer.Get());
    uint16_t localPort = 0;
    m_thread.Call([&] { localPort = static_cast<uint16_t>(m_user->Socket().LocalHostInf().Port()); });

    // The user thread stays busy while the peer bursts and the engine queues the records for it.
    bool drained = false;
    m_thread.Call(
        [&]
        {
            ASSERT_TRUE(WriteAll(peer.Get(), Pattern(20000)));
            ::shutdown(peer.Get(), SHUT_WR);
            drained = WaitDrainedByNetThread(peer.Get(), localPort, peerPort);
            m_user->Socket().Disconnect();
            EXPECT_FALSE(m_user->Socket().IsConnected());
        });
    ASSERT_TRUE(drained);
    Flush();

    EXPECT_EQ(1u, m_log.Count(Event::Connected));
    EXPECT_EQ(0u, m_log.Count(Event::Data));
    EXPECT_EQ(0u, m_log.Count(Event::Error));
    EXPECT_TRUE(WaitClosed(peer.Get())); // the old engine closed its connection
}

TEST_F(TcpSocketTest, PeerCloseLeavesTheSocketReadyToConnectAgain)
{
    Fd listener = PlainListen();
    Fd peer = ConnectedPeer(listener);
    peer.Reset();
    ASSERT_TRUE(m_log.WaitCount(Event::Error, 1));
    EXPECT_FALSE(IsConnected());

    // No Disconnect needed.
    Fd listener2 = PlainListen();
    Connect(LocalPort(listener2.Get()));
    Fd peer2 = PlainAccept(listener2.Get());
    ASSERT_TRUE(peer2.Valid());
    ASSERT_TRUE(m_log.WaitCount(Event::Connected, 2));
    m_thread.Call([&] { m_user->Socket().SendData(ToBytes("again")); });
    EXPECT_EQ("again", ReadExact(peer2.Get(), 5));
    Flush();
    EXPECT_EQ(1u, m_log.Count(Event::Error));
}

TEST_F(TcpSocketTest, ErrorSilencesEverythingQueuedBehindIt)
{
    Fd listener = PlainListen();
    Fd peer = ConnectedPeer(listener);

    // Writes in flight and queued when the peer resets the connection.
    const Utils::ByteArray chunk = ToBytes(Pattern(65536));
    m_thread.Call(
        [&]
        {
            for (int i = 0; i < 64; ++i)
                m_user->Socket().SendData(chunk);
        });
    SetLingerZero(peer.Get());
    peer.Reset();
    ASSERT_TRUE(m_log.WaitCount(Event::Error, 1));
    Flush();

    const std::vector<Event> evs = m_log.Events();
    EXPECT_EQ(1u, EventLog::CountOf(evs, Event::Error));
    EXPECT_EQ(Event::Error, evs.back().kind);
    EXPECT_FALSE(IsConnected());
}

TEST_F(TcpSocketTest, PeerThatStopsReadingOverflowsTheSendQueue)
{
    Fd listener = PlainListen();
    Fd peer = ConnectedPeer(listener);

    // The copies share one block: the queue counts 64 MiB without holding them.
    const Utils::ByteArray chunk = ToBytes(Pattern(65536));
    m_thread.Call(
        [&]
        {
            for (int i = 0; i < 1024; ++i)
                m_user->Socket().SendData(chunk);
        });
    ASSERT_TRUE(m_log.WaitCount(Event::Error, 1));
    Flush();

    const std::vector<Event> evs = m_log.Events();
    EXPECT_EQ(Event::Error, evs.back().kind);
    EXPECT_EQ(L"Send queue overflow", evs.back().text);
    EXPECT_EQ(-1, evs.back().code);
    EXPECT_EQ(1u, EventLog::CountOf(evs, Event::Error));
    EXPECT_FALSE(IsConnected());
    EXPECT_TRUE(WaitClosed(peer.Get())); // the owner disconnected
}

TEST_F(TcpSocketTest, PausedSocketStartsNoNewRead)
{
    Fd listener = PlainListen();
    Fd peer = ConnectedPeer(listener);
    const uint16_t peerPort = LocalPort(peer.Get());
    uint16_t localPort = 0;
    m_thread.Call(
        [&]
        {
            localPort = static_cast<uint16_t>(m_user->Socket().LocalHostInf().Port());
            m_user->Socket().PauseReceive();
        });
    YrNet::NetThread::Instance()->RunBlocked([] {}); // the pause is in effect

    const std::string sent = Pattern(YrNet::TcpSocketImpl::c_readBufferSize + 10000);
    ASSERT_TRUE(WriteAll(peer.Get(), sent));
    // The read that was already under way delivers its bytes; no further read follows.
    ASSERT_TRUE(m_log.WaitCount(Event::Data, 1));
    Flush();
    const size_t first = m_log.Bytes().size();
    EXPECT_LE(first, YrNet::TcpSocketImpl::c_readBufferSize);
    EXPECT_EQ(static_cast<long>(sent.size() - first), RxQueue(localPort, peerPort));
    EXPECT_EQ(1u, m_log.Count(Event::Data));

    m_thread.Call([&] { m_user->Socket().ResumeReceive(); });
    ASSERT_TRUE(m_log.WaitBytes(sent.size()));
    EXPECT_EQ(sent, m_log.Bytes());
}

TEST_F(TcpSocketTest, BytesThatPrecedeAResetAreDelivered)
{
    Fd listener = PlainListen();
    Fd peer = ConnectedPeer(listener);
    {
        // Data and reset are both waiting when the engine reads: the system can no longer tell
        // the peer's address by then, but the bytes still reach the user with it.
        NetThreadBlocker blocker;
        ASSERT_TRUE(WriteAll(peer.Get(), "last words"));
        SetLingerZero(peer.Get());
        peer.Reset();
    }
    ASSERT_TRUE(m_log.WaitCount(Event::Error, 1));
    Flush();

    const std::vector<Event> evs = m_log.Events();
    ASSERT_EQ(3u, evs.size());
    EXPECT_EQ(Event::Data, evs[1].kind);
    EXPECT_EQ("last words", evs[1].bytes);
    EXPECT_EQ(HostAddr("127.0.0.1", LocalPort(listener.Get())), evs[1].peer);
    EXPECT_EQ(Event::Error, evs[2].kind);
    EXPECT_EQ(boost::asio::error::connection_reset, evs[2].code);
}

// The user may drop its socket inside any of its events: nothing of the socket runs afterwards.
TEST_F(TcpSocketTest, UserMayDestroyTheSocketInsideAnEvent)
{
    Fd listener = PlainListen();
    Fd peer = ConnectedPeer(listener);
    const uint16_t peerPort = LocalPort(peer.Get());
    uint16_t localPort = 0;
    bool drained = false;
    m_thread.Call(
        [&]
        {
            localPort = static_cast<uint16_t>(m_user->Socket().LocalHostInf().Port());
            m_user->m_onEvent = [this](const Event& ev)
            {
                if (ev.kind == Event::Data)
                    m_user->DropSocket();
            };
            // Several records and the end of stream wait behind the first one.
            ASSERT_TRUE(WriteAll(peer.Get(), Pattern(20000)));
            ::shutdown(peer.Get(), SHUT_WR);
            drained = WaitDrainedByNetThread(peer.Get(), localPort, peerPort);
        });
    ASSERT_TRUE(drained);
    Flush();
    EXPECT_EQ(1u, m_log.Count(Event::Data));
    EXPECT_EQ(0u, m_log.Count(Event::Error));
    EXPECT_TRUE(WaitClosed(peer.Get()));

    // The same inside the error event.
    EventLog log2;
    std::unique_ptr<TcpUser> user2;
    m_thread.Call(
        [&]
        {
            user2 = std::make_unique<TcpUser>(log2);
            user2->m_onEvent = [&user2](const Event& ev)
            {
                if (ev.kind == Event::Error)
                    user2->DropSocket();
            };
            user2->Socket().ConnectToHost(HostAddr("127.0.0.1", LocalPort(listener.Get())));
        });
    Fd peer2 = PlainAccept(listener.Get());
    ASSERT_TRUE(peer2.Valid());
    ASSERT_TRUE(log2.WaitCount(Event::Connected, 1));
    peer2.Reset();
    ASSERT_TRUE(log2.WaitCount(Event::Error, 1));
    Flush();
    EXPECT_EQ(2u, log2.Events().size());
    m_thread.Call([&] { user2.reset(); });
}

TEST_F(TcpSocketTest, NamesAreResolvedFirst)
{
    Fd listener = PlainListen();
    const uint16_t port = LocalPort(listener.Get());
    m_thread.Call([&] { m_user->Socket().ConnectToHost(HostAddr("localhost", port)); });
    Fd peer = PlainAccept(listener.Get());
    ASSERT_TRUE(peer.Valid());
    ASSERT_TRUE(m_log.WaitCount(Event::Connected, 1));

    HostAddr peerAddr;
    m_thread.Call([&] { peerAddr = m_user->Socket().PeerHostInf(); });
    EXPECT_EQ(HostAddr("127.0.0.1", port), peerAddr);
}

TEST_F(TcpSocketTest, UnresolvableNameGivesOneError)
{
    // A label longer than 63 characters: the resolver rejects the name without asking anybody.
    const std::string name = std::string(64, 'a') + ".invalid";
    m_thread.Call([&] { m_user->Socket().ConnectToHost(HostAddr(name, 80)); });
    ASSERT_TRUE(m_log.WaitCount(Event::Error, 1));
    Flush();
    EXPECT_EQ(1u, m_log.Events().size());
    EXPECT_FALSE(IsConnected());
}

TEST(TcpSocketEngineTest, SendBeforeConnectingIsDroppedSilently)
{
    EventLog log;
    EngineSink sink(log);
    YrNet::BlockedCreate<YrNet::TcpSocketImpl> engine;
    engine.Reset([&sink] { return new YrNet::TcpSocketImpl(&sink, &sink); });

    engine->SendData(ToBytes("early"));
    YrNet::NetThread::Instance()->RunBlocked([] {});
    EXPECT_TRUE(log.Events().empty());

    Fd listener = PlainListen();
    engine->ConnectToHost(HostAddr("127.0.0.1", LocalPort(listener.Get())));
    Fd peer = PlainAccept(listener.Get());
    ASSERT_TRUE(peer.Valid());
    ASSERT_TRUE(log.WaitCount(Event::Connected, 1));
    engine->SendData(ToBytes("late"));
    EXPECT_EQ("late", ReadExact(peer.Get(), 4));
    ASSERT_TRUE(log.WaitCount(Event::AllDataSent, 1));
}

// State, identity and disconnect belong to the facade; the engine does not offer them at all.
static_assert(!std::is_base_of_v<YrNet::ITcpSocket, YrNet::TcpSocketImpl>);
static_assert(std::is_base_of_v<YrNet::ITcpSocketEngine, YrNet::TcpSocketImpl>);

TEST(TcpSocketBaseTest, StateNames)
{
    EXPECT_EQ("stDisc", YrNet::TcpSocketBase::ResolveState(YrNet::TcpSocketBase::stDisc));
    EXPECT_EQ("stGoesConn",
              YrNet::TcpSocketBase::ResolveState(static_cast<YrNet::TcpSocketBase::ConnectionState>(1)));
    EXPECT_EQ("stConn", YrNet::TcpSocketBase::ResolveState(YrNet::TcpSocketBase::stConn));
    try
    {
        YrNet::TcpSocketBase::ResolveState(static_cast<YrNet::TcpSocketBase::ConnectionState>(7));
        ADD_FAILURE() << "nothing thrown";
    }
    catch (const ESS::NoReturnException& e)
    {
        EXPECT_EQ(L"No return!", e.Message());
    }
}

TEST(TcpSocketBaseDeathTest, SendingWithoutConnectionHalts)
{
    EXPECT_DEATH(
        {
            TestThread t;
            EventLog log;
            t.Call(
                [&]
                {
                    TcpUser user(log);
                    user.Socket().SendData(ToBytes("x"));
                });
        },
        "Wrong state. Expected stConn Current stDisc");
}
