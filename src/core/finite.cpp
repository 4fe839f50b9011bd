#include "core/finite.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "core/error.hpp"
#include "core/text.hpp"

namespace quorvel {
namespace {

// Values tested per step: each step's loop, free of early exits, vectorises; only the step that
// holds a bad value is searched value by value.
constexpr std::size_t kBlock = 4096;

// Whether a block holds a NaN or an infinity: all exponent bits set, tested on the bits.
bool any_non_finite(const float* p, std::size_t n) {
    std::uint32_t bad = 0;
    for (std::size_t i = 0; i < n; ++i)
        bad |= static_cast<std::uint32_t>((std::bit_cast<std::uint32_t>(p[i]) & 0x7f800000u) == 0x7f800000u);
    return bad != 0;
}

std::string value_text(float v) { return std::isnan(v) ? "nan" : v > 0.0f ? "inf" : "-inf"; }

}  // namespace

// Serial: the scan is bound by memory bandwidth (850 MB in 28 ms, against 24 ms on three pool
// threads), a small fraction of any run over that much data.
std::optional<std::size_t> first_non_finite(std::span<const float> values) {
    const std::size_t n = values.size();
    for (std::size_t lo = 0; lo < n; lo += kBlock) {
        const std::size_t len = std::min(kBlock, n - lo);
        if (!any_non_finite(values.data() + lo, len)) continue;
        const auto block = values.subspan(lo, len);
        return lo + static_cast<std::size_t>(std::find_if(block.begin(), block.end(), [](float v) {
                                                 return !std::isfinite(v);
                                             }) - block.begin());
    }
    return std::nullopt;
}

void check_finite(const std::string& name, std::span<const float> image, const std::array<std::size_t, 3>& dims,
                  std::optional<std::size_t> volumes) {
    const std::optional<std::size_t> at = first_non_finite(image);
    if (!at) return;
    const std::size_t per_voxel = volumes.value_or(1);
    QV_ASSERT(per_voxel > 0 && dims[0] > 0 && dims[1] > 0, "a non-empty image has voxels and volumes");
    const std::size_t vox = *at / per_voxel;
    const std::array<std::size_t, 3> xyz{vox % dims[0], vox / dims[0] % dims[1], vox / dims[0] / dims[1]};
    std::string message = name + " must be finite: " + value_text(image[*at]) + " at voxel " + debug_list(xyz);
    if (volumes) message += " of volume " + std::to_string(*at % per_voxel);
    throw InvalidInput(message);
}

}  // namespace quorvel
