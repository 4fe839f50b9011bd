#include "acquisition/kspace.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "core/error.hpp"
#include "acquisition/readout.hpp"
#include "core/sizes.hpp"

namespace quorvel::kspace {
namespace {

// A line count from a real number the way a saturating float-to-unsigned cast gives it:
// negative values and NaN become 0, values beyond the range saturate.
std::size_t to_count(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= static_cast<double>(std::numeric_limits<std::size_t>::max())) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(v);
}

// Lines kept by partial Fourier: round(pf*ny), halves away from zero.
std::size_t kept_lines(double partial_fourier, std::size_t ny) {
    return to_count(std::round(partial_fourier * static_cast<double>(ny)));
}

bool keeps_partial_fourier(std::size_t ky, std::size_t ny, double pf, PartialFourierMode mode, bool reverse) {
    if (!(pf < 1.0)) return true;
    const std::size_t keep = kept_lines(pf, ny);
    const std::size_t drop = keep >= ny ? 0 : ny - keep;
    const double fy = static_cast<double>(ky);
    const double fny = static_cast<double>(ny);
    switch (mode) {
        // The walk reaches the dropped block first, matching the shift of the readout clock.
        case PartialFourierMode::Scanner: return reverse ? ky >= drop : ky < keep;
        case PartialFourierMode::Contiguous: return reverse ? ky < keep : ky >= drop;
        // The two bounds are not mirror images: floor on one side, ceil on the other.
        case PartialFourierMode::Fiberfox:
            return reverse ? fy <= std::ceil(pf * fny)
                           : fy >= std::floor((1.0 - pf) * fny) || (ny % 2 == 0 && ky == 0);
    }
    return true;
}

bool keeps_acceleration(std::size_t ky, std::size_t ny, std::size_t accel, std::size_t acs_lines) {
    if (accel < 2) return true;
    const std::size_t c = ny / 2;
    const std::size_t h = acs_lines / 2;
    const std::size_t dist = ky > c ? ky - c : c - ky;
    return dist <= h || ky % accel == c % accel;
}

void check_size(std::size_t nx, std::size_t ny) {
    QV_ASSERT(checked_product({nx, ny}).has_value(), "readout: nx * ny overflows");
}

}  // namespace

Acquisition Acquisition::hbcd(std::size_t ny) {
    Acquisition a;
    a.t_line = 91.7 / static_cast<double>(ny == 0 ? 1 : ny);
    a.t_echo = 88.0;
    a.partial_fourier = 0.75;
    a.ghost_offset = 0.015;
    return a;
}

LineTimes line_times_for(std::size_t nx, std::size_t ny, double t_line, double t_echo, bool reverse_phase,
                         PartialFourierMode pf_mode, double partial_fourier) {
    LineTimes lt;
    lt.t_ms.assign(ny, 0.0);
    lt.t_rf_ms.assign(ny, 0.0);
    lt.t_read_ms.assign(ny, 0.0);
    if (nx == 0 || ny == 0) return lt;
    check_size(nx, ny);
    const readout::Walk w = readout::walk(nx, ny, t_line, reverse_phase);
    const std::size_t centre = nx / 2;
    for (std::size_t i = 0; i < ny; ++i) {
        const std::size_t ky = w.line_ky(i);
        // The column of line i whose kx is the centre column (lines alternate direction).
        const std::size_t col = ky % 2 == 0 ? centre : nx - 1 - centre;
        const std::size_t s = i * nx + col;
        const double fs = static_cast<double>(s);
        lt.t_ms[ky] = w.time(s);
        lt.t_rf_ms[ky] = lt.t_ms[ky] + t_echo;
        lt.t_read_ms[ky] = w.dt * fs + w.dt * 0.5;
    }
    // A scanner skips the first lines of a partial-Fourier readout altogether, so its readout
    // clock starts at the first line actually acquired.
    if (pf_mode == PartialFourierMode::Scanner && partial_fourier < 1.0) {
        const std::size_t keep = kept_lines(partial_fourier, ny);
        const double shift = static_cast<double>(keep > ny ? 0 : ny - keep) * t_line;
        if (shift > 0.0)
            for (double& t : lt.t_read_ms) t -= shift;
    }
    return lt;
}

EpiTiming epi_timing(std::size_t nx, std::size_t ny, const Acquisition& acq) {
    if (nx == 0 && ny > 0) throw InvalidInput("nx: expected at least 1 sample per line when ny > 0, got 0");
    LineTimes lt = line_times_for(nx, ny, acq.t_line, acq.t_echo, acq.reverse_phase, acq.pf_mode, acq.partial_fourier);
    EpiTiming e;
    e.t_ms = std::move(lt.t_ms);
    e.t_rf_ms = std::move(lt.t_rf_ms);
    e.t_read_ms = std::move(lt.t_read_ms);
    e.order.resize(ny);
    for (std::size_t i = 0; i < ny; ++i) e.order[i] = acq.reverse_phase ? i : ny - 1 - i;
    e.t_line = acq.t_line;
    e.t_echo = acq.t_echo;
    e.dt = acq.t_line / static_cast<double>(nx);
    return e;
}

std::vector<TrajectorySample> epi_trajectory(std::size_t nx, std::size_t ny, const Acquisition& acq) {
    check_size(nx, ny);
    const readout::Walk w = readout::walk(nx, ny, acq.t_line, acq.reverse_phase);
    std::vector<TrajectorySample> out(w.samples());
    for (std::size_t s = 0; s < out.size(); ++s) {
        const readout::Sample p = w.at(s);
        out[s] = {p.kx, p.ky, w.time(s)};
    }
    return out;
}

std::vector<std::uint8_t> sampling_mask(std::size_t nx, std::size_t ny, const Acquisition& acq) {
    check_size(nx, ny);
    std::vector<std::uint8_t> mask(nx * ny, 0);
    if (mask.empty()) return mask;
    for (std::size_t ky = 0; ky < ny; ++ky) {
        if (!keeps_partial_fourier(ky, ny, acq.partial_fourier, acq.pf_mode, acq.reverse_phase)) continue;
        if (!keeps_acceleration(ky, ny, acq.accel, acq.acs_lines)) continue;
        std::fill(mask.begin() + static_cast<std::ptrdiff_t>(ky * nx),
                  mask.begin() + static_cast<std::ptrdiff_t>((ky + 1) * nx), std::uint8_t{1});
    }
    return mask;
}

}  // namespace quorvel::kspace
