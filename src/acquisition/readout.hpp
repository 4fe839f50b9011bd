#pragma once
// The single-shot EPI readout walk: the fixed zig-zag order in which the samples of an nx x ny
// k-space matrix are acquired, and the time of each sample.
#include <cstddef>

namespace quorvel::readout {

struct Sample {
    std::size_t kx = 0;
    std::size_t ky = 0;
};

struct Walk {
    std::size_t nx = 0;
    std::size_t ny = 0;
    bool reverse_phase = false;
    double dt = 0.0;    // duration of one sample, t_line/nx
    double half = 0.0;  // half the duration of the whole readout

    // Number of samples, nx*ny.
    std::size_t samples() const { return nx * ny; }
    // ky of acquired line i: downwards from the top line unless reverse_phase.
    std::size_t line_ky(std::size_t i) const { return reverse_phase ? i : ny - 1 - i; }
    // Position of sample s (needs nx >= 1).
    Sample at(std::size_t s) const;
    // Time of sample s relative to the middle of the readout (negative before it).
    double time(std::size_t s) const { return (static_cast<double>(s) + 0.5) * dt - half; }
};

// The walk of an nx x ny matrix with line duration t_line.
Walk walk(std::size_t nx, std::size_t ny, double t_line, bool reverse_phase);

}  // namespace quorvel::readout
