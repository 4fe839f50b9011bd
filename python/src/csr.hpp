#pragma once
// The structural check of compressed-row streamline offsets, shared by every binding that takes
// `positions` and `offsets`. Callers first check the length and the last entry with their own
// message; this then refuses what would make the library read outside the point list.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/error.hpp"

namespace quorvel::bind {

// ValueError unless every offset is at most n_points and the offsets never decrease.
inline void check_csr(const std::vector<std::uint32_t>& offsets, std::size_t n_points) {
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        if (offsets[i] > n_points)
            throw InvalidInput("offsets[" + std::to_string(i) + "] = " + std::to_string(offsets[i]) +
                               " is beyond the number of points (" + std::to_string(n_points) + ")");
        if (i > 0 && offsets[i] < offsets[i - 1])
            throw InvalidInput("offsets must not decrease: offsets[" + std::to_string(i - 1) + "] = " +
                               std::to_string(offsets[i - 1]) + " > offsets[" + std::to_string(i) +
                               "] = " + std::to_string(offsets[i]));
    }
}

}  // namespace quorvel::bind
