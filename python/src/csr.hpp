#pragma once
// The streamline arguments shared by every binding that takes `positions`, `offsets` and
// `weights`: the offsets check refuses what would make the library read outside the point list
// or skip points without a word.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "core/error.hpp"

namespace quorvel::bind {

// ValueError unless offsets is non-empty, starts at 0, never decreases and ends at n_points.
inline void check_csr(const std::vector<std::uint32_t>& offsets, std::size_t n_points) {
    if (offsets.empty() || offsets.back() != n_points)
        throw InvalidInput("offsets must be CSR: length n_streamlines+1, last entry == number of points");
    // Points before a non-zero first offset would belong to no streamline.
    if (offsets.front() != 0)
        throw InvalidInput("offsets must start at 0: offsets[0] = " + std::to_string(offsets.front()) +
                           " leaves the first points out of every streamline");
    for (std::size_t i = 1; i < offsets.size(); ++i) {
        if (offsets[i] > n_points)
            throw InvalidInput("offsets[" + std::to_string(i) + "] = " + std::to_string(offsets[i]) +
                               " is beyond the number of points (" + std::to_string(n_points) + ")");
        if (offsets[i] < offsets[i - 1])
            throw InvalidInput("offsets must not decrease: offsets[" + std::to_string(i - 1) + "] = " +
                               std::to_string(offsets[i - 1]) + " > offsets[" + std::to_string(i) +
                               "] = " + std::to_string(offsets[i]));
    }
}

// The `weights` argument: a float32 array or None.
inline std::optional<py::ArrayView> optional_f32_1d(PyObject* o) {
    if (o == Py_None) return std::nullopt;
    return py::to_f32_1d(o);
}

// Checked offsets (see check_csr) and the per-streamline weights, when given.
inline std::pair<std::vector<std::uint32_t>, std::optional<std::vector<float>>> streamline_offsets_weights(
    const py::ArrayView& offsets, const std::optional<py::ArrayView>& weights, std::size_t n_points) {
    auto offs = py::flat<std::uint32_t>(offsets);
    check_csr(offs, n_points);
    std::optional<std::vector<float>> w;
    if (weights) {
        w = py::f32s(*weights);
        py::check_len("weights", w->size(), offs.size() - 1);
    }
    return {std::move(offs), std::move(w)};
}

}  // namespace quorvel::bind
