#include "core/raster.hpp"

#include <algorithm>
#include <cmath>

#include "core/error.hpp"
#include "core/mat3.hpp"
#include "core/text.hpp"

namespace quorvel::raster {

void check_affine(const std::array<double, 16>& affine) {
    if (!(std::abs(mat3::det(mat3::linear_part(affine))) >= kMinAffineDet))
        throw InvalidInput("grid affine is singular");
    for (int i = 0; i < 12; ++i)
        if (!std::isfinite(affine[i])) throw InvalidInput("grid affine is not finite");
}

std::size_t inplane_factor(const Dims& sig, const Dims& acq) {
    const auto [snx, sny, nz] = sig;
    const auto [nx, ny, anz] = acq;
    if (nz != anz)
        throw InvalidInput("slice count differs: signal grid " + debug_list(sig) + " vs acquisition grid " +
                           debug_list(acq));
    // A zero quotient (an empty signal grid) is no oversampling factor either.
    if (nx == 0 || ny == 0 || snx % nx != 0 || sny % ny != 0 || snx / nx != sny / ny || snx == 0)
        throw InvalidInput("signal grid " + debug_list(sig) + " must be an integer multiple of the acquisition grid " +
                           debug_list(acq) + " in-plane");
    return snx / nx;
}

Grid Grid::hires(std::size_t o) const {
    QV_ASSERT(o != 0, "oversampling factor must be positive");
    const double k = 1.0 - 1.0 / static_cast<double>(o);
    const double od = static_cast<double>(o);
    Grid g = *this;
    for (int r = 0; r < 3; ++r) {
        const double a0 = affine[4 * r], a1 = affine[4 * r + 1];
        g.affine[4 * r] = a0 / od;
        g.affine[4 * r + 1] = a1 / od;
        // Fine voxel centres sit at (i' + 0.5)/o - 0.5 of the coarse grid: shift by half a
        // coarse voxel minus half a fine one along each in-plane column.
        g.affine[4 * r + 3] = affine[4 * r + 3] - a0 * 0.5 * k - a1 * 0.5 * k;
    }
    g.dims = {dims[0] * o, dims[1] * o, dims[2]};
    return g;
}

VoxelMap::VoxelMap(const Grid& grid)
    : adj_(mat3::adjugate(mat3::linear_part(grid.affine))),
      det_(mat3::det(mat3::linear_part(grid.affine))),
      t_{grid.affine[3], grid.affine[7], grid.affine[11]} {}

std::optional<Vec3> VoxelMap::operator()(const Vec3& p) const {
    if (std::abs(det_) < kMinAffineDet) return std::nullopt;
    return mat3::solve(adj_, det_, {p[0] - t_[0], p[1] - t_[1], p[2] - t_[2]});
}

std::optional<Vec3> Grid::world_to_voxel(const Vec3& p) const { return VoxelMap(*this)(p); }

void Grid::intersect_segment_into(const Vec3& p0, const Vec3& p1, std::vector<double>& ts,
                                  std::vector<SegmentHit>& out) const {
    out.clear();
    // A grid without voxels has nothing to cut; its other extents may still be huge.
    if (dims[0] == 0 || dims[1] == 0 || dims[2] == 0) return;
    const auto a = world_to_voxel(p0);
    const auto b = world_to_voxel(p1);
    if (!a || !b) return;
    const double wx = p1[0] - p0[0], wy = p1[1] - p0[1], wz = p1[2] - p0[2];
    intersect_voxels_into(*a, *b, std::sqrt(wx * wx + wy * wy + wz * wz), ts, out);
}

void Grid::intersect_voxels_into(const Vec3& a, const Vec3& b, double len, std::vector<double>& ts,
                                 std::vector<SegmentHit>& out) const {
    out.clear();
    if (len < 1e-12) return;
    for (int ax = 0; ax < 3; ++ax) {
        const double n = static_cast<double>(dims[ax]);
        if ((a[ax] < 0.0 && b[ax] < 0.0) || (a[ax] >= n && b[ax] >= n)) return;
    }

    // Parameters along the segment where it crosses an integer voxel plane.
    ts.clear();
    ts.push_back(0.0);
    ts.push_back(1.0);
    const Vec3 d{b[0] - a[0], b[1] - a[1], b[2] - a[2]};
    for (int ax = 0; ax < 3; ++ax) {
        if (!(std::abs(d[ax]) > 1e-12)) continue;
        const double lo = std::min(a[ax], b[ax]);
        const double hi = std::max(a[ax], b[ax]);
        // Planes beyond the box faces 0 and n only split pieces that lie outside the grid (and
        // are dropped below), so they are not generated: a far-away endpoint costs nothing, and
        // m += 1 cannot stall at coordinates beyond 2^53.
        const double n = static_cast<double>(dims[ax]);
        for (double m = std::max(std::floor(lo) + 1.0, 0.0); m < hi && m <= n; m += 1.0) {
            const double t = (m - a[ax]) / d[ax];
            if (t > 1e-12 && t < 0.999999999999) ts.push_back(t);
        }
    }
    std::sort(ts.begin(), ts.end());

    for (std::size_t k = 0; k + 1 < ts.size(); ++k) {
        const double dt = ts[k + 1] - ts[k];
        if (!(dt > 1e-12)) continue;
        const double tm = (ts[k] + ts[k + 1]) * 0.5;
        Dims v{};
        bool inside = true;
        for (int ax = 0; ax < 3; ++ax) {
            const double c = std::floor(a[ax] + tm * d[ax]);
            if (!(c >= 0.0) || c >= static_cast<double>(dims[ax])) {
                inside = false;
                break;
            }
            v[ax] = static_cast<std::size_t>(c);
        }
        if (inside) out.push_back({v, dt * len});
    }
}

}  // namespace quorvel::raster
