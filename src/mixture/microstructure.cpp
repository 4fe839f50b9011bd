#include "mixture/microstructure.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/error.hpp"
#include "core/pool.hpp"

namespace quorvel::microstructure {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The 15 distinct entries of a fully symmetric fourth-order tensor on 3 axes, as powers
// (x, y, z) of the monomial x^a y^b z^c; kSym4[i] is the distinct entry of flat index i.
constexpr std::array<std::array<int, 3>, 15> kPowers4 = {{
    {4, 0, 0}, {0, 4, 0}, {0, 0, 4}, {3, 1, 0}, {3, 0, 1}, {1, 3, 0}, {0, 3, 1}, {1, 0, 3},
    {0, 1, 3}, {2, 2, 0}, {2, 0, 2}, {0, 2, 2}, {2, 1, 1}, {1, 2, 1}, {1, 1, 2},
}};

constexpr std::array<std::size_t, 81> make_sym4() {
    std::array<std::size_t, 81> out{};
    for (std::size_t flat = 0; flat < 81; ++flat) {
        std::array<int, 3> pw{0, 0, 0};
        std::size_t f = flat;
        for (int d = 0; d < 4; ++d) {
            ++pw[f % 3];
            f /= 3;
        }
        for (std::size_t q = 0; q < kPowers4.size(); ++q)
            if (kPowers4[q] == pw) out[flat] = q;
    }
    return out;
}
constexpr std::array<std::size_t, 81> kSym4 = make_sym4();

// The 6 distinct entries of a symmetric 3x3 matrix: xx yy zz xy xz yz.
constexpr std::array<std::size_t, 9> kSym2 = {0, 3, 4, 3, 1, 5, 4, 5, 2};

constexpr double delta(std::size_t i, std::size_t j) { return i == j ? 1.0 : 0.0; }

}  // namespace

CompartmentParams myelin_blend(const CompartmentParams& p, double m) {
    const CompartmentParams adult = adult_params();
    CompartmentParams e = p;
    e.intra_frac = p.intra_frac + (adult.intra_frac - p.intra_frac) * m;
    e.extra_frac = p.extra_frac + (adult.extra_frac - p.extra_frac) * m;
    e.d_intra = p.d_intra + (adult.d_intra - p.d_intra) * m;
    for (std::size_t k = 0; k < 3; ++k) e.d_extra[k] = p.d_extra[k] + (adult.d_extra[k] - p.d_extra[k]) * m;
    return e;
}

namespace {

void fill_iso(VoxelMixture& out, double gm, double csf, const CompartmentParams& p) {
    const double r = p.gm_restricted_frac;
    out.iso.clear();
    out.iso.push_back({(1.0 - r) * gm, p.d_gm});
    out.iso.push_back({r * gm, p.d_soma});
    out.iso.push_back({csf, p.d_csf});
}

// White matter without orientation support is modelled as a ball of the mean zeppelin eigenvalue.
void add_fallback_ball(VoxelMixture& out, double wm, const CompartmentParams& p) {
    out.iso.push_back({wm, (p.d_extra[0] + p.d_extra[1] + p.d_extra[2]) / 3.0});
}

}  // namespace

double mixture_from_field(const mixture::MixtureField& field, std::size_t v, VoxelMixture& out) {
    const std::size_t n = field.nvert();
    QV_ASSERT(v < field.nvox() && field.odf.size() == field.nvox() * n,
              "voxel index within the field and an odf of nvox*nvert values");
    const double m = field.myelin ? static_cast<double>((*field.myelin)[v]) : 0.0;
    const CompartmentParams p = myelin_blend(field.params, m);
    const double wm = field.wm[v], gm = field.gm[v], csf = field.csf[v];

    out.vertices.assign(field.sphere.vertices.begin(), field.sphere.vertices.end());
    out.intra.assign(n, 0.0);
    out.extra.assign(n, 0.0);
    fill_iso(out, gm, csf, p);

    const float* row = field.odf.data() + v * n;
    double s = 0.0;
    for (std::size_t j = 0; j < n; ++j) s += static_cast<double>(row[j]);
    if (s <= 1e-12 || field.fallback[v] != 0) {
        add_fallback_ball(out, wm, p);
    } else {
        const double a = p.intra_frac * wm, b = p.extra_frac * wm;
        for (std::size_t j = 0; j < n; ++j) {
            const double q = static_cast<double>(row[j]) / s;
            out.intra[j] = a * q;
            out.extra[j] = q * b;
        }
    }
    out.d_intra = p.d_intra;
    out.d_perp = p.d_extra[1];
    return p.intra_frac;
}

VoxelMixture mixture_from_directions(const std::vector<Vec3>& dirs, const std::vector<double>& weights, double wm,
                                     double gm, double csf, const CompartmentParams& p) {
    QV_ASSERT(dirs.size() == weights.size(), "one weight per direction");
    const std::size_t n = dirs.size();
    VoxelMixture out;
    out.vertices.reserve(n);
    for (const Vec3& d : dirs) {
        const double len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
        out.vertices.push_back(len < 1e-12 ? Vec3{0.0, 0.0, 0.0} : Vec3{d[0] / len, d[1] / len, d[2] / len});
    }
    out.intra.assign(n, 0.0);
    out.extra.assign(n, 0.0);
    fill_iso(out, gm, csf, p);
    double total = 0.0;
    for (double w : weights) total += w;
    if (total <= 1e-12) {
        add_fallback_ball(out, wm, p);
    } else {
        const double a = p.intra_frac * wm, b = p.extra_frac * wm;
        for (std::size_t i = 0; i < n; ++i) {
            const double q = weights[i] / total;
            out.intra[i] = a * q;
            out.extra[i] = q * b;
        }
    }
    out.d_intra = p.d_intra;
    out.d_perp = p.d_extra[1];
    return out;
}

Moments moments(const VoxelMixture& mix) {
    // n⊗n and n⊗n⊗n⊗n are fully symmetric: accumulate their 6 and 15 distinct entries only.
    std::array<double, 6> a2{}, b2{};
    std::array<double, 15> a4{}, b4{};
    double we = 0.0;
    const std::size_t nv = std::min({mix.vertices.size(), mix.intra.size(), mix.extra.size()});
    for (std::size_t j = 0; j < nv; ++j) {
        const double a = mix.intra[j], b = mix.extra[j];
        if (a == 0.0 && b == 0.0) continue;
        const auto [x, y, z] = mix.vertices[j];
        const std::array<double, 6> p2 = {x * x, y * y, z * z, x * y, x * z, y * z};
        const std::array<double, 15> p4 = {
            p2[0] * p2[0], p2[1] * p2[1], p2[2] * p2[2], p2[0] * p2[3], p2[0] * p2[4],
            p2[1] * p2[3], p2[1] * p2[5], p2[2] * p2[4], p2[2] * p2[5], p2[0] * p2[1],
            p2[0] * p2[2], p2[1] * p2[2], p2[0] * p2[5], p2[1] * p2[4], p2[2] * p2[3],
        };
        for (std::size_t q = 0; q < 6; ++q) {
            a2[q] += a * p2[q];
            b2[q] += b * p2[q];
        }
        for (std::size_t q = 0; q < 15; ++q) {
            a4[q] += a * p4[q];
            b4[q] += b * p4[q];
        }
        we += b;
    }
    double s1 = 0.0, s2 = 0.0;
    for (const auto& [f, d] : mix.iso) {
        s1 += f * d;
        s2 += f * d * d;
    }

    const double di = mix.d_intra, dp = mix.d_perp, dd = di - dp;
    Moments out;
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j = 0; j < 3; ++j) {
            const std::size_t q = kSym2[i * 3 + j];
            out.mean[i * 3 + j] = di * a2[q] + dd * b2[q] + delta(i, j) * (dp * we + s1);
        }
    const double iso2 = dp * dp * we + s2;
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j = 0; j < 3; ++j)
            for (std::size_t k = 0; k < 3; ++k)
                for (std::size_t l = 0; l < 3; ++l) {
                    const std::size_t flat = ((i * 3 + j) * 3 + k) * 3 + l;
                    const std::size_t q = kSym4[flat];
                    const double b2ij = b2[kSym2[i * 3 + j]], b2kl = b2[kSym2[k * 3 + l]];
                    const double m = di * di * a4[q] + dd * dd * b4[q] +
                                     dp * dd * (delta(i, j) * b2kl + b2ij * delta(k, l)) +
                                     delta(i, j) * delta(k, l) * iso2;
                    out.cov[flat] = m - out.mean[i * 3 + j] * out.mean[k * 3 + l];
                }
    return out;
}

Eigen3 eigh3(const Mat3& input) {
    Eigen3 nan_result;
    nan_result.values.fill(kNaN);
    nan_result.vectors.fill(kNaN);
    // A non-finite entry would turn every rotation into NaN and leave the ordering undefined:
    // report the whole decomposition as NaN instead.
    for (double x : input)
        if (!std::isfinite(x)) return nan_result;

    Mat3 a = input;
    Mat3 v = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    constexpr std::array<std::array<std::size_t, 2>, 3> kPairs = {{{0, 1}, {0, 2}, {1, 2}}};
    for (int sweep = 0; sweep < 64; ++sweep) {
        const double off = a[1] * a[1] + a[2] * a[2] + a[5] * a[5];
        if (off < 1e-30) break;
        for (const auto& [p, q] : kPairs) {
            const double apq = a[p * 3 + q];
            if (std::abs(apq) < 1e-300) continue;
            const double theta = (a[q * 3 + q] - a[p * 3 + p]) / (2.0 * apq);
            // sign(θ) keeps the sign of a zero (θ = -0 rotates by -45°); either choice zeroes a_pq.
            const double sign = std::isnan(theta) ? kNaN : std::copysign(1.0, theta);
            const double t = sign / (std::abs(theta) + std::sqrt(theta * theta + 1.0));
            const double c = 1.0 / std::sqrt(t * t + 1.0);
            const double s = t * c;
            for (std::size_t k = 0; k < 3; ++k) {
                const double akp = a[k * 3 + p], akq = a[k * 3 + q];
                a[k * 3 + p] = c * akp - s * akq;
                a[k * 3 + q] = s * akp + c * akq;
            }
            for (std::size_t k = 0; k < 3; ++k) {
                const double apk = a[p * 3 + k], aqk = a[q * 3 + k];
                a[p * 3 + k] = c * apk - s * aqk;
                a[q * 3 + k] = s * apk + c * aqk;
            }
            for (std::size_t k = 0; k < 3; ++k) {
                const double vkp = v[k * 3 + p], vkq = v[k * 3 + q];
                v[k * 3 + p] = c * vkp - s * vkq;
                v[k * 3 + q] = s * vkp + c * vkq;
            }
        }
    }
    const std::array<double, 3> diag = {a[0], a[4], a[8]};
    for (double d : diag)
        if (!std::isfinite(d)) return nan_result;  // overflow inside the rotations

    // Stable insertion sort, largest first: equal eigenvalues keep their index order.
    std::array<std::size_t, 3> idx = {0, 1, 2};
    for (std::size_t i = 1; i < 3; ++i)
        for (std::size_t j = i; j > 0 && diag[idx[j]] > diag[idx[j - 1]]; --j) std::swap(idx[j], idx[j - 1]);
    Eigen3 out;
    for (std::size_t c = 0; c < 3; ++c) {
        out.values[c] = diag[idx[c]];
        for (std::size_t k = 0; k < 3; ++k) out.vectors[k * 3 + c] = v[k * 3 + idx[c]];
    }
    return out;
}

double w_rotated(const Tensor4& w, const Mat3& r, int i, int j, int k, int l) {
    double sum = 0.0;
    for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) {
            const double rab = r[a * 3 + i] * r[b * 3 + j];
            for (int c = 0; c < 3; ++c) {
                const double rabc = rab * r[c * 3 + k];
                for (int d = 0; d < 3; ++d) sum += w[((a * 3 + b) * 3 + c) * 3 + d] * rabc * r[d * 3 + l];
            }
        }
    return sum;
}

std::array<double, kNumVoxelScalars> voxel_scalars(const VoxelMixture& mix, const ScalarOptions& opt) {
    Workspace ws;
    return voxel_scalars(mix, opt, ws);
}

std::array<double, kNumVoxelScalars> voxel_scalars(const VoxelMixture& mix, const ScalarOptions& opt,
                                                   Workspace& ws) {
    const Moments m = moments(mix);
    const DkiScalars dki = dki_scalars(m.mean, m.cov);
    const std::array<double, 4> qti = qti_scalars(m.mean, m.cov);
    const Eigen3 eig = eigh3(m.mean);
    const Vec3 e1 = {eig.vectors[0], eig.vectors[3], eig.vectors[6]};
    const std::array<double, 5> map = mapmri_scalars(mix, m.mean, e1, opt.tau, opt.d_perp_floor);
    const std::array<double, 4> ng = ng_pa_scalars(mix, opt.ng_floor, opt.ng_top_k, ws);
    const std::array<double, 2> gqi = gqi_scalars(mix);
    return {dki.fa,   dki.md,   dki.rd,   dki.ad,    dki.ak,     dki.rk,     dki.mk, dki.mkt,
            dki.kfa,  qti[0],   qti[1],   qti[2],    qti[3],     map[0],     map[1], map[2],
            map[3],   map[4],   ng[0],    ng[1],     ng[2],      ng[3],      gqi[0], gqi[1]};
}

std::array<std::vector<float>, kNumScalars> field_scalars(const mixture::MixtureField& field,
                                                          const ScalarOptions& opt) {
    const std::size_t nvox = field.nvox();
    QV_ASSERT(field.wm.size() == nvox && field.gm.size() == nvox && field.csf.size() == nvox &&
                  field.fallback.size() == nvox && field.odf.size() == nvox * field.nvert() &&
                  (!field.myelin || field.myelin->size() == nvox),
              "mixture field lists of nvox (odf: nvox*nvert) values");
    std::array<std::vector<float>, kNumScalars> maps;
    for (auto& m : maps) m.assign(nvox, 0.0f);
    // Each voxel writes only its own index of every map, so the result does not depend on how
    // the voxels are split into blocks or on the thread count.
    pool::for_each_block(nvox, [&](std::size_t begin, std::size_t end) {
        Workspace ws;
        for (std::size_t v = begin; v < end; ++v) {
            if (!((field.wm[v] + field.gm[v]) + field.csf[v] > 0.0f)) continue;
            const double intra_frac = mixture_from_field(field, v, ws.mixture);
            const auto values = voxel_scalars(ws.mixture, opt, ws);
            const auto noddi = noddi_fractions(ws.mixture, field.wm[v], field.gm[v], field.csf[v], intra_frac);
            for (std::size_t s = 0; s < kNumVoxelScalars; ++s) maps[s][v] = static_cast<float>(values[s]);
            for (std::size_t s = 0; s < 3; ++s) maps[kNumVoxelScalars + s][v] = static_cast<float>(noddi[s]);
        }
    });
    return maps;
}

std::array<double, kNumScalars> voxel_truth(const std::vector<Vec3>& dirs, const std::vector<double>& weights,
                                            double wm, double gm, double csf, const CompartmentParams& p,
                                            const ScalarOptions& opt) {
    QV_ASSERT(dirs.size() == weights.size(), "one weight per direction");
    const double s = wm + gm + csf;
    // A NaN sum is not positive either.
    if (!(s > 0.0)) throw InvalidInput("fractions must sum to a positive value");
    wm /= s;
    gm /= s;
    csf /= s;
    const VoxelMixture mix = mixture_from_directions(dirs, weights, wm, gm, csf, p);
    const auto values = voxel_scalars(mix, opt);
    const auto noddi = noddi_fractions(mix, wm, gm, csf, p.intra_frac);
    std::array<double, kNumScalars> out{};
    std::copy(values.begin(), values.end(), out.begin());
    std::copy(noddi.begin(), noddi.end(), out.begin() + kNumVoxelScalars);
    return out;
}

}  // namespace quorvel::microstructure
