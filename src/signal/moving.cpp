#include "signal/moving.hpp"

#include <cmath>
#include <vector>

#include "core/error.hpp"
#include "core/pool.hpp"
#include "signal/signal.hpp"

namespace quorvel::compartments {
namespace {

using motion::Vec3;

Vec3 apply(const motion::Mat4& m, const Vec3& x) {
    Vec3 y{};
    for (int r = 0; r < 3; ++r) y[r] = m[4 * r] * x[0] + m[4 * r + 1] * x[1] + m[4 * r + 2] * x[2] + m[4 * r + 3];
    return y;
}

// Everything one volume's task reads; shared read-only between tasks.
struct Inputs {
    const raster::Grid& grid;
    std::span<const Vec3> positions;
    std::span<const std::uint32_t> offsets;
    const TissueFractions& tissue;
    std::span<const float> mask;  // the byte mask as 0/1 floats, resampled like the fractions
    std::span<const Vec3> q;
    const CompartmentParams& params;
    std::span<const motion::Pose> poses;
    Vec3 center;
    double area;   // fibre cross-section, mm^2
    double d_iso;  // isotropic fallback diffusivity
};

// Per-task working data, reused across the volumes of a block.
struct Scratch {
    std::vector<double> sig, wsum;
    std::vector<double> ts;
    std::vector<raster::SegmentHit> hits;
};

void simulate_volume(const Inputs& in, std::size_t v, std::size_t ngrad, Scratch& w,
                     std::vector<Image>& images) {
    const raster::Dims& dims = in.grid.dims;
    const std::size_t nx = dims[0], ny = dims[1], nvox = in.grid.nvox();
    const motion::Pose pose = v < in.poses.size() ? in.poses[v] : motion::Pose{};
    const motion::Mat4 m = pose.to_matrix(in.center);
    const Vec3& q = in.q[v];
    const double q2 = q[0] * q[0] + q[1] * q[1] + q[2] * q[2];

    // The tissue moves with the head.
    const auto wm = motion::resample_by_pose(in.tissue.wm, dims, in.grid, pose);
    const auto gm = motion::resample_by_pose(in.tissue.gm, dims, in.grid, pose);
    const auto csf = motion::resample_by_pose(in.tissue.csf, dims, in.grid, pose);
    const auto mask = motion::resample_by_pose(in.mask, dims, in.grid, pose);

    w.sig.assign(nvox, 0.0);
    w.wsum.assign(nvox, 0.0);
    const std::size_t n_streamlines = in.offsets.empty() ? 0 : in.offsets.size() - 1;
    for (std::size_t s = 0; s < n_streamlines; ++s) {
        // Decreasing offsets give an empty streamline rather than a wrapped range.
        const std::size_t end = in.offsets[s + 1];
        for (std::size_t n = in.offsets[s]; n + 1 < end; ++n) {
            const Vec3 p0 = apply(m, in.positions[n]);
            const Vec3 p1 = apply(m, in.positions[n + 1]);
            const Vec3 d{p1[0] - p0[0], p1[1] - p0[1], p1[2] - p0[2]};
            const double len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
            const Vec3 u = len < 1e-12 ? Vec3{0.0, 0.0, 0.0} : Vec3{d[0] / len, d[1] / len, d[2] / len};
            if (std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]) < 0.5) continue;
            // One kernel per segment, shared by all of its voxel pieces.
            const double kappa = fibre_kernel(u, q, in.params);
            in.grid.intersect_segment_into(p0, p1, w.ts, w.hits);
            for (const raster::SegmentHit& h : w.hits) {
                const std::size_t idx = h.voxel[0] + nx * (h.voxel[1] + ny * h.voxel[2]);
                const double weight = h.length * in.area;
                w.sig[idx] += kappa * weight;
                w.wsum[idx] += weight;
            }
        }
    }

    const double b = in.params.b_value;
    float* fibre_out = images[0].data();
    float* gm_out = images[1].data();
    float* csf_out = images[2].data();
    for (std::size_t i = 0; i < nvox; ++i) {
        if (!(mask[i] > 0.5f)) continue;
        const double s = static_cast<double>(wm[i]) + static_cast<double>(gm[i]) + static_cast<double>(csf[i]);
        if (!(s > 1e-9)) continue;
        const double fw = wm[i] / s;
        const double fibre = w.wsum[i] > 1e-12 ? fw * w.sig[i] / w.wsum[i] : fw * std::exp(-b * q2 * in.d_iso);
        double g = gm[i] / s, c = csf[i] / s;
        if (!(q2 < 1e-8)) {
            g *= std::exp(-b * q2 * in.params.d_gm);
            c *= std::exp(-b * q2 * in.params.d_csf);
        }
        // Tasks write disjoint elements (volume v of every voxel) of the shared images.
        fibre_out[i * ngrad + v] = static_cast<float>(fibre);
        gm_out[i * ngrad + v] = static_cast<float>(g);
        csf_out[i * ngrad + v] = static_cast<float>(c);
    }
}

}  // namespace

Compartments generate_compartments_moving(const raster::Grid& grid, std::span<const Vec3> positions,
                                          std::span<const std::uint32_t> offsets, const TissueFractions& tissue,
                                          const scheme::GradientScheme& scheme, const CompartmentParams& params,
                                          std::span<const motion::Pose> poses) {
    const std::size_t nvox = grid.nvox(), ngrad = scheme.bvals.size();
    QV_ASSERT(tissue.dims == grid.dims && tissue.wm.size() == nvox && tissue.gm.size() == nvox &&
                  tissue.csf.size() == nvox && tissue.mask.size() == nvox,
              "tissue maps are not on the signal grid");
    for (std::uint32_t o : offsets)
        QV_ASSERT(o <= positions.size(), "streamline offsets point past the point list");

    Compartments out;
    out.t2 = {params.t2_fiber, params.t2_gm, params.t2_csf};
    out.dims = grid.dims;
    out.ngrad = ngrad;
    out.images.assign(3, Image(nvox * ngrad, 0.0f));
    if (ngrad == 0) return out;

    std::vector<float> mask(nvox);
    for (std::size_t i = 0; i < nvox; ++i) mask[i] = tissue.mask[i] != 0 ? 1.0f : 0.0f;
    const auto q = scheme.fiberfox_gradients();
    const double r = params.fiber_radius_mm;
    const Inputs in{grid,   positions, offsets, tissue, mask, q, params, poses,
                    motion::fov_center(grid.dims, grid.affine), 3.141592653589793 * r * r,
                    iso_diffusivity(params)};

    pool::for_each_block(ngrad, [&](std::size_t begin, std::size_t end) {
        Scratch w;
        w.ts.reserve(16);
        w.hits.reserve(16);
        for (std::size_t v = begin; v < end; ++v) simulate_volume(in, v, ngrad, w, out.images);
    });
    return out;
}

}  // namespace quorvel::compartments
