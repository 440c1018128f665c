#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <fstream>
#include <sstream>
#include <thread>
#include <gtest/gtest.h>
#include "MbcTestUtils.h"
#include "common/ChildChecks.h"
#include "common/InFlight.h"
#include "common/ProcessCrowd.h"
#include "common/SocketQueryRefused.h"
#include "MediaBridgeControl/IMbcFlow.h"
#include "Utils/StringUtils.h"
#include "YrNet/TcpSocketImpl.h"
#include "YrNet/TcpSocketServer.h"

using namespace MbcTest;
using namespace NetTest;
using MediaBridgeControl::TcpTranspCmdDisc;

namespace
{

const std::string c_marker = "TcpTranspCmd Disc";

// A blocking send on fd gives up after the wait limit, so that a writer thread whose bytes are
// never read still ends.
void BoundSends(int fd)
{
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(c_waitLimit.count() / 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

class MbcTcpTranspTest : public TranspFixture
{
protected:
    void SetRecvPaused(bool paused)
    {
        m_thread.Call(
            [&]
            {
                auto* flow = dynamic_cast<MediaBridgeControl::IMbcRecvFlow*>(&m_user->Transp());
                ASSERT_TRUE(flow != nullptr);
                flow->SetRecvPaused(paused);
            });
    }

    // Runs fn with the transport's window and peer-check faces on the transport's thread.
    template <class TFace>
    void OnFace(const std::function<void(TFace&)>& fn)
    {
        m_thread.Call(
            [&]
            {
                auto* face = dynamic_cast<TFace*>(&m_user->Transp());
                ASSERT_TRUE(face != nullptr);
                fn(*face);
            });
    }

    // Connections the server refused to make room for a newer one kept aside.
    int MadeRoom() const
    {
        int n = 0;
        for (const std::string& t : m_out->Texts("NetThread"))
            n += t.find("connections are kept aside already") != std::string::npos ? 1 : 0;
        return n;
    }
};

} // namespace

TEST(TcpTranspCmdDiscTest, IsExactlyTheSeventeenMarkerBytes)
{
    const unsigned char golden[] = {0x54, 0x63, 0x70, 0x54, 0x72, 0x61, 0x6E, 0x73, 0x70,
                                    0x43, 0x6D, 0x64, 0x20, 0x44, 0x69, 0x73, 0x63};
    const Utils::ByteArray& cmd = TcpTranspCmdDisc();
    ASSERT_EQ(sizeof(golden), cmd.Size());
    EXPECT_EQ(0, std::memcmp(golden, cmd.Data(), sizeof(golden)));
    // One process-wide block.
    EXPECT_EQ(cmd.Data(), TcpTranspCmdDisc().Data());
}

TEST_F(MbcTcpTranspTest, PortZeroBindsLoopbackAndRelaysBothWays)
{
    const uint16_t port = Start(0);
    ASSERT_NE(0, port);
    EXPECT_TRUE(State() == TranspState::Disconnected);
    EXPECT_TRUE(State().Reason().empty());

    Fd client = ConnectAccepted(port);
    const TranspState st = State();
    EXPECT_EQ(TranspState::Connected, st.Get());
    EXPECT_TRUE(st.Reason().empty());
    EXPECT_TRUE(st.Details().empty());

    // Peer to listener, in order and unchanged.
    const std::string up = Pattern(20000, 1);
    ASSERT_TRUE(WriteAll(client.Get(), up));
    ASSERT_TRUE(m_rec.WaitBytes(up.size()));
    EXPECT_EQ(up, m_rec.Data());

    // Listener to peer.
    const std::string down = Pattern(30000, 2);
    for (size_t off = 0; off < down.size(); off += 3000)
        Send(down.substr(off, 3000));
    EXPECT_EQ(down, ReadExact(client.Get(), down.size()));

    EXPECT_TRUE(m_rec.AllOn(m_thread.ThreadId()));
    EXPECT_EQ(1, LogCount("incoming connected!"));
    EXPECT_EQ(1, LogCount("Socket binded"));
}

TEST_F(MbcTcpTranspTest, ListensOnLoopbackOnly)
{
    YrNet::HostAddr bound;
    m_thread.Call([&] { m_user->Create(0, &bound, 0); });
    EXPECT_EQ("127.0.0.1", bound.Host());
    ASSERT_GT(bound.Port(), 0);

    const int fd = FindListeningFd(static_cast<uint16_t>(bound.Port()));
    ASSERT_GE(fd, 0);
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    ASSERT_EQ(0, ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len));
    EXPECT_EQ(htonl(INADDR_LOOPBACK), a.sin_addr.s_addr);
}

TEST_F(MbcTcpTranspTest, OccupiedPortIsFatalCantListenAndLeavesTheOutputAlone)
{
    Fd holder = PlainListen();
    ASSERT_TRUE(holder.Valid());
    const uint16_t taken = LocalPort(holder.Get());

    YrNet::HostAddr bound("10.1.2.3", 77); // never used as a target: only compared
    m_thread.Call([&] { m_user->Create(taken, &bound, 0); });
    EXPECT_EQ(YrNet::HostAddr("10.1.2.3", 77), bound);

    ASSERT_TRUE(m_rec.WaitState(TranspState::FatalError));
    Flush();
    EXPECT_EQ(1u, m_rec.StateCount());
    const TranspState st = State();
    EXPECT_EQ(TranspState::FatalError, st.Get());
    EXPECT_EQ(L"Can't listen", st.Reason());
    EXPECT_EQ(1, LogCount("Fatal error: Can't listen"));

    // Nothing to send to, nothing to disconnect.
    Send("abc");
    m_thread.Call([&] { m_user->Transp().Disconnect(false); });
    EXPECT_EQ(1, LogCount("send data is ignored because socket is null"));
    EXPECT_EQ(TranspState::FatalError, State().Get());
}

TEST_F(MbcTcpTranspTest, PortAboveSixteenBitsCannotBeListenedOn)
{
    YrNet::HostAddr bound;
    m_thread.Call([&] { m_user->Create(70000, &bound, 0); });
    ASSERT_TRUE(m_rec.WaitState(TranspState::FatalError));
    EXPECT_EQ(L"Can't listen", State().Reason());
    EXPECT_TRUE(bound.IsEmpty());
}

TEST_F(MbcTcpTranspTest, SecondClientIsClosedAndFirstKeepsWorking)
{
    const uint16_t port = Start();
    Fd first = ConnectAccepted(port);

    Fd second = PlainConnect(port);
    ASSERT_TRUE(second.Valid());
    EXPECT_TRUE(WaitClosed(second.Get()));
    Flush();
    EXPECT_EQ(1, LogCount("new connection is ignored, already have connected socket"));
    EXPECT_EQ(TranspState::Connected, State().Get());

    ASSERT_TRUE(WriteAll(first.Get(), "still here"));
    ASSERT_TRUE(m_rec.WaitBytes(10));
    EXPECT_EQ("still here", m_rec.Data());
    Send("and back");
    EXPECT_EQ("and back", ReadExact(first.Get(), 8));
}

TEST_F(MbcTcpTranspTest, AfterThePeerLeavesStateIsDisconnectedAndANewClientIsAccepted)
{
    const uint16_t port = Start();
    {
        Fd client = ConnectAccepted(port);
    }
    ASSERT_TRUE(m_rec.WaitState(TranspState::Disconnected));
    const TranspState st = State();
    EXPECT_EQ(TranspState::Disconnected, st.Get());
    EXPECT_TRUE(st.Reason().empty()) << Utils::WStringToStdString(st.Reason());
    // The socket's error reached the log before the connection was dropped.
    bool sockError = false;
    for (const std::string& t : LogTexts())
        sockError = sockError || t.rfind("sock error: ", 0) == 0;
    EXPECT_TRUE(sockError);

    // Sending now is dropped quietly.
    Send("nobody");
    EXPECT_EQ(1, LogCount("send data is ignored because socket is null"));

    Fd again = ConnectAccepted(port);
    ASSERT_TRUE(WriteAll(again.Get(), "hello"));
    ASSERT_TRUE(m_rec.WaitBytes(5));
    EXPECT_EQ("hello", m_rec.Data());
}

TEST_F(MbcTcpTranspTest, ExactMarkerChunkEndsTheConnectionButAMarkerWithMoreBytesIsData)
{
    const uint16_t port = Start();
    Fd client = ConnectAccepted(port);

    // The marker followed by more bytes in one write is data.
    const std::string joined = c_marker + "xyz";
    ASSERT_TRUE(WriteAll(client.Get(), joined));
    ASSERT_TRUE(m_rec.WaitBytes(joined.size()));
    EXPECT_EQ(joined, m_rec.Data());
    EXPECT_EQ(TranspState::Connected, State().Get());

    // The marker alone ends the connection: the socket is released, which closes it.
    ASSERT_TRUE(WriteAll(client.Get(), c_marker));
    ASSERT_TRUE(m_rec.WaitState(TranspState::Disconnected));
    EXPECT_TRUE(WaitClosed(client.Get()));
    Flush();
    EXPECT_EQ(joined, m_rec.Data()); // the marker never reached the listener
    EXPECT_EQ(1, LogCount("On TcpTranspCmd disconnect. Reset socket.."));
    EXPECT_EQ(TranspState::Disconnected, State().Get());

    // The next media bridge may connect.
    Fd next = ConnectAccepted(port);
    EXPECT_TRUE(next.Valid());
}

TEST_F(MbcTcpTranspTest, DisconnectSendsTheMarkerAndStaysConnectedUntilThePeerCloses)
{
    const uint16_t port = Start();
    Fd client = ConnectAccepted(port);
    const size_t notes = m_rec.StateCount();

    m_thread.Call([&] { m_user->Transp().Disconnect(false); });
    EXPECT_EQ(c_marker, ReadExact(client.Get(), c_marker.size()));
    Flush();
    EXPECT_EQ(TranspState::Connected, State().Get());
    EXPECT_EQ(notes, m_rec.StateCount());
    EXPECT_EQ(1, LogCount("Send TcpTranspCmd disconnect false"));
    EXPECT_EQ(0, LogCount("Restart isn`t supported"));

    // Data still flows meanwhile.
    ASSERT_TRUE(WriteAll(client.Get(), "late"));
    ASSERT_TRUE(m_rec.WaitBytes(4));

    client.Reset();
    ASSERT_TRUE(m_rec.WaitState(TranspState::Disconnected));
    EXPECT_EQ(TranspState::Disconnected, State().Get());
}

TEST_F(MbcTcpTranspTest, DisconnectWithRestartWarnsAndActsAsAPlainDisconnect)
{
    const uint16_t port = Start();
    Fd client = ConnectAccepted(port);

    m_thread.Call([&] { m_user->Transp().Disconnect(true); });
    EXPECT_EQ(c_marker, ReadExact(client.Get(), c_marker.size()));
    Flush();
    EXPECT_EQ(1, LogCount("Restart isn`t supported"));
    EXPECT_EQ(1, LogCount("Send TcpTranspCmd disconnect false"));
    EXPECT_EQ(TranspState::Connected, State().Get());

    // The peer answers with its own marker.
    ASSERT_TRUE(WriteAll(client.Get(), c_marker));
    ASSERT_TRUE(m_rec.WaitState(TranspState::Disconnected));
    EXPECT_TRUE(WaitClosed(client.Get()));
}

TEST_F(MbcTcpTranspTest, APeerThatIgnoresTheMarkerIsDroppedAfterTheDisconnectTimeout)
{
    const uint16_t port = Start(0, 150);
    Fd client = ConnectAccepted(port);

    m_thread.Call([&] { m_user->Transp().Disconnect(false); });
    EXPECT_EQ(c_marker, ReadExact(client.Get(), c_marker.size()));
    // The peer keeps the connection open and says nothing.
    ASSERT_TRUE(m_rec.WaitState(TranspState::Disconnected));
    EXPECT_TRUE(WaitClosed(client.Get()));
    Flush();
    EXPECT_EQ(1, LogCount("No answer to TcpTranspCmd disconnect in 150 ms. Reset socket.."));
    EXPECT_EQ(TranspState::Disconnected, State().Get());

    // A new connection is accepted and is not hit by the old timer.
    Fd next = ConnectAccepted(port);
    ASSERT_TRUE(WriteAll(next.Get(), "ok"));
    ASSERT_TRUE(m_rec.WaitBytes(2));
    EXPECT_EQ(TranspState::Connected, State().Get());
}

TEST_F(MbcTcpTranspTest, ServerErrorStaysFatalThroughLaterDropsAndKeepsTheFirstReason)
{
    const uint16_t port = Start();
    Fd client = ConnectAccepted(port);

    // Breaking the listening socket fails every pending accept.
    const int listenFd = FindListeningFd(port);
    ASSERT_GE(listenFd, 0);
    ASSERT_EQ(0, ::shutdown(listenFd, SHUT_RDWR));
    ASSERT_TRUE(PollUntil(
        [&]
        {
            for (const std::string& t : LogTexts())
                if (t.rfind("Fatal error: server error ", 0) == 0)
                    return true;
            return false;
        }));
    Flush();

    int fatalLogs = 0;
    std::string firstReason;
    for (const std::string& t : LogTexts())
        if (t.rfind("Fatal error: ", 0) == 0)
        {
            ++fatalLogs;
            if (firstReason.empty())
                firstReason = t.substr(std::strlen("Fatal error: "));
        }
    EXPECT_EQ(1, fatalLogs); // later accept errors do not replace the first
    // The live connection still shows its own state.
    EXPECT_EQ(TranspState::Connected, State().Get());

    client.Reset();
    ASSERT_TRUE(m_rec.WaitLast(TranspState::FatalError));
    const TranspState st = State();
    EXPECT_EQ(TranspState::FatalError, st.Get());
    EXPECT_EQ(firstReason, Utils::WStringToStdString(st.Reason()));
    EXPECT_EQ(0u, m_rec.CountOf(TranspState::Disconnected));
}

TEST_F(MbcTcpTranspTest, DestroyingTheTransportClosesTheConnectionAndReportsNothingMore)
{
    const uint16_t port = Start();
    Fd client = ConnectAccepted(port);
    ASSERT_TRUE(WriteAll(client.Get(), Pattern(50000)));
    const size_t notes = m_rec.StateCount();

    m_thread.Call([&] { m_user->Destroy(); });
    EXPECT_TRUE(WaitClosed(client.Get()));
    Flush();
    EXPECT_EQ(notes, m_rec.StateCount());
    // The port is free again.
    EXPECT_FALSE(PlainConnect(port).Valid());
}

TEST_F(MbcTcpTranspTest, PausedReadingLeavesTheBytesWithThePeerAndResumingDeliversThemAll)
{
    const uint16_t port = Start();
    ASSERT_TRUE(RoomyAcceptedReceiveQueues(port));
    Fd client = ConnectAccepted(port);
    const uint16_t clientPort = LocalPort(client.Get());
    SetRecvPaused(true);
    Flush();

    const std::string flood = Pattern(4 * 1024 * 1024, 3);
    BoundSends(client.Get());
    std::thread writer([&] { WriteAll(client.Get(), flood); });

    // The bytes back up in the system's queue; at most the read under way at the pause arrives.
    EXPECT_TRUE(PollUntil([&] { return RxQueue(port, clientPort) > 32 * 1024; }));
    Flush();
    EXPECT_LE(m_rec.Data().size(), YrNet::TcpSocketImpl::c_readBufferSize);

    SetRecvPaused(false);
    const bool all = m_rec.WaitBytes(flood.size());
    writer.join();
    ASSERT_TRUE(all);
    EXPECT_TRUE(m_rec.Data() == flood);
}

TEST_F(MbcTcpTranspTest, APauseAskedForWithoutAConnectionHoldsForTheNextOne)
{
    const uint16_t port = Start();
    ASSERT_TRUE(RoomyAcceptedReceiveQueues(port));
    SetRecvPaused(true);
    Fd client = ConnectAccepted(port);
    const uint16_t clientPort = LocalPort(client.Get());

    const std::string bytes = Pattern(200 * 1024, 4);
    BoundSends(client.Get());
    std::thread writer([&] { WriteAll(client.Get(), bytes); });
    EXPECT_TRUE(PollUntil([&] { return RxQueue(port, clientPort) > 32 * 1024; }));
    Flush();
    EXPECT_LE(m_rec.Data().size(), YrNet::TcpSocketImpl::c_readBufferSize); // the first read starts with the connection

    SetRecvPaused(false);
    const bool all = m_rec.WaitBytes(bytes.size());
    writer.join();
    ASSERT_TRUE(all);
    EXPECT_TRUE(m_rec.Data() == bytes);
}

TEST_F(MbcTcpTranspTest, ReadingStopsAtTheWindowUntilTheChunksAreAcknowledged)
{
    using MediaBridgeControl::IMbcRecvWindow;
    const uint64_t high = 64 * 1024, low = 16 * 1024, chunkCost = 1000;
    const uint64_t read = YrNet::TcpSocketImpl::c_readBufferSize;
    const uint16_t port = Start();
    ASSERT_TRUE(RoomyAcceptedReceiveQueues(port));
    OnFace<IMbcRecvWindow>([&](IMbcRecvWindow& w) { w.SetRecvWindow(high, low, chunkCost); }); // for the next
    Fd client = ConnectAccepted(port);
    const uint16_t clientPort = LocalPort(client.Get());
    const std::string flood = Pattern(1024 * 1024, 5);
    BoundSends(client.Get());
    std::thread writer([&] { WriteAll(client.Get(), flood); });
    auto cost = [&](uint64_t bytes, uint64_t chunks) { return bytes + chunks * chunkCost; };

    // Nothing acknowledged: reading stops at the window, at most one read beyond it, and the
    // rest waits in the system's queue.
    ASSERT_TRUE(PollUntil([&] { return cost(m_rec.Data().size(), m_rec.Chunks()) >= high; }));
    EXPECT_TRUE(PollUntil([&] { return RxQueue(port, clientPort) > 32 * 1024; }));
    Flush();
    EXPECT_LE(cost(m_rec.Data().size(), m_rec.Chunks()), high + read + chunkCost);

    // Acknowledged chunk by chunk (bytes with the first), it all comes, never beyond the window.
    uint64_t ackedBytes = 0, ackedChunks = 0;
    bool within = true;
    for (int i = 0; i < 10000 && m_rec.Data().size() < flood.size(); ++i)
    {
        uint64_t bytes = 0;
        OnFace<IMbcRecvWindow>(
            [&](IMbcRecvWindow& w)
            {
                // On the transport's thread no chunk arrives meanwhile: bytes and chunks agree.
                bytes = m_rec.Data().size();
                const uint64_t chunks = m_rec.Chunks();
                within = within && cost(bytes - ackedBytes, chunks - ackedChunks) <= high + read + chunkCost;
                for (uint64_t c = ackedChunks; c < chunks; ++c)
                    w.AckRecv(c == ackedChunks ? bytes - ackedBytes : 0);
                ackedBytes = bytes;
                ackedChunks = chunks;
            });
        m_rec.WaitBytes(std::min<size_t>(bytes + 1, flood.size()));
    }
    writer.join();
    EXPECT_TRUE(within);
    ASSERT_EQ(flood.size(), m_rec.Data().size());
    EXPECT_TRUE(m_rec.Data() == flood);
}

// The strangers are this process's, which is not the expected one: each is looked at again until
// refused, and those beyond the few kept aside make room by refusing the oldest.
TEST_F(MbcTcpTranspTest, OnlyTheExpectedProcessGetsInAndRefusedOnesDoNotUseUpTheAccepts)
{
    using MediaBridgeControl::IMbcPeerCheck;
    const uint16_t port = Start();
    OnFace<IMbcPeerCheck>([](IMbcPeerCheck& c) { c.ExpectPeerPid(1); }); // not this process
    // More strangers than the server has accepts.
    std::vector<Fd> strangers;
    for (int i = 0; i < YrNet::TcpSocketServer::c_acceptCount + 10; ++i)
    {
        strangers.push_back(PlainConnect(port));
        ASSERT_TRUE(strangers.back().Valid());
    }
    for (size_t i = 0; i < strangers.size(); ++i)
        ASSERT_TRUE(WaitClosed(strangers[i].Get())) << i;
    Flush();
    EXPECT_EQ(0u, m_rec.CountOf(TranspState::Connected));
    const std::string uid = std::to_string(::getuid());
    const int refused = LogCount("Connection refused: pid unknown, uid " + uid +
                                 " is not the media bridge (pid 1, uid " + uid + ")");
    EXPECT_GE(refused, int(YrNet::TcpSocketServer::c_asideMax));
    EXPECT_EQ(int(strangers.size()), refused + MadeRoom());

    OnFace<IMbcPeerCheck>([](IMbcPeerCheck& c) { c.ExpectPeerPid(::getpid()); });
    Fd client = ConnectAccepted(port);
    ASSERT_TRUE(WriteAll(client.Get(), "ours"));
    ASSERT_TRUE(m_rec.WaitBytes(4));
    EXPECT_EQ("ours", m_rec.Data());
}

namespace
{

// Runs functions on the test thread without waiting for them.
class Poster : public iCore::MsgObject
{
public:
    void Post(std::function<void()> fn) { PutFunctor(std::move(fn)); }
};

// A one-way gate between two threads, with bounded waits.
class Gate
{
public:
    void Open()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_cond.notify_all();
    }
    bool Wait()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, c_waitLimit, [&] { return m_open; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_open = false;
};

// Connections waiting in the accept queue of the loopback listener on port, or -1.
long AcceptBacklog(uint16_t port)
{
    std::ifstream f("/proc/net/tcp");
    std::string line;
    char local[32];
    std::snprintf(local, sizeof(local), "0100007F:%04X", port);
    while (std::getline(f, line))
    {
        std::istringstream in(line);
        std::string sl, loc, rem, st, queues;
        in >> sl >> loc >> rem >> st >> queues;
        if (loc == local && st == "0A")
            return std::stol(queues.substr(queues.find(':') + 1), nullptr, 16);
    }
    return -1;
}

} // namespace

// The order of the thread's queue is set up so that the connection that follows a dropped one
// is accepted between two drop notices of the old connection: the late notice must not drop it.
TEST_F(MbcTcpTranspTest, ALateDropNoticeOfTheOldConnectionLeavesTheNextOneAlone)
{
    const uint16_t port = Start();
    Fd first = ConnectAccepted(port);
    const uint16_t firstPort = LocalPort(first.Get());
    std::unique_ptr<Poster> poster;
    m_thread.Call([&] { poster = std::make_unique<Poster>(); });

    Gate entered1, release1, entered2, release2;
    poster->Post(
        [&]
        {
            entered1.Open();
            release1.Wait();
        });
    ASSERT_TRUE(entered1.Wait());

    // Two markers, each read on its own, with a step of ours between their events.
    ASSERT_TRUE(WriteAll(first.Get(), c_marker));
    ASSERT_TRUE(WaitDrainedByNetThread(first.Get(), port, firstPort));
    poster->Post(
        [&]
        {
            poster->Post(
                [&]
                {
                    entered2.Open();
                    release2.Wait();
                });
        });
    ASSERT_TRUE(WriteAll(first.Get(), c_marker));
    ASSERT_TRUE(WaitDrainedByNetThread(first.Get(), port, firstPort));
    release1.Open();

    // Now the first marker has been handled and its drop notice is queued; the second waits
    // behind our step. A new client is accepted meanwhile.
    ASSERT_TRUE(entered2.Wait());
    Fd second = PlainConnect(port);
    ASSERT_TRUE(second.Valid());
    ASSERT_TRUE(PollUntil([&] { return AcceptBacklog(port) == 0; }));
    YrNet::NetThread::Instance()->RunBlocked([] {});
    YrNet::NetThread::Instance()->RunBlocked([] {});
    release2.Open();

    ASSERT_TRUE(m_rec.WaitLast(TranspState::Connected));
    Flush();
    EXPECT_EQ(2, LogCount("incoming connected!"));
    EXPECT_EQ(TranspState::Connected, State().Get());
    ASSERT_TRUE(WriteAll(second.Get(), "alive"));
    ASSERT_TRUE(m_rec.WaitBytes(5));
    EXPECT_EQ("alive", m_rec.Data());
    Send("yes");
    EXPECT_EQ("yes", ReadExact(second.Get(), 3));

    m_thread.Call([&] { poster.reset(); });
}

// ------------------------------------------------------------------------------------------------
// The connection's own state shows only between its change and the server's drop of it (a posted
// message). These tests hold the test thread while the network thread queues the socket's
// events, then look at the state in that window with a message queued behind them.

namespace
{

// The system's state code of the loopback TCP connection localPort -> remotePort ("08" is
// CLOSE_WAIT: the peer's end arrived), or "" when it is not listed.
std::string TcpStateCode(uint16_t localPort, uint16_t remotePort)
{
    std::ifstream f("/proc/net/tcp");
    std::string line;
    char local[32], remote[32];
    std::snprintf(local, sizeof(local), "0100007F:%04X", localPort);
    std::snprintf(remote, sizeof(remote), "0100007F:%04X", remotePort);
    while (std::getline(f, line))
    {
        std::istringstream in(line);
        std::string sl, loc, rem, st;
        in >> sl >> loc >> rem >> st;
        if (loc == local && rem == remote)
            return st;
    }
    return std::string();
}

// Holds the test thread until the end of the scope. The gates are shared with the held thread:
// it still reads them after it was let go.
class ThreadHold
{
public:
    explicit ThreadHold(Poster& poster) : m_gates(std::make_shared<Gates>())
    {
        std::shared_ptr<Gates> gates = m_gates;
        poster.Post(
            [gates]
            {
                gates->entered.Open();
                gates->release.Wait();
            });
        m_ok = m_gates->entered.Wait();
    }
    ~ThreadHold() { m_gates->release.Open(); }

    bool Ok() const { return m_ok; }

private:
    struct Gates
    {
        Gate entered, release;
    };
    std::shared_ptr<Gates> m_gates;
    bool m_ok = false;
};

class MbcTcpTranspWindowTest : public MbcTcpTranspTest
{
protected:
    void SetUp() override
    {
        MbcTcpTranspTest::SetUp();
        m_thread.Call([&] { m_poster = std::make_unique<Poster>(); });
    }
    void TearDown() override
    {
        m_thread.Call([&] { m_poster.reset(); });
        MbcTcpTranspTest::TearDown();
    }

    // Waits until the peer's close reached the system and the network thread has read everything
    // up to it and queued the events for the test thread.
    bool WaitPeerEndQueued(uint16_t port, uint16_t clientPort)
    {
        if (!PollUntil([&]
                       { return TcpStateCode(port, clientPort) == "08" && RxQueue(port, clientPort) == 0; }))
            return false;
        YrNet::NetThread::Instance()->RunBlocked([] {});
        YrNet::NetThread::Instance()->RunBlocked([] {});
        return true;
    }

    // What a probe saw of the transport.
    struct Seen
    {
        bool done = false;
        TranspState state;
    };

    std::unique_ptr<Poster> m_poster;
};

} // namespace

TEST_F(MbcTcpTranspWindowTest, PeerMarkerGivesItsReasonAndChunksBehindItAreDropped)
{
    const uint16_t port = Start();
    Fd client = ConnectAccepted(port);
    const uint16_t clientPort = LocalPort(client.Get());
    Seen seen;
    {
        ThreadHold hold(*m_poster);
        ASSERT_TRUE(hold.Ok());
        ASSERT_TRUE(WriteAll(client.Get(), c_marker));
        ASSERT_TRUE(WaitDrainedByNetThread(client.Get(), port, clientPort));
        // Queued behind the marker's handling, ahead of the server's reaction to it.
        m_poster->Post(
            [&]
            {
                m_poster->Post(
                    [&]
                    {
                        seen.state = m_user->Transp().State();
                        seen.done = true;
                    });
            });
        ASSERT_TRUE(WriteAll(client.Get(), "behind the marker"));
        ASSERT_TRUE(WaitDrainedByNetThread(client.Get(), port, clientPort));
    }
    ASSERT_TRUE(m_rec.WaitState(TranspState::Disconnected));
    Flush();
    ASSERT_TRUE(seen.done);
    EXPECT_EQ(TranspState::Disconnected, seen.state.Get());
    EXPECT_EQ(L"Disconnected by TcpTranspCmd from remote side", seen.state.Reason());
    EXPECT_TRUE(seen.state.Details().empty());

    EXPECT_EQ("", m_rec.Data());
    EXPECT_EQ(1, LogCount("ReceiveData after disconnect"));
    EXPECT_TRUE(State().Reason().empty()); // the server's own state once the connection is gone
}

TEST_F(MbcTcpTranspWindowTest, PeerCloseIsSockErrorAndTheBytesBeforeItStillArrive)
{
    const uint16_t port = Start();
    Fd client = ConnectAccepted(port);
    const uint16_t clientPort = LocalPort(client.Get());
    const size_t notesBefore = m_rec.StateCount();

    // Inside the delivery of the last words: the state, a send and a disconnect.
    Seen inData, afterDisc;
    m_user->m_onData = [&]
    {
        inData.state = m_user->Transp().State();
        inData.done = true;
        m_user->Transp().SendData(NetTest::ToBytes("too late"));
        m_user->Transp().Disconnect(false); // the socket is no longer connected
        afterDisc.state = m_user->Transp().State();
        afterDisc.done = true;
    };
    {
        ThreadHold hold(*m_poster);
        ASSERT_TRUE(hold.Ok());
        ASSERT_TRUE(WriteAll(client.Get(), "last words"));
        client.Reset();
        ASSERT_TRUE(WaitPeerEndQueued(port, clientPort));
    }
    ASSERT_TRUE(m_rec.WaitState(TranspState::Disconnected));
    Flush();

    EXPECT_EQ("last words", m_rec.Data());
    ASSERT_TRUE(inData.done);
    EXPECT_EQ(TranspState::FatalError, inData.state.Get());
    EXPECT_EQ(L"sock error: End of file", inData.state.Reason());
    EXPECT_TRUE(inData.state.Details().empty());
    EXPECT_EQ(1, LogCount("sock error: End of file"));
    EXPECT_EQ(1, LogCount("send data ignored due to state!"));
    EXPECT_EQ(0, LogCount("Send TcpTranspCmd disconnect false"));

    ASSERT_TRUE(afterDisc.done);
    EXPECT_EQ(TranspState::Disconnected, afterDisc.state.Get());
    EXPECT_EQ(L"Disconnected by user", afterDisc.state.Reason());
    // The disconnect itself tells nobody: the one call is the server's drop.
    EXPECT_EQ(notesBefore + 1, m_rec.StateCount());
    EXPECT_EQ(TranspState::Disconnected, State().Get());
    EXPECT_TRUE(State().Reason().empty());
    EXPECT_EQ(0, LogCount("ReceiveData after disconnect"));
}

TEST_F(MbcTcpTranspWindowTest, AfterADisconnectByUserTheBytesBeforeTheCloseAreDropped)
{
    const uint16_t port = Start();
    Fd client = ConnectAccepted(port);
    const uint16_t clientPort = LocalPort(client.Get());
    {
        ThreadHold hold(*m_poster);
        ASSERT_TRUE(hold.Ok());
        ASSERT_TRUE(WriteAll(client.Get(), "first"));
        ASSERT_TRUE(WaitDrainedByNetThread(client.Get(), port, clientPort));
        ASSERT_TRUE(WriteAll(client.Get(), "second"));
        client.Reset();
        ASSERT_TRUE(WaitPeerEndQueued(port, clientPort));
        // Runs after the error was handled: the user gives the connection up at once.
        m_poster->Post([&] { m_user->Transp().Disconnect(false); });
    }
    ASSERT_TRUE(m_rec.WaitState(TranspState::Disconnected));
    Flush();
    EXPECT_EQ("", m_rec.Data());
    EXPECT_EQ(2, LogCount("ReceiveData after disconnect"));
}

namespace
{

// A child that stands for the launched media bridge whose hold of its socket shows late: it takes
// a descriptor passed to it only when told, writes "mb" into it and holds it until its end.
class LateHolder
{
public:
    LateHolder()
    {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_chan) != 0 || ::pipe2(m_gate, O_CLOEXEC) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0)
            Run();
    }
    ~LateHolder()
    {
        for (int fd : {m_chan[0], m_chan[1], m_gate[0], m_gate[1]})
            ::close(fd);
        if (m_pid > 0)
            TestUtils::WaitChild(m_pid, int(c_waitLimit.count()));
    }

    pid_t Pid() const { return m_pid; }

    // Sent, not yet taken: no process holds it while it is on its way.
    bool Send(int fd) { return TestUtils::SendDescriptor(m_chan[0], fd); }
    bool Take() { return ::write(m_gate[1], "t", 1) == 1; }

private:
    // Async-signal-safe calls only: the parent has threads.
    [[noreturn]] void Run()
    {
        char byte;
        if (::read(m_gate[0], &byte, 1) != 1)
            ::_exit(1);
        const int fd = TestUtils::ReceiveDescriptor(m_chan[1]);
        if (fd < 0)
            ::_exit(2);
        if (::write(fd, "mb", 2) != 2)
            ::_exit(3);
        ::close(m_gate[1]);
        while (::read(m_gate[0], &byte, 1) > 0) // until the parent's end
        {
        }
        ::_exit(0);
    }

    int m_chan[2] = {-1, -1};
    int m_gate[2] = {-1, -1};
    pid_t m_pid = -1;
};

std::string LookingAgain()
{
    return "Connection of uid " + std::to_string(::getuid()) +
           ": the media bridge does not hold its socket yet, looking again";
}

// count connects to port whose sockets then live only in flight; the network thread waits until
// our copies are closed, so that none is looked at while we still hold it.
bool ConnectInFlight(uint16_t port, int count, TestUtils::InFlight& inFlight)
{
    NetThreadBlocker blocker;
    for (int i = 0; i < count; ++i)
    {
        Fd c = PlainConnect(port);
        if (!inFlight.Put(c.Get()))
            return false;
    }
    return true;
}

// Takes back count sockets put in flight: true when the server closed every one of them.
bool TakenBackClosed(TestUtils::InFlight& inFlight, int count)
{
    bool closed = true;
    for (int i = 0; i < count; ++i)
    {
        Fd back(inFlight.TakeBack());
        closed = WaitClosed(back.Get()) && closed;
    }
    return closed;
}

} // namespace

TEST_F(MbcTcpTranspTest, TheMediaBridgeIsLetInWhenItsHoldOfTheSocketShowsAfterTheFirstLook)
{
    using MediaBridgeControl::IMbcPeerCheck;
    const uint16_t port = Start();
    LateHolder bridge;
    ASSERT_GT(bridge.Pid(), 0);
    OnFace<IMbcPeerCheck>([&](IMbcPeerCheck& c) { c.ExpectPeerPid(bridge.Pid()); });

    // The transport's thread looks at the connection only once our copy of the socket is closed.
    std::unique_ptr<Poster> poster;
    m_thread.Call([&] { poster = std::make_unique<Poster>(); });
    Gate release;
    poster->Post([&] { release.Wait(); });
    {
        Fd client = PlainConnect(port);
        ASSERT_TRUE(client.Valid());
        ASSERT_TRUE(bridge.Send(client.Get()));
    }
    release.Open();
    EXPECT_TRUE(PollUntil([&] { return LogCount(LookingAgain()) == 1; }));
    ASSERT_TRUE(bridge.Take());

    EXPECT_TRUE(m_rec.WaitState(TranspState::Connected));
    EXPECT_TRUE(m_rec.WaitBytes(2));
    EXPECT_EQ("mb", m_rec.Data());
    m_thread.Call([&] { poster.reset(); });
}

// Several connections of our user that no process is seen holding: while they are looked at again,
// another transport on the same thread goes on relaying, on a machine with many processes.
TEST_F(MbcTcpTranspTest, ConnectsNoProcessHoldsAreLookedAtWhileTheThreadRelaysAndAreRefusedInTheEnd)
{
    using Clock = std::chrono::steady_clock;
    using MediaBridgeControl::IMbcPeerCheck;
    const TestUtils::ProcessCrowd crowd(1000, 60);
    if (crowd.Size() < 1000)
        GTEST_SKIP() << "only " << crowd.Size() << " of the 1000 processes could be started: "
                     << std::strerror(crowd.SpawnError())
                     << (crowd.SpawnError() == EAGAIN ? " (the user's process limit, ulimit -u, is too low)" : "");
    const uint16_t port = Start();
    OnFace<IMbcPeerCheck>([](IMbcPeerCheck& c) { c.ExpectPeerPid(1); }); // holds none of them

    Recorder relayRec;
    std::unique_ptr<TranspUser> relay;
    YrNet::HostAddr bound;
    Clock::time_point last;
    Clock::duration longest{};
    m_thread.Call(
        [&]
        {
            relay = std::make_unique<TranspUser>(relayRec, m_parentLog);
            relay->Create(0, &bound, 0);
            relay->m_onData = [&]
            {
                const Clock::time_point now = Clock::now();
                longest = std::max(longest, last == Clock::time_point() ? Clock::duration() : now - last);
                last = now;
            };
        });
    Fd client = PlainConnect(static_cast<uint16_t>(bound.Port()));
    EXPECT_TRUE(relayRec.WaitState(TranspState::Connected));
    std::atomic<bool> stop{false};
    std::thread writer(
        [&]
        {
            const auto end = Clock::now() + c_waitLimit;
            while (!stop && Clock::now() < end && WriteAll(client.Get(), std::string(64, 'r')))
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        });
    EXPECT_TRUE(relayRec.WaitBytes(64));

    const int strays = 3;
    TestUtils::InFlight inFlight;
    EXPECT_TRUE(ConnectInFlight(port, strays, inFlight));
    const std::string uid = std::to_string(::getuid());
    const std::string refused =
        "Connection refused: pid unknown, uid " + uid + " is not the media bridge (pid 1, uid " + uid + ")";
    EXPECT_TRUE(PollUntil([&] { return LogCount(refused) == strays; }));
    stop = true;
    writer.join();

    EXPECT_EQ(strays, LogCount(LookingAgain()));
    m_thread.Call(
        [&] { EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(longest).count(), 500); });
    EXPECT_TRUE(TakenBackClosed(inFlight, strays));
    EXPECT_EQ(0u, m_rec.CountOf(TranspState::Connected));
    m_thread.Call([&] { relay.reset(); });
}

// Far more strays than the server has accepts wait in the queue before the media bridge's connect:
// it is let in at once, not after their looks, and every stray is refused in the end.
TEST_F(MbcTcpTranspTest, TheMediaBridgeIsLetInAtOnceBehindManyStrays)
{
    using MediaBridgeControl::IMbcPeerCheck;
    const uint16_t port = Start();
    OnFace<IMbcPeerCheck>([](IMbcPeerCheck& c) { c.ExpectPeerPid(::getpid()); });
    const int strays = 3 * YrNet::TcpSocketServer::c_acceptCount;
    TestUtils::InFlight inFlight;
    ASSERT_TRUE(ConnectInFlight(port, strays, inFlight));
    Fd bridge = PlainConnect(port);
    ASSERT_TRUE(bridge.Valid());
    EXPECT_TRUE(m_rec.WaitState(TranspState::Connected, 1, std::chrono::milliseconds(1000)));
    ASSERT_TRUE(WriteAll(bridge.Get(), "mb"));
    EXPECT_TRUE(m_rec.WaitBytes(2));
    EXPECT_TRUE(TakenBackClosed(inFlight, strays));
    EXPECT_EQ(1u, m_rec.CountOf(TranspState::Connected));
}

TEST_F(MbcTcpTranspTest, AConnectWhileTheMediaBridgeIsConnectedIsDroppedWithoutALook)
{
    using MediaBridgeControl::IMbcPeerCheck;
    const uint16_t port = Start();
    OnFace<IMbcPeerCheck>([](IMbcPeerCheck& c) { c.ExpectPeerPid(::getpid()); });
    Fd bridge = ConnectAccepted(port);
    TestUtils::InFlight inFlight;
    EXPECT_TRUE(ConnectInFlight(port, 1, inFlight));
    EXPECT_TRUE(
        PollUntil([&] { return LogCount("new connection is ignored, already have connected socket") == 1; }));
    EXPECT_TRUE(TakenBackClosed(inFlight, 1));
    EXPECT_EQ(0, LogCount(LookingAgain()));
    EXPECT_EQ(TranspState::Connected, State().Get());
}

namespace
{

const char* const c_nobodyRefused =
    "Connection refused: pid unknown, uid 65534 is not the media bridge (pid 1, uid 0)";

// A child that connects to port as nobody (root only) and ends with 0 once the server has closed
// the connection (bounded).
pid_t ConnectAsNobody(uint16_t port)
{
    const pid_t child = ::fork();
    if (child != 0)
        return child;
    if (::setuid(65534) != 0)
        ::_exit(1);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = Loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0)
        ::_exit(2);
    pollfd p{fd, POLLIN, 0};
    char byte;
    ::_exit(::poll(&p, 1, int(c_waitLimit.count())) == 1 && ::read(fd, &byte, 1) == 0 ? 0 : 3);
}

} // namespace

TEST_F(MbcTcpTranspTest, AnotherUsersConnectIsRefusedWithoutLookingForItsProcess)
{
    if (::getuid() != 0)
        GTEST_SKIP() << "connecting as another user needs root";
    using MediaBridgeControl::IMbcPeerCheck;
    const uint16_t port = Start();
    OnFace<IMbcPeerCheck>([](IMbcPeerCheck& c) { c.ExpectPeerPid(1); });
    const pid_t child = ConnectAsNobody(port);
    ASSERT_GT(child, 0);
    EXPECT_EQ(0, TestUtils::WaitChild(child, int(c_waitLimit.count())));
    Flush();
    // As root a look through /proc would have found the child.
    EXPECT_EQ(1, LogCount(c_nobodyRefused));
    EXPECT_EQ(0u, m_rec.CountOf(TranspState::Connected));
}

// Where the socket query is refused (a sandbox, a security policy), the socket table tells who
// connects: a stray of our user is looked at and refused, another user's connect is refused at
// once, the media bridge gets in, and the failing query is told once.
TEST_F(MbcTcpTranspTest, WhereTheSocketQueryIsRefusedTheSocketTableTellsThePeers)
{
    using MediaBridgeControl::IMbcPeerCheck;
    const TestUtils::SocketQueryRefused refused(EACCES);
    const uint16_t port = Start();
    OnFace<IMbcPeerCheck>([](IMbcPeerCheck& c) { c.ExpectPeerPid(1); });
    const pid_t nobody = ::getuid() == 0 ? ConnectAsNobody(port) : 0;
    Fd stray = PlainConnect(port);
    ASSERT_TRUE(stray.Valid());
    EXPECT_TRUE(WaitClosed(stray.Get()));
    const std::string uid = std::to_string(::getuid());
    EXPECT_EQ(1, LogCount(LookingAgain()));
    EXPECT_EQ(1, LogCount("Connection refused: pid unknown, uid " + uid +
                          " is not the media bridge (pid 1, uid " + uid + ")"));
    if (nobody != 0)
    {
        ASSERT_GT(nobody, 0);
        EXPECT_EQ(0, TestUtils::WaitChild(nobody, int(c_waitLimit.count())));
        Flush();
        EXPECT_EQ(1, LogCount(c_nobodyRefused));
    }

    OnFace<IMbcPeerCheck>([](IMbcPeerCheck& c) { c.ExpectPeerPid(::getpid()); });
    Fd bridge = ConnectAccepted(port);
    ASSERT_TRUE(WriteAll(bridge.Get(), "mb"));
    EXPECT_TRUE(m_rec.WaitBytes(2));
    const std::string told = "The socket diagnostics query does not answer (Permission denied): peers are "
                             "looked up in the socket table";
    const std::vector<YrLogV2::LogRecord> records = m_out->Records();
    EXPECT_EQ(1, std::count_if(records.begin(), records.end(),
                               [&](const YrLogV2::LogRecord& r) {
                                   return r.node == "NetThread" && r.level == YrLogV2::Warning.Level() &&
                                          r.text == told;
                               }));
}
