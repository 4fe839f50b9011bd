#include "acquisition/recon.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>

#include "acquisition/coil.hpp"
#include "core/error.hpp"
#include "core/fft.hpp"

namespace quorvel::kspace {
namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
// Tikhonov term on the GRAPPA normal equations: keeps them regular when calibration is thin.
constexpr double kGrappaLambda = 0.0001;
constexpr double kTinyPivot = 1e-18;

std::size_t mod_euclid(std::ptrdiff_t a, std::size_t n) {
    const auto m = static_cast<std::ptrdiff_t>(n);
    return static_cast<std::size_t>(((a % m) + m) % m);
}

// max that ignores a NaN operand, as the window and combination formulas expect.
double max_ignoring_nan(double a, double b) { return std::isnan(a) ? b : (std::isnan(b) ? a : std::max(a, b)); }

// The centred 2-D transform with its pre- and post-modulation tables, built once per slice and
// shared by every coil.
class Centred2d {
public:
    Centred2d(std::size_t nx, std::size_t ny)
        : nx_(nx), ny_(ny), pre_(nx * ny), post_(nx * ny), column_(ny),
          row_plan_(fft::plan(nx, fft::Direction::Forward)), col_plan_(fft::plan(ny, fft::Direction::Forward)) {
        const double nxd = static_cast<double>(nx), nyd = static_cast<double>(ny);
        const double hx = static_cast<double>(nx / 2), hy = static_cast<double>(ny / 2);
        const double centre = kTwoPi * (hx * hx / nxd + hy * hy / nyd);
        for (std::size_t y = 0; y < ny; ++y)
            for (std::size_t x = 0; x < nx; ++x) {
                const double xd = static_cast<double>(x), yd = static_cast<double>(y);
                const double lin = kTwoPi * (xd * hx / nxd + yd * hy / nyd);
                pre_[x + nx * y] = cis(lin);
                post_[x + nx * y] = cis(lin - centre);
            }
    }

    std::vector<C> operator()(std::vector<C> a) {
        QV_ASSERT(a.size() == nx_ * ny_, "inverse 2-D FFT: k-space is not nx*ny");
        for (std::size_t i = 0; i < a.size(); ++i) a[i] *= pre_[i];
        for (std::size_t y = 0; y < ny_; ++y) row_plan_->execute(std::span<C>(a).subspan(y * nx_, nx_));
        for (std::size_t x = 0; x < nx_; ++x) {
            for (std::size_t y = 0; y < ny_; ++y) column_[y] = a[x + nx_ * y];
            col_plan_->execute(column_);
            for (std::size_t y = 0; y < ny_; ++y) a[x + nx_ * y] = column_[y];
        }
        for (std::size_t i = 0; i < a.size(); ++i) a[i] *= post_[i];
        return a;
    }

private:
    std::size_t nx_, ny_;
    std::vector<C> pre_, post_, column_;
    std::shared_ptr<const fft::Plan> row_plan_, col_plan_;
};

// solve_hermitian for several right-hand sides of one n x n matrix, eliminated once.
std::vector<std::vector<C>> solve_all(std::size_t n, std::vector<C> a, std::vector<std::vector<C>> bs) {
    QV_ASSERT(a.size() == n * n, "solve_hermitian: the matrix must be n x n for n right-hand values");
    for (const auto& b : bs) QV_ASSERT(b.size() == n, "solve_hermitian: the matrix must be n x n for n right-hand values");
    auto at = [&](std::size_t i, std::size_t j) -> C& { return a[i * n + j]; };
    // The pivots and multipliers depend on a alone, so every right-hand side sees exactly the
    // operations a separate elimination would apply to it.
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t p = k;
        double best = abs(at(k, k));
        for (std::size_t i = k + 1; i < n; ++i) {
            const double m = abs(at(i, k));
            if (m > best) {
                best = m;
                p = i;
            }
        }
        if (p != k) {
            std::swap_ranges(a.begin() + static_cast<std::ptrdiff_t>(k * n),
                             a.begin() + static_cast<std::ptrdiff_t>((k + 1) * n),
                             a.begin() + static_cast<std::ptrdiff_t>(p * n));
            for (auto& b : bs) std::swap(b[k], b[p]);
        }
        const C piv = at(k, k);
        const double d = norm(piv);
        const C inv = d >= kTinyPivot ? C{piv.re / d, -piv.im / d} : C{};
        for (std::size_t i = k + 1; i < n; ++i) {
            const C f = at(i, k) * inv;
            for (std::size_t j = k; j < n; ++j) at(i, j) -= f * at(k, j);
            for (auto& b : bs) b[i] -= f * b[k];
        }
    }
    std::vector<std::vector<C>> xs(bs.size(), std::vector<C>(n));
    for (std::size_t r = 0; r < bs.size(); ++r) {
        const std::vector<C>& b = bs[r];
        std::vector<C>& x = xs[r];
        for (std::size_t i = n; i-- > 0;) {
            C sum{};
            for (std::size_t j = i + 1; j < n; ++j) sum += at(i, j) * x[j];
            const C t = b[i] - sum;
            const C piv = at(i, i);
            const double d = norm(piv);
            if (d >= kTinyPivot) {
                const C num = t * conj(piv);
                x[i] = C{num.re / d, num.im / d};
            }
        }
    }
    return xs;
}

}  // namespace

std::vector<C> solve_hermitian(std::vector<C> a, std::vector<C> b) {
    const std::size_t n = b.size();
    std::vector<std::vector<C>> bs;
    bs.push_back(std::move(b));
    return std::move(solve_all(n, std::move(a), std::move(bs)).front());
}

void grappa_reconstruct(std::vector<std::vector<C>>& ks, std::size_t nx, std::size_t ny, std::size_t accel,
                        std::size_t acs_lines) {
    const std::size_t nc = ks.size();
    const std::size_t r_fold = accel;
    // Source rows are R lines apart: from R = ny on no pair fits in the matrix, so nothing is
    // calibrated or filled, however large R is.
    if (r_fold < 2 || r_fold >= ny || nc == 0 || nx == 0) return;
    for (const auto& k : ks) QV_ASSERT(k.size() == nx * ny, "grappa: coil k-space is not nx*ny");
    const auto hy = static_cast<std::ptrdiff_t>(ny / 2);
    // A band wider than the matrix covers the matrix; the clamp keeps hy + half from overflowing.
    const auto half = static_cast<std::ptrdiff_t>(std::min(acs_lines / 2, ny));
    const std::ptrdiff_t lo = std::max<std::ptrdiff_t>(hy - half, 0);
    const std::ptrdiff_t hi = std::min<std::ptrdiff_t>(hy + half, static_cast<std::ptrdiff_t>(ny) - 1);
    const auto rr = static_cast<std::ptrdiff_t>(r_fold);
    const std::size_t n_src = 6 * nc;

    std::vector<C> src(n_src);
    // The 2x3 neighbourhood in every coil: rows r0 and r0 + R, columns kx - 1, kx, kx + 1 (wrapped).
    auto sources = [&](std::size_t r0, std::size_t kx) {
        for (std::size_t q = 0; q < 2; ++q) {
            const std::size_t row = r0 + q * r_fold;
            for (std::size_t j = 0; j < 3; ++j) {
                const std::size_t col = mod_euclid(static_cast<std::ptrdiff_t>(kx + j) - 1, nx);
                for (std::size_t t = 0; t < nc; ++t) src[(3 * q + j) * nc + t] = ks[t][row * nx + col];
            }
        }
    };

    std::vector<C> a(n_src * n_src);
    std::vector<std::vector<C>> b(nc, std::vector<C>(n_src));
    std::vector<std::vector<C>> w;
    for (std::size_t d = 1; d < r_fold; ++d) {
        std::fill(a.begin(), a.end(), C{});
        for (auto& bt : b) std::fill(bt.begin(), bt.end(), C{});
        for (std::ptrdiff_t r = lo; r + rr <= hi; ++r) {
            const auto ru = static_cast<std::size_t>(r);
            for (std::size_t kx = 0; kx < nx; ++kx) {
                sources(ru, kx);
                // conj(s_j)*s_i is exactly the conjugate of conj(s_i)*s_j, so the upper triangle
                // is accumulated and mirrored.
                for (std::size_t i = 0; i < n_src; ++i) {
                    const C ci = conj(src[i]);
                    for (std::size_t j = i; j < n_src; ++j) a[i * n_src + j] += ci * src[j];
                }
                for (std::size_t t = 0; t < nc; ++t) {
                    const C target = ks[t][(ru + d) * nx + kx];
                    for (std::size_t i = 0; i < n_src; ++i) b[t][i] += conj(src[i]) * target;
                }
            }
        }
        for (std::size_t i = 0; i < n_src; ++i)
            for (std::size_t j = 0; j < i; ++j) a[i * n_src + j] = conj(a[j * n_src + i]);
        for (std::size_t i = 0; i < n_src; ++i) a[i * n_src + i].re += kGrappaLambda;
        w = solve_all(n_src, a, b);

        const auto dd = static_cast<std::ptrdiff_t>(d);
        for (std::size_t ky = 0; ky < ny; ++ky) {
            const auto k = static_cast<std::ptrdiff_t>(ky);
            if (mod_euclid(k - hy, r_fold) != d || k < dd || std::abs(k - hy) <= half ||
                ky - d + r_fold >= ny)
                continue;
            const std::size_t r0 = ky - d;
            for (std::size_t kx = 0; kx < nx; ++kx) {
                sources(r0, kx);
                for (std::size_t t = 0; t < nc; ++t) {
                    C sum{};
                    for (std::size_t i = 0; i < n_src; ++i) sum += w[t][i] * src[i];
                    ks[t][ky * nx + kx] = sum;
                }
            }
        }
    }
}

double window_weight(const KspaceWindow& w, double rho) {
    switch (w.kind) {
        case KspaceWindow::Kind::None:
            return 1.0;
        case KspaceWindow::Kind::Tukey: {
            const double a = w.a < 0.0 ? 0.0 : (w.a > 1.0 ? 1.0 : w.a);
            if (rho <= 1.0 - a) return 1.0;
            if (rho >= 1.0) return 0.0;
            return 0.5 * (1.0 + std::cos(std::numbers::pi * (rho - (1.0 - a)) / max_ignoring_nan(a, 1e-12)));
        }
        case KspaceWindow::Kind::Hann:
            return rho < 1.0 ? 0.5 * (1.0 + std::cos(std::numbers::pi * rho)) : 0.0;
        case KspaceWindow::Kind::Fermi: {
            const double width = w.w > 1e-12 ? w.w : 1e-12;
            return 1.0 / (1.0 + std::exp((rho - w.r) / width));
        }
    }
    return 1.0;
}

std::vector<C> inverse_2d_fft(std::vector<C> k, std::size_t nx, std::size_t ny) {
    if (nx == 0 || ny == 0) return k;
    Centred2d transform(nx, ny);
    return transform(std::move(k));
}

std::vector<std::vector<double>> coil_sensitivities(std::size_t nx, std::size_t ny, std::size_t nc) {
    nc = std::max<std::size_t>(nc, 1);
    std::vector<std::vector<double>> maps(nc, std::vector<double>(nx * ny, 1.0));
    if (nc < 2) return maps;
    const double r = static_cast<double>(std::max(nx, ny));
    const double two_sigma2 = 2.0 * ((0.9 * r) * (0.9 * r));
    for (std::size_t c = 0; c < nc; ++c) {
        const double theta = kTwoPi * static_cast<double>(c) / static_cast<double>(nc);
        const double X = static_cast<double>(nx) / 2.0 + 0.6 * r * std::cos(theta);
        const double Y = static_cast<double>(ny) / 2.0 + 0.6 * r * std::sin(theta);
        for (std::size_t y = 0; y < ny; ++y)
            for (std::size_t x = 0; x < nx; ++x) {
                const double dx = static_cast<double>(x) - X, dy = static_cast<double>(y) - Y;
                maps[c][x + nx * y] = std::exp(-(dx * dx + dy * dy) / two_sigma2) + 0.15;
            }
    }
    return maps;
}

SliceRecon simulate_slice_full(const SliceInput& in, const Acquisition& acq, bool keep_acquired,
                               bool keep_reconstructed, bool keep_coil_images) {
    const std::size_t nx = in.nx, ny = in.ny;
    const std::size_t nc = std::max<std::size_t>(acq.n_coils, 1);
    SliceRecon rec;
    rec.nx = nx;
    rec.ny = ny;
    rec.n_coils = nc;

    std::vector<std::vector<C>> ks(nc);
    for (std::size_t c = 0; c < nc; ++c) ks[c] = build_coil_kspace(in, acq, c, nc);
    if (keep_acquired) rec.acquired = ks;
    if (acq.accel >= 2) grappa_reconstruct(ks, nx, ny, acq.accel, acq.acs_lines);
    if (acq.window.kind != KspaceWindow::Kind::None) {
        std::vector<double> weight(nx * ny);
        const double hx = static_cast<double>(nx / 2), hy = static_cast<double>(ny / 2);
        for (std::size_t ky = 0; ky < ny; ++ky)
            for (std::size_t kx = 0; kx < nx; ++kx) {
                const double u = (static_cast<double>(kx) - hx) / static_cast<double>(nx);
                const double v = (static_cast<double>(ky) - hy) / static_cast<double>(ny);
                weight[ky * nx + kx] = window_weight(acq.window, 2.0 * std::sqrt(u * u + v * v));
            }
        for (auto& k : ks)
            for (std::size_t i = 0; i < k.size(); ++i) k[i] *= weight[i];
    }
    if (keep_reconstructed) rec.reconstructed = ks;

    std::vector<std::vector<double>> sens = coil_sensitivities(nx, ny, nc);
    std::vector<C> num(nx * ny);
    std::vector<double> den(nx * ny, 0.0);
    if (keep_coil_images) rec.coil_images.emplace();
    Centred2d transform(nx, ny);
    for (std::size_t c = 0; c < nc; ++c) {
        std::vector<C> img = transform(std::move(ks[c]));
        const std::vector<double>& s = sens[c];
        for (std::size_t i = 0; i < img.size(); ++i) {
            num[i] += s[i] * img[i];
            den[i] += s[i] * s[i];
        }
        if (keep_coil_images) rec.coil_images->push_back(std::move(img));
    }
    // The sensitivities are real, so this is sum(conj(s)*I) / sum(|s|^2).
    rec.combined.resize(nx * ny);
    for (std::size_t i = 0; i < nx * ny; ++i) {
        const double d = max_ignoring_nan(den[i], 1e-12);
        rec.combined[i] = C{num[i].re / d, num[i].im / d};
    }
    rec.mask = sampling_mask(nx, ny, acq);
    rec.sensitivities = std::move(sens);
    return rec;
}

}  // namespace quorvel::kspace
