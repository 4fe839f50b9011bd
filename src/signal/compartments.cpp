#include "signal/compartments.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/error.hpp"

namespace quorvel::compartments {

Compartments Compartments::select_slices(std::span<const std::size_t> slices) const {
    const std::size_t nz = dims[2];
    for (std::size_t s : slices)
        QV_ASSERT(s < nz, "slice " + std::to_string(s) + " out of range for " + std::to_string(nz) + " slices");
    // z is the slowest index and volumes the fastest, so a slice is one contiguous block.
    const std::size_t block = dims[0] * dims[1] * ngrad;
    Compartments out;
    out.t2 = t2;
    out.dims = {dims[0], dims[1], slices.size()};
    out.ngrad = ngrad;
    out.images.reserve(images.size());
    for (const auto& img : images) {
        Image sel;
        sel.reserve(block * slices.size());
        for (std::size_t s : slices) sel.insert(sel.end(), img.begin() + s * block, img.begin() + (s + 1) * block);
        out.images.push_back(std::move(sel));
    }
    return out;
}

std::vector<float> Compartments::mixed() const {
    if (images.empty()) return {};
    std::vector<float> sum(images.front().size(), 0.0f);
    for (const auto& img : images) {
        const std::size_t n = std::min(img.size(), sum.size());
        for (std::size_t i = 0; i < n; ++i) sum[i] += img[i];
    }
    return sum;
}

void Compartments::apply_s0(const std::array<float, 3>& s0) {
    // Factors within float32 epsilon (2^-23) of 1 leave the image untouched rather than
    // rewriting every value; a NaN factor fails the comparison and scales nothing.
    constexpr float eps = 1.1920929e-07f;
    const std::size_t n = std::min<std::size_t>(3, images.size());
    for (std::size_t c = 0; c < n; ++c) {
        if (!(std::abs(s0[c] - 1.0f) > eps)) continue;
        for (float& v : images[c]) v *= s0[c];
    }
}

}  // namespace quorvel::compartments
