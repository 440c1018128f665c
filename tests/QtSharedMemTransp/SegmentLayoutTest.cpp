// Each side against a peer played by hand on the raw segment, with every offset spelled out as a
// number: a layout that both real sides got wrong in the same way would pass the two-sided tests.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include "Platform/SysInfo.h"
#include "ShmTestUtils.h"

namespace
{

using namespace ShmTest;
using QtSharedMemTransp::State;

const uint32_t c_sizeA = 64;  // ring A, server to client
const uint32_t c_sizeB = 128; // ring B, client to server

// Offsets of the format, written out rather than taken from the implementation's constants.
const size_t c_magic = 0, c_sizeAOffs = 4, c_sizeBOffs = 8, c_serverTick = 12, c_clientTick = 16, c_link = 20;
const size_t c_aWrite = 24, c_aRead = 28, c_aData = 32;
const size_t c_bWrite = 32 + c_sizeA, c_bRead = 36 + c_sizeA, c_bData = 40 + c_sizeA;
const int c_total = 40 + c_sizeA + c_sizeB;

bool TickIsRecent(uint32_t tick)
{
    // Both are the monotonic millisecond count; a tick taken from another clock is far off.
    const uint32_t now = Platform::GetTickCount();
    return tick != 0 && uint32_t(now - tick) < 60000;
}

std::string Text(const std::vector<uint8_t>& v)
{
    return std::string(v.begin(), v.end());
}

TEST(SegmentLayoutTest, ServerWritesRingAAndReadsRingBAtTheirOffsets)
{
    const std::wstring key = UniqueKey("srvlayout");
    QtSharedMemTransp::ServerProfile prof;
    prof.name = key;
    prof.pollPeriodMs = 10;
    prof.toClientBuffSize = c_sizeA;
    prof.toServerBuffSize = c_sizeB;
    Side server;
    server.MakeServer(prof);
    ASSERT_EQ(State::Initial, server.State().state);

    RawSegment raw(key);
    ASSERT_TRUE(raw.Attach());
    ASSERT_EQ(c_total, raw.Size());
    EXPECT_EQ(0x5600A307u, raw.Word(c_magic));
    EXPECT_EQ(c_sizeA, raw.Word(c_sizeAOffs));
    EXPECT_EQ(c_sizeB, raw.Word(c_sizeBOffs));

    // The server's heartbeat starts only once a client is there.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server.Settle();
    EXPECT_EQ(0u, raw.Word(c_serverTick));

    raw.SetWord(c_link, 1);
    ASSERT_TRUE(server.WaitState(State::Connected));
    ASSERT_TRUE(PollUntil([&] { return raw.Word(c_serverTick) != 0; }));
    EXPECT_TRUE(TickIsRecent(raw.Word(c_serverTick))) << raw.Word(c_serverTick);
    EXPECT_EQ(0u, raw.Word(c_clientTick));

    // Outgoing bytes: ring A's data at 32, its write offset at 24 published at once.
    server.Send(Utils::ByteArray(std::string("hello")));
    EXPECT_EQ(5u, raw.Word(c_aWrite));
    EXPECT_EQ(0u, raw.Word(c_aRead));
    EXPECT_EQ(0, std::memcmp(raw.Base() + c_aData, "hello", 5));
    EXPECT_EQ(0u, raw.Word(c_bWrite));
    EXPECT_EQ(0u, raw.Word(c_bRead));

    // Incoming bytes: ring B's data at 40 + size A, its offsets at 32 + size A and 36 + size A.
    std::memcpy(raw.Base() + c_bData, "abc", 3);
    raw.SetWord(c_bWrite, 3);
    EXPECT_EQ("abc", Text(server.WaitData(3)));
    ASSERT_TRUE(PollUntil([&] { return raw.Word(c_bRead) == 3; }));

    // The hand client takes the bytes of ring A; the server then has its whole ring again and
    // wraps at the end of ring A's data, not beyond.
    raw.SetWord(c_aRead, 5);
    const Utils::ByteArray big = Pattern(c_sizeA - 1, 3);
    server.Send(big);
    EXPECT_EQ(4u, raw.Word(c_aWrite)); // 5 + 63 - 64
    EXPECT_EQ(0, std::memcmp(raw.Base() + c_aData + 5, big.Data(), c_sizeA - 5));
    EXPECT_EQ(0, std::memcmp(raw.Base() + c_aData, big.Data() + c_sizeA - 5, 4));
    EXPECT_EQ(3u, raw.Word(c_bRead)); // ring B untouched by the write
    EXPECT_EQ(0x5600A307u, raw.Word(c_magic));

    server.Destroy();
    EXPECT_EQ(2u, raw.Word(c_link));
}

TEST(SegmentLayoutTest, ClientWritesRingBAndReadsRingAAtTheirOffsets)
{
    const std::wstring key = UniqueKey("cltlayout");
    RawSegment raw(key);
    ASSERT_TRUE(raw.Create(c_total));
    raw.SetWord(c_sizeAOffs, c_sizeA);
    raw.SetWord(c_sizeBOffs, c_sizeB);
    raw.SetWord(c_magic, 0x5600A307);

    QtSharedMemTransp::ClientProfile prof;
    prof.name = key;
    prof.pollPeriodMs = 10;
    Side client;
    client.MakeClient(prof);
    ASSERT_TRUE(client.WaitState(State::Connected));
    EXPECT_EQ(1u, raw.Word(c_link));

    ASSERT_TRUE(PollUntil([&] { return raw.Word(c_clientTick) != 0; }));
    EXPECT_TRUE(TickIsRecent(raw.Word(c_clientTick))) << raw.Word(c_clientTick);
    EXPECT_EQ(0u, raw.Word(c_serverTick));

    client.Send(Utils::ByteArray(std::string("xyz")));
    EXPECT_EQ(3u, raw.Word(c_bWrite));
    EXPECT_EQ(0, std::memcmp(raw.Base() + c_bData, "xyz", 3));
    EXPECT_EQ(0u, raw.Word(c_aWrite));
    EXPECT_EQ(0u, raw.Word(c_aRead));

    // The hand server's bytes, written across the end of ring A.
    // (Both offsets moved while the client's thread is held, so no poll sees half the move.)
    client.Call(
        [&]
        {
            raw.SetWord(c_aWrite, c_sizeA - 2);
            raw.SetWord(c_aRead, c_sizeA - 2);
        });
    std::memcpy(raw.Base() + c_aData + c_sizeA - 2, "QR", 2);
    std::memcpy(raw.Base() + c_aData, "ST", 2);
    raw.SetWord(c_aWrite, 2);
    EXPECT_EQ("QRST", Text(client.WaitData(4)));
    ASSERT_TRUE(PollUntil([&] { return raw.Word(c_aRead) == 2; }));

    // The header words that belong to the server stay as the server left them.
    EXPECT_EQ(0x5600A307u, raw.Word(c_magic));
    EXPECT_EQ(c_sizeA, raw.Word(c_sizeAOffs));
    EXPECT_EQ(c_sizeB, raw.Word(c_sizeBOffs));
    EXPECT_EQ(0u, raw.Word(c_bRead));

    client.Destroy();
    EXPECT_EQ(2u, raw.Word(c_link));
}

// The poll that finds the heartbeat stopped still moves the bytes that were waiting: the user gets
// the state change first and the data after it.
TEST(SegmentLayoutTest, PollThatTimesOutStillDeliversTheWaitingBytes)
{
    const std::wstring key = UniqueKey("lastpoll");
    QtSharedMemTransp::ServerProfile prof;
    prof.name = key;
    prof.pollPeriodMs = 10;
    prof.discTimeoutMs = 1000;
    prof.toClientBuffSize = c_sizeA;
    prof.toServerBuffSize = c_sizeB;
    Side server;
    server.MakeServer(prof);
    RawSegment raw(key);
    ASSERT_TRUE(raw.Attach());
    raw.SetWord(c_link, 1);
    ASSERT_TRUE(server.WaitState(State::Connected));

    // While the server's thread is held, no poll runs: the bytes arrive and the time-out passes.
    server.Call(
        [&]
        {
            std::memcpy(raw.Base() + c_bData, "late", 4);
            raw.SetWord(c_bWrite, 4);
            std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        });
    ASSERT_TRUE(server.WaitState(State::Disconnected));
    EXPECT_EQ("late", Text(server.WaitData(4)));

    const std::vector<Recorded> evs = server.Events();
    ASSERT_EQ(3u, evs.size());
    EXPECT_EQ(Recorded::kStateChanged, evs[0].kind);
    EXPECT_EQ(Recorded::kStateChanged, evs[1].kind);
    EXPECT_EQ(L"Disc timeout", evs[1].state.text);
    EXPECT_EQ(Recorded::kData, evs[2].kind);
    EXPECT_EQ(2u, raw.Word(c_link));
}

} // namespace
