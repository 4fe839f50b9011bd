#include "core/params.hpp"

#include <string>

#include "core/error.hpp"

namespace quorvel {

CompartmentParams neonatal_params() { return CompartmentParams{}; }

CompartmentParams infant_params() {
    CompartmentParams p;
    p.intra_frac = 0.35;
    p.extra_frac = 0.65;
    p.d_intra = 0.0019;
    p.d_extra = {0.0019, 0.0012, 0.0012};
    p.d_gm = 0.0013;
    p.gm_restricted_frac = 0.25;
    return p;
}

CompartmentParams adult_params() {
    CompartmentParams p;
    p.d_intra = 0.0017;
    p.d_extra = {0.0017, 0.0006, 0.0006};
    p.d_gm = 0.00085;
    p.t2_fiber = 68.0f;
    p.t2_gm = 76.0f;
    p.t2_csf = 2000.0f;
    p.gm_restricted_frac = 0.2;
    return p;
}

std::optional<CompartmentParams> tissue_preset(std::string_view name) {
    if (name == "neonatal") return neonatal_params();
    if (name == "adult") return adult_params();
    if (name == "infant") return infant_params();
    return std::nullopt;
}

}  // namespace quorvel

namespace quorvel::compartments {

TissueFractions tissue_from_flat(const std::array<std::size_t, 3>& dims, std::vector<float> wm,
                                 std::vector<float> gm, std::vector<float> csf, const std::vector<float>& mask) {
    const std::size_t nvox = dims[0] * dims[1] * dims[2];
    auto check = [nvox](const char* name, std::size_t len) {
        if (len != nvox)
            throw InvalidInput(std::string(name) + ": expected " + std::to_string(nvox) + " values, got " +
                               std::to_string(len));
    };
    check("wm", wm.size());
    check("gm", gm.size());
    check("csf", csf.size());
    check("mask", mask.size());
    std::vector<std::uint8_t> m(nvox);
    for (std::size_t i = 0; i < nvox; ++i) m[i] = mask[i] > 0.5f ? 1 : 0;
    return {std::move(wm), std::move(gm), std::move(csf), std::move(m), dims};
}

}  // namespace quorvel::compartments
