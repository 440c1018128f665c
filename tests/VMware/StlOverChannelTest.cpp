#include <gtest/gtest.h>

#include "ChannelTestUtils.h"
#include "SessTranspLayer/StlConnection.h"

using namespace VMwareTest;

namespace
{

// A client session over the channel transport, as the plug-in's relay runs it.
class SessionUser : public VdiCommon::ILowLevelTransportEvents,
                    public SessTranspLayer::IStlTransport,
                    public SessTranspLayer::IStl2Owner
{
public:
    explicit SessionUser(Recorder& rec) : m_rec(rec), m_log(YrLogV2::LogRoot::RootLog(), "SessionUser")
    {
        m_transport = VMware::Client::LowLevelTransportCreator()(
            VdiCommon::LlEnvToCreate(iCore::CurrentMsgThread(), m_log, *this));
        SessTranspLayer::StlSettings s;
        s.m_role = SessTranspLayer::c_stlRoleClient;
        s.m_maxPacketSize = 1600;
        s.m_respTimeoutMs = 8000;
        s.m_pingIntervalMs = 12000;
        m_conn = std::make_unique<SessTranspLayer::StlConnection>(s, m_log, *this, *this);
        m_transport->Start();
    }

    ~SessionUser() override
    {
        m_conn.reset();
        m_transport.reset();
    }

    void SendData(const Utils::ByteArray& data) { m_conn->SendData(data); }

    // ILowLevelTransportEvents
    void OnConnected(bool connected, uint64_t) override
    {
        if (connected && !m_connected && m_user)
            m_user->OnTranspConnected();
        if (!connected && m_connected && m_user)
            m_user->OnTranspError(L"channel closed");
        m_connected = connected;
    }
    void OnDataReceived(const Utils::ByteArray& packet) override
    {
        if (m_user)
            m_user->OnTranspData(packet);
    }

    // IStlTransport
    bool IsConnected() const override { return m_connected; }
    void SetUser(SessTranspLayer::IStlTransport2Owner& user) override { m_user = &user; }
    void Send(const Utils::ByteArray& data) override
    {
        m_transport->SendPacket(data,
                                [this](const VdiCommon::SendDataRes& r)
                                {
                                    if (r != VdiCommon::SendDataRes::Ok && m_user)
                                        m_user->OnTranspError(L"write failed");
                                });
    }

    // IStl2Owner
    void Connected(uint64_t) override { m_rec.Event("session connected"); }
    void ReceiveData(const Utils::ByteArray& data, uint64_t) override { m_rec.Packet(data); }
    void Disconnected(const SessTranspLayer::DiscCause& cause, uint64_t) override
    {
        m_rec.Event("session disconnected " + cause.ToString());
    }

private:
    Recorder& m_rec;
    YrLogV2::Log m_log;
    std::unique_ptr<VdiCommon::ILowLevelTransport> m_transport;
    std::unique_ptr<SessTranspLayer::StlConnection> m_conn;
    SessTranspLayer::IStlTransport2Owner* m_user = nullptr;
    bool m_connected = false;
};

TEST_F(ChannelTest, ASessionRunsOverTheChannelToTheFarEndPeer)
{
    std::string error;
    ASSERT_TRUE(m_host->StartPeer(YR_STL_PEER_PATH, {}, &error)) << error;
    ASSERT_TRUE(m_host->WaitPeerLine("stl_peer ready", c_waitMs));
    // Small chunks: every write of the peer reaches the driver in several pieces.
    m_host->SetChunkSize(100);
    Register();
    m_host->Connect();

    std::unique_ptr<SessionUser> user;
    m_userThread = std::make_unique<UserThread>();
    m_userThread->Run([&] { user = std::make_unique<SessionUser>(m_rec); });
    ASSERT_TRUE(m_rec.WaitEvents(1));
    EXPECT_EQ("session connected", m_rec.Events()[0]);
    EXPECT_TRUE(m_host->WaitPeerLine("connected", c_waitMs));

    // Payloads whose frames fit one write, and one whose frame the session cuts into pieces.
    const std::vector<size_t> sizes = {1, 100, 1500, 4000};
    for (size_t i = 0; i < sizes.size(); ++i)
    {
        const Utils::ByteArray payload = MakePacket(sizes[i], static_cast<uint8_t>(i));
        m_userThread->Run([&] { user->SendData(payload); });
    }
    ASSERT_TRUE(m_rec.WaitPackets(sizes.size()));
    const std::vector<VcHost::Bytes> echoed = m_rec.Packets();
    for (size_t i = 0; i < sizes.size(); ++i)
        EXPECT_EQ(ToBytes(MakePacket(sizes[i], static_cast<uint8_t>(i))), echoed[i]) << i;
    EXPECT_TRUE(m_host->WaitPeerLine("data 4000", c_waitMs));

    m_userThread->Run([&] { user.reset(); });
    EXPECT_EQ(0, m_host->StopPeer());
    EXPECT_TRUE(m_host->Problems().empty());
    EXPECT_EQ(m_host->Accepted(), m_host->Completed() + m_host->Cancelled());
}

} // namespace
