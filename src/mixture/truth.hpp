#pragma once
// Ground-truth fibre peaks: the orientation histograms of the fine voxels under one acquired
// voxel are summed, and the distinct fibre directions of the sum are found with the share of
// the fibre mass each carries.
#include <array>
#include <cstddef>
#include <vector>

#include "mixture/mixture.hpp"

namespace quorvel::truth {

struct Peak {
    std::array<double, 3> direction;  // unit
    double fraction;                  // share of the histogram's total mass
};

// Up to npeaks distinct peaks of one histogram on the hemisphere, by decreasing fraction.
std::vector<Peak> row_peaks(const std::vector<std::array<double, 3>>& vertices, const std::vector<double>& weights,
                            std::size_t npeaks);

// Peaks of every acquired voxel of a field built o times finer in-plane: a flat
// (nx/o)*(ny/o)*nz*3*npeaks list, direction x fraction at (a*npeaks + k)*3 + c, zero-padded.
std::vector<float> truth_peaks(const mixture::MixtureField& field, std::size_t o, std::size_t npeaks);

}  // namespace quorvel::truth
