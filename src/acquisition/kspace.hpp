#pragma once
// The EPI protocol record of the k-space stage, the readout timing, trajectory and sampling mask
// that follow from it, and the records exchanged between the acquisition driver and the slice
// simulation. Times are milliseconds throughout.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/complex.hpp"

namespace quorvel::kspace {

// Apodisation applied to k-space before reconstruction; only the parameters of `kind` are used.
struct KspaceWindow {
    enum class Kind : std::uint8_t { None, Tukey, Hann, Fermi };
    Kind kind = Kind::None;
    double a = 0.0;  // tukey: taper fraction
    double r = 0.0;  // fermi: radius
    double w = 0.0;  // fermi: width
};

// Which lines partial Fourier keeps and whether the readout clock shifts.
enum class PartialFourierMode : std::uint8_t { Scanner = 0, Contiguous = 1, Fiberfox = 2 };

// The EPI protocol and artefact record; default construction gives the defaults. No field is
// range-checked: each consumer says what it does with odd values.
struct Acquisition {
    KspaceWindow window{};                             // k-space apodisation
    double t_line = 1.0;                               // ms, echo spacing; a sample lasts t_line/nx
    double t_echo = 90.0;                              // ms, excitation to readout centre
    double t_inhom = 50.0;                             // ms, inhomogeneity decay constant
    double signal_scale = 100.0;                       // overall signal scale
    bool reverse_phase = false;                        // walk the lines upwards
    bool do_distortions = true;                        // off-resonance during the readout
    bool do_relaxation = true;                         // T2 and inhomogeneity decay
    double noise_variance = 0.0;                       // complex k-space noise; <= 0 adds none
    double partial_fourier = 1.0;                      // fraction of lines kept; >= 1 is full
    PartialFourierMode pf_mode = PartialFourierMode::Scanner;
    double ghost_offset = 0.0;                         // Nyquist ghost, cycles across the readout
    double eddy_strength = 0.0;                        // linear eddy-current term
    double eddy_quad = 0.0;                            // quadratic eddy-current term
    double eddy_phase = 0.0;                           // eddy phase on weighted volumes
    double eddy_tau = 70.0;                            // ms, eddy-current decay time
    std::size_t n_spikes = 0;                          // spikes per slice and coil
    double spike_amplitude = 1.0;                      // relative to the largest |k|
    std::size_t n_coils = 1;                           // < 2 means one uniform coil
    std::size_t accel = 1;                             // in-plane acceleration R
    std::size_t acs_lines = 24;                        // autocalibration lines around the centre
    std::uint64_t seed = 0;                            // stored and echoed only

    // The HBCD protocol preset for ny phase-encode lines (ny = 0 counts as 1).
    static Acquisition hbcd(std::size_t ny);
};

// The three per-line time lists of a readout, indexed by ky.
struct LineTimes {
    std::vector<double> t_ms;       // line centre relative to the middle of the readout
    std::vector<double> t_rf_ms;    // line centre since excitation
    std::vector<double> t_read_ms;  // line centre since the start of the (acquired) readout
};

struct EpiTiming {
    std::vector<double> t_ms;
    std::vector<double> t_rf_ms;
    std::vector<double> t_read_ms;
    std::vector<std::size_t> order;  // ky of acquired line i
    double t_line = 0.0;
    double t_echo = 0.0;
    double dt = 0.0;                 // duration of one readout sample
};

// One readout sample of the trajectory, in acquisition order.
struct TrajectorySample {
    std::size_t kx = 0;
    std::size_t ky = 0;
    double t = 0.0;  // ms relative to the middle of the readout
};

// Centre-crossing times of every line of an nx x ny readout.
LineTimes line_times_for(std::size_t nx, std::size_t ny, double t_line, double t_echo, bool reverse_phase,
                         PartialFourierMode pf_mode, double partial_fourier);

// Per-line timing of the protocol; throws InvalidInput when nx = 0 but ny > 0.
EpiTiming epi_timing(std::size_t nx, std::size_t ny, const Acquisition& acq);

// Every sample of the readout walk with its time, in acquisition order.
std::vector<TrajectorySample> epi_trajectory(std::size_t nx, std::size_t ny, const Acquisition& acq);

// Acquired samples (1) of the nx x ny matrix under partial Fourier and acceleration, ky*nx + kx.
std::vector<std::uint8_t> sampling_mask(std::size_t nx, std::size_t ny, const Acquisition& acq);

// One (volume, slice) handed to the slice simulation; views live as long as the call.
struct SliceInput {
    std::vector<std::span<const float>> images;  // per compartment, snx*sny, y*snx + x
    std::span<const float> t2;                   // ms, one per compartment
    std::span<const float> fieldmap;             // Hz, snx*sny
    std::span<const double> phase;               // rad, snx*sny, this shot's phase map
    std::size_t snx = 0;
    std::size_t sny = 0;
    std::size_t nx = 0;
    std::size_t ny = 0;
    std::size_t z = 0;        // global slice index
    std::size_t nz_full = 0;  // slice count of the whole volume
    std::array<double, 3> bvec{};
    double bval = 0.0;
    std::uint64_t seed = 0;   // the slice seed
};

// What the slice simulation returns for one slice.
struct SliceRecon {
    std::vector<std::uint8_t> mask;                  // ny*nx, ky*nx + kx, 1 = sampled
    std::vector<std::vector<double>> sensitivities;  // n_coils maps of ny*nx, y*nx + x
    std::vector<C> combined;                         // ny*nx, y*nx + x
    std::optional<std::vector<std::vector<C>>> acquired;       // per coil k-space as acquired
    std::optional<std::vector<std::vector<C>>> reconstructed;  // per coil k-space after recon
    std::optional<std::vector<std::vector<C>>> coil_images;    // per coil image
    std::size_t nx = 0;
    std::size_t ny = 0;
    std::size_t n_coils = 1;
};

}  // namespace quorvel::kspace
