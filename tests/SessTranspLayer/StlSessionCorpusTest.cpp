#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>
#include <gtest/gtest.h>
#include "SessTranspLayer/MemoryLink.h"
#include "StlSessionHarness.h"

// Replays the session fuzzer's kept corpus: no script may break the session's rules, and the
// kept seeds must still reach what they were written for.

#ifndef YR_FUZZ_CORPUS_DIR
#error "YR_FUZZ_CORPUS_DIR must name the fuzz corpus folder"
#endif

namespace
{

using namespace SessTranspLayer;

struct Expect
{
    int connected;
    int data;
    std::vector<int> causes;
};

const std::map<std::string, Expect> c_seeds = {
    {"handshake_data_ping_disc", {1, 1, {DiscCause::dcDiscRemote}}},
    {"connect_and_data_in_one_chunk", {1, 1, {}}},
    {"packet_number_ahead", {1, 0, {DiscCause::dcWrongHeader}}},
    {"owner_disconnect_confirmed", {1, 0, {DiscCause::dcDiscByUser}}},
    {"transport_error_and_back", {2, 0, {DiscCause::dcTranspErr}}},
    {"garbage_and_zero_source", {0, 0, {DiscCause::dcWrongHeader}}},
    {"unknown_command", {1, 1, {}}},
    {"new_session_while_busy", {1, 0, {DiscCause::dcWrongHeader}}},
    {"owner_sends_cut_frames", {1, 0, {}}},
    {"corrupted_then_good", {1, 1, {}}},
};

TEST(StlSessionCorpusTest, EveryScriptKeepsTheSessionRules)
{
    const std::filesystem::path dir = std::filesystem::path(YR_FUZZ_CORPUS_DIR) / "stl_session";
    ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;

    MemoryLink link; // only for its thread
    YrLogV2::Log log(YrLogV2::LogRoot::RootLog(), "StlSessionCorpus");
    size_t seeds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
    {
        if (!entry.is_regular_file())
            continue;
        const std::string name = entry.path().filename().string();
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<uint8_t> script((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());

        const StlFuzz::Summary got =
            StlFuzz::RunServerScript(link.Thread(MemoryLink::SideA), log, script.data(), script.size(),
                                     [&name](const char* what) { ADD_FAILURE() << name << ": " << what; });

        auto seed = c_seeds.find(name);
        if (seed == c_seeds.end())
            continue;
        ++seeds;
        EXPECT_EQ(seed->second.connected, got.connected) << name;
        EXPECT_EQ(seed->second.data, got.data) << name;
        EXPECT_EQ(seed->second.causes, got.causes) << name;
    }
    EXPECT_EQ(c_seeds.size(), seeds) << "a kept seed is missing";
}

} // namespace
