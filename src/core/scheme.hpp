#pragma once
// The cleaned gradient table of an acquisition.
#include <array>
#include <span>
#include <vector>

namespace quorvel::scheme {

using Vec3 = std::array<double, 3>;

struct GradientScheme {
    std::vector<double> bvals;  // s/mm^2, one per volume, as given
    std::vector<Vec3> bvecs;    // unit direction, or zero for b <= 0 or a vanishing vector
    double b_max = 1000.0;      // largest b-value; 1000 when none is positive

    // Per volume sqrt(b/b_max)*direction, or zero below b = 50 s/mm^2 (unweighted).
    std::vector<Vec3> fiberfox_gradients() const;
};

// Cleans a table; throws InvalidInput "bvecs: expected {} values, got {}" on a length mismatch.
GradientScheme scheme_from(std::vector<double> bvals, std::span<const Vec3> bvecs);

}  // namespace quorvel::scheme
