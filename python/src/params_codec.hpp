#pragma once
// The tissue-parameter dictionary codec and the tissue-map reader shared by every binding
// that takes `params` or the four tissue maps.
#include "convert.hpp"
#include "core/params.hpp"
#include "core/scheme.hpp"

namespace quorvel::bind {

// Missing keys and None values take the preset's (or the fixed) defaults; unknown keys are ignored.
CompartmentParams params_from_dict(PyObject* dict);
// A new dict of the 13 fields in record order (no "preset" key).
PyObject* params_to_dict(const CompartmentParams& p);

// Copies wm, gm, csf, mask (contiguity checked in that order), then checks their lengths.
compartments::TissueFractions tissue_from_views(const py::Dims& dims, const py::ArrayView& wm,
                                                const py::ArrayView& gm, const py::ArrayView& csf,
                                                const py::ArrayView& mask);

// The gradient table of `bvals` (float64 (n,)) and `bvecs` (float64 (n, 3)): copy, row shape,
// length, then cleaning, each with its message.
scheme::GradientScheme scheme_from_arrays(const py::ArrayView& bvals, const py::ArrayView& bvecs);

}  // namespace quorvel::bind
