#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>
#include <gtest/gtest.h>
#include "SessTranspLayer/StlPacket.h"
#include "StlReferenceParser.h"
#include "Utils/Crc32.h"

// Resynchronisation: the parser must give exactly the results of the plain rules after every
// call, and its work must stay proportional to its input whatever a peer sends.

namespace
{

using namespace SessTranspLayer;
using Bytes = std::vector<uint8_t>;
using PacketPtr = std::unique_ptr<StlPacket>;

const uint8_t c_none = 0;

Utils::ByteArray Piece(const uint8_t* p, size_t n)
{
    return Utils::ByteArray(n == 0 ? &c_none : p, n);
}

uint32_t Crc(const uint8_t* p, size_t n)
{
    return Utils::Crc32(p, static_cast<int32_t>(n), 0xFFFFFFFF, true);
}

void Put32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// A header with a valid CRC announcing size payload bytes whose CRC is payloadCrc.
Bytes Header(uint32_t size, uint32_t payloadCrc, uint16_t num = 1)
{
    Bytes h(32, 0);
    Put32(&h[0], c_stlMagic);
    h[11] = 7; // source id
    h[15] = 9; // session id
    h[17] = static_cast<uint8_t>(num);
    h[19] = 6; // cmdData
    Put32(&h[20], size);
    Put32(&h[24], payloadCrc);
    Put32(&h[28], Crc(h.data(), 28));
    return h;
}

void Append(Bytes& to, const Bytes& b)
{
    to.insert(to.end(), b.begin(), b.end());
}

Bytes GoodFrame(const Bytes& payload, uint16_t num = 1)
{
    Bytes res = Header(static_cast<uint32_t>(payload.size()),
                       payload.empty() ? 0 : Crc(payload.data(), payload.size()), num);
    Append(res, payload);
    return res;
}

// Random streams made of the things a parser meets: good frames, frames with a broken header
// or payload, headers announcing too much, runs of false magics, garbage, cut frames, and
// rejected payloads that hide further valid headers (large ones too).
class StreamMaker
{
public:
    explicit StreamMaker(uint32_t seed) : m_rnd(seed) {}

    Bytes Make(size_t approxSize, int depth = 0)
    {
        Bytes s;
        while (s.size() < approxSize)
            Append(s, Part(depth));
        return s;
    }

private:
    size_t Below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(m_rnd); }

    Bytes Payload(size_t max)
    {
        // Mostly small payloads; sometimes one above the size where CRC marks are used.
        const size_t n = Below(4) == 0 ? 1024 + Below(max) : Below(64);
        Bytes p(n);
        for (uint8_t& b : p)
            b = static_cast<uint8_t>(Below(256));
        return p;
    }

    Bytes Part(int depth)
    {
        switch (Below(depth < 2 ? 9 : 8))
        {
        case 0:
        case 1:
            return GoodFrame(Payload(2000), static_cast<uint16_t>(Below(65536)));
        case 2:
        {
            Bytes f = GoodFrame(Payload(500));
            f[4 + Below(f.size() - 4)] ^= static_cast<uint8_t>(1 + Below(255));
            return f;
        }
        case 3:
        {
            Bytes h = Header(static_cast<uint32_t>(c_stlMaxPayload + 1 + Below(1000)), 0);
            return h;
        }
        case 4:
        {
            Bytes f;
            for (size_t i = 0, n = 1 + Below(40); i < n; ++i)
                Append(f, {0x45, 0x00, 0x6F, 0xA9});
            return f;
        }
        case 5:
        {
            Bytes g(1 + Below(100));
            for (uint8_t& b : g)
                b = Below(3) == 0 ? 0x45 : static_cast<uint8_t>(Below(256));
            return g;
        }
        case 6:
        {
            Bytes f = GoodFrame(Payload(300));
            f.resize(1 + Below(f.size() - 1));
            return f;
        }
        case 7:
            return GoodFrame(Bytes());
        default:
        {
            // A valid header whose payload fails its CRC and holds more of the same.
            Bytes inner = Make(1024 + Below(3000), depth + 1);
            Bytes f = Header(static_cast<uint32_t>(inner.size()), Crc(inner.data(), inner.size()) ^ 1);
            Append(f, inner);
            return f;
        }
        }
    }

    std::mt19937 m_rnd;
};

TEST(StlPacketResyncTest, EveryCallGivesWhatThePlainRulesGive)
{
    std::mt19937 rnd(20240607);
    for (uint32_t round = 0; round < 150; ++round)
    {
        const Bytes stream = StreamMaker(round).Make(1 + rnd() % 12000);
        StlPacketSerializer s;
        StlReferenceParser ref;
        size_t pos = 0;
        size_t calls = 0;
        size_t packets = 0;
        // One call: both parsers must agree on the packet and on what stays buffered.
        auto call = [&](const uint8_t* p, size_t n)
        {
            ++calls;
            Bytes expected;
            const bool refGot = ref.ProcessData(p, n, expected);
            const uint64_t before = s.BufferedSize() + n;
            PacketPtr got = s.ProcessData(Piece(p, n));
            EXPECT_EQ(refGot, got != nullptr) << "round " << round << " call " << calls;
            if (got)
            {
                const Utils::ByteArray wire = StlPacketSerializer::Serialize(*got);
                EXPECT_EQ(expected, Bytes(wire.Data(), wire.Data() + wire.Size())) << "round " << round;
                ++packets;
            }
            EXPECT_EQ(ref.BufferedSize(), s.BufferedSize()) << "round " << round << " call " << calls;
            return got || s.BufferedSize() < before;
        };
        auto drain = [&]
        {
            while (call(nullptr, 0) && !::testing::Test::HasFailure())
            {
            }
        };

        while (pos < stream.size() && !::testing::Test::HasFailure())
        {
            size_t n = 0;
            switch (rnd() % 5)
            {
            case 0:
                n = 0;
                break;
            case 1:
                n = 1;
                break;
            case 2:
                n = 1 + rnd() % 64;
                break;
            case 3:
                n = 1 + rnd() % 2000;
                break;
            default:
                n = stream.size() - pos;
                break;
            }
            n = std::min(n, stream.size() - pos);
            const bool progress = call(stream.data() + pos, n);
            pos += n;
            if (progress && rnd() % 2 == 0)
                drain();
            if (rnd() % 300 == 0)
            {
                s.Reset();
                ref.Reset();
            }
        }
        drain();
        ASSERT_FALSE(::testing::Test::HasFailure()) << "round " << round;
    }
}

// Drains s after feeding chunk; returns the number of calls.
size_t FeedAndDrain(StlPacketSerializer& s, const Bytes& chunk, size_t* packets = nullptr)
{
    size_t calls = 0;
    Utils::ByteArray data = Piece(chunk.data(), chunk.size());
    for (;;)
    {
        ++calls;
        const uint64_t before = s.BufferedSize() + data.Size();
        PacketPtr p = s.ProcessData(data);
        if (p && packets)
            ++*packets;
        if (!p && s.BufferedSize() >= before)
            return calls;
        data = Piece(nullptr, 0);
    }
}

TEST(StlPacketResyncTest, FalseMagicsBehindARejectedPayloadCostLinearWork)
{
    // A valid header announcing nearly the whole buffer, a payload made of false magics and a
    // wrong payload CRC: the buffer goes one byte per call, and every call must be cheap.
    const size_t total = 1 << 20;
    Bytes stream = Header(static_cast<uint32_t>(total - 32), 1);
    while (stream.size() < total)
        Append(stream, {0x45, 0x00, 0x6F, 0xA9});
    Append(stream, GoodFrame({'e', 'n', 'd'}));

    StlPacketSerializer s;
    size_t packets = 0;
    const size_t calls = FeedAndDrain(s, stream, &packets);
    EXPECT_EQ(1u, packets) << "the frame behind the false magics is found";
    EXPECT_EQ(0u, s.BufferedSize());
    EXPECT_GT(calls, total / 2) << "the false starts go one byte per call";
    // Each false magic costs a header CRC (28 bytes) per 4 bytes of stream; moving the rest of
    // the buffer for every dropped byte would cost about total^2 / 2.
    EXPECT_LT(s.WorkBytes(), 16 * stream.size()) << "work per dropped byte must be O(1)";
}

TEST(StlPacketResyncTest, NestedValidHeadersCostLinearWork)
{
    // Garbage, then a valid header with a large rejected payload: while the garbage goes one
    // byte per call, the same header is met again and must not be checked again. Its payload
    // holds a valid header every 64 bytes, each announcing the rest of the buffer with a wrong
    // CRC, so each of them has a complete payload to check.
    const size_t total = 256 * 1024;
    Bytes stream(4096, 0x11);
    const size_t outer = stream.size();
    Append(stream, Header(static_cast<uint32_t>(total - outer - 32), 1));
    while (stream.size() + 64 <= total)
    {
        const size_t start = stream.size();
        Append(stream, Header(static_cast<uint32_t>(total - start - 32), 1));
        stream.resize(start + 64, 0x22);
    }
    stream.resize(total, 0x33);
    Append(stream, GoodFrame({'e', 'n', 'd'}));

    StlPacketSerializer s;
    size_t packets = 0;
    FeedAndDrain(s, stream, &packets);
    EXPECT_EQ(1u, packets);
    EXPECT_EQ(0u, s.BufferedSize());
    EXPECT_LT(s.WorkBytes(), 64 * stream.size()) << "checked payload bytes must not grow with the square";
}

TEST(StlPacketResyncTest, BytePerCallFeedChecksTheHeaderOnce)
{
    Bytes payload(4096);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i);
    const Bytes wire = GoodFrame(payload);

    StlPacketSerializer s;
    size_t got = 0;
    for (uint8_t b : wire)
        got += s.ProcessData(Piece(&b, 1)) ? 1 : 0;
    EXPECT_EQ(1u, got);
    EXPECT_LT(s.WorkBytes(), 3 * wire.size()) << "a waiting header must not be parsed for every byte";
}

} // namespace
