#pragma once
// The signal stage for a head that moves between volumes: every volume re-rasterises the
// streamlines and re-samples the tissue maps after moving both by that volume's pose.
#include <array>
#include <cstdint>
#include <span>

#include "signal/compartments.hpp"
#include "signal/motion.hpp"
#include "core/params.hpp"
#include "core/raster.hpp"
#include "core/scheme.hpp"

namespace quorvel::compartments {

// Clean fibre, grey-matter and CSF images of a moving subject; volume v uses poses[v] (the zero
// pose when v >= poses.size()). Streamline s owns points offsets[s] .. offsets[s+1]-1.
Compartments generate_compartments_moving(const raster::Grid& grid, std::span<const std::array<double, 3>> positions,
                                          std::span<const std::uint32_t> offsets, const TissueFractions& tissue,
                                          const scheme::GradientScheme& scheme, const CompartmentParams& params,
                                          std::span<const motion::Pose> poses);

}  // namespace quorvel::compartments
