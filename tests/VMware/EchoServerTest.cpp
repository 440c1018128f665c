#include <functional>
#include <memory>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include "VMware/Client/EchoServer.h"
#include "VdiCommon/BridgeTestUtils.h"
#include "iCore/ThreadRunnerFunc.h"

namespace
{

using namespace BridgeTest;
using Tests::Vdi::Client::VdiTestEchoServer;
using VdiCommon::ILowLevelTransport;
using VdiCommon::SendDataRes;

// What the echo server sent, and its listener face to announce and deliver with.
struct EchoWorld
{
    Recorder rec;
    iCore::MsgThread* thread = nullptr;
    VdiCommon::ILowLevelTransportEvents* events = nullptr;
    VdiTestEchoServer* server = nullptr;
    std::vector<std::string> sent;
    int starts = 0;
};

class FakeLl : public ILowLevelTransport, public iCore::MsgObject
{
public:
    FakeLl(EchoWorld& w, VdiCommon::ILowLevelTransportEvents& events) : m_w(w) { m_w.events = &events; }
    void SendPacket(const Utils::ByteArray& data, const SendCallback& cb) override
    {
        m_w.rec.Update([&] { m_w.sent.push_back(ToStr(data)); });
        PutFunctor([cb] { cb(SendDataRes(SendDataRes::Ok)); });
    }
    void Start() override { ++m_w.starts; }

private:
    EchoWorld& m_w;
};

// Unsigned 32-bit little-endian counters from..from+count-1.
std::string Counters(uint32_t from, uint32_t count)
{
    std::string s;
    for (uint32_t v = from; v < from + count; ++v)
        for (int i = 0; i < 4; ++i)
            s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}

class EchoServerTest : public ::testing::Test
{
protected:
    void Start(bool withTransport = true)
    {
        EchoWorld* w = &m_w;
        m_runner = std::make_unique<iCore::ThreadRunnerFunc>(
            iCore::ThreadRunnerFuncProfile(0, "EchoTest", 3, 0, 10000, false),
            [w, withTransport](iCore::MsgThread& t)
            {
                w->thread = &t;
                w->server = new VdiTestEchoServer(
                    [w, withTransport](const VdiCommon::LlEnvToCreate& env)
                    {
                        return withTransport ? std::unique_ptr<ILowLevelTransport>(
                                                   std::make_unique<FakeLl>(*w, env.m_events))
                                             : std::unique_ptr<ILowLevelTransport>();
                    });
            });
    }

    void Run(const std::function<void()>& fn)
    {
        ASSERT_TRUE(iCore::MsgThreadFnBlocked(*m_w.thread, [&](iCore::MsgThread&) { fn(); }));
    }
    void Announce(bool connected, uint64_t size)
    {
        Run([&] { m_w.events->OnConnected(connected, size); });
    }
    void Deliver(const std::string& s)
    {
        Run([&] { m_w.events->OnDataReceived(ToBytes(s)); });
    }
    uint32_t Expected()
    {
        uint32_t e = 0;
        Run([&] { e = m_w.server->Expected(); });
        return e;
    }
    std::vector<std::string> Sent()
    {
        Run([] {}); // the echo is a later message
        return m_w.rec.Read([&] { return m_w.sent; });
    }

    LogCapture m_log;
    EchoWorld m_w;
    std::unique_ptr<iCore::ThreadRunnerFunc> m_runner;
};

TEST_F(EchoServerTest, CountsAFullCycleAndStartsAgain)
{
    Start();
    EXPECT_EQ(1, m_w.starts);
    EXPECT_TRUE(m_log.Has("EchoServer starting."));
    Announce(true, 1600);
    EXPECT_TRUE(m_log.Has("OnConnected: true"));
    EXPECT_TRUE(m_log.Has("Client side max buffer lenght: 1600"));

    Deliver(Counters(0, 100));
    EXPECT_EQ(1u, m_log.Count("Packet received, percent: 1.0"));
    for (uint32_t v = 100; v < 10000; v += 400)
        Deliver(Counters(v, 400));
    EXPECT_EQ(1u, m_log.Count("Packet received, percent: 100"));
    EXPECT_EQ(1u, m_log.Count("==========================="));
    EXPECT_EQ(0u, Expected());
    EXPECT_EQ(0u, m_log.Count("Test failed"));
}

TEST_F(EchoServerTest, BrokenSequenceIsReportedAndTheRestOfThePacketSkipped)
{
    Start();
    Announce(true, 1600);
    std::string p = Counters(0, 10);
    p[8] = 7; // the third counter reads 7
    Deliver(p);
    EXPECT_EQ(1u, m_log.Count("Test failed. Invalid number sequence, expected 2, actual 7."));
    EXPECT_EQ(1u, m_log.Count("Packet received, percent: 0.0"));
    EXPECT_EQ(2u, Expected());

    // A reconnection starts the count again.
    Announce(false, 0);
    Announce(true, 1600);
    EXPECT_EQ(0u, Expected());
}

TEST_F(EchoServerTest, OnlyWholeCountersAreExamined)
{
    Start();
    Announce(true, 1600);
    Deliver(Counters(0, 1) + "xy");
    EXPECT_EQ(1u, Expected());
    Deliver("abc");
    EXPECT_EQ(1u, Expected());
    EXPECT_EQ(0u, m_log.Count("Test failed"));
}

TEST_F(EchoServerTest, EchoesWholeOrInPiecesOfTheAnnouncedSize)
{
    Start();
    Announce(true, 1600);
    const std::string full = Pattern(1600, 1);
    Deliver(full);
    EXPECT_EQ(std::vector<std::string>({full}), Sent());

    Announce(false, 0);
    Announce(true, 400);
    const std::string big = Pattern(1000, 2);
    Deliver(big);
    const std::vector<std::string> sent = Sent();
    ASSERT_EQ(4u, sent.size());
    EXPECT_EQ(big.substr(0, 400), sent[1]);
    EXPECT_EQ(big.substr(400, 400), sent[2]);
    EXPECT_EQ(big.substr(800), sent[3]);
    Run([] {});
    EXPECT_TRUE(m_log.Has("SendDataRes: Ok"));
}

TEST_F(EchoServerTest, NothingIsEchoedIntoAClosedChannel)
{
    Start();
    Deliver(Pattern(10, 3)); // before any announcement
    EXPECT_TRUE(Sent().empty());
    EXPECT_EQ(1u, m_log.Count("Echo of 10 bytes dropped: the channel is not connected"));
}

TEST_F(EchoServerTest, WithoutATransportTheThreadEnds)
{
    Start(false);
    EXPECT_TRUE(m_runner->WaitFinished());
    EXPECT_EQ(1u, m_log.Count("Something went wrong, cannot create Citrix env"));
    EXPECT_EQ(0u, m_log.Count("EchoServer starting."));
}

TEST(EchoServerSplitTest, PiecesInOrderTheLastHoldsTheRest)
{
    const std::string s = Pattern(1001, 4);
    const std::vector<Utils::ByteArray> pieces = VdiTestEchoServer::SplitPacket(ToBytes(s), 250);
    ASSERT_EQ(5u, pieces.size());
    std::string joined;
    for (const Utils::ByteArray& p : pieces)
        joined += ToStr(p);
    EXPECT_EQ(s, joined);
    EXPECT_EQ(1u, pieces.back().Size());
}

} // namespace
