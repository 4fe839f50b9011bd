#pragma once
// Tissue parameters of the three compartments (fibre, grey matter, CSF) and their presets.
#include <array>
#include <optional>
#include <string_view>

namespace quorvel {

struct CompartmentParams {
    double b_value = 1000.0;                        // s/mm^2, reference b-value of every exponent
    double fiber_radius_mm = 1.0;                   // mm, fibre cross-section radius
    double intra_frac = 0.55;                       // intra-axonal share of the fibre signal
    double extra_frac = 0.45;                       // extra-axonal share of the fibre signal
    double d_intra = 0.0015;                        // mm^2/s, stick diffusivity
    std::array<double, 3> d_extra{0.0015, 0.0006, 0.0006};  // mm^2/s, zeppelin eigenvalues
    double d_gm = 0.0012;                           // mm^2/s
    double d_csf = 0.003;                           // mm^2/s
    float t2_fiber = 180.0f;                        // ms
    float t2_gm = 220.0f;                           // ms
    float t2_csf = 2500.0f;                         // ms
    double gm_restricted_frac = 0.15;               // soma (restricted) share of grey matter
    double d_soma = 0.0003;                         // mm^2/s
};

// "neonatal" (the default), "infant" or "adult"; none for any other name (exact match).
std::optional<CompartmentParams> tissue_preset(std::string_view name);

CompartmentParams neonatal_params();
CompartmentParams infant_params();
CompartmentParams adult_params();

}  // namespace quorvel

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvel::compartments {

// Tissue fraction maps on one grid, flat F-order (x fastest).
struct TissueFractions {
    std::vector<float> wm;            // raw white-matter fraction, as given
    std::vector<float> gm;            // raw grey-matter fraction
    std::vector<float> csf;           // raw CSF fraction
    std::vector<std::uint8_t> mask;   // 1 where the given mask value exceeds 0.5
    std::array<std::size_t, 3> dims;  // (nx, ny, nz)
};

// Builds the record; throws InvalidInput "{name}: expected {nvox} values, got {len}" for the
// first map (wm, gm, csf, mask) whose length is not nx*ny*nz.
TissueFractions tissue_from_flat(const std::array<std::size_t, 3>& dims, std::vector<float> wm,
                                 std::vector<float> gm, std::vector<float> csf,
                                 const std::vector<float>& mask);

}  // namespace quorvel::compartments
