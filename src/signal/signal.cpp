#include "signal/signal.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "core/clones.hpp"
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

// Weighted sums of fibre-table rows for G voxels at once, the field-free fibre signal: entry i
// names table row j[i] and carries G weights w[i*G + g]; voxel g's sum for volume k is
// S_gk = sum over entries, in entry order from +0.0, of w[i*G + g] * table[j[i]*stride + k].
struct RowSums {
    const std::size_t* j;
    const double* w;
    std::size_t n;  // entries
    const double* table;
    std::size_t stride, ngrad;  // row length (a multiple of kLanes, zero-padded) and volumes
};

// Rows are padded to, and start on, multiples of the widest vector (64 bytes).
constexpr std::size_t kLanes = 8;

// W doubles, one vector register of the version that uses it, and W floats for the output.
template <std::size_t W>
struct Lanes {
    typedef double d __attribute__((vector_size(8 * W)));
    typedef float f __attribute__((vector_size(4 * W)));
};
template <std::size_t W>
using Vd = typename Lanes<W>::d;
template <std::size_t W>
using Vf = typename Lanes<W>::f;

// One pass over nv vectors of volumes starting at k0, for every voxel of the group: the G*nv sums
// stay in registers across all entries, independent of each other, which hides the latency of
// the additions; each row vector is loaded once for the whole group. Stores out[g][k] =
// S_gk / w_sum[g] * wm[g] in float32 for each voxel with an output.
template <std::size_t W, std::size_t G, std::size_t nv>
[[gnu::always_inline]] inline void row_sums_pass(const RowSums& r, std::size_t k0, const double* w_sum,
                                                 const double* wm, float* const* out) {
    Vd<W> acc[G][nv] = {};
    for (std::size_t i = 0; i < r.n; ++i) {
        const double* t = r.table + r.j[i] * r.stride + k0;
        Vd<W> row[nv];
        for (std::size_t b = 0; b < nv; ++b) std::memcpy(&row[b], t + b * W, sizeof(Vd<W>));
        for (std::size_t g = 0; g < G; ++g) {
            const double w = r.w[i * G + g];
            for (std::size_t b = 0; b < nv; ++b) acc[g][b] += w * row[b];
        }
    }
    for (std::size_t g = 0; g < G; ++g) {
        if (out[g] == nullptr) continue;
        for (std::size_t b = 0; b < nv; ++b) {
            const std::size_t k = k0 + b * W;
            const Vf<W> f = __builtin_convertvector(acc[g][b] / w_sum[g] * wm[g], Vf<W>);
            if (k + W <= r.ngrad) {
                std::memcpy(out[g] + k, &f, sizeof f);
            } else {
                for (std::size_t l = 0; k + l < r.ngrad; ++l) out[g][k + l] = f[l];
            }
        }
    }
}

// The last pass, over the remaining nv or fewer vectors.
template <std::size_t W, std::size_t G, std::size_t nv>
[[gnu::always_inline]] inline void row_sums_tail(std::size_t remaining, const RowSums& r, std::size_t k0,
                                                 const double* w_sum, const double* wm, float* const* out) {
    if constexpr (nv > 0) {
        if (remaining == nv)
            row_sums_pass<W, G, nv>(r, k0, w_sum, wm, out);
        else
            row_sums_tail<W, G, nv - 1>(remaining, r, k0, w_sum, wm, out);
    }
}

// All volumes, in passes of nv vectors of W doubles; the padding beyond the last vector holding a
// volume is left out. The vector lanes run over volumes, never over entries, so each S_gk sees
// the same additions in the same order at any width; with contraction off (no FMA) every version
// gives the same bits. G*nv accumulators plus the nv row vectors and a weight must fit the
// register file, or the sums spill to the stack on every entry.
template <std::size_t W, std::size_t G, std::size_t nv>
[[gnu::always_inline]] inline void row_sums(const RowSums& r, const double* w_sum, const double* wm,
                                            float* const* out) {
    static_assert(kLanes % W == 0);
    const std::size_t len = (r.ngrad + W - 1) / W * W;
    std::size_t k0 = 0;
    for (; k0 + nv * W <= len; k0 += nv * W) row_sums_pass<W, G, nv>(r, k0, w_sum, wm, out);
    row_sums_tail<W, G, nv - 1>((len - k0) / W, r, k0, w_sum, wm, out);
}

// Voxels fused per fibre_group call: each table row loaded serves all of them, so a dense
// group reads the table from cache a quarter as often as one voxel at a time.
constexpr std::size_t kGroup = 4;

// One voxel: its non-zero masses, eight vectors per pass (64 volumes on AVX-512).
template <std::size_t W>
[[gnu::always_inline]] inline void fibre_one_w(const RowSums& r, double w_sum, double wm, float* out) {
    row_sums<W, 1, 8>(r, &w_sum, &wm, &out);
}

// kGroup voxels over every vertex (see group_masses), two vectors per pass: eight accumulators,
// which AVX2's 16 registers hold (twelve spill there). SSE2 vectors are half as wide: three a
// pass fit its registers and spare a third of the passes.
template <std::size_t W>
[[gnu::always_inline]] inline void fibre_group_w(const RowSums& r, const double* w_sum, const double* wm,
                                                 float* const* out) {
    row_sums<W, kGroup, W == 2 ? 3 : 2>(r, w_sum, wm, out);
}

#if QV_VERSIONED
QV_FOR_X86_64 void fibre_one(const RowSums& r, double w_sum, double wm, float* out) {
    fibre_one_w<2>(r, w_sum, wm, out);
}
QV_FOR_X86_64_V3 void fibre_one(const RowSums& r, double w_sum, double wm, float* out) {
    fibre_one_w<4>(r, w_sum, wm, out);
}
QV_FOR_X86_64_V4 void fibre_one(const RowSums& r, double w_sum, double wm, float* out) {
    fibre_one_w<8>(r, w_sum, wm, out);
}
QV_FOR_X86_64 void fibre_group(const RowSums& r, const double* w_sum, const double* wm, float* const* out) {
    fibre_group_w<2>(r, w_sum, wm, out);
}
QV_FOR_X86_64_V3 void fibre_group(const RowSums& r, const double* w_sum, const double* wm, float* const* out) {
    fibre_group_w<4>(r, w_sum, wm, out);
}
QV_FOR_X86_64_V4 void fibre_group(const RowSums& r, const double* w_sum, const double* wm, float* const* out) {
    fibre_group_w<8>(r, w_sum, wm, out);
}
#else
void fibre_one(const RowSums& r, double w_sum, double wm, float* out) {
    fibre_one_w<kVectorDoubles>(r, w_sum, wm, out);
}
void fibre_group(const RowSums& r, const double* w_sum, const double* wm, float* const* out) {
    fibre_group_w<kVectorDoubles>(r, w_sum, wm, out);
}
#endif

// The non-zero masses of one orientation row as entries (vertex, mass) in vertex order; returns
// their number and sets *w_sum to their sum, taken in the same order from +0.0. Runs of zero
// masses are skipped a chunk at a time; within a chunk the compaction is branch-free. Adding a
// zero mass of either sign changes nothing: the sum starts at +0.0 and, rounding to nearest, a
// sum of non-zero terms never becomes -0.0.
QV_CLONES
std::size_t nonzero_masses(const float* row, std::size_t nvert, std::size_t* j, double* w, double* w_sum) {
    constexpr std::size_t kChunk = 16;
    std::size_t n = 0;
    double s = 0.0;
    for (std::size_t j0 = 0; j0 < nvert; j0 += kChunk) {
        const std::size_t len = std::min(kChunk, nvert - j0);
        bool any = false;
        for (std::size_t i = 0; i < len; ++i) any |= row[j0 + i] != 0.0f;
        if (!any) continue;
        for (std::size_t i = 0; i < len; ++i) {
            const double m = row[j0 + i];
            j[n] = j0 + i;
            w[n] = m;
            n += row[j0 + i] != 0.0f;
            s += m;
        }
    }
    *w_sum = s;
    return n;
}

// The weights of a fused group, one entry per vertex in vertex order: w[v*kGroup + g] is row g's
// mass at v, or -0.0 where it has none. The fibre table holds no negative zero, NaN or negative
// value (checked), so such a weight adds (-0.0) * t = -0.0, which leaves every sum exactly as it
// was: each voxel's sum sees its own non-zero masses only, in the order fibre_one takes them.
// w_sum[g] is row g's mass sum as nonzero_masses takes it; the kGroup sums run side by side.
QV_CLONES
void group_masses(const float* const* rows, std::size_t nvert, double* w, double* w_sum) {
    std::array<double, kGroup> s{};
    for (std::size_t v = 0; v < nvert; ++v)
        for (std::size_t g = 0; g < kGroup; ++g) {
            const double m = rows[g][v];
            // Branch-free: 0.0 - m is +0.0 for either zero and -m otherwise.
            w[v * kGroup + g] = -(0.0 - m);
            s[g] += m;
        }
    std::copy(s.begin(), s.end(), w_sum);
}

// The number of non-zero masses of one orientation row.
QV_CLONES
std::size_t count_nonzero(const float* row, std::size_t nvert) {
    std::size_t n = 0;
    for (std::size_t v = 0; v < nvert; ++v) n += row[v] != 0.0f;
    return n;
}

// out[k] = tab[k] * f in float32.
QV_CLONES
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
    // rows are padded with zeros to whole vectors and start on cache lines (see RowSums).
    const std::size_t stride = (ngrad + kLanes - 1) / kLanes * kLanes;
    std::vector<double> fibre_buf, gm_tab, csf_tab, iso_tab;
    double* fibre_tab = nullptr;
    bool fusable = false;  // the table admits the -0.0 weights of group_masses
    if (field == nullptr) {
        fibre_buf.assign(nvert * stride + kLanes, 0.0);
        const std::size_t misalign = reinterpret_cast<std::uintptr_t>(fibre_buf.data()) / sizeof(double) % kLanes;
        fibre_tab = fibre_buf.data() + (kLanes - misalign) % kLanes;
        for (std::size_t j = 0; j < nvert; ++j)
            for (std::size_t k = 0; k < ngrad; ++k) fibre_tab[j * stride + k] = fibre_kernel(vertices[j], q[k], p);
        fusable = std::all_of(fibre_tab, fibre_tab + nvert * stride,
                              [](double t) { return std::isfinite(t) && !std::signbit(t); });
        gm_tab.resize(ngrad);
        csf_tab.resize(ngrad);
        iso_tab.resize(ngrad);
        for (std::size_t k = 0; k < ngrad; ++k) {
            gm_tab[k] = grey_matter(q[k], p);
            csf_tab[k] = csf_ball(q[k], p);
            iso_tab[k] = iso_fallback(dot(q[k], q[k]), d_iso, p);
        }
    }
    const std::vector<float> no_mass(nvert, 0.0f);  // the row of an empty slot of a fused group
    std::vector<std::size_t> every_vertex(nvert);     // the entries of a fused group
    for (std::size_t j = 0; j < nvert; ++j) every_vertex[j] = j;

    // Left uninitialised: every voxel's task writes all of its values, zeros included.
    Image fibre(nvox * ngrad), gm(nvox * ngrad), csf(nvox * ngrad);

    pool::for_each_block(nvox, [&](std::size_t begin, std::size_t end) {
        std::vector<std::size_t> vj(nvert);  // entries of one voxel
        std::vector<double> vw(nvert), gw(nvert * kGroup);
        // Voxels waiting to be fused: mostly-dense rows, read again when the group is full.
        std::array<const float*, kGroup> g_row{};
        std::array<float*, kGroup> g_out{};
        std::array<double, kGroup> g_sum{}, g_wm{};
        std::size_t ng = 0;
        const auto flush = [&] {
            for (std::size_t g = ng; g < kGroup; ++g) {
                g_row[g] = no_mass.data();
                g_out[g] = nullptr;
                g_wm[g] = 0.0;
            }
            group_masses(g_row.data(), nvert, gw.data(), g_sum.data());
            for (std::size_t g = 0; g < ng; ++g)
                if (!(g_sum[g] > kNoSupport)) {
                    scaled(iso_tab.data(), g_wm[g], ngrad, g_out[g]);
                    g_out[g] = nullptr;
                }
            const RowSums r{every_vertex.data(), gw.data(), nvert, fibre_tab, stride, ngrad};
            fibre_group(r, g_sum.data(), g_wm.data(), g_out.data());
            ng = 0;
        };
        for (std::size_t vox = begin; vox < end; ++vox) {
            const float wm_v = mix.wm[vox], gm_v = mix.gm[vox], csf_v = mix.csf[vox];
            const VoxelOut o{fibre.data() + vox * ngrad, gm.data() + vox * ngrad, csf.data() + vox * ngrad};
            if (!(wm_v + gm_v + csf_v > 0.0f)) {  // outside the mask or no tissue
                std::fill_n(o.fibre, ngrad, 0.0f);
                std::fill_n(o.gm, ngrad, 0.0f);
                std::fill_n(o.csf, ngrad, 0.0f);
                continue;
            }

            const float* row = mix.odf.data() + vox * nvert;
            const float m = mix.myelin ? (*mix.myelin)[vox] : 0.0f;
            if (field == nullptr && !(m > kMyelinThreshold)) {
                scaled(gm_tab.data(), gm_v, ngrad, o.gm);
                scaled(csf_tab.data(), csf_v, ngrad, o.csf);
                if (fusable && 2 * count_nonzero(row, nvert) >= nvert) {
                    // Its weight sum, and with it the support test, comes with the group's entries.
                    g_row[ng] = row;
                    g_out[ng] = o.fibre;
                    g_wm[ng] = wm_v;
                    if (++ng == kGroup) flush();
                    continue;
                }
                double w_sum = 0.0;
                const std::size_t n = nonzero_masses(row, nvert, vj.data(), vw.data(), &w_sum);
                if (w_sum > kNoSupport)
                    fibre_one(RowSums{vj.data(), vw.data(), n, fibre_tab, stride, ngrad}, w_sum, wm_v, o.fibre);
                else
                    scaled(iso_tab.data(), wm_v, ngrad, o.fibre);
                continue;
            }

            double w_sum = 0.0;
            const std::size_t npairs = nonzero_masses(row, nvert, vj.data(), vw.data(), &w_sum);
            const bool supported = w_sum > kNoSupport;

            if (field == nullptr) {  // myelin-adjusted: exponentials per voxel
                const CompartmentParams pa = myelin_adjusted(p, m);
                const double d_iso_adj = iso_diffusivity(pa);
                for (std::size_t k = 0; k < ngrad; ++k) {
                    double f;
                    if (supported) {
                        double s = 0.0;
                        for (std::size_t i = 0; i < npairs; ++i)
                            s += vw[i] * fibre_kernel(vertices[vj[i]], q[k], pa);
                        f = s / w_sum;
                    } else {
                        f = iso_fallback(dot(q[k], q[k]), d_iso_adj, pa);
                    }
                    o.fibre[k] = static_cast<float>(wm_v * f);
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
                    for (std::size_t i = 0; i < npairs; ++i) s += vw[i] * fibre_kernel(vertices[vj[i]], qe, pa);
                    f = s / w_sum;
                } else {
                    f = iso_fallback(dot(qe, qe), d_iso_v, pa);
                }
                o.fibre[k] = static_cast<float>(f * wm_v);
                o.gm[k] = static_cast<float>(grey_matter(qe, p) * gm_v);
                o.csf[k] = static_cast<float>(csf_ball(qe, p) * csf_v);
            }
        }
        if (ng > 0) flush();
    });

    out.images.push_back(std::move(fibre));
    out.images.push_back(std::move(gm));
    out.images.push_back(std::move(csf));
    return out;
}

}  // namespace quorvel::compartments
