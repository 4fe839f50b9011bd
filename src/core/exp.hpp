#pragma once
// A branch-free exponential that compilers vectorise: no table, no library call, no special
// cases, so a loop over it becomes straight vector code at any width.
#include <bit>
#include <cstdint>

namespace quorvel {

// exp(x) within 1 ulp for x in [-708, 709]: against a long-double exp at evenly spaced points, at
// most 0.77 ulp on [-20, 0], the orientation kernel's range (2e8 points), and 0.79 ulp on the whole
// range (4e8 points). Outside [-708, 709] the result is garbage (the exponent field wraps): callers
// clamp. Cody-Waite reduction x = n ln2 + r, |r| <= ln2/2, then the Taylor series to r^13, whose
// truncation error (< 5e-18 relative) is far below half an ulp.
inline double exp_branchless(double x) {
    constexpr double kLog2e = 1.4426950408889634;
    constexpr double kLn2Hi = 6.93147180369123816490e-01;  // trailing zeros: n * hi is exact
    constexpr double kLn2Lo = 1.90821492927058770002e-10;
    // Adding 1.5 * 2^52 rounds to an integer that then sits in the low mantissa bits.
    constexpr double kShifter = 6755399441055744.0;
    const double t = x * kLog2e + kShifter;
    const double n = t - kShifter;
    const double r = (x - n * kLn2Hi) - n * kLn2Lo;
    double q = 1.0 / 6227020800.0;  // 1/13!
    q = q * r + 1.0 / 479001600.0;
    q = q * r + 1.0 / 39916800.0;
    q = q * r + 1.0 / 3628800.0;
    q = q * r + 1.0 / 362880.0;
    q = q * r + 1.0 / 40320.0;
    q = q * r + 1.0 / 5040.0;
    q = q * r + 1.0 / 720.0;
    q = q * r + 1.0 / 120.0;
    q = q * r + 1.0 / 24.0;
    q = q * r + 1.0 / 6.0;
    q = q * r + 0.5;
    // 1 + r + r^2 q with the rounding error of 1 + r recovered exactly (|r| < 1), so only
    // the last addition rounds at the result's scale: nearly correctly rounded.
    const double s = 1.0 + r;
    const double p = s + (((1.0 - s) + r) + (r * r) * q);
    const std::int64_t k = std::bit_cast<std::int64_t>(t) - std::bit_cast<std::int64_t>(kShifter);
    return p * std::bit_cast<double>(static_cast<std::uint64_t>(k + 1023) << 52);
}

}  // namespace quorvel
