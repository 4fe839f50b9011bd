#include "acquisition/phase.hpp"

#include <cmath>

#include "core/error.hpp"
#include "core/rng.hpp"

namespace quorvel::phase {

ShotPhase DiffusionPhase::shot(const std::array<double, 3>& dir, std::size_t vol, std::size_t z, std::uint64_t seed,
                               double b) const {
    const double len = std::sqrt(dir[0] * dir[0] + dir[1] * dir[1] + dir[2] * dir[2]);
    // A NaN b-value draws nothing either: the "none" model must give a zero map for every shot,
    // which g = dir * sqrt(NaN) * 0 would not.
    if (!(b > 0.0) || len < 1e-12) return {};
    // The key is used as the stream start directly; the stream itself does the mixing.
    const std::uint64_t key = (static_cast<std::uint64_t>(z) * 0xbf58476d1ce4e5b9ull) ^ seed ^
                              (static_cast<std::uint64_t>(vol) * rng::kGolden);
    std::array<double, 6> n{};
    for (std::uint64_t j = 0; j < 6; ++j) {
        const double u1 = rng::uniform_open(rng::stream(key, 2 * j + 1));
        const double u2 = rng::uniform_open(rng::stream(key, 2 * j + 2));
        n[j] = rng::normal(u1, u2);
    }
    ShotPhase s;
    const double root_b = std::sqrt(b);
    for (int i = 0; i < 3; ++i) {
        s.g[i] = dir[i] / len * root_b * gradient_gain;
        s.t[i] = translation_sd * n[i];
        s.w[i] = rotation_sd * n[3 + i];
    }
    return s;
}

std::optional<PhaseModel> model_by_name(std::string_view name) {
    if (name == "none") return PhaseModel{};
    if (name == "hbcd") {
        PhaseModel m;
        m.coef = {0.0, 0.13, 0.1, 0.02, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
        m.diffusion = {0.0425, 1.0, 0.002};
        return m;
    }
    return std::nullopt;
}

}  // namespace quorvel::phase

namespace quorvel::kspace {

std::vector<double> phase_slice(std::span<const double, 11> c, const phase::ShotPhase& s, std::size_t snx,
                                std::size_t sny, std::size_t o, std::size_t z, std::size_t nz_full) {
    std::vector<double> out(snx * sny);
    QV_ASSERT(o >= 1, "phase_slice: oversampling factor must be at least 1");
    const double fo = static_cast<double>(o);
    // Pixel centres in acquired-voxel units from acquired column nx/2: the (o-1)/2 offset moves
    // from the first sub-pixel of an acquired voxel to the voxel's centre. zz is in slices.
    const double x_half = static_cast<double>(snx) * 0.5;
    const double y_half = static_cast<double>(sny) * 0.5;
    const double centre = (fo - 1.0) / 2.0;
    const double zz = static_cast<double>(z) - static_cast<double>(nz_full) * 0.5;
    const auto& g = s.g;
    const auto& t = s.t;
    const auto& w = s.w;
    for (std::size_t y = 0; y < sny; ++y) {
        const double yy = (static_cast<double>(y) - y_half - centre) / fo;
        for (std::size_t x = 0; x < snx; ++x) {
            const double xx = (static_cast<double>(x) - x_half - centre) / fo;
            const double p = c[0] + c[1] * xx + c[2] * yy + c[3] * zz + c[4] * xx * xx + c[5] * yy * yy +
                             c[6] * zz * zz + c[7] * xx * yy + c[8] * xx * zz + c[9] * yy * zz + c[10];
            // g . (t + w x r): a rigid shift and small rotation seen through the gradient.
            const double shot = g[0] * (t[0] + w[1] * zz - w[2] * yy) + g[1] * (t[1] + w[2] * xx - w[0] * zz) +
                                g[2] * (t[2] + w[0] * yy - w[1] * xx);
            out[y * snx + x] = p + shot;
        }
    }
    return out;
}

}  // namespace quorvel::kspace
