#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>
#include "YrMetaFuzzCheck.h"

// Replays the fuzzer's kept corpus: for every input the reader keeps its promises, and the kept
// seeds are read in full by exactly the classes they were made for.

#ifndef YR_FUZZ_CORPUS_DIR
#error "YR_FUZZ_CORPUS_DIR must name the fuzz corpus folder"
#endif

namespace
{

using namespace YrMetaFuzz;

std::vector<std::uint8_t> ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The classes that read each kept seed without an error.
const std::map<std::string, unsigned> c_seeds = {
    {"packet_golden", c_testPacket},
    {"packet_cleared", c_testPacket},
    {"packet_819", c_testPacket},
    {"packet_trailing", 0},
    {"packet_str8", 0},
    {"packet_wrong_size", 0},
    {"packet_huge_size", 0},
    {"packet_type_mismatch", 0},
    {"deep_containers", 0},
    {"huge_array_count", 0},
    {"allkinds_golden", c_allKinds},
    {"allkinds_wstring_huge_count", 0},
    {"allkinds_bad_smart_enum", 0},
    {"allkinds_float_as_integer", 0},
    {"tree_golden", c_tree},
    {"tree_huge_count", 0},
    {"tree_too_deep", 0},
    {"lists_golden", c_lists},
    {"empty", 0},
};

TEST(YrMetaFuzzCorpusTest, EveryInputKeepsTheReadersPromises)
{
    const std::filesystem::path dir = std::filesystem::path(YR_FUZZ_CORPUS_DIR) / "yrmeta_msgpack";
    ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;

    std::size_t files = 0;
    std::size_t seeds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
    {
        if (!entry.is_regular_file())
            continue;
        ++files;
        const std::string name = entry.path().filename().string();
        const std::vector<std::uint8_t> bytes = ReadFile(entry.path());

        const Outcome res = Check(bytes.data(), bytes.size());
        EXPECT_EQ("", res.m_violation) << name;

        const auto seed = c_seeds.find(name);
        if (seed != c_seeds.end())
        {
            ++seeds;
            EXPECT_EQ(seed->second, res.m_accepted) << name;
        }
    }
    EXPECT_EQ(c_seeds.size(), seeds) << "a kept seed is missing";
    EXPECT_GE(files, seeds);
}

// The check itself finds what it is there to find.
TEST(YrMetaFuzzCorpusTest, CheckReportsWhatTheClassesRead)
{
    const std::vector<std::uint8_t> packet = {0x03, 0x05, 0x0C, 0x03, 0xA3, 0x61, 0x62, 0x63};
    EXPECT_EQ(static_cast<unsigned>(c_testPacket), Check(packet.data(), packet.size()).m_accepted);
    EXPECT_EQ(0u, Check(packet.data(), packet.size() - 1).m_accepted);
    EXPECT_EQ(0u, Check(nullptr, 0).m_accepted);
}

} // namespace
