#pragma once
// The hemisphere an orientation histogram is kept on.
#include <array>
#include <cstddef>
#include <vector>

namespace quorvel::sphere {

struct HemiSphere {
    std::vector<std::array<double, 3>> vertices;  // unit, upper hemisphere, 5*4^level + 1 of them

    // The icosahedron subdivided `level` times, folded onto the upper hemisphere.
    static HemiSphere icosphere(std::size_t level);
};

}  // namespace quorvel::sphere
