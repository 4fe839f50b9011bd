#pragma once
// Every Python-visible entry point, grouped by the binding file that defines it.
// lib.cpp registers them (classes first, then functions) in the module's fixed order.
#include "entry.hpp"

namespace quorvel::bind {

// frame.cpp
PyObject* core_version(PyObject*, py::Args&);
PyObject* scalar_names(PyObject*, py::Args&);
PyObject* set_threads(PyObject*, py::Args&);
PyObject* current_threads(PyObject*, py::Args&);

// params_py.cpp
PyObject* tissue_preset(PyObject*, py::Args&);

// geometry_py.cpp
PyObject* hires_grid(PyObject*, py::Args&);

// acquisition_py.cpp
PyObject* sampling_mask(PyObject*, py::Args&);
PyObject* epi_timing(PyObject*, py::Args&);
PyObject* epi_trajectory(PyObject*, py::Args&);
PyObject* acquisition_defaults(PyObject*, py::Args&);
PyObject* acquisition_hbcd(PyObject*, py::Args&);

// edges_py.cpp
PyObject* box_hires(PyObject*, py::Args&);
PyObject* step_hires(PyObject*, py::Args&);

// acquire_py.cpp
PyObject* simulate_acquisition(PyObject*, py::Args&);

}  // namespace quorvel::bind
