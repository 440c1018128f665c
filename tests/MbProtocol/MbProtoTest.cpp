#include <functional>
#include <string>
#include <utility>
#include <vector>
#include <gtest/gtest.h>
#include "MbProtocol/MbProto.h"
#include "MbTestTypes.h"
#include "Utils/StringUtils.h"
#include "common/RegexLiteral.h"

using namespace MbTest;
using MbProtocol::BadIncomingPacket;
using MbProtocol::Context;
using MbProtocol::ContextId;
using MbProtocol::Packet;

namespace
{

// What one side's handlers saw: "<context>:<command>:<packetNum>".
struct Seen
{
    std::vector<std::string> items;

    Context::HandlerFn Handler(const std::string& name, bool accept = true)
    {
        return [this, name, accept](const Packet& p)
        {
            std::string num = "-";
            if (auto t = std::dynamic_pointer_cast<TestPacket>(p.Data()))
                num = std::to_string(t->m_packetNum);
            items.push_back(name + ":" + Platform::PrettyTypeName(p.CommandType().c_str()) + ":" + num);
            return accept;
        };
    }
};

// A client and a server engine whose sends are kept until delivered.
class MbProtoTest : public ::testing::Test
{
protected:
    MbProtoTest()
        : m_client(
              false, m_cap.Parent(), [this](const Utils::ByteArray& b) { m_toServer.push_back(b); },
              m_clientSeen.Handler("client")),
          m_server(
              true, m_serverLog, [this](const Utils::ByteArray& b) { m_toClient.push_back(b); },
              m_serverSeen.Handler("server"))
    {
    }

    // Everything the client sent, in one PutData call.
    void DeliverToServer()
    {
        Utils::ByteArray all = Join(m_toServer);
        m_toServer.clear();
        m_server.PutData(all);
    }
    void DeliverToClient()
    {
        Utils::ByteArray all = Join(m_toClient);
        m_toClient.clear();
        m_client.PutData(all);
    }

    LogCapture m_cap{YrLogV2::c_defaultLevel};
    YrLogV2::Log m_serverLog{m_cap.Parent(), "srv"};
    Seen m_clientSeen, m_serverSeen;
    std::vector<Utils::ByteArray> m_toServer, m_toClient;
    Proto m_client;
    Proto m_server;
};

} // namespace

TEST_F(MbProtoTest, ClientRequestAndServerResponse)
{
    m_client.Send(ContextId(0), ContextId(3), TestPacket(1, Utils::ByteArray(std::string("hello"))));
    ASSERT_EQ(1u, m_toServer.size());
    EXPECT_EQ(1, std::as_const(m_toServer[0]).Data()[0]); // a request
    DeliverToServer();
    EXPECT_EQ((std::vector<std::string>{"server:MbTest::TestPacket:1"}), m_serverSeen.items);

    m_server.Send(ContextId(3), ContextId(0), TestPacket(2, Utils::ByteArray(std::string("world"))));
    ASSERT_EQ(1u, m_toClient.size());
    EXPECT_EQ(0, std::as_const(m_toClient[0]).Data()[0]); // a response
    DeliverToClient();
    EXPECT_EQ((std::vector<std::string>{"client:MbTest::TestPacket:2"}), m_clientSeen.items);
}

TEST_F(MbProtoTest, ARequestReachingTheClientIsRefused)
{
    // Two clients: one's request arrives where responses are expected.
    std::vector<Utils::ByteArray> sent;
    Proto other(
        false, m_cap.Parent(), [&](const Utils::ByteArray& b) { sent.push_back(b); },
        [](const Packet&) { return true; });
    other.Send(ContextId(0), ContextId(0), Ping());
    try
    {
        m_client.PutData(sent.at(0));
        ADD_FAILURE() << "a request was taken by the client";
    }
    catch (const BadIncomingPacket& e)
    {
        const std::string text = Utils::WStringToStdString(e.Message());
        EXPECT_EQ("; Bad req/resp in packet", text.substr(text.rfind(';')));
    }
    EXPECT_TRUE(m_clientSeen.items.empty());
}

TEST_F(MbProtoTest, PacketsAreDispatchedAsSoonAsTheyAreComplete)
{
    for (int i = 0; i < 4; ++i)
        m_client.Send(ContextId(0), ContextId(0), TestPacket(i, Utils::ByteArray(100 + i, uint8_t(i), 0)));
    Utils::ByteArray all = Join(m_toServer);
    const uint64_t fourth = m_toServer[3].Size();
    const uint64_t cut = all.Size() - fourth / 2;

    m_server.PutData(Slice(all, 0, cut));
    EXPECT_EQ(3u, m_serverSeen.items.size());
    m_server.PutData(Slice(all, cut, all.Size() - cut));
    EXPECT_EQ((std::vector<std::string>{"server:MbTest::TestPacket:0", "server:MbTest::TestPacket:1",
                                        "server:MbTest::TestPacket:2", "server:MbTest::TestPacket:3"}),
              m_serverSeen.items);
}

TEST_F(MbProtoTest, UnknownDispatchContextGoesToTheDefaultHandlerAndIsLogged)
{
    m_client.Send(ContextId(9), ContextId(4), TestPacket(5, Utils::ByteArray(std::string("abc"))));
    DeliverToServer();
    EXPECT_EQ((std::vector<std::string>{"server:MbTest::TestPacket:5"}), m_serverSeen.items);
    EXPECT_EQ((std::vector<std::string>{"Info: Dispatch to 'default'[0]; PACKET req cmd = 0 [TestPacket] "
                                        "contextToDispatch = 9 contextToReply = 4 ver = 1 data[8]"}),
              m_cap.Records("srv.proto"));
    EXPECT_EQ((std::vector<std::string>{"Info: Sending PACKET req cmd = 0 [TestPacket] contextToDispatch = 9 "
                                        "contextToReply = 4 ver = 1 data[8]"}),
              m_cap.Records("proto"));
}

TEST_F(MbProtoTest, PacketDumpsCarryTheDataWhereThePacketTagIsActive)
{
    YrLogV2::LogRoot::Instance().SetLevels(YrLogV2::c_defaultLevel, {{"MbTest", 16}});
    m_client.Send(ContextId(0), ContextId(0), TestPacket(5, Utils::ByteArray(std::string("abc"))));
    DeliverToServer();
    EXPECT_EQ((std::vector<std::string>{"Info: Sending PACKET req cmd = 0 [TestPacket] contextToDispatch = 0 "
                                        "contextToReply = 0 ver = 1 data[8] {03 05 0c 03 a3 61 62 63}"}),
              m_cap.Records("proto"));
    EXPECT_EQ((std::vector<std::string>{"packet: Dispatch to 'default'[0]; PACKET req cmd = 0 [TestPacket] "
                                        "contextToDispatch = 0 contextToReply = 0 ver = 1 data[8] "
                                        "{03 05 0c 03 a3 61 62 63}"}),
              m_cap.Records("srv.proto"));
}

TEST_F(MbProtoTest, TheContextRegisteredLastWithAnIdGetsThePacket)
{
    Seen seen;
    Context first(m_server, ContextId(5), "first", seen.Handler("first"));
    {
        Context second(m_server, ContextId(5), "second", seen.Handler("second"));
        Context other(m_server, ContextId(6), "other", seen.Handler("other"));
        m_client.Send(ContextId(5), ContextId(0), TestPacket(1, Utils::ByteArray(std::string("a"))));
        m_client.Send(ContextId(6), ContextId(0), TestPacket(2, Utils::ByteArray(std::string("b"))));
        DeliverToServer();
    }
    m_client.Send(ContextId(5), ContextId(0), TestPacket(3, Utils::ByteArray(std::string("c"))));
    DeliverToServer();

    EXPECT_EQ((std::vector<std::string>{"second:MbTest::TestPacket:1", "other:MbTest::TestPacket:2",
                                        "first:MbTest::TestPacket:3"}),
              seen.items);
    EXPECT_TRUE(m_serverSeen.items.empty());

    const std::vector<std::string> recs = m_cap.Records("srv.proto");
    auto has = [&](const std::string& r) { return std::find(recs.begin(), recs.end(), r) != recs.end(); };
    EXPECT_TRUE(has("Info: Register context: 'first'[5]"));
    EXPECT_TRUE(has("Info: Register context: 'second'[5]"));
    EXPECT_TRUE(has("Info: Unregister context: 'second'[5]"));
    EXPECT_TRUE(has("Info: Unregister context: 'other'[6]"));
    EXPECT_TRUE(has("Info: Dispatch to 'second'[5]; PACKET req cmd = 0 [TestPacket] contextToDispatch = 5 "
                    "contextToReply = 0 ver = 1 data[6]"));
}

TEST_F(MbProtoTest, ARefusingContextFallsBackToTheDefaultHandler)
{
    Seen seen;
    Context picky(m_server, ContextId(2), "picky", seen.Handler("picky", false));
    m_client.Send(ContextId(2), ContextId(0), TestPacket(8, Utils::ByteArray(std::string("z"))));
    DeliverToServer();
    EXPECT_EQ((std::vector<std::string>{"picky:MbTest::TestPacket:8"}), seen.items);
    EXPECT_EQ((std::vector<std::string>{"server:MbTest::TestPacket:8"}), m_serverSeen.items);
    EXPECT_EQ(
        1, m_cap.CountStarting("srv.proto", "Warning: Packet was not dispatched, try with default handler"));
}

TEST_F(MbProtoTest, NoLogCommandsLeaveNoRecordsOnEitherSide)
{
    YrLogV2::LogRoot::Instance().SetLevels(YrLogV2::c_defaultLevel, {{"MbTest", 16}});
    Quiet q;
    q.m_v = 42;
    m_client.Send(ContextId(0), ContextId(0), q);
    ASSERT_EQ(1, std::as_const(m_toServer.at(0)).Data()[1]); // the noLog byte
    DeliverToServer();
    EXPECT_EQ((std::vector<std::string>{"server:MbTest::Quiet:-"}), m_serverSeen.items);
    EXPECT_TRUE(m_cap.Records("proto").empty());
    EXPECT_TRUE(m_cap.Records("srv.proto").empty());
}

TEST_F(MbProtoTest, AHandlerMayAnswerInsideTheDispatch)
{
    // The server echoes every request back to the context the client named for replies.
    Seen replies;
    Proto server(
        true, m_serverLog, [this](const Utils::ByteArray& b) { m_client.PutData(b); },
        [&](const Packet& p)
        {
            auto t = p.As<TestPacket>();
            server.Send(p.ContextToReply(), ContextId(0), TestPacket(t->m_packetNum * 10, t->m_payload));
            return true;
        });
    Context answers(m_client, ContextId(7), "answers", replies.Handler("answers"));
    m_client.Send(ContextId(0), ContextId(7), TestPacket(4, Utils::ByteArray(std::string("ping"))));
    server.PutData(Join(m_toServer));
    EXPECT_EQ((std::vector<std::string>{"answers:MbTest::TestPacket:40"}), replies.items);
}

TEST_F(MbProtoTest, ABrokenPacketThrowsOutOfPutDataAfterThePacketsBeforeIt)
{
    m_client.Send(ContextId(0), ContextId(0), TestPacket(1, Utils::ByteArray(std::string("ok"))));
    m_client.Send(ContextId(0), ContextId(0), TestPacket(2, Utils::ByteArray(std::string("bad"))));
    std::vector<uint8_t> second = Vec(m_toServer[1]);
    second[5] ^= 1; // in the command id: the CRC no longer matches
    const Utils::ByteArray all = Join({m_toServer[0], Bytes(second)});
    try
    {
        m_server.PutData(all);
        ADD_FAILURE() << "no error";
    }
    catch (const BadIncomingPacket&)
    {
        ADD_FAILURE() << "a CRC mismatch is not a bad packet";
    }
    catch (const ESS::Exception& e)
    {
        EXPECT_EQ(0u, Utils::WStringToStdString(e.Message()).find("CRC code mismatch: actual("));
    }
    EXPECT_EQ((std::vector<std::string>{"server:MbTest::TestPacket:1"}), m_serverSeen.items);
}

// ------------------------------------------------------------------------------------------------
// Contract violations halt.

namespace
{

class TwiceList : public MbProtocol::CommandList
{
public:
    TwiceList() : CommandList(true)
    {
        Add<Ping>(false);
        Add<Ping>(true);
    }
};

const auto c_halted = ::testing::ExitedWithCode(3);

// The halt report shows the failed condition (or message) alone between these marks.
std::string Halted(const std::string& text)
{
    return "\n>>>\n" + TestUtils::Literal(text) + "\n<<<\n";
}

} // namespace

TEST(MbProtoDeathTest, ContractViolations)
{
    LogCapture cap(YrLogV2::c_defaultLevel);
    auto sink = [](const Utils::ByteArray&) {};
    auto any = [](const Packet&) { return true; };

    EXPECT_EXIT(
        {
            Proto p(false, cap.Parent(), sink, any);
            p.Send(ContextId(0), ContextId(0), Unlisted());
        },
        c_halted, Halted("Sending bad packet with type MbTest::Unlisted"));

    EXPECT_EXIT({ TwiceList l; }, c_halted, Halted("TypeToCommand(name).IsBad()"));

    EXPECT_EXIT(
        {
            Proto p(false, cap.Parent(), sink, any);
            Context c(p, ContextId(3), "", any);
        },
        c_halted, Halted("!m_desc.empty()"));

    EXPECT_EXIT(
        {
            Proto p(false, cap.Parent(), sink, any);
            Context c(p, ContextId(3), "x", Context::HandlerFn());
        },
        c_halted, Halted("m_handlerFn"));

    EXPECT_EXIT(
        {
            Proto p(false, cap.Parent(), sink, any);
            Context c(p, ContextId(0), "zero", any);
            p.RegisterContext(&c);
        },
        c_halted, Halted("!p->IsDefault()"));

    EXPECT_EXIT(
        {
            Proto p(false, cap.Parent(), sink, any);
            Context c(p, ContextId(3), "x", any);
            p.UnregisterContext(&c);
            p.UnregisterContext(&c);
        },
        c_halted, Halted("Utils::RemoveAllByValue(m_handlers, p) == 1"));

    EXPECT_EXIT({ Proto p(false, cap.Parent(), Proto::SendFn(), any); }, c_halted, Halted("m_sendFn"));

    // The default handler is the last resort: refusing a packet there is a broken contract.
    EXPECT_EXIT(
        {
            std::vector<Utils::ByteArray> sent;
            Proto client(
                false, cap.Parent(), [&](const Utils::ByteArray& b) { sent.push_back(b); }, any);
            Proto server(true, cap.Parent(), sink, [](const Packet&) { return false; });
            client.Send(ContextId(0), ContextId(0), Ping());
            server.PutData(sent.at(0));
        },
        c_halted, Halted("ok"));
}
