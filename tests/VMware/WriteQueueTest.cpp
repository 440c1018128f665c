#include <gtest/gtest.h>

#include "ChannelTestUtils.h"
#include "VMware/Shared/Constants.h"

using namespace VMwareTest;
using VdiCommon::SendDataRes;
using VMware::Client::g_core;

namespace
{

class WriteQueueTest : public ChannelTest
{
protected:
    void SetUp() override
    {
        ChannelTest::SetUp();
        Register();
        m_host->Connect();
        CreateUser();
        ASSERT_TRUE(m_rec.WaitEvents(1));
    }
};

TEST_F(WriteQueueTest, CompletedWriteGivesOkLaterOnTheUsersThread)
{
    const Utils::ByteArray packet = MakePacket(1600, 4); // the largest packet is accepted
    Send(packet);
    ASSERT_TRUE(m_rec.WaitResults(1));
    EXPECT_EQ(std::vector<int>{SendDataRes::Ok}, m_rec.Results());
    EXPECT_FALSE(m_rec.ResultInsideSend());
    EXPECT_FALSE(m_rec.ResultOffThread());
    EXPECT_EQ(std::vector<VcHost::Bytes>{ToBytes(packet)}, m_host->TakeSent());
    EXPECT_EQ(0u, g_core->OutstandingWrites());
}

TEST_F(WriteQueueTest, CancelledWriteGivesRemoteNotReady)
{
    m_host->SetWriteMode(VcHost::Host::WriteMode::Cancel);
    Send(MakePacket(10, 1));
    ASSERT_TRUE(m_rec.WaitResults(1));
    EXPECT_EQ(std::vector<int>{SendDataRes::RemoteNotReady}, m_rec.Results());
    EXPECT_TRUE(m_host->TakeSent().empty());
    EXPECT_EQ(0u, g_core->OutstandingWrites());
}

TEST_F(WriteQueueTest, RefusedWriteFailsAfterTheCallAndLeavesNothingOutstanding)
{
    m_host->SetWriteMode(VcHost::Host::WriteMode::Refuse);
    Send(MakePacket(10, 1));
    ASSERT_TRUE(m_rec.WaitResults(1));
    EXPECT_EQ(std::vector<int>{SendDataRes::Failed}, m_rec.Results());
    EXPECT_FALSE(m_rec.ResultInsideSend());
    EXPECT_EQ(0u, g_core->OutstandingWrites());
    EXPECT_TRUE(m_log.Has("VirtualChannelWrite to channel 'YrTnVCh', handle: " +
                          std::to_string(m_host->OpenHandle()) + " failed: 12"));
}

TEST_F(WriteQueueTest, WriteOnAClosedChannelGoesWithHandleZeroAndFails)
{
    m_host->Disconnect();
    ASSERT_TRUE(m_rec.WaitEvents(2));
    Send(MakePacket(10, 1));
    ASSERT_TRUE(m_rec.WaitResults(1));
    EXPECT_EQ(std::vector<int>{SendDataRes::Failed}, m_rec.Results());
    EXPECT_TRUE(m_log.Has("VirtualChannelWrite to channel 'YrTnVCh', handle: 0 failed: 10"));
    EXPECT_EQ(1u, m_host->Refused());
}

TEST_F(WriteQueueTest, AtMostAThousandWritesAreOutstanding)
{
    static bool s_firstRun = true; // the size warning is once per process
    m_host->SetWriteMode(VcHost::Host::WriteMode::Hold);
    const size_t limit = VMware::Shared::Constants::c_llLimitSimultaneousSendItems;
    for (size_t i = 0; i < limit; ++i)
        Send(MakePacket(1 + i % 1600, static_cast<uint8_t>(i)));
    ASSERT_TRUE(m_host->WaitOutstanding(limit, c_waitMs));
    EXPECT_EQ(limit, g_core->OutstandingWrites());
    EXPECT_EQ(s_firstRun ? 1u : 0u, m_log.Count("List to send size > 32"));
    s_firstRun = false;

    // The one above the limit never reaches the host.
    Send(MakePacket(10, 1));
    ASSERT_TRUE(m_rec.WaitResults(1));
    EXPECT_EQ(std::vector<int>{SendDataRes::Failed}, m_rec.Results());
    EXPECT_TRUE(m_log.Has("SendPacket cannot send packet, ll queue is full"));
    EXPECT_EQ(limit, m_host->Accepted());
    EXPECT_EQ(limit, m_host->MaxOutstanding());

    // Released, each write completes once, with its own bytes, in order.
    m_host->ReleaseHeld(limit, true);
    ASSERT_TRUE(m_rec.WaitResults(limit + 1));
    const std::vector<int> results = m_rec.Results();
    EXPECT_EQ(limit, static_cast<size_t>(std::count(results.begin(), results.end(), int(SendDataRes::Ok))));
    const std::vector<VcHost::Bytes> sent = m_host->TakeSent();
    ASSERT_EQ(limit, sent.size());
    for (size_t i = 0; i < limit; ++i)
        ASSERT_EQ(ToBytes(MakePacket(1 + i % 1600, static_cast<uint8_t>(i))), sent[i]) << i;
    EXPECT_EQ(0u, g_core->OutstandingWrites());

    // Room again.
    Send(MakePacket(3, 3));
    m_host->ReleaseHeld(1, true);
    ASSERT_TRUE(m_rec.WaitResults(limit + 2));
    EXPECT_EQ(int(SendDataRes::Ok), m_rec.Results().back());
    EXPECT_TRUE(m_host->Problems().empty());
}

TEST_F(WriteQueueTest, TheWrittenBytesStayValidUntilTheHostSendsThem)
{
    // The host reads a write only when it sends it; the caller's array is gone by then.
    m_host->SetWriteDelayMs(30);
    for (int i = 0; i < 20; ++i)
    {
        Utils::ByteArray packet = MakePacket(200, static_cast<uint8_t>(i));
        Send(packet);
        packet.MutableData()[0] ^= 0xFF; // the caller's copy changes after the call
    }
    ASSERT_TRUE(m_rec.WaitResults(20));
    const std::vector<VcHost::Bytes> sent = m_host->TakeSent();
    ASSERT_EQ(20u, sent.size());
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(ToBytes(MakePacket(200, static_cast<uint8_t>(i))), sent[i]);
}

TEST_F(WriteQueueTest, WritesCancelledByADisconnectStillReachTheirCallbacks)
{
    m_host->SetWriteMode(VcHost::Host::WriteMode::Hold);
    for (int i = 0; i < 3; ++i)
        Send(MakePacket(10, static_cast<uint8_t>(i)));
    ASSERT_TRUE(m_host->WaitOutstanding(3, c_waitMs));
    // The host cancels them after the channel has closed, under the handle it had.
    m_host->Disconnect();
    ASSERT_TRUE(m_rec.WaitResults(3));
    EXPECT_EQ(std::vector<int>(3, SendDataRes::RemoteNotReady), m_rec.Results());
    EXPECT_EQ(0u, g_core->OutstandingWrites());
}

TEST_F(WriteQueueTest, ResultsForADestroyedTransportAreDroppedAndFreeTheirPlaces)
{
    m_host->SetWriteMode(VcHost::Host::WriteMode::Hold);
    for (int i = 0; i < 5; ++i)
        Send(MakePacket(10, static_cast<uint8_t>(i)));
    ASSERT_TRUE(m_host->WaitOutstanding(5, c_waitMs));
    DestroyUser();
    EXPECT_TRUE(m_log.Has("Send data list isn't empty"));
    EXPECT_EQ(5u, g_core->OutstandingWrites()); // the host still holds the bytes

    m_host->ReleaseHeld(3, true);
    m_host->ReleaseHeld(2, false);
    ASSERT_TRUE(m_host->WaitResults(5, c_waitMs));
    EXPECT_EQ(5u, m_host->TakeSent().size() + 2);
    EXPECT_TRUE(m_rec.Results().empty());
    EXPECT_EQ(5u, m_log.Count("Data sending result without initializing"));
    EXPECT_EQ(0u, g_core->OutstandingWrites());
}

TEST_F(WriteQueueTest, UnknownOrMissingUserDataIsIgnored)
{
    int notOurs = 0;
    VMware::Client::DriverCore::ChannelEventProc(m_host->OpenHandle(), CHANNEL_EVENT_WRITE_COMPLETE, &notOurs,
                                                 4, 4, 0);
    VMware::Client::DriverCore::ChannelEventProc(m_host->OpenHandle(), CHANNEL_EVENT_WRITE_CANCELLED, nullptr,
                                                 0, 0, 0);
    EXPECT_TRUE(m_log.Has("OnPacketWriteResult cannot find SendData"));
    EXPECT_TRUE(m_log.Has("OnWriteCompleted pUserData is empty"));
    Flush();
    EXPECT_TRUE(m_rec.Results().empty());
}

} // namespace
