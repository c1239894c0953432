// Every fuzz target replays its committed corpus: the seeds, what fuzzing kept,
// and each input that once crashed a target. The targets register themselves
// (see FuzzTarget.h); a corpus folder without a target, or a target without
// inputs, is an error too, so a renamed target cannot silently stop replaying.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "FuzzTarget.h"

namespace kivro::fuzz {

namespace {
std::map<std::string, Entry>& Targets() {
    static std::map<std::string, Entry> targets;
    return targets;
}
}  // namespace

bool Register(const char* name, Entry entry) {
    Targets()[name] = entry;
    return true;
}

namespace {

namespace fs = std::filesystem;

TEST(FuzzCorpus, EveryFolderHasItsTarget) {
    size_t folders = 0;
    for (const auto& folder : fs::directory_iterator(KIVRO_FUZZ_CORPUS)) {
        if (!folder.is_directory()) continue;
        ++folders;
        EXPECT_EQ(Targets().count(folder.path().filename().string()), 1u) << folder.path();
    }
    EXPECT_EQ(folders, Targets().size());
}

class FuzzReplay : public ::testing::TestWithParam<std::string> {};

TEST_P(FuzzReplay, CorpusRunsClean) {
    auto target = Targets().find(GetParam());
    ASSERT_NE(target, Targets().end());
    std::vector<fs::path> inputs;
    for (const auto& file : fs::directory_iterator(fs::path(KIVRO_FUZZ_CORPUS) / GetParam()))
        if (file.is_regular_file()) inputs.push_back(file.path());
    std::sort(inputs.begin(), inputs.end());
    ASSERT_FALSE(inputs.empty());
    for (const fs::path& path : inputs) {
        std::ifstream stream(path, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(stream)),
                                std::istreambuf_iterator<char>());
        SCOPED_TRACE(path.string());
        EXPECT_EQ(target->second(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay,
                         ::testing::Values("FormatText", "CommandLine", "RegFile", "ExcludeList",
                                           "PortRules", "PhoneReplies"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace kivro::fuzz
