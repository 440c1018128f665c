#include <gtest/gtest.h>

#include <thread>
#include "ChannelTestUtils.h"
#include "VMware/Shared/Constants.h"

using namespace VMwareTest;

namespace
{

// One byte above the largest session frame, the largest message the driver takes.
const uint32_t c_aboveLargest =
    static_cast<uint32_t>(VMware::Shared::Constants::c_largestReceivedMessage + 1);

class ReassemblyTest : public ChannelTest
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

    void DeliverAndSettle()
    {
        ASSERT_TRUE(m_host->WaitDelivered(c_waitMs));
        Flush();
    }
};

TEST_F(ReassemblyTest, ChunksOfOneWriteBecomeOnePacket)
{
    const Utils::ByteArray packet = MakePacket(1600, 3);
    const VcHost::Bytes bytes = ToBytes(packet);
    m_host->DeliverChunk(VcHost::Bytes(bytes.begin(), bytes.begin() + 600), 1600, CHANNEL_FLAG_FIRST);
    m_host->DeliverChunk(VcHost::Bytes(bytes.begin() + 600, bytes.begin() + 1200), 1600, CHANNEL_FLAG_MIDDLE);
    m_host->DeliverChunk(VcHost::Bytes(bytes.begin() + 1200, bytes.end()), 1600, CHANNEL_FLAG_LAST);
    DeliverAndSettle();
    ASSERT_EQ(1u, m_rec.Packets().size());
    EXPECT_EQ(bytes, m_rec.Packets()[0]);
}

TEST_F(ReassemblyTest, PacketsKeepTheirOrderAndBounds)
{
    m_host->SetChunkSize(7);
    std::vector<VcHost::Bytes> sent;
    for (size_t size : {1u, 6u, 7u, 8u, 700u, 1599u, 1600u})
    {
        sent.push_back(ToBytes(MakePacket(size, static_cast<uint8_t>(size))));
        m_host->Deliver(sent.back());
    }
    // One chunk with both flags set, and flag bits the driver does not know.
    sent.push_back(ToBytes(MakePacket(5, 9)));
    m_host->DeliverChunk(sent.back(), 5, CHANNEL_FLAG_FIRST | CHANNEL_FLAG_LAST | 0x10 | 0x100);
    DeliverAndSettle();
    EXPECT_EQ(sent, m_rec.Packets());
}

TEST_F(ReassemblyTest, MessagesAServerMergedComeThroughWhole)
{
    // A 70000-byte stream merged as xrdp does: 32768, 32768 and 4464 bytes, in chunks of 1600.
    const VcHost::Bytes stream = ToBytes(MakePacket(70000, 7));
    std::vector<VcHost::Bytes> messages;
    for (size_t off = 0; off < stream.size(); off += 32768)
    {
        const size_t n = std::min<size_t>(32768, stream.size() - off);
        messages.emplace_back(stream.begin() + off, stream.begin() + off + n);
        m_host->Deliver(messages.back());
    }
    DeliverAndSettle();
    EXPECT_EQ(messages, m_rec.Packets());
    EXPECT_FALSE(m_log.Has("Broken chunk dropped (bad total length): length 1600, total 32768, flags 1"));
}

TEST_F(ReassemblyTest, TheLargestSessionFrameIsTakenAndOneByteMoreDropped)
{
    const VcHost::Bytes largest = ToBytes(MakePacket(VMware::Shared::Constants::c_largestReceivedMessage, 3));
    m_host->Deliver(largest);
    m_host->Deliver(VcHost::Bytes(c_aboveLargest, 1));
    DeliverAndSettle();
    ASSERT_EQ(1u, m_rec.Packets().size());
    EXPECT_TRUE(largest == m_rec.Packets()[0]);
    EXPECT_EQ("Warning", m_log.TagOf("Broken chunk dropped (bad total length): length 1600, total " +
                                     std::to_string(c_aboveLargest) + ", flags 1"));
}

TEST_F(ReassemblyTest, BrokenSequencesAreDroppedAndTheNextPacketComesThrough)
{
    const VcHost::Bytes ten = ToBytes(MakePacket(10, 1));
    const VcHost::Bytes good = ToBytes(MakePacket(20, 2));
    // A chunk without a first one.
    m_host->DeliverChunk(ten, 10, CHANNEL_FLAG_LAST);
    // No data pointer, no data.
    m_host->DeliverChunk(ten, 10, CHANNEL_FLAG_ONLY, true);
    m_host->DeliverChunk(VcHost::Bytes(), 10, CHANNEL_FLAG_ONLY);
    // Announced totals out of range.
    m_host->DeliverChunk(ten, 0, CHANNEL_FLAG_ONLY);
    m_host->DeliverChunk(ten, c_aboveLargest, CHANNEL_FLAG_FIRST);
    // Chunks adding up to more than their total, a chunk above its total, a last chunk short of it.
    m_host->DeliverChunk(ten, 15, CHANNEL_FLAG_FIRST);
    m_host->DeliverChunk(ten, 15, CHANNEL_FLAG_LAST);
    m_host->DeliverChunk(ten, 5, CHANNEL_FLAG_FIRST);
    m_host->DeliverChunk(ten, 30, CHANNEL_FLAG_FIRST);
    m_host->DeliverChunk(ten, 30, CHANNEL_FLAG_LAST);
    // A total that changes within one write.
    m_host->DeliverChunk(ten, 20, CHANNEL_FLAG_FIRST);
    m_host->DeliverChunk(ten, 21, CHANNEL_FLAG_LAST);
    // A write abandoned by a new first chunk: only the new one counts.
    m_host->DeliverChunk(ten, 40, CHANNEL_FLAG_FIRST);
    m_host->DeliverChunk(VcHost::Bytes(good.begin(), good.begin() + 12), 20, CHANNEL_FLAG_FIRST);
    m_host->DeliverChunk(VcHost::Bytes(good.begin() + 12, good.end()), 20, CHANNEL_FLAG_LAST);
    DeliverAndSettle();

    EXPECT_EQ(std::vector<VcHost::Bytes>{good}, m_rec.Packets());
    EXPECT_TRUE(m_log.Has("Broken chunk dropped (no first chunk): length 10, total 10, flags 2"));
    EXPECT_TRUE(m_log.Has("Broken chunk dropped (no data): length 10, total 10, flags 3"));
    EXPECT_TRUE(m_log.Has("Broken chunk dropped (bad total length): length 10, total " +
                          std::to_string(c_aboveLargest) + ", flags 1"));
    EXPECT_TRUE(m_log.Has("Broken chunk dropped (chunks above total): length 10, total 15, flags 2"));
    EXPECT_TRUE(m_log.Has("Broken chunk dropped (chunk above total): length 10, total 5, flags 1"));
    EXPECT_TRUE(m_log.Has("Broken chunk dropped (packet below total): length 10, total 30, flags 2"));
    EXPECT_TRUE(m_log.Has("Unfinished packet of 10 bytes dropped"));
}

TEST_F(ReassemblyTest, DisconnectDropsAHalfJoinedWrite)
{
    const VcHost::Bytes ten = ToBytes(MakePacket(10, 1));
    m_host->DeliverChunk(ten, 20, CHANNEL_FLAG_FIRST);
    ASSERT_TRUE(m_host->WaitDelivered(c_waitMs));
    m_host->Disconnect();
    m_host->Connect();
    // The rest of the old write after the new open must not complete it.
    m_host->DeliverChunk(ten, 20, CHANNEL_FLAG_LAST);
    const VcHost::Bytes fresh = ToBytes(MakePacket(3, 5));
    m_host->Deliver(fresh);
    DeliverAndSettle();
    EXPECT_EQ(std::vector<VcHost::Bytes>{fresh}, m_rec.Packets());
    EXPECT_TRUE(m_log.Has("Unfinished packet of 10 bytes dropped"));
}

TEST_F(ChannelTest, DataBeforeAUserExistsIsDroppedChunkByChunk)
{
    Register();
    m_host->Connect();
    m_host->SetChunkSize(4);
    m_host->Deliver(ToBytes(MakePacket(10, 1))); // three chunks
    ASSERT_TRUE(m_host->WaitDelivered(c_waitMs));
    EXPECT_EQ(3u, m_log.Count("Data received but there wasn't initializing, ignore the data"));
    EXPECT_EQ("Warning", m_log.TagOf("Data received but there wasn't initializing, ignore the data"));

    CreateUser();
    ASSERT_TRUE(m_rec.WaitEvents(1));
    const VcHost::Bytes later = ToBytes(MakePacket(9, 2));
    m_host->Deliver(later);
    ASSERT_TRUE(m_rec.WaitPackets(1));
    EXPECT_EQ(std::vector<VcHost::Bytes>{later}, m_rec.Packets());
}

TEST_F(ChannelTest, PacketsQueuedForADestroyedUserDieWithIt)
{
    Register();
    m_host->Connect();
    CreateUser();
    ASSERT_TRUE(m_rec.WaitEvents(1));

    // The user's thread is held inside a function that then destroys the user; meanwhile the
    // host's packets are posted behind it. They must be dropped, never run on the freed user.
    std::mutex lock;
    std::condition_variable cv;
    bool inside = false, go = false;
    std::thread destroyer(
        [&]
        {
            m_userThread->Run(
                [&]
                {
                    std::unique_lock<std::mutex> l(lock);
                    inside = true;
                    cv.notify_all();
                    cv.wait_for(l, std::chrono::milliseconds(c_waitMs), [&] { return go; });
                    m_user.reset();
                });
        });
    {
        std::unique_lock<std::mutex> l(lock);
        ASSERT_TRUE(cv.wait_for(l, std::chrono::milliseconds(c_waitMs), [&] { return inside; }));
    }
    for (int i = 0; i < 50; ++i)
        m_host->Deliver(ToBytes(MakePacket(100, static_cast<uint8_t>(i))));
    EXPECT_TRUE(m_host->WaitDelivered(c_waitMs));
    {
        std::lock_guard<std::mutex> l(lock);
        go = true;
    }
    cv.notify_all();
    destroyer.join();
    Flush();

    EXPECT_TRUE(m_rec.Packets().empty());
    EXPECT_FALSE(VMware::Client::g_core->HasListener());
    // With no user left the driver drops further data itself.
    m_host->Deliver(ToBytes(MakePacket(5, 1)));
    ASSERT_TRUE(m_host->WaitDelivered(c_waitMs));
    EXPECT_TRUE(m_log.Has("Data received but there wasn't initializing, ignore the data"));
}

} // namespace
