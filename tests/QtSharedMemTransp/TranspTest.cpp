#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <unistd.h>
#include "QtSharedMemTransp/Buff.h"
#include "QtSharedMemTransp/QtSharedMemTransp.h"
#include "ShmTestUtils.h"

namespace
{

using namespace ShmTest;
using QtSharedMemTransp::State;
namespace Seg = QtSharedMemTransp::Segment;

QtSharedMemTransp::ServerProfile MakeServerProfile(const std::wstring& key, uint32_t ringA = 4096,
                                                   uint32_t ringB = 4096)
{
    QtSharedMemTransp::ServerProfile p;
    p.name = key;
    p.pollPeriodMs = 10;
    p.toClientBuffSize = ringA;
    p.toServerBuffSize = ringB;
    return p;
}

QtSharedMemTransp::ClientProfile MakeClientProfile(const std::wstring& key)
{
    QtSharedMemTransp::ClientProfile p;
    p.name = key;
    p.pollPeriodMs = 10;
    return p;
}

std::wstring QtText(const QString& s)
{
    return s.toStdWString();
}

bool StartsWith(const std::wstring& s, const std::wstring& prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

TEST(StateTest, DisplayNames)
{
    EXPECT_EQ("Initial", QtSharedMemTransp::StateName(State::Initial));
    EXPECT_EQ("Connected", QtSharedMemTransp::StateName(State::Connected));
    EXPECT_EQ("Disconnected", QtSharedMemTransp::StateName(State::Disconnected));
    EXPECT_EQ("Error", QtSharedMemTransp::StateName(State::Error));
    EXPECT_EQ("", QtSharedMemTransp::StateName(static_cast<State>(4)));
}

// ---- making and attaching ---------------------------------------------------------------------

TEST(TranspSetupTest, ServerLaysOutAFreshSegment)
{
    const std::wstring key = UniqueKey("layout");
    Side server;
    server.MakeServer(MakeServerProfile(key, 4096, 1024));
    EXPECT_EQ(State::Initial, server.State().state);
    EXPECT_EQ(L"", server.State().text);

    RawSegment raw(key);
    ASSERT_TRUE(raw.Attach());
    EXPECT_EQ(40 + 4096 + 1024, raw.Size());
    EXPECT_EQ(0x5600A307u, raw.Word(0));
    EXPECT_EQ(4096u, raw.Word(4));
    EXPECT_EQ(1024u, raw.Word(8));
    for (size_t offset : {12, 16, 20, 24, 28})
        EXPECT_EQ(0u, raw.Word(offset)) << offset;
    EXPECT_EQ(0u, raw.Word(32 + 4096));
    EXPECT_EQ(0u, raw.Word(36 + 4096));

    server.Settle();
    EXPECT_TRUE(server.Events().empty()); // a server raises nothing until a client comes
    raw.Detach();
    server.Destroy();
    EXPECT_TRUE(SegmentGone(key));
}

TEST(TranspSetupTest, ClientWithoutServerEndsInErrorAndNeverPolls)
{
    const std::wstring key = UniqueKey("noserver");
    Side client;
    client.MakeClient(MakeClientProfile(key));
    client.Settle();

    const std::vector<Recorded> evs = client.Events();
    ASSERT_EQ(1u, evs.size());
    EXPECT_EQ(Recorded::kStateChanged, evs[0].kind);
    EXPECT_EQ(State::Error, evs[0].state.state);

    QSharedMemory probe(QString::fromStdWString(key));
    ASSERT_FALSE(probe.attach());
    const std::wstring expected =
        L"unable to attach to memory, name '" + key + L"': " + QtText(probe.errorString());
    EXPECT_EQ(expected, evs[0].state.text);
    EXPECT_FALSE(QtText(probe.errorString()).empty());

    // Sending in Error keeps the first reason and raises nothing more.
    client.Send(Utils::ByteArray(std::string("x")));
    client.Settle();
    EXPECT_EQ(expected, client.State().text);
    EXPECT_EQ(1u, client.Events().size());
}

TEST(TranspSetupTest, SecondServerOnAKeyInUseFailsToCreate)
{
    const std::wstring key = UniqueKey("twice");
    Side first, second;
    first.MakeServer(MakeServerProfile(key));
    second.MakeServer(MakeServerProfile(key));
    ASSERT_TRUE(second.WaitState(State::Error));

    const QtSharedMemTransp::StateInfo st = second.State();
    EXPECT_EQ(State::Error, st.state);
    EXPECT_TRUE(StartsWith(st.text, L"unable to create memory, name '" + key + L"': ")) << st.text;
    EXPECT_GT(st.text.size(), (L"unable to create memory, name '" + key + L"': ").size());

    // The first one is untouched and still serves a client.
    EXPECT_EQ(State::Initial, first.State().state);
    Side client;
    client.MakeClient(MakeClientProfile(key));
    EXPECT_TRUE(first.WaitState(State::Connected));
}

TEST(TranspSetupTest, ServerRefusesUnusableRingSizes)
{
    struct Case
    {
        uint32_t a, b;
    };
    for (const Case c : {Case{0, 16}, Case{16, 0}, Case{4097, 16}, Case{0x7FFFFFF0, 0x7FFFFFF0}})
    {
        SCOPED_TRACE(testing::Message() << c.a << " " << c.b);
        const std::wstring key = UniqueKey("sizes");
        Side server;
        server.MakeServer(MakeServerProfile(key, c.a, c.b));
        ASSERT_TRUE(server.WaitState(State::Error));
        EXPECT_EQ(L"wrong buffer sizes", server.State().text);
        EXPECT_TRUE(SegmentGone(key));
    }
}

TEST(TranspSetupTest, OrphanSegmentOfADeadServerIsReplaced)
{
    // The dying process re-runs this test from its start: it takes the key through the environment.
    const char* const c_keyVar = "YR_SHM_TEST_ORPHAN_KEY";
    const char* inherited = std::getenv(c_keyVar);
    const std::wstring key = inherited ? QString(inherited).toStdWString() : UniqueKey("orphan");
    setenv(c_keyVar, QString::fromStdWString(key).toUtf8().constData(), 1);
    // A process makes a segment and dies without detaching: the segment stays, with no user.
    EXPECT_EXIT(
        {
            QSharedMemory mem(QString::fromStdWString(key));
            if (!mem.create(128))
                _exit(1);
            _exit(0);
        },
        testing::ExitedWithCode(0), "");

    Side server;
    server.MakeServer(MakeServerProfile(key));
    EXPECT_EQ(State::Initial, server.State().state) << server.State().text;
    Side client;
    client.MakeClient(MakeClientProfile(key));
    EXPECT_TRUE(server.WaitState(State::Connected));
    client.Destroy();
    server.Destroy();
    EXPECT_TRUE(SegmentGone(key));
    RemoveOrphanSemaphore(key);
    unsetenv(c_keyVar);
}

// ---- hostile or corrupt segments --------------------------------------------------------------

struct BadSegmentCase
{
    const char* what;
    int size;
    uint32_t magic, sizeA, sizeB, link;
    const wchar_t* text;
    bool linkLeft; // the client wrote 2 into the link word
};

class BadSegmentTest : public testing::TestWithParam<BadSegmentCase>
{
};

TEST_P(BadSegmentTest, ClientRefusesIt)
{
    const BadSegmentCase& c = GetParam();
    const std::wstring key = UniqueKey(c.what);
    RawSegment raw(key);
    ASSERT_TRUE(raw.Create(c.size));
    if (c.size >= 24)
    {
        raw.SetWord(0, c.magic);
        raw.SetWord(4, c.sizeA);
        raw.SetWord(8, c.sizeB);
        raw.SetWord(20, c.link);
    }
    std::vector<uint8_t> before(raw.Base(), raw.Base() + raw.Size());

    Side client;
    client.MakeClient(MakeClientProfile(key));
    ASSERT_TRUE(client.WaitState(State::Error));
    EXPECT_EQ(c.text, client.State().text);

    std::vector<uint8_t> after(raw.Base(), raw.Base() + raw.Size());
    if (c.linkLeft)
    {
        EXPECT_EQ(2u, raw.Word(20));
        std::memcpy(after.data() + 20, before.data() + 20, 4);
    }
    EXPECT_TRUE(before == after); // nothing else written

    client.Settle();
    EXPECT_EQ(1u, client.Events().size());
    EXPECT_EQ(0, client.Count(Recorded::kData));
}

INSTANTIATE_TEST_SUITE_P(
    Transp, BadSegmentTest,
    testing::Values(BadSegmentCase{"tiny", 16, 0, 0, 0, 0, L"wrong segment size", false},
                    BadSegmentCase{"magic", 4096, 0x5600A308, 16, 16, 0, L"wrong magic", true},
                    BadSegmentCase{"zeroA", 4096, 0x5600A307, 0, 16, 0, L"wrong buffer sizes", true},
                    BadSegmentCase{"oddA", 4096, 0x5600A307, 17, 16, 0, L"wrong buffer sizes", true},
                    BadSegmentCase{"huge", 4096, 0x5600A307, 16, 0xFFFFFFF0, 0, L"wrong buffer sizes", true},
                    BadSegmentCase{"oneshort", 40 + 64 + 63, 0x5600A307, 64, 64, 0, L"wrong buffer sizes",
                                   true},
                    BadSegmentCase{"inuse", 4096, 0x5600A307, 64, 64, 1, L"segment in use", false}),
    [](const testing::TestParamInfo<BadSegmentCase>& info) { return std::string(info.param.what); });

TEST(TranspCorruptTest, ClientTakesALinkThatWasLeft)
{
    // A client that came too early (no magic yet) wrote 2 and left; the next one connects.
    const std::wstring key = UniqueKey("relink");
    RawSegment raw(key);
    ASSERT_TRUE(raw.Create(40 + 64 + 64));
    raw.SetWord(4, 64);
    raw.SetWord(8, 64);
    raw.SetWord(0, 0x5600A307);
    raw.SetWord(20, 2);

    Side client;
    client.MakeClient(MakeClientProfile(key));
    ASSERT_TRUE(client.WaitState(State::Connected));
    EXPECT_EQ(1u, raw.Word(20));
}

TEST(TranspCorruptTest, SecondClientLeavesTheFirstLinkAlone)
{
    const std::wstring key = UniqueKey("second");
    Side server, client1, client2;
    server.MakeServer(MakeServerProfile(key));
    client1.MakeClient(MakeClientProfile(key));
    ASSERT_TRUE(server.WaitState(State::Connected));
    client2.MakeClient(MakeClientProfile(key));
    ASSERT_TRUE(client2.WaitState(State::Error));
    EXPECT_EQ(L"segment in use", client2.State().text);

    client1.Send(Utils::ByteArray(std::string("still here")));
    EXPECT_EQ(std::string("still here").size(), server.WaitData(10).size());
    EXPECT_EQ(State::Connected, server.State().state);
    EXPECT_EQ(State::Connected, client1.State().state);
}

TEST(TranspCorruptTest, PeerOffsetOutOfRangeEndsTheLinkWithoutData)
{
    const std::wstring key = UniqueKey("badoffs");
    Side server;
    server.MakeServer(MakeServerProfile(key, 256, 256));
    RawSegment raw(key);
    ASSERT_TRUE(raw.Attach());
    raw.SetWord(20, 1);
    ASSERT_TRUE(server.WaitState(State::Connected));

    // Ring B's write offset (the client's) far beyond the ring.
    raw.SetWord(32 + 256, 0xFFFFFF00);
    ASSERT_TRUE(server.WaitState(State::Error));
    EXPECT_EQ(L"corrupt ring buffer", server.State().text);
    EXPECT_EQ(2u, raw.Word(20));
    EXPECT_EQ(0, server.Count(Recorded::kData));
}

TEST(TranspCorruptTest, PeerTakingRoomBackEndsTheLinkWhenSending)
{
    const std::wstring key = UniqueKey("roomback");
    Side server;
    server.MakeServer(MakeServerProfile(key, 256, 256));
    RawSegment raw(key);
    ASSERT_TRUE(raw.Attach());
    raw.SetWord(20, 1);
    ASSERT_TRUE(server.WaitState(State::Connected));

    // The read offset of ring A (the client's) pointing at a byte never written: the server then
    // sees an almost full ring; the bytes it queues wait, and a read offset beyond the ring ends it.
    raw.SetWord(28, 300);
    server.Send(Pattern(10, 1));
    ASSERT_TRUE(server.WaitState(State::Error));
    EXPECT_EQ(L"corrupt ring buffer", server.State().text);
    EXPECT_EQ(0u, raw.Word(24)); // nothing was written
}

// ---- one process, two threads -----------------------------------------------------------------

TEST(TranspLinkTest, ConnectsAndCarriesBothDirectionsInOrder)
{
    const std::wstring key = UniqueKey("link");
    Side server, client;
    server.MakeServer(MakeServerProfile(key, 4096, 1024));
    client.MakeClient(MakeClientProfile(key));

    // The client is connected at once and says so first; the server at its next poll.
    ASSERT_TRUE(client.WaitState(State::Connected));
    EXPECT_EQ(Recorded::kStateChanged, client.Events().at(0).kind);
    ASSERT_TRUE(server.WaitState(State::Connected));
    EXPECT_EQ(Recorded::kStateChanged, server.Events().at(0).kind);
    EXPECT_EQ(L"", server.State().text);

    // Far more than either ring holds, in uneven pieces: every byte arrives, in order.
    // (The queue bound is 8 rings: 32768 bytes towards the client, 8192 towards the server.)
    const Utils::ByteArray toClient = Pattern(100000, 11), toServer = Pattern(70000, 12);
    std::thread clientSends([&] { client.SendAll(toServer, 8192); });
    server.SendAll(toClient, 20000);
    clientSends.join();

    EXPECT_TRUE(Bytes(toClient) == client.WaitData(toClient.Size()));
    EXPECT_TRUE(Bytes(toServer) == server.WaitData(toServer.Size()));
    EXPECT_EQ(State::Connected, server.State().state);
    EXPECT_EQ(State::Connected, client.State().state);
}

TEST(TranspLinkTest, EmptySendQueuesNothingButReportsTheDrain)
{
    const std::wstring key = UniqueKey("empty");
    Side server, client;
    server.MakeServer(MakeServerProfile(key));
    client.MakeClient(MakeClientProfile(key));
    ASSERT_TRUE(server.WaitState(State::Connected));

    client.Send(Utils::ByteArray(uint64_t(0), uint64_t(0))); // empty, not null
    ASSERT_TRUE(client.WaitFor([](const std::vector<Recorded>& evs)
                               { return !evs.empty() && evs.back().kind == Recorded::kSendBuffEmpty; }));
    EXPECT_EQ(1, client.Count(Recorded::kSendBuffEmpty));

    // A marker sent after it is the first thing the server reads.
    client.Send(Utils::ByteArray(std::string("m")));
    EXPECT_EQ(std::vector<uint8_t>{'m'}, server.WaitData(1));
    EXPECT_EQ(1, server.Count(Recorded::kData));
}

TEST(TranspLinkTest, ClosingOneSideDisconnectsTheOtherAndFreesTheSegment)
{
    const std::wstring key = UniqueKey("close");
    Side server, client;
    server.MakeServer(MakeServerProfile(key));
    client.MakeClient(MakeClientProfile(key));
    ASSERT_TRUE(server.WaitState(State::Connected));

    client.Destroy();
    ASSERT_TRUE(server.WaitState(State::Disconnected));
    EXPECT_EQ(L"Disc by header value", server.State().text);

    // A transport that has left stays left; a send only moves it on to Error.
    server.Send(Utils::ByteArray(std::string("late")));
    EXPECT_EQ(State::Error, server.State().state);
    EXPECT_EQ(L"Sending data in a wrong state 'Disconnected'", server.State().text);

    EXPECT_FALSE(SegmentGone(key));
    server.Destroy();
    EXPECT_TRUE(SegmentGone(key));
}

TEST(TranspLinkTest, ServerLeavingDisconnectsTheClient)
{
    const std::wstring key = UniqueKey("srvclose");
    Side server, client;
    server.MakeServer(MakeServerProfile(key));
    client.MakeClient(MakeClientProfile(key));
    ASSERT_TRUE(server.WaitState(State::Connected));
    server.Destroy();
    ASSERT_TRUE(client.WaitState(State::Disconnected));
    EXPECT_EQ(L"Disc by header value", client.State().text);
    client.Destroy();
    EXPECT_TRUE(SegmentGone(key));
}

// ---- against a hand-made peer -----------------------------------------------------------------

// A server linked to a client that the test plays by hand on the raw segment.
class HandPeerTest : public testing::Test
{
protected:
    void Start(QtSharedMemTransp::ServerProfile prof)
    {
        m_key = UniqueKey("hand");
        prof.name = m_key;
        m_server.MakeServer(prof);
        m_raw = std::make_unique<RawSegment>(m_key);
        ASSERT_TRUE(m_raw->Attach());
        m_raw->SetWord(Seg::c_offsetLink, Seg::linkAttached);
        ASSERT_TRUE(m_server.WaitState(State::Connected));
    }

    // Reads ring A as the client, until count bytes came (bounded).
    std::vector<uint8_t> Drain(size_t count)
    {
        QtSharedMemTransp::Buff ring = m_raw->ClientReadRing();
        std::vector<uint8_t> res;
        const auto deadline = std::chrono::steady_clock::now() + c_waitLimit;
        while (res.size() < count && std::chrono::steady_clock::now() < deadline)
        {
            const Utils::ByteArray part = ring.Read();
            if (part.IsNull())
                std::this_thread::sleep_for(std::chrono::milliseconds(2)); // the server writes at its polls
            else
                res.insert(res.end(), part.Data(), part.Data() + part.Size());
        }
        return res;
    }

    std::wstring m_key;
    Side m_server;
    std::unique_ptr<RawSegment> m_raw;
};

TEST_F(HandPeerTest, SendQueueBoundIsTheRingTimesTheFactor)
{
    QtSharedMemTransp::ServerProfile prof = MakeServerProfile(L"");
    prof.sendQueueFactor = 32.0;
    Start(prof);

    // 4096 x 32 = 131072 bytes may wait (the ring itself takes 4095 at once).
    m_server.Send(Pattern(131072 - 100, 1));
    m_server.Send(Pattern(100, 2));
    EXPECT_EQ(State::Connected, m_server.State().state);
    EXPECT_EQ(4095u, m_raw->Word(Seg::c_offsetRingA)); // the ring took what fits
    m_server.Send(Pattern(4095, 3));                   // exactly at the bound again
    EXPECT_EQ(State::Connected, m_server.State().state);

    m_server.Send(Pattern(1, 4));
    const QtSharedMemTransp::StateInfo st = m_server.State();
    EXPECT_EQ(State::Error, st.state);
    EXPECT_EQ(L"send queue limit", st.text);
    EXPECT_EQ(2u, m_raw->Word(Seg::c_offsetLink));
}

TEST_F(HandPeerTest, BurstWaitsInTheQueueAndReportsTheDrainOnce)
{
    Start(MakeServerProfile(L"", 1024, 1024));

    const Utils::ByteArray burst = Pattern(5000, 9);
    m_server.Send(burst);
    m_server.Settle();
    EXPECT_EQ(0, m_server.Count(Recorded::kSendBuffEmpty)); // 1023 in the ring, the rest waits

    EXPECT_TRUE(Bytes(burst) == Drain(burst.Size()));
    ASSERT_TRUE(m_server.WaitFor(
        [](const std::vector<Recorded>& evs)
        {
            for (const Recorded& r : evs)
                if (r.kind == Recorded::kSendBuffEmpty)
                    return true;
            return false;
        }));
    // Some more polls with nothing queued raise nothing more.
    const int polls = 5;
    for (int i = 0; i < polls; ++i)
    {
        m_raw->SetWord(Seg::c_offsetClientTick, 100 + i); // keep the heartbeat going
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    m_server.Settle();
    EXPECT_EQ(1, m_server.Count(Recorded::kSendBuffEmpty));
}

TEST_F(HandPeerTest, DataFromManyWritesComesAsOneEventPerPoll)
{
    QtSharedMemTransp::ServerProfile prof = MakeServerProfile(L"");
    prof.pollPeriodMs = 300;
    Start(prof);

    // Written between two polls (the server's thread is held meanwhile, so no poll falls between
    // the writes): one Data event with every byte.
    QtSharedMemTransp::Buff ring = m_raw->ClientWriteRing();
    const std::vector<Utils::ByteArray> parts = {Pattern(10, 1), Pattern(20, 2), Pattern(30, 3)};
    std::vector<uint8_t> all;
    m_server.Call(
        [&]
        {
            for (const Utils::ByteArray& p : parts)
            {
                ASSERT_GE(ring.BytesForWrite(), p.Size());
                ring.Write(p.Data(), p.Size());
                all.insert(all.end(), p.Data(), p.Data() + p.Size());
            }
        });
    EXPECT_EQ(all, m_server.WaitData(all.size()));
    EXPECT_EQ(1, m_server.Count(Recorded::kData));
}

TEST_F(HandPeerTest, SendBeforeConnectedIsAnError)
{
    const std::wstring key = UniqueKey("early");
    Side server;
    server.MakeServer(MakeServerProfile(key));
    server.Send(Pattern(10, 1));
    ASSERT_TRUE(server.WaitState(State::Error));
    EXPECT_EQ(L"Sending data in a wrong state 'Initial'", server.State().text);

    RawSegment raw(key);
    ASSERT_TRUE(raw.Attach());
    EXPECT_EQ(2u, raw.Word(Seg::c_offsetLink));
}

TEST_F(HandPeerTest, PeerWritingTwoDisconnectsWithinAPoll)
{
    Start(MakeServerProfile(L""));
    m_raw->SetWord(Seg::c_offsetLink, Seg::linkLeft);
    ASSERT_TRUE(m_server.WaitState(State::Disconnected));
    EXPECT_EQ(L"Disc by header value", m_server.State().text);
}

TEST_F(HandPeerTest, HeartbeatKeepsTheLinkAndItsStopEndsIt)
{
    QtSharedMemTransp::ServerProfile prof = MakeServerProfile(L"");
    prof.discTimeoutMs = 400;
    Start(prof);

    // The server's own heartbeat moves.
    const uint32_t serverTick = m_raw->Word(Seg::c_offsetServerTick);
    ASSERT_TRUE(PollUntil([&] { return m_raw->Word(Seg::c_offsetServerTick) != serverTick; }));

    // Ticking for three times the time-out keeps the link up.
    const auto keepUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(1200);
    uint32_t tick = 1;
    auto frozenAt = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < keepUntil)
    {
        m_raw->SetWord(Seg::c_offsetClientTick, ++tick);
        frozenAt = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    m_server.Settle();
    EXPECT_EQ(State::Connected, m_server.State().state);

    // Frozen since the last write: disconnected, not before the time-out has passed.
    ASSERT_TRUE(m_server.WaitState(State::Disconnected));
    EXPECT_GE(std::chrono::steady_clock::now() - frozenAt, std::chrono::milliseconds(400));
    EXPECT_EQ(L"Disc timeout", m_server.State().text);
    EXPECT_EQ(2u, m_raw->Word(Seg::c_offsetLink));
}

} // namespace
