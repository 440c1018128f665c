#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include "SessTranspLayer/StlPacket.h"
#include "Utils/Crc32.h"

// Replays the fuzzer's kept corpus: every input must parse the same whether it arrives whole,
// in channel-sized pieces or byte by byte, and every packet must be a genuine frame of it.

#ifndef YR_FUZZ_CORPUS_DIR
#error "YR_FUZZ_CORPUS_DIR must name the fuzz corpus folder"
#endif

namespace
{

using namespace SessTranspLayer;
using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The packets of a stream fed in pieces of at most pieceSize bytes (0: whole), drained after
// each piece; each packet as its wire bytes.
std::vector<Bytes> Parse(const Bytes& stream, size_t pieceSize)
{
    static const uint8_t c_none = 0;
    std::vector<Bytes> res;
    StlPacketSerializer s;
    size_t pos = 0;
    do
    {
        const size_t n = pieceSize == 0 ? stream.size() : std::min(pieceSize, stream.size() - pos);
        Utils::ByteArray data(n == 0 ? &c_none : stream.data() + pos, n);
        pos += n;
        for (int guard = 0; guard < 1000000; ++guard)
        {
            const uint64_t before = s.BufferedSize() + data.Size();
            std::unique_ptr<StlPacket> p = s.ProcessData(data);
            if (p)
            {
                EXPECT_EQ(c_stlMagic, p->m_magic);
                EXPECT_EQ(p->m_dataSize, p->m_data.Size());
                EXPECT_LE(p->m_dataSize, c_stlMaxPayload);
                const Utils::ByteArray wire = StlPacketSerializer::Serialize(*p);
                res.emplace_back(wire.Data(), wire.Data() + wire.Size());
            }
            // Nothing is buffered beyond one bounded frame and the current delivery.
            EXPECT_LE(s.BufferedSize(), stream.size());
            if (!p && s.BufferedSize() >= before)
                break;
            data = Utils::ByteArray(&c_none, 0);
        }
    } while (pos < stream.size());
    return res;
}

// Packets the kept seeds hold; inputs the fuzzer adds later are checked for consistency only.
const std::map<std::string, size_t> c_seedPackets = {
    {"golden_ping", 1},
    {"golden_connect", 1},
    {"golden_hello", 1},
    {"three_packets", 3},
    {"garbage_then_packet", 1},
    {"bad_payload_crc_then_packet", 1},
    {"bad_header_crc_then_packet", 1},
    {"huge_size_then_packet", 1},
    {"wrapping_size_then_packet", 1},
    {"false_magics", 1},
    {"packet_inside_bad_payload", 1},
    {"data_1568", 1},
    {"unknown_command", 2},
    {"truncated_packet", 0},
    {"empty_payload_data", 1},
};

TEST(StlPacketCorpusTest, EveryInputParsesTheSameInAnyPieces)
{
    const std::filesystem::path dir = std::filesystem::path(YR_FUZZ_CORPUS_DIR) / "stl_packet";
    ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;

    size_t files = 0;
    size_t seeds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
    {
        if (!entry.is_regular_file())
            continue;
        ++files;
        const std::string name = entry.path().filename().string();
        const Bytes stream = ReadFile(entry.path());

        const std::vector<Bytes> whole = Parse(stream, 0);
        EXPECT_EQ(whole, Parse(stream, 1600)) << name;
        EXPECT_EQ(whole, Parse(stream, 1)) << name;
        for (const Bytes& packet : whole)
            EXPECT_NE(stream.end(), std::search(stream.begin(), stream.end(), packet.begin(), packet.end()))
                << name << ": a packet that is not in the input";

        auto seed = c_seedPackets.find(name);
        if (seed != c_seedPackets.end())
        {
            ++seeds;
            EXPECT_EQ(seed->second, whole.size()) << name;
        }
    }
    EXPECT_EQ(c_seedPackets.size(), seeds) << "a kept seed is missing";
    EXPECT_GE(files, seeds);
}

} // namespace
