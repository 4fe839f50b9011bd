#pragma once
// The acquisition driver: per-compartment signal images on the oversampled simulation grid in,
// complex EPI images on the acquired matrix out, one volume per task on the worker pool.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "acquisition/kspace.hpp"
#include "acquisition/phase.hpp"

namespace quorvel::kspace {

using Dims3 = std::array<std::size_t, 3>;

// What the driver reads; every view belongs to the caller for the duration of the call.
struct AcquisitionInput {
    std::vector<std::span<const float>> images;      // per compartment, V*snx*sny*nz, volume fastest
    std::span<const float> t2;                       // ms, one per compartment
    std::span<const float> fieldmap;                 // Hz, snx*sny*nz on the simulation grid
    std::span<const double> bvals;                   // s/mm^2, at least V
    std::span<const std::array<double, 3>> bvecs;    // unit or zero, at least V
    phase::PhaseModel phase_model{};                 // background and per-shot diffusion phase
    Dims3 sim_dims{};                                // (snx, sny, nz)
    Dims3 acq_dims{};                                // (nx, ny, nz)
    std::size_t ngrad = 0;                           // V
    std::uint64_t seed = 0;                          // run seed of every random draw
    std::optional<std::span<const float>> noise_sigma;  // image-noise sd per acquired voxel
};

struct AcquisitionOptions {
    std::optional<std::size_t> nz_full;               // slice count of the whole volume (slabs)
    std::optional<std::vector<std::size_t>> slice_z;  // global index of every local slice
    std::optional<std::vector<std::size_t>> kspace_slices;  // local slices whose k-space is kept
    std::optional<std::vector<double>> te_per_volume;  // ms, one echo time per volume
    // Called as progress(done, total) once per finished volume, possibly from several threads.
    std::function<void(std::size_t, std::size_t)> progress;
    std::array<bool, 3> capture{};  // keep acquired, reconstructed, coil images
};

// The k-space kept for the requested slices; complex data are interleaved float32 (re, im).
struct KspaceCapture {
    std::vector<std::size_t> slices;         // as requested, in the caller's order
    std::vector<std::uint8_t> mask;          // ny*nx, 1 = sampled
    std::vector<float> sensitivities;        // n_coils*ny*nx, (coil, y, x)
    std::vector<float> combined;             // (volume, entry, y, x)
    std::optional<std::vector<float>> acquired;       // (volume, entry, coil, ky, kx)
    std::optional<std::vector<float>> reconstructed;  // (volume, entry, coil, ky, kx)
    std::optional<std::vector<float>> coil_images;    // (volume, entry, coil, y, x)
    std::size_t nx = 0;
    std::size_t ny = 0;
    std::size_t n_coils = 1;
};

struct AcquisitionOutput {
    std::vector<float> re;  // V*nx*ny*nz, volume fastest
    std::vector<float> im;
    std::optional<KspaceCapture> kspace;  // present when at least one slice was requested
};

// Memory of the volume tasks that run at once, min(volumes, threads) of them: each holds one
// slice's coil data (k-space, its copies, the maps) and, under GRAPPA, the normal equations with
// their copies. A floating-point estimate is enough to tell a run that would exhaust the machine.
struct MemoryEstimate {
    double bytes;
    bool fits;  // bytes <= available
};
MemoryEstimate acquisition_memory(std::size_t n_coils, std::size_t nx, std::size_t ny, bool grappa,
                                  std::size_t volumes, std::size_t threads, std::size_t available);

// Acquires every volume; throws InvalidInput when the inputs do not fit together.
AcquisitionOutput simulate_acquisition_complex(const AcquisitionInput& in, const Acquisition& acq,
                                               const AcquisitionOptions& opt);

}  // namespace quorvel::kspace
