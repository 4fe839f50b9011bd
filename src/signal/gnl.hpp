#pragma once
// Gradient non-linearity: the coil's coefficient set (solid spherical harmonics per axis) and
// its evaluation cached on an image grid.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/raster.hpp"

namespace quorvel::gnl {

using Vec3 = std::array<double, 3>;
using Dims = std::array<std::size_t, 3>;

struct GnlTerm {
    double coef;         // dimensionless, as written in the file (scaled by r0_mm)
    std::uint32_t l;     // degree
    std::uint32_t m;     // order, absolute value
    std::uint8_t axis;   // displacement component: 0 x, 1 y, 2 z
    bool sine;           // azimuthal factor sin(m*phi) instead of cos(m*phi); set exactly for y
};

struct GradCoef {
    std::vector<GnlTerm> terms;  // file (or preset) order
    double r0_mm = 250.0;        // reference radius, mm

    // Reads the text of a Siemens .grad coefficient file; throws InvalidInput.
    static GradCoef parse_siemens(std::string_view text);
    // "whole-body-80" (false) or "connectom-300" (true: every coefficient x 2.5).
    static GradCoef preset(bool high_gradient);
    // A preset name, else the path of a coefficient file (at most 1 MiB); throws InvalidInput.
    // on_interrupt runs whenever a signal interrupts the read, which then goes on unless it throws.
    static GradCoef from_spec(const std::string& spec, const std::function<void()>& on_interrupt = {});

    // The coefficient-file text of this set.
    std::string write_siemens() const;
    // Every coefficient multiplied by s; throws InvalidInput when s or a product is not finite.
    GradCoef scaled(double s) const;
    // Displacement in mm at scanner-frame point p (mm, isocentre at the origin).
    Vec3 displacement_scanner(const Vec3& p) const;
};

// The field summary inside a sphere about the isocentre.
struct Envelope {
    std::size_t n_voxels = 0;
    double max_disp_mm = 0.0;
    double max_gradient_dev = 0.0;
    double max_angle_deg = 0.0;
};

struct GnlField {
    std::vector<float> disp;        // nvox*3 forward displacement phi(w) - w, world mm
    std::vector<float> jac;         // nvox*9 Jacobian of phi, row-major (3r + c = d phi_r / d w_c)
    std::vector<float> src_vox;     // nvox*3 continuous voxel coordinate of phi^-1(w)
    std::vector<float> modulation;  // nvox intensity factor 1 / |det J(phi^-1(w))|
    Dims dims{};                    // (nx, ny, nz)

    // Evaluates coef at every voxel centre of grid; throws InvalidInput for a singular affine or
    // a displacement or Jacobian that overflows.
    static GnlField on_grid(const GradCoef& coef, const raster::Grid& grid);

    // One flat volume (nvox values) pulled through the inverse map into the apparent frame.
    std::vector<float> warp_volume(std::span<const float> vol, bool modulate) const;
    // Every volume of a 4-D interleaved image (nvox*ngrad values, volume index fastest).
    std::vector<float> warp_4d(std::span<const float> vol, std::size_t ngrad, bool modulate) const;
    // Per voxel the Jacobian in the grid's own axes, nine contiguous values (voxel-major).
    std::vector<float> graddev_volumes(const std::array<double, 16>& affine) const;
    // Largest displacement and gradient deviations over voxels within radius_mm of the origin.
    Envelope envelope(const std::array<double, 16>& affine, double radius_mm) const;

    std::size_t nvox() const { return dims[0] * dims[1] * dims[2]; }
};

}  // namespace quorvel::gnl
