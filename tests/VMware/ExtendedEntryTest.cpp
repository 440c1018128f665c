// The extended entry, in-process, under the host profile that behaves as FreeRDP: the driver made
// through it writes from its user's thread, which the classic entry cannot there.
#include <gtest/gtest.h>

#include "ChannelTestUtils.h"

using namespace VMwareTest;
using VdiCommon::SendDataRes;
using VMware::Client::g_core;

namespace
{

class ExtendedEntryTest : public ChannelTest
{
protected:
    void SetUp() override { UseProfile(VcHost::Host::Profile::FreeRdp); }

    // Opens the channel, makes a user and sends one packet from the user's thread.
    void ConnectAndSend(const Utils::ByteArray& packet)
    {
        m_host->Connect();
        CreateUser();
        ASSERT_TRUE(m_rec.WaitEvents(1));
        Send(packet);
        ASSERT_TRUE(m_rec.WaitResults(1));
    }
};

TEST_F(ExtendedEntryTest, WritesFromTheUsersThreadAndReceivesThroughTheExtendedTable)
{
    ASSERT_TRUE(m_host->PrefersEntryEx());
    Register();
    EXPECT_EQ("YrTnVCh", m_host->GetRegistration().name);

    const Utils::ByteArray packet = MakePacket(1600, 4);
    ConnectAndSend(packet);
    EXPECT_EQ(std::vector<int>{SendDataRes::Ok}, m_rec.Results());
    EXPECT_EQ(std::vector<VcHost::Bytes>{ToBytes(packet)}, m_host->TakeSent());

    const VcHost::Bytes in = ToBytes(MakePacket(700, 8));
    m_host->Deliver(in);
    ASSERT_TRUE(m_rec.WaitPackets(1));
    EXPECT_EQ(std::vector<VcHost::Bytes>{in}, m_rec.Packets());
    EXPECT_TRUE(m_host->Problems().empty());
}

TEST_F(ExtendedEntryTest, TheClassicEntryThereCannotWriteOffTheHostsThread)
{
    // What the plug-in meets in FreeRDP with the classic entry only: every write from its own
    // threads is refused. It fails as a write, nothing worse.
    ASSERT_EQ(1, m_host->CallEntry());
    ConnectAndSend(MakePacket(10, 1));
    EXPECT_EQ(std::vector<int>{SendDataRes::Failed}, m_rec.Results());
    EXPECT_TRUE(m_log.Has("VirtualChannelWrite to channel 'YrTnVCh', handle: 81 failed: 7"));
}

TEST_F(ExtendedEntryTest, InvalidExtendedTablesAreRefused)
{
    EXPECT_EQ(0, m_host->CallEntryEx(nullptr, m_host->InitHandle()));
    CHANNEL_ENTRY_POINTS_EX t = m_host->EntryPointsEx();
    EXPECT_EQ(0, m_host->CallEntryEx(&t, nullptr)); // no init handle
    t.pVirtualChannelWriteEx = nullptr;
    EXPECT_EQ(0, m_host->CallEntryEx(&t, m_host->InitHandle()));
    EXPECT_EQ(3u, m_log.Count("InitDriverInstance pEntryPoints is invalid"));
    EXPECT_FALSE(m_host->GetRegistration().done);
}

} // namespace
