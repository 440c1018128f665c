#include <cstdint>
#include <random>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include "MbProtocol/MbPacket.h"
#include "MbProtocol/MbStream.h"
#include "MbTestTypes.h"
#include "Utils/StringUtils.h"

using namespace MbTest;
using MbProtocol::BadIncomingPacket;
using MbProtocol::Packet;
using MbProtocol::PackHeader;
using MbProtocol::PackReceiver;

namespace
{

PackHeader Header(uint8_t req, int32_t cmd, int32_t toDispatch, int32_t toReply, int32_t ver = 1,
                  uint8_t noLog = 0)
{
    PackHeader h;
    h.req = req;
    h.noLog = noLog;
    h.cmd = cmd;
    h.contextToDispatch = toDispatch;
    h.contextToReply = toReply;
    h.ver = ver;
    return h;
}

// TestPacket{5, "abc"} as a request to context 1 with replies to context 1: header fields
// big-endian, the CRC-32 of the first 18 bytes (zlib's crc32 gives 0xD55574C9), then the
// object's fields as msgpack (type number, value).
const std::vector<uint8_t> c_golden = {
    0x01, 0x00,                                     // req, noLog
    0x00, 0x00, 0x00, 0x00,                         // cmd 0
    0x00, 0x00, 0x00, 0x01,                         // contextToDispatch 1
    0x00, 0x00, 0x00, 0x01,                         // contextToReply 1
    0x00, 0x00, 0x00, 0x01,                         // ver 1
    0x00, 0x00, 0x00, 0x08,                         // length 8
    0xD5, 0x55, 0x74, 0xC9,                         // crc
    0x03, 0x05, 0x0C, 0x03, 0xA3, 0x61, 0x62, 0x63, // int 5, bytes "abc"
};

Utils::ByteArray GoldenPacket()
{
    return Bytes(c_golden);
}

std::string Message(const ESS::BaseException& e)
{
    return Utils::WStringToStdString(e.Message());
}

// The text of the exception that TryGetPacket throws over all of bytes; "" when none.
template <class TException>
std::string ReceiveError(const Utils::ByteArray& bytes, const MbProtocol::CommandList& list)
{
    PackReceiver rx(1, list);
    rx.PushData(bytes);
    try
    {
        while (rx.TryGetPacket())
        {
        }
    }
    catch (const TException& e)
    {
        return Message(e);
    }
    return std::string();
}

class MbPacketTest : public ::testing::Test
{
protected:
    RequestList m_requests;
    RespList m_responses;
};

} // namespace

TEST_F(MbPacketTest, HeaderIsTwentySixBytes)
{
    EXPECT_EQ(26u, MbProtocol::HeaderSize());
    EXPECT_EQ(26u, MbProtocol::SerializeHeader(PackHeader(), 0).Size());
    // The CRC of eighteen zero bytes (zlib: 0x671BCF4D).
    EXPECT_EQ(0x671BCF4Du, MbProtocol::CalcHeaderCrc(PackHeader()));
}

TEST_F(MbPacketTest, MakePacketWritesTheGoldenBytes)
{
    TestPacket cmd(5, Utils::ByteArray(std::string("abc")));
    const Utils::ByteArray bytes = MbProtocol::MakePacket(Header(1, 0, 1, 1), cmd);
    EXPECT_EQ(c_golden, Vec(bytes));
}

TEST_F(MbPacketTest, HeaderFieldsAreBigEndianAndSigned)
{
    const Utils::ByteArray h = MbProtocol::SerializeHeader(Header(0, 2, -2, 7, 1, 1), 0x01020304);
    const std::vector<uint8_t> expected = {0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0xFF, 0xFF, 0xFF,
                                           0xFE, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x01,
                                           0x01, 0x02, 0x03, 0x04, 0xD6, 0x97, 0x70, 0x10};
    EXPECT_EQ(expected, Vec(h));

    const MbProtocol::StreamPackHeader back = MbProtocol::ParseHeader(h.Data());
    EXPECT_EQ(0, back.req);
    EXPECT_EQ(1, back.noLog);
    EXPECT_EQ(2, back.cmd);
    EXPECT_EQ(-2, back.contextToDispatch);
    EXPECT_EQ(7, back.contextToReply);
    EXPECT_EQ(1, back.ver);
    EXPECT_EQ(0x01020304u, back.length);
    EXPECT_EQ(0xD6977010u, back.crc);
}

TEST_F(MbPacketTest, HeaderInThreePiecesThenTheNextPacketFromTheSameChunk)
{
    PackReceiver rx(1, m_requests);
    const Utils::ByteArray p = GoldenPacket();
    TestPacket second(-300, Utils::ByteArray(std::string("xyz!")));
    const Utils::ByteArray q = MbProtocol::MakePacket(Header(1, 0, 4, 5), second);

    rx.PushData(Slice(p, 0, 1));
    EXPECT_FALSE(rx.TryGetPacket());
    rx.PushData(Slice(p, 1, 20));
    EXPECT_FALSE(rx.TryGetPacket());
    // The rest of the header, the payload and the whole second packet in one chunk.
    rx.PushData(Join({Slice(p, 21, p.Size() - 21), q}));

    std::shared_ptr<Packet> first = rx.TryGetPacket();
    ASSERT_TRUE(first);
    EXPECT_EQ(5, first->As<TestPacket>()->m_packetNum);
    EXPECT_EQ(Utils::ByteArray(std::string("abc")), first->As<TestPacket>()->m_payload);
    EXPECT_EQ(1, first->ContextToDispatch().Id());

    std::shared_ptr<Packet> next = rx.TryGetPacket();
    ASSERT_TRUE(next);
    EXPECT_EQ(-300, next->As<TestPacket>()->m_packetNum);
    EXPECT_EQ(4, next->ContextToDispatch().Id());
    EXPECT_EQ(5, next->ContextToReply().Id());
    EXPECT_FALSE(rx.TryGetPacket());
    EXPECT_EQ(0u, rx.BufferSize());
}

TEST_F(MbPacketTest, PacketSplitAtEveryPositionIsRecognisedOnce)
{
    const Utils::ByteArray p = GoldenPacket();
    for (uint64_t cut = 1; cut < p.Size(); ++cut)
    {
        PackReceiver rx(1, m_requests);
        rx.PushData(Slice(p, 0, cut));
        EXPECT_FALSE(rx.TryGetPacket()) << cut;
        rx.PushData(Slice(p, cut, p.Size() - cut));
        std::shared_ptr<Packet> got = rx.TryGetPacket();
        ASSERT_TRUE(got) << cut;
        EXPECT_EQ(5, got->As<TestPacket>()->m_packetNum);
        EXPECT_FALSE(rx.TryGetPacket());
    }
}

TEST_F(MbPacketTest, ZeroLengthPacketIsCompleteWithItsHeader)
{
    Ping ping;
    const Utils::ByteArray bytes = MbProtocol::MakePacket(Header(1, 1, 0, 0), ping);
    ASSERT_EQ(26u, bytes.Size());

    PackReceiver rx(1, m_requests);
    rx.PushData(bytes);
    std::shared_ptr<Packet> got = rx.TryGetPacket();
    ASSERT_TRUE(got);
    EXPECT_TRUE(got->Payload().IsEmpty());
    EXPECT_TRUE(got->As<Ping>());

    // A command with fields cannot be made from nothing.
    const Utils::ByteArray empty = MbProtocol::SerializeHeader(Header(1, 0, 0, 0), 0);
    const std::string err = ReceiveError<BadIncomingPacket>(empty, m_requests);
    EXPECT_EQ(0u, err.find("Bad incoming packet PACKET req cmd = 0 [TestPacket]")) << err;
    EXPECT_NE(std::string::npos, err.find("Not enough byte to deserialize")) << err;
}

TEST_F(MbPacketTest, AnyChangeInTheFirstEighteenBytesIsACrcMismatch)
{
    const Utils::ByteArray p = GoldenPacket();
    for (uint64_t i = 0; i < 18; ++i)
    {
        std::vector<uint8_t> bad = c_golden;
        bad[i] ^= 0x10;
        const MbProtocol::StreamPackHeader h = MbProtocol::ParseHeader(bad.data());
        const std::string expected = "CRC code mismatch: actual(" +
                                     std::to_string(MbProtocol::CalcHeaderCrc(h)) +
                                     ") != expected(3579147465)";

        PackReceiver rx(1, m_requests);
        rx.PushData(Bytes(bad));
        try
        {
            rx.TryGetPacket();
            ADD_FAILURE() << "byte " << i << " changed without an error";
        }
        catch (const BadIncomingPacket&)
        {
            ADD_FAILURE() << "byte " << i << ": a CRC mismatch is not a bad packet";
        }
        catch (const ESS::Exception& e)
        {
            EXPECT_EQ(expected, Message(e)) << i;
        }
        // The header bytes are consumed either way.
        EXPECT_EQ(p.Size() - 26, rx.BufferSize());
        EXPECT_FALSE(rx.HeaderPending());
    }
}

TEST_F(MbPacketTest, LengthIsOutsideTheCrcAndMisSlicesThePayload)
{
    std::vector<uint8_t> bytes = c_golden;
    bytes[21] = 0x09; // one byte more than the object has
    PackReceiver rx(1, m_requests);
    rx.PushData(Bytes(bytes));
    EXPECT_FALSE(rx.TryGetPacket()); // waits for the ninth byte
    EXPECT_TRUE(rx.HeaderPending());
    rx.PushData(Bytes({0x00}));
    try
    {
        rx.TryGetPacket();
        ADD_FAILURE() << "a payload with a byte too many was accepted";
    }
    catch (const BadIncomingPacket& e)
    {
        EXPECT_EQ(
            "Bad incoming packet PACKET req cmd = 0 [TestPacket] contextToDispatch = 1 contextToReply = 1 "
            "ver = 1 data[9] {03 05 0c 03 a3 61 62 63 00}; "
            "After deserialization 1 bytes left unused. Possibly wrong input data.",
            Message(e));
    }
}

TEST_F(MbPacketTest, ChecksComeInOrderDirectionVersionCommand)
{
    auto packet = [](const PackHeader& h)
    {
        TestPacket cmd(1, Utils::ByteArray(std::string("q")));
        return MbProtocol::MakePacket(h, cmd);
    };
    auto reason = [](const std::string& err)
    {
        const size_t semi = err.rfind("; ");
        return semi == std::string::npos ? err : err.substr(semi + 2);
    };

    // A response at a side that expects requests: refused before version and command are seen.
    EXPECT_EQ("Bad req/resp in packet",
              reason(ReceiveError<BadIncomingPacket>(packet(Header(0, 99, 0, 0, 7)), m_requests)));
    EXPECT_EQ("Bad req/resp in packet",
              reason(ReceiveError<BadIncomingPacket>(packet(Header(1, 0, 0, 0)), m_responses)));
    // Any non-zero req is a request.
    EXPECT_EQ("", ReceiveError<BadIncomingPacket>(packet(Header(0x80, 0, 0, 0)), m_requests));

    EXPECT_EQ("Bad version 7",
              reason(ReceiveError<BadIncomingPacket>(packet(Header(1, 99, 0, 0, 7)), m_requests)));
    EXPECT_EQ("Bad version -1",
              reason(ReceiveError<BadIncomingPacket>(packet(Header(1, 0, 0, 0, -1)), m_requests)));
    EXPECT_EQ("bad command", reason(ReceiveError<BadIncomingPacket>(packet(Header(1, 3, 0, 0)), m_requests)));
    EXPECT_EQ("bad command",
              reason(ReceiveError<BadIncomingPacket>(packet(Header(1, -1, 0, 0)), m_requests)));

    // The text of the refused packet, with data, comes first.
    const std::string err = ReceiveError<BadIncomingPacket>(packet(Header(1, 3, 2, 6)), m_requests);
    EXPECT_EQ(
        "Bad incoming packet PACKET req cmd = 3 contextToDispatch = 2 contextToReply = 6 ver = 1 data[6] "
        "{03 01 0c 01 a1 71}; bad command",
        err);
}

TEST_F(MbPacketTest, ARefusedPayloadIsSkippedWholeAndTheNextPacketIsRead)
{
    // A payload of the right length that is not a TestPacket (a string where an int belongs).
    const Utils::ByteArray wrong = Bytes({0x0A, 0xA3, 0x61, 0x62, 0x63});
    Utils::ByteArray bad =
        MbProtocol::SerializeHeader(Header(1, 0, 0, 0), static_cast<uint32_t>(wrong.Size()));
    bad.Append(wrong, true);

    PackReceiver rx(1, m_requests);
    rx.PushData(Join({bad, GoldenPacket()}));
    EXPECT_THROW(rx.TryGetPacket(), BadIncomingPacket);
    EXPECT_FALSE(rx.HeaderPending());
    std::shared_ptr<Packet> next = rx.TryGetPacket();
    ASSERT_TRUE(next);
    EXPECT_EQ(5, next->As<TestPacket>()->m_packetNum);
}

TEST_F(MbPacketTest, AnnouncedPayloadAboveTheLimitIsRefusedAtOnce)
{
    for (uint32_t length : {MbProtocol::c_maxPayloadSize + 1, 0xFFFFFFFFu})
    {
        PackReceiver rx(1, m_requests);
        rx.PushData(MbProtocol::SerializeHeader(Header(1, 0, 0, 0), length));
        try
        {
            rx.TryGetPacket();
            ADD_FAILURE() << "accepted a length of " << length;
        }
        catch (const BadIncomingPacket& e)
        {
            EXPECT_EQ("Bad incoming packet length " + std::to_string(length) + " above the limit of " +
                          std::to_string(MbProtocol::c_maxPayloadSize),
                      Message(e));
        }
        EXPECT_FALSE(rx.HeaderPending());
    }

    // The limit itself is accepted and waited for.
    PackReceiver rx(1, m_requests);
    rx.PushData(MbProtocol::SerializeHeader(Header(1, 0, 0, 0), MbProtocol::c_maxPayloadSize));
    EXPECT_FALSE(rx.TryGetPacket());
    EXPECT_TRUE(rx.HeaderPending());
}

namespace TextNs
{
namespace Inner
{
// A command inside namespaces: texts show its bare class name.
class TestPacket : public MbTest::TestPacket
{
public:
    using MbTest::TestPacket::TestPacket;
    boost::shared_ptr<YrMeta::Info> CreateInfo() const override
    {
        boost::shared_ptr<YrMeta::Info> info(new YrMeta::Info(this));
        YrMeta::Info::AddField<int>(*info, "m_packetNum", &m_packetNum);
        YrMeta::Info::AddField(*info, "m_payload", &m_payload);
        return info;
    }
};
} // namespace Inner

class List : public MbProtocol::CommandList
{
public:
    List() : CommandList(true) { Add<Inner::TestPacket>(false); }
};
} // namespace TextNs

TEST_F(MbPacketTest, PacketTextShowsTheBareClassNameAndAtMostSixteenBytes)
{
    TextNs::List list;
    // 03 05 (the number), 0C 0F AF (a byte array: its size, then 15 bytes as a raw): 20 bytes.
    TextNs::Inner::TestPacket cmd(5, Utils::ByteArray(15, 0x11, 0));
    const Utils::ByteArray bytes = MbProtocol::MakePacket(Header(1, 0, 1, 2), cmd);
    ASSERT_EQ(46u, bytes.Size());

    PackReceiver rx(1, list);
    rx.PushData(bytes);
    std::shared_ptr<Packet> p = rx.TryGetPacket();
    ASSERT_TRUE(p);
    EXPECT_EQ("PACKET req cmd = 0 [TestPacket] contextToDispatch = 1 contextToReply = 2 ver = 1 data[20] "
              "{03 05 0c 0f af 11 11 11 11 11 11 11 11 11 11 11 (...)}",
              p->ToString(true));
    EXPECT_EQ("PACKET req cmd = 0 [TestPacket] contextToDispatch = 1 contextToReply = 2 ver = 1 data[20]",
              p->ToString(false));

    // The sender's view: the same text from the whole buffer.
    EXPECT_EQ(p->ToString(true), Packet::ToString(p->Header(), bytes, p->CommandType(), true, true));
    // Without a type name there are no brackets; a response says so.
    PackHeader resp = p->Header();
    resp.req = 0;
    EXPECT_EQ("PACKET resp cmd = 0 contextToDispatch = 1 contextToReply = 2 ver = 1 data[20]",
              Packet::ToString(resp, p->Payload(), std::string(), false, false));
}

TEST_F(MbPacketTest, LogPacketPicksTheRecordByTheActiveLevel)
{
    PackReceiver rx(1, m_requests);
    rx.PushData(GoldenPacket());
    std::shared_ptr<Packet> p = rx.TryGetPacket();
    ASSERT_TRUE(p);
    const std::string withData = p->ToString(true);
    const std::string without = p->ToString(false);

    {
        LogCapture cap(16);
        YrLogV2::Log log(cap.Parent(), "pkt");
        MbProtocol::LogPacket(*p, "Got", log, false);
        MbProtocol::LogPacket(*p, "Bad; ", log, true);
        EXPECT_EQ((std::vector<std::string>{"packet: Got " + withData, "Error: Bad; " + withData}),
                  cap.Records("pkt"));
    }
    {
        LogCapture cap(YrLogV2::c_defaultLevel);
        YrLogV2::Log log(cap.Parent(), "pkt");
        MbProtocol::LogPacket(*p, "Got ", log, false);
        EXPECT_EQ((std::vector<std::string>{"Info: Got " + without}), cap.Records("pkt"));
    }
    {
        LogCapture cap(1);
        YrLogV2::Log log(cap.Parent(), "pkt");
        MbProtocol::LogPacket(*p, "Got", log, false);
        MbProtocol::LogPacket(*p, "Got", log, true);
        EXPECT_TRUE(cap.Records("pkt").empty());
    }
}

// Whatever a peer sends, the receiver either returns packets or throws one of our exceptions.
TEST_F(MbPacketTest, ArbitraryBytesNeverCrashTheReceiver)
{
    std::mt19937 rng(12345);
    std::vector<Utils::ByteArray> seeds;
    seeds.push_back(GoldenPacket());
    {
        Ping ping;
        seeds.push_back(MbProtocol::MakePacket(Header(1, 1, 0, 0), ping));
        TestPacket big(77, Utils::ByteArray(3000, 0x5A, 0));
        seeds.push_back(MbProtocol::MakePacket(Header(1, 0, 3, 3), big));
    }

    int packets = 0, errors = 0;
    for (int round = 0; round < 3000; ++round)
    {
        // Valid packets with a few bytes changed, or plain noise behind a valid header.
        std::vector<uint8_t> stream;
        for (int k = 0; k < 3; ++k)
        {
            std::vector<uint8_t> s = Vec(seeds[rng() % seeds.size()]);
            const int flips = static_cast<int>(rng() % 4);
            for (int f = 0; f < flips; ++f)
            {
                const size_t pos = 26 + rng() % (s.size() > 26 ? s.size() - 26 : 1);
                if (pos < s.size())
                    s[pos] = static_cast<uint8_t>(rng());
            }
            if (rng() % 5 == 0 && s.size() > 26)
            {
                s.resize(26 + rng() % (s.size() - 26));
                const uint32_t len = static_cast<uint32_t>(s.size() - 26);
                s[18] = uint8_t(len >> 24), s[19] = uint8_t(len >> 16), s[20] = uint8_t(len >> 8),
                s[21] = uint8_t(len);
            }
            stream.insert(stream.end(), s.begin(), s.end());
        }

        PackReceiver rx(1, m_requests);
        size_t pos = 0;
        bool broken = false;
        while (pos < stream.size() && !broken)
        {
            const size_t n = std::min<size_t>(stream.size() - pos, 1 + rng() % 200);
            rx.PushData(Utils::ByteArray(stream.data() + pos, n));
            pos += n;
            try
            {
                while (std::shared_ptr<Packet> p = rx.TryGetPacket())
                {
                    ASSERT_TRUE(p->Data());
                    ++packets;
                }
            }
            catch (const ESS::Exception&)
            {
                ++errors;
                broken = true; // a user gives the link up
            }
        }
    }
    EXPECT_GT(packets, 0);
    EXPECT_GT(errors, 0);
}
