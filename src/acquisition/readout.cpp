#include "acquisition/readout.hpp"

namespace quorvel::readout {

Walk walk(std::size_t nx, std::size_t ny, double t_line, bool reverse_phase) {
    Walk w;
    w.nx = nx;
    w.ny = ny;
    w.reverse_phase = reverse_phase;
    w.dt = t_line / static_cast<double>(nx);
    w.half = (static_cast<double>(nx * ny) * w.dt) * 0.5;
    return w;
}

Sample Walk::at(std::size_t s) const {
    const std::size_t i = s / nx;
    const std::size_t c = s % nx;
    const std::size_t ky = line_ky(i);
    // The parity of ky, not of the line number, sets the direction: with an even ny and the
    // default downward walk the first line runs from high kx to low kx.
    return {ky % 2 == 0 ? c : nx - 1 - c, ky};
}

}  // namespace quorvel::readout
