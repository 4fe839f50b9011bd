// The FFT and NUFFT work that one volume of a simulated acquisition contains, timed on one thread.
// bench_acquire.py compares it with the time of the whole acquisition of the same protocol.
//
// Per slice and coil the acquisition runs, as the coil k-space synthesis does on its NUFFT
// path: one Nufft1 plan, one transform of 2*ncomp channels per simulation column, one inverse
// FFT of length snx per sampled row; and, as the reconstruction does: ny row FFTs of length nx
// and nx column FFTs of length ny.
//
// Usage: bench_kspace_kernels nx ny o nz ncomp ncoils accel acs_lines partial_fourier
// Prints the seconds of one volume's transforms.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "core/fft.hpp"
#include "acquisition/kspace.hpp"
#include "acquisition/nufft.hpp"

using namespace quorvel;

int main(int argc, char** argv) {
    if (argc != 10) {
        std::fprintf(stderr, "usage: %s nx ny o nz ncomp ncoils accel acs_lines partial_fourier\n", argv[0]);
        return 2;
    }
    auto arg = [&](int i) { return static_cast<std::size_t>(std::strtoull(argv[i], nullptr, 10)); };
    const std::size_t nx = arg(1), ny = arg(2), o = arg(3), nz = arg(4), ncomp = arg(5), ncoils = arg(6);
    kspace::Acquisition acq;
    acq.accel = arg(7);
    acq.acs_lines = arg(8);
    acq.partial_fourier = std::strtod(argv[9], nullptr);
    const std::size_t snx = nx * o, sny = ny * o, nch = 2 * ncomp;
    const std::vector<std::uint8_t> mask = kspace::sampling_mask(nx, ny, acq);
    std::size_t rows = 0;
    for (std::size_t ky = 0; ky < ny; ++ky) rows += mask[ky * nx] == 1;

    std::mt19937_64 gen(42);
    std::normal_distribution<double> nd;
    std::vector<double> pos(sny);
    std::vector<std::vector<double>> re(nch, std::vector<double>(sny)), im(nch, std::vector<double>(sny));
    for (std::size_t y = 0; y < sny; ++y) pos[y] = static_cast<double>(y) + 0.3 * nd(gen);
    for (std::size_t c = 0; c < nch; ++c)
        for (std::size_t y = 0; y < sny; ++y) re[c][y] = nd(gen), im[c][y] = nd(gen);
    std::vector<nufft::ChannelIn> ins(nch);
    for (std::size_t c = 0; c < nch; ++c) ins[c] = {re[c], im[c]};
    std::vector<nufft::ChannelOut> outs(nch);
    // Transforms are unnormalised: every buffer is refilled before it is transformed again, so the
    // values stay finite (the copies cost a small fraction of the transforms).
    const std::vector<C> row0(snx, C{1.0, 0.5}), kspace0(nx * ny, C{0.5, 1.0});
    std::vector<C> row(snx), kspace(nx * ny), column(ny);
    const auto row_plan = fft::plan(snx, fft::Direction::Inverse);
    const auto rx = fft::plan(nx, fft::Direction::Forward);
    const auto ry = fft::plan(ny, fft::Direction::Forward);

    double sink = 0.0;
    const auto t0 = std::chrono::steady_clock::now();
    for (std::size_t z = 0; z < nz; ++z)
        for (std::size_t coil = 0; coil < ncoils; ++coil) {
            nufft::Nufft1 plan(sny, -static_cast<std::ptrdiff_t>(ny / 2), ny, 1e-13);
            for (std::size_t x = 0; x < snx; ++x) {
                plan.run(pos, ins, outs);
                sink += outs[0].re[0];
            }
            sink += kspace[0].re;
            for (std::size_t r = 0; r < rows; ++r) {
                row = row0;
                row_plan->execute(row);
                sink += row[0].re;
            }
            kspace = kspace0;
            for (std::size_t y = 0; y < ny; ++y) rx->execute(std::span<C>(kspace).subspan(y * nx, nx));
            for (std::size_t x = 0; x < nx; ++x) {
                for (std::size_t y = 0; y < ny; ++y) column[y] = kspace[x + nx * y];
                ry->execute(column);
                for (std::size_t y = 0; y < ny; ++y) kspace[x + nx * y] = column[y];
            }
        }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%.6f\n", seconds);
    std::fprintf(stderr, "(checksum %g)\n", sink);
    return 0;
}
