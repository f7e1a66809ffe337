#include "lorvex/core/frame_index.hpp"

#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace lorvex {
namespace {

using u128 = unsigned __int128;

int bit_length(u128 value) {
    const auto high = static_cast<std::uint64_t>(value >> 64);
    if (high != 0) return 128 - std::countl_zero(high);
    return 64 - std::countl_zero(static_cast<std::uint64_t>(value));
}

// Magnitudes only: both operands are at most 2^127, the denominator is not zero.
double positive_quotient(u128 numerator, u128 denominator) {
    u128 quotient = numerator / denominator;
    u128 remainder = numerator % denominator;
    // Long division until the quotient carries two bits beyond a double's 53, so that the
    // rounding below sees the guard bit; the remainder then only says "something below".
    int fraction_bits = 0;
    while (quotient < (u128{1} << 54)) {
        // remainder < denominator <= 2^127, so doubling it cannot wrap around.
        remainder <<= 1;
        quotient <<= 1;
        if (remainder >= denominator) {
            remainder -= denominator;
            quotient |= 1;
        }
        ++fraction_bits;
    }
    const bool sticky = remainder != 0;
    const int drop = bit_length(quotient) - 53;  // >= 2 here
    const u128 dropped = quotient & ((u128{1} << drop) - 1);
    const u128 half = u128{1} << (drop - 1);
    auto mantissa = static_cast<std::uint64_t>(quotient >> drop);
    if (dropped > half || (dropped == half && (sticky || (mantissa & 1) != 0))) ++mantissa;
    // mantissa <= 2^53 is exact as a double; the scaling by a power of two is exact too.
    return std::ldexp(static_cast<double>(mantissa), drop - fraction_bits);
}

u128 magnitude(__int128 value) {
    return value < 0 ? u128{0} - static_cast<u128>(value) : static_cast<u128>(value);
}

double signed_quotient(bool negative, u128 numerator, u128 denominator) {
    if (numerator == 0) return 0.0;
    const double value = positive_quotient(numerator, denominator);
    return negative ? -value : value;
}

}  // namespace

double correctly_rounded_quotient(__int128 numerator, __int128 denominator) {
    if (denominator == 0) throw std::domain_error("division by zero");
    return signed_quotient((numerator < 0) != (denominator < 0), magnitude(numerator),
                           magnitude(denominator));
}

std::int64_t round_half_even(double x) {
    const double rounded = std::nearbyint(x);  // the default rounding mode: ties to even
    // 2^63 is exactly representable; anything at or beyond it saturates.
    if (rounded >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (rounded < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(rounded);
}

std::int64_t estimate_frame_index(std::int64_t pts, std::int64_t start, std::int64_t end,
                                  std::int64_t num_frames) {
    if (end == start) return 0;
    // Signs and magnitudes apart: |num_frames - 1| * |pts - start| can need all 128 bits.
    const __int128 frames_span = static_cast<__int128>(num_frames) - 1;
    const __int128 offset = static_cast<__int128>(pts) - start;
    const __int128 pts_span = static_cast<__int128>(end) - start;
    const bool negative = ((frames_span < 0) != (offset < 0)) != (pts_span < 0);
    const u128 numerator = magnitude(frames_span) * magnitude(offset);
    return round_half_even(signed_quotient(negative, numerator, magnitude(pts_span)));
}

}  // namespace lorvex
