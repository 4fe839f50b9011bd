#pragma once
// Refusing NaN and infinite values in input images before a run: the Fourier transforms and
// resampling that follow would spread one such value over a whole slice, reported as success.
#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>

namespace quorvel {

// Index of the first NaN or infinite value, or none.
std::optional<std::size_t> first_non_finite(std::span<const float> values);

// Refuses (InvalidInput) the first non-finite value of an image on a grid of `dims`:
// "<name> must be finite: nan at voxel [x, y, z]". A 4-D image holds `volumes` values per voxel,
// volume fastest, and the message ends in " of volume v".
void check_finite(const std::string& name, std::span<const float> image, const std::array<std::size_t, 3>& dims,
                  std::optional<std::size_t> volumes = std::nullopt);

}  // namespace quorvel
