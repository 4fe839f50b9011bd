#pragma once
// Coil k-space synthesis: the samples one receive coil records for one slice of one volume in a
// single-shot EPI readout, with sensitivity, static and off-resonance phase, relaxation, eddy
// currents, Nyquist ghosting, spikes and noise.
#include <cstddef>
#include <span>
#include <vector>

#include "core/complex.hpp"
#include "acquisition/kspace.hpp"

namespace quorvel::kspace {

// The ny*nx samples (ky*nx + kx) coil c of nc records; rows the sampling mask skips are zero.
// Throws InvalidInput when the simulation grid is not an integer multiple of the acquired one.
std::vector<C> build_coil_kspace(const SliceInput& in, const Acquisition& acq, std::size_t c, std::size_t nc);

// True when the line times follow one straight line per row parity (at least three rows), so the
// phase-encode direction can be encoded with a non-uniform FFT instead of a direct sum.
bool regular_line_timing(std::span<const double> t_ms);

}  // namespace quorvel::kspace
