#include "lorvex/core/command_line.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "refusal.hpp"

namespace lorvex {
namespace {

using lorvex::testing::refuses;

// base64.b64encode(pickle.dumps(value, protocol=5)).decode() from CPython.
constexpr const char* kRows = "gAWVEQAAAAAAAAB9lChLA0sASwdLAUsKSwJ1Lg==";   // {3: 0, 7: 1, 10: 2}
constexpr const char* kNoRows = "gAV9lC4=";                                 // {}
constexpr const char* kRowOutside = "gAWVDQAAAAAAAAB9lChLA0sASwdLAnUu";     // {3: 0, 7: 2}
constexpr const char* kRowTwice = "gAWVDQAAAAAAAAB9lChLA0sASwdLAHUu";       // {3: 0, 7: 0}
constexpr const char* kNegativeFrame = "gAWVCwAAAAAAAAB9lEr/////SwBzLg==";  // {-1: 0}
constexpr const char* kNegativeRow = "gAWVCwAAAAAAAAB9lEsDSv////9zLg==";    // {3: -1}
constexpr const char* kFrameTwice = "gAWVDQAAAAAAAAB9lChLA0sASwNLAXUu";     // 3 -> 0, 3 -> 1
constexpr const char* kFloatRow = "gAWVDwAAAAAAAAB9lEsBR0AEAAAAAAAAcy4=";   // {1: 2.5}
// [[(0, 100, 3)], [], [(100, 250, 1), (250, 400, 2)]]
constexpr const char* kShares =
    "gAWVJwAAAAAAAABdlChdlEsAS2RLA4eUYV2UXZQoS2RL+ksBh5RL+k2QAUsCh5RlZS4=";
// [[(0, 100, 3)], [(400, 250, 1)]]
constexpr const char* kBackwardShares = "gAWVHAAAAAAAAABdlChdlEsAS2RLA4eUYV2UTZABS/pLAYeUYWUu";

class CommandLine {
  public:
    explicit CommandLine(std::vector<std::string> items) : items_(std::move(items)) {}

    CommandLine with(std::size_t index, std::string value) const {
        CommandLine changed = *this;
        changed.items_.at(index) = std::move(value);
        return changed;
    }
    CommandLine without_last() const {
        CommandLine changed = *this;
        changed.items_.pop_back();
        return changed;
    }
    CommandLine with_extra() const {
        CommandLine changed = *this;
        changed.items_.push_back("extra");
        return changed;
    }

    WorkerJob one_shot() const { return run(parse_one_shot_command_line); }
    WorkerJob interleaved() const { return run(parse_interleaved_command_line); }

  private:
    template <typename Parse>
    WorkerJob run(Parse parse) const {
        std::vector<const char*> argv;
        for (const auto& item : items_) argv.push_back(item.c_str());
        argv.push_back(nullptr);
        return parse(static_cast<int>(items_.size()), argv.data());
    }

    std::vector<std::string> items_;
};

// 0 program, 1 video, 2 frames block, 3 row map, 4 start, 5 end, 6 height, 7 width,
// 8 num_frames, 9 worker, 10 workers, 11 record start, 12 record end, 13 interpolation
const CommandLine kOneShot({"lorvex", "/videos/clip.mp4", "psm_frames", kRows, "0", "1000", "144",
                            "256", "50", "1", "4", "0", "4900", "BILINEAR"});
// 0 program, 1 video, 2 frames block, 3 row map, 4 share list, 5 height, 6 width, 7 num_frames,
// 8 worker, 9 shares, 10 record start, 11 record end, 12 interpolation, 13 check block
const CommandLine kInterleaved({"lorvex_interleaved", "/videos/clip.mp4", "psm_frames", kRows,
                                kShares, "144", "256", "50", "2", "3", "0", "4900", "NEAREST",
                                "psm_check"});

auto one_shot(const CommandLine& line) {
    return [line] { line.one_shot(); };
}
auto interleaved(const CommandLine& line) {
    return [line] { line.interleaved(); };
}

std::vector<std::pair<std::int64_t, std::int64_t>> pairs_of(
    const std::vector<RowAssignment>& rows) {
    std::vector<std::pair<std::int64_t, std::int64_t>> pairs;
    for (const auto& row : rows) pairs.emplace_back(row.frame_index, row.row);
    return pairs;
}

std::vector<std::pair<std::int64_t, std::int64_t>> spans_of(
    const std::vector<PtsInterval>& intervals) {
    std::vector<std::pair<std::int64_t, std::int64_t>> spans;
    for (const auto& interval : intervals) spans.emplace_back(interval.start, interval.end);
    return spans;
}

TEST(CommandLine, OneShotJobCarriesEveryItem) {
    const WorkerJob job = kOneShot.one_shot();
    EXPECT_EQ(job.video_path, "/videos/clip.mp4");
    EXPECT_EQ(job.frames_block, "psm_frames");
    EXPECT_FALSE(job.check_block.has_value());
    EXPECT_EQ(pairs_of(job.rows), (decltype(pairs_of(job.rows)){{3, 0}, {7, 1}, {10, 2}}));
    EXPECT_EQ(job.row_count, 3);
    EXPECT_EQ(job.height, 144);
    EXPECT_EQ(job.width, 256);
    EXPECT_EQ(job.num_frames, 50);
    EXPECT_EQ(job.worker, 1);
    EXPECT_EQ(job.num_workers, 4);
    EXPECT_EQ(job.start_pts, 0);
    EXPECT_EQ(job.end_pts, 4900);
    EXPECT_EQ(job.interpolation, "BILINEAR");
    ASSERT_EQ(job.intervals.size(), 1u);
    EXPECT_EQ(spans_of(job.intervals), (decltype(spans_of(job.intervals)){{0, 1000}}));
    EXPECT_EQ(job.intervals[0].count, 0);

    // Extremes that are still valid: negative and 64-bit pts, an empty interval and record.
    const WorkerJob edges = kOneShot.with(4, "-9223372036854775808")
                                .with(5, "-9223372036854775808")
                                .with(11, "9223372036854775807")
                                .with(12, "9223372036854775807")
                                .with(9, "0")
                                .with(10, "1")
                                .one_shot();
    EXPECT_EQ(edges.intervals[0].start, std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(edges.start_pts, std::numeric_limits<std::int64_t>::max());
}

TEST(CommandLine, InterleavedJobTakesItsOwnShare) {
    const WorkerJob job = kInterleaved.interleaved();
    EXPECT_EQ(job.check_block, "psm_check");
    EXPECT_EQ(job.worker, 2);
    EXPECT_EQ(job.num_workers, 3);
    EXPECT_EQ(job.interpolation, "NEAREST");
    EXPECT_EQ(job.row_count, 3);
    EXPECT_EQ(spans_of(job.intervals), (decltype(spans_of(job.intervals)){{100, 250}, {250, 400}}));
    EXPECT_EQ(job.intervals[1].count, 2);
    EXPECT_TRUE(kInterleaved.with(8, "1").interleaved().intervals.empty());
    EXPECT_EQ(kInterleaved.with(8, "0").interleaved().intervals[0].count, 3);
}

TEST(CommandLine, RefusesWrongItemCounts) {
    EXPECT_TRUE(refuses<CommandLineError>(one_shot(kOneShot.without_last()),
                                          "wrong number of arguments: expected 13 after the "
                                          "program name, got 12"));
    EXPECT_TRUE(refuses<CommandLineError>(one_shot(kOneShot.with_extra()), "got 14"));
    EXPECT_TRUE(refuses<CommandLineError>(interleaved(kInterleaved.without_last()), "got 12"));
    EXPECT_TRUE(
        refuses<CommandLineError>([] { parse_one_shot_command_line(0, nullptr); }, "got -1"));
    const char* holes[14] = {"lorvex"};
    EXPECT_TRUE(refuses<CommandLineError>([&] { parse_interleaved_command_line(14, holes); },
                                          "argument 1 is missing"));
}

TEST(CommandLine, NumbersArePythonDecimalIntegers) {
    for (const char* bad : {"0", "-5", "+5", " 5", "5 ", "5.0", "", "0x10", "1e3", "five"}) {
        EXPECT_TRUE(refuses<CommandLineError>(
            one_shot(kOneShot.with(6, bad)),
            "bad height '" + std::string(bad) + "': must be a positive integer"));
    }
    EXPECT_TRUE(refuses<CommandLineError>(one_shot(kOneShot.with(7, "2147483648")),
                                          "bad width '2147483648': must be a positive integer no "
                                          "larger than 2147483647"));
    EXPECT_TRUE(refuses<CommandLineError>(one_shot(kOneShot.with(8, "0")), "bad num_frames '0'"));
    EXPECT_TRUE(refuses<CommandLineError>(interleaved(kInterleaved.with(7, "-50")),
                                          "bad num_frames '-50'"));
    EXPECT_TRUE(refuses<CommandLineError>(one_shot(kOneShot.with(4, "9223372036854775808")),
                                          "bad interval start pts '9223372036854775808': must be "
                                          "an integer in the 64-bit range"));
    EXPECT_TRUE(
        refuses<CommandLineError>(one_shot(kOneShot.with(5, "1000.0")), "bad interval end pts"));
    EXPECT_TRUE(
        refuses<CommandLineError>(one_shot(kOneShot.with(11, "")), "bad record start pts ''"));
    EXPECT_TRUE(refuses<CommandLineError>(interleaved(kInterleaved.with(11, "end")),
                                          "bad record end pts 'end'"));
    EXPECT_TRUE(
        refuses<CommandLineError>(one_shot(kOneShot.with(10, "0")), "bad number of workers '0'"));
    EXPECT_TRUE(refuses<CommandLineError>(interleaved(kInterleaved.with(9, "-3")),
                                          "bad number of shares '-3'"));
}

TEST(CommandLine, WorkerNumberLiesBelowTheWorkerCount) {
    EXPECT_TRUE(refuses<CommandLineError>(
        one_shot(kOneShot.with(9, "4")),
        "bad worker number '4': must be in [0, 4) (the number of workers)"));
    EXPECT_TRUE(refuses<CommandLineError>(one_shot(kOneShot.with(9, "-1")), "must be in [0, 4)"));
    EXPECT_TRUE(refuses<CommandLineError>(one_shot(kOneShot.with(9, "one")),
                                          "bad worker number 'one': must be an integer"));
    EXPECT_TRUE(refuses<CommandLineError>(
        interleaved(kInterleaved.with(8, "3")),
        "bad worker number '3': must be in [0, 3) (the number of shares)"));
    EXPECT_TRUE(
        refuses<CommandLineError>(interleaved(kInterleaved.with(9, "4").with(8, "3")),
                                  "bad share list: it has 3 shares but the number of shares is 4"));
}

TEST(CommandLine, NamesAndInterpolation) {
    EXPECT_TRUE(refuses<CommandLineError>(one_shot(kOneShot.with(1, "")),
                                          "bad video path '': must not be empty"));
    EXPECT_TRUE(
        refuses<CommandLineError>(one_shot(kOneShot.with(2, "")), "bad frames block name ''"));
    EXPECT_TRUE(refuses<CommandLineError>(interleaved(kInterleaved.with(13, "")),
                                          "bad check block name ''"));
    for (const char* name : {"BILINEAR", "NEAREST", "BICUBIC", "AREA", "LANCZOS"}) {
        EXPECT_EQ(kOneShot.with(13, name).one_shot().interpolation, name);
    }
    EXPECT_TRUE(refuses<CommandLineError>(
        one_shot(kOneShot.with(13, "bilinear")),
        "bad interpolation 'bilinear': must be one of BILINEAR, NEAREST, BICUBIC, AREA, LANCZOS"));
    // Messages stay on one line and short, whatever the item holds.
    EXPECT_TRUE(refuses<CommandLineError>(one_shot(kOneShot.with(13, "AREA\nLANCZOS")),
                                          "bad interpolation 'AREA?LANCZOS'"));
    EXPECT_TRUE(refuses<CommandLineError>(one_shot(kOneShot.with(13, std::string(5000, 'X'))),
                                          "'" + std::string(48, 'X') + "...': must be one of"));
}

TEST(CommandLine, RowMapMustNumberTheRowsOfTheBlock) {
    EXPECT_TRUE(refuses<CommandLineError>(one_shot(kOneShot.with(3, kNoRows)),
                                          "bad row map: it has no entries"));
    EXPECT_TRUE(refuses<CommandLineError>(
        one_shot(kOneShot.with(3, kRowOutside)),
        "bad row map: row 2 of frame index 7 is outside [0, 2) (the number of entries)"));
    EXPECT_TRUE(refuses<CommandLineError>(one_shot(kOneShot.with(3, kNegativeRow)),
                                          "row -1 of frame index 3 is outside [0, 1)"));
    EXPECT_TRUE(
        refuses<CommandLineError>(interleaved(kInterleaved.with(3, kRowTwice)),
                                  "bad row map: row 0 is given to more than one frame index"));
    EXPECT_TRUE(refuses<CommandLineError>(one_shot(kOneShot.with(3, kFrameTwice)),
                                          "bad row map: frame index 3 appears more than once"));
    EXPECT_TRUE(
        refuses<CommandLineError>(one_shot(kOneShot.with(3, kNegativeFrame)),
                                  "bad row map: frame index -1 is outside [0, 50) (num_frames)"));
    EXPECT_TRUE(refuses<CommandLineError>(one_shot(kOneShot.with(8, "10")),
                                          "frame index 10 is outside [0, 10) (num_frames)"));
    EXPECT_EQ(kOneShot.with(8, "11").one_shot().num_frames, 11);
    EXPECT_TRUE(refuses<CommandLineError>(one_shot(kOneShot.with(3, kFloatRow)),
                                          "bad row map pickle at offset 15: BINFLOAT"));
    EXPECT_TRUE(refuses<CommandLineError>(one_shot(kOneShot.with(3, "gAV9lC4")),
                                          "bad encoded row map: invalid base64: length 7"));
    EXPECT_TRUE(refuses<CommandLineError>(interleaved(kInterleaved.with(4, "gAV9lC4=")),
                                          "bad share list pickle at offset 2: EMPTY_DICT"));
    EXPECT_TRUE(refuses<CommandLineError>(interleaved(kInterleaved.with(4, "gAV9lC4*")),
                                          "bad encoded share list: invalid base64: '*'"));
}

TEST(CommandLine, RefusesBackwardRangesAndOversizedBlocks) {
    EXPECT_TRUE(refuses<CommandLineError>(one_shot(kOneShot.with(4, "1001")),
                                          "bad interval: start pts 1001 is after end pts 1000"));
    EXPECT_TRUE(refuses<CommandLineError>(one_shot(kOneShot.with(11, "4901")),
                                          "bad record: start pts 4901 is after end pts 4900"));
    EXPECT_TRUE(refuses<CommandLineError>(
        interleaved(kInterleaved.with(4, kBackwardShares).with(9, "2").with(8, "0")),
        "bad share list: interval 0 of share 1: start pts 400 is after end pts 250"));
    // 3 rows x 3 planes x (2**31 - 1)**2 bytes is more than any address space holds.
    EXPECT_TRUE(refuses<CommandLineError>(
        one_shot(kOneShot.with(6, "2147483647").with(7, "2147483647")),
        "bad frame size: 3 rows of 3 x 2147483647 x 2147483647 bytes overflow"));
    EXPECT_EQ(kOneShot.with(6, "2147483647").with(7, "1").one_shot().height, 2147483647);
}

}  // namespace
}  // namespace lorvex
