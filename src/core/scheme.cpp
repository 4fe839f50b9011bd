#include "core/scheme.hpp"

#include <cmath>
#include <string>

#include "core/error.hpp"

namespace quorvel::scheme {

GradientScheme scheme_from(std::vector<double> bvals, std::span<const Vec3> bvecs) {
    if (bvecs.size() != bvals.size())
        throw InvalidInput("bvecs: expected " + std::to_string(bvals.size()) + " values, got " +
                           std::to_string(bvecs.size()));
    GradientScheme s;
    s.bvecs.resize(bvals.size(), Vec3{0.0, 0.0, 0.0});
    double b_max = 0.0;
    for (std::size_t i = 0; i < bvals.size(); ++i) {
        const double b = bvals[i];
        if (!(b <= 0.0)) {  // NaN b-values are treated as weighted
            const Vec3& g = bvecs[i];
            const double n = std::sqrt(g[0] * g[0] + g[1] * g[1] + g[2] * g[2]);
            if (!(n < 1e-6)) s.bvecs[i] = {g[0] / n, g[1] / n, g[2] / n};
        }
        if (b > b_max) b_max = b;  // NaN never compares greater: skipped
    }
    s.b_max = b_max > 0.0 ? b_max : 1000.0;
    s.bvals = std::move(bvals);
    return s;
}

std::vector<Vec3> GradientScheme::fiberfox_gradients() const {
    std::vector<Vec3> q(bvals.size(), Vec3{0.0, 0.0, 0.0});
    for (std::size_t i = 0; i < bvals.size(); ++i) {
        if (b_max <= 0.0 || bvals[i] < 50.0) continue;
        const double s = std::sqrt(bvals[i] / b_max);
        q[i] = {s * bvecs[i][0], s * bvecs[i][1], s * bvecs[i][2]};
    }
    return q;
}

}  // namespace quorvel::scheme
