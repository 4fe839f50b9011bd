#pragma once
// Slice simulation and reconstruction: every coil's k-space, GRAPPA for skipped rows, the
// k-space window, the centred 2-D inverse transform and the sensitivity-weighted combination.
#include <cstddef>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "acquisition/kspace.hpp"

namespace quorvel::kspace {

// Simulates and reconstructs one slice; the flags keep copies of the k-space as acquired, the
// k-space after GRAPPA and the window, and the per-coil images.
SliceRecon simulate_slice_full(const SliceInput& in, const Acquisition& acq, bool keep_acquired,
                               bool keep_reconstructed, bool keep_coil_images);

// Solves a*x = b (a: n*n row-major) by Gaussian elimination with partial pivoting; components
// whose pivot is numerically zero come out as 0.
std::vector<C> solve_hermitian(std::vector<C> a, std::vector<C> b);

// Fills the rows that R-fold undersampling skipped, in every coil, from 2x3 neighbourhoods of
// the sampled rows around them, with weights calibrated on the central acs_lines.
void grappa_reconstruct(std::vector<std::vector<C>>& ks, std::size_t nx, std::size_t ny, std::size_t accel,
                        std::size_t acs_lines);

// The apodisation weight at normalised k-space radius rho (1 at the middle of a matrix edge).
double window_weight(const KspaceWindow& w, double rho);

// Centred 2-D transform of one coil's k-space (ky*nx + kx) to its image (y*nx + x), with
// exp(-2*pi*i*k*r) and no 1/(nx*ny): the k-space centre maps to the image centre.
std::vector<C> inverse_2d_fft(std::vector<C> k, std::size_t nx, std::size_t ny);

// The receive sensitivity maps of nc coils on the acquired matrix (y*nx + x), without the
// signal scale; all ones for a single coil.
std::vector<std::vector<double>> coil_sensitivities(std::size_t nx, std::size_t ny, std::size_t nc);

}  // namespace quorvel::kspace
