#include "lorvex/core/frame_index.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "lorvex/core/frame_picker.hpp"

namespace lorvex {
namespace {

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

struct EstimateCase {
    std::int64_t pts, start, end, num_frames, expected;
};

constexpr EstimateCase kPythonResults[] = {
#include "frame_index_table.inc"
};

TEST(EstimateFrameIndex, AgreesWithPython) {
    for (const EstimateCase& c : kPythonResults) {
        EXPECT_EQ(estimate_frame_index(c.pts, c.start, c.end, c.num_frames), c.expected)
            << "pts " << c.pts << " start " << c.start << " end " << c.end << " num_frames "
            << c.num_frames;
    }
}

TEST(EstimateFrameIndex, SingleInstantRecordMapsEverythingToZero) {
    EXPECT_EQ(estimate_frame_index(kMax, 5, 5, 1000), 0);
    EXPECT_EQ(estimate_frame_index(kMin, 5, 5, 1000), 0);
}

TEST(CorrectlyRoundedQuotient, MatchesPythonTrueDivision) {
    const __int128 top = ~(static_cast<__int128>(1) << 127);  // 2^127 - 1
    const __int128 bottom = -top - 1;                         // -2^127
    const __int128 e30 = static_cast<__int128>(1000000000000000LL) * 1000000000000000LL;
    EXPECT_EQ(correctly_rounded_quotient(1, 3), 0x1.5555555555555p-2);
    EXPECT_EQ(correctly_rounded_quotient(top, 3), 0x1.5555555555555p+125);
    EXPECT_EQ(correctly_rounded_quotient(bottom, 7), -0x1.2492492492492p+124);
    EXPECT_EQ(correctly_rounded_quotient(e30 + 1, e30 - 1), 1.0);
    EXPECT_EQ(correctly_rounded_quotient((static_cast<__int128>(1) << 64) + 1, 2048), 0x1p+53);
    EXPECT_EQ(correctly_rounded_quotient(1, (static_cast<__int128>(1) << 100) + 1), 0x1p-100);
    EXPECT_EQ(correctly_rounded_quotient(3, -(static_cast<__int128>(1) << 126) + 5), -0x1.8p-125);
    EXPECT_EQ(correctly_rounded_quotient(0, -5), 0.0);
    EXPECT_THROW(correctly_rounded_quotient(1, 0), std::domain_error);
}

TEST(RoundHalfEven, TiesToEvenAndSaturates) {
    EXPECT_EQ(round_half_even(0.5), 0);
    EXPECT_EQ(round_half_even(1.5), 2);
    EXPECT_EQ(round_half_even(-2.5), -2);
    EXPECT_EQ(round_half_even(2.500001), 3);
    EXPECT_EQ(round_half_even(1e30), kMax);
    EXPECT_EQ(round_half_even(-1e30), kMin);
    EXPECT_EQ(round_half_even(-0x1p63), kMin);
}

TEST(FirstPtsReaching, IsTheExactThreshold) {
    struct Record {
        std::int64_t start, end, num_frames;
    };
    const Record records[] = {
        {0, 1000, 26}, {132000, 132000 + 89 * 3003, 90}, {kMin, kMax, kMax}, {-7, 1 << 20, 3}};
    for (const Record& r : records) {
        for (const std::int64_t index : {1LL, 2LL, 17LL, 25LL}) {
            const std::int64_t pts = first_pts_reaching(index, r.start, r.end, r.num_frames);
            ASSERT_NE(pts, kMin);
            if (pts == kMax) {
                EXPECT_LT(estimate_frame_index(kMax, r.start, r.end, r.num_frames), index);
                continue;
            }
            EXPECT_GE(estimate_frame_index(pts, r.start, r.end, r.num_frames), index);
            EXPECT_LT(estimate_frame_index(pts - 1, r.start, r.end, r.num_frames), index);
        }
    }
    EXPECT_EQ(first_pts_reaching(0, 0, 100, 10), -5);    // round(-0.45) is 0, round(-0.54) is -1
    EXPECT_EQ(first_pts_reaching(3, 100, 0, 10), kMin);  // a shrinking mapping: no threshold
}

WorkerJob job_with_rows(std::vector<std::int64_t> indices, std::int64_t start, std::int64_t end,
                        std::int64_t num_frames) {
    WorkerJob job;
    for (std::size_t i = 0; i < indices.size(); ++i) {
        job.rows.push_back({indices[i], static_cast<std::int64_t>(i)});
    }
    job.row_count = static_cast<std::int64_t>(indices.size());
    job.start_pts = start;
    job.end_pts = end;
    job.num_frames = num_frames;
    return job;
}

std::vector<std::int64_t> indices_of(const std::vector<OwnedFrame>& owned) {
    std::vector<std::int64_t> indices;
    for (const OwnedFrame& frame : owned) indices.push_back(frame.frame_index);
    return indices;
}

TEST(OwnedFrames, SplitsTheRecordWithoutGapsOrOverlap) {
    // 11 frames at pts 0, 10, ..., 100; keyframes at 0, 40, 80.
    const WorkerJob job = job_with_rows({10, 0, 3, 4, 7, 8, 9, 5}, 0, 100, 11);
    EXPECT_EQ(indices_of(owned_frames(job, {0, 40, 0})), (std::vector<std::int64_t>{0, 3}));
    EXPECT_EQ(indices_of(owned_frames(job, {40, 80, 0})), (std::vector<std::int64_t>{4, 5, 7}));
    // The interval that ends the record also owns the last frame.
    EXPECT_EQ(indices_of(owned_frames(job, {80, 100, 0})), (std::vector<std::int64_t>{8, 9, 10}));
    // Rows travel with their frames.
    EXPECT_EQ(owned_frames(job, {0, 40, 0}).front(), (OwnedFrame{0, 1}));
}

TEST(OwnedFrames, SingleInstantRecordOwnsEveryRequest) {
    const WorkerJob job = job_with_rows({2, 0, 1}, 50, 50, 3);
    EXPECT_EQ(indices_of(owned_frames(job, {50, 50, 0})), (std::vector<std::int64_t>{0, 1, 2}));
}

TEST(FramePicker, EachIndexTakesTheFirstPictureReachingIt) {
    FramePicker picker({{2, 0}, {3, 1}, {4, 2}, {9, 3}});
    EXPECT_TRUE(picker.take_reached(1).empty());
    EXPECT_EQ(picker.take_reached(3).size(), 2u);  // a gap in the pictures: 2 and 3 share one
    EXPECT_EQ(picker.waiting().frame_index, 4);
    const auto taken = picker.take_reached(5);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken.front().row, 2);
    EXPECT_FALSE(picker.done());
    EXPECT_EQ(picker.take_rest().size(), 1u);  // the stream ended before frame 9
    EXPECT_TRUE(picker.done());
    EXPECT_TRUE(picker.take_rest().empty());
}

}  // namespace
}  // namespace lorvex
