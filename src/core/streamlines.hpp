#pragma once
// Streamlines in compressed-row form (all points one after another, offsets of length
// n_streamlines + 1) and their weighted, reproducible subsampling.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::streamlines {

using Vec3 = std::array<double, 3>;

struct SubsampleStats {
    std::size_t kept = 0;          // streamlines returned
    std::size_t total = 0;         // streamlines given
    double vertex_fraction = 1.0;  // returned points / given points
    double weight_fraction = 1.0;  // kept weight / total weight

    // One-line report of the selection.
    std::string summary(std::uint64_t seed) const;
};

struct Subsampled {
    std::vector<Vec3> positions;
    std::vector<std::uint32_t> offsets;
    std::optional<std::vector<float>> weights;
    SubsampleStats stats;
};

// Keeps n streamlines drawn without replacement with probability growing with their weight
// (exponential keys ln(u)/w from a hash of seed and index), in their given order, and gives them
// one uniform weight that preserves the total. n >= the streamline count returns the input
// unchanged; n = 0 returns no streamline. Every kept streamline needs
// offsets[s] <= offsets[s + 1] <= positions.size().
Subsampled subsample_streamlines(std::vector<Vec3> positions, std::vector<std::uint32_t> offsets,
                                 std::optional<std::vector<float>> weights, std::size_t n, std::uint64_t seed);

}  // namespace quorvel::streamlines
