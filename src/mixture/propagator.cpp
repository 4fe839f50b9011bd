// QTI, MAP-MRI, GQI and non-Gaussianity ground truth. Every compartment is a centred Gaussian,
// so each map is an exact mixture sum of Gaussian closed forms; in the non-Gaussianity the inner
// product of two Gaussian propagators is proportional to det(Σa + Σb)^(-1/2) and the common
// factors (diffusion time included) cancel.
#include <algorithm>
#include <cmath>
#include <numbers>

#include "mixture/microstructure.hpp"

namespace quorvel::microstructure {
namespace {

using std::numbers::pi;

double det3(const Mat3& m) {
    return m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
           m[2] * (m[3] * m[7] - m[4] * m[6]);
}

double det3_sum(const Mat3& a, const Mat3& b) {
    Mat3 s;
    for (std::size_t i = 0; i < 9; ++i) s[i] = a[i] + b[i];
    return det3(s);
}

// x'·M·y for a symmetric M.
double quad(const Mat3& m, const Vec3& x, const Vec3& y) {
    double s = 0.0;
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j = 0; j < 3; ++j) s += x[i] * m[i * 3 + j] * y[j];
    return s;
}

Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// Axially symmetric tensor perp·I + (par - perp)·n nᵀ.
Mat3 axial(double par, double perp, const Vec3& n) {
    Mat3 t;
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j = 0; j < 3; ++j) t[i * 3 + j] = (par - perp) * n[i] * n[j] + (i == j ? perp : 0.0);
    return t;
}

// sin of the angle between a Gaussian mixture and one Gaussian, from the three inner products
// <mix, mix> = s, <mix, g> = r and <g, g> = gg.
double sine_from_products(double s, double r, double gg) {
    if (!(s > 0.0)) return 0.0;
    return std::sqrt(std::fmax(0.0, 1.0 - r * r / (s * gg)));
}

// The variance u of the isotropic Gaussian closest to the one of eigenvalues l: the largest
// positive root of X³ + (s1/3)X² - (s2/3)X - s3 = 0.
double isotropic_variance(const std::array<double, 3>& l) {
    const double s1 = l[0] + l[1] + l[2];
    const double s2 = l[0] * l[1] + l[0] * l[2] + l[1] * l[2];
    const double s3 = l[0] * l[1] * l[2];
    const double c2 = s1 / 3.0, c1 = -s2 / 3.0, c0 = -s3;
    const double p = c1 - c2 * c2 / 3.0;
    const double q = 2.0 * c2 * c2 * c2 / 27.0 - c2 * c1 / 3.0 + c0;
    const double disc = (p / 3.0) * (p / 3.0) * (p / 3.0) + (q / 2.0) * (q / 2.0);
    std::array<double, 3> roots{};
    std::size_t nroots;
    if (disc <= 1e-300) {
        double r = std::sqrt(-p / 3.0);
        if (r <= 1e-300) r = 1e-300;
        double arg = 3.0 * q / (2.0 * p * r);
        arg = std::isnan(arg) ? -1.0 : std::clamp(arg, -1.0, 1.0);
        const double phi = std::acos(arg);
        for (std::size_t k = 0; k < 3; ++k)
            roots[k] = 2.0 * r * std::cos((phi + 2.0 * pi * static_cast<double>(k)) / 3.0) - c2 / 3.0;
        nroots = 3;
    } else {
        const double sd = std::sqrt(disc);
        roots[0] = std::cbrt(-q / 2.0 + sd) + std::cbrt(-q / 2.0 - sd) - c2 / 3.0;
        nroots = 1;
    }
    double best = 0.0;
    bool found = false;
    for (std::size_t k = 0; k < nroots; ++k) {
        double x = roots[k];
        const double f = ((c2 + x) * x + c1) * x + c0;
        const double fp = (3.0 * x + 2.0 * c2) * x + c1;
        if (std::abs(fp) > 1e-300) x -= f / fp;
        if (x > 0.0 && (!found || x > best)) {
            best = x;
            found = true;
        }
    }
    return found ? best : s1 / 3.0;
}

}  // namespace

std::array<double, 4> qti_scalars(const Mat3& mean, const Tensor4& cov) {
    auto s = [&](std::size_t i, std::size_t j, std::size_t k, std::size_t l) {
        return cov[((i * 3 + j) * 3 + k) * 3 + l] + mean[i * 3 + j] * mean[k * 3 + l];
    };
    auto c = [&](std::size_t i, std::size_t j, std::size_t k, std::size_t l) {
        return cov[((i * 3 + j) * 3 + k) * 3 + l];
    };
    double s_ijij = 0.0, s_iijj = 0.0, c_ijij = 0.0, c_iijj = 0.0, mean_sq = 0.0;
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j = 0; j < 3; ++j) {
            s_ijij += s(i, j, i, j);
            s_iijj += s(i, i, j, j);
            c_ijij += c(i, j, i, j);
            c_iijj += c(i, i, j, j);
            mean_sq += mean[i * 3 + j] * mean[i * 3 + j];
        }
    const double a = s_ijij / 3.0;  // mean squared compartment eigenvalue
    const double b = s_iijj / 9.0;  // mean squared compartment mean diffusivity
    const double v = 1.5 * (a - b) / a;
    const double micro_fa = v > 0.0 ? std::sqrt(v) : 0.0;
    const double md = (mean[0] + mean[4] + mean[8]) / 3.0;
    const double md2 = md * md;
    double coherence = 0.0;
    if (v > 1e-12) {
        const double cc = mean_sq / 3.0;
        coherence = std::fmin(std::fmax((1.5 * (cc - md2) / cc) / v, 0.0), 1.0);
    }
    const double v_bulk = c_iijj / 9.0;
    const double v_shear = c_ijij / 3.0 - v_bulk;
    return {micro_fa, coherence, 3.0 * v_bulk / md2, 1.2 * v_shear / md2};
}

std::array<double, 5> mapmri_scalars(const VoxelMixture& mix, const Mat3& mean, const Vec3& e1, double tau,
                                     double d_perp_floor) {
    const double di = mix.d_intra, dp = mix.d_perp, g = d_perp_floor;
    double si = 0.0, se = 0.0;
    for (double w : mix.intra) si += w;
    for (double w : mix.extra) se += w;

    // A compartment of zero weight contributes nothing even where its closed form is infinite (a
    // stationary soma, d = 0): an absent compartment must not turn the whole map into 0·∞ = NaN.
    double ball_rtop = 0.0, ball_rtap = 0.0, ball_rtpp = 0.0, ball_v = 0.0;
    for (const auto& [f, d] : mix.iso) {
        if (f == 0.0) continue;
        ball_rtop += f * std::pow(d, -1.5);
        ball_rtap += f / d;
        ball_rtpp += f / std::sqrt(d);
        ball_v += f * (3.0 / (2.0 * tau * d)) * std::pow(2.0 * pi * 2.0 * tau * d, -1.5);
    }

    const double four_pi_tau = 4.0 * pi * tau;
    const double rtop =
        std::pow(four_pi_tau, -1.5) * ((si == 0.0 ? 0.0 : si / std::sqrt(di * g * g)) +
                                       (se == 0.0 ? 0.0 : se / std::sqrt(di * dp * dp)) + ball_rtop);

    double axis = 0.0, plane = 0.0;
    const std::size_t nv = std::min({mix.intra.size(), mix.extra.size(), mix.vertices.size()});
    for (std::size_t j = 0; j < nv; ++j) {
        const double a = mix.intra[j], b = mix.extra[j];
        if (a == 0.0 && b == 0.0) continue;
        const Vec3& n = mix.vertices[j];
        const double c = n[0] * e1[0] + n[1] * e1[1] + n[2] * e1[2];
        const double c2 = c * c, s2 = 1.0 - c2;
        axis += (a == 0.0 ? 0.0 : a / std::sqrt(g * (g * c2 + di * s2))) +
                (b == 0.0 ? 0.0 : b / std::sqrt(dp * (dp * c2 + di * s2)));
        plane += (a == 0.0 ? 0.0 : a / std::sqrt(g * s2 + di * c2)) + (b == 0.0 ? 0.0 : b / std::sqrt(dp * s2 + di * c2));
    }
    const double rtap = (1.0 / four_pi_tau) * (axis + ball_rtap);
    const double rtpp = std::pow(four_pi_tau, -0.5) * (plane + ball_rtpp);
    const double msd = 2.0 * tau * (mean[0] + mean[4] + mean[8]);

    // Σ over Gaussians of (density at the origin) x (trace of the inverse displacement covariance).
    const double ti = 2.0 * tau * di, tg = 2.0 * tau * g, tp = 2.0 * tau * dp;
    const double sticks = si == 0.0 ? 0.0 : (1.0 / ti + 2.0 / tg) * si * std::pow(ti * tg * tg, -0.5);
    const double zeppelins = se == 0.0 ? 0.0 : (1.0 / ti + 2.0 / tp) * se * std::pow(ti * tp * tp, -0.5);
    const double v = std::pow(2.0 * pi, -1.5) * (sticks + zeppelins) + ball_v;
    const double qiv = 4.0 * pi * pi / v;
    return {rtop, rtap, rtpp, msd, qiv};
}

std::array<double, 2> gqi_scalars(const VoxelMixture& mix) {
    double si = 0.0, se = 0.0;
    for (double w : mix.intra) si += w;
    for (double w : mix.extra) se += w;
    const double phi = si + se;
    const std::size_t n = std::min(mix.intra.size(), mix.extra.size());
    const double nn = static_cast<double>(mix.vertices.size());
    double t = 0.0;
    for (std::size_t j = 0; j < n; ++j) t += mix.intra[j] + mix.extra[j];
    const double share = (1.0 - phi) / nn;
    auto psi = [&](std::size_t j) { return t > 0.0 ? (mix.intra[j] + mix.extra[j]) * phi / t + share : share; };

    double sum = 0.0, sum_sq = 0.0;
    double hi = -INFINITY, lo = INFINITY;
    for (std::size_t j = 0; j < n; ++j) {
        const double p = psi(j);
        sum += p;
        sum_sq += p * p;
        if (p > hi) hi = p;  // a NaN compares false and is skipped
        if (p < lo) lo = p;
    }
    const double mean = sum / nn;
    double var = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
        const double d = psi(j) - mean;
        var += d * d;
    }
    const double denom = (nn - 1.0) * sum_sq;
    const double gfa = denom > 0.0 ? std::sqrt(nn * var / denom) : 0.0;
    return {gfa, hi - lo};
}

std::array<double, 4> ng_pa_scalars(const VoxelMixture& mix, double ng_floor, std::size_t ng_top_k) {
    Workspace ws;
    return ng_pa_scalars(mix, ng_floor, ng_top_k, ws);
}

std::array<double, 4> ng_pa_scalars(const VoxelMixture& mix, double ng_floor, std::size_t ng_top_k, Workspace& ws) {
    const std::size_t n = std::min({mix.vertices.size(), mix.intra.size(), mix.extra.size()});
    auto key = [&](std::size_t j) { return mix.intra[j] + mix.extra[j]; };
    // Descending weight, equal weights in index order (what a stable sort gives); a NaN weight,
    // possible only with NaN parameters, ranks last and is then dropped as not positive.
    auto before = [&](std::size_t i, std::size_t j) {
        const double ki = key(i), kj = key(j);
        if (std::isnan(ki) || std::isnan(kj)) return std::isnan(ki) == std::isnan(kj) ? i < j : std::isnan(kj);
        return ki > kj || (ki == kj && i < j);
    };
    ws.order.resize(n);
    for (std::size_t j = 0; j < n; ++j) ws.order[j] = j;
    const std::size_t top = std::min(n, ng_top_k);
    std::partial_sort(ws.order.begin(), ws.order.begin() + static_cast<std::ptrdiff_t>(top), ws.order.end(), before);

    const double a = std::max(mix.d_intra, ng_floor), p = std::max(mix.d_perp, ng_floor), g = ng_floor;
    ws.weights.clear();
    ws.tensors.clear();
    auto add = [&](double w, const Mat3& t) {
        if (w > 1e-6) {
            ws.weights.push_back(w);
            ws.tensors.push_back(t);
        }
    };
    for (std::size_t r = 0; r < top; ++r) {
        const std::size_t j = ws.order[r];
        if (key(j) > 0.0) add(mix.intra[j], axial(a, g, mix.vertices[j]));
    }
    for (std::size_t r = 0; r < top; ++r) {
        const std::size_t j = ws.order[r];
        if (key(j) > 0.0) add(mix.extra[j], axial(a, p, mix.vertices[j]));
    }
    for (const auto& [f, d] : mix.iso) {
        const double dd = std::max(d, g);
        add(f, Mat3{dd, 0, 0, 0, dd, 0, 0, 0, dd});
    }

    const std::size_t nc = ws.weights.size();
    double total = 0.0;
    for (double w : ws.weights) total += w;
    for (double& w : ws.weights) w /= total;
    const auto& pi_k = ws.weights;
    const auto& t = ws.tensors;
    Mat3 tbar{};
    for (std::size_t k = 0; k < nc; ++k)
        for (std::size_t i = 0; i < 9; ++i) tbar[i] += pi_k[k] * t[k][i];

    // <mix, mix> over ordered pairs, summed as the diagonal plus twice the upper triangle.
    double s = 0.0, r = 0.0;
    for (std::size_t i = 0; i < nc; ++i) {
        double row = 0.0;
        for (std::size_t j = i + 1; j < nc; ++j) row += pi_k[j] / std::sqrt(det3_sum(t[i], t[j]));
        s += pi_k[i] * (pi_k[i] / std::sqrt(det3_sum(t[i], t[i])) + 2.0 * row);
        r += pi_k[i] / std::sqrt(det3_sum(t[i], tbar));
    }
    const double ng = sine_from_products(s, r, 1.0 / std::sqrt(det3_sum(tbar, tbar)));

    const Eigen3 eig = eigh3(tbar);
    const Vec3 e1 = {eig.vectors[0], eig.vectors[3], eig.vectors[6]};
    const double abar = quad(tbar, e1, e1);
    ws.along.resize(nc);
    for (std::size_t i = 0; i < nc; ++i) ws.along[i] = quad(t[i], e1, e1);
    const auto& al = ws.along;
    double spar = 0.0, rpar = 0.0;
    for (std::size_t i = 0; i < nc; ++i) {
        double row = 0.0;
        for (std::size_t j = i + 1; j < nc; ++j) row += pi_k[j] / std::sqrt(al[i] + al[j]);
        spar += pi_k[i] * (pi_k[i] / std::sqrt(al[i] + al[i]) + 2.0 * row);
        rpar += pi_k[i] / std::sqrt(al[i] + abar);
    }
    const double ngpar = sine_from_products(spar, rpar, 1.0 / std::sqrt(2.0 * abar));

    const Vec3 h = std::abs(e1[0]) < 0.9 ? Vec3{1, 0, 0} : Vec3{0, 1, 0};
    Vec3 u = cross(e1, h);
    const double ulen = std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
    u = ulen < 1e-12 ? Vec3{0, 0, 0} : Vec3{u[0] / ulen, u[1] / ulen, u[2] / ulen};
    const Vec3 v = cross(e1, u);
    auto plane = [&](const Mat3& m) { return std::array<double, 3>{quad(m, u, u), quad(m, u, v), quad(m, v, v)}; };
    auto det2_sum = [](const std::array<double, 3>& x, const std::array<double, 3>& y) {
        return (x[0] + y[0]) * (x[2] + y[2]) - (x[1] + y[1]) * (x[1] + y[1]);
    };
    const auto pbar = plane(tbar);
    ws.across.resize(nc);
    for (std::size_t i = 0; i < nc; ++i) ws.across[i] = plane(t[i]);
    const auto& ac = ws.across;
    double sperp = 0.0, rperp = 0.0;
    for (std::size_t i = 0; i < nc; ++i) {
        double row = 0.0;
        for (std::size_t j = i + 1; j < nc; ++j) row += pi_k[j] / std::sqrt(det2_sum(ac[i], ac[j]));
        sperp += pi_k[i] * (pi_k[i] / std::sqrt(det2_sum(ac[i], ac[i])) + 2.0 * row);
        rperp += pi_k[i] / std::sqrt(det2_sum(ac[i], pbar));
    }
    const double ngperp = nc == 0 ? 0.0 : sine_from_products(sperp, rperp, 1.0 / std::sqrt(det2_sum(pbar, pbar)));

    const double uiso = isotropic_variance(eig.values);
    const Mat3 shifted = {tbar[0] + uiso, tbar[1], tbar[2], tbar[3], tbar[4] + uiso,
                          tbar[5], tbar[6], tbar[7], tbar[8] + uiso};
    const double two_u = 2.0 * uiso;
    const double pa = std::sqrt(std::fmax(
        0.0, 1.0 - (1.0 / det3(shifted)) /
                       ((1.0 / std::sqrt(two_u * two_u * two_u)) * (1.0 / std::sqrt(det3_sum(tbar, tbar))))));
    return {ng, ngpar, ngperp, pa};
}

}  // namespace quorvel::microstructure
