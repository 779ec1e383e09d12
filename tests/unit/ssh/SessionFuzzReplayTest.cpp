#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "fuzz/SessionFuzzTarget.h"

namespace velunor {
namespace {

std::vector<uint8_t> ReadCorpusFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The handler fuzzer's corpus: every input runs clean under the sanitizers, and the hand-made
// seeds still end the way they were written to (0: the attempt goes on).
TEST(SessionFuzzCorpus, ReplaysClean) {
    const auto dir = std::filesystem::path(VELUNOR_SOURCE_DIR) / "tests/fuzz/corpus/session_handlers";
    const std::map<std::string, int> seeds = {
        {"kexinit_identified", 0}, {"dh_reply_garbage", 1},  {"auth_failure_methods", 0},
        {"info_request", 0},       {"open_confirmation", 0}, {"subsystem_version", 0},
        {"ready_two_packets", 0},  {"window_adjust", 0},     {"channel_request", 0},
        {"channel_close", 0},      {"disconnect", 0},        {"raw_type", 0},
    };
    int seen = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        auto input = ReadCorpusFile(entry.path());
        int reports = fuzz::SessionFuzzOne(input.data(), input.size());
        EXPECT_LE(reports, 1) << entry.path();
        auto seed = seeds.find(entry.path().filename().string());
        if (seed != seeds.end()) {
            EXPECT_EQ(reports, seed->second) << entry.path();
            ++seen;
        }
    }
    EXPECT_EQ(seen, int(seeds.size()));
}

// Every cut of every seed: truncated fields at each position.
TEST(SessionFuzzCorpus, TruncationSweepRunsClean) {
    const auto dir = std::filesystem::path(VELUNOR_SOURCE_DIR) / "tests/fuzz/corpus/session_handlers";
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        auto input = ReadCorpusFile(entry.path());
        for (size_t cut = 2; cut < input.size(); cut += 1 + cut / 16)
            EXPECT_LE(fuzz::SessionFuzzOne(input.data(), cut), 1) << entry.path() << " cut " << cut;
    }
}

}  // namespace
}  // namespace velunor
