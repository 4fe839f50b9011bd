#include "motion.hpp"

#include <algorithm>
#include <cmath>

namespace quorvel::motion {

float trilinear(std::span<const float> vol, const std::array<std::size_t, 3>& dims,
                const std::array<double, 3>& p) {
    std::array<std::size_t, 3> i0{}, i1{};
    std::array<double, 3> f{};
    for (int a = 0; a < 3; ++a) {
        if (dims[a] == 0) return 0.0f;
        // Written so that a NaN coordinate also lands outside.
        if (!(p[a] >= 0.0) || p[a] > static_cast<double>(dims[a] - 1)) return 0.0f;
        const double fl = std::floor(p[a]);
        i0[a] = static_cast<std::size_t>(fl);
        i1[a] = std::min(dims[a] - 1, i0[a] + 1);
        f[a] = p[a] - fl;
    }
    const std::size_t nx = dims[0], nxy = dims[0] * dims[1];
    auto at = [&](std::size_t x, std::size_t y, std::size_t z) {
        return static_cast<double>(vol[x + nx * y + nxy * z]);
    };
    auto lerp = [](double a, double b, double t) { return a + (b - a) * t; };
    const double c00 = lerp(at(i0[0], i0[1], i0[2]), at(i1[0], i0[1], i0[2]), f[0]);
    const double c10 = lerp(at(i0[0], i1[1], i0[2]), at(i1[0], i1[1], i0[2]), f[0]);
    const double c01 = lerp(at(i0[0], i0[1], i1[2]), at(i1[0], i0[1], i1[2]), f[0]);
    const double c11 = lerp(at(i0[0], i1[1], i1[2]), at(i1[0], i1[1], i1[2]), f[0]);
    const double c0 = lerp(c00, c10, f[1]);
    const double c1 = lerp(c01, c11, f[1]);
    return static_cast<float>(lerp(c0, c1, f[2]));
}

}  // namespace quorvel::motion
