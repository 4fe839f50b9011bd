#pragma once
// The per-shot diffusion phase: a smooth slice polynomial plus a random rigid motion seen
// through the shot's diffusion gradient.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace quorvel::phase {

// The random coefficients of one shot.
struct ShotPhase {
    std::array<double, 3> g{};  // effective gradient, dir*sqrt(b)*gradient_gain
    std::array<double, 3> t{};  // translation
    std::array<double, 3> w{};  // rotation
};

struct DiffusionPhase {
    double gradient_gain = 0.0;   // scale of the gradient term, times sqrt(b)
    double translation_sd = 0.0;  // sd of each translation coefficient
    double rotation_sd = 0.0;     // sd of each rotation coefficient

    // Draws the shot of volume vol on global slice z; zero for b <= 0 or a vanishing direction.
    ShotPhase shot(const std::array<double, 3>& dir, std::size_t vol, std::size_t z, std::uint64_t seed,
                   double b) const;
};

struct PhaseModel {
    std::array<double, 11> coef{};  // c0..c10 of the slice polynomial
    DiffusionPhase diffusion{};
};

// The named models "hbcd" and "none"; nullopt for any other name (exact match).
std::optional<PhaseModel> model_by_name(std::string_view name);

}  // namespace quorvel::phase

namespace quorvel::kspace {

// Phase map (rad) of one simulation slice, snx*sny values at y*snx + x; o is the in-plane
// oversampling factor (>= 1), z the global slice index.
std::vector<double> phase_slice(std::span<const double, 11> c, const phase::ShotPhase& s, std::size_t snx,
                                std::size_t sny, std::size_t o, std::size_t z, std::size_t nz_full);

}  // namespace quorvel::kspace
