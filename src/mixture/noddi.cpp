// NODDI-type ground truth: odi is read off the Watson distribution whose mean cos² matches the
// principal eigenvalue of the intra-axonal scatter matrix.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include <pthread.h>

#include "mixture/microstructure.hpp"

namespace quorvel::microstructure {
namespace {

using Table = std::array<std::pair<double, double>, 241>;

// Mean cos²θ under the Watson density ∝ exp(kappa·(cos²θ − 1)) on [0, 1]: composite Simpson with
// 512 intervals; the common factor h/3 cancels in the ratio.
double watson_mean_cos2(double kappa) {
    constexpr int kIntervals = 512;
    double num = 0.0, den = 0.0;
    for (int k = 0; k <= kIntervals; ++k) {
        const double t = static_cast<double>(k) / kIntervals;
        const double w = (k == 0 || k == kIntervals) ? 1.0 : (k % 2 == 1 ? 4.0 : 2.0);
        const double e = std::exp(kappa * (t * t - 1.0));
        num += w * t * t * e;
        den += w * e;
    }
    return num / den;
}

Table build_table() {
    Table table;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const double kappa = 0.001 * std::pow(1000.0 / 0.001, static_cast<double>(i) / 240.0);
        table[i] = {kappa, watson_mean_cos2(kappa)};
    }
    return table;
}

}  // namespace

const Table& watson_table() {
    // A function-local static is the one-time initialiser: concurrent first callers wait for the
    // thread that builds it, later reads take no lock.
    static const Table table = build_table();
    return table;
}

namespace {
// A child forked while another thread builds the table would wait for that thread, which it
// lacks, forever. So a fork first makes sure the table is built (a millisecond, once; it waits
// for a builder in flight instead of copying its work half-done).
[[maybe_unused]] const int g_fork_handler = pthread_atfork([] { watson_table(); }, nullptr, nullptr);
}  // namespace

double watson_odi(const std::vector<Vec3>& dirs, const std::vector<double>& weights) {
    double total = 0.0;
    for (double w : weights) total += w;
    if (weights.empty() || total <= 0.0) return 0.0;
    Mat3 scatter{};
    const std::size_t n = std::min(dirs.size(), weights.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (weights[i] == 0.0) continue;
        const double q = weights[i] / total;
        const Vec3& d = dirs[i];
        for (std::size_t r = 0; r < 3; ++r)
            for (std::size_t c = 0; c < 3; ++c) scatter[r * 3 + c] += q * d[r] * d[c];
    }
    const double l = eigh3(scatter).values[0];
    // Only NaN weights reach this; the table has no place for a NaN eigenvalue.
    if (std::isnan(l)) return std::numeric_limits<double>::quiet_NaN();

    const Table& table = watson_table();
    if (l <= table.front().second) return 1.0;
    double kappa = table.back().first;
    if (l < table.back().second) {
        const auto it = std::lower_bound(table.begin(), table.end(), l,
                                         [](const std::pair<double, double>& e, double v) { return e.second < v; });
        const auto& [k1, c1] = *it;
        const auto& [k0, c0] = *(it - 1);
        const double t = (l - c0) / (c1 - c0);
        kappa = std::exp(std::log(k0) + t * (std::log(k1) - std::log(k0)));
    }
    return (2.0 / std::numbers::pi) * std::atan(1.0 / kappa);
}

std::array<double, 3> noddi_fractions(const VoxelMixture& mix, double wm, double gm, double csf, double intra_frac) {
    double si = 0.0;
    for (double w : mix.intra) si += w;
    if (!(si > 0.0)) return {0.0, 0.0, csf};
    const double icvf = wm + gm <= 0.0 ? 0.0 : intra_frac * wm / (wm + gm);
    return {icvf, watson_odi(mix.vertices, mix.intra), csf};
}

}  // namespace quorvel::microstructure
