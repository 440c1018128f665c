// Session packets: building a frame (payload CRC, header, copy) and recovering frames from a
// stream delivered whole, in channel-sized 1600-byte pieces, or one byte per delivery.
#include <benchmark/benchmark.h>
#include <cstring>
#include <memory>
#include <vector>
#include "SessTranspLayer/StlPacket.h"
#include "Utils/Crc32.h"

namespace
{

using namespace SessTranspLayer;

Utils::ByteArray Payload(int64_t size)
{
    Utils::ByteArray res(static_cast<uint64_t>(size), 0, 0);
    if (size == 0)
        return res;
    uint8_t* p = res.Data();
    for (int64_t i = 0; i < size; ++i)
        p[i] = static_cast<uint8_t>(i * 31 + 7);
    return res;
}

void BM_StlSerialize(benchmark::State& state)
{
    const Utils::ByteArray payload = Payload(state.range(0));
    uint16_t num = 0;
    for (auto _ : state)
    {
        // As a sender does it: the packet (payload CRC) and its bytes.
        const StlPacket p(0x0123456789ABCDEFull, 0xDEADBEEF, num++, StlCmd::cmdData, payload);
        Utils::ByteArray wire = StlPacketSerializer::Serialize(p);
        benchmark::DoNotOptimize(wire.Data());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * (state.range(0) + c_stlHeaderSize));
}

// range(0): payload size; range(1): piece size, 0 for the whole frame in one delivery.
void BM_StlParse(benchmark::State& state)
{
    const Utils::ByteArray wire =
        StlPacketSerializer::Serialize(StlPacket(1, 2, 3, StlCmd::cmdData, Payload(state.range(0))));
    const uint64_t pieceSize = state.range(1) == 0 ? wire.Size() : static_cast<uint64_t>(state.range(1));

    std::vector<Utils::ByteArray> pieces;
    for (uint64_t pos = 0; pos < wire.Size(); pos += pieceSize)
        pieces.emplace_back(wire.Data() + pos, std::min(pieceSize, wire.Size() - pos));

    StlPacketSerializer s;
    int64_t packets = 0;
    for (auto _ : state)
    {
        for (const Utils::ByteArray& piece : pieces)
        {
            std::unique_ptr<StlPacket> p = s.ProcessData(piece);
            if (p)
            {
                benchmark::DoNotOptimize(p->m_data.Data());
                ++packets;
            }
        }
    }
    if (packets != state.iterations())
        state.SkipWithError("a packet was lost");
    state.SetItemsProcessed(packets);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(wire.Size()));
}

void PayloadSizes(benchmark::internal::Benchmark* b)
{
    for (int64_t size : {0, 64, 1568, 4096})
        b->Arg(size);
}

void ParseArgs(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"payload", "piece"});
    for (int64_t size : {0, 64, 1568, 4096})
        for (int64_t piece : {0, 1600, 1})
            b->Args({size, piece});
}

// A hostile stream: a header with a valid CRC announcing range(0) - 32 payload bytes, a payload
// made only of false magics, and a wrong payload CRC. The parser must drop it byte by byte until
// nothing is left; the cost of that resynchronisation must stay linear in the buffer.
void BM_StlResyncHostile(benchmark::State& state)
{
    const uint64_t total = static_cast<uint64_t>(state.range(0));
    Utils::ByteArray wire(total, 0, 0);
    uint8_t* w = wire.Data();
    for (uint64_t i = 0; i + 4 <= total; i += 4)
    {
        w[i] = 0x45;
        w[i + 1] = 0x00;
        w[i + 2] = 0x6F;
        w[i + 3] = 0xA9;
    }
    const uint32_t n = static_cast<uint32_t>(total - c_stlHeaderSize);
    const uint8_t sizeAndCrc[8] = {
        uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n), 0, 0, 0, 1};
    std::memcpy(w + 20, sizeAndCrc, sizeof(sizeAndCrc));
    const uint32_t hc = Utils::Crc32(w, 28, 0xFFFFFFFF, true);
    const uint8_t hcBytes[4] = {uint8_t(hc >> 24), uint8_t(hc >> 16), uint8_t(hc >> 8), uint8_t(hc)};
    std::memcpy(w + 28, hcBytes, sizeof(hcBytes));

    const Utils::ByteArray none(uint64_t(0), uint64_t(0));
    int64_t calls = 0;
    for (auto _ : state)
    {
        StlPacketSerializer s;
        Utils::ByteArray chunk = wire;
        for (;;)
        {
            const uint64_t before = s.BufferedSize() + chunk.Size();
            std::unique_ptr<StlPacket> p = s.ProcessData(chunk);
            ++calls;
            if (!p && s.BufferedSize() >= before)
                break;
            chunk = none;
        }
        benchmark::DoNotOptimize(s.BufferedSize());
    }
    state.counters["calls"] = benchmark::Counter(static_cast<double>(calls) / state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(total));
}

} // namespace

BENCHMARK(BM_StlResyncHostile)
    ->ArgName("bytes")
    ->Arg(4096)
    ->Arg(64 * 1024)
    ->Arg(1024 * 1024)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StlSerialize)->Apply(PayloadSizes)->ArgName("payload");
BENCHMARK(BM_StlParse)->Apply(ParseArgs);
