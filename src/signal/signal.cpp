#include "signal/signal.hpp"

#include <cmath>

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

// Fills the three output chunks of one voxel; the per-path work is in the callers.
struct VoxelOut {
    std::span<float> fibre, gm, csf;
};

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

    // Field-free tables: every exponential once per vertex and volume, not per voxel.
    std::vector<double> fibre_tab, gm_tab, csf_tab, iso_tab;
    if (field == nullptr) {
        fibre_tab.resize(nvert * ngrad);
        for (std::size_t j = 0; j < nvert; ++j)
            for (std::size_t k = 0; k < ngrad; ++k) fibre_tab[j * ngrad + k] = fibre_kernel(vertices[j], q[k], p);
        gm_tab.resize(ngrad);
        csf_tab.resize(ngrad);
        iso_tab.resize(ngrad);
        for (std::size_t k = 0; k < ngrad; ++k) {
            gm_tab[k] = grey_matter(q[k], p);
            csf_tab[k] = csf_ball(q[k], p);
            iso_tab[k] = iso_fallback(dot(q[k], q[k]), d_iso, p);
        }
    }

    std::vector<float> fibre(nvox * ngrad, 0.0f), gm(nvox * ngrad, 0.0f), csf(nvox * ngrad, 0.0f);

    pool::for_each_block(nvox, [&](std::size_t begin, std::size_t end) {
        std::vector<std::pair<std::size_t, double>> pairs;  // (vertex, mass) with mass != 0
        pairs.reserve(nvert);
        std::vector<double> acc(ngrad);
        for (std::size_t vox = begin; vox < end; ++vox) {
            const float wm_v = mix.wm[vox], gm_v = mix.gm[vox], csf_v = mix.csf[vox];
            if (!(wm_v + gm_v + csf_v > 0.0f)) continue;  // outside the mask or no tissue
            const VoxelOut o{std::span(fibre).subspan(vox * ngrad, ngrad), std::span(gm).subspan(vox * ngrad, ngrad),
                             std::span(csf).subspan(vox * ngrad, ngrad)};

            pairs.clear();
            double w_sum = 0.0;
            const float* row = mix.odf.data() + vox * nvert;
            for (std::size_t j = 0; j < nvert; ++j)
                if (row[j] != 0.0f) {
                    pairs.push_back({j, static_cast<double>(row[j])});
                    w_sum += static_cast<double>(row[j]);
                }
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
                            for (const auto& [j, w] : pairs) s += w * fibre_kernel(vertices[j], q[k], pa);
                            f = s / w_sum;
                        } else {
                            f = iso_fallback(dot(q[k], q[k]), d_iso_adj, pa);
                        }
                        o.fibre[k] = static_cast<float>(wm_v * f);
                    }
                } else if (supported) {
                    // Vertex-major accumulation keeps the table reads contiguous; each volume's
                    // sum still runs in pair order.
                    std::fill(acc.begin(), acc.end(), 0.0);
                    for (const auto& [j, w] : pairs) {
                        const double* t = fibre_tab.data() + j * ngrad;
                        for (std::size_t k = 0; k < ngrad; ++k) acc[k] += w * t[k];
                    }
                    for (std::size_t k = 0; k < ngrad; ++k) o.fibre[k] = static_cast<float>(acc[k] / w_sum * wm_v);
                } else {
                    for (std::size_t k = 0; k < ngrad; ++k) o.fibre[k] = static_cast<float>(iso_tab[k] * wm_v);
                }
                for (std::size_t k = 0; k < ngrad; ++k) {
                    o.gm[k] = static_cast<float>(gm_tab[k] * gm_v);
                    o.csf[k] = static_cast<float>(csf_tab[k] * csf_v);
                }
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
                    for (const auto& [j, w] : pairs) s += w * fibre_kernel(vertices[j], qe, pa);
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
