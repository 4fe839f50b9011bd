#include "core/streamlines.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "core/error.hpp"
#include "core/rng.hpp"

namespace quorvel::streamlines {
namespace {

// The selection key of streamline i: ln(u)/w, so that the n largest keys are a weighted sample
// without replacement. u hashes (seed, i) alone, never the order of evaluation. The hash reads i
// in 32 bits, so that a seed keeps selecting the subsets it always has; the selection itself
// carries the whole index, or streamlines past 2^32 would be copied from the wrong place.
double key(std::uint64_t seed, std::uint32_t i, double w) {
    const std::uint64_t z = (seed ^ (static_cast<std::uint64_t>(i) * 0xA24BAED4963EE407ull)) + rng::kGolden;
    const double u = rng::uniform_open(rng::mix(z));
    return std::log(u) / w;
}

// A percentage with one decimal; non-finite values read "NaN", "inf" and "-inf".
std::string percent(double fraction) {
    const double p = 100.0 * fraction;
    if (std::isnan(p)) return "NaN";
    if (std::isinf(p)) return p > 0 ? "inf" : "-inf";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f", p);
    return buf;
}

}  // namespace

std::string SubsampleStats::summary(std::uint64_t seed) const {
    if (kept >= total)
        return "subsample: " + std::to_string(kept) + " >= " + std::to_string(total) + " streamlines, keeping all";
    return "subsample: kept " + std::to_string(kept) + "/" + std::to_string(total) + " streamlines (seed " +
           std::to_string(seed) + "), " + percent(vertex_fraction) + "% of vertices, " + percent(weight_fraction) +
           "% of weight -> uniform";
}

Subsampled subsample_streamlines(std::vector<Vec3> positions, std::vector<std::uint32_t> offsets,
                                 std::optional<std::vector<float>> weights, std::size_t n, std::uint64_t seed) {
    const std::size_t n_total = offsets.empty() ? 0 : offsets.size() - 1;
    if (n >= n_total) {
        SubsampleStats st{n_total, n_total, 1.0, 1.0};
        return {std::move(positions), std::move(offsets), std::move(weights), st};
    }

    QV_ASSERT(!weights || weights->size() == n_total, "streamline weights must hold one value per streamline");
    std::vector<std::pair<double, std::size_t>> keyed(n_total);
    for (std::size_t i = 0; i < n_total; ++i) {
        double w = 1.0;
        if (weights) {
            // max() with the floor first: a NaN weight yields the floor.
            w = std::max(1e-12, static_cast<double>((*weights)[i]));
        }
        keyed[i] = {key(seed, static_cast<std::uint32_t>(i), w), i};
    }
    // Largest keys first; equal keys (only -0.0 from infinite weights) go to the lower index.
    auto larger = [](const auto& a, const auto& b) { return a.first > b.first || (a.first == b.first && a.second < b.second); };
    if (n > 0) std::nth_element(keyed.begin(), keyed.begin() + static_cast<std::ptrdiff_t>(n - 1), keyed.end(), larger);
    std::vector<std::size_t> kept(n);
    for (std::size_t k = 0; k < n; ++k) kept[k] = keyed[k].second;
    std::sort(kept.begin(), kept.end());

    double total_w = static_cast<double>(n_total), kept_w = static_cast<double>(n);
    if (weights) {
        total_w = 0.0;
        for (float w : *weights) total_w += static_cast<double>(w);
        kept_w = 0.0;
        for (std::size_t s : kept) kept_w += static_cast<double>((*weights)[s]);
    }

    Subsampled out;
    out.offsets.reserve(n + 1);
    out.offsets.push_back(0);
    for (std::size_t s : kept) {
        const std::size_t b = offsets[s], e = offsets[s + 1];
        QV_ASSERT(b <= e && e <= positions.size(),
                  "streamline " + std::to_string(s) + " lies outside the point list");
        out.positions.insert(out.positions.end(), positions.begin() + static_cast<std::ptrdiff_t>(b),
                             positions.begin() + static_cast<std::ptrdiff_t>(e));
        out.offsets.push_back(static_cast<std::uint32_t>(out.positions.size()));
    }
    if (weights) out.weights = std::vector<float>(n, static_cast<float>(total_w / static_cast<double>(n)));
    out.stats = {n, n_total,
                 static_cast<double>(out.positions.size()) / static_cast<double>(std::max<std::size_t>(positions.size(), 1)),
                 kept_w / total_w};
    return out;
}

}  // namespace quorvel::streamlines
