#include <string>
#include <vector>
#include <gtest/gtest.h>
#include "StlTestUtils.h"

// The connection as its owner and its transport see it: construction, statistics, identifiers,
// sending and cutting of large frames.

using namespace StlTest;

namespace
{

const std::string c_cli = "StlClient";
const std::string c_srv = "StlServer";

class StlConnectionTest : public StlPairTest
{
};

class StlConnectionDownTest : public StlPairTest
{
protected:
    StlConnectionDownTest() : StlPairTest(false) {}
};

// ------------------------------------------------------------------------------------------------
// Construction

TEST_F(StlConnectionTest, StatisticsRightAfterConstructionHoldOnlyThePacketSize)
{
    StartServer(Settings(c_stlRoleServer, 0x100000640ull, 200, 300));
    const StlStatistics s = SrvStat();
    EXPECT_EQ(0x640u, s.m_maxPacketSize); // the low 32 bits
    EXPECT_EQ(0u, s.m_sessions);
    EXPECT_TRUE(s.m_sent.Empty());
    EXPECT_TRUE(s.m_received.Empty());
    EXPECT_EQ("", s.m_sent.Name());
}

TEST_F(StlConnectionDownTest, ClientOverATransportThatIsDownWaitsAndThenConnects)
{
    StartClient(Short(c_stlRoleClient));
    ASSERT_TRUE(m_log.WaitState(c_cli, "stInitialCli", "stWaitTranspCli"));
    OnCli([] {}); // whatever the client posted has run
    EXPECT_EQ(0u, m_c2s.PieceSizes().size());
    EXPECT_EQ(0u, CliStat().m_sessions);

    OnCli([&] { m_link.End(A).SetConnected(true); });
    ASSERT_TRUE(m_c2s.WaitCount(StlCmd::cmdConnect, 1));
    const WireTap::Packet p = m_c2s.Packets().front();
    EXPECT_EQ(static_cast<uint32_t>(StlCmd::cmdConnect), p.cmd);
    EXPECT_EQ(0, p.num);
    EXPECT_NE(0u, p.session);
    EXPECT_NE(0u, p.src);
    EXPECT_EQ(0u, p.size);
    EXPECT_EQ(1u, CliStat().m_sessions);
    EXPECT_TRUE(m_log.Has(c_cli, "Transport connected."));
    EXPECT_TRUE(m_log.Has(c_cli, "EvWaitTranspCmd in state stInitialCli"));
}

TEST_F(StlConnectionTest, ServerSendsNothingAndIgnoresConnect)
{
    StartServer(Short(c_stlRoleServer));
    OnSrv([&] { m_srv->Connect(); });
    EXPECT_EQ(0u, m_s2c.PieceSizes().size());
    EXPECT_EQ("stInitialSrv", SrvState());
    const std::vector<std::string> texts = m_log.Texts(c_srv);
    ASSERT_EQ(3u, texts.size());
    EXPECT_EQ(0u, texts[0].find("SrcId = "));
    EXPECT_EQ("EvConnectCmd in state stInitialSrv", texts[1]);
    EXPECT_EQ("No transition for EvConnectCmd in state stInitialSrv", texts[2]);
    EXPECT_EQ(0, m_srvOwner.Count(OwnerRecorder::kDisconnected));
}

TEST_F(StlConnectionTest, ClientOverAConnectedTransportThatAlsoReportsConnectedStartsOneSession)
{
    StartServer(Long(c_stlRoleServer));
    m_link.Call(A,
                [&]
                {
                    m_link.End(A).SetSendFilter(m_c2s.Filter());
                    m_cli.reset(
                        new StlConnection(Long(c_stlRoleClient), m_log.Parent(), m_cliOwner, m_link.End(A)));
                    m_link.End(A).SetConnected(true);
                });
    ASSERT_TRUE(m_log.WaitText(c_cli, "No transition for EvConnectCmd in state stWaitConnected"));
    ASSERT_TRUE(m_cliOwner.WaitCount(OwnerRecorder::kConnected, 1));
    EXPECT_EQ(1u, m_c2s.Packets(StlCmd::cmdConnect).size());
    EXPECT_EQ(1u, CliStat().m_sessions);
}

TEST_F(StlConnectionTest, SourceIdsAreNonZeroAndDifferPerConnection)
{
    StartServer(Short(c_stlRoleServer));
    std::unique_ptr<StlConnection> second;
    OwnerRecorder secondOwner;
    YrLogV2::Log otherParent(m_log.Parent(), "second");
    OnSrv(
        [&]
        {
            second = std::make_unique<StlConnection>(Short(c_stlRoleServer), otherParent, secondOwner,
                                                     m_link.End(B));
        });
    // The second registered itself with the transport in place of the first: leave it unused.
    OnSrv(
        [&]
        {
            second.reset();
            m_link.End(B).ClearUser();
        });

    const std::string prefix = "SrcId = ";
    const std::vector<std::string> a = m_log.Texts(c_srv);
    const std::vector<std::string> b = m_log.Texts("second." + c_srv);
    ASSERT_FALSE(a.empty());
    ASSERT_FALSE(b.empty());
    ASSERT_EQ(0u, a[0].find(prefix));
    ASSERT_EQ(0u, b[0].find(prefix));
    const uint64_t idA = std::stoull(a[0].substr(prefix.size()));
    const uint64_t idB = std::stoull(b[0].substr(prefix.size()));
    EXPECT_NE(0u, idA);
    EXPECT_NE(0u, idB);
    EXPECT_NE(idA, idB);
}

TEST(StlConnectionDeathTest, MaximumPacketSizeOfZeroIsRefused)
{
    EXPECT_EXIT(
        {
            MemoryLink link;
            OwnerRecorder owner;
            YrLogV2::Log log(YrLogV2::LogRoot::RootLog(), "StlDeath");
            link.Call(MemoryLink::SideA,
                      [&] {
                          StlConnection c(Settings(c_stlRoleClient, 0, 200, 300), log, owner,
                                          link.End(MemoryLink::SideA));
                      });
        },
        ::testing::ExitedWithCode(3), "maxPacketSize > 0");
}

// ------------------------------------------------------------------------------------------------
// Sending

TEST_F(StlConnectionTest, LargeDataIsCutIntoPiecesOfTheMaximumSizeAndArrivesWhole)
{
    StartPair(Long(c_stlRoleClient), Long(c_stlRoleServer));
    const StlStatistics before = CliStat();
    const size_t piecesBefore = m_c2s.PieceSizes().size();

    const Utils::ByteArray data = Bytes(5000, 3);
    OnCli([&] { m_cli->SendData(data); });
    ASSERT_TRUE(m_srvOwner.WaitCount(OwnerRecorder::kData, 1));

    const std::vector<uint64_t> pieces = m_c2s.PieceSizes();
    EXPECT_EQ(std::vector<uint64_t>({1600, 1600, 1600, 232}),
              std::vector<uint64_t>(pieces.begin() + piecesBefore, pieces.end()));

    const StlStatistics after = CliStat();
    EXPECT_EQ(before.m_sent.Count() + 1, after.m_sent.Count());
    EXPECT_EQ(5032, after.m_sent.Last());

    // The last piece completes the frame: one delivery of the whole payload.
    OnSrv([] {});
    const std::vector<OwnerRecorder::Event> got = m_srvOwner.Events(OwnerRecorder::kData);
    ASSERT_EQ(1u, got.size());
    EXPECT_TRUE(got[0].data == data);
    EXPECT_EQ(5000u, got[0].data.Size());
    EXPECT_EQ(4u, SrvStat().m_received.Count() - 1); // cmdConnect, then the four pieces
}

TEST_F(StlConnectionTest, FramesUpToTheMaximumGoWhole)
{
    StartPair(Long(c_stlRoleClient), Long(c_stlRoleServer));
    const size_t piecesBefore = m_c2s.PieceSizes().size();
    OnCli(
        [&]
        {
            m_cli->SendData(Bytes(1600 - 32, 1));
            m_cli->SendData(Bytes(1600 - 31, 2));
        });
    ASSERT_TRUE(m_srvOwner.WaitCount(OwnerRecorder::kData, 2));
    const std::vector<uint64_t> pieces = m_c2s.PieceSizes();
    EXPECT_EQ(std::vector<uint64_t>({1600, 1600, 1}),
              std::vector<uint64_t>(pieces.begin() + piecesBefore, pieces.end()));
}

TEST_F(StlConnectionTest, DataOfferedBeforeTheSessionIsUpIsDropped)
{
    StartServer(Short(c_stlRoleServer));
    m_c2s.SetDrop([](const StlPacket&) { return true; }); // the server never hears the client
    StartClient(Short(c_stlRoleClient));
    ASSERT_TRUE(m_log.WaitState(c_cli, "stInitialCli", "stWaitConnected"));
    const size_t pieces = m_c2s.PieceSizes().size();
    OnCli(
        [&]
        {
            m_cli->SendData(Bytes(10, 1));
            EXPECT_FALSE(m_cli->IsConnected());
        });
    EXPECT_TRUE(m_log.Has(c_cli, "User try Send data in state stWaitConnected. Ignore."));
    for (const WireTap::Packet& p : m_c2s.Packets())
        EXPECT_EQ(static_cast<uint32_t>(StlCmd::cmdConnect), p.cmd);
    EXPECT_LE(m_c2s.PieceSizes().size(), pieces + 1); // at most a resent cmdConnect meanwhile
}

TEST_F(StlConnectionTest, DataAboveThePayloadLimitIsRefusedWithoutEndingTheSession)
{
    StartPair(Long(c_stlRoleClient), Long(c_stlRoleServer));
    const size_t pieces = m_c2s.PieceSizes().size();
    OnCli(
        [&]
        {
            m_cli->SendData(Utils::ByteArray(c_stlMaxPayload + 1, 0, 0));
            EXPECT_TRUE(m_cli->IsConnected());
            m_cli->SendData(Bytes(4, 1));
        });
    ASSERT_TRUE(m_srvOwner.WaitCount(OwnerRecorder::kData, 1));
    EXPECT_EQ(pieces + 1, m_c2s.PieceSizes().size());
    EXPECT_EQ(4u, m_srvOwner.Events(OwnerRecorder::kData)[0].data.Size());
    EXPECT_TRUE(m_log.Has(c_cli, "User try Send data of size 16777217 above the limit 16777216. Ignore."));
}

TEST_F(StlConnectionTest, EveryOwnerCallCarriesTheConnectionsOwnSourceId)
{
    StartPair(Long(c_stlRoleClient), Long(c_stlRoleServer), true);
    OnCli([&] { m_cli->SendData(Bytes(20, 9)); });
    ASSERT_TRUE(m_cliOwner.WaitCount(OwnerRecorder::kData, 1));
    OnCli([&] { m_cli->Disconnect(); });
    ASSERT_TRUE(m_cliOwner.WaitCount(OwnerRecorder::kDisconnected, 1));
    ASSERT_TRUE(m_srvOwner.WaitCount(OwnerRecorder::kDisconnected, 1));

    const uint64_t cliSrc = m_c2s.Packets().front().src;
    const uint64_t srvSrc = m_s2c.Packets().front().src;
    for (const OwnerRecorder::Event& e : m_cliOwner.Events())
        EXPECT_EQ(cliSrc, e.id);
    for (const OwnerRecorder::Event& e : m_srvOwner.Events())
        EXPECT_EQ(srvSrc, e.id);
    EXPECT_EQ(3u, m_cliOwner.Events().size());
    EXPECT_EQ(3u, m_srvOwner.Events().size());
}

} // namespace
