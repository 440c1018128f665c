#include <chrono>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include "StlTestUtils.h"

// Session rules between a client and a server over the in-memory link, with short time-outs
// (response 200 ms, ping 300 ms, so the server's watchdog is 500 ms) where time matters.

using namespace StlTest;
using std::chrono::milliseconds;

namespace
{

const std::string c_cli = "StlClient";
const std::string c_srv = "StlServer";
const int c_transpErr = DiscCause::dcTranspErr;
const int c_wrongHeader = DiscCause::dcWrongHeader;
const int c_rspTimeout = DiscCause::dcRspTimeout;
const int c_discRemote = DiscCause::dcDiscRemote;
const int c_discByUser = DiscCause::dcDiscByUser;

uint32_t Cmd(StlCmd c)
{
    return static_cast<uint32_t>(c.CastToInt());
}

long long Ms(Clock::duration d)
{
    return std::chrono::duration_cast<milliseconds>(d).count();
}

class StlSessionTest : public StlPairTest
{
protected:
    // The session as the client opened it: its id and both source ids.
    void Ids(uint32_t& session, uint64_t& cliSrc, uint64_t& srvSrc)
    {
        const WireTap::Packet c = m_c2s.Packets(StlCmd::cmdConnect).back();
        const WireTap::Packet s = m_s2c.Packets(StlCmd::cmdConnected).back();
        session = c.session;
        cliSrc = c.src;
        srvSrc = s.src;
    }

    // Number of the next packet each side expects (every packet of the session counts).
    uint16_t NextToSrv() { return static_cast<uint16_t>(m_c2s.Passed()); }
    uint16_t NextToCli() { return static_cast<uint16_t>(m_s2c.Passed()); }
};

// ------------------------------------------------------------------------------------------------
// Handshake

TEST_F(StlSessionTest, HandshakeOpensOneSessionOnBothSides)
{
    StartPair(Short(c_stlRoleClient), Short(c_stlRoleServer));

    const WireTap::Packet connect = m_c2s.Packets().front();
    EXPECT_EQ(Cmd(StlCmd::cmdConnect), connect.cmd);
    EXPECT_EQ(0, connect.num);
    EXPECT_NE(0u, connect.session);
    EXPECT_NE(0u, connect.src);
    EXPECT_EQ(0u, connect.size);

    const WireTap::Packet connected = m_s2c.Packets().front();
    EXPECT_EQ(Cmd(StlCmd::cmdConnected), connected.cmd);
    EXPECT_EQ(0, connected.num);
    EXPECT_EQ(connect.session, connected.session);
    EXPECT_NE(0u, connected.src);
    EXPECT_NE(connect.src, connected.src);

    EXPECT_EQ(connect.src, m_cliOwner.Events(OwnerRecorder::kConnected)[0].id);
    EXPECT_EQ(connected.src, m_srvOwner.Events(OwnerRecorder::kConnected)[0].id);
    EXPECT_EQ(1u, CliStat().m_sessions);
    EXPECT_EQ(1u, SrvStat().m_sessions);
    OnCli([&] { EXPECT_TRUE(m_cli->IsConnected()); });
    OnSrv([&] { EXPECT_TRUE(m_srv->IsConnected()); });
    EXPECT_TRUE(m_log.Has(c_cli, "Session Connected"));
    EXPECT_TRUE(m_log.Has(c_srv, "Session Connected"));

    // Every later packet of the client continues the numbering from 1.
    OnCli([&] { m_cli->SendData(Bytes(8, 1)); });
    ASSERT_TRUE(m_srvOwner.WaitCount(OwnerRecorder::kData, 1));
    const std::vector<WireTap::Packet> sent = m_c2s.Packets();
    ASSERT_GE(sent.size(), 2u);
    for (size_t i = 0; i < sent.size(); ++i)
    {
        EXPECT_EQ(i, sent[i].num);
        EXPECT_EQ(connect.session, sent[i].session);
    }
}

TEST_F(StlSessionTest, ServerRefusesAConnectWithoutSourceId)
{
    StartServer(Short(c_stlRoleServer));
    InjectToSrv(Frame(0, 77, 0, StlCmd::cmdConnect));
    OnSrv([] {});
    EXPECT_EQ(std::vector<int>({c_wrongHeader}), m_srvOwner.Causes());
    EXPECT_EQ(0, m_srvOwner.Count(OwnerRecorder::kConnected));
    EXPECT_EQ(0u, m_s2c.PieceSizes().size());
    EXPECT_EQ(1u, SrvStat().m_sessions); // taken up, then refused
    EXPECT_EQ("stInitialSrv", SrvState());
}

TEST_F(StlSessionTest, ServerDropsEverythingButConnectWhileIdle)
{
    StartServer(Short(c_stlRoleServer));
    InjectToSrv(Frame(5, 77, 0, StlCmd::cmdPing));
    InjectToSrv(Frame(5, 77, 0, StlCmd::cmdData, Bytes(3, 1)));
    OnSrv([] {});
    EXPECT_EQ(0u, m_s2c.PieceSizes().size());
    EXPECT_TRUE(m_srvOwner.Events().empty());
    EXPECT_EQ(0u, SrvStat().m_sessions);
    EXPECT_EQ(2u, SrvStat().m_received.Count());
}

TEST_F(StlSessionTest, DataInTheConnectChunkReachesTheOwnerAfterConnected)
{
    StartServer(Short(c_stlRoleServer));
    InjectToSrv(Concat(Frame(5, 77, 0, StlCmd::cmdConnect), Frame(5, 77, 1, StlCmd::cmdData, Bytes(3, 1))));
    ASSERT_TRUE(m_srvOwner.WaitCount(OwnerRecorder::kData, 1));
    const std::vector<OwnerRecorder::Event> events = m_srvOwner.Events();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(OwnerRecorder::kConnected, events[0].kind);
    EXPECT_EQ(OwnerRecorder::kData, events[1].kind);
    EXPECT_TRUE(events[1].data == Bytes(3, 1));
}

TEST_F(StlSessionTest, ViolationInTheConnectChunkClosesAfterConnected)
{
    StartServer(Short(c_stlRoleServer));
    // A valid connect, then data that skips number 1.
    InjectToSrv(Concat(Frame(5, 77, 0, StlCmd::cmdConnect), Frame(5, 77, 2, StlCmd::cmdData, Bytes(3, 1))));
    ASSERT_TRUE(m_srvOwner.WaitCount(OwnerRecorder::kDisconnected, 1));
    const std::vector<OwnerRecorder::Event> events = m_srvOwner.Events();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(OwnerRecorder::kConnected, events[0].kind);
    EXPECT_EQ(c_wrongHeader, events[1].cause);
    EXPECT_TRUE(m_log.Has(c_srv, "Wrong packet num 2"));
}

TEST_F(StlSessionTest, ConnectedIsNotReportedForASessionThatClosedFirst)
{
    StartServer(Short(c_stlRoleServer));
    // The transport's error is queued before the session's Connected notification.
    OnSrv(
        [&]
        {
            m_link.End(B).ReportError(L"lost");
            m_link.End(B).Inject(Frame(5, 77, 0, StlCmd::cmdConnect));
        });
    ASSERT_TRUE(m_srvOwner.WaitCount(OwnerRecorder::kDisconnected, 1));
    OnSrv([] {}); // the notification has run by now
    EXPECT_EQ(std::vector<int>({c_transpErr}), m_srvOwner.Causes());
    EXPECT_EQ(0, m_srvOwner.Count(OwnerRecorder::kConnected));
    EXPECT_TRUE(m_log.WaitText(c_srv, "Session closed before it was reported connected"));
}

TEST_F(StlSessionTest, BytesHeldForConnectedDieWithTheSession)
{
    StartServer(Short(c_stlRoleServer));
    OnSrv(
        [&]
        {
            m_link.End(B).Inject(Frame(5, 77, 0, StlCmd::cmdConnect));
            // Arrives while the owner has not yet heard Connected, so it waits behind it.
            m_link.End(B).Inject(Frame(5, 78, 0, StlCmd::cmdConnect));
            // Queued behind Connected: closes the session before the waiting bytes are parsed.
            m_link.End(B).ReportError(L"lost");
        });
    ASSERT_TRUE(m_srvOwner.WaitCount(OwnerRecorder::kDisconnected, 1));
    OnSrv([] {});
    OnSrv([] {}); // whatever parsing the waiting bytes would have posted has run
    EXPECT_EQ(std::vector<int>({c_transpErr}), m_srvOwner.Causes());
    EXPECT_EQ(1, m_srvOwner.Count(OwnerRecorder::kConnected));
    EXPECT_EQ(1u, SrvStat().m_sessions) << "a byte of the closed session opened another";
    EXPECT_EQ("stInitialSrv", SrvState());
}

// ------------------------------------------------------------------------------------------------
// Keep-alive and time-outs

TEST_F(StlSessionTest, ClientPingsEachPeriodAndServerAnswers)
{
    StartPair(Short(c_stlRoleClient), Short(c_stlRoleServer));
    ASSERT_TRUE(m_s2c.WaitCount(StlCmd::cmdPong, 3));
    const std::vector<WireTap::Packet> pings = m_c2s.Packets(StlCmd::cmdPing);
    ASSERT_GE(pings.size(), 3u);
    // Periodic, not a burst (a late tick may shorten the next gap).
    EXPECT_GE(Ms(pings[2].time - pings[0].time), 2 * 300 - 150);
    EXPECT_TRUE(m_cliOwner.Causes().empty());
    EXPECT_TRUE(m_srvOwner.Causes().empty());
    EXPECT_EQ(0u, m_s2c.Packets(StlCmd::cmdPing).size()); // the server never pings
    EXPECT_TRUE(m_log.Has(c_cli, "Start ping 300ms"));
}

TEST_F(StlSessionTest, LostPongsMakeTheClientStartANewSession)
{
    m_s2c.SetDrop([](const StlPacket& p) { return p.m_cmd == StlCmd::cmdPong; });
    StartPair(Short(c_stlRoleClient), Short(c_stlRoleServer));
    ASSERT_TRUE(m_cliOwner.WaitCount(OwnerRecorder::kDisconnected, 1));

    const WireTap::Packet ping = m_c2s.Packets(StlCmd::cmdPing).front();
    const OwnerRecorder::Event disc = m_cliOwner.Events(OwnerRecorder::kDisconnected).front();
    EXPECT_EQ(c_rspTimeout, disc.cause);
    EXPECT_GE(Ms(disc.time - ping.time), 200 - 20);
    EXPECT_LT(Ms(disc.time - ping.time), 2000);

    ASSERT_TRUE(m_c2s.WaitCount(StlCmd::cmdConnect, 2));
    const std::vector<WireTap::Packet> connects = m_c2s.Packets(StlCmd::cmdConnect);
    EXPECT_NE(connects[0].session, connects[1].session);
    EXPECT_NE(0u, connects[1].session);
    EXPECT_EQ(0, connects[1].num);
    EXPECT_TRUE(m_log.Has(c_cli, "Restart new session. Try connect again."));
    EXPECT_TRUE(m_log.Has(c_cli, "Close session: dcRspTimeout"));
}

TEST_F(StlSessionTest, LostPingsMakeTheServerGiveUp)
{
    m_c2s.SetDrop([](const StlPacket& p) { return p.m_cmd == StlCmd::cmdPing; });
    StartPair(Short(c_stlRoleClient), Short(c_stlRoleServer));
    ASSERT_TRUE(m_srvOwner.WaitCount(OwnerRecorder::kDisconnected, 1));

    const OwnerRecorder::Event connected = m_srvOwner.Events(OwnerRecorder::kConnected).front();
    const OwnerRecorder::Event disc = m_srvOwner.Events(OwnerRecorder::kDisconnected).front();
    EXPECT_EQ(c_rspTimeout, disc.cause);
    EXPECT_GE(Ms(disc.time - connected.time), 500 - 40);
    EXPECT_TRUE(m_log.Has(c_srv, "RxPing timeout"));
    ASSERT_TRUE(m_log.WaitText(c_srv, "Change state: stConnected->stInitialSrv"));
}

TEST_F(StlSessionTest, UnansweredConnectIsResentWithinTheSameSession)
{
    m_c2s.SetDrop([](const StlPacket&) { return true; });
    StartServer(Short(c_stlRoleServer));
    StartClient(Short(c_stlRoleClient));
    ASSERT_TRUE(m_c2s.WaitCount(StlCmd::cmdConnect, 4));

    const std::vector<WireTap::Packet> connects = m_c2s.Packets(StlCmd::cmdConnect);
    for (size_t i = 0; i < 4; ++i)
    {
        EXPECT_EQ(i, connects[i].num);
        EXPECT_EQ(connects[0].session, connects[i].session);
        if (i > 0)
        {
            EXPECT_GE(Ms(connects[i].time - connects[i - 1].time), 200 - 20);
        }
    }
    ASSERT_TRUE(m_log.WaitText(c_cli, "No transition for EvConnectCmd in state stWaitConnected", 3));
    EXPECT_GE(m_log.CountText(c_cli, "Connection timeout. Try connect again."), 3);
    EXPECT_TRUE(m_cliOwner.Events().empty());
    EXPECT_EQ(1u, CliStat().m_sessions);
}

// ------------------------------------------------------------------------------------------------
// Numbering and identity

TEST_F(StlSessionTest, ServerClosesOnAPacketNumberAhead)
{
    StartPair(Long(c_stlRoleClient), Long(c_stlRoleServer));
    uint32_t session;
    uint64_t cliSrc, srvSrc;
    Ids(session, cliSrc, srvSrc);
    const uint16_t next = NextToSrv();

    InjectToSrv(Frame(cliSrc, session, next, StlCmd::cmdData, Bytes(5, 1)));
    EXPECT_EQ(1, m_srvOwner.Count(OwnerRecorder::kData)); // in sequence: taken

    InjectToSrv(Frame(cliSrc, session, next + 2, StlCmd::cmdData, Bytes(5, 2)));
    EXPECT_EQ(1, m_srvOwner.Count(OwnerRecorder::kData));
    EXPECT_EQ(std::vector<int>({c_wrongHeader}), m_srvOwner.Causes());
    EXPECT_TRUE(m_log.Has(c_srv, "Wrong packet num " + std::to_string(next + 2)));
    ASSERT_TRUE(m_log.WaitText(c_srv, "Change state: stConnected->stInitialSrv"));
    OnSrv([&] { EXPECT_FALSE(m_srv->IsConnected()); });
}

TEST_F(StlSessionTest, ClientStartsANewSessionOnAPacketNumberAhead)
{
    StartPair(Long(c_stlRoleClient), Long(c_stlRoleServer));
    uint32_t session;
    uint64_t cliSrc, srvSrc;
    Ids(session, cliSrc, srvSrc);

    InjectToCli(Frame(srvSrc, session, NextToCli() + 1, StlCmd::cmdData, Bytes(5, 1)));
    EXPECT_EQ(std::vector<int>({c_wrongHeader}), m_cliOwner.Causes());
    EXPECT_EQ(0, m_cliOwner.Count(OwnerRecorder::kData));
    EXPECT_TRUE(m_log.Has(c_cli, "Wrong packet num " + std::to_string(NextToCli() + 1)));

    ASSERT_TRUE(m_c2s.WaitCount(StlCmd::cmdConnect, 2));
    const WireTap::Packet again = m_c2s.Packets(StlCmd::cmdConnect).back();
    EXPECT_NE(session, again.session);
    EXPECT_EQ(0, again.num);
    EXPECT_EQ(2u, CliStat().m_sessions);
}

TEST_F(StlSessionTest, ForeignSourceIdBreaksTheSession)
{
    StartPair(Long(c_stlRoleClient), Long(c_stlRoleServer));
    uint32_t session;
    uint64_t cliSrc, srvSrc;
    Ids(session, cliSrc, srvSrc);
    InjectToSrv(Frame(cliSrc + 1, session, NextToSrv(), StlCmd::cmdData, Bytes(5, 1)));
    EXPECT_EQ(std::vector<int>({c_wrongHeader}), m_srvOwner.Causes());
    EXPECT_TRUE(m_log.Has(c_srv, "Unexpected source id " + std::to_string(cliSrc + 1)));
    EXPECT_EQ(0, m_srvOwner.Count(OwnerRecorder::kData));
}

TEST_F(StlSessionTest, ForeignSessionIdIsDroppedAndNumberingGoesOn)
{
    StartPair(Long(c_stlRoleClient), Long(c_stlRoleServer));
    uint32_t session;
    uint64_t cliSrc, srvSrc;
    Ids(session, cliSrc, srvSrc);
    const uint16_t next = NextToSrv();

    InjectToSrv(Frame(cliSrc, session + 1, next, StlCmd::cmdData, Bytes(5, 1)));
    EXPECT_TRUE(m_log.Has(c_srv, "Unexpected session id " + std::to_string(uint32_t(session + 1))));
    InjectToSrv(Frame(cliSrc, session, next, StlCmd::cmdData, Bytes(6, 2)));
    EXPECT_TRUE(m_srvOwner.Causes().empty());
    ASSERT_EQ(1, m_srvOwner.Count(OwnerRecorder::kData));
    EXPECT_EQ(6u, m_srvOwner.Events(OwnerRecorder::kData)[0].data.Size());

    // The same on the client side.
    InjectToCli(Frame(srvSrc, session + 1, NextToCli(), StlCmd::cmdData, Bytes(5, 1)));
    EXPECT_TRUE(m_log.Has(c_cli, "Unexpected session id " + std::to_string(uint32_t(session + 1))));
    EXPECT_TRUE(m_cliOwner.Causes().empty());
    EXPECT_EQ(0, m_cliOwner.Count(OwnerRecorder::kData));
}

TEST_F(StlSessionTest, UnknownCommandIsCountedButRaisesNothing)
{
    StartPair(Long(c_stlRoleClient), Long(c_stlRoleServer));
    uint32_t session;
    uint64_t cliSrc, srvSrc;
    Ids(session, cliSrc, srvSrc);
    const uint16_t next = NextToSrv();

    StlPacket odd(cliSrc, session, next, StlCmd::cmdPing, Utils::ByteArray());
    odd.m_cmd = 9;
    InjectToSrv(StlPacketSerializer::Serialize(odd));
    InjectToSrv(Frame(cliSrc, session, next + 1, StlCmd::cmdData, Bytes(5, 1)));
    EXPECT_TRUE(m_srvOwner.Causes().empty());
    EXPECT_EQ(1, m_srvOwner.Count(OwnerRecorder::kData));
    EXPECT_EQ(0u, m_s2c.Packets(StlCmd::cmdPong).size());
}

TEST_F(StlSessionTest, NewClientSessionReachingABusyServerEndsTheOldOneAndGetsIn)
{
    StartPair(Short(c_stlRoleClient), Short(c_stlRoleServer));
    uint32_t session;
    uint64_t cliSrc, srvSrc;
    Ids(session, cliSrc, srvSrc);

    InjectToSrv(Frame(cliSrc, session + 1, 0, StlCmd::cmdConnect));
    EXPECT_EQ(std::vector<int>({c_wrongHeader}), m_srvOwner.Causes());
    EXPECT_TRUE(m_log.Has(c_srv, "Unexpected session id " + std::to_string(uint32_t(session + 1))));

    // The client's pings now go unanswered; it restarts and the free server takes it.
    ASSERT_TRUE(m_cliOwner.WaitCount(OwnerRecorder::kConnected, 2));
    ASSERT_TRUE(m_srvOwner.WaitCount(OwnerRecorder::kConnected, 2));
    EXPECT_EQ(c_rspTimeout, m_cliOwner.Causes().front());
    EXPECT_EQ(2u, SrvStat().m_sessions);
}

TEST_F(StlSessionTest, NumbersWrapPast65535InBothDirections)
{
    m_log.Quiet();
    m_c2s.SetRecordPackets(false);
    m_s2c.SetRecordPackets(false);
    m_cliOwner.SetKeepData(false);
    m_srvOwner.SetKeepData(false);
    StartPair(Long(c_stlRoleClient), Long(c_stlRoleServer), true);

    const int total = 65536 + 100;
    const int batch = 4096;
    for (int sent = 0; sent < total; sent += batch)
    {
        const int n = std::min(batch, total - sent);
        OnCli(
            [&]
            {
                for (int i = 0; i < n; ++i)
                    m_cli->SendData(Bytes(4, static_cast<uint8_t>(i)));
            });
        // Keep the queues short: wait for this batch's echoes.
        ASSERT_TRUE(m_cliOwner.WaitCount(OwnerRecorder::kData, sent + n)) << sent;
    }
    EXPECT_EQ(total, m_srvOwner.Count(OwnerRecorder::kData));
    EXPECT_EQ(1u, m_c2s.Wraps());
    EXPECT_EQ(1u, m_s2c.Wraps());
    EXPECT_TRUE(m_cliOwner.Causes().empty());
    EXPECT_TRUE(m_srvOwner.Causes().empty());
    OnCli([&] { EXPECT_TRUE(m_cli->IsConnected()); });
    EXPECT_EQ(1u, CliStat().m_sessions);
}

// ------------------------------------------------------------------------------------------------
// Receiving: every complete packet of a chunk is taken

TEST_F(StlSessionTest, TwoFramesInOneChunkAreBothDelivered)
{
    StartPair(Long(c_stlRoleClient), Long(c_stlRoleServer));
    uint32_t session;
    uint64_t cliSrc, srvSrc;
    Ids(session, cliSrc, srvSrc);
    const uint16_t next = NextToCli();
    InjectToCli(Concat(Frame(srvSrc, session, next, StlCmd::cmdData, Bytes(10, 1)),
                       Frame(srvSrc, session, next + 1, StlCmd::cmdData, Bytes(11, 2))));
    ASSERT_EQ(2, m_cliOwner.Count(OwnerRecorder::kData));
    EXPECT_EQ(11u, m_cliOwner.Events(OwnerRecorder::kData)[1].data.Size());
}

TEST_F(StlSessionTest, PacketBehindAFalseStartIsDeliveredWithoutMoreBytes)
{
    StartPair(Long(c_stlRoleClient), Long(c_stlRoleServer));
    uint32_t session;
    uint64_t cliSrc, srvSrc;
    Ids(session, cliSrc, srvSrc);

    // A magic with a broken header, then a good frame, in one chunk.
    Utils::ByteArray chunk = Frame(srvSrc, session, 999, StlCmd::cmdPing);
    chunk.MutableData()[30] ^= 0xFF;
    chunk = Concat(chunk, Frame(srvSrc, session, NextToCli(), StlCmd::cmdData, Bytes(7, 1)));
    InjectToCli(chunk);
    EXPECT_EQ(1, m_cliOwner.Count(OwnerRecorder::kData));
    EXPECT_TRUE(m_cliOwner.Causes().empty());
}

TEST_F(StlSessionTest, ByteByByteDeliveryGivesThePacketOnTheLastByte)
{
    StartPair(Long(c_stlRoleClient), Long(c_stlRoleServer));
    uint32_t session;
    uint64_t cliSrc, srvSrc;
    Ids(session, cliSrc, srvSrc);
    const Utils::ByteArray frame = Frame(cliSrc, session, NextToSrv(), StlCmd::cmdData, Bytes(40, 1));
    OnSrv(
        [&]
        {
            for (uint64_t i = 0; i < frame.Size(); ++i)
            {
                EXPECT_EQ(0, m_srvOwner.Count(OwnerRecorder::kData)) << i;
                m_link.End(B).Inject(Utils::ByteArray(frame.Data() + i, 1));
            }
        });
    EXPECT_EQ(1, m_srvOwner.Count(OwnerRecorder::kData));
}

// ------------------------------------------------------------------------------------------------
// Disconnect handshake

TEST_F(StlSessionTest, ClientDisconnectIsConfirmedAndTheClientStaysDown)
{
    StartPair(Short(c_stlRoleClient), Short(c_stlRoleServer));
    OnCli([&] { m_cli->Disconnect(); });
    ASSERT_TRUE(m_cliOwner.WaitCount(OwnerRecorder::kDisconnected, 1));
    ASSERT_TRUE(m_srvOwner.WaitCount(OwnerRecorder::kDisconnected, 1));

    EXPECT_EQ(1u, m_c2s.Packets(StlCmd::cmdDisc).size());
    EXPECT_EQ(1u, m_s2c.Packets(StlCmd::cmdDisconnected).size());
    EXPECT_EQ(std::vector<int>({c_discRemote}), m_srvOwner.Causes());
    EXPECT_EQ(std::vector<int>({c_discByUser}), m_cliOwner.Causes());
    EXPECT_TRUE(m_log.Has(c_cli, "Begin Disc flow"));
    EXPECT_TRUE(m_log.Has(c_cli, "Change state: stConnected->stWaitDisc"));
    // Disconnected is reported just before the switch of state.
    EXPECT_TRUE(m_log.WaitText(c_cli, "Change state: stWaitDisc->stInitialCli"));
    EXPECT_TRUE(m_log.WaitText(c_srv, "Change state: stConnected->stInitialSrv"));

    // Nothing restarts the client (three response time-outs).
    EXPECT_FALSE(m_c2s.WaitCount(StlCmd::cmdConnect, 2, milliseconds(600)));
    EXPECT_EQ(1u, m_cliOwner.Causes().size());
    OnCli([&] { EXPECT_FALSE(m_cli->IsConnected()); });

    // Until the owner asks.
    OnCli([&] { m_cli->Connect(); });
    ASSERT_TRUE(m_cliOwner.WaitCount(OwnerRecorder::kConnected, 2));
}

TEST_F(StlSessionTest, ServerDisconnectClosesTheClientWithoutRestart)
{
    StartPair(Short(c_stlRoleClient), Short(c_stlRoleServer));
    OnSrv([&] { m_srv->Disconnect(); });
    ASSERT_TRUE(m_srvOwner.WaitCount(OwnerRecorder::kDisconnected, 1));
    ASSERT_TRUE(m_cliOwner.WaitCount(OwnerRecorder::kDisconnected, 1));
    EXPECT_EQ(std::vector<int>({c_discByUser}), m_srvOwner.Causes());
    EXPECT_EQ(std::vector<int>({c_discRemote}), m_cliOwner.Causes());
    EXPECT_TRUE(m_log.WaitText(c_srv, "Change state: stWaitDisc->stInitialSrv"));
    EXPECT_TRUE(m_log.WaitText(c_cli, "Change state: stConnected->stInitialCli"));
    EXPECT_FALSE(m_c2s.WaitCount(StlCmd::cmdConnect, 2, milliseconds(600)));
    EXPECT_EQ("stInitialCli", CliState());
}

TEST_F(StlSessionTest, UnconfirmedDisconnectClosesWithTheTimeOutAndDoesNotRestart)
{
    m_s2c.SetDrop([](const StlPacket& p) { return p.m_cmd == StlCmd::cmdDisconnected; });
    StartPair(Short(c_stlRoleClient), Short(c_stlRoleServer));
    OnCli([&] { m_cli->Disconnect(); });
    ASSERT_TRUE(m_cliOwner.WaitCount(OwnerRecorder::kDisconnected, 1));
    EXPECT_EQ(std::vector<int>({c_rspTimeout}), m_cliOwner.Causes());
    EXPECT_FALSE(m_c2s.WaitCount(StlCmd::cmdConnect, 2, milliseconds(600)));
    EXPECT_EQ(1u, m_cliOwner.Causes().size());
    EXPECT_TRUE(m_log.Has(c_cli, "Change state: stWaitDisc->stInitialCli"));
    EXPECT_EQ("stInitialCli", CliState());
    EXPECT_EQ(1u, CliStat().m_sessions);
}

TEST_F(StlSessionTest, DataInWaitDiscIsNotDelivered)
{
    m_s2c.SetDrop([](const StlPacket& p) { return p.m_cmd == StlCmd::cmdDisconnected; });
    StartPair(Long(c_stlRoleClient), Long(c_stlRoleServer));
    uint32_t session;
    uint64_t cliSrc, srvSrc;
    Ids(session, cliSrc, srvSrc);
    OnCli([&] { m_cli->Disconnect(); });
    OnCli(
        [&]
        {
            EXPECT_FALSE(m_cli->IsConnected());
            m_cli->SendData(Bytes(3, 1));
        });
    ASSERT_TRUE(m_srvOwner.WaitCount(OwnerRecorder::kDisconnected, 1));
    EXPECT_TRUE(m_log.Has(c_cli, "User try Send data in state stWaitDisc. Ignore."));
    InjectToCli(Frame(srvSrc, session, NextToCli(), StlCmd::cmdData, Bytes(5, 1)));
    EXPECT_EQ(0, m_cliOwner.Count(OwnerRecorder::kData));
    EXPECT_TRUE(m_log.Has(c_cli, "No transition for EvRxData in state stWaitDisc"));
}

// ------------------------------------------------------------------------------------------------
// Transport errors

TEST_F(StlSessionTest, TransportErrorOnTheClientWaitsForTheTransportThenReconnects)
{
    StartPair(Short(c_stlRoleClient), Short(c_stlRoleServer));
    const uint32_t first = m_c2s.Packets(StlCmd::cmdConnect).front().session;
    OnCli([&] { m_link.End(A).ReportError(L"link lost"); });
    ASSERT_TRUE(m_cliOwner.WaitCount(OwnerRecorder::kDisconnected, 1));
    EXPECT_EQ(std::vector<int>({c_transpErr}), m_cliOwner.Causes());
    ASSERT_TRUE(m_log.WaitState(c_cli, "stInitialCli", "stWaitTranspCli"));
    EXPECT_TRUE(m_log.Has(c_cli, "Transport OnError with cause link lost"));
    EXPECT_FALSE(m_c2s.WaitCount(StlCmd::cmdConnect, 2, milliseconds(400)));

    OnCli([&] { m_link.End(A).SetConnected(true); });
    // The server still holds the old session: the new connect ends it, the next one gets in.
    ASSERT_TRUE(m_cliOwner.WaitCount(OwnerRecorder::kConnected, 2));
    ASSERT_TRUE(m_srvOwner.WaitCount(OwnerRecorder::kConnected, 2));
    EXPECT_NE(first, m_c2s.Packets(StlCmd::cmdConnect).back().session);
    EXPECT_EQ(std::vector<int>({c_wrongHeader}), m_srvOwner.Causes());
    EXPECT_EQ(1u, m_cliOwner.Causes().size());

    // The new session carries data both ways again.
    OnCli([&] { m_cli->SendData(Bytes(5000, 4)); });
    ASSERT_TRUE(m_srvOwner.WaitCount(OwnerRecorder::kData, 1));
    EXPECT_TRUE(m_srvOwner.Events(OwnerRecorder::kData)[0].data == Bytes(5000, 4));
}

TEST_F(StlSessionTest, TransportErrorOnTheServerClosesItsSession)
{
    StartPair(Long(c_stlRoleClient), Long(c_stlRoleServer));
    OnSrv([&] { m_link.End(B).ReportError(L"gone"); });
    ASSERT_TRUE(m_srvOwner.WaitCount(OwnerRecorder::kDisconnected, 1));
    EXPECT_EQ(std::vector<int>({c_transpErr}), m_srvOwner.Causes());
    ASSERT_TRUE(m_log.WaitText(c_srv, "Change state: stConnected->stInitialSrv"));
}

TEST_F(StlSessionTest, TransportErrorWithoutSessionIsStillReported)
{
    // A client that waits for its transport has no session; the error still closes "it".
    m_link.Call(A, [&] { m_link.End(A).ReportError(L"down"); });
    StartClient(Short(c_stlRoleClient));
    ASSERT_TRUE(m_log.WaitState(c_cli, "stInitialCli", "stWaitTranspCli"));
    OnCli([&] { m_link.End(A).ReportError(L"still down"); });
    ASSERT_TRUE(m_cliOwner.WaitCount(OwnerRecorder::kDisconnected, 1));
    EXPECT_EQ(std::vector<int>({c_transpErr}), m_cliOwner.Causes());
    ASSERT_TRUE(m_log.WaitText(c_cli, "Change state: stInitialCli->stWaitTranspCli", 2));
    EXPECT_EQ(0u, m_c2s.PieceSizes().size());
}

} // namespace

// ------------------------------------------------------------------------------------------------
// Sending data that waits together

TEST_F(StlSessionTest, FramesSentTogetherShareFullPieces)
{
    StartPair(Long(c_stlRoleClient), Long(c_stlRoleServer));
    const size_t piecesBefore = m_c2s.PieceSizes().size();
    const auto framesBefore = CliStat().m_sent.Count();

    const std::vector<Utils::ByteArray> batch = {Bytes(4096, 1), Bytes(4096, 2), Bytes(100, 3)};
    OnCli([&] { m_cli->SendDataBatch(batch); });
    ASSERT_TRUE(m_srvOwner.WaitCount(OwnerRecorder::kData, 3));

    // 3 frames, 8388 bytes: five full pieces and the rest, where cutting each frame apart would
    // have taken seven.
    const std::vector<uint64_t> all = m_c2s.PieceSizes();
    const std::vector<uint64_t> pieces(all.begin() + piecesBefore, all.end());
    EXPECT_EQ((std::vector<uint64_t>{1600, 1600, 1600, 1600, 1600, 388}), pieces);
    EXPECT_EQ(framesBefore + 3, CliStat().m_sent.Count());
    const auto data = m_srvOwner.Events(OwnerRecorder::kData);
    for (size_t i = 0; i < batch.size(); ++i)
        EXPECT_TRUE(data[i].data == batch[i]) << i;
}
