// A mixture build's heap allocations may depend on the grid and the hemisphere, never on how many
// streamlines or fibre entries it processes (while the segment references fit in one batch).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <random>

#include "core/exp.hpp"
#include "core/pool.hpp"
#include "mixture/mixture.hpp"

namespace {
std::atomic<std::size_t> g_allocations{0};
}

void* operator new(std::size_t n) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace quorvel;
using raster::Vec3;

constexpr std::array<std::size_t, 3> kDims{8, 7, 6};
constexpr std::size_t kVox = 8 * 7 * 6;

// One streamline and one fibre build from `count` 30-point random walks (some leave the grid).
std::size_t allocations(std::size_t count, std::optional<double> kappa) {
    std::mt19937_64 gen(42);
    std::normal_distribution<double> step(0.0, 0.46);
    std::vector<Vec3> points, dirs;
    std::vector<std::uint32_t> offsets{0}, voxel;
    for (std::size_t s = 0; s < count; ++s) {
        Vec3 p{4.0, 3.5, 3.0};
        for (int k = 0; k < 30; ++k, points.push_back(p))
            for (double& c : p) c += step(gen);
        offsets.push_back(static_cast<std::uint32_t>(points.size()));
        voxel.push_back(static_cast<std::uint32_t>(s % kVox));
        dirs.push_back(points.back());
    }
    const std::vector<float> weights(count, 1.5f), fractions(kVox, 0.5f);
    const std::vector<double> mass(count, 0.25);
    const auto t = compartments::tissue_from_flat(kDims, fractions, fractions, fractions, fractions);
    const raster::Grid grid{{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}, kDims};
    auto s1 = sphere::HemiSphere::icosphere(2), s2 = s1;
    const std::size_t before = g_allocations.load();
    compartments::generate_mixture(grid, points, offsets, std::span<const float>(weights), t, {}, kappa,
                                   std::move(s1));
    compartments::mixture_from_fibers(kDims, voxel, dirs, mass, t, {}, kappa, std::move(s2));
    return g_allocations.load() - before;
}

TEST(MixtureBuilders, AllocationsDoNotGrowWithTheInput) {
    // Workers allocate their state on first use: one thread, and an uncounted first build.
    pool::set_threads(1);
    allocations(3000, 12.0);
    EXPECT_EQ(allocations(5, std::nullopt), allocations(3000, std::nullopt));
    EXPECT_EQ(allocations(5, 12.0), allocations(3000, 12.0));
}

}  // namespace

// The orientation kernel's exponential: within 1 ulp of exp, exact at 0 (a vertex the direction hits).
TEST(BranchlessExp, WithinOneUlp) {
    std::mt19937_64 gen(42);
    std::uniform_real_distribution<double> kernel_range(-20.0, 0.0), full_range(-708.0, 709.0);
    for (int i = 0; i < 200000; ++i) {
        const double x = i % 2 ? kernel_range(gen) : full_range(gen);
        const long double ref = std::exp(static_cast<long double>(x));
        const double ulp = std::nextafter(static_cast<double>(ref), INFINITY) - static_cast<double>(ref);
        ASSERT_LE(std::fabs(static_cast<long double>(quorvel::exp_branchless(x)) - ref), ulp) << x;
    }
    EXPECT_EQ(quorvel::exp_branchless(0.0), 1.0);
}
