// Internals of the k-space stage that Python cannot reach: the linear solver, both y-encoding
// paths of the coil k-space against a slow direct sum, and the centred 2-D transform.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <ostream>
#include <random>
#include <vector>

#include "coil.hpp"
#include "error.hpp"
#include "recon.hpp"

using namespace quorvel;
using namespace quorvel::kspace;

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

std::vector<C> random_complex(std::size_t n, std::mt19937_64& gen) {
    std::normal_distribution<double> nd;
    std::vector<C> v(n);
    for (C& c : v) c = {nd(gen), nd(gen)};
    return v;
}

double max_abs_diff(const std::vector<C>& a, const std::vector<C>& b) {
    double m = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) m = std::max(m, abs(a[i] - b[i]));
    return m;
}

double max_abs(const std::vector<C>& a) {
    double m = 0.0;
    for (const C& c : a) m = std::max(m, abs(c));
    return m;
}

// ---- solve_hermitian ----

TEST(SolveHermitian, SolvesAPositiveDefiniteSystem) {
    std::mt19937_64 gen(42);
    const std::size_t n = 12;
    std::vector<C> m = random_complex(n * n, gen);
    std::vector<C> a(n * n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            C s{};
            for (std::size_t k = 0; k < n; ++k) s += conj(m[k * n + i]) * m[k * n + j];
            a[i * n + j] = s + (i == j ? C{1.0, 0.0} : C{});
        }
    const std::vector<C> x = random_complex(n, gen);
    std::vector<C> b(n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) b[i] += a[i * n + j] * x[j];
    const std::vector<C> got = solve_hermitian(a, b);
    // The system is well conditioned (eigenvalues >= 1): a few hundred epsilon suffice.
    EXPECT_LT(max_abs_diff(got, x), 1e-12);
}

TEST(SolveHermitian, PivotsAndZeroesSingularComponents) {
    // Needs a row swap: the first pivot is zero.
    std::vector<C> got = solve_hermitian({C{0, 0}, C{1, 0}, C{1, 0}, C{0, 0}}, {C{3, 0}, C{4, 1}});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].re, 4.0);
    EXPECT_EQ(got[0].im, 1.0);
    EXPECT_EQ(got[1].re, 3.0);
    // A zero pivot gives a zero component rather than a division by zero.
    got = solve_hermitian({C{2, 0}, C{0, 0}, C{0, 0}, C{0, 0}}, {C{4, 2}, C{5, 0}});
    EXPECT_EQ(got[0].re, 2.0);
    EXPECT_EQ(got[0].im, 1.0);
    EXPECT_EQ(got[1].re, 0.0);
    EXPECT_EQ(got[1].im, 0.0);
    EXPECT_TRUE(solve_hermitian({}, {}).empty());
}

// ---- coil k-space: both paths against the defining sum ----

struct Slice {
    std::size_t snx, sny, nx, ny, ncomp;
    std::vector<std::vector<float>> images;
    std::vector<float> t2;
    std::vector<float> fieldmap;
    std::vector<double> phase;
    SliceInput input() const {
        SliceInput in;
        for (const auto& img : images) in.images.emplace_back(img);
        in.t2 = t2;
        in.fieldmap = fieldmap;
        in.phase = phase;
        in.snx = snx;
        in.sny = sny;
        in.nx = nx;
        in.ny = ny;
        in.z = 3;
        in.nz_full = 8;
        in.bvec = {0.6, -0.48, 0.64};
        in.bval = 1000.0;
        in.seed = 77;
        return in;
    }
};

Slice make_slice(std::size_t nx, std::size_t ny, std::size_t o, double field_hz, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Slice s{nx * o, ny * o, nx, ny, 2, {}, {80.0f, 2000.0f}, {}, {}};
    const std::size_t n = s.snx * s.sny;
    for (std::size_t j = 0; j < s.ncomp; ++j) {
        std::vector<float> img(n);
        for (float& v : img) v = static_cast<float>(u(gen));
        s.images.push_back(img);
    }
    s.fieldmap.resize(n);
    s.phase.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        s.fieldmap[i] = static_cast<float>(field_hz * (2.0 * u(gen) - 1.0));
        s.phase[i] = 2.0 * u(gen) - 1.0;
    }
    return s;
}

// The k-space by its definition: a direct double sum per sample, no tables, no reuse.
std::vector<C> reference_kspace(const SliceInput& in, const Acquisition& acq, std::size_t c, std::size_t nc) {
    const std::size_t snx = in.snx, sny = in.sny, nx = in.nx, ny = in.ny;
    const double ox = double(snx / nx), oy = double(sny / ny);
    const std::size_t hx = nx / 2, hy = ny / 2;
    const double cx = ox * double(hx) + (ox - 1) / 2, cy = oy * double(hy) + (oy - 1) / 2;
    const LineTimes lt = line_times_for(nx, ny, acq.t_line, acq.t_echo, acq.reverse_phase, acq.pf_mode,
                                        acq.partial_fourier);
    const auto mask = sampling_mask(nx, ny, acq);
    const double g[3] = {in.bval * in.bvec[0], in.bval * in.bvec[1], in.bval * in.bvec[2]};
    const bool eddy = std::abs(in.bval) > 1e-9 && acq.eddy_strength != 0.0;
    const double zp = double(in.z) - (double(in.nz_full) - 1) / 2, ze = double(in.z) - double(in.nz_full / 2);
    std::vector<C> out(nx * ny);
    for (std::size_t ky = 0; ky < ny; ++ky) {
        if (mask[ky * nx] != 1) continue;
        const double ts = lt.t_ms[ky] / 1000.0;
        const double a = ts * std::exp(-lt.t_read_ms[ky] / acq.eddy_tau);
        const double ghost = ky % 2 == 0 ? acq.ghost_offset : -acq.ghost_offset;
        for (std::size_t kx = 0; kx < nx; ++kx) {
            C sum{};
            for (std::size_t y = 0; y < sny; ++y)
                for (std::size_t x = 0; x < snx; ++x) {
                    const std::size_t i = x + snx * y;
                    const double xx = (double(x) - cx) / ox, yy = (double(y) - cy) / oy;
                    double s = acq.signal_scale;
                    if (nc >= 2) {
                        const double r = double(std::max(nx, ny)), th = kTwoPi * double(c) / double(nc);
                        const double X = double(nx) / 2 + 0.6 * r * std::cos(th);
                        const double Y = double(ny) / 2 + 0.6 * r * std::sin(th);
                        const double xa = (double(x) - (ox - 1) / 2) / ox, ya = (double(y) - (oy - 1) / 2) / oy;
                        s *= std::exp(-((xa - X) * (xa - X) + (ya - Y) * (ya - Y)) / (2 * 0.81 * r * r)) + 0.15;
                    }
                    double m = 0.0;
                    for (std::size_t j = 0; j < in.images.size(); ++j) {
                        const double w = acq.do_relaxation
                                             ? std::exp(-lt.t_rf_ms[ky] / in.t2[j] - std::abs(ts) * 1000 / acq.t_inhom)
                                             : 1.0;
                        m += w * in.images[j][i];
                    }
                    const double f = acq.do_distortions ? in.fieldmap[i] : 0.0;
                    double phi = in.phase[i];
                    if (acq.eddy_phase != 0.0 && std::abs(in.bval) > 1e-9)
                        phi += acq.eddy_phase * (g[0] * xx + g[1] * yy + g[2] * zp);
                    double ang = kTwoPi * f * ts + phi;
                    if (eddy) {
                        auto e = [&](double gi, double u) {
                            return acq.eddy_quad * gi * u * u + acq.eddy_strength * gi * u;
                        };
                        ang += kTwoPi * a * (e(g[0], xx) + e(g[1], yy) + e(g[2], ze));
                    }
                    ang += kTwoPi * ghost * (double(x) - cx) / double(snx);
                    ang += kTwoPi * ((double(kx) - double(hx)) * (double(x) - cx) / double(snx) +
                                     (double(ky) - double(hy)) * (double(y) - cy) / double(sny));
                    sum += (s * m) * cis(ang);
                }
            out[ky * nx + kx] = sum * (1.0 / double(snx * sny));
        }
    }
    return out;
}

struct PathCase {
    std::size_t nx, ny, o;
    bool reverse_phase;
    std::size_t accel;
    double partial_fourier;
    std::size_t n_coils;
    double field_hz;
};

void PrintTo(const PathCase& c, std::ostream* os) {
    *os << c.nx << "x" << c.ny << " o=" << c.o << " reverse=" << c.reverse_phase << " R=" << c.accel
        << " pf=" << c.partial_fourier << " coils=" << c.n_coils << " field=" << c.field_hz;
}

class CoilKspace : public ::testing::TestWithParam<PathCase> {};

TEST_P(CoilKspace, BothPathsMatchTheDirectSum) {
    const PathCase pc = GetParam();
    const Slice s = make_slice(pc.nx, pc.ny, pc.o, pc.field_hz, 42);
    Acquisition acq;
    acq.t_line = 0.8;
    acq.reverse_phase = pc.reverse_phase;
    acq.accel = pc.accel;
    acq.acs_lines = 6;
    acq.partial_fourier = pc.partial_fourier;
    acq.ghost_offset = 0.07;
    acq.eddy_phase = 0.001;
    acq.n_coils = pc.n_coils;
    const std::size_t nc = std::max<std::size_t>(pc.n_coils, 1);

    const LineTimes lt = line_times_for(pc.nx, pc.ny, acq.t_line, acq.t_echo, acq.reverse_phase, acq.pf_mode,
                                        acq.partial_fourier);
    ASSERT_TRUE(regular_line_timing(lt.t_ms)) << "the protocol must allow the NUFFT path";

    SliceInput in = s.input();
    for (std::size_t c = 0; c < nc; ++c) {
        // NUFFT path: no eddy currents.
        const std::vector<C> nufft = build_coil_kspace(in, acq, c, nc);
        const std::vector<C> ref = reference_kspace(in, acq, c, nc);
        const double scale = max_abs(ref);
        ASSERT_GT(scale, 0.0);
        // The NUFFT kernel is built for a relative accuracy of 1e-13 of the summed magnitudes;
        // the sum has snx*sny terms of similar size, so 1e-9 of the peak is a safe bound.
        EXPECT_LT(max_abs_diff(nufft, ref), 1e-9 * scale) << "coil " << c;

        // Direct path on identical physics: eddy currents switched on for a volume whose
        // gradient vector is zero change nothing but the choice of path.
        Acquisition eddy = acq;
        eddy.eddy_strength = 0.02;
        eddy.eddy_quad = 0.003;
        SliceInput zero_g = in;
        zero_g.bvec = {0.0, 0.0, 0.0};
        const std::vector<C> direct_same = build_coil_kspace(zero_g, eddy, c, nc);
        const std::vector<C> nufft_same = build_coil_kspace(zero_g, acq, c, nc);
        EXPECT_LT(max_abs_diff(direct_same, nufft_same), 1e-9 * scale) << "coil " << c;

        // Direct path with real eddy currents against the direct sum; rotor reuse drifts by a
        // few ulps per step and is refreshed every 32 rows.
        const std::vector<C> direct = build_coil_kspace(in, eddy, c, nc);
        const std::vector<C> ref_eddy = reference_kspace(in, eddy, c, nc);
        EXPECT_LT(max_abs_diff(direct, ref_eddy), 1e-9 * scale) << "coil " << c;
        EXPECT_GT(max_abs_diff(direct, nufft), 1e-6 * scale) << "eddy currents must change the samples";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Protocols, CoilKspace,
    ::testing::Values(PathCase{8, 8, 1, false, 1, 1.0, 1, 30.0},   // plain, one coil
                      PathCase{8, 10, 2, true, 1, 1.0, 3, 60.0},   // oversampled, reversed, coils
                      PathCase{7, 9, 2, false, 2, 1.0, 2, 40.0},   // odd sizes, R = 2 (row step 2)
                      PathCase{6, 40, 1, false, 1, 0.75, 1, 25.0}, // > 32 rows: rotor refresh; PF
                      PathCase{6, 12, 3, false, 1, 1.0, 0, 80.0}   // n_coils 0 counts as one
                      ));

TEST(CoilKspace, FewRowsTakeTheDirectPath) {
    for (std::size_t ny : {1u, 2u}) {
        const Slice s = make_slice(6, ny, 2, 50.0, 7);
        Acquisition acq;
        acq.ghost_offset = 0.1;
        const SliceInput in = s.input();
        const std::vector<C> got = build_coil_kspace(in, acq, 0, 1);
        const std::vector<C> ref = reference_kspace(in, acq, 0, 1);
        EXPECT_LT(max_abs_diff(got, ref), 1e-10 * max_abs(ref)) << "ny " << ny;
    }
}

TEST(CoilKspace, RegularTimingTest) {
    EXPECT_TRUE(regular_line_timing(std::vector<double>{0.0, 1.5, 2.0, 3.5, 4.0}));
    EXPECT_FALSE(regular_line_timing(std::vector<double>{0.0, 1.0, 2.0, 3.0, 4.5}));
    EXPECT_FALSE(regular_line_timing(std::vector<double>{0.0, 1.0}));
    EXPECT_FALSE(regular_line_timing(std::vector<double>{0.0, NAN, 2.0, 3.0}));
}

TEST(CoilKspace, RejectsANonIntegerOversampling) {
    Slice s = make_slice(4, 4, 1, 0.0, 1);
    SliceInput in = s.input();
    in.nx = 3;
    try {
        build_coil_kspace(in, Acquisition{}, 0, 1);
        FAIL() << "expected InvalidInput";
    } catch (const InvalidInput& e) {
        EXPECT_STREQ(e.what(), "sim grid must be an integer multiple of the acquired matrix");
    }
}

// ---- the centred inverse transform ----

TEST(Inverse2dFft, MatchesTheCentredDft) {
    std::mt19937_64 gen(42);
    for (auto [nx, ny] : {std::pair<std::size_t, std::size_t>{6, 5}, {7, 8}}) {
        const std::vector<C> k = random_complex(nx * ny, gen);
        const std::vector<C> got = inverse_2d_fft(k, nx, ny);
        const double hx = double(nx / 2), hy = double(ny / 2);
        for (std::size_t v = 0; v < ny; ++v)
            for (std::size_t u = 0; u < nx; ++u) {
                C want{};
                for (std::size_t ky = 0; ky < ny; ++ky)
                    for (std::size_t kx = 0; kx < nx; ++kx)
                        want += k[ky * nx + kx] * cis(-kTwoPi * ((double(u) - hx) * (double(kx) - hx) / double(nx) +
                                                                  (double(v) - hy) * (double(ky) - hy) / double(ny)));
                EXPECT_LT(abs(got[v * nx + u] - want), 1e-12) << nx << "x" << ny << " at " << u << "," << v;
            }
    }
}

}  // namespace
