#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include "error.hpp"
#include "nufft.hpp"

using quorvel::InvalidInput;
using quorvel::Panic;
using quorvel::nufft::ChannelIn;
using quorvel::nufft::ChannelOut;
using quorvel::nufft::Nufft1;

namespace {

struct Channel {
    std::vector<double> re, im;
};

// The sum the transform approximates, term by term in long double.
std::vector<std::complex<long double>> direct(const std::vector<double>& x, const Channel& a, std::size_t n,
                                              std::ptrdiff_t k0, std::size_t m) {
    std::vector<std::complex<long double>> out(m);
    const long double two_pi = 2.0L * std::numbers::pi_v<long double>;
    for (std::size_t k = 0; k < m; ++k) {
        const long double q = static_cast<long double>(k0 + static_cast<std::ptrdiff_t>(k));
        std::complex<long double> s = 0;
        for (std::size_t j = 0; j < x.size(); ++j) {
            const long double arg = two_pi * q * static_cast<long double>(x[j]) / static_cast<long double>(n);
            s += std::complex<long double>(a.re[j], a.im[j]) * std::polar(1.0L, arg);
        }
        out[k] = s;
    }
    return out;
}

std::vector<ChannelOut> run(Nufft1& plan, const std::vector<double>& x, const std::vector<Channel>& chans) {
    std::vector<ChannelIn> in;
    for (const Channel& c : chans) in.push_back({c.re, c.im});
    std::vector<ChannelOut> out(chans.size());
    plan.run(x, in, out);
    return out;
}

// Largest error of a run against the direct sum, relative to the largest output magnitude.
double relative_error(std::size_t n, std::ptrdiff_t k0, std::size_t m, double tol, const std::vector<double>& x,
                      const std::vector<Channel>& chans) {
    Nufft1 plan(n, k0, m, tol);
    auto out = run(plan, x, chans);
    double worst = 0.0;
    for (std::size_t c = 0; c < chans.size(); ++c) {
        auto ref = direct(x, chans[c], n, k0, m);
        long double peak = 0, err = 0;
        EXPECT_EQ(out[c].re.size(), m);
        EXPECT_EQ(out[c].im.size(), m);
        for (std::size_t k = 0; k < m; ++k) {
            peak = std::max(peak, std::abs(ref[k]));
            err = std::max(err, std::abs(ref[k] - std::complex<long double>(out[c].re[k], out[c].im[k])));
        }
        worst = std::max(worst, static_cast<double>(err / peak));
    }
    return worst;
}

std::vector<Channel> random_channels(std::mt19937_64& gen, std::size_t nch, std::size_t ns) {
    std::normal_distribution<double> nd;
    std::vector<Channel> chans(nch);
    for (Channel& c : chans)
        for (std::size_t s = 0; s < ns; ++s) {
            c.re.push_back(nd(gen));
            c.im.push_back(nd(gen));
        }
    return chans;
}

}  // namespace

TEST(Nufft1, WidthAndShapeFromTolerance) {
    Nufft1 p(64, -32, 64, 1e-13);
    EXPECT_EQ(p.grid_len(), 128u);
    EXPECT_EQ(p.width(), 14u);
    EXPECT_DOUBLE_EQ(p.beta(), 32.2);
    EXPECT_EQ(Nufft1(8, 0, 1, 1e-6).width(), 7u);
    EXPECT_EQ(Nufft1(8, 0, 1, 0.1).width(), 2u);
    EXPECT_EQ(Nufft1(8, 0, 1, 1.0).width(), 2u);
    EXPECT_EQ(Nufft1(8, 0, 1, 1e3).width(), 2u);
    EXPECT_EQ(Nufft1(8, 0, 1, 1e-15).width(), 16u);
    EXPECT_EQ(Nufft1(8, 0, 1, 1e-30).width(), 16u);
}

TEST(Nufft1, DegenerateToleranceTakesTheWidestKernel) {
    for (double tol : {0.0, -1e-6, -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
        Nufft1 p(8, -4, 8, tol);
        EXPECT_EQ(p.width(), 16u) << tol;
        EXPECT_DOUBLE_EQ(p.beta(), 2.3 * 16);
    }
}

TEST(Nufft1, CorrectionIsTheKernelsDiscreteTransform) {
    const std::size_t n = 10;
    Nufft1 p(n, -5, 11, 1e-13);
    ASSERT_EQ(p.corr().size(), 11u);
    // w = 14: half = 7, terms j = 1 .. 6.
    for (std::size_t k = 0; k < 11; ++k) {
        const double q = -5.0 + static_cast<double>(k);
        double d = 1.0;
        for (int j = 1; j <= 6; ++j) {
            const double z = j / 7.0;
            d += 2.0 * std::exp(32.2 * (std::sqrt(1.0 - z * z) - 1.0)) * std::cos(2.0 * std::numbers::pi * q * j / 20.0);
        }
        EXPECT_NEAR(p.corr()[k], 1.0 / d, 1e-15 / d) << "k = " << k;
    }
    Nufft1 narrow(n, -5, 11, 0.1);
    for (double c : narrow.corr()) EXPECT_EQ(c, 1.0);
}

TEST(Nufft1, BandMustSitInsideTheCoarseNyquistBand) {
    EXPECT_NO_THROW(Nufft1(8, -4, 5, 1e-13));
    EXPECT_NO_THROW(Nufft1(8, -4, 9, 1e-13));
    EXPECT_NO_THROW(Nufft1(7, -3, 7, 1e-13));
    EXPECT_NO_THROW(Nufft1(1, 0, 1, 1e-13));
    const char* msg = "output band must sit inside the coarse Nyquist band";
    struct Bad {
        std::size_t n;
        std::ptrdiff_t k0;
        std::size_t m;
    };
    for (Bad b : {Bad{8, -5, 5}, Bad{8, 1, 5}, Bad{8, -4, 10}, Bad{8, 0, 0}, Bad{7, -4, 2}, Bad{7, 0, 5}, Bad{1, 0, 2}}) {
        try {
            Nufft1(b.n, b.k0, b.m, 1e-13);
            ADD_FAILURE() << "accepted n=" << b.n << " k0=" << b.k0 << " m=" << b.m;
        } catch (const InvalidInput& e) {
            EXPECT_STREQ(e.what(), msg);
        }
    }
    EXPECT_THROW(Nufft1(0, 0, 1, 1e-13), InvalidInput);
}

TEST(Nufft1, MatchesTheDirectSum) {
    std::mt19937_64 gen(42);
    for (std::size_t n : {1u, 2u, 7u, 8u, 33u, 64u, 256u}) {
        // Positions well outside [0, n) on both sides: they only matter modulo n.
        std::uniform_real_distribution<double> pos(-2.0 * n, 3.0 * n);
        const std::size_t ns = 2 * n + 3;
        std::vector<double> x(ns);
        for (double& v : x) v = pos(gen);
        auto chans = random_channels(gen, 3, ns);
        const auto sn = static_cast<std::ptrdiff_t>(n);
        // Full band, and bands touching either edge.
        const std::ptrdiff_t lo = -sn / 2, hi = sn / 2;
        EXPECT_LE(relative_error(n, lo, static_cast<std::size_t>(hi - lo + 1), 1e-13, x, chans), 1e-11) << n;
        EXPECT_LE(relative_error(n, lo, 1, 1e-13, x, chans), 1e-11) << n;
        EXPECT_LE(relative_error(n, hi, 1, 1e-13, x, chans), 1e-11) << n;
        if (n >= 4) {
            EXPECT_LE(relative_error(n, -sn / 4, n / 2, 1e-13, x, chans), 1e-11) << n;
        }
    }
}

TEST(Nufft1, AccuracyFollowsTheTolerance) {
    std::mt19937_64 gen(7);
    const std::size_t n = 128;
    std::uniform_real_distribution<double> pos(0.0, n);
    std::vector<double> x(300);
    for (double& v : x) v = pos(gen);
    auto chans = random_channels(gen, 2, x.size());
    for (double tol : {1e-3, 1e-6, 1e-9}) EXPECT_LE(relative_error(n, -64, 128, tol, x, chans), 10 * tol) << tol;
}

TEST(Nufft1, PositionsWrapWithPeriodN) {
    std::mt19937_64 gen(3);
    const std::size_t n = 24;
    std::uniform_real_distribution<double> pos(0.0, n);
    std::vector<double> x(40), shifted(40);
    for (std::size_t s = 0; s < x.size(); ++s) {
        x[s] = pos(gen);
        shifted[s] = x[s] + (s % 3 == 0 ? 24.0 : s % 3 == 1 ? -24.0 : -48.0);
    }
    auto chans = random_channels(gen, 2, x.size());
    Nufft1 plan(n, -12, 25, 1e-13);
    auto a = run(plan, x, chans);
    auto b = run(plan, shifted, chans);
    for (std::size_t c = 0; c < 2; ++c)
        for (std::size_t k = 0; k < 25; ++k) {
            // Positions x + 24 lose a few bits of x; the sums of 40 unit-size terms agree to ~1e-13.
            EXPECT_NEAR(a[c].re[k], b[c].re[k], 1e-12);
            EXPECT_NEAR(a[c].im[k], b[c].im[k], 1e-12);
        }
}

TEST(Nufft1, SampleOnTheOriginReproducesOne) {
    for (double tol : {1e-13, 1e-4, 0.1}) {
        Nufft1 plan(16, -8, 17, tol);
        std::vector<double> x{0.0}, re{1.0}, im{0.0};
        std::vector<ChannelIn> in{{re, im}};
        std::vector<ChannelOut> out(1);
        plan.run(x, in, out);
        for (std::size_t k = 0; k < 17; ++k) {
            EXPECT_NEAR(out[0].re[k], 1.0, 4e-15) << tol;
            EXPECT_NEAR(out[0].im[k], 0.0, 4e-15) << tol;
        }
    }
}

TEST(Nufft1, NanPositionContributesNothing) {
    const std::size_t n = 16;
    std::vector<double> x{1.25, 7.5}, xn{1.25, std::numeric_limits<double>::quiet_NaN(), 7.5};
    std::vector<Channel> a{{{1.0, -2.0}, {0.5, 0.25}}};
    std::vector<Channel> an{{{1.0, 9.0, -2.0}, {0.5, 9.0, 0.25}}};
    Nufft1 plan(n, -8, 17, 1e-13);
    auto r1 = run(plan, x, a);
    auto r2 = run(plan, xn, an);
    EXPECT_EQ(r1[0].re, r2[0].re);
    EXPECT_EQ(r1[0].im, r2[0].im);
}

TEST(Nufft1, RepeatedRunsReuseThePlan) {
    std::mt19937_64 gen(11);
    const std::size_t n = 32;
    std::uniform_real_distribution<double> pos(-n, n);
    std::vector<double> x(50);
    for (double& v : x) v = pos(gen);
    auto chans = random_channels(gen, 4, x.size());
    Nufft1 plan(n, -16, 33, 1e-13);
    auto first = run(plan, x, chans);
    // Fewer channels, then more again: each channel's result depends on its own input only.
    auto one = run(plan, x, {chans[2]});
    EXPECT_EQ(one[0].re, first[2].re);
    std::vector<ChannelIn> in;
    for (const Channel& c : chans) in.push_back({c.re, c.im});
    std::vector<ChannelOut> out(4);
    for (ChannelOut& o : out) o.re.assign(100, 7.0), o.im.assign(3, 7.0);  // stale contents are replaced
    plan.run(x, in, out);
    for (std::size_t c = 0; c < 4; ++c) {
        EXPECT_EQ(out[c].re, first[c].re);
        EXPECT_EQ(out[c].im, first[c].im);
    }
}

TEST(Nufft1, NoSamplesGiveZeros) {
    Nufft1 plan(8, -4, 9, 1e-13);
    std::vector<ChannelOut> out(2);
    std::vector<double> empty;
    std::vector<ChannelIn> in{{empty, empty}, {empty, empty}};
    plan.run({}, in, out);
    for (const ChannelOut& o : out) {
        EXPECT_EQ(o.re, std::vector<double>(9, 0.0));
        EXPECT_EQ(o.im, std::vector<double>(9, 0.0));
    }
}

TEST(Nufft1, MisuseIsAPanic) {
    Nufft1 plan(8, -4, 9, 1e-13);
    std::vector<double> x{1.0, 2.0}, two{1.0, 2.0}, one{1.0};
    std::vector<ChannelIn> in{{two, two}};
    std::vector<ChannelOut> out(2);
    EXPECT_THROW(plan.run(x, in, out), Panic);
    std::vector<ChannelIn> short_in{{two, one}};
    std::vector<ChannelOut> out1(1);
    EXPECT_THROW(plan.run(x, short_in, out1), Panic);
}
