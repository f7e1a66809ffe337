// Replays every kept fuzzer input (seeds and former crashes) through its target.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "../fuzz/fuzz_targets.hpp"

namespace lorvex {
namespace {

std::vector<std::uint8_t> read_bytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

template <typename Target>
void replay(const char* fuzzer, Target target) {
    const std::filesystem::path folder = std::filesystem::path(LORVEX_FUZZ_CORPUS_DIR) / fuzzer;
    std::size_t inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const auto bytes = read_bytes(entry.path());
        EXPECT_NO_THROW(target(bytes)) << entry.path();
        ++inputs;
    }
    EXPECT_GT(inputs, 0u) << folder;
}

TEST(FuzzCorpus, RowMapInputsParseOrAreRefused) {
    replay("row_map_fuzzer", fuzz::row_map_input);
}

TEST(FuzzCorpus, ShareListInputsParseOrAreRefused) {
    replay("share_list_fuzzer", fuzz::share_list_input);
}

TEST(FuzzCorpus, CommandLineInputsParseOrAreRefused) {
    replay("command_line_fuzzer", fuzz::command_line_input);
}

TEST(FuzzCorpus, FrameTableInputsDecodeOrAreRefused) {
    replay("frame_table_fuzzer", fuzz::frame_table_input);
}

TEST(FuzzCorpus, FrameFormatInputsDecodeOrAreRefused) {
    replay("frame_format_fuzzer", fuzz::frame_format_input);
}

TEST(FuzzCorpus, VideoInputsDecodeOrFailWithAReason) {
    silence_ffmpeg_log();
    replay("video_fuzzer", fuzz::video_input);
}

}  // namespace
}  // namespace lorvex
