#pragma once
// Dual-echo spoiled gradient-echo field-map synthesis, its in-plane resampling and the smooth
// receive-coil maps (phase and intensity bias) it applies.
//
// Volumes are flat F-order lists (x fastest, index x + nx*(y + ny*z)).
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "signal/gnl.hpp"
#include "core/raster.hpp"

namespace quorvel::gre {

using raster::Dims;
using raster::Grid;

// Phase images delivered: one phase-difference image, or one phase image per echo.
enum class Output { PhaseDiff, Phase };

// The distortion applied to the echo magnitudes.
struct GreWarp {
    std::shared_ptr<const gnl::GnlField> field;  // built on the signal grid (same dims)
    bool modulate = true;                        // multiply by the field's intensity factor
};

// The maps and grids of one synthesis. Compartment order: fibre, grey matter, CSF.
struct GreInputs {
    std::optional<GreWarp> warp;
    Grid sig_grid;                     // the fine grid every map below lives on
    Grid acq_grid;                     // the acquisition grid (output grid without res_mm)
    std::vector<float> fiber, gm, csf; // compartment fractions, nvox each
    std::vector<float> t2;             // T2* per compartment, ms (3 values)
    std::vector<float> fmap;           // off-resonance, Hz, nvox
    double signal_scale = 1.0;         // overall intensity scale
    std::uint64_t seed = 0;            // noise seed
    std::optional<std::vector<float>> head;  // fraction of the extra head compartment, nvox
    std::size_t z_offset = 0;          // first signal slice within the full volume (bias only)
    std::size_t nz_full = 0;           // slices of the full volume (bias only)
    std::array<float, 3> s0{};         // per-compartment S0 factor
};

// Acquisition settings; the member initialisers are the Python defaults.
struct GreParams {
    std::optional<double> res_mm;                          // isotropic output voxel, mm (positive, finite)
    std::string b0_field = "b0gre";                        // label carried into the result
    std::array<double, 2> te_s{0.00492, 0.00738};          // echo times, s
    double snr = 50.0;                                     // <= 0: no noise
    double snr_vol_exp = 1.0;                              // exponent of the voxel-volume ratio in sigma
    double rx_phase_rad = 6.0;                             // receive-phase amplitude, rad ("phase" only)
    double tr_s = 0.5;                                     // repetition time, s
    double flip_deg = 60.0;                                // flip angle, degrees
    double bias = 0.3;                                     // receive-bias depth
    std::array<float, 3> t1_ms{830.0f, 1330.0f, 4000.0f};  // T1 per compartment, ms
    std::array<float, 3> pd{0.7f, 0.85f, 1.0f};            // proton density per compartment
    float t2_head_ms = 70.0f;                              // T2* of the head compartment, ms
    Output output = Output::PhaseDiff;
    bool ringing = true;                                   // spectral (not box) in-plane reduction
};

struct GreFieldmap {
    std::array<std::vector<float>, 2> magnitude;    // echo 1, echo 2
    std::vector<std::vector<std::int16_t>> phase;   // codes 0..4095: one image (PhaseDiff) or two
    std::string b0_field;
    Grid grid;                                      // the output grid
    std::array<double, 2> te_s{};
    double sigma = 0.0;                             // noise standard deviation applied
    Output output = Output::PhaseDiff;
    bool stamped = false;                           // range stamp written into the difference image
};

// Synthesises the two echoes with noise and their phase codes (single-threaded, deterministic).
// Throws InvalidInput, before any work, for grids that output_plan refuses and for a
// non-finite value in a fraction or the field map.
GreFieldmap synthesize(const GreInputs& in, const GreParams& p);

// Where the echoes go. With res_mm: the grid of checked_target_grid, the acquisition grid then
// setting only the noise level (its affine must pass raster::check_affine, refused as
// "acq_affine: ..."). Without: the acquisition grid, the images reduced in-plane by the factor
// of raster::inplane_factor. Throws InvalidInput for what those refuse.
struct OutputPlan {
    std::size_t factor = 1;     // in-plane reduction (without res_mm)
    std::optional<Grid> target; // the res_mm grid
};
OutputPlan output_plan(const Grid& sig_grid, const Grid& acq_grid, const std::optional<double>& res_mm);

// ---- resampling ----

// The output grid for res_mm after checking it: res_mm must be positive and finite, the grid's
// affine pass raster::check_affine and the result hold at most kMaxOutputVoxels voxels; throws
// InvalidInput otherwise.
inline constexpr std::size_t kMaxOutputVoxels = std::size_t{1} << 28;
Grid checked_target_grid(const Grid& sig_grid, double res_mm);

// Isotropic grid of edge res_mm over the same field of view, sharing the first voxel's outer corner.
Grid target_grid(const Grid& grid, double res_mm);

// Box mean over f x f in-plane blocks (a copy when f < 2); trailing partial blocks are ignored.
std::vector<float> downsample_inplane(std::span<const float> data, const Dims& dims, std::size_t f);

// Spectral truncation by f in x, then in y (f >= 2); trailing partial blocks are ignored.
std::vector<float> fourier_downsample_inplane(std::span<const float> data, const Dims& dims, std::size_t f);

// One line of n samples reduced to floor(n / f) by keeping the lowest DFT modes.
std::vector<double> truncate_line(std::span<const double> line, std::size_t f);

// ---- receive-coil maps ----

// Smooth receive phase, radians, one value per voxel of the grid (only its dims matter).
std::vector<float> smooth_rx_phase(const Grid& grid, double amplitude);

// Receive gain between 1 - bias (centre of the full volume) and 1 + bias (its corners).
std::vector<double> bias_gain(const Dims& dims, std::size_t z_offset, std::size_t nz_total, double bias);

}  // namespace quorvel::gre
