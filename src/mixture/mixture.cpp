#include "mixture/mixture.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <utility>

#include "core/error.hpp"
#include "core/text.hpp"
#include "core/sizes.hpp"

namespace quorvel::compartments {
namespace {

// exp(x) < 1e-8 for every x below ln(1e-8) = -18.42; beyond this margin the exponential is
// certain to be cut, so it is not evaluated. The outcome is the same as evaluating it.
constexpr double kNegligibleExponent = -19.0;
constexpr double kKernelCut = 1e-8;

// The unit vector along d, or zero for a vector shorter than 1e-12; `norm` gets |u|.
raster::Vec3 unit(const raster::Vec3& d, double& norm) {
    const double len = std::sqrt((d[0] * d[0] + d[1] * d[1]) + d[2] * d[2]);
    raster::Vec3 u{0.0, 0.0, 0.0};
    if (!(len < 1e-12)) u = {d[0] / len, d[1] / len, d[2] / len};
    norm = std::sqrt((u[0] * u[0] + u[1] * u[1]) + u[2] * u[2]);
    return u;
}

// Normalised fractions, fallback flags and the float32 histogram from the float64 accumulator.
mixture::MixtureField finish(const std::vector<double>& acc, const TissueFractions& tissue,
                             const std::array<std::size_t, 3>& dims, const CompartmentParams& params,
                             sphere::HemiSphere sphere) {
    const std::size_t nvox = dims[0] * dims[1] * dims[2];
    const std::size_t nvert = sphere.vertices.size();
    mixture::MixtureField f;
    f.wm.assign(nvox, 0.0f);
    f.gm.assign(nvox, 0.0f);
    f.csf.assign(nvox, 0.0f);
    f.fallback.assign(nvox, 0);
    for (std::size_t v = 0; v < nvox; ++v) {
        if (!tissue.mask[v]) continue;
        const double wm = tissue.wm[v], gm = tissue.gm[v], csf = tissue.csf[v];
        const double s = (wm + gm) + csf;
        if (s <= 1e-9) continue;
        const double wn = wm / s;
        f.wm[v] = static_cast<float>(wn);
        f.gm[v] = static_cast<float>(gm / s);
        f.csf[v] = static_cast<float>(csf / s);
        double row = 0.0;
        for (std::size_t j = 0; j < nvert; ++j) row += acc[v * nvert + j];
        f.fallback[v] = (wn > 0.0 && row < 1e-12) ? 1 : 0;
    }
    f.odf.resize(acc.size());
    for (std::size_t i = 0; i < acc.size(); ++i) f.odf[i] = static_cast<float>(acc[i]);
    f.sphere = std::move(sphere);
    f.dims = dims;
    f.params = params;
    return f;
}

// nvox*nvert float64 zeros, refusing a product that does not fit in memory addresses.
std::vector<double> accumulator(std::size_t nvox, std::size_t nvert) {
    const auto n = checked_product({nvox, nvert});
    QV_ASSERT(n && *n <= PTRDIFF_MAX / sizeof(double), "mixture accumulator size overflows");
    return std::vector<double>(*n, 0.0);
}

}  // namespace

void orientation_kernel(const sphere::HemiSphere& sphere, const raster::Vec3& u, std::optional<double> kappa,
                        std::vector<KernelTap>& taps) {
    taps.clear();
    const auto& vs = sphere.vertices;
    const std::size_t nvert = vs.size();
    if (kappa) {
        const double k = *kappa;
        double sum = 0.0;
        for (std::size_t j = 0; j < nvert; ++j) {
            const double c = (vs[j][0] * u[0] + vs[j][1] * u[1]) + vs[j][2] * u[2];
            // c*c may round above 1 for a direction on a vertex; with a large kappa that excess
            // would overflow exp and make NaN weights.
            const double x = k * std::min(c * c - 1.0, 0.0);
            if (x < kNegligibleExponent) continue;
            const double w = std::exp(x);
            if (w < kKernelCut) continue;
            taps.push_back({static_cast<std::uint32_t>(j), w});
            sum += w;
        }
        if (!taps.empty()) {
            if (sum > 0.0)
                for (KernelTap& t : taps) t.weight /= sum;
            return;
        }
    }
    std::size_t best = 0;
    double best_c = -1.0;
    for (std::size_t j = 0; j < nvert; ++j) {
        const double c = std::abs((vs[j][0] * u[0] + vs[j][1] * u[1]) + vs[j][2] * u[2]);
        if (c > best_c) {
            best_c = c;
            best = j;
        }
    }
    if (nvert > 0) taps.push_back({static_cast<std::uint32_t>(best), 1.0});
}

mixture::MixtureField generate_mixture(const raster::Grid& grid, std::span<const raster::Vec3> positions,
                                       std::span<const std::uint32_t> offsets,
                                       std::optional<std::span<const float>> weights, const TissueFractions& tissue,
                                       const CompartmentParams& params, std::optional<double> kappa,
                                       sphere::HemiSphere sphere) {
    const auto& dims = grid.dims;
    const std::size_t nx = dims[0], ny = dims[1];
    const std::size_t nvox = grid.nvox();
    const std::size_t nvert = sphere.vertices.size();
    QV_ASSERT(tissue.wm.size() == nvox && tissue.gm.size() == nvox && tissue.csf.size() == nvox &&
                  tissue.mask.size() == nvox,
              "tissue fractions do not hold one value per grid voxel");
    std::vector<double> acc = accumulator(nvox, nvert);
    const double r = params.fiber_radius_mm;
    const double area = (std::numbers::pi * r) * r;

    // Scratch reused by every segment: nothing is allocated per segment once these have grown.
    std::vector<double> ts;
    std::vector<raster::SegmentHit> hits;
    std::vector<KernelTap> taps;
    ts.reserve(16);
    hits.reserve(16);
    taps.reserve(nvert);

    const std::size_t n_streamlines = offsets.empty() ? 0 : offsets.size() - 1;
    for (std::size_t s = 0; s < n_streamlines; ++s) {
        const double w = (weights && s < weights->size()) ? static_cast<double>((*weights)[s]) : 1.0;
        if (w == 0.0) continue;
        const std::size_t begin = offsets[s], end = offsets[s + 1];
        QV_ASSERT(begin <= end && end <= positions.size(),
                  "streamline " + std::to_string(s) + " lies outside the point list");
        for (std::size_t i = begin; i + 1 < end; ++i) {
            const raster::Vec3& p0 = positions[i];
            const raster::Vec3& p1 = positions[i + 1];
            double norm = 0.0;
            const raster::Vec3 u = unit({p1[0] - p0[0], p1[1] - p0[1], p1[2] - p0[2]}, norm);
            if (norm < 0.5) continue;
            grid.intersect_segment_into(p0, p1, ts, hits);
            if (hits.empty()) continue;
            orientation_kernel(sphere, u, kappa, taps);
            for (const raster::SegmentHit& h : hits) {
                const std::size_t vox = h.voxel[0] + nx * (h.voxel[1] + ny * h.voxel[2]);
                const double m = (h.length * w) * area;
                double* row = acc.data() + vox * nvert;
                for (const KernelTap& t : taps) row[t.vertex] += t.weight * m;
            }
        }
    }
    return finish(acc, tissue, dims, params, std::move(sphere));
}

mixture::MixtureField mixture_from_fibers(const std::array<std::size_t, 3>& dims,
                                          std::span<const std::uint32_t> voxel,
                                          std::span<const raster::Vec3> dirs, std::span<const double> weight,
                                          const TissueFractions& tissue, const CompartmentParams& params,
                                          std::optional<double> kappa, sphere::HemiSphere sphere) {
    QV_ASSERT(voxel.size() == dirs.size() && voxel.size() == weight.size(),
              "fibre lists must have equal lengths");
    QV_ASSERT(tissue.dims == dims, "tissue fractions are not on the requested grid");
    const std::size_t nvox = dims[0] * dims[1] * dims[2];
    const std::size_t nvert = sphere.vertices.size();
    std::vector<double> acc = accumulator(nvox, nvert);
    std::vector<KernelTap> taps;
    taps.reserve(nvert);
    for (std::size_t e = 0; e < voxel.size(); ++e) {
        const std::size_t v = voxel[e];
        QV_ASSERT(v < nvox, "fibre voxel index " + std::to_string(v) + " out of range for " + debug_list(dims));
        const double w = weight[e];
        double norm = 0.0;
        const raster::Vec3 u = unit(dirs[e], norm);
        if (w == 0.0 || norm < 0.5) continue;
        orientation_kernel(sphere, u, kappa, taps);
        double* row = acc.data() + v * nvert;
        for (const KernelTap& t : taps) row[t.vertex] += t.weight * w;
    }
    return finish(acc, tissue, dims, params, std::move(sphere));
}

}  // namespace quorvel::compartments
