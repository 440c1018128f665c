// The entry "SharedMemTranspTest" run as two real processes of the entry host.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <utility>
#include <fcntl.h>
#include <unistd.h>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <boost/make_shared.hpp>
#include "MbProtocol/MbProto.h"
#include "ShmTestUtils.h"
#include "Utils/Random.h"
#include "YrLogV2/Log.h"
#include "YrMeta/YrMetaInfo.h"

#ifdef YR_ENTRY_HOST_PATH

namespace
{

using namespace ShmTest;
namespace Seg = QtSharedMemTransp::Segment;

bool HostBuilt()
{
    return access(YR_ENTRY_HOST_PATH, X_OK) == 0;
}

// One run of the entry in an entry host; its standard output is collected as it comes.
class EntryRun
{
public:
    explicit EntryRun(const QStringList& params, const QString& stdinFile = QString())
    {
        if (!stdinFile.isEmpty())
            m_proc.setStandardInputFile(stdinFile);
        m_proc.start(YR_ENTRY_HOST_PATH, QStringList() << "/entry"
                                                       << "SharedMemTranspTest" << params);
    }

    ~EntryRun()
    {
        if (m_proc.state() != QProcess::NotRunning)
        {
            m_proc.kill();
            m_proc.waitForFinished(5000);
        }
    }

    // Waits (bounded) until the output holds the text.
    bool WaitOutput(const QString& text)
    {
        const auto deadline = std::chrono::steady_clock::now() + c_waitLimit;
        while (!Out().contains(text))
        {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || m_proc.state() == QProcess::NotRunning)
                return Out().contains(text);
            m_proc.waitForReadyRead(int(std::min<int64_t>(left.count(), 200)));
        }
        return true;
    }

    // Waits (bounded) for the end; the exit code, or -1 when it did not end normally.
    int Finish()
    {
        if (!m_proc.waitForFinished(int(c_waitLimit.count())))
            return -1;
        Out();
        return m_proc.exitStatus() == QProcess::NormalExit ? m_proc.exitCode() : -2;
    }

    const QString& Out()
    {
        m_out += QString::fromLocal8Bit(m_proc.readAllStandardOutput());
        return m_out;
    }

    QString Err() { return QString::fromLocal8Bit(m_proc.readAllStandardError()); }

private:
    QProcess m_proc;
    QString m_out;
};

QString Key(const std::wstring& key)
{
    return QString::fromStdWString(key);
}

TEST(SelfTestEntryTest, WrongArgumentCountPrintsOnlyTheUsage)
{
    if (!HostBuilt())
        GTEST_SKIP() << "entry_host is not built";
    for (const QStringList& params :
         {QStringList(), QStringList{"1"}, QStringList{"1", "name", "extra"}, QStringList{"1", ""}})
    {
        SCOPED_TRACE(params.join(' ').toStdString());
        EntryRun run(params);
        EXPECT_EQ(0, run.Finish());
        EXPECT_EQ("usage: boolIsServer memName\n", run.Out().toStdString());
    }
}

TEST(SelfTestEntryTest, FirstArgumentMustBeABoolean)
{
    if (!HostBuilt())
        GTEST_SKIP() << "entry_host is not built";
    const std::wstring key = UniqueKey("notbool");
    EntryRun run(QStringList{"maybe", Key(key)});
    EXPECT_NE(0, run.Finish());
    EXPECT_TRUE(run.Err().contains("bad_lexical_cast")) << run.Err().toStdString();
    EXPECT_EQ("", run.Out().toStdString());
    EXPECT_TRUE(SegmentGone(key)); // no transport was made
}

TEST(SelfTestEntryTest, ClientWithoutServerReportsTheErrorAndEnds)
{
    if (!HostBuilt())
        GTEST_SKIP() << "entry_host is not built";
    const std::wstring key = UniqueKey("selfnoserver");
    QSharedMemory probe(Key(key));
    ASSERT_FALSE(probe.attach());

    EntryRun run(QStringList{"false", Key(key)});
    EXPECT_EQ(0, run.Finish());
    EXPECT_EQ(
        ("state: Error; unable to attach to memory, name '" + Key(key) + "': " + probe.errorString() + "\n")
            .toStdString(),
        run.Out().toStdString());
}

// Waits until the ring's write offset has moved `times` times: the side keeps sending.
bool RingKeepsMoving(RawSegment& raw, size_t ringOffset, int times)
{
    uint32_t last = raw.Word(ringOffset);
    int moves = 0;
    return PollUntil(
        [&]
        {
            const uint32_t now = raw.Word(ringOffset);
            if (now != last)
            {
                ++moves;
                last = now;
            }
            return moves >= times;
        });
}

TEST(SelfTestEntryTest, TwoProcessesExchangeInOrderUntilTheLinkIsCut)
{
    if (!HostBuilt())
        GTEST_SKIP() << "entry_host is not built";
    const std::wstring key = UniqueKey("selfpair");
    EntryRun server(QStringList{"1", Key(key)});
    ASSERT_TRUE(PollUntil([&] { return !SegmentGone(key); })) << server.Err().toStdString();
    EntryRun client(QStringList{"0", Key(key)});

    ASSERT_TRUE(client.WaitOutput("state: Connected\n")) << client.Out().toStdString();
    ASSERT_TRUE(server.WaitOutput("state: Connected\n")) << server.Out().toStdString();

    // Bursts go both ways, through rings of 4096 bytes each.
    RawSegment raw(key);
    ASSERT_TRUE(raw.Attach());
    EXPECT_EQ(4096u, raw.Word(Seg::c_offsetSizeA));
    EXPECT_EQ(4096u, raw.Word(Seg::c_offsetSizeB));
    EXPECT_TRUE(RingKeepsMoving(raw, Seg::c_offsetRingA, 10));
    EXPECT_TRUE(RingKeepsMoving(raw, Seg::RingBOffset(4096), 10));

    // A third party cuts the link: both sides notice, say why and end.
    raw.SetWord(Seg::c_offsetLink, Seg::linkLeft);
    EXPECT_EQ(0, server.Finish());
    EXPECT_EQ(0, client.Finish());
    for (EntryRun* side : {&server, &client})
    {
        const QString out = side->Out();
        EXPECT_TRUE(out.startsWith("state: Connected\n")) << out.toStdString();
        EXPECT_TRUE(out.contains("state: Disconnected; Disc by header value\n")) << out.toStdString();
        EXPECT_FALSE(out.contains("Recv")) << out.toStdString();
    }
    raw.Detach();
    EXPECT_TRUE(SegmentGone(key));
}

TEST(SelfTestEntryTest, KeyPressEndsOneSideAndThePeerFollows)
{
    if (!HostBuilt())
        GTEST_SKIP() << "entry_host is not built";

    // The server's standard input is a terminal that the test types into.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(0, grantpt(master));
    ASSERT_EQ(0, unlockpt(master));
    const QString slave = QString::fromLocal8Bit(ptsname(master));

    const std::wstring key = UniqueKey("selfkey");
    EntryRun server(QStringList{"true", Key(key)}, slave);
    ASSERT_TRUE(PollUntil([&] { return !SegmentGone(key); })) << server.Err().toStdString();
    EntryRun client(QStringList{"false", Key(key)});
    ASSERT_TRUE(server.WaitOutput("state: Connected\n")) << server.Out().toStdString();
    ASSERT_TRUE(client.WaitOutput("state: Connected\n")) << client.Out().toStdString();

    ASSERT_EQ(1, write(master, "q", 1));
    EXPECT_EQ(0, server.Finish());
    EXPECT_EQ(0, client.Finish());
    EXPECT_EQ("state: Connected\n", server.Out().toStdString());
    EXPECT_TRUE(client.Out().endsWith("state: Disconnected; Disc by header value\n"))
        << client.Out().toStdString();
    EXPECT_FALSE(client.Out().contains("Recv"));
    close(master);
    EXPECT_TRUE(SegmentGone(key));
}

// The entry's packet, as a peer written independently of it describes the same fields.
class PeerPacket : public MbProtocol::CommandObject
{
public:
    int m_packetNum = 0;
    Utils::ByteArray m_payload;

    boost::shared_ptr<YrMeta::Info> CreateInfo() const override
    {
        boost::shared_ptr<YrMeta::Info> info = boost::make_shared<YrMeta::Info>(this);
        YrMeta::Info::AddField(info, "m_packetNum", &m_packetNum);
        YrMeta::Info::AddField(info, "m_payload", &m_payload);
        return info;
    }
};

class PeerRequests : public MbProtocol::CommandList
{
public:
    PeerRequests() : MbProtocol::CommandList(true) { Add<PeerPacket>(false); }
};

class PeerResponses : public MbProtocol::CommandList
{
public:
    PeerResponses() : MbProtocol::CommandList(false) { Add<PeerPacket>(false); }
};

// The test plays the client by hand on the segment and reads what the entry's server sends with a
// protocol engine of its own.
TEST(SelfTestEntryTest, ServerSendsNumberedPacketsFromItsFixedSeed)
{
    if (!HostBuilt())
        GTEST_SKIP() << "entry_host is not built";
    const std::wstring key = UniqueKey("selfhand");
    EntryRun server(QStringList{"1", Key(key)});

    RawSegment raw(key);
    ASSERT_TRUE(PollUntil(
        [&] { return (raw.Base() || raw.Attach()) && raw.Word(Seg::c_offsetMagic) == Seg::c_magic; }))
        << server.Err().toStdString();
    raw.SetWord(Seg::c_offsetLink, Seg::linkAttached);
    ASSERT_TRUE(server.WaitOutput("state: Connected\n")) << server.Out().toStdString();

    struct Got
    {
        int num;
        uint64_t size;
        bool uniform;
        uint8_t fill;
        MbProtocol::PackHeader header;
    };
    std::vector<Got> got;
    YrLogV2::Log log(YrLogV2::LogRoot::RootLog(), "SelfTestPeer");
    MbProtocol::MbProto<1, PeerRequests, PeerResponses> proto(
        false, log, [](const Utils::ByteArray&) {},
        [&](const MbProtocol::Packet& packet)
        {
            const std::shared_ptr<PeerPacket> p = packet.As<PeerPacket>();
            Got g{p->m_packetNum, p->m_payload.Size(), true, 0, packet.Header()};
            if (!p->m_payload.IsEmpty())
            {
                g.fill = std::as_const(p->m_payload).Data()[0];
                for (uint64_t i = 0; i < p->m_payload.Size(); ++i)
                    g.uniform = g.uniform && std::as_const(p->m_payload).Data()[i] == g.fill;
            }
            got.push_back(g);
            return true;
        });

    QtSharedMemTransp::Buff ring = raw.ClientReadRing();
    uint32_t tick = 0;
    EXPECT_TRUE(PollUntil(
        [&]
        {
            raw.SetWord(Seg::c_offsetClientTick, ++tick);
            const Utils::ByteArray part = ring.Read();
            if (!part.IsNull())
                proto.PutData(part);
            return got.size() >= 12;
        }));

    // The first burst follows from the seed alone: delay, count, then size and fill per packet.
    Utils::Random rnd(1, false);
    rnd.Next(91);
    const uint32_t count = 1 + rnd.Next(6);
    ASSERT_GE(got.size(), count);
    for (uint32_t i = 0; i < count; ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(819u + rnd.Next(5326), got[i].size);
        EXPECT_EQ(rnd.Next(256), got[i].fill);
    }
    for (size_t i = 0; i < got.size(); ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(int(i), got[i].num);
        EXPECT_TRUE(got[i].uniform);
        EXPECT_GE(got[i].size, 819u);
        EXPECT_LE(got[i].size, 6144u);
        EXPECT_EQ(0, got[i].header.req); // the server answers
        EXPECT_EQ(1, got[i].header.contextToDispatch);
        EXPECT_EQ(1, got[i].header.contextToReply);
        EXPECT_EQ(1, got[i].header.ver);
    }

    raw.SetWord(Seg::c_offsetLink, Seg::linkLeft);
    EXPECT_EQ(0, server.Finish());
    EXPECT_EQ("state: Connected\nstate: Disconnected; Disc by header value\n", server.Out().toStdString());
    raw.Detach();
    EXPECT_TRUE(SegmentGone(key));
}

// The test's own server sends packets 0, 1, 3, 4 in one chunk: the entry's client reports both
// late ones, counting on from its own expectation, and stops.
TEST(SelfTestEntryTest, ClientReportsPacketsOutOfSequenceAndStops)
{
    if (!HostBuilt())
        GTEST_SKIP() << "entry_host is not built";
    const std::wstring key = UniqueKey("selfseq");
    Side server;
    QtSharedMemTransp::ServerProfile prof;
    prof.name = key;
    server.MakeServer(prof);
    EntryRun client(QStringList{"0", Key(key)});
    ASSERT_TRUE(server.WaitState(QtSharedMemTransp::State::Connected));

    Utils::ByteArray chunk;
    YrLogV2::Log log(YrLogV2::LogRoot::RootLog(), "SelfTestPeer");
    MbProtocol::MbProto<1, PeerRequests, PeerResponses> proto(
        true, log, [&](const Utils::ByteArray& bytes) { chunk.Append(bytes, true); },
        [](const MbProtocol::Packet&) { return true; });
    for (int num : {0, 1, 3, 4})
    {
        PeerPacket p;
        p.m_packetNum = num;
        p.m_payload = Utils::ByteArray(uint64_t(10), uint8_t(num), 0);
        proto.Send(MbProtocol::ContextId(1), MbProtocol::ContextId(1), p);
    }
    server.Send(chunk);

    EXPECT_EQ(0, client.Finish());
    EXPECT_EQ("state: Connected\nRecv wrong num 3, excpected 2\nRecv wrong num 4, excpected 3\n",
              client.Out().toStdString());
    ASSERT_TRUE(server.WaitState(QtSharedMemTransp::State::Disconnected));
    EXPECT_EQ(L"Disc by header value", server.State().text);
}

// Bytes that are no packet end the side with a line that says why, not with a crash.
TEST(SelfTestEntryTest, ClientStopsOnBytesThatAreNoPacket)
{
    if (!HostBuilt())
        GTEST_SKIP() << "entry_host is not built";
    const std::wstring key = UniqueKey("selfjunk");
    Side server;
    QtSharedMemTransp::ServerProfile prof;
    prof.name = key;
    server.MakeServer(prof);
    EntryRun client(QStringList{"0", Key(key)});
    ASSERT_TRUE(server.WaitState(QtSharedMemTransp::State::Connected));

    server.Send(Utils::ByteArray(uint64_t(26), uint8_t(0x5A), 0));
    EXPECT_EQ(0, client.Finish());
    const QStringList lines = client.Out().split('\n');
    ASSERT_EQ(3, lines.size()) << client.Out().toStdString();
    EXPECT_EQ("state: Connected", lines[0]);
    EXPECT_TRUE(lines[1].startsWith("Recv bad data: CRC code mismatch: actual(")) << lines[1].toStdString();
    EXPECT_TRUE(lines[1].endsWith(") != expected(1515870810)")) << lines[1].toStdString(); // 0x5A5A5A5A
    EXPECT_EQ("", lines[2]);
    ASSERT_TRUE(server.WaitState(QtSharedMemTransp::State::Disconnected));
}

} // namespace

#endif // YR_ENTRY_HOST_PATH
