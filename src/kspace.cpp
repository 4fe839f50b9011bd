#include "kspace.hpp"

#include "error.hpp"
#include "readout.hpp"

namespace quorvel::kspace {

Acquisition Acquisition::hbcd(std::size_t ny) {
    Acquisition a;
    a.t_line = 91.7 / static_cast<double>(ny == 0 ? 1 : ny);
    a.t_echo = 88.0;
    a.partial_fourier = 0.75;
    a.ghost_offset = 0.015;
    return a;
}

LineTimes line_times_for(std::size_t nx, std::size_t ny, double, double, bool, PartialFourierMode, double) {
    LineTimes lt;
    lt.t_ms.assign(ny, 0.0);
    lt.t_rf_ms.assign(ny, 0.0);
    lt.t_read_ms.assign(ny, 0.0);
    (void)nx;
    return lt;
}

EpiTiming epi_timing(std::size_t, std::size_t, const Acquisition&) { return {}; }

std::vector<TrajectorySample> epi_trajectory(std::size_t, std::size_t, const Acquisition&) { return {}; }

std::vector<std::uint8_t> sampling_mask(std::size_t nx, std::size_t ny, const Acquisition&) {
    return std::vector<std::uint8_t>(nx * ny, 1);
}

}  // namespace quorvel::kspace
