#pragma once
// Voxel grids and the segment rasteriser.
#include <array>
#include <cstddef>
#include <optional>
#include <vector>

namespace quorvel::raster {

using Vec3 = std::array<double, 3>;
using Dims = std::array<std::size_t, 3>;

struct SegmentHit {
    Dims voxel;     // (i, j, k), inside the grid
    double length;  // world mm of the segment inside that voxel
};

struct Grid {
    std::array<double, 16> affine;  // row-major 4x4, voxel -> world (RAS mm)
    Dims dims;                      // (nx, ny, nz)

    // The grid oversampled o times in-plane over the same extent (o >= 1).
    Grid hires(std::size_t o) const;

    // Continuous voxel coordinates of a world point; none for a singular affine.
    std::optional<Vec3> world_to_voxel(const Vec3& p) const;

    // Cuts the world segment p0 -> p1 into per-voxel pieces, in order along the segment.
    // `ts` and `out` are caller-owned scratch, cleared and refilled; nothing else is allocated.
    void intersect_segment_into(const Vec3& p0, const Vec3& p1, std::vector<double>& ts,
                                std::vector<SegmentHit>& out) const;

    std::size_t nvox() const { return dims[0] * dims[1] * dims[2]; }
};

}  // namespace quorvel::raster
