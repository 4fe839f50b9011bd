#pragma once
// The per-voxel fibre orientation mixture of one brain: the single object from which both the
// clean signal and the closed-form ground truth derive. Immutable once built; shared by
// reference count between stages, never copied.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/buffer.hpp"
#include "core/params.hpp"
#include "core/raster.hpp"
#include "core/sphere.hpp"

namespace quorvel::mixture {

struct MixtureField {
    sphere::HemiSphere sphere;          // vertices of the histogram; nvert = sphere.vertices.size()
    UninitVector<float, false> odf;     // nvox*nvert orientation mass, voxel-major, unnormalised
    std::vector<float> wm;              // nvox normalised white-matter fraction (F-order)
    std::vector<float> gm;              // nvox normalised grey-matter fraction
    std::vector<float> csf;             // nvox normalised CSF fraction
    std::vector<std::uint8_t> fallback; // 1: masked white matter without fibre support
    std::optional<std::vector<float>> myelin;  // nvox myelination 0..1, when given
    std::array<std::size_t, 3> dims;    // (nx, ny, nz)
    CompartmentParams params;           // tissue parameters the mixture was built with

    std::size_t nvox() const { return dims[0] * dims[1] * dims[2]; }
    std::size_t nvert() const { return sphere.vertices.size(); }
};

}  // namespace quorvel::mixture


namespace quorvel::compartments {

// Rasterises CSR streamlines (world mm) on `grid` into a mixture; every piece deposits
// length * weight * pi*r^2 of orientation mass. Offsets must be non-decreasing and end at
// positions.size(); the tissue maps must hold the grid's voxel count. Runs on the worker pool;
// every voxel's row still sums its pieces in streamline and segment order, so the result is
// that of the serial loop for any thread count. Working memory beyond the result and the points
// stays within about a fifth of the float32 histogram (20 MB on small grids); the points are
// taken over, and the memory of streamlines the build has finished with is given back as the
// histogram fills.
mixture::MixtureField generate_mixture(const raster::Grid& grid, std::vector<raster::Vec3> positions,
                                       std::span<const std::uint32_t> offsets,
                                       std::optional<std::span<const float>> weights, const TissueFractions& tissue,
                                       const CompartmentParams& params, std::optional<double> kappa,
                                       sphere::HemiSphere sphere);

// A mixture from explicit fibre entries: entry e deposits weight[e] along dirs[e] in the voxel with
// flat index voxel[e]. The three lists have equal lengths; the tissue maps lie on `dims`.
mixture::MixtureField mixture_from_fibers(const std::array<std::size_t, 3>& dims,
                                          std::span<const std::uint32_t> voxel,
                                          std::span<const raster::Vec3> dirs, std::span<const double> weight,
                                          const TissueFractions& tissue, const CompartmentParams& params,
                                          std::optional<double> kappa, sphere::HemiSphere sphere);

}  // namespace quorvel::compartments
