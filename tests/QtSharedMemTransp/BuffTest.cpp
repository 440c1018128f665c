#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>
#include "QtSharedMemTransp/Buff.h"
#include "ShmTestUtils.h"
#include "common/RegexLiteral.h"

namespace
{

using QtSharedMemTransp::Buff;
using ShmTest::Bytes;
using ShmTest::Pattern;

// A ring in plain memory laid out as in the segment, with guard bytes behind it that no
// operation may touch.
class Ring
{
public:
    static const uint8_t c_guard = 0xA5;
    static const size_t c_guardSize = 64;

    explicit Ring(uint32_t capacity) : m_capacity(capacity), m_mem((8 + capacity + c_guardSize + 3) / 4, 0)
    {
        std::memset(Bytes8() + 8 + capacity, c_guard, c_guardSize);
    }

    void* Base() { return m_mem.data(); }
    uint8_t* Bytes8() { return reinterpret_cast<uint8_t*>(m_mem.data()); }
    uint8_t* Data() { return Bytes8() + 8; }
    uint32_t WriteOffs() const { return m_mem[0]; }
    uint32_t ReadOffs() const { return m_mem[1]; }
    void SetOffsets(uint32_t w, uint32_t r)
    {
        m_mem[0] = w;
        m_mem[1] = r;
    }

    bool GuardIntact()
    {
        for (size_t i = 0; i < c_guardSize; ++i)
            if (Bytes8()[8 + m_capacity + i] != c_guard)
                return false;
        return true;
    }

private:
    uint32_t m_capacity;
    std::vector<uint32_t> m_mem;
};

TEST(BuffTest, RingHoldsOneByteLessThanItsCapacityAndEmptiesOnRead)
{
    Ring ring(16);
    Buff producer(ring.Base(), 16), consumer(ring.Base(), 16);

    EXPECT_EQ(15u, producer.BytesForWrite());
    const Utils::ByteArray data = Pattern(15, 1);
    producer.Write(data.Data(), 10);
    EXPECT_EQ(5u, producer.BytesForWrite());
    producer.Write(data.Data() + 10, 5);
    EXPECT_EQ(0u, producer.BytesForWrite());
    EXPECT_EQ(15u, ring.WriteOffs());

    EXPECT_EQ(Bytes(data), Bytes(consumer.Read()));
    EXPECT_EQ(15u, ring.ReadOffs());
    EXPECT_EQ(15u, producer.BytesForWrite());
    EXPECT_TRUE(ring.GuardIntact());
}

TEST(BuffTest, EmptyRingReadsNullAndLeavesTheOffset)
{
    Ring ring(8);
    ring.SetOffsets(5, 5);
    Buff consumer(ring.Base(), 8);

    const Utils::ByteArray res = consumer.Read();
    EXPECT_TRUE(res.IsNull());
    EXPECT_EQ(5u, ring.ReadOffs());
    EXPECT_FALSE(consumer.IsCorrupt());
}

TEST(BuffTest, WriteEndingAtTheEndWrapsTheOffsetToZero)
{
    Ring ring(16);
    ring.SetOffsets(10, 10);
    Buff producer(ring.Base(), 16);

    ASSERT_EQ(15u, producer.BytesForWrite());
    const Utils::ByteArray data = Pattern(6, 2);
    producer.Write(data.Data(), 6);
    EXPECT_EQ(0u, ring.WriteOffs());
    EXPECT_EQ(0, std::memcmp(ring.Data() + 10, data.Data(), 6));

    Buff consumer(ring.Base(), 16);
    EXPECT_EQ(Bytes(data), Bytes(consumer.Read()));
    EXPECT_EQ(0u, ring.ReadOffs());
}

TEST(BuffTest, WriteAcrossTheEndSplitsAndReadJoinsInOrder)
{
    Ring ring(16);
    ring.SetOffsets(12, 12);
    Buff producer(ring.Base(), 16), consumer(ring.Base(), 16);

    const Utils::ByteArray data = Pattern(9, 3);
    ASSERT_GE(producer.BytesForWrite(), 9u);
    producer.Write(data.Data(), 9);
    EXPECT_EQ(5u, ring.WriteOffs());
    EXPECT_EQ(0, std::memcmp(ring.Data() + 12, data.Data(), 4)); // N - W bytes at the end
    EXPECT_EQ(0, std::memcmp(ring.Data(), data.Data() + 4, 5));  // the rest at the start

    const Utils::ByteArray got = consumer.Read();
    EXPECT_EQ(Bytes(data), Bytes(got));
    EXPECT_EQ(9u, got.Capacity()); // exactly the bytes held
    EXPECT_EQ(5u, ring.ReadOffs());
    EXPECT_TRUE(ring.GuardIntact());
}

TEST(BuffTest, OneByteRingHoldsNothing)
{
    Ring ring(1);
    Buff b(ring.Base(), 1);
    EXPECT_EQ(0u, b.BytesForWrite());
    EXPECT_TRUE(b.Read().IsNull());
    EXPECT_FALSE(b.IsCorrupt());
}

TEST(BuffTest, OffsetsOutsideTheRingMakeItCorruptWithoutTouchingMemory)
{
    struct Case
    {
        uint32_t w, r;
    };
    for (const Case c : {Case{16, 0}, Case{0, 16}, Case{0xFFFFFFFF, 3}, Case{3, 0x80000000}})
    {
        SCOPED_TRACE(testing::Message() << "write " << c.w << " read " << c.r);
        Ring ring(16);
        ring.SetOffsets(c.w, c.r);
        Buff producer(ring.Base(), 16), consumer(ring.Base(), 16);

        EXPECT_TRUE(consumer.Read().IsNull());
        EXPECT_TRUE(consumer.IsCorrupt());
        EXPECT_EQ(0u, producer.BytesForWrite());
        EXPECT_TRUE(producer.IsCorrupt());
        const Utils::ByteArray data = Pattern(4, 4);
        producer.Write(data.Data(), 4); // nothing happens
        EXPECT_EQ(c.w, ring.WriteOffs());
        EXPECT_EQ(c.r, ring.ReadOffs());
        EXPECT_TRUE(ring.GuardIntact());

        // Corrupt stays corrupt, even once the offsets look sane again.
        ring.SetOffsets(0, 0);
        EXPECT_EQ(0u, producer.BytesForWrite());
        EXPECT_TRUE(consumer.Read().IsNull());
    }
}

TEST(BuffTest, ConsumerTakingRoomBackIsCorruptionNotACrash)
{
    Ring ring(16);
    ring.SetOffsets(4, 4);
    Buff producer(ring.Base(), 16);
    ASSERT_EQ(15u, producer.BytesForWrite());

    // A hostile consumer moves its offset so that the ring looks nearly full.
    ring.SetOffsets(4, 6);
    const Utils::ByteArray data = Pattern(10, 5);
    producer.Write(data.Data(), 10);
    EXPECT_TRUE(producer.IsCorrupt());
    EXPECT_EQ(4u, ring.WriteOffs());
    EXPECT_TRUE(ring.GuardIntact());
}

TEST(BuffTest, WritingMoreThanPromisedIsACallerFault)
{
    Ring ring(16);
    Buff producer(ring.Base(), 16);
    ASSERT_EQ(15u, producer.BytesForWrite());
    const Utils::ByteArray data = Pattern(16, 6);
    EXPECT_EXIT(producer.Write(data.Data(), 16), testing::ExitedWithCode(3),
                TestUtils::Literal("BytesForWrite() >= size"));
    // Without asking first, the promise is 0.
    Buff fresh(ring.Base(), 16);
    EXPECT_EXIT(fresh.Write(data.Data(), 20), testing::ExitedWithCode(3),
                TestUtils::Literal("BytesForWrite() >= size"));
}

// Producer and consumer on two threads, in many uneven pieces: every byte arrives once, in order.
TEST(BuffTest, ConcurrentProducerAndConsumerKeepTheStream)
{
    const uint32_t capacity = 61; // odd, so that pieces wrap at every position
    Ring ring(capacity);
    const Utils::ByteArray stream = Pattern(200000, 7);

    std::atomic<bool> failed(false);
    std::thread producerThread(
        [&]
        {
            Buff producer(ring.Base(), capacity);
            uint64_t sent = 0, piece = 1;
            const auto deadline = std::chrono::steady_clock::now() + ShmTest::c_waitLimit;
            while (sent < stream.Size() && std::chrono::steady_clock::now() < deadline)
            {
                uint64_t n =
                    std::min<uint64_t>(producer.BytesForWrite(), std::min(piece, stream.Size() - sent));
                producer.Write(stream.Data() + sent, n);
                sent += n;
                piece = piece % 97 + 1;
                if (n == 0)
                    std::this_thread::yield();
            }
            if (sent != stream.Size())
                failed = true;
        });

    std::vector<uint8_t> got;
    {
        Buff consumer(ring.Base(), capacity);
        const auto deadline = std::chrono::steady_clock::now() + ShmTest::c_waitLimit;
        while (got.size() < stream.Size() && std::chrono::steady_clock::now() < deadline)
        {
            const Utils::ByteArray part = consumer.Read();
            if (part.IsNull())
            {
                std::this_thread::yield();
                continue;
            }
            EXPECT_LT(part.Size(), capacity);
            got.insert(got.end(), part.Data(), part.Data() + part.Size());
        }
        EXPECT_FALSE(consumer.IsCorrupt());
    }
    producerThread.join();
    EXPECT_FALSE(failed);
    EXPECT_TRUE(Bytes(stream) == got);
    EXPECT_TRUE(ring.GuardIntact());
}

TEST(BuffTest, SegmentSizeRules)
{
    using QtSharedMemTransp::Segment::SizesValid;
    EXPECT_TRUE(SizesValid(4, 1, 45));
    EXPECT_FALSE(SizesValid(4, 1, 44)); // mapping one byte short
    EXPECT_FALSE(SizesValid(0, 16, 1000));
    EXPECT_FALSE(SizesValid(16, 0, 1000));
    EXPECT_FALSE(SizesValid(6, 16, 1000)); // ring B's words would not be aligned
    EXPECT_FALSE(SizesValid(0xFFFFFFFC, 0xFFFFFFFF, 0x7FFFFFFF));
    EXPECT_EQ(40u + 4096 + 4096, QtSharedMemTransp::Segment::TotalSize(4096, 4096));
    EXPECT_EQ(32u + 4096, QtSharedMemTransp::Segment::RingBOffset(4096));
}

} // namespace
