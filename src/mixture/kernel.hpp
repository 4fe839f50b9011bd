#pragma once
// The orientation kernel shared by both mixture builders: how one direction's mass spreads
// over the hemisphere's vertices, and how it is added into a voxel's float64 row.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/raster.hpp"
#include "core/sphere.hpp"

namespace quorvel::compartments {

// Per-task kernel scratch on one hemisphere; set() is called once per direction and allocates
// nothing. With kappa: Watson-type weights exp(kappa*(c^2 - 1)) with c the cosine to each vertex,
// those below 1e-8 dropped, normalised to sum 1 (summed in vertex order); otherwise, or when
// none survives, the single nearest vertex by largest |c| (lowest index among ties). u and -u
// give the same kernel.
class OrientationKernel {
public:
    OrientationKernel(const sphere::HemiSphere& sphere, std::optional<double> kappa);

    // The kernel of the unit direction u.
    void set(const raster::Vec3& u);

    // row[v] += k_v * m for every vertex v the kernel keeps, in vertex order.
    void deposit(double* row, double m) const;

private:
    std::optional<double> kappa_;
    std::size_t nvert_;
    std::vector<double> x_, y_, z_;  // vertex coordinates, one array per axis for vector loads
    std::vector<double> w_;          // dense Watson weights: 0 at every vertex the kernel drops
    std::vector<std::uint32_t> taps_;  // kept vertices in order, with their weights
    std::vector<double> tw_;
    bool dense_ = false;  // enough taps that adding the whole dense row is cheaper
};

}  // namespace quorvel::compartments
