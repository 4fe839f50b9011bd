// The mixture builders must not allocate per segment or per fibre entry: the number of heap
// allocations of a build may depend on the grid and the hemisphere, never on how many
// streamlines or entries it processes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <random>

#include "error.hpp"
#include "mixture.hpp"

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
const raster::Grid kGrid{{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}, kDims};

compartments::TissueFractions tissue() {
    return compartments::tissue_from_flat(kDims, std::vector<float>(kVox, 0.6f), std::vector<float>(kVox, 0.3f),
                                          std::vector<float>(kVox, 0.1f), std::vector<float>(kVox, 1.0f));
}

// Allocations of one build from `count` random walks of 30 points (0.8 mm steps, some leaving the grid).
std::size_t streamline_build(std::size_t count, std::optional<double> kappa) {
    std::mt19937_64 gen(42);
    std::normal_distribution<double> step(0.0, 0.46);
    std::vector<Vec3> points;
    std::vector<std::uint32_t> offsets{0};
    for (std::size_t s = 0; s < count; ++s) {
        Vec3 p{4.0, 3.5, 3.0};
        for (int k = 0; k < 30; ++k, points.push_back(p))
            for (double& c : p) c += step(gen);
        offsets.push_back(static_cast<std::uint32_t>(points.size()));
    }
    const std::vector<float> weights(count, 1.5f);
    const auto t = tissue();
    auto sphere = sphere::HemiSphere::icosphere(2);
    const std::size_t before = g_allocations.load();
    compartments::generate_mixture(kGrid, points, offsets, std::span<const float>(weights), t, CompartmentParams{},
                                   kappa, std::move(sphere));
    return g_allocations.load() - before;
}

// Allocations of one build from `count` fibre entries in random directions.
std::size_t fibre_build(std::size_t count, std::optional<double> kappa) {
    std::mt19937_64 gen(7);
    std::normal_distribution<double> normal;
    std::vector<std::uint32_t> voxel(count);
    std::vector<Vec3> dirs(count);
    for (std::size_t e = 0; e < count; ++e) {
        voxel[e] = static_cast<std::uint32_t>(e % kVox);
        dirs[e] = {normal(gen), normal(gen), normal(gen)};
    }
    const std::vector<double> weight(count, 0.25);
    const auto t = tissue();
    auto sphere = sphere::HemiSphere::icosphere(2);
    const std::size_t before = g_allocations.load();
    compartments::mixture_from_fibers(kDims, voxel, dirs, weight, t, CompartmentParams{}, kappa, std::move(sphere));
    return g_allocations.load() - before;
}

TEST(MixtureBuilders, AllocationsDoNotGrowWithTheInput) {
    for (std::optional<double> kappa : {std::optional<double>{}, std::optional<double>{12.0}}) {
        EXPECT_EQ(streamline_build(5, kappa), streamline_build(2000, kappa)) << kappa.value_or(0.0);
        EXPECT_EQ(fibre_build(5, kappa), fibre_build(5000, kappa)) << kappa.value_or(0.0);
    }
}

TEST(MixtureBuilders, OffsetsOutsideThePointListAreAnInternalFailure) {
    const std::vector<Vec3> points(3, Vec3{1.5, 1.5, 1.5});
    const std::vector<std::uint32_t> offsets{0, 5, 3};
    EXPECT_THROW(compartments::generate_mixture(kGrid, points, offsets, std::nullopt, tissue(), CompartmentParams{},
                                                std::nullopt, sphere::HemiSphere::icosphere(0)),
                 Panic);
}

}  // namespace
