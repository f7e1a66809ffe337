#include "lorvex/core/frame_index.hpp"

#include <gtest/gtest.h>

#include <limits>

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

}  // namespace
}  // namespace lorvex
