#pragma once
// The per-voxel fibre orientation mixture of one brain: the single object from which both the
// clean signal and the closed-form ground truth derive. Immutable once built; shared by
// reference count between stages, never copied.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "params.hpp"
#include "sphere.hpp"

namespace quorvel::mixture {

struct MixtureField {
    sphere::HemiSphere sphere;          // vertices of the histogram; nvert = sphere.vertices.size()
    std::vector<float> odf;             // nvox*nvert orientation mass, voxel-major, unnormalised
    std::vector<float> wm;              // nvox normalised white-matter fraction (F-order)
    std::vector<float> gm;              // nvox normalised grey-matter fraction
    std::vector<float> csf;             // nvox normalised CSF fraction
    std::vector<std::uint8_t> fallback; // 1: masked white matter without fibre support
    std::optional<std::vector<float>> myelin;  // nvox myelination 0..1, when given
    std::array<std::size_t, 3> dims;    // (nx, ny, nz)
    CompartmentParams params;           // tissue parameters the mixture was built with

    std::size_t nvox() const { return dims[0] * dims[1] * dims[2]; }
    std::size_t nvert() const { return sphere.vertices.size(); }
};

}  // namespace quorvel::mixture
