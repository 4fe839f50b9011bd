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
#include "params.hpp"

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

using quorvel::raster::Vec3;
using namespace quorvel;

constexpr std::array<std::size_t, 3> kDims{8, 7, 6};

compartments::TissueFractions tissue() {
    const std::size_t n = kDims[0] * kDims[1] * kDims[2];
    return compartments::tissue_from_flat(kDims, std::vector<float>(n, 0.6f), std::vector<float>(n, 0.3f),
                                          std::vector<float>(n, 0.1f), std::vector<float>(n, 1.0f));
}

// Random walks of 0.8 mm steps, some leaving the grid; `count` streamlines of 30 points.
void walks(std::size_t count, std::vector<Vec3>& points, std::vector<std::uint32_t>& offsets) {
    std::mt19937_64 gen(42);
    std::normal_distribution<double> step(0.0, 0.46);
    offsets.assign(1, 0);
    for (std::size_t s = 0; s < count; ++s) {
        Vec3 p{4.0, 3.5, 3.0};
        for (int k = 0; k < 30; ++k) {
            points.push_back(p);
            for (double& c : p) c += step(gen);
        }
        offsets.push_back(static_cast<std::uint32_t>(points.size()));
    }
}

std::size_t allocations_of_streamline_build(std::size_t count, std::optional<double> kappa) {
    std::vector<Vec3> points;
    std::vector<std::uint32_t> offsets;
    walks(count, points, offsets);
    std::vector<float> weights(count, 1.5f);
    const auto t = tissue();
    raster::Grid grid{{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}, kDims};
    auto sphere = sphere::HemiSphere::icosphere(2);
    const std::size_t before = g_allocations.load();
    auto field = compartments::generate_mixture(grid, points, offsets, std::span<const float>(weights), t,
                                                CompartmentParams{}, kappa, std::move(sphere));
    const std::size_t used = g_allocations.load() - before;
    EXPECT_GT(field.odf.size(), 0u);
    return used;
}

std::size_t allocations_of_fibre_build(std::size_t count, std::optional<double> kappa) {
    std::mt19937_64 gen(7);
    std::normal_distribution<double> normal;
    std::vector<std::uint32_t> voxel(count);
    std::vector<Vec3> dirs(count);
    std::vector<double> weight(count, 0.25);
    for (std::size_t e = 0; e < count; ++e) {
        voxel[e] = static_cast<std::uint32_t>(e % (kDims[0] * kDims[1] * kDims[2]));
        dirs[e] = {normal(gen), normal(gen), normal(gen)};
    }
    const auto t = tissue();
    auto sphere = sphere::HemiSphere::icosphere(2);
    const std::size_t before = g_allocations.load();
    auto field = compartments::mixture_from_fibers(kDims, voxel, dirs, weight, t, CompartmentParams{}, kappa,
                                                   std::move(sphere));
    return g_allocations.load() - before;
}

TEST(GenerateMixture, AllocationsDoNotGrowWithSegments) {
    for (std::optional<double> kappa : {std::optional<double>{}, std::optional<double>{12.0}}) {
        const std::size_t few = allocations_of_streamline_build(5, kappa);
        const std::size_t many = allocations_of_streamline_build(2000, kappa);
        EXPECT_EQ(few, many) << "kappa " << kappa.value_or(0.0);
    }
}

TEST(MixtureFromFibers, AllocationsDoNotGrowWithEntries) {
    for (std::optional<double> kappa : {std::optional<double>{}, std::optional<double>{12.0}}) {
        EXPECT_EQ(allocations_of_fibre_build(5, kappa), allocations_of_fibre_build(5000, kappa));
    }
}

TEST(GenerateMixture, OffsetsOutsideThePointListAreAnInternalFailure) {
    std::vector<Vec3> points(3, Vec3{1.5, 1.5, 1.5});
    std::vector<std::uint32_t> offsets{0, 5, 3};
    raster::Grid grid{{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}, kDims};
    EXPECT_THROW(compartments::generate_mixture(grid, points, offsets, std::nullopt, tissue(), CompartmentParams{},
                                                std::nullopt, sphere::HemiSphere::icosphere(0)),
                 quorvel::Panic);
}

}  // namespace
