#include "acquisition/nufft.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "core/error.hpp"

namespace quorvel::nufft {
namespace {

constexpr std::size_t kMinWidth = 2;
constexpr std::size_t kMaxWidth = 16;

// Kernel width for a relative tolerance: about one grid point per decimal digit, plus one.
// A tolerance that is not positive (or NaN) asks for more than any width gives: take the widest.
std::size_t width_for(double tol) {
    if (!(tol > 0.0)) return kMaxWidth;
    const double w = std::ceil(-std::log10(tol)) + 1.0;
    if (!(w > static_cast<double>(kMinWidth))) return kMinWidth;
    if (w > static_cast<double>(kMaxWidth)) return kMaxWidth;
    return static_cast<std::size_t>(w);
}

// The "exponential of semicircle" kernel; phi(0) = 1, zero from |z| = 1 on.
inline double phi(double z, double beta) {
    return std::fabs(z) < 1.0 ? std::exp(beta * (std::sqrt(1.0 - z * z) - 1.0)) : 0.0;
}

// i reduced into [0, n).
inline std::size_t wrap(std::ptrdiff_t i, std::ptrdiff_t n) {
    const std::ptrdiff_t r = i % n;
    return static_cast<std::size_t>(r < 0 ? r + n : r);
}

// floor(v) as a signed integer; NaN gives 0, values beyond the range saturate.
inline std::ptrdiff_t floor_index(double v) {
    const double f = std::floor(v);
    if (!(f == f)) return 0;
    constexpr double lim = 9.0e18;
    if (f >= lim) return static_cast<std::ptrdiff_t>(lim);
    if (f <= -lim) return -static_cast<std::ptrdiff_t>(lim);
    return static_cast<std::ptrdiff_t>(f);
}

}  // namespace

Nufft1::Nufft1(std::size_t n, std::ptrdiff_t k0, std::size_t m, double tol)
    : grid_len_(2 * n), width_(width_for(tol)), beta_(2.3 * static_cast<double>(width_)), k0_(k0), m_(m) {
    const auto sn = static_cast<std::ptrdiff_t>(n);
    // Both bounds truncate toward zero, so an odd n keeps its band symmetric.
    if (m == 0 || k0 < -sn / 2 || k0 + static_cast<std::ptrdiff_t>(m) - 1 > sn / 2)
        throw InvalidInput("output band must sit inside the coarse Nyquist band");
    QV_ASSERT(n >= 1, "nufft: the period n must be at least 1");
    fft_ = fft::plan(grid_len_, fft::Direction::Inverse);

    // Deconvolution by the kernel's own discrete transform on the fine grid (the points a
    // sample at 0 spreads onto), so a sample on a grid point is reproduced to rounding.
    const double half = static_cast<double>(width_) / 2.0;
    const double two_n = static_cast<double>(grid_len_);
    corr_.resize(m);
    for (std::size_t k = 0; k < m; ++k) {
        const double q = static_cast<double>(k0 + static_cast<std::ptrdiff_t>(k));
        double d = phi(0.0, beta_);
        for (std::size_t j = 1; static_cast<double>(j) < half; ++j) {
            const double fj = static_cast<double>(j);
            d += 2.0 * phi(fj / half, beta_) * std::cos((q * (2.0 * std::numbers::pi) * fj) / two_n);
        }
        corr_[k] = 1.0 / d;
    }
    kernel_.assign(width_, 0.0);
}

void Nufft1::run(std::span<const double> positions, std::span<const ChannelIn> inputs,
                 std::span<ChannelOut> outputs) {
    QV_ASSERT(outputs.size() == inputs.size(), "nufft: one output pair per input channel expected");
    const std::size_t nch = inputs.size();
    const std::size_t ns = positions.size();
    for (const ChannelIn& in : inputs)
        QV_ASSERT(in.re.size() >= ns && in.im.size() >= ns, "nufft: an input channel is shorter than the positions");

    const std::size_t len = grid_len_;
    const auto slen = static_cast<std::ptrdiff_t>(len);
    const double two_n = static_cast<double>(len);
    const std::size_t w = width_;
    const double half = static_cast<double>(w) / 2.0;
    const double beta = beta_;

    grids_.resize(nch);
    for (auto& g : grids_) g.assign(len, C{});

    double* kern = kernel_.data();
    std::size_t idx[kMaxWidth];
    for (std::size_t s = 0; s < ns; ++s) {
        double u = std::fmod(2.0 * positions[s], two_n);
        if (u < 0.0) u += two_n;
        const std::ptrdiff_t i0 = floor_index(u - half);
        // The kernel weights of a sample are shared by every channel.
        for (std::size_t t = 0; t < w; ++t)
            kern[t] = phi((static_cast<double>(i0 + 1 + static_cast<std::ptrdiff_t>(t)) - u) / half, beta);
        const bool inside = i0 + 1 >= 0 && i0 + static_cast<std::ptrdiff_t>(w) < slen;
        if (!inside)
            for (std::size_t t = 0; t < w; ++t) idx[t] = wrap(i0 + 1 + static_cast<std::ptrdiff_t>(t), slen);
        for (std::size_t c = 0; c < nch; ++c) {
            const double are = inputs[c].re[s];
            const double aim = inputs[c].im[s];
            C* g = grids_[c].data();
            if (inside) {
                C* p = g + (i0 + 1);
                for (std::size_t t = 0; t < w; ++t) {
                    p[t].re += kern[t] * are;
                    p[t].im += kern[t] * aim;
                }
            } else {
                for (std::size_t t = 0; t < w; ++t) {
                    g[idx[t]].re += kern[t] * are;
                    g[idx[t]].im += kern[t] * aim;
                }
            }
        }
    }

    // Consecutive frequencies are consecutive fine-grid bins, wrapping at the end of the grid.
    const std::size_t first = wrap(k0_, slen);
    for (std::size_t c = 0; c < nch; ++c) {
        std::vector<C>& g = grids_[c];
        fft_->execute(g);  // in place; the adapter needs no scratch buffer
        ChannelOut& out = outputs[c];
        out.re.resize(m_);
        out.im.resize(m_);
        std::size_t q = first;
        for (std::size_t k = 0; k < m_; ++k) {
            out.re[k] = g[q].re * corr_[k];
            out.im[k] = g[q].im * corr_[k];
            if (++q == len) q = 0;
        }
    }
}

}  // namespace quorvel::nufft
