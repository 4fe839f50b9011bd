#pragma once
// The hemisphere an orientation histogram is kept on.
#include <array>
#include <cstddef>
#include <span>
#include <vector>

namespace quorvel::sphere {

struct HemiSphere {
    std::vector<std::array<double, 3>> vertices;  // unit, upper hemisphere, 5*4^level + 1 of them

    // Histogram bins are indexed by 32 bits: 5*4^14 + 1 vertices fit, 5*4^15 + 1 do not.
    static constexpr std::size_t kMaxLevel = 14;

    // Refuses (InvalidInput) a level above kMaxLevel or one whose build does not fit in memory.
    static void check_level(std::size_t level);
    // The icosahedron subdivided `level` times, folded onto the upper hemisphere.
    static HemiSphere icosphere(std::size_t level);
};

// Every direction folded onto the upper hemisphere (z > 0, else y > 0, else x > 0) and dropped
// when within 1e-8 of one already kept; first occurrences in order. Components within [-1, 1].
std::vector<std::array<double, 3>> fold_upper(std::span<const std::array<double, 3>> dirs);

}  // namespace quorvel::sphere
