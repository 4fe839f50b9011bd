#include "edges.hpp"

namespace quorvel::kspace {

std::vector<float> step_hires(std::size_t snx, std::size_t sny, double) { return std::vector<float>(snx * sny); }

std::vector<float> box_hires(std::size_t snx, std::size_t sny, double, double, double, double) {
    return std::vector<float>(snx * sny);
}

}  // namespace quorvel::kspace
