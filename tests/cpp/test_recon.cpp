// Internals of the k-space stage that Python cannot reach: both y-encoding paths of the coil
// k-space against a slow direct sum, and the linear solver of GRAPPA on singular systems.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <ostream>
#include <random>
#include <vector>

#include "acquisition/coil.hpp"
#include "core/error.hpp"
#include "acquisition/recon.hpp"

using namespace quorvel;
using namespace quorvel::kspace;

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

double max_abs_diff(const std::vector<C>& a, const std::vector<C>& b) {
    double m = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) m = std::max(m, abs(a[i] - b[i]));
    return m;
}

// A slice with two compartments, random images, field map and phase; owns what the input views.
struct Slice {
    std::vector<float> img0, img1, t2{80.0f, 2000.0f}, fieldmap;
    std::vector<double> phase;
    SliceInput in;
    Slice(std::size_t nx, std::size_t ny, std::size_t o, double field_hz) {
        std::mt19937_64 gen(42);
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        for (std::size_t i = 0; i < nx * o * ny * o; ++i)
            img0.push_back(float(u(gen) + 1)), img1.push_back(float(u(gen) + 1)), fieldmap.push_back(float(field_hz * u(gen))),
                phase.push_back(u(gen));
        in = {{img0, img1}, t2, fieldmap, phase, nx * o, ny * o, nx, ny, 3, 8, {0.6, -0.48, 0.64}, 1000.0, 77};
    }
};

// The k-space by its definition: one double sum per sample, no tables, no reuse.
std::vector<C> reference_kspace(const SliceInput& in, const Acquisition& acq, std::size_t c, std::size_t nc) {
    const std::size_t snx = in.snx, sny = in.sny, nx = in.nx, ny = in.ny, hx = nx / 2, hy = ny / 2;
    const double ox = double(snx / nx), oy = double(sny / ny);
    const double cx = ox * double(hx) + (ox - 1) / 2, cy = oy * double(hy) + (oy - 1) / 2;
    const LineTimes lt = line_times_for(nx, ny, acq.t_line, acq.t_echo, acq.reverse_phase, acq.pf_mode, acq.partial_fourier);
    const auto mask = sampling_mask(nx, ny, acq);
    const double g[3] = {in.bval * in.bvec[0], in.bval * in.bvec[1], in.bval * in.bvec[2]};
    const bool eddy = std::abs(in.bval) > 1e-9 && acq.eddy_strength != 0.0;
    const double zp = double(in.z) - (double(in.nz_full) - 1) / 2, ze = double(in.z) - double(in.nz_full / 2);
    const double r = double(std::max(nx, ny)), th = kTwoPi * double(c) / double(nc);
    const double X = double(nx) / 2 + 0.6 * r * std::cos(th), Y = double(ny) / 2 + 0.6 * r * std::sin(th);
    std::vector<C> out(nx * ny);
    for (std::size_t ky = 0; ky < ny; ++ky) {
        if (mask[ky * nx] != 1) continue;
        const double ts = lt.t_ms[ky] / 1000.0, a = ts * std::exp(-lt.t_read_ms[ky] / acq.eddy_tau);
        const double ghost = ky % 2 == 0 ? acq.ghost_offset : -acq.ghost_offset;
        for (std::size_t kx = 0; kx < nx; ++kx) {
            C sum{};
            for (std::size_t i = 0; i < snx * sny; ++i) {
                const double x = double(i % snx), y = double(i / snx), xx = (x - cx) / ox, yy = (y - cy) / oy;
                const double xa = (x - (ox - 1) / 2) / ox, ya = (y - (oy - 1) / 2) / oy;
                double s = acq.signal_scale;
                if (nc >= 2) s *= std::exp(-((xa - X) * (xa - X) + (ya - Y) * (ya - Y)) / (2 * 0.81 * r * r)) + 0.15;
                double m = 0.0;
                for (std::size_t j = 0; j < in.images.size(); ++j)
                    m += in.images[j][i] * (acq.do_relaxation ? std::exp(-lt.t_rf_ms[ky] / in.t2[j] - std::abs(ts) * 1000 / acq.t_inhom) : 1.0);
                double ang = kTwoPi * (acq.do_distortions ? in.fieldmap[i] : 0.0) * ts + in.phase[i];
                if (acq.eddy_phase != 0.0 && std::abs(in.bval) > 1e-9) ang += acq.eddy_phase * (g[0] * xx + g[1] * yy + g[2] * zp);
                auto e = [&](double gi, double u) { return acq.eddy_quad * gi * u * u + acq.eddy_strength * gi * u; };
                if (eddy) ang += kTwoPi * a * (e(g[0], xx) + e(g[1], yy) + e(g[2], ze));
                ang += kTwoPi * (ghost * (x - cx) / double(snx) + (double(kx) - double(hx)) * (x - cx) / double(snx) +
                                 (double(ky) - double(hy)) * (y - cy) / double(sny));
                sum += (s * m) * cis(ang);
            }
            out[ky * nx + kx] = sum * (1.0 / double(snx * sny));
        }
    }
    return out;
}

struct PathCase { std::size_t nx, ny, o; bool reverse_phase; std::size_t accel; double partial_fourier; std::size_t n_coils; double field_hz; };
// Named by its fields in test listings (the default prints the raw bytes, padding included).
void PrintTo(const PathCase& c, std::ostream* os) {
    *os << c.nx << "x" << c.ny << " o" << c.o << (c.reverse_phase ? " reversed" : "") << " R" << c.accel << " pf"
        << c.partial_fourier << " coils" << c.n_coils << " " << c.field_hz << "Hz";
}

class CoilKspace : public ::testing::TestWithParam<PathCase> {};

TEST_P(CoilKspace, BothPathsMatchTheDirectSum) {
    const PathCase pc = GetParam();
    Slice s(pc.nx, pc.ny, pc.o, pc.field_hz);
    Acquisition acq;
    acq.t_line = 0.8, acq.reverse_phase = pc.reverse_phase, acq.accel = pc.accel, acq.acs_lines = 6;
    acq.partial_fourier = pc.partial_fourier, acq.ghost_offset = 0.07, acq.eddy_phase = 0.001, acq.n_coils = pc.n_coils;
    Acquisition eddy = acq;
    eddy.eddy_strength = 0.02, eddy.eddy_quad = 0.003;
    const std::size_t nc = std::max<std::size_t>(pc.n_coils, 1);
    // With three or more rows the protocol takes the NUFFT path unless eddy currents act.
    const LineTimes lt = line_times_for(pc.nx, pc.ny, acq.t_line, acq.t_echo, acq.reverse_phase, acq.pf_mode, acq.partial_fourier);
    EXPECT_EQ(regular_line_timing(lt.t_ms), pc.ny >= 3);
    SliceInput zero_g = s.in, b0 = s.in;
    zero_g.bvec = {0.0, 0.0, 0.0};
    b0.bval = 1e-10;  // counts as unweighted
    Acquisition none = acq, quad_only = acq;
    none.eddy_phase = 0.0, quad_only.eddy_quad = 0.003;
    for (std::size_t c = 0; c < nc; ++c) {
        const std::vector<C> ref = reference_kspace(s.in, acq, c, nc), ref_eddy = reference_kspace(s.in, eddy, c, nc);
        double scale = 0.0;
        for (const C& v : ref) scale = std::max(scale, abs(v));
        // Sums of snx*sny terms of similar size at a kernel accuracy of 1e-13: 1e-9 of the peak is safe.
        const std::vector<C> plain = build_coil_kspace(s.in, acq, c, nc);
        EXPECT_LT(max_abs_diff(plain, ref), 1e-9 * scale) << "coil " << c;
        // Direct path (rotor reuse, refreshed every 32 rows) with real eddy currents.
        const std::vector<C> direct = build_coil_kspace(s.in, eddy, c, nc);
        EXPECT_LT(max_abs_diff(direct, ref_eddy), 1e-9 * scale) << "coil " << c;
        EXPECT_GT(max_abs_diff(direct, plain), 1e-6 * scale) << "eddy currents must change the samples";
        // A zero gradient: eddy currents switch the path and nothing else.
        EXPECT_LT(max_abs_diff(build_coil_kspace(zero_g, eddy, c, nc), build_coil_kspace(zero_g, acq, c, nc)), 1e-9 * scale);
        // No eddy effect at all without a b-value, nor of the quadratic term without the linear one.
        EXPECT_EQ(max_abs_diff(build_coil_kspace(b0, eddy, c, nc), build_coil_kspace(b0, none, c, nc)), 0.0);
        EXPECT_EQ(max_abs_diff(build_coil_kspace(s.in, quad_only, c, nc), plain), 0.0);
    }
}

INSTANTIATE_TEST_SUITE_P(Protocols, CoilKspace,
                         ::testing::Values(PathCase{8, 8, 1, false, 1, 1.0, 1, 30.0},   // plain, one coil
                                           PathCase{8, 10, 2, true, 1, 1.0, 3, 60.0},   // oversampled, reversed, coils
                                           PathCase{7, 9, 2, false, 2, 1.0, 2, 40.0},   // odd sizes, R = 2 (row step 2)
                                           PathCase{6, 40, 1, false, 1, 0.75, 1, 25.0}, // > 32 rows: refresh; PF
                                           PathCase{6, 12, 3, false, 1, 1.0, 0, 80.0},  // n_coils 0 counts as one
                                           PathCase{6, 2, 2, false, 1, 1.0, 1, 50.0})); // two rows: direct path only

TEST(CoilKspace, RegularTimingAndSizeChecks) {
    EXPECT_TRUE(regular_line_timing(std::vector<double>{0.0, 1.5, 2.0, 3.5, 4.0}));
    EXPECT_FALSE(regular_line_timing(std::vector<double>{0.0, 1.0, 2.0, 3.0, 4.5}));
    EXPECT_FALSE(regular_line_timing(std::vector<double>{0.0, NAN, 2.0, 3.0}));
    Slice s(4, 4, 1, 0.0);
    s.in.nx = 3;
    try {
        build_coil_kspace(s.in, Acquisition{}, 0, 1);
        ADD_FAILURE() << "expected InvalidInput";
    } catch (const InvalidInput& e) {
        EXPECT_STREQ(e.what(), "sim grid must be an integer multiple of the acquired matrix");
    }
}

TEST(SolveHermitian, PivotsAndZeroesSingularComponents) {
    // A zero first pivot needs a row swap; a zero pivot gives a zero component. General complex
    // systems are pinned through GRAPPA against NumPy; the ridge there keeps every pivot away from 0.
    EXPECT_EQ(max_abs_diff(solve_hermitian({C{0, 0}, C{1, 0}, C{1, 0}, C{0, 0}}, {C{3, 0}, C{4, 1}}), {C{4, 1}, C{3, 0}}), 0.0);
    EXPECT_EQ(max_abs_diff(solve_hermitian({C{2, 0}, C{0, 0}, C{0, 0}, C{0, 0}}, {C{4, 2}, C{5, 0}}), {C{2, 1}, C{0, 0}}), 0.0);
    EXPECT_TRUE(solve_hermitian({}, {}).empty());
}

}  // namespace
