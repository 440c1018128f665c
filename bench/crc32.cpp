#include <benchmark/benchmark.h>
#include <cstdint>
#include <vector>
#include "Utils/Crc32.h"

// CRC-32 throughput at the sizes the transports see: a control packet, a small media packet,
// a full channel chunk, a frame of one 4 KiB network read, and a large relayed buffer.
static void BM_Crc32(benchmark::State& state)
{
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<uint8_t>(i * 131 + 7);

    for (auto _ : state)
    {
        uint32_t crc = Utils::Crc32(data.data(), static_cast<int32_t>(size), 0xFFFFFFFF, true);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}
BENCHMARK(BM_Crc32)->Arg(64)->Arg(512)->Arg(1536)->Arg(4128)->Arg(64 * 1024);
