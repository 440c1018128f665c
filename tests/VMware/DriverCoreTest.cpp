#include <gtest/gtest.h>

#include <cstring>
#include "ChannelTestUtils.h"
#include "VMware/Shared/Constants.h"

using namespace VMwareTest;
using VdiCommon::SendDataRes;
using VMware::Client::g_core;

namespace
{

// ---- registration and the table ---------------------------------------------------------------

TEST_F(ChannelTest, RegistersTheChannelWithItsDefinition)
{
    Register();
    const VcHost::Host::Registration r = m_host->GetRegistration();
    ASSERT_TRUE(r.done);
    const char expected[8] = {'Y', 'r', 'T', 'n', 'V', 'C', 'h', 0};
    EXPECT_EQ(0, std::memcmp(expected, r.rawName, 8));
    EXPECT_EQ(0u, r.options);
    EXPECT_EQ(1, r.channelCount);
    EXPECT_EQ(1u, r.versionRequested);
    EXPECT_TRUE(m_log.Has("CreateDriver VirtualChannelInit 'YrTnVCh' OK"));
    EXPECT_TRUE(m_host->Problems().empty());
}

TEST_F(ChannelTest, InvalidTablesAreRefusedAndKeepTheDriver)
{
    Register();
    VMware::Client::DriverCore* const before = g_core.get();

    EXPECT_EQ(0, m_host->CallEntry(nullptr));
    for (int missing = 0; missing < 4; ++missing)
    {
        CHANNEL_ENTRY_POINTS t = m_host->EntryPoints();
        if (missing == 0)
            t.pVirtualChannelInit = nullptr;
        else if (missing == 1)
            t.pVirtualChannelOpen = nullptr;
        else if (missing == 2)
            t.pVirtualChannelClose = nullptr;
        else
            t.pVirtualChannelWrite = nullptr;
        EXPECT_EQ(0, m_host->CallEntry(&t)) << "missing pointer " << missing;
    }
    EXPECT_EQ(5u, m_log.Count("InitDriverInstance pEntryPoints is invalid"));
    EXPECT_EQ("Error", m_log.TagOf("InitDriverInstance pEntryPoints is invalid"));
    EXPECT_EQ(before, g_core.get());
}

TEST_F(ChannelTest, FailedRegistrationThrowsNothingAndKeepsTheDriver)
{
    Register();
    VMware::Client::DriverCore* const before = g_core.get();
    // A second host would be a second registration; the host refuses to register twice, so the
    // driver sees its VirtualChannelInit fail.
    EXPECT_EQ(0, m_host->CallEntry());
    EXPECT_TRUE(m_log.Has(
        "InitDriverInstance cannot create Core: CreateDriver VirtualChannelInit 'YrTnVCh' failed: 1"));
    EXPECT_EQ(before, g_core.get());
}

TEST_F(ChannelTest, InitFailureCodeIsReported)
{
    m_host->SetInitResult(CHANNEL_RC_TOO_MANY_CHANNELS);
    EXPECT_EQ(0, m_host->CallEntry());
    EXPECT_TRUE(m_log.Has(
        "InitDriverInstance cannot create Core: CreateDriver VirtualChannelInit 'YrTnVCh' failed: 5"));
    EXPECT_EQ(
        "Error",
        m_log.TagOf(
            "InitDriverInstance cannot create Core: CreateDriver VirtualChannelInit 'YrTnVCh' failed: 5"));
}

TEST_F(ChannelTest, TableWithSizeZeroIsAccepted)
{
    CHANNEL_ENTRY_POINTS t = m_host->EntryPoints();
    t.cbSize = 0;
    t.protocolVersion = 0;
    EXPECT_EQ(1, m_host->CallEntry(&t));
}

// ---- connection events ------------------------------------------------------------------------

TEST_F(ChannelTest, ConnectedOpensTheChannel)
{
    Register();
    m_host->RaiseInitEvent(CHANNEL_EVENT_INITIALIZED);
    m_host->Connect("server-7");
    EXPECT_TRUE(m_host->IsOpen());
    EXPECT_TRUE(g_core->IsOpen());
    EXPECT_TRUE(m_log.Has("ConnectionEventProc Remote side initialized"));
    EXPECT_TRUE(m_log.Has("ConnectionEventProc VirtualChannelOpen 'YrTnVCh' OK, server: server-7"));
    EXPECT_TRUE(m_log.Has("Connection happened before listener connected"));

    // Another CONNECTED while open is a host's mistake: logged, the channel stays as it is.
    m_host->Connect("again");
    EXPECT_TRUE(m_host->IsOpen());
    EXPECT_TRUE(m_log.Has("ConnectionEventProc channel 'YrTnVCh' is open already, CONNECTED ignored"));
    EXPECT_TRUE(m_host->Problems().empty());
}

TEST_F(ChannelTest, FailedOpenLeavesTheChannelClosedAndTheUserUntold)
{
    Register();
    CreateUser();
    // ALREADY_OPEN too: before any open of ours there is no handle to keep.
    for (uint32_t rc : {CHANNEL_RC_NOT_CONNECTED, CHANNEL_RC_ALREADY_OPEN})
    {
        m_host->SetOpenResult(rc);
        m_host->Connect();
        Flush();
        EXPECT_FALSE(g_core->IsOpen());
        EXPECT_TRUE(m_rec.Events().empty());
        EXPECT_TRUE(
            m_log.Has("ConnectionEventProc VirtualChannelOpen 'YrTnVCh' failed: " + std::to_string(rc)));
    }
}

TEST_F(ChannelTest, OtherEventsAreOnlyLogged)
{
    Register();
    m_host->RaiseInitEvent(CHANNEL_EVENT_V1_CONNECTED);
    m_host->RaiseInitEvent(77);
    EXPECT_TRUE(m_log.Has("ConnectionEventProc eventType: 2"));
    EXPECT_TRUE(m_log.Has("ConnectionEventProc eventType: 77"));
    EXPECT_FALSE(g_core->IsOpen());
}

// ---- the transport's connection announcements -------------------------------------------------

TEST_F(ChannelTest, StartAnnouncesAChannelOpenedBefore)
{
    Register();
    m_host->Connect();
    CreateUser();
    ASSERT_TRUE(m_rec.WaitEvents(1));
    Flush();
    EXPECT_EQ(std::vector<std::string>{"connected 1600"}, m_rec.Events());
}

TEST_F(ChannelTest, ConnectAndDisconnectReachAUserStartedBefore)
{
    Register();
    CreateUser();
    Flush();
    EXPECT_TRUE(m_rec.Events().empty()); // nothing to announce yet
    m_host->Connect();
    ASSERT_TRUE(m_rec.WaitEvents(1));
    m_host->Disconnect();
    ASSERT_TRUE(m_rec.WaitEvents(2));
    EXPECT_EQ((std::vector<std::string>{"connected 1600", "disconnected 0"}), m_rec.Events());
    EXPECT_FALSE(g_core->IsOpen());
    EXPECT_TRUE(m_log.Has("ConnectionEventProc Disconnected"));
}

TEST_F(ChannelTest, ANewTransportReplacesTheOldOneAndTheOldOneCannotUnregisterIt)
{
    Register();
    m_host->Connect();
    Recorder second;
    std::unique_ptr<ChannelUser> other;
    CreateUser();
    ASSERT_TRUE(m_rec.WaitEvents(1));
    m_userThread->Run([&] { other = std::make_unique<ChannelUser>(second); });
    // The first one goes: the second must stay registered.
    DestroyUser();
    EXPECT_TRUE(g_core->HasListener());
    m_host->Deliver(ToBytes(MakePacket(10, 1)));
    ASSERT_TRUE(second.WaitPackets(1));
    EXPECT_TRUE(m_rec.Packets().empty()); // the first user is gone
    m_userThread->Run([&] { other.reset(); });
    EXPECT_FALSE(g_core->HasListener());
}

} // namespace
