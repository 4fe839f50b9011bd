#pragma once
// Exact partial-volume images of shapes with sub-voxel edges on one simulation slice
// (snx x sny pixels, flat x + snx*y; pixel (x, y) covers [x, x+1) x [y, y+1)).
#include <cstddef>
#include <vector>

namespace quorvel::kspace {

// A step edge at continuous position edge along x: each pixel holds its area fraction right of it.
std::vector<float> step_hires(std::size_t snx, std::size_t sny, double edge);

// The area fraction of each pixel inside [x0, x1) x [y0, y1).
std::vector<float> box_hires(std::size_t snx, std::size_t sny, double x0, double x1, double y0, double y1);

}  // namespace quorvel::kspace
