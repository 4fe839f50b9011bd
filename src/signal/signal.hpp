#pragma once
// The compartment signal model (fibre stick + zeppelin, two-pool grey matter, CSF ball) and
// the signal stage that evaluates it on every voxel of a mixture.
#include <array>
#include <span>
#include <utility>
#include <vector>

#include "signal/compartments.hpp"
#include "signal/gnl.hpp"
#include "mixture/mixture.hpp"
#include "core/params.hpp"
#include "core/scheme.hpp"

namespace quorvel::compartments {

using Vec3 = std::array<double, 3>;

// Fibre kernel K(a, q) of one direction a: intra-axonal stick plus extra-axonal zeppelin.
double fibre_kernel(const Vec3& a, const Vec3& q, const CompartmentParams& p);
// Weight-averaged fibre kernel over (direction, weight) pairs; isotropic fallback when the
// weights sum to at most 1e-12.
double fibre_mean(std::span<const std::pair<Vec3, double>> pairs, const Vec3& q, const CompartmentParams& p);
// Grey-matter attenuation (restricted soma pool plus hindered pool).
double grey_matter(const Vec3& q, const CompartmentParams& p);
// CSF attenuation.
double csf_ball(const Vec3& q, const CompartmentParams& p);
// Mean extra-axonal diffusivity, the isotropic fallback's diffusivity.
double iso_diffusivity(const CompartmentParams& p);
// The six fibre parameters moved toward the adult preset by myelination m (m = 0: unchanged).
CompartmentParams myelin_adjusted(const CompartmentParams& p, double m);

struct VoxelSignal {
    std::vector<double> fibre, gm, csf;  // one value per volume
};

// The three compartment signals of one voxel with exact fibre directions (normalised here).
VoxelSignal voxel_signal(const scheme::GradientScheme& scheme, std::span<const Vec3> dirs,
                         std::span<const double> weights, double wm, double gm, double csf,
                         const CompartmentParams& p);

// Clean fibre, grey-matter and CSF images of every voxel and volume of a mixture.
Compartments signal_from_mixture(const mixture::MixtureField& mix, const scheme::GradientScheme& scheme);
// The same with the gradient of every voxel distorted by field's Jacobian (none: no field).
Compartments signal_from_mixture_gnl(const mixture::MixtureField& mix, const scheme::GradientScheme& scheme,
                                     const gnl::GnlField* field);

}  // namespace quorvel::compartments
