// A video whose bytes stop being readable part way (a failing disk, a dropped network
// mount) must fail the probe and the decode with the reason; one that merely ends early is
// a short video.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../fuzz/fuzz_targets.hpp"
#include "lorvex/media/frame_scan.hpp"
#include "lorvex/worker/decode_job.hpp"
#include "refusal.hpp"

namespace lorvex {
namespace {

using fuzz::memory_source;
using testing::refuses;

// The small seed videos of the video fuzzer: an MP4 with its index in front, a transport
// stream, WebM and AVI.
const char* const kVideos[] = {"h264_bframes_mp4", "h264_ts", "vp8_webm", "mpeg4_bframes_avi"};

std::filesystem::path video_path(const char* name) {
    return std::filesystem::path(LORVEX_FUZZ_CORPUS_DIR) / "video_fuzzer" / name;
}

std::vector<std::uint8_t> read_bytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// FFmpeg complains of every damaged packet on stderr; the failures are what is tested.
class ReadFailure : public ::testing::Test {
  protected:
    void SetUp() override { silence_ffmpeg_log(); }
};

TEST_F(ReadFailure, BytesReadThroughAReaderGiveTheFilesOwnTable) {
    for (const char* name : kVideos) {
        const std::vector<std::uint8_t> bytes = read_bytes(video_path(name));
        const FrameTable from_file = scan_frame_table(video_path(name).string());
        EXPECT_EQ(scan_frame_table(memory_source(name, bytes)), from_file) << name;
        EXPECT_EQ(from_file.size(), 10) << name;
    }
}

// Whether the first `readable` bytes alone can be opened as a video.
bool opens_when_cut(const std::vector<std::uint8_t>& bytes, std::size_t readable) {
    try {
        scan_frame_table(memory_source("cut", bytes, readable, AVERROR_EOF));
        return true;
    } catch (const AvError&) {
        return false;
    }
}

TEST_F(ReadFailure, AReadErrorPartWayFailsTheProbeWithItsReason) {
    for (const char* name : kVideos) {
        const std::vector<std::uint8_t> bytes = read_bytes(video_path(name));
        for (const std::size_t percent : {30u, 60u, 90u, 99u}) {
            const std::size_t readable = bytes.size() * percent / 100;
            // Where even the bytes before the failure make no video (AVI's header describes
            // the whole file), the opening fails as it would for a cut file.
            const char* reason = opens_when_cut(bytes, readable)
                                     ? "failing disk: Input/output error"
                                     : "Could not open failing disk: ";
            EXPECT_TRUE(refuses<AvError>(
                [&] { scan_frame_table(memory_source("failing disk", bytes, readable)); }, reason))
                << name << " readable up to " << percent << "%";
        }
    }
}

TEST_F(ReadFailure, AReadErrorWhileDecodingFailsTheJobWithItsReason) {
    for (const char* name : kVideos) {
        const std::vector<std::uint8_t> bytes = read_bytes(video_path(name));
        const FrameTable table = scan_frame_table(memory_source(name, bytes));
        const WorkerJob job = fuzz::job_over(table);  // every one of the ten frames
        ASSERT_EQ(job.row_count, table.size()) << name;
        // The job's own pass over the packets reads everything; the decoder's opening fails.
        int openings = 0;
        const VideoSource source{"failing disk", [&] {
                                     const std::size_t readable =
                                         openings++ == 0 ? bytes.size() : bytes.size() * 9 / 10;
                                     return std::make_unique<fuzz::MemoryReader>(bytes, readable);
                                 }};
        std::vector<std::uint8_t> block(static_cast<std::size_t>(job.row_count) * 3 * job.height *
                                        job.width);
        EXPECT_TRUE(refuses<std::runtime_error>(
            [&] { run_decode_job(job, source, block.data(), [](std::int64_t) {}); },
            "Could not demux failing disk: Input/output error"))
            << name;
        EXPECT_GE(openings, 2) << name;

        // Whole, the same job delivers every frame.
        std::int64_t written = 0;
        run_decode_job(job, memory_source(name, bytes), block.data(),
                       [&](std::int64_t) { ++written; });
        EXPECT_EQ(written, table.size()) << name;
    }
}

TEST_F(ReadFailure, BytesThatEndEarlyAreAShortVideo) {
    // The index of this MP4 is in front and names every picture; those cut off are not shown.
    const std::vector<std::uint8_t> bytes = read_bytes(video_path("h264_bframes_mp4"));
    const FrameTable table =
        scan_frame_table(memory_source("short", bytes, bytes.size() * 9 / 10, AVERROR_EOF));
    EXPECT_GT(table.size(), 0);
    EXPECT_LT(table.size(), 10);
}

}  // namespace
}  // namespace lorvex
