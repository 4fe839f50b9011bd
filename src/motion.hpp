#pragma once
// Rigid motion of the subject and the one trilinear sampler of the resampling code.
#include <array>
#include <cstddef>
#include <span>

namespace quorvel::motion {

// Samples a flat F-order volume at continuous voxel coordinate p (voxel centres on integers).
// 0 outside [0, n-1] on any axis, and 0 (reading nothing) on a grid with a zero extent.
float trilinear(std::span<const float> vol, const std::array<std::size_t, 3>& dims,
                const std::array<double, 3>& p);

}  // namespace quorvel::motion
