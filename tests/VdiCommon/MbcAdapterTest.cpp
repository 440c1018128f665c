#include <deque>
#include <memory>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include "BridgeTestUtils.h"
#include "MediaBridgeControl/IMbcFlow.h"
#include "SessTranspLayer/StlConnection.h"
#include "VdiCommon/PluginBridge/MbcAdapter.h"
#include "iCore/MsgObject.h"

namespace
{

using namespace BridgeTest;
using SessTranspLayer::StlConnection;
using VdiCommon::ILowLevelTransport;
using VdiCommon::ILowLevelTransportEvents;
using VdiCommon::SendDataRes;

class FakeLl;
class PeerSide;

// What the test steers of the channel below the adapter (test thread only).
struct Channel
{
    ILowLevelTransportEvents* events = nullptr; // the adapter
    FakeLl* ll = nullptr;
    PeerSide* peer = nullptr;
    bool hold = false; // keep writes without a result until the test completes them
    bool down = false; // the channel is closed: writes are cancelled
    std::deque<std::pair<Utils::ByteArray, ILowLevelTransport::SendCallback>> held;
    size_t packets = 0;
    uint64_t largest = 0;
    int starts = 0;
};

// The server end of the session: what the application at the far end of the channel runs.
class PeerSide : public SessTranspLayer::IStlTransport, public SessTranspLayer::IStl2Owner
{
public:
    PeerSide(YrLogV2::Log& log, Channel& ch, Recorder& rec) : m_ch(ch), m_rec(rec)
    {
        SessTranspLayer::StlSettings s;
        s.m_role = SessTranspLayer::c_stlRoleServer;
        s.m_maxPacketSize = 1600;
        s.m_respTimeoutMs = 8000;
        s.m_pingIntervalMs = 12000;
        m_conn = std::make_unique<StlConnection>(s, log, *this, *this);
        m_ch.peer = this;
    }
    ~PeerSide() override
    {
        m_ch.peer = nullptr;
        m_conn.reset();
    }

    void Input(const Utils::ByteArray& data) { m_user->OnTranspData(data); }
    void TransportLost() { m_user->OnTranspError(L"channel closed"); }
    StlConnection& Conn() { return *m_conn; }

    bool IsConnected() const override { return true; }
    void SetUser(SessTranspLayer::IStlTransport2Owner& user) override { m_user = &user; }
    void Send(const Utils::ByteArray& data) override;

    void Connected(uint64_t) override
    {
        m_rec.Update([&] { ++m_sessions; });
    }
    void ReceiveData(const Utils::ByteArray& data, uint64_t) override
    {
        m_rec.Update([&] { m_data += ToStr(data); });
    }
    void Disconnected(const SessTranspLayer::DiscCause&, uint64_t) override
    {
        m_rec.Update([&] { ++m_ends; });
    }

    int Sessions()
    {
        return m_rec.Read([&] { return m_sessions; });
    }
    bool WaitSessions(int n)
    {
        return m_rec.WaitFor([&] { return m_sessions >= n; });
    }
    bool WaitBytes(size_t n)
    {
        return m_rec.WaitFor([&] { return m_data.size() >= n; });
    }
    std::string Data()
    {
        return m_rec.Read([&] { return m_data; });
    }

private:
    Channel& m_ch;
    Recorder& m_rec;
    std::unique_ptr<StlConnection> m_conn;
    SessTranspLayer::IStlTransport2Owner* m_user = nullptr;
    int m_sessions = 0;
    int m_ends = 0;
    std::string m_data;
};

// The channel's low-level transport as the adapter sees it: packets go to the peer session and
// complete Ok, each in a later message, unless the test holds them.
class FakeLl : public ILowLevelTransport, public iCore::MsgObject
{
public:
    FakeLl(ILowLevelTransportEvents& events, Channel& ch) : m_ch(ch)
    {
        m_ch.events = &events;
        m_ch.ll = this;
    }
    ~FakeLl() override
    {
        m_ch.ll = nullptr;
        m_ch.events = nullptr;
        m_ch.held.clear();
    }

    void SendPacket(const Utils::ByteArray& data, const SendCallback& callback) override
    {
        ++m_ch.packets;
        m_ch.largest = std::max<uint64_t>(m_ch.largest, data.Size());
        if (m_ch.hold)
        {
            m_ch.held.emplace_back(data, callback);
            return;
        }
        Channel* ch = &m_ch;
        if (m_ch.down)
        {
            PutFunctor([callback] { callback(SendDataRes(SendDataRes::RemoteNotReady)); });
            return;
        }
        PutFunctor(
            [ch, data, callback]
            {
                if (ch->peer)
                    ch->peer->Input(data);
                callback(SendDataRes(SendDataRes::Ok));
            });
    }

    void Start() override { ++m_ch.starts; }

    // A packet of the peer, delivered in a later message as the channel does.
    void Deliver(const Utils::ByteArray& data)
    {
        Channel* ch = &m_ch;
        PutFunctor(
            [ch, data]
            {
                if (ch->events)
                    ch->events->OnDataReceived(data);
            });
    }

private:
    Channel& m_ch;
};

void PeerSide::Send(const Utils::ByteArray& data)
{
    if (m_ch.ll)
        m_ch.ll->Deliver(data);
}

class MbcAdapterTest : public ::testing::Test
{
protected:
    MbcAdapterTest() : m_listener(m_rec), m_peerLog(YrLogV2::LogRoot::RootLog(), "AdapterTestPeer") {}

    void TearDown() override
    {
        m_thread.Call(
            [&]
            {
                m_adapter.reset();
                m_peer.reset();
            });
    }

    void Create(bool nullTransport = false)
    {
        m_thread.Call(
            [&]
            {
                m_peer = std::make_unique<PeerSide>(m_peerLog, m_ch, m_rec);
                Channel* ch = &m_ch;
                VdiCommon::LlTransportCreator fn = [ch, nullTransport](const VdiCommon::LlEnvToCreate& env)
                {
                    return nullTransport ? std::unique_ptr<ILowLevelTransport>()
                                         : std::unique_ptr<ILowLevelTransport>(new FakeLl(env.m_events, *ch));
                };
                m_adapter = VdiCommon::CreateMbcAdapter(VdiCommon::MbcAdapterEnv(
                    m_thread.Thread(), YrLogV2::LogRoot::RootLog(), false, m_listener, fn));
                m_listener.SetTransp(m_adapter.get());
            });
    }

    // The channel opens or closes; a close is seen by both ends.
    void LlConnected(bool connected, uint64_t size)
    {
        m_thread.Call(
            [&]
            {
                m_ch.down = !connected;
                if (!connected && m_ch.peer)
                    m_ch.peer->TransportLost();
                m_ch.events->OnConnected(connected, size);
            });
    }

    void CreateConnected()
    {
        Create();
        LlConnected(true, 1600);
        ASSERT_TRUE(m_listener.WaitState(TranspState::Connected)) << m_log.Dump();
    }

    void Send(const std::string& s)
    {
        m_thread.Call([&] { m_adapter->SendData(ToBytes(s)); });
    }

    TranspState State()
    {
        TranspState st;
        m_thread.Call([&] { st = m_adapter->State(); });
        return st;
    }

    // Runs everything that is queued on the test thread now (and what that posts at once).
    void Flush()
    {
        m_thread.Call([] {});
        m_thread.Call([] {});
    }

    LogCapture m_log;
    Recorder m_rec;
    TranspListener m_listener;
    YrLogV2::Log m_peerLog;
    Channel m_ch;
    NetTest::TestThread m_thread{"AdapterTest"};
    std::unique_ptr<PeerSide> m_peer;
    std::unique_ptr<MediaBridgeControl::IMbcTransp> m_adapter;
};

TEST_F(MbcAdapterTest, SessionCarriesDataBothWaysByteExactInPacketsOfTheAnnouncedSize)
{
    CreateConnected();
    EXPECT_EQ(1, m_ch.starts);
    EXPECT_EQ(1u, m_listener.CountOf(TranspState::Connected));
    EXPECT_EQ(L"Connected", m_listener.States().back().Reason());

    const std::string up = Pattern(20000, 1);
    Send(up.substr(0, 3000));
    Send(up.substr(3000));
    ASSERT_TRUE(m_peer->WaitBytes(up.size()));
    EXPECT_EQ(up, m_peer->Data());

    const std::string down = Pattern(12345, 2);
    m_thread.Call([&] { m_peer->Conn().SendData(ToBytes(down)); });
    ASSERT_TRUE(m_listener.WaitBytes(down.size()));
    EXPECT_EQ(down, m_listener.Data());

    m_thread.Call([&] { EXPECT_LE(m_ch.largest, 1600u); });
    EXPECT_TRUE(m_log.Has("ReceiveData, size: 12345, id: 0x"));
}

TEST_F(MbcAdapterTest, StateTextsAndStatistics)
{
    Create();
    TranspState st = State();
    EXPECT_TRUE(st.Is(TranspState::Disconnected));
    EXPECT_EQ(L"", st.Reason());
    EXPECT_EQ(L"", st.Details()); // no session yet

    // The session is made by the announcement; it has sent nothing yet.
    m_thread.Call(
        [&]
        {
            m_ch.events->OnConnected(true, 1600);
            st = m_adapter->State();
        });
    EXPECT_EQ(L"max packet 1600 bytes; sessions 0; send N/A; recv N/A", st.Details());

    ASSERT_TRUE(m_listener.WaitState(TranspState::Connected));
    Send(std::string(1000, 'x'));
    ASSERT_TRUE(m_peer->WaitBytes(1000));
    st = State();
    EXPECT_TRUE(st.Is(TranspState::Connected));
    EXPECT_EQ(L"Connected", st.Reason());
    EXPECT_NE(std::wstring::npos, st.Details().find(L"max packet 1600 bytes; sessions 1; send count "))
        << std::string(st.Details().begin(), st.Details().end());
}

TEST_F(MbcAdapterTest, SecondAnnouncementOfTheSameFlagOnlyLogs)
{
    CreateConnected();
    const size_t packets = m_ch.packets;
    LlConnected(true, 1600);
    Flush();
    EXPECT_EQ(1u, m_log.Count("Double LL transport event!"));
    EXPECT_EQ(packets, m_ch.packets);
    EXPECT_EQ(1, m_peer->Sessions());
    EXPECT_EQ(1u, m_listener.CountOf(TranspState::Connected));
}

TEST_F(MbcAdapterTest, ClosedAnnouncementBeforeAnyOpenChangesNothing)
{
    // The adapter starts out taking the channel as closed: a first "closed" is a repetition.
    Create();
    LlConnected(false, 0);
    Flush();
    EXPECT_EQ(1u, m_log.Count("Double LL transport event!"));
    EXPECT_EQ(0u, m_log.Count("IStlTransportOwner not set"));
    EXPECT_EQ(L"", State().Details()); // still no session
    EXPECT_TRUE(m_listener.States().empty());
}

TEST_F(MbcAdapterTest, ChannelLossAndReturnWithTheSameSizeKeepsTheSession)
{
    CreateConnected();
    LlConnected(false, 0);
    ASSERT_TRUE(m_listener.WaitState(TranspState::Disconnected));
    LlConnected(true, 1600);
    EXPECT_TRUE(m_log.WaitFor("SetupStlConnection ignored because packet size is not changed"));
    // The kept session opens a new session by itself.
    ASSERT_TRUE(m_listener.WaitState(TranspState::Connected, 2)) << m_log.Dump();
    Send("after");
    ASSERT_TRUE(m_peer->WaitBytes(5));
    EXPECT_EQ("after", m_peer->Data());
    EXPECT_EQ(1u, m_log.Count("Init StlConnection on Client, maxPacketSize: 1600, respTimeout: 8000"));
}

TEST_F(MbcAdapterTest, AnotherPacketSizeMakesANewSession)
{
    CreateConnected();
    LlConnected(false, 0);
    ASSERT_TRUE(m_listener.WaitState(TranspState::Disconnected));
    m_thread.Call([&] { m_ch.largest = 0; });
    LlConnected(true, 400);
    EXPECT_EQ(1u, m_log.Count("Init StlConnection on Client, maxPacketSize: 400, respTimeout: 8000"));
    ASSERT_TRUE(m_listener.WaitState(TranspState::Connected, 2)) << m_log.Dump();
    const std::string s = Pattern(3000, 9);
    Send(s);
    ASSERT_TRUE(m_peer->WaitBytes(s.size()));
    EXPECT_EQ(s, m_peer->Data());
    m_thread.Call([&] { EXPECT_LE(m_ch.largest, 400u); });
}

TEST_F(MbcAdapterTest, DisconnectWithRestartOpensANewSessionWithoutItStaysClosed)
{
    CreateConnected();
    m_thread.Call([&] { m_adapter->Disconnect(true); });
    ASSERT_TRUE(m_listener.WaitState(TranspState::Disconnected));
    ASSERT_TRUE(m_listener.WaitState(TranspState::Connected, 2)) << m_log.Dump();
    EXPECT_EQ(1u, m_log.Count("Trying to reconnect"));
    EXPECT_TRUE(m_peer->WaitSessions(2));

    m_thread.Call([&] { m_adapter->Disconnect(false); });
    ASSERT_TRUE(m_listener.WaitState(TranspState::Disconnected, 2));
    Flush();
    const size_t packets = m_ch.packets;
    Flush();
    EXPECT_EQ(packets, m_ch.packets); // no connect request went out
    EXPECT_EQ(2u, m_listener.CountOf(TranspState::Connected));
    EXPECT_EQ(1u, m_log.Count("Trying to reconnect"));
}

TEST_F(MbcAdapterTest, WithoutAConnectedSessionDataAndDisconnectAreRefused)
{
    Create();
    Send("lost");
    m_thread.Call([&] { m_adapter->Disconnect(true); });
    EXPECT_EQ(1u, m_log.Count("Try to SendData to a IMbcTransp that is not created"));
    EXPECT_EQ(1u, m_log.Count("Try to Disconnect when there is no stlConnection"));

    // A session exists but has not connected yet.
    m_thread.Call(
        [&]
        {
            m_ch.hold = true;
            m_ch.events->OnConnected(true, 1600);
            m_adapter->SendData(ToBytes("early"));
        });
    EXPECT_EQ(1u, m_log.Count("Try to SendData to a IMbcTransp that in not connected state"));
}

TEST_F(MbcAdapterTest, NoLowLevelTransportMeansFatalErrorReportedAfterConstruction)
{
    Create(true);
    ASSERT_TRUE(m_listener.WaitState(TranspState::FatalError));
    EXPECT_EQ(L"FatalError", m_listener.States().front().Reason());
    EXPECT_EQ(1u, m_listener.States().size());
    EXPECT_EQ(1u, m_log.Count("Cannot create low level transport"));
}

TEST_F(MbcAdapterTest, SendResults)
{
    CreateConnected();
    m_thread.Call([&] { m_ch.hold = true; });
    Send("one");
    Send("two");
    // The channel could not deliver one packet: nothing else changes.
    m_thread.Call(
        [&]
        {
            ASSERT_EQ(2u, m_ch.held.size());
            auto item = m_ch.held.front();
            m_ch.held.pop_front();
            item.second(SendDataRes(SendDataRes::RemoteNotReady));
        });
    Flush();
    EXPECT_TRUE(State().Is(TranspState::Connected));
    EXPECT_EQ(0u, m_listener.CountOf(TranspState::Disconnected));

    // A refused write is unrecoverable for the session.
    m_thread.Call(
        [&]
        {
            auto item = m_ch.held.front();
            m_ch.held.pop_front();
            item.second(SendDataRes(SendDataRes::Failed));
        });
    ASSERT_TRUE(m_listener.WaitState(TranspState::Disconnected)) << m_log.Dump();
}

TEST_F(MbcAdapterTest, NotifiedDataIsDoneWhenItsLastPacketCompletesOrWhenItIsDropped)
{
    Create();
    int done = 0;
    auto notify = [&](const std::string& s)
    {
        m_thread.Call(
            [&]
            {
                const int before = done;
                dynamic_cast<MediaBridgeControl::IMbcSendDone&>(*m_adapter)
                    .SendDataNotify(ToBytes(s), [&] { ++done; });
                EXPECT_EQ(before, done); // never inside the call
            });
    };
    notify("no session");
    Flush();
    EXPECT_EQ(1, done);

    LlConnected(true, 1600);
    ASSERT_TRUE(m_listener.WaitState(TranspState::Connected)) << m_log.Dump();
    m_thread.Call([&] { m_ch.hold = true; });
    notify(Pattern(4000, 3)); // three packets
    Flush();
    size_t held = 0;
    m_thread.Call([&] { held = m_ch.held.size(); });
    ASSERT_EQ(3u, held);
    auto complete = [&]
    {
        m_thread.Call(
            [&]
            {
                auto item = m_ch.held.front();
                m_ch.held.pop_front();
                m_ch.peer->Input(item.first);
                item.second(SendDataRes(SendDataRes::Ok));
            });
    };
    complete();
    complete();
    Flush();
    EXPECT_EQ(1, done);
    complete();
    Flush();
    EXPECT_EQ(2, done);
    ASSERT_TRUE(m_peer->WaitBytes(4000));
}

TEST_F(MbcAdapterTest, RefusedWriteCostsOneSessionAndANewOneOpensOverTheSameChannel)
{
    CreateConnected();
    m_thread.Call([&] { m_ch.hold = true; });
    Send("one");
    Send("two");
    m_thread.Call(
        [&]
        {
            ASSERT_EQ(2u, m_ch.held.size());
            m_ch.hold = false;
            for (auto& item : m_ch.held)
                item.second(SendDataRes(SendDataRes::Failed));
            m_ch.held.clear();
        });
    ASSERT_TRUE(m_listener.WaitState(TranspState::Disconnected)) << m_log.Dump();
    EXPECT_TRUE(m_log.Has("cause: dcTranspErr"));
    ASSERT_TRUE(m_listener.WaitState(TranspState::Connected, 2)) << m_log.Dump();
    EXPECT_EQ(1u, m_log.Count("The channel refused a write: the session ends, a new one opens in 1000 ms"));

    Send("after");
    ASSERT_TRUE(m_peer->WaitBytes(5)) << m_log.Dump();
    EXPECT_EQ("after", m_peer->Data());
}

TEST_F(MbcAdapterTest, RefusedWriteAfterTheChannelClosedWaitsForTheChannel)
{
    CreateConnected();
    m_thread.Call([&] { m_ch.hold = true; });
    Send("one");
    LlConnected(false, 0);
    ASSERT_TRUE(m_listener.WaitState(TranspState::Disconnected));
    m_thread.Call(
        [&]
        {
            m_ch.held.front().second(SendDataRes(SendDataRes::Failed));
            m_ch.held.clear();
            m_ch.hold = false;
        });
    Flush();
    EXPECT_EQ(0u, m_log.Count("The channel refused a write"));
    // The channel's return clears the failure and opens the session.
    LlConnected(true, 1600);
    ASSERT_TRUE(m_listener.WaitState(TranspState::Connected, 2)) << m_log.Dump();
    EXPECT_EQ(0u, m_log.Count("Opening a new session after the refused write"));
}

TEST(MbcAdapterDeathTest, CreationOffItsThreadHalts)
{
    EXPECT_EXIT(
        {
            NetTest::TestThread thread("AdapterDeath");
            Recorder rec;
            TranspListener listener(rec);
            VdiCommon::CreateMbcAdapter(VdiCommon::MbcAdapterEnv(
                thread.Thread(), YrLogV2::LogRoot::RootLog(), false, listener,
                [](const VdiCommon::LlEnvToCreate&) { return std::unique_ptr<ILowLevelTransport>(); }));
        },
        ::testing::ExitedWithCode(3), "Not in thread context");
}

} // namespace
