#include <memory>
#include <string>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <gtest/gtest.h>
#include "NetTestUtils.h"
#include "YrNet/UdpSocket.h"

using namespace NetTest;
using YrNet::HostAddr;

namespace
{

class UdpUser : public iCore::MsgObject, public YrNet::IUdpSocketToUser
{
public:
    explicit UdpUser(EventLog& log)
        : m_log(log),
          m_socket(new YrNet::UdpSocket(getMsgThread(), Utils::SafeRef<YrNet::IUdpSocketToUser>(this)))
    {
    }
    ~UdpUser() override { m_socket.reset(); }

    YrNet::UdpSocket& Socket() { return *m_socket; }
    void DropSocket() { m_socket.reset(); }

private:
    void DataReceived(boost::shared_ptr<YrNet::SocketData> data) override
    {
        Event ev{Event::Data};
        ev.id = data->id;
        ev.bytes = ToString(data->data);
        ev.peer = data->peer;
        m_log.Add(ev);
    }
    void Error(boost::shared_ptr<YrNet::SocketError> error) override
    {
        Event ev{Event::Error};
        ev.id = error->id;
        ev.text = error->text;
        ev.code = error->code;
        m_log.Add(ev);
    }

    EventLog& m_log;
    std::unique_ptr<YrNet::UdpSocket> m_socket;
};

// A plain UDP socket on 127.0.0.1 with a port the system chooses.
class PlainUdp
{
public:
    PlainUdp() : m_fd(::socket(AF_INET, SOCK_DGRAM, 0))
    {
        sockaddr_in a = Loopback(0);
        ::bind(m_fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a));
    }

    uint16_t Port() const { return LocalPort(m_fd.Get()); }

    bool SendTo(uint16_t port, const std::string& data)
    {
        sockaddr_in a = Loopback(port);
        return ::sendto(m_fd.Get(), data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&a),
                        sizeof(a)) == static_cast<ssize_t>(data.size());
    }

    // One datagram and the sender's port; empty when none came within the limit.
    std::string Receive(uint16_t* pSenderPort = nullptr)
    {
        if (!WaitReadable(m_fd.Get()))
            return std::string();
        std::string buf(65536, '\0');
        sockaddr_in from{};
        socklen_t len = sizeof(from);
        const ssize_t n =
            ::recvfrom(m_fd.Get(), &buf[0], buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0)
            return std::string();
        if (pSenderPort)
            *pSenderPort = ntohs(from.sin_port);
        buf.resize(static_cast<size_t>(n));
        return buf;
    }

private:
    Fd m_fd;
};

class UdpSocketTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_thread.Call([&] { m_user = std::make_unique<UdpUser>(m_log); });
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

    bool Bind(const HostAddr& addr)
    {
        bool res = false;
        m_thread.Call([&] { res = m_user->Socket().Bind(addr); });
        return res;
    }

    void Send(const std::string& data, const HostAddr& to)
    {
        m_thread.Call([&] { m_user->Socket().SendData(ToBytes(data), to); });
    }

    // Binds to an ephemeral port and learns it from a datagram sent to the peer.
    uint16_t BindAndLearnPort(PlainUdp& peer)
    {
        EXPECT_TRUE(Bind(HostAddr(HostAddr::AnyV4, 0)));
        Send("hello", HostAddr("127.0.0.1", peer.Port()));
        uint16_t port = 0;
        EXPECT_EQ("hello", peer.Receive(&port));
        EXPECT_NE(0, port);
        return port;
    }

    TestThread m_thread;
    EventLog m_log;
    std::unique_ptr<UdpUser> m_user;
};

} // namespace

TEST_F(UdpSocketTest, BoundSocketSendsAndReceivesWithTheSender)
{
    PlainUdp peer;
    const uint16_t port = BindAndLearnPort(peer);

    ASSERT_TRUE(peer.SendTo(port, "datagram"));
    ASSERT_TRUE(m_log.WaitCount(Event::Data, 1));
    Flush();

    const std::vector<Event> evs = m_log.Events();
    ASSERT_EQ(1u, evs.size());
    EXPECT_EQ("datagram", evs[0].bytes);
    EXPECT_EQ(HostAddr("127.0.0.1", peer.Port()), evs[0].peer);
    EXPECT_EQ(m_thread.ThreadId(), evs[0].threadId);
    const YrNet::SocketIdBase* id = nullptr;
    m_thread.Call([&] { id = m_user->Socket().Id(); });
    EXPECT_EQ(id, evs[0].id);
}

TEST_F(UdpSocketTest, PortInUseGivesFalse)
{
    PlainUdp holder;
    EXPECT_FALSE(Bind(HostAddr("127.0.0.1", holder.Port())));
    EXPECT_FALSE(Bind(HostAddr("::1", 0))); // an IPv4 socket
    Flush();
    EXPECT_TRUE(m_log.Events().empty());
    // A later bind may still succeed.
    EXPECT_TRUE(Bind(HostAddr("127.0.0.1", 0)));
}

TEST_F(UdpSocketTest, LongDatagramsAreCutToTheBuffer)
{
    PlainUdp peer;
    const uint16_t port = BindAndLearnPort(peer);

    const std::string exact = Pattern(6144, 1);
    const std::string longer = Pattern(7000, 2);
    ASSERT_TRUE(peer.SendTo(port, exact));
    ASSERT_TRUE(peer.SendTo(port, longer));
    ASSERT_TRUE(m_log.WaitCount(Event::Data, 2));

    const std::vector<Event> evs = m_log.Events();
    EXPECT_EQ(exact, evs[0].bytes);
    EXPECT_EQ(longer.substr(0, 6144), evs[1].bytes);
}

TEST_F(UdpSocketTest, NamesAreResolvedForEachDatagram)
{
    ASSERT_TRUE(Bind(HostAddr(HostAddr::AnyV4, 0)));
    PlainUdp peer;
    // Only the first address found is used. Where the system lists ::1 first for "localhost",
    // this IPv4 socket cannot send there, and the datagram ends in one error instead.
    boost::asio::io_context io;
    boost::asio::ip::udp::resolver resolver(io);
    const bool v4First = resolver.resolve("localhost", "9").begin()->endpoint().address().is_v4();
    Send("by name", HostAddr("localhost", peer.Port()));
    if (v4First)
    {
        EXPECT_EQ("by name", peer.Receive());
        Flush();
        EXPECT_TRUE(m_log.Events().empty());
    }
    else
    {
        ASSERT_TRUE(m_log.WaitCount(Event::Error, 1));
        Flush();
        EXPECT_EQ(1u, m_log.Events().size());
        m_log.Clear();
    }
    Send("svc", HostAddr("svc://localhost", 0)); // a service text the system does not know
    // The unknown service fails resolution; the socket goes on working.
    ASSERT_TRUE(m_log.WaitCount(Event::Error, 1));
    Send("again", HostAddr("127.0.0.1", peer.Port()));
    EXPECT_EQ("again", peer.Receive());
}

TEST_F(UdpSocketTest, UnresolvableNameGivesOneError)
{
    ASSERT_TRUE(Bind(HostAddr(HostAddr::AnyV4, 0)));
    // A label longer than 63 characters: the resolver rejects the name without asking anybody.
    Send("x", HostAddr(std::string(64, 'b') + ".invalid", 9));
    ASSERT_TRUE(m_log.WaitCount(Event::Error, 1));
    Flush();
    EXPECT_EQ(1u, m_log.Events().size());
}

TEST_F(UdpSocketTest, SendFailureIsAnEventAndSendingGoesOn)
{
    ASSERT_TRUE(Bind(HostAddr(HostAddr::AnyV4, 0)));
    Send("v6", HostAddr("::1", 9)); // cannot leave an IPv4 socket
    ASSERT_TRUE(m_log.WaitCount(Event::Error, 1));
    const std::vector<Event> evs = m_log.Events();
    EXPECT_NE(0, evs[0].code);
    EXPECT_FALSE(evs[0].text.empty());

    PlainUdp peer;
    Send("v4", HostAddr("127.0.0.1", peer.Port()));
    EXPECT_EQ("v4", peer.Receive());
}

TEST_F(UdpSocketTest, DestroyingWithWorkPendingRaisesNoEvent)
{
    PlainUdp peer;
    m_thread.Call(
        [&]
        {
            ASSERT_TRUE(m_user->Socket().Bind(HostAddr(HostAddr::AnyV4, 0)));
            for (int i = 0; i < 20; ++i)
                m_user->Socket().SendData(ToBytes("pending"), HostAddr("127.0.0.1", peer.Port()));
            m_user->Socket().SendData(ToBytes("pending"), HostAddr("localhost", peer.Port()));
            m_user->Socket().SendData(ToBytes("pending"), HostAddr(std::string(64, 'c') + ".invalid", 9));
            m_user->DropSocket();
        });
    Flush();
    EXPECT_TRUE(m_log.Events().empty());
}

TEST(UdpSocketDeathTest, MisuseHalts)
{
    EXPECT_DEATH(
        {
            TestThread t;
            EventLog log;
            t.Call(
                [&]
                {
                    UdpUser user(log);
                    user.Socket().SendData(ToBytes("x"), HostAddr("127.0.0.1", 9));
                });
        },
        "m_binded");
    EXPECT_DEATH(
        {
            TestThread t;
            EventLog log;
            t.Call(
                [&]
                {
                    UdpUser user(log);
                    user.Socket().Bind(HostAddr(HostAddr::AnyV4, 0));
                    user.Socket().SendData(Utils::ByteArray(), HostAddr("127.0.0.1", 9));
                });
        },
        "!data.IsEmpty\\(\\)");
    EXPECT_DEATH(
        {
            TestThread t;
            EventLog log;
            t.Call(
                [&]
                {
                    UdpUser user(log);
                    user.Socket().Bind(HostAddr("localhost", 0));
                });
        },
        "TryConvertUdpEndPoint\\(host, localEp\\)");
}
