#pragma once
// The acquisition dictionary codec shared by every entry point taking an `acquisition` argument.
#include "py.hpp"
#include "acquisition/kspace.hpp"

namespace quorvel::bind {

// Decodes an acquisition dict (already known to be a dict); raises ValueError/TypeError through
// the usual exception path (py::ErrorAlreadySet or InvalidInput) on the first bad entry.
kspace::Acquisition acquisition_from_dict(PyObject* dict);

}  // namespace quorvel::bind
