#include "acquisition/edges.hpp"

#include <algorithm>
#include <cmath>

#include "core/error.hpp"
#include "core/sizes.hpp"

namespace quorvel::kspace {
namespace {

// Length of [lo, hi) inside the unit cell [i, i+1), clamped to [0, 1]. fmin/fmax drop a NaN
// operand, so a NaN edge acts as no bound on that side.
double cover(double i, double lo, double hi) {
    return std::fmin(1.0, std::fmax(0.0, std::fmin(i + 1.0, hi) - std::fmax(i, lo)));
}

void check_size(std::size_t snx, std::size_t sny) {
    QV_ASSERT(checked_product({snx, sny}).has_value(), "edge image: snx * sny overflows");
}

}  // namespace

std::vector<float> step_hires(std::size_t snx, std::size_t sny, double edge) {
    check_size(snx, sny);
    std::vector<float> out(snx * sny);
    if (out.empty()) return out;
    for (std::size_t x = 0; x < snx; ++x) {
        const double fx = static_cast<double>(x);
        double v;
        if (edge >= fx + 1.0) v = 0.0;
        else if (fx >= edge) v = 1.0;
        else v = fx + 1.0 - edge;
        out[x] = static_cast<float>(v);
    }
    for (std::size_t y = 1; y < sny; ++y) std::copy_n(out.begin(), snx, out.begin() + static_cast<std::ptrdiff_t>(y * snx));
    return out;
}

std::vector<float> box_hires(std::size_t snx, std::size_t sny, double x0, double x1, double y0, double y1) {
    check_size(snx, sny);
    std::vector<float> out(snx * sny);
    if (out.empty()) return out;
    for (std::size_t y = 0; y < sny; ++y) {
        const double wy = cover(static_cast<double>(y), y0, y1);
        if (wy <= 0.0) continue;
        for (std::size_t x = 0; x < snx; ++x)
            out[x + snx * y] = static_cast<float>(cover(static_cast<double>(x), x0, x1) * wy);
    }
    return out;
}

}  // namespace quorvel::kspace
