#include "signal/signal.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/error.hpp"
#include "core/pool.hpp"

namespace quorvel::compartments {
namespace {

double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// Below this |q|^2 a volume is unweighted and no exponential is evaluated.
constexpr double kUnweighted = 1e-8;
// Orientation mass at or below this counts as no fibre support.
constexpr double kNoSupport = 1e-12;
// Myelination at or below this leaves a voxel on the unadjusted tables (compared in float32,
// the width the map is stored in).
constexpr float kMyelinThreshold = 0.001f;

double iso_fallback(double q2, double d_iso, const CompartmentParams& p) { return std::exp(-p.b_value * q2 * d_iso); }

// The three output chunks of one voxel (ngrad values each); the per-path work is in the callers.
struct VoxelOut {
    float *fibre, *gm, *csf;
};

// A vertex of a voxel's orientation row with non-zero mass.
struct Pair {
    std::size_t j;
    double w;
};

// Eight doubles. The clones below lower it to their widest registers (one zmm, two ymm or four
// xmm); every operation on it is element-wise, so the width changes the speed only.
using V8 = double __attribute__((vector_size(64)));
using V8f = float __attribute__((vector_size(32)));
constexpr std::size_t kLanes = 8;
// Vectors per pass of fibre_from_table: enough independent sums to keep the adders busy, few
// enough to stay in registers.
constexpr std::size_t kPass = 8;

// The non-zero masses of one orientation row as (vertex, mass) pairs in vertex order; returns
// their number and sets *w_sum to their sum, taken in the same order from +0.0. Runs of zero
// masses are skipped a chunk at a time; within a chunk the compaction is branch-free, and adding
// a zero mass changes nothing (a sum of non-zero terms is never -0.0).
[[gnu::target_clones("avx512f", "avx2", "default")]]
std::size_t nonzero_pairs(const float* row, std::size_t nvert, Pair* out, double* w_sum) {
    constexpr std::size_t kChunk = 16;
    std::size_t n = 0;
    double s = 0.0;
    for (std::size_t j0 = 0; j0 < nvert; j0 += kChunk) {
        const std::size_t len = std::min(kChunk, nvert - j0);
        bool any = false;
        for (std::size_t i = 0; i < len; ++i) any |= row[j0 + i] != 0.0f;
        if (!any) continue;
        for (std::size_t i = 0; i < len; ++i) {
            const double w = row[j0 + i];
            out[n] = {j0 + i, w};
            n += row[j0 + i] != 0.0f;
            s += w;
        }
    }
    *w_sum = s;
    return n;
}

// One pass of fibre_from_table over nv vectors of volumes starting at k0. The nv sums stay in
// registers across all pairs, independent of each other, which hides the latency of the additions.
template <std::size_t nv>
[[gnu::always_inline]] inline void fibre_pass(const Pair* pairs, std::size_t npairs, const double* table,
                                              std::size_t stride, std::size_t k0, std::size_t ngrad, double w_sum,
                                              double wm, float* out) {
    V8 acc[nv] = {};
    for (std::size_t i = 0; i < npairs; ++i) {
        const double* t = table + pairs[i].j * stride + k0;
        const double w = pairs[i].w;
        for (std::size_t b = 0; b < nv; ++b) {
            V8 v;
            std::memcpy(&v, t + b * kLanes, sizeof v);
            acc[b] += w * v;
        }
    }
    for (std::size_t b = 0; b < nv; ++b) {
        const std::size_t k = k0 + b * kLanes;
        const V8f f = __builtin_convertvector(acc[b] / w_sum * wm, V8f);
        if (k + kLanes <= ngrad) {
            std::memcpy(out + k, &f, sizeof f);
        } else {
            for (std::size_t l = 0; k + l < ngrad; ++l) out[k + l] = f[l];
        }
    }
}

// The last pass of fibre_from_table, over the remaining nv < kPass vectors.
template <std::size_t nv>
[[gnu::always_inline]] inline void fibre_tail(std::size_t remaining, const Pair* pairs, std::size_t npairs,
                                              const double* table, std::size_t stride, std::size_t k0,
                                              std::size_t ngrad, double w_sum, double wm, float* out) {
    if constexpr (nv > 0) {
        if (remaining == nv)
            fibre_pass<nv>(pairs, npairs, table, stride, k0, ngrad, w_sum, wm, out);
        else
            fibre_tail<nv - 1>(remaining, pairs, npairs, table, stride, k0, ngrad, w_sum, wm, out);
    }
}

// The tabulated fibre values of one voxel: out[k] = S_k / w_sum * wm in float32, with
// S_k = sum over pairs of w * table[j*stride + k] taken in pair order from +0.0. The vector
// lanes run over volumes, never over pairs, so each S_k sees the same additions in the same
// order at any width; with contraction off (no FMA) every clone gives the same bits. Rows are
// zero-padded to stride, a multiple of kLanes, so every load is a whole vector.
[[gnu::target_clones("avx512f", "avx2", "default")]]
void fibre_from_table(const Pair* pairs, std::size_t npairs, const double* table, std::size_t stride,
                      std::size_t ngrad, double w_sum, double wm, float* out) {
    std::size_t k0 = 0;
    for (; k0 + kPass * kLanes <= stride; k0 += kPass * kLanes)
        fibre_pass<kPass>(pairs, npairs, table, stride, k0, ngrad, w_sum, wm, out);
    fibre_tail<kPass - 1>((stride - k0) / kLanes, pairs, npairs, table, stride, k0, ngrad, w_sum, wm, out);
}

// out[k] = tab[k] * f in float32.
[[gnu::target_clones("avx512f", "avx2", "default")]]
void scaled(const double* tab, double f, std::size_t n, float* out) {
    for (std::size_t k = 0; k < n; ++k) out[k] = static_cast<float>(tab[k] * f);
}

}  // namespace

double fibre_kernel(const Vec3& a, const Vec3& q, const CompartmentParams& p) {
    const double q2 = dot(q, q);
    if (q2 < kUnweighted) return p.intra_frac + p.extra_frac;
    const double na = std::sqrt(dot(a, a));
    // The stick takes a as given, the zeppelin its direction only.
    const Vec3 ahat = na >= 1e-12 ? Vec3{a[0] / na, a[1] / na, a[2] / na} : Vec3{0.0, 0.0, 0.0};
    const double aq = dot(a, q), hq = dot(ahat, q);
    const double d_par = p.d_extra[0], d_perp = p.d_extra[1];
    return p.intra_frac * std::exp(-p.b_value * p.d_intra * (aq * aq)) +
           p.extra_frac * std::exp(-p.b_value * (d_perp * q2 + (d_par - d_perp) * (hq * hq)));
}

double fibre_mean(std::span<const std::pair<Vec3, double>> pairs, const Vec3& q, const CompartmentParams& p) {
    double w_sum = 0.0;
    for (const auto& pr : pairs) w_sum += pr.second;
    if (!(w_sum > kNoSupport)) return iso_fallback(dot(q, q), iso_diffusivity(p), p);
    double s = 0.0;
    for (const auto& [a, w] : pairs) s += w * fibre_kernel(a, q, p);
    return s / w_sum;
}

double grey_matter(const Vec3& q, const CompartmentParams& p) {
    const double q2 = dot(q, q);
    const double r = p.gm_restricted_frac;
    if (q2 < kUnweighted) return r + (1.0 - r);
    return r * std::exp(-p.b_value * q2 * p.d_soma) + (1.0 - r) * std::exp(-p.b_value * q2 * p.d_gm);
}

double csf_ball(const Vec3& q, const CompartmentParams& p) {
    const double q2 = dot(q, q);
    if (q2 < kUnweighted) return 1.0;
    return std::exp(-p.b_value * q2 * p.d_csf);
}

double iso_diffusivity(const CompartmentParams& p) { return (p.d_extra[0] + p.d_extra[1] + p.d_extra[2]) / 3.0; }

CompartmentParams myelin_adjusted(const CompartmentParams& p, double m) {
    // Written (adult - p)*m + p so that m = 0 returns every parameter bit for bit.
    const CompartmentParams adult = adult_params();
    CompartmentParams out = p;
    out.intra_frac = (adult.intra_frac - p.intra_frac) * m + p.intra_frac;
    out.extra_frac = (adult.extra_frac - p.extra_frac) * m + p.extra_frac;
    out.d_intra = (adult.d_intra - p.d_intra) * m + p.d_intra;
    for (std::size_t i = 0; i < 3; ++i) out.d_extra[i] = (adult.d_extra[i] - p.d_extra[i]) * m + p.d_extra[i];
    return out;
}

VoxelSignal voxel_signal(const scheme::GradientScheme& scheme, std::span<const Vec3> dirs,
                         std::span<const double> weights, double wm, double gm, double csf,
                         const CompartmentParams& p) {
    QV_ASSERT(dirs.size() == weights.size(), "one weight per fibre direction");
    std::vector<std::pair<Vec3, double>> pairs;
    pairs.reserve(dirs.size());
    for (std::size_t j = 0; j < dirs.size(); ++j) {
        const Vec3& d = dirs[j];
        const double n = std::sqrt(dot(d, d));
        pairs.push_back({n < 1e-12 ? Vec3{0.0, 0.0, 0.0} : Vec3{d[0] / n, d[1] / n, d[2] / n}, weights[j]});
    }
    const auto q = scheme.fiberfox_gradients();
    VoxelSignal out;
    out.fibre.reserve(q.size());
    out.gm.reserve(q.size());
    out.csf.reserve(q.size());
    for (const Vec3& qk : q) {
        out.fibre.push_back(wm * fibre_mean(pairs, qk, p));
        out.gm.push_back(gm * grey_matter(qk, p));
        out.csf.push_back(csf * csf_ball(qk, p));
    }
    return out;
}

Compartments signal_from_mixture(const mixture::MixtureField& mix, const scheme::GradientScheme& scheme) {
    return signal_from_mixture_gnl(mix, scheme, nullptr);
}

Compartments signal_from_mixture_gnl(const mixture::MixtureField& mix, const scheme::GradientScheme& scheme,
                                     const gnl::GnlField* field) {
    const CompartmentParams& p = mix.params;
    Compartments out;
    out.t2 = {p.t2_fiber, p.t2_gm, p.t2_csf};
    out.dims = mix.dims;
    out.ngrad = scheme.bvals.size();
    const std::size_t nvox = mix.nvox(), ngrad = out.ngrad, nvert = mix.nvert();
    if (ngrad == 0) {
        out.images.resize(3);
        return out;
    }
    if (field != nullptr) QV_ASSERT(field->dims == mix.dims, "GNL field is not on the mixture grid");

    const std::vector<Vec3> q = scheme.fiberfox_gradients();
    const auto& vertices = mix.sphere.vertices;
    const double d_iso = iso_diffusivity(p);

    // Field-free tables: every exponential once per vertex and volume, not per voxel. Fibre
    // rows are padded with zeros to whole vector blocks (see fibre_from_table).
    const std::size_t stride = (ngrad + kLanes - 1) / kLanes * kLanes;
    std::vector<double> fibre_buf, gm_tab, csf_tab, iso_tab;
    double* fibre_tab = nullptr;
    if (field == nullptr) {
        // Rows start on cache lines (stride is a multiple of 64 bytes), so no vector load splits one.
        fibre_buf.assign(nvert * stride + kLanes, 0.0);
        fibre_tab = fibre_buf.data() + (kLanes - reinterpret_cast<std::uintptr_t>(fibre_buf.data()) / sizeof(double) % kLanes) % kLanes;
        for (std::size_t j = 0; j < nvert; ++j)
            for (std::size_t k = 0; k < ngrad; ++k) fibre_tab[j * stride + k] = fibre_kernel(vertices[j], q[k], p);
        gm_tab.resize(ngrad);
        csf_tab.resize(ngrad);
        iso_tab.resize(ngrad);
        for (std::size_t k = 0; k < ngrad; ++k) {
            gm_tab[k] = grey_matter(q[k], p);
            csf_tab[k] = csf_ball(q[k], p);
            iso_tab[k] = iso_fallback(dot(q[k], q[k]), d_iso, p);
        }
    }

    // Left uninitialised: every voxel's task writes all of its values, zeros included.
    Image fibre(nvox * ngrad), gm(nvox * ngrad), csf(nvox * ngrad);

    pool::for_each_block(nvox, [&](std::size_t begin, std::size_t end) {
        std::vector<Pair> pair_buf(nvert);  // the voxel's vertices with mass != 0, in vertex order
        for (std::size_t vox = begin; vox < end; ++vox) {
            const float wm_v = mix.wm[vox], gm_v = mix.gm[vox], csf_v = mix.csf[vox];
            const VoxelOut o{fibre.data() + vox * ngrad, gm.data() + vox * ngrad, csf.data() + vox * ngrad};
            if (!(wm_v + gm_v + csf_v > 0.0f)) {  // outside the mask or no tissue
                std::fill_n(o.fibre, ngrad, 0.0f);
                std::fill_n(o.gm, ngrad, 0.0f);
                std::fill_n(o.csf, ngrad, 0.0f);
                continue;
            }

            double w_sum = 0.0;
            const std::size_t npairs = nonzero_pairs(mix.odf.data() + vox * nvert, nvert, pair_buf.data(), &w_sum);
            const std::span<const Pair> pairs(pair_buf.data(), npairs);
            const bool supported = w_sum > kNoSupport;
            const float m = mix.myelin ? (*mix.myelin)[vox] : 0.0f;

            if (field == nullptr) {
                if (m > kMyelinThreshold) {
                    const CompartmentParams pa = myelin_adjusted(p, m);
                    const double d_iso_adj = iso_diffusivity(pa);
                    for (std::size_t k = 0; k < ngrad; ++k) {
                        double f;
                        if (supported) {
                            double s = 0.0;
                            for (const Pair& pr : pairs) s += pr.w * fibre_kernel(vertices[pr.j], q[k], pa);
                            f = s / w_sum;
                        } else {
                            f = iso_fallback(dot(q[k], q[k]), d_iso_adj, pa);
                        }
                        o.fibre[k] = static_cast<float>(wm_v * f);
                    }
                } else if (supported) {
                    fibre_from_table(pairs.data(), npairs, fibre_tab, stride, ngrad, w_sum, wm_v, o.fibre);
                } else {
                    scaled(iso_tab.data(), wm_v, ngrad, o.fibre);
                }
                scaled(gm_tab.data(), gm_v, ngrad, o.gm);
                scaled(csf_tab.data(), csf_v, ngrad, o.csf);
                continue;
            }

            // Under a field the gradient differs per voxel, so nothing can be tabulated.
            // Every voxel is adjusted (m = 0 changes nothing); only the isotropic mean keeps
            // the threshold.
            const CompartmentParams pa = myelin_adjusted(p, m);
            const double d_iso_v = m > kMyelinThreshold ? iso_diffusivity(pa) : d_iso;
            const float* J = field->jac.data() + 9 * vox;
            for (std::size_t k = 0; k < ngrad; ++k) {
                const Vec3& g = q[k];
                // q' = J^T q: the gradient the distorted coil actually applies here.
                const Vec3 qe{J[0] * g[0] + J[3] * g[1] + J[6] * g[2], J[1] * g[0] + J[4] * g[1] + J[7] * g[2],
                              J[2] * g[0] + J[5] * g[1] + J[8] * g[2]};
                double f;
                if (supported) {
                    double s = 0.0;
                    for (const Pair& pr : pairs) s += pr.w * fibre_kernel(vertices[pr.j], qe, pa);
                    f = s / w_sum;
                } else {
                    f = iso_fallback(dot(qe, qe), d_iso_v, pa);
                }
                o.fibre[k] = static_cast<float>(f * wm_v);
                o.gm[k] = static_cast<float>(grey_matter(qe, p) * gm_v);
                o.csf[k] = static_cast<float>(csf_ball(qe, p) * csf_v);
            }
        }
    });

    out.images.push_back(std::move(fibre));
    out.images.push_back(std::move(gm));
    out.images.push_back(std::move(csf));
    return out;
}

}  // namespace quorvel::compartments
