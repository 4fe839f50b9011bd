#include "phase.hpp"

namespace quorvel::phase {

ShotPhase DiffusionPhase::shot(const std::array<double, 3>&, std::size_t, std::size_t, std::uint64_t,
                               double) const {
    return {};
}

std::optional<PhaseModel> model_by_name(std::string_view) { return std::nullopt; }

}  // namespace quorvel::phase

namespace quorvel::kspace {

std::vector<double> phase_slice(std::span<const double, 11>, const phase::ShotPhase&, std::size_t snx,
                                std::size_t sny, std::size_t, std::size_t, std::size_t) {
    return std::vector<double>(snx * sny, 0.0);
}

}  // namespace quorvel::kspace
