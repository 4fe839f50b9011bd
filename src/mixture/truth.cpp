#include "mixture/truth.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <span>

#include "core/error.hpp"

namespace quorvel::truth {
namespace {

using Vec3 = std::array<double, 3>;

constexpr double kCos14 = 0.9702957262759965;  // neighbourhood of a local maximum
constexpr double kCos30 = 0.8660254037844387;  // lobe gathered around a candidate
constexpr double kCos25 = 0.9063077870366499;  // two peaks closer than this are one fibre
constexpr double kMinLobe = 0.05;              // share of the mass a lobe needs to count
constexpr int kPowerIterations = 50;

double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// IEEE total order (as a signed integer key): -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN.
std::int64_t total_key(double x) {
    const auto bits = std::bit_cast<std::int64_t>(x);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

// Scratch reused from row to row.
struct Scratch {
    std::vector<std::size_t> positive;    // vertices with positive mass
    std::vector<std::size_t> candidates;  // local maxima
};

void find_peaks(const std::vector<Vec3>& vertices, std::span<const double> w, std::size_t npeaks, Scratch& sc,
                std::vector<Peak>& peaks) {
    peaks.clear();
    if (w.empty()) return;
    double total = 0.0;
    for (double x : w) total += x;
    if (!(total > 0.0)) return;
    QV_ASSERT(vertices.size() >= w.size(), "one vertex per histogram weight");

    sc.positive.clear();
    for (std::size_t j = 0; j < w.size(); ++j)
        if (w[j] > 0.0) sc.positive.push_back(j);

    // A vertex that a heavier neighbour (or an equal one of lower index) dominates is no maximum;
    // only positive vertices can dominate a positive one. |cos| makes antipodes neighbours.
    sc.candidates.clear();
    for (std::size_t i : sc.positive) {
        bool maximum = true;
        for (std::size_t j : sc.positive) {
            if (j == i || std::abs(dot(vertices[i], vertices[j])) <= kCos14) continue;
            if (w[j] > w[i] || (w[j] == w[i] && j < i)) {
                maximum = false;
                break;
            }
        }
        if (maximum) sc.candidates.push_back(i);
    }
    std::sort(sc.candidates.begin(), sc.candidates.end(), [&](std::size_t a, std::size_t b) {
        const std::int64_t ka = total_key(w[a]), kb = total_key(w[b]);
        return ka > kb || (ka == kb && a < b);
    });

    for (std::size_t i : sc.candidates) {
        if (peaks.size() >= npeaks) break;
        std::array<double, 9> t{};
        double mass = 0.0;
        for (std::size_t j : sc.positive) {
            const Vec3& v = vertices[j];
            if (std::abs(dot(vertices[i], v)) <= kCos30) continue;
            for (std::size_t r = 0; r < 3; ++r)
                for (std::size_t c = 0; c < 3; ++c) t[r * 3 + c] += w[j] * v[r] * v[c];
            mass += w[j];
        }
        if (mass / total < kMinLobe) continue;

        // The lobe's principal axis: power iteration on its scatter matrix.
        Vec3 d = vertices[i];
        for (int it = 0; it < kPowerIterations; ++it) {
            const Vec3 next = {t[0] * d[0] + t[1] * d[1] + t[2] * d[2], t[3] * d[0] + t[4] * d[1] + t[5] * d[2],
                               t[6] * d[0] + t[7] * d[1] + t[8] * d[2]};
            const double n2 = dot(next, next);
            if (n2 == 0.0) {
                d = vertices[i];
                break;
            }
            const double n = std::sqrt(n2);
            d = {next[0] / n, next[1] / n, next[2] / n};
        }
        bool merged = false;
        for (const Peak& p : peaks)
            if (std::abs(dot(d, p.direction)) > kCos25) merged = true;
        if (!merged) peaks.push_back({d, 0.0});
    }
    if (peaks.empty()) return;

    // Every positive vertex's mass goes to its nearest peak (the later one on a tie), so the
    // fractions of non-negative histograms sum to 1.
    for (std::size_t j : sc.positive) {
        std::size_t best = 0;
        double best_cos = -1.0;
        for (std::size_t k = 0; k < peaks.size(); ++k) {
            const double c = std::abs(dot(vertices[j], peaks[k].direction));
            if (c >= best_cos) {
                best_cos = c;
                best = k;
            }
        }
        peaks[best].fraction += w[j] / total;
    }
    // Stable insertion sort by fraction, largest first (a handful of peaks).
    for (std::size_t i = 1; i < peaks.size(); ++i)
        for (std::size_t j = i; j > 0 && total_key(peaks[j].fraction) > total_key(peaks[j - 1].fraction); --j)
            std::swap(peaks[j], peaks[j - 1]);
}

}  // namespace

std::vector<Peak> row_peaks(const std::vector<Vec3>& vertices, const std::vector<double>& weights,
                            std::size_t npeaks) {
    Scratch sc;
    std::vector<Peak> peaks;
    find_peaks(vertices, weights, npeaks, sc, peaks);
    return peaks;
}

std::vector<float> truth_peaks(const mixture::MixtureField& field, std::size_t o, std::size_t npeaks) {
    QV_ASSERT(o >= 1, "oversampling of at least 1");
    const auto [nx, ny, nz] = field.dims;
    const std::size_t ax = nx / o, ay = ny / o, nvert = field.nvert();
    std::vector<float> out(ax * ay * nz * 3 * npeaks, 0.0f);
    if (nz == 0 || o > nx || o > ny) return out;
    QV_ASSERT(field.odf.size() == nx * ny * nz * nvert, "an odf of nvox*nvert values");

    std::vector<double> hist(nvert);
    Scratch sc;
    std::vector<Peak> peaks;
    for (std::size_t z = 0; z < nz; ++z)
        for (std::size_t y = 0; y < ay; ++y)
            for (std::size_t x = 0; x < ax; ++x) {
                std::fill(hist.begin(), hist.end(), 0.0);
                for (std::size_t dy = 0; dy < o; ++dy)
                    for (std::size_t dx = 0; dx < o; ++dx) {
                        const std::size_t fine = (x * o + dx) + nx * ((y * o + dy) + ny * z);
                        const float* row = field.odf.data() + fine * nvert;
                        for (std::size_t v = 0; v < nvert; ++v) hist[v] += static_cast<double>(row[v]);
                    }
                find_peaks(field.sphere.vertices, hist, npeaks, sc, peaks);
                const std::size_t a = x + ax * (y + ay * z);
                for (std::size_t k = 0; k < peaks.size(); ++k)
                    for (std::size_t c = 0; c < 3; ++c)
                        out[(a * npeaks + k) * 3 + c] = static_cast<float>(peaks[k].direction[c] * peaks[k].fraction);
            }
    return out;
}

}  // namespace quorvel::truth
