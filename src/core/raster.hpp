#pragma once
// Voxel grids and the segment rasteriser.
#include <array>
#include <cstddef>
#include <optional>
#include <vector>

#include "core/mat3.hpp"

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

    // The pieces of the segment between the continuous voxel coordinates a and b, whose world
    // length is len; the second half of intersect_segment_into, for callers that map points once.
    void intersect_voxels_into(const Vec3& a, const Vec3& b, double len, std::vector<double>& ts,
                               std::vector<SegmentHit>& out) const;

    std::size_t nvox() const { return dims[0] * dims[1] * dims[2]; }
};

// Below this |det| of its 3x3 block an affine gives world points no voxel coordinates.
inline constexpr double kMinAffineDet = 1e-18;

// Refuses (InvalidInput) an affine that cannot carry world points into its grid: "grid affine is
// singular" when |det| of its 3x3 block is NaN or below kMinAffineDet, else "grid affine is not
// finite" when an entry of its first three rows is infinite or NaN. Every entry point that
// maps points into a grid calls it first: a grid that takes no point in would silently stay empty.
void check_affine(const std::array<double, 16>& affine);

// The in-plane oversampling factor of a signal grid over the acquisition grid it is simulated
// for. Refuses (InvalidInput) different slice counts, and an in-plane size that is not the same
// whole multiple (at least 1) of the acquisition grid's along x and y.
std::size_t inplane_factor(const Dims& sig, const Dims& acq);

// World -> continuous voxel coordinates with the inverse formed once: the values of
// Grid::world_to_voxel, for loops over many points.
class VoxelMap {
public:
    explicit VoxelMap(const Grid& grid);
    std::optional<Vec3> operator()(const Vec3& p) const;

private:
    mat3::Mat3 adj_;
    double det_;
    Vec3 t_;
};

}  // namespace quorvel::raster
