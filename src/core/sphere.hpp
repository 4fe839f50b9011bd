#pragma once
// The hemisphere an orientation histogram is kept on.
#include <array>
#include <cstddef>
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

}  // namespace quorvel::sphere
