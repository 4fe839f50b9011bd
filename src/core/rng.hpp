#pragma once
// Counter-based randomness: every draw is the SplitMix64 finaliser of a key built from the
// call's seed and the indices the draw belongs to, so results never depend on thread count or
// evaluation order. No generator state is shared between calls or threads.
#include <cmath>
#include <cstdint>
#include <numbers>

namespace quorvel::rng {

inline constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15ull;

// The SplitMix64 output function (finaliser) alone, without the state increment.
constexpr std::uint64_t mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Draw k of the SplitMix64 stream started at `key` (k counts from 1).
constexpr std::uint64_t stream(std::uint64_t key, std::uint64_t k) { return mix(key + k * kGolden); }

// 53-bit uniform strictly inside (0, 1): safe for log().
constexpr double uniform_open(std::uint64_t h) {
    return (static_cast<double>(h >> 11) + 0.5) * 0x1.0p-53;
}

// 53-bit uniform in [0, 1) (the sequential pose generator's mapping).
constexpr double uniform_closed_open(std::uint64_t h) { return static_cast<double>(h >> 11) * 0x1.0p-53; }

// Cosine branch of Box-Muller: one standard normal from two uniforms in (0, 1).
inline double normal(double u1, double u2) {
    return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
}

}  // namespace quorvel::rng
