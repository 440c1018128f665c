#include <memory>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include "BridgeTestUtils.h"
#include "MediaBridgeControl/IMbcFlow.h"
#include "MediaBridgeControl/MbcTcpTransp.h"
#include "VdiCommon/PluginBridge/PluginBridge.h"
#include "iCore/MsgObject.h"

namespace
{

using namespace BridgeTest;
using MediaBridgeControl::IMbcTransp;
using MediaBridgeControl::IMbcTranspEvents;
using VdiCommon::PluginBridge::PluginBridgeProf;

// What the test sees of the bridge's parts; written on the bridge's thread, read anywhere.
struct World
{
    Recorder rec;
    iCore::MsgThread* bridgeThread = nullptr;
    class FakeClient* client = nullptr;
    bool clientDestroyed = false;
    std::string clientData;
    std::vector<bool> disconnects;  // restart flag of every Disconnect of the client side
    std::vector<std::string> ports; // of every launch
    int launchersDestroyed = 0;
    std::vector<std::string> serverCalls; // window, acknowledgements and peer checks of fake servers
    int64_t launchedPid = 0;              // what fake launchers report (0: they are plain objects)
    bool reconnectOnRestart = true;       // the client side comes back after Disconnect(true)
    class FakeServer* server = nullptr;
    int serversMade = 0;

    size_t Launches()
    {
        return rec.Read([&] { return ports.size(); });
    }
    bool WaitLaunches(size_t n)
    {
        return rec.WaitFor([&] { return ports.size() >= n; });
    }
    std::string Port(size_t i)
    {
        return rec.Read([&] { return ports.at(i); });
    }
    bool WaitDisconnects(size_t n)
    {
        return rec.WaitFor([&] { return disconnects.size() >= n; });
    }
    std::vector<bool> Disconnects()
    {
        return rec.Read([&] { return disconnects; });
    }
    bool WaitClientData(size_t n)
    {
        return rec.WaitFor([&] { return clientData.size() >= n; });
    }
};

// The channel side of the bridge, steered by the test: it plays the session over the channel,
// and keeps the done calls of the data it was given until the test completes them.
class FakeClient : public IMbcTransp, public MediaBridgeControl::IMbcSendDone, public iCore::MsgObject
{
public:
    FakeClient(World& w, IMbcTranspEvents& events) : m_w(w), m_events(events)
    {
        m_w.rec.Update(
            [&]
            {
                m_w.client = this;
                m_w.bridgeThread = &getMsgThread();
            });
    }
    ~FakeClient() override
    {
        m_w.rec.Update(
            [&]
            {
                m_w.client = nullptr;
                m_w.clientDestroyed = true;
            });
    }

    void SendData(const Utils::ByteArray& data) override
    {
        m_w.rec.Update([&] { m_w.clientData += ToStr(data); });
    }
    void SendDataNotify(const Utils::ByteArray& data, const boost::function<void()>& done) override
    {
        SendData(data);
        m_done.push_back(done);
    }
    void CompleteAll()
    {
        std::vector<boost::function<void()>> done;
        done.swap(m_done);
        for (auto& d : done)
            d();
    }
    TranspState State() const override { return m_state; }
    void Disconnect(bool restart) override
    {
        m_w.rec.Update([&] { m_w.disconnects.push_back(restart); });
        // As the session does: the end is reported later, and a restart connects again.
        const bool reconnect = restart && m_w.reconnectOnRestart;
        PutFunctor(
            [this, reconnect]
            {
                SetConnected(false);
                if (reconnect)
                    SetConnected(true);
            });
    }

    void SetConnected(bool connected)
    {
        m_state.Set(connected ? TranspState::Connected : TranspState::Disconnected);
        m_events.OnStateChanged();
    }
    void Receive(const std::string& s) { m_events.OnRecvData(ToBytes(s)); }

private:
    World& m_w;
    IMbcTranspEvents& m_events;
    TranspState m_state;
    std::vector<boost::function<void()>> m_done;
};

// Stands for a launched process; its destruction is counted.
class FakeLauncher : public Utils::IVirtualDestroy, public VdiCommon::PluginBridge::ILaunchedProcess
{
public:
    explicit FakeLauncher(World& w) : m_w(w), m_pid(w.launchedPid) {}
    int64_t Pid() const override { return m_pid; }
    ~FakeLauncher() override
    {
        m_w.rec.Update([&] { ++m_w.launchersDestroyed; });
    }

private:
    World& m_w;
    const int64_t m_pid;
};

// A media-bridge side that records what the bridge asks of its reading and of its peers, and
// passes on what the test makes it receive.
class FakeServer : public IMbcTransp,
                   public MediaBridgeControl::IMbcRecvWindow,
                   public MediaBridgeControl::IMbcPeerCheck
{
public:
    FakeServer(World& w, IMbcTranspEvents& events, int serial) : m_w(w), m_events(events), m_serial(serial)
    {
        m_w.rec.Update([&] { m_w.server = this; });
    }
    ~FakeServer() override
    {
        m_w.rec.Update(
            [&]
            {
                if (m_w.server == this)
                    m_w.server = nullptr;
            });
    }
    void SendData(const Utils::ByteArray&) override {}
    TranspState State() const override { return TranspState(TranspState::Connected); }
    void Disconnect(bool) override {}
    void SetRecvWindow(uint64_t high, uint64_t low, uint64_t chunkCost) override
    {
        Record("window " + std::to_string(high) + " " + std::to_string(low) + " " +
               std::to_string(chunkCost));
    }
    void AckRecv(uint64_t bytes) override { Record("ack " + std::to_string(bytes)); }
    void ExpectPeerPid(int64_t pid) override { Record("pid " + std::to_string(pid)); }
    void Receive(const std::string& s) { m_events.OnRecvData(ToBytes(s)); }

private:
    void Record(const std::string& call)
    {
        m_w.rec.Update([&] { m_w.serverCalls.push_back(std::to_string(m_serial) + ": " + call); });
    }

    World& m_w;
    IMbcTranspEvents& m_events;
    const int m_serial;
};

class PluginBridgeTest : public ::testing::Test
{
protected:
    PluginBridgeProf Profile(bool fakeServer = false)
    {
        World* w = &m_w;
        PluginBridgeProf p;
        if (fakeServer)
            p.m_createServer = [w](YrLogV2::Log&, IMbcTranspEvents& events)
            {
                VdiCommon::PluginBridge::CreateServerResult r;
                r.m_transp = std::make_unique<FakeServer>(*w, events, ++w->serversMade);
                r.m_port = "1";
                return r;
            };
        else
            p.m_createServer = &VdiCommon::PluginBridge::CreateTcpServerSide;
        p.m_launchClient = [w](YrLogV2::Log&, const std::string& port)
        {
            w->rec.Update([&] { w->ports.push_back(port); });
            return std::make_unique<FakeLauncher>(*w);
        };
        p.m_createClient = [w](iCore::MsgThread&, YrLogV2::Log&, IMbcTranspEvents& events)
        { return std::make_unique<FakeClient>(*w, events); };
        return p;
    }

    void Start(const PluginBridgeProf& p)
    {
        m_bridge = VdiCommon::PluginBridge::ExecPluginBridge(p);
        ASSERT_TRUE(m_w.rec.WaitFor([&] { return m_w.client != nullptr; }));
    }

    // Runs fn with the client side on the bridge's thread.
    void OnClient(const std::function<void(FakeClient&)>& fn)
    {
        ASSERT_TRUE(iCore::MsgThreadFnBlocked(*m_w.bridgeThread,
                                              [&](iCore::MsgThread&)
                                              {
                                                  if (m_w.client)
                                                      fn(*m_w.client);
                                              }));
    }

    // The media bridge connects to the port of launch i.
    NetTest::Fd ConnectMediaBridge(size_t i)
    {
        return NetTest::PlainConnect(static_cast<uint16_t>(std::stoi(m_w.Port(i))));
    }

    LogCapture m_log;
    World m_w;
    std::unique_ptr<Utils::IVirtualDestroy> m_bridge;
};

TEST_F(PluginBridgeTest, RelaysBothWaysAndKeepsTheChannelsDataUntilTheMediaBridgeConnects)
{
    Start(Profile());
    OnClient([](FakeClient& c) { c.SetConnected(true); });
    ASSERT_TRUE(m_w.WaitLaunches(1));
    EXPECT_NE("-1", m_w.Port(0));

    const std::string early = Pattern(10000, 1);
    OnClient([&](FakeClient& c) { c.Receive(early); });
    NetTest::Fd mb = ConnectMediaBridge(0);
    ASSERT_TRUE(mb.Valid());
    EXPECT_EQ(early, NetTest::ReadExact(mb.Get(), early.size()));

    const std::string later = Pattern(50000, 2);
    OnClient([&](FakeClient& c) { c.Receive(later); });
    EXPECT_EQ(later, NetTest::ReadExact(mb.Get(), later.size()));

    const std::string back = Pattern(70000, 3);
    ASSERT_TRUE(NetTest::WriteAll(mb.Get(), back));
    ASSERT_TRUE(m_w.WaitClientData(back.size()));
    EXPECT_EQ(back, m_w.rec.Read([&] { return m_w.clientData; }));
    EXPECT_TRUE(m_log.Has("Media bridge connected, passing on 10000 bytes held for it"));
}

TEST_F(PluginBridgeTest, DataBeforeTheMediaBridgeSideExistsIsDroppedWithOneNote)
{
    Start(Profile());
    OnClient(
        [](FakeClient& c)
        {
            c.Receive("a");
            c.Receive("b");
            c.Receive("c");
        });
    // Once per process run (a repeated run of this test sees none), never once per packet.
    EXPECT_LE(m_log.Count("There is no TcpServer side"), 1u);
    EXPECT_EQ(0u, m_w.Launches());
}

TEST_F(PluginBridgeTest, ChannelSideLeavingConnectedShutsTheMediaBridgeSideDown)
{
    Start(Profile());
    OnClient([](FakeClient& c) { c.SetConnected(false); }); // nothing to shut down yet
    EXPECT_EQ(1u, m_log.Count("ShutdownRemoteModule"));

    OnClient([](FakeClient& c) { c.SetConnected(true); });
    ASSERT_TRUE(m_w.WaitLaunches(1));
    NetTest::Fd mb = ConnectMediaBridge(0);
    ASSERT_TRUE(mb.Valid());
    ASSERT_TRUE(m_log.WaitFor("OnStateChanged, TcpServer: Connected"));

    OnClient([](FakeClient& c) { c.SetConnected(false); });
    EXPECT_EQ(1, m_w.rec.Read([&] { return m_w.launchersDestroyed; }));
    EXPECT_TRUE(NetTest::WaitClosed(mb.Get()));
    EXPECT_TRUE(m_w.Disconnects().empty()); // a loss of the channel side spends no restart
}

TEST_F(PluginBridgeTest, LostMediaBridgeIsRestartedThreeTimesThenTheChannelSessionIsClosed)
{
    Start(Profile());
    OnClient([](FakeClient& c) { c.SetConnected(true); });
    for (size_t i = 0; i < 4; ++i)
    {
        ASSERT_TRUE(m_w.WaitLaunches(i + 1)) << m_log.Dump();
        {
            NetTest::Fd mb = ConnectMediaBridge(i);
            ASSERT_TRUE(mb.Valid());
            ASSERT_TRUE(m_log.WaitFor("OnStateChanged, TcpServer: Connected", i + 1));
        } // the media bridge goes away
        ASSERT_TRUE(m_w.WaitDisconnects(i + 1)) << m_log.Dump();
    }
    EXPECT_EQ(std::vector<bool>({true, true, true, false}), m_w.Disconnects());
    EXPECT_EQ(1u, m_log.Count("On Disc from client (MediaBrige) side. Restart: false"));
    EXPECT_EQ(3u, m_log.Count("On Disc from client (MediaBrige) side. Restart: true"));
    // Without a restart the channel side stays closed and nothing is launched again.
    ASSERT_TRUE(m_log.WaitFor("OnStateChanged, TcpClient: Disconnected", 4));
    OnClient([](FakeClient&) {});
    EXPECT_EQ(4u, m_w.Launches());
    EXPECT_EQ(4, m_w.rec.Read([&] { return m_w.launchersDestroyed; }));
}

TEST_F(PluginBridgeTest, RestartBudgetIsRestoredAfterTheDelay)
{
    PluginBridgeProf p = Profile();
    p.m_restoreRestartLimitMs = 300;
    Start(p);
    OnClient([](FakeClient& c) { c.SetConnected(true); });
    ASSERT_TRUE(m_w.WaitLaunches(1));
    {
        NetTest::Fd mb = ConnectMediaBridge(0);
        ASSERT_TRUE(m_log.WaitFor("OnStateChanged, TcpServer: Connected"));
    }
    ASSERT_TRUE(m_log.WaitFor("Restore restart limit by timeout: 2->3")) << m_log.Dump();

    // The next loss takes from a full budget again and arms a new restore.
    ASSERT_TRUE(m_w.WaitLaunches(2));
    {
        NetTest::Fd mb = ConnectMediaBridge(1);
        ASSERT_TRUE(m_log.WaitFor("OnStateChanged, TcpServer: Connected", 2));
    }
    ASSERT_TRUE(m_w.WaitDisconnects(2));
    EXPECT_EQ(std::vector<bool>({true, true}), m_w.Disconnects());
    // Only a restart taken from a full budget arms the restore: the second one proves the first
    // restore had filled the budget again.
    ASSERT_TRUE(m_log.WaitFor("Restore restart limit by timeout: 2->3", 2)) << m_log.Dump();
}

TEST_F(PluginBridgeTest, MediaBridgeThatNeverConnectsCountsAsLost)
{
    PluginBridgeProf p = Profile();
    p.m_connectTimeoutMs = 200;
    m_w.reconnectOnRestart = false;
    Start(p);
    OnClient([](FakeClient& c) { c.SetConnected(true); });
    ASSERT_TRUE(m_w.WaitDisconnects(1)) << m_log.Dump();
    EXPECT_EQ(std::vector<bool>({true}), m_w.Disconnects());
    EXPECT_EQ(1u, m_log.Count("Media bridge did not connect in 200 ms"));
    EXPECT_EQ(1, m_w.rec.Read([&] { return m_w.launchersDestroyed; }));
}

TEST_F(PluginBridgeTest, MediaBridgeBytesAreAcknowledgedWhenTheChannelIsDoneWithThem)
{
    m_w.launchedPid = 4242;
    Start(Profile(true));
    OnClient([](FakeClient& c) { c.SetConnected(true); });
    ASSERT_TRUE(m_w.WaitLaunches(1));
    OnClient(
        [&](FakeClient& c)
        {
            m_w.server->Receive("12345");
            m_w.server->Receive("678");
            c.CompleteAll();
            m_w.server->Receive("90");
        });
    // A new server: what the channel finishes of the old one's bytes is not acknowledged to it.
    OnClient(
        [](FakeClient& c)
        {
            c.SetConnected(false);
            c.SetConnected(true);
        });
    ASSERT_TRUE(m_w.WaitLaunches(2));
    OnClient([](FakeClient& c) { c.CompleteAll(); });
    ASSERT_TRUE(m_w.WaitClientData(10));
    const std::vector<std::string> calls = m_w.rec.Read([&] { return m_w.serverCalls; });
    const std::string window = " " + std::to_string(VdiCommon::PluginBridge::c_mediaBridgeRecvHigh) + " " +
                               std::to_string(VdiCommon::PluginBridge::c_mediaBridgeRecvLow) + " " +
                               std::to_string(VdiCommon::PluginBridge::c_mediaBridgeChunkCost);
    EXPECT_EQ(std::vector<std::string>({"1: window" + window, "1: pid 4242", "1: ack 5", "1: ack 3",
                                        "2: window" + window, "2: pid 4242"}),
              calls);
}

TEST_F(PluginBridgeTest, DestroyingTheHolderEndsTheThreadAndEveryPart)
{
    Start(Profile());
    OnClient([](FakeClient& c) { c.SetConnected(true); });
    ASSERT_TRUE(m_w.WaitLaunches(1));
    NetTest::Fd mb = ConnectMediaBridge(0);
    ASSERT_TRUE(m_log.WaitFor("OnStateChanged, TcpServer: Connected"));
    m_bridge.reset();
    EXPECT_TRUE(m_w.rec.Read([&] { return m_w.clientDestroyed; }));
    EXPECT_EQ(1, m_w.rec.Read([&] { return m_w.launchersDestroyed; }));
    EXPECT_TRUE(NetTest::WaitClosed(mb.Get()));
}

TEST(PluginBridgeDeathTest, ProfileWithoutItsFunctionsHalts)
{
    PluginBridgeProf p;
    EXPECT_EXIT(p.AssertValid(), ::testing::ExitedWithCode(3), "m_createServer && m_launchClient");
}

} // namespace
