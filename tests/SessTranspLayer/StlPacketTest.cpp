#include <cstring>
#include <memory>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include "SessTranspLayer/StlPacket.h"
#include "Utils/Crc32.h"

namespace
{

using namespace SessTranspLayer;
using Bytes = std::vector<uint8_t>;
using PacketPtr = std::unique_ptr<StlPacket>;

Utils::ByteArray ToArray(const Bytes& b)
{
    // A non-null array even for no bytes: the parser refuses a null one.
    static const uint8_t c_none = 0;
    return Utils::ByteArray(b.empty() ? &c_none : b.data(), b.size());
}

Bytes ToBytes(const Utils::ByteArray& a)
{
    return a.IsEmpty() ? Bytes() : Bytes(a.Data(), a.Data() + a.Size());
}

Bytes Hex(const std::string& text)
{
    Bytes res;
    for (size_t i = 0; i < text.size();)
    {
        if (text[i] == ' ')
        {
            ++i;
            continue;
        }
        res.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return res;
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Utils::ByteArray Text(const std::string& s)
{
    return s.empty() ? ToArray(Bytes()) : Utils::ByteArray(s);
}

Bytes Frame(uint64_t src, uint32_t session, uint16_t num, StlCmd cmd, const std::string& payload = "")
{
    return ToBytes(StlPacketSerializer::Serialize(StlPacket(src, session, num, cmd, Text(payload))));
}

void Put32(Bytes& b, size_t offset, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[offset + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// Rewrites a header field and gives the header a valid CRC again, as a hostile peer could.
void PatchWithValidCrc(Bytes& b, size_t offset, uint32_t v)
{
    Put32(b, offset, v);
    Put32(b, 28, Utils::Crc32(b.data(), 28, 0xFFFFFFFF, true));
}

// Feeds one chunk, then keeps asking for packets while the parser makes progress, as the
// session connection does.
std::vector<PacketPtr> FeedAndDrain(StlPacketSerializer& s, const Bytes& chunk)
{
    std::vector<PacketPtr> res;
    Utils::ByteArray data = ToArray(chunk);
    for (;;)
    {
        const uint64_t before = s.BufferedSize() + data.Size();
        PacketPtr p = s.ProcessData(data);
        const bool progress = p || s.BufferedSize() < before;
        if (p)
            res.push_back(std::move(p));
        if (!progress)
            break;
        data = ToArray(Bytes());
    }
    return res;
}

void ExpectSamePacket(const StlPacket& a, const StlPacket& b)
{
    EXPECT_EQ(a.m_magic, b.m_magic);
    EXPECT_EQ(a.m_srcId, b.m_srcId);
    EXPECT_EQ(a.m_sessionId, b.m_sessionId);
    EXPECT_EQ(a.m_packNum, b.m_packNum);
    EXPECT_EQ(a.m_cmd, b.m_cmd);
    EXPECT_EQ(a.m_dataSize, b.m_dataSize);
    EXPECT_EQ(a.m_dataCrc, b.m_dataCrc);
    EXPECT_TRUE(a.m_data == b.m_data);
}

const char* const c_goldenPing =
    "45 00 6f a9 00 00 00 00 00 00 00 01 00 00 00 02 00 03 00 04 00 00 00 00 00 00 00 00 9b f8 8d 1b";
const char* const c_goldenConnect =
    "45 00 6f a9 11 22 33 44 55 66 77 88 0a 0b 0c 0d 00 00 00 00 00 00 00 00 00 00 00 00 6c 99 80 25";
const char* const c_goldenHello =
    "45 00 6f a9 01 23 45 67 89 ab cd ef de ad be ef 00 00 00 06 00 00 00 05 36 10 "
    "a6 86 c1 0e b4 56 68 65 6c 6c 6f";

TEST(StlPacketTest, GoldenPingSerialisesAndParsesBack)
{
    const StlPacket ping(1, 2, 3, StlCmd::cmdPing, Text(""));
    EXPECT_EQ(0u, ping.m_dataCrc);
    const Bytes wire = ToBytes(StlPacketSerializer::Serialize(ping));
    EXPECT_EQ(Hex(c_goldenPing), wire);

    StlPacketSerializer s;
    PacketPtr p = s.ProcessData(ToArray(wire));
    ASSERT_TRUE(p);
    ExpectSamePacket(ping, *p);
    EXPECT_EQ(0x9bf88d1bu, p->m_headerCrc);
    EXPECT_FALSE(p->m_data.IsNull());
    EXPECT_TRUE(p->m_data.IsEmpty());
    EXPECT_EQ(0u, s.BufferedSize());
    EXPECT_EQ("Cmd:cmdPing, SessionId:2, num:3, sz:0", p->ToString());
}

TEST(StlPacketTest, OtherGoldenPackets)
{
    const Bytes connect = Frame(0x1122334455667788ull, 0x0A0B0C0D, 0, StlCmd::cmdConnect);
    EXPECT_EQ(Hex(c_goldenConnect), connect);

    const StlPacket hello(0x0123456789ABCDEFull, 0xDEADBEEF, 0, StlCmd::cmdData, Text("hello"));
    EXPECT_EQ(0x3610A686u, hello.m_dataCrc);
    const Bytes helloWire = ToBytes(StlPacketSerializer::Serialize(hello));
    EXPECT_EQ(37u, helloWire.size());
    EXPECT_EQ(Hex(c_goldenHello), helloWire);

    // The golden bytes themselves, as a foreign peer would send them, in one delivery.
    StlPacketSerializer s;
    std::vector<PacketPtr> got = FeedAndDrain(s, Hex(c_goldenConnect) + Hex(c_goldenHello));
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(0x1122334455667788ull, got[0]->m_srcId);
    EXPECT_EQ(0x0A0B0C0Du, got[0]->m_sessionId);
    EXPECT_EQ(static_cast<uint32_t>(StlCmd::cmdConnect), got[0]->m_cmd);
    ExpectSamePacket(hello, *got[1]);
    EXPECT_EQ(Bytes({'h', 'e', 'l', 'l', 'o'}), ToBytes(got[1]->m_data));
    EXPECT_EQ("Cmd:cmdData, SessionId:3735928559, num:0, sz:5", got[1]->ToString());
}

TEST(StlPacketTest, ConstructorSharesThePayloadAndBoundaryValuesRoundTrip)
{
    Bytes payload(4096);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i * 7 + 1);
    const Utils::ByteArray data = ToArray(payload);
    const StlPacket p(0xFFFFFFFFFFFFFFFFull, 0xFFFFFFFF, 65535, StlCmd::cmdData, data);
    EXPECT_EQ(data.Data(), p.m_data.Data()) << "the payload buffer is shared, not copied";
    EXPECT_EQ(Utils::Crc32(payload.data(), 4096, 0xFFFFFFFF, true), p.m_dataCrc);

    const Utils::ByteArray wire = StlPacketSerializer::Serialize(p);
    EXPECT_EQ(4096u + 32u, wire.Size());
    EXPECT_EQ(wire.Size(), wire.Capacity()) << "the packet is reserved whole";

    StlPacketSerializer s;
    PacketPtr back = s.ProcessData(wire);
    ASSERT_TRUE(back);
    ExpectSamePacket(p, *back);
}

TEST(StlPacketTest, BytePerCallYieldsThePacketOnTheLastByte)
{
    for (const std::string& payload : std::vector<std::string>{"", "hello", std::string(1568, 'x')})
    {
        const Bytes wire = Frame(5, 6, 7, payload.empty() ? StlCmd::cmdPong : StlCmd::cmdData, payload);
        StlPacketSerializer s;
        for (size_t i = 0; i + 1 < wire.size(); ++i)
            ASSERT_FALSE(s.ProcessData(ToArray({wire[i]}))) << "byte " << i;
        PacketPtr p = s.ProcessData(ToArray({wire.back()}));
        ASSERT_TRUE(p) << payload.size();
        EXPECT_EQ(payload.size(), p->m_dataSize);
        EXPECT_EQ(0u, s.BufferedSize());
    }
}

TEST(StlPacketTest, OnePacketPerCallTheRestStaysBuffered)
{
    const Bytes a = Frame(1, 2, 0, StlCmd::cmdData, "first");
    const Bytes b = Frame(1, 2, 1, StlCmd::cmdPing);
    const Bytes c = Frame(1, 2, 2, StlCmd::cmdData, "third");

    StlPacketSerializer s;
    PacketPtr p = s.ProcessData(ToArray(a + b + c));
    ASSERT_TRUE(p);
    EXPECT_EQ(0, p->m_packNum);
    EXPECT_EQ(b.size() + c.size(), s.BufferedSize());

    // An empty delivery brings out the next complete packet.
    p = s.ProcessData(ToArray(Bytes()));
    ASSERT_TRUE(p);
    EXPECT_EQ(1, p->m_packNum);

    // So does a single byte of a later packet; that byte stays behind the third packet.
    const Bytes d = Frame(1, 2, 3, StlCmd::cmdPing);
    p = s.ProcessData(ToArray({d[0]}));
    ASSERT_TRUE(p);
    EXPECT_EQ(2, p->m_packNum);
    EXPECT_EQ(1u, s.BufferedSize());
    EXPECT_FALSE(s.ProcessData(ToArray(Bytes(d.begin() + 1, d.end() - 1))));
    p = s.ProcessData(ToArray({d.back()}));
    ASSERT_TRUE(p);
    EXPECT_EQ(3, p->m_packNum);
}

TEST(StlPacketTest, GarbageIsDiscardedButASplitMagicSurvives)
{
    StlPacketSerializer s;
    EXPECT_FALSE(s.ProcessData(ToArray(Bytes(10, 0x11))));
    EXPECT_EQ(4u, s.BufferedSize());
    s.Reset();
    EXPECT_FALSE(s.ProcessData(ToArray(Bytes(3, 0x11))));
    EXPECT_EQ(3u, s.BufferedSize());

    // A magic cut after its third byte arrives whole with the next delivery.
    const Bytes wire = Frame(9, 8, 0, StlCmd::cmdConnected);
    StlPacketSerializer split;
    EXPECT_FALSE(split.ProcessData(ToArray(Bytes(50, 0x45) + Bytes(wire.begin(), wire.begin() + 3))));
    EXPECT_EQ(4u, split.BufferedSize());
    PacketPtr p = split.ProcessData(ToArray(Bytes(wire.begin() + 3, wire.end())));
    ASSERT_TRUE(p);
    EXPECT_EQ(9u, p->m_srcId);
    EXPECT_EQ(0u, split.BufferedSize());
}

TEST(StlPacketTest, GarbageBeforeAGoodPacketGoesWithIt)
{
    StlPacketSerializer s;
    PacketPtr p =
        s.ProcessData(ToArray(Hex("01 02 03 45 00 6f 07 08 09") + Frame(1, 2, 3, StlCmd::cmdData, "x")));
    ASSERT_TRUE(p);
    EXPECT_EQ(Bytes({'x'}), ToBytes(p->m_data));
    EXPECT_EQ(0u, s.BufferedSize());

    // Garbage before a header that is still incomplete is dropped while the header is awaited.
    const Bytes wire = Frame(1, 2, 4, StlCmd::cmdPing);
    EXPECT_FALSE(s.ProcessData(ToArray(Bytes(20, 0x33) + Bytes(wire.begin(), wire.begin() + 10))));
    EXPECT_EQ(10u, s.BufferedSize());
    EXPECT_TRUE(s.ProcessData(ToArray(Bytes(wire.begin() + 10, wire.end()))));
}

TEST(StlPacketTest, CorruptionDropsOneByteAndResynchronises)
{
    const Bytes good = Frame(1, 2, 3, StlCmd::cmdData, "payload");
    const Bytes next = Frame(1, 2, 4, StlCmd::cmdData, "next");

    Bytes badPayload = good;
    badPayload[32 + 2] ^= 0x01;
    Bytes badHeader = good;
    badHeader[14] ^= 0x80;

    for (const Bytes& bad : {badPayload, badHeader})
    {
        StlPacketSerializer s;
        EXPECT_FALSE(s.ProcessData(ToArray(bad)));
        EXPECT_EQ(bad.size() - 1, s.BufferedSize()) << "exactly one byte dropped";

        // The following packet is found once the stream is drained.
        std::vector<PacketPtr> got = FeedAndDrain(s, next);
        ASSERT_EQ(1u, got.size());
        EXPECT_EQ(4, got[0]->m_packNum);
        EXPECT_EQ(0u, s.BufferedSize());
    }

    // A false magic behind other bytes: the front shrinks one byte per call.
    StlPacketSerializer s;
    const Bytes falseMagic = Hex("aa bb 45 00 6f a9") + Bytes(40, 0);
    EXPECT_FALSE(s.ProcessData(ToArray(falseMagic)));
    EXPECT_EQ(falseMagic.size() - 1, s.BufferedSize());
    EXPECT_FALSE(s.ProcessData(ToArray(Bytes())));
    EXPECT_EQ(falseMagic.size() - 2, s.BufferedSize());
}

TEST(StlPacketTest, UnknownCommandPassesAndPrintsItsNumber)
{
    StlPacket p(1, 2, 3, StlCmd::cmdPing, Text(""));
    p.m_cmd = 9;
    StlPacketSerializer s;
    PacketPtr back = s.ProcessData(StlPacketSerializer::Serialize(p));
    ASSERT_TRUE(back);
    EXPECT_EQ(9u, back->m_cmd);
    EXPECT_EQ("Cmd:9(Can`t resolve), SessionId:2, num:3, sz:0", back->ToString());

    // Only the low 16 bits travel.
    p.m_cmd = 0x10006;
    back = s.ProcessData(StlPacketSerializer::Serialize(p));
    ASSERT_TRUE(back);
    EXPECT_EQ(static_cast<uint32_t>(StlCmd::cmdData), back->m_cmd);
    p.m_cmd = 0xFFFFFFFF;
    EXPECT_EQ("Cmd:4294967295(Can`t resolve), SessionId:2, num:3, sz:0", p.ToString());
}

TEST(StlPacketTest, ResetForgetsAHalfPacket)
{
    const Bytes a = Frame(1, 2, 0, StlCmd::cmdData, "abc");
    const Bytes b = Frame(1, 2, 1, StlCmd::cmdData, "def");
    StlPacketSerializer s;
    EXPECT_FALSE(s.ProcessData(ToArray(Bytes(a.begin(), a.begin() + 20))));
    s.Reset();
    EXPECT_EQ(0u, s.BufferedSize());
    // The rest of the first packet is now garbage; the second one parses.
    std::vector<PacketPtr> got = FeedAndDrain(s, Bytes(a.begin() + 20, a.end()) + b);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(Bytes({'d', 'e', 'f'}), ToBytes(got[0]->m_data));
    s.Reset();
    s.Reset(); // idempotent, also on an empty buffer
    EXPECT_EQ(0u, s.BufferedSize());
}

TEST(StlPacketTest, AnnouncedSizeIsBounded)
{
    const Bytes next = Frame(1, 2, 4, StlCmd::cmdPing);

    // Sizes a peer with a valid header CRC could announce: above the bound, and near 2^32
    // where 32 + N wraps in 32-bit arithmetic.
    for (uint32_t n : {uint32_t(c_stlMaxPayload + 1), 0xFFFFFFFFu, 0xFFFFFFE0u, 0xFFFFFFE1u})
    {
        Bytes hostile = Frame(1, 2, 3, StlCmd::cmdData);
        PatchWithValidCrc(hostile, 20, n);
        StlPacketSerializer s;
        EXPECT_FALSE(s.ProcessData(ToArray(hostile + Bytes(64, 0))));
        EXPECT_EQ(hostile.size() + 64 - 1, s.BufferedSize()) << "treated as a bad header: " << n;

        std::vector<PacketPtr> got = FeedAndDrain(s, next);
        ASSERT_EQ(1u, got.size()) << n;
        EXPECT_EQ(0u, s.BufferedSize());
    }

    // The bound itself is a legal size: the parser waits for the payload.
    Bytes big = Frame(1, 2, 3, StlCmd::cmdData);
    PatchWithValidCrc(big, 20, uint32_t(c_stlMaxPayload));
    StlPacketSerializer s;
    EXPECT_FALSE(s.ProcessData(ToArray(big + Bytes(100, 0))));
    EXPECT_EQ(big.size() + 100, s.BufferedSize());
}

TEST(StlPacketTest, LargestPayloadRoundTrips)
{
    const Utils::ByteArray payload(c_stlMaxPayload, 0x5A, 0);
    const Utils::ByteArray wire =
        StlPacketSerializer::Serialize(StlPacket(1, 2, 3, StlCmd::cmdData, payload));
    StlPacketSerializer s;
    PacketPtr p = s.ProcessData(wire);
    ASSERT_TRUE(p);
    EXPECT_EQ(c_stlMaxPayload, p->m_dataSize);
    EXPECT_TRUE(p->m_data == payload);
    EXPECT_EQ(0u, s.BufferedSize());
}

TEST(StlPacketDeathTest, ContractViolationsHalt)
{
    using ::testing::ExitedWithCode;
    EXPECT_EXIT(
        {
            StlPacketSerializer s;
            s.ProcessData(Utils::ByteArray());
        },
        ExitedWithCode(3), "!ba.IsNull\\(\\)");
    EXPECT_EXIT(
        {
            StlPacket p(1, 2, 3, StlCmd::cmdData, Text("abc"));
            p.m_dataSize = 4;
            StlPacketSerializer::Serialize(p);
        },
        ExitedWithCode(3), "p.m_data.Size\\(\\) == p.m_dataSize");
    EXPECT_EXIT({ StlPacket p(1, 2, 3, StlCmd::cmdData, Utils::ByteArray(c_stlMaxPayload + 1, 0, 0)); },
                ExitedWithCode(3), "data.Size\\(\\) <= c_stlMaxPayload");
}

} // namespace
