#include "mixture/kernel.hpp"

#include <algorithm>
#include <bit>
#include <cmath>

#include "core/clones.hpp"
#include "core/exp.hpp"

namespace quorvel::compartments {
namespace {

constexpr double kKernelCut = 1e-8;
// exp(-20) < 1e-8, and every exponent below -18.4 gives a weight under the cut: clamping the
// exponent near -20 changes no kept weight, and keeps a huge kappa inside the range where the
// branch-free exponential is valid.
constexpr double kLowestExponent = -20.0;

// w[j] = exp(kappa*(c_j^2 - 1)), or 0 where that falls below the cut.
QV_CLONES void watson_weights(const double* __restrict x, const double* __restrict y, const double* __restrict z,
                              std::size_t n, double ux, double uy, double uz, double kappa, double* __restrict w) {
    // The clamp acts on c^2 - 1, at a bound only known at run time: clamping kappa*(c^2 - 1) at the
    // constant -20 lets the compiler fold the exponential of the clamped lanes into a constant
    // and branch around the rest, and a loop with a branch is not vectorised. Any exponent this
    // clamp changes is below -18.4 before and after, so the kept weights are the same.
    const double lowest = kLowestExponent / kappa;
    for (std::size_t j = 0; j < n; ++j) {
        const double c = (x[j] * ux + y[j] * uy) + z[j] * uz;
        // c*c may round above 1 for a direction on a vertex; with a large kappa that excess
        // would overflow the exponential. Selects written out, which the compiler if-converts.
        double a = c * c - 1.0;
        a = a < 0.0 ? a : 0.0;
        a = a > lowest ? a : lowest;
        const double e = exp_branchless(kappa * a);
        w[j] = e >= kKernelCut ? e : 0.0;
    }
}

// a[j] = |c_j|, returning the largest as its bit pattern: for finite non-negative doubles the
// patterns order like the values, and an integer maximum is a reduction that vectorises.
QV_CLONES std::int64_t abs_cosines(const double* __restrict x, const double* __restrict y,
                                   const double* __restrict z, std::size_t n, double ux, double uy, double uz,
                                   double* __restrict a) {
    std::int64_t best = -1;
    for (std::size_t j = 0; j < n; ++j) {
        a[j] = std::abs((x[j] * ux + y[j] * uy) + z[j] * uz);
        best = std::max(best, std::bit_cast<std::int64_t>(a[j]));
    }
    return best;
}

// The first index whose value has the bit pattern `bits` (n - 1 if none does).
QV_CLONES std::size_t first_equal(const double* a, std::size_t n, std::int64_t bits) {
    std::size_t k = 0;
    for (; k + 8 <= n; k += 8) {  // eight at a time, compared as one vector
        bool hit = false;
        for (std::size_t l = 0; l < 8; ++l) hit |= std::bit_cast<std::int64_t>(a[k + l]) == bits;
        if (hit) break;
    }
    while (k + 1 < n && std::bit_cast<std::int64_t>(a[k]) != bits) ++k;
    return k;
}

QV_CLONES void divide(double* __restrict w, std::size_t n, double d) {
    for (std::size_t j = 0; j < n; ++j) w[j] = w[j] / d;
}

QV_CLONES void add_scaled(double* __restrict row, const double* __restrict w, std::size_t n, double m) {
    for (std::size_t j = 0; j < n; ++j) row[j] = row[j] + w[j] * m;
}

}  // namespace

OrientationKernel::OrientationKernel(const sphere::HemiSphere& sphere, std::optional<double> kappa)
    : kappa_(kappa), nvert_(sphere.vertices.size()), x_(nvert_), y_(nvert_), z_(nvert_), w_(nvert_) {
    for (std::size_t j = 0; j < nvert_; ++j) {
        x_[j] = sphere.vertices[j][0];
        y_[j] = sphere.vertices[j][1];
        z_[j] = sphere.vertices[j][2];
    }
    taps_.reserve(nvert_);
    tw_.reserve(nvert_);
}

void OrientationKernel::set(const raster::Vec3& u) {
    taps_.clear();
    tw_.clear();
    dense_ = false;
    if (nvert_ == 0) return;
    if (kappa_) {
        watson_weights(x_.data(), y_.data(), z_.data(), nvert_, u[0], u[1], u[2], *kappa_, w_.data());
        // The normalising sum runs in vertex order; the dropped vertices add exact zeros.
        double sum = 0.0;
        std::size_t kept = 0;
        for (std::size_t j = 0; j < nvert_; ++j) {
            sum += w_[j];
            kept += w_[j] != 0.0;
        }
        if (kept > 0) {
            divide(w_.data(), nvert_, sum);
            // Adding k*m = 0 at a dropped vertex leaves the row's bits as they are (rows start at
            // +0 and can never become -0), so a well-filled kernel is added as a whole row.
            dense_ = 4 * kept >= nvert_;
            if (!dense_)
                for (std::size_t j = 0; j < nvert_; ++j)
                    if (w_[j] != 0.0) {
                        taps_.push_back(static_cast<std::uint32_t>(j));
                        tw_.push_back(w_[j]);
                    }
            return;
        }
    }
    // w_ is free scratch here: it receives |c|. The first vertex holding the largest value is
    // the one a scan keeping the first strictly greater value finds (lowest index among ties).
    const std::int64_t best = abs_cosines(x_.data(), y_.data(), z_.data(), nvert_, u[0], u[1], u[2], w_.data());
    taps_.push_back(static_cast<std::uint32_t>(first_equal(w_.data(), nvert_, best)));
    tw_.push_back(1.0);
}

void OrientationKernel::deposit(double* row, double m) const {
    // 0 * m is not zero for an infinite or NaN mass: then only the kept vertices are touched.
    if (dense_ && std::isfinite(m)) {
        add_scaled(row, w_.data(), nvert_, m);
        return;
    }
    if (dense_) {
        for (std::size_t j = 0; j < nvert_; ++j)
            if (w_[j] != 0.0) row[j] += w_[j] * m;
        return;
    }
    for (std::size_t t = 0; t < taps_.size(); ++t) row[taps_[t]] += tw_[t] * m;
}

}  // namespace quorvel::compartments
