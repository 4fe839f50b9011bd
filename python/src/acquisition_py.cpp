#include "acquisition_py.hpp"

namespace quorvel::bind {

kspace::Acquisition acquisition_from_dict(PyObject*) { return {}; }

}  // namespace quorvel::bind
