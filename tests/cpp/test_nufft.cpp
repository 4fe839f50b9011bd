#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <random>
#include <tuple>
#include <vector>

#include "core/error.hpp"
#include "acquisition/nufft.hpp"

using quorvel::InvalidInput;
using quorvel::Panic;
using quorvel::nufft::ChannelIn;
using quorvel::nufft::ChannelOut;
using quorvel::nufft::Nufft1;

namespace {

struct Chan {
    std::vector<double> re, im;
};

std::vector<ChannelOut> run(Nufft1& plan, const std::vector<double>& x, const std::vector<Chan>& chans) {
    std::vector<ChannelIn> in;
    for (const Chan& c : chans) in.push_back({c.re, c.im});
    std::vector<ChannelOut> out(chans.size());
    plan.run(x, in, out);
    return out;
}

}  // namespace

TEST(Nufft1, KernelShapeAndBand) {
    Nufft1 p(64, -32, 64, 1e-13);
    EXPECT_EQ(p.grid_len(), 128u);
    EXPECT_EQ(p.width(), 14u);
    EXPECT_DOUBLE_EQ(p.beta(), 32.2);
    EXPECT_EQ(Nufft1(8, -4, 5, 0.1).width(), 2u);
    EXPECT_EQ(Nufft1(8, -4, 9, 1e-30).width(), 16u);
    // Not a usable tolerance: the widest kernel.
    for (double tol : {0.0, -1e-6, std::numeric_limits<double>::quiet_NaN()}) EXPECT_EQ(Nufft1(7, -3, 7, tol).width(), 16u);
    EXPECT_NO_THROW(Nufft1(1, 0, 1, 1e-13));
    for (auto [n, k0, m] : {std::tuple<std::size_t, std::ptrdiff_t, std::size_t>{8, -5, 5}, {8, -4, 10}, {8, 0, 0}, {7, -4, 2}, {7, 0, 5}}) {
        try {
            Nufft1(n, k0, m, 1e-13);
            ADD_FAILURE() << "accepted " << n << " " << k0 << " " << m;
        } catch (const InvalidInput& e) {
            EXPECT_STREQ(e.what(), "output band must sit inside the coarse Nyquist band");
        }
    }
    EXPECT_THROW(Nufft1(0, 0, 1, 1e-13), Panic);
}

TEST(Nufft1, MatchesTheDirectSum) {
    std::mt19937_64 gen(42);
    std::normal_distribution<double> nd;
    for (std::size_t n : {1u, 2u, 7u, 8u, 33u, 256u}) {
        // Positions on both sides of [0, n): only their value modulo n matters.
        std::uniform_real_distribution<double> pos(-2.0 * n, 3.0 * n);
        std::vector<double> x(2 * n + 3);
        for (double& v : x) v = pos(gen);
        std::vector<Chan> chans(3);
        for (Chan& c : chans)
            for (std::size_t s = 0; s < x.size(); ++s) c.re.push_back(nd(gen)), c.im.push_back(nd(gen));
        const auto sn = static_cast<std::ptrdiff_t>(n);
        // The full band and single frequencies on either edge of it.
        for (auto [k0, m] : {std::pair{-sn / 2, n / 2 + n / 2 + 1}, std::pair{-sn / 2, std::size_t{1}}, std::pair{sn / 2, std::size_t{1}}}) {
            Nufft1 plan(n, k0, m, 1e-13);
            const auto out = run(plan, x, chans);
            for (std::size_t c = 0; c < chans.size(); ++c) {
                ASSERT_EQ(out[c].re.size(), m);
                long double peak = 0, err = 0;
                for (std::size_t k = 0; k < m; ++k) {
                    std::complex<long double> want = 0;
                    for (std::size_t s = 0; s < x.size(); ++s)
                        want += std::complex<long double>(chans[c].re[s], chans[c].im[s]) *
                                std::polar(1.0L, 2 * std::numbers::pi_v<long double> * (k0 + long(k)) * x[s] / n);
                    peak = std::max(peak, std::abs(want));
                    err = std::max(err, std::abs(want - std::complex<long double>(out[c].re[k], out[c].im[k])));
                }
                EXPECT_LE(err, 1e-11 * peak) << "n " << n << " k0 " << k0 << " m " << m << " channel " << c;
            }
        }
    }
}

TEST(Nufft1, SampleAtTheOriginGivesOnes) {
    // It spreads onto exactly the points of the correction sum, so the deconvolution is exact.
    for (double tol : {1e-13, 0.1}) {
        Nufft1 plan(16, -8, 17, tol);
        const auto out = run(plan, {0.0}, {{{1.0}, {0.0}}});
        for (std::size_t k = 0; k < 17; ++k) EXPECT_NEAR(std::hypot(out[0].re[k] - 1.0, out[0].im[k]), 0.0, 4e-15) << tol;
    }
}

TEST(Nufft1, RunsReuseThePlanAndIgnoreNanPositions) {
    Nufft1 plan(16, -8, 17, 1e-13);
    const auto first = run(plan, {1.25, 7.5}, {{{1.0, -2.0}, {0.5, 0.25}}, {{0.3, 0.0}, {0.0, 4.0}}});
    // Fewer channels, then a NaN position whose value must not reach the grid.
    EXPECT_EQ(run(plan, {1.25, 7.5}, {{{0.3, 0.0}, {0.0, 4.0}}})[0].re, first[1].re);
    const auto nan = run(plan, {1.25, NAN, 7.5}, {{{1.0, 9.0, -2.0}, {0.5, 9.0, 0.25}}, {{0.3, 9.0, 0.0}, {0.0, 9.0, 4.0}}});
    for (std::size_t c = 0; c < 2; ++c) EXPECT_TRUE(nan[c].re == first[c].re && nan[c].im == first[c].im) << c;
    std::vector<ChannelOut> out(2);
    EXPECT_THROW(plan.run(std::vector<double>{}, std::vector<ChannelIn>{}, out), Panic);  // one output per input
}
