// Times Nufft1::run on the shape the coil k-space synthesis uses (period n, n samples displaced
// from the rows by off-resonance, 6 coil channels, the full band of n frequencies, tol 1e-13)
// against its floor: the 6 plain FFTs of length 2n that every run must do.
//
//   nufft_bench [--dump DIR]
//
// With --dump, the positions, inputs and outputs of each size go to DIR/nufft_<n>.bin (float64:
// S, nch, m, k0, tol, positions[S], re/im per channel [nch][2][S], re/im outputs [nch][2][m]) so
// that another implementation can be timed and checked on the same data.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/fft.hpp"
#include "acquisition/nufft.hpp"

using namespace quorvel;

namespace {

// Best time per call of f (seconds): the fastest of several repetitions, each long enough to
// average out timer resolution.
template <class F>
double best_time(F&& f) {
    using clock = std::chrono::steady_clock;
    for (int i = 0; i < 20; ++i) f();
    std::size_t reps = 1;
    for (;;) {
        auto t0 = clock::now();
        for (std::size_t i = 0; i < reps; ++i) f();
        double dt = std::chrono::duration<double>(clock::now() - t0).count();
        if (dt > 0.02) break;
        reps *= 2;
    }
    double best = 1e300;
    for (int r = 0; r < 9; ++r) {
        auto t0 = clock::now();
        for (std::size_t i = 0; i < reps; ++i) f();
        best = std::min(best, std::chrono::duration<double>(clock::now() - t0).count() / static_cast<double>(reps));
    }
    return best;
}

void put(std::FILE* f, const std::vector<double>& v) { std::fwrite(v.data(), sizeof(double), v.size(), f); }

}  // namespace

int main(int argc, char** argv) {
    std::string dump;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--dump") == 0 && i + 1 < argc) dump = argv[++i];

    const std::size_t nch = 6;
    const double tol = 1e-13;
    std::mt19937_64 gen(42);
    std::printf("%6s %6s %4s %12s %12s %8s\n", "n", "S", "nch", "run_us", "floor_us", "ratio");
    for (std::size_t n : {256u, 512u}) {
        const std::size_t ns = n;
        const auto k0 = -static_cast<std::ptrdiff_t>(n / 2);
        const std::size_t m = n;
        // Row y displaced by a smooth off-resonance shift of a few rows, as in an EPI column.
        std::uniform_real_distribution<double> jitter(-0.5, 0.5);
        std::normal_distribution<double> nd;
        std::vector<double> x(ns);
        for (std::size_t s = 0; s < ns; ++s)
            x[s] = static_cast<double>(s) + 3.0 * std::sin(0.05 * static_cast<double>(s)) + jitter(gen);
        std::vector<std::vector<double>> re(nch, std::vector<double>(ns)), im(nch, std::vector<double>(ns));
        for (std::size_t c = 0; c < nch; ++c)
            for (std::size_t s = 0; s < ns; ++s) {
                re[c][s] = nd(gen);
                im[c][s] = nd(gen);
            }
        std::vector<nufft::ChannelIn> in;
        for (std::size_t c = 0; c < nch; ++c) in.push_back({re[c], im[c]});
        std::vector<nufft::ChannelOut> out(nch);

        nufft::Nufft1 plan(n, k0, m, tol);
        const double t_run = best_time([&] { plan.run(x, in, out); });

        auto fft = fft::plan(2 * n, fft::Direction::Inverse);
        std::vector<std::vector<C>> grids(nch, std::vector<C>(2 * n));
        for (auto& g : grids)
            for (std::size_t j = 0; j < g.size(); ++j) g[j] = {nd(gen) * 1e-3, nd(gen) * 1e-3};
        const double t_floor = best_time([&] {
            for (auto& g : grids) fft->execute(g);
        });

        std::printf("%6zu %6zu %4zu %12.2f %12.2f %8.2f\n", n, ns, nch, t_run * 1e6, t_floor * 1e6, t_run / t_floor);

        if (!dump.empty()) {
            plan.run(x, in, out);
            const std::string path = dump + "/nufft_" + std::to_string(n) + ".bin";
            std::FILE* f = std::fopen(path.c_str(), "wb");
            if (f == nullptr) {
                std::perror(path.c_str());
                return 1;
            }
            put(f, {static_cast<double>(ns), static_cast<double>(nch), static_cast<double>(m),
                    static_cast<double>(k0), tol});
            put(f, x);
            for (std::size_t c = 0; c < nch; ++c) {
                put(f, re[c]);
                put(f, im[c]);
            }
            for (std::size_t c = 0; c < nch; ++c) {
                put(f, out[c].re);
                put(f, out[c].im);
            }
            std::fclose(f);
        }
    }
    return 0;
}
