// A host that keeps the channel open across a reconnection (FreeRDP): the open at the next
// CONNECTED answers ALREADY_OPEN, and the driver goes on with the handle it has.
#include <gtest/gtest.h>

#include "ChannelTestUtils.h"

using namespace VMwareTest;
using VdiCommon::SendDataRes;
using VMware::Client::g_core;

namespace
{

class ReconnectTest : public ChannelTest
{
protected:
    void SetUp() override
    {
        UseProfile(VcHost::Host::Profile::FreeRdp);
        Register();
        CreateUser();
        m_host->Connect();
        ASSERT_TRUE(m_rec.WaitEvents(1));
    }
};

TEST_F(ReconnectTest, AChannelStillOpenIsAnnouncedAgainWithItsHandle)
{
    const uint32_t handle = m_host->OpenHandle();
    m_host->Disconnect();
    m_host->Connect();
    ASSERT_TRUE(m_rec.WaitEvents(3));
    EXPECT_EQ((std::vector<std::string>{"connected 1600", "disconnected 0", "connected 1600"}),
              m_rec.Events());
    EXPECT_TRUE(g_core->IsOpen());
    const std::string kept = "ConnectionEventProc VirtualChannelOpen 'YrTnVCh': still open, handle " +
                             std::to_string(handle) + " kept";
    EXPECT_EQ("Info", m_log.TagOf(kept));

    // Both ways work under the kept handle.
    Send(MakePacket(100, 1));
    ASSERT_TRUE(m_rec.WaitResults(1));
    EXPECT_EQ(std::vector<int>{SendDataRes::Ok}, m_rec.Results());
    const VcHost::Bytes in = ToBytes(MakePacket(50, 2));
    m_host->Deliver(in);
    ASSERT_TRUE(m_rec.WaitPackets(1));
    EXPECT_EQ(std::vector<VcHost::Bytes>{in}, m_rec.Packets());
}

TEST_F(ReconnectTest, AWriteWhileDisconnectedFailsAsAWrite)
{
    m_host->Disconnect();
    ASSERT_TRUE(m_rec.WaitEvents(2));
    Send(MakePacket(10, 1));
    ASSERT_TRUE(m_rec.WaitResults(1));
    EXPECT_EQ(std::vector<int>{SendDataRes::Failed}, m_rec.Results());
    EXPECT_EQ(0u, VMware::Client::g_core->OutstandingWrites());

    m_host->Connect();
    ASSERT_TRUE(m_rec.WaitEvents(3));
    Send(MakePacket(10, 2));
    ASSERT_TRUE(m_rec.WaitResults(2));
    EXPECT_EQ(SendDataRes::Ok, m_rec.Results().back());
}

TEST_F(ReconnectTest, AFailedWriteOfTheConnectionBeforeDoesNotFailTheNewOne)
{
    // The user writes while the host has already disconnected and connected again, before it has
    // heard of either: its write fails, but the result arrives after the new connection.
    m_userThread->Run(
        [this]
        {
            m_host->Disconnect();
            m_host->Connect();
            m_host->SetWriteMode(VcHost::Host::WriteMode::Refuse);
            m_user->Send(MakePacket(10, 1));
        });
    ASSERT_TRUE(m_rec.WaitResults(1));
    EXPECT_EQ((std::vector<std::string>{"connected 1600", "disconnected 0", "connected 1600"}),
              m_rec.Events());
    EXPECT_EQ(std::vector<int>{SendDataRes::RemoteNotReady}, m_rec.Results());

    // A write of the new connection that fails still fails.
    Send(MakePacket(10, 2));
    ASSERT_TRUE(m_rec.WaitResults(2));
    EXPECT_EQ(SendDataRes::Failed, m_rec.Results().back());
}

} // namespace
