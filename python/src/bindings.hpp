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

// gre_py.cpp
PyObject* gre_synthesize(PyObject*, py::Args&);

// geometry_py.cpp
PyObject* hires_grid(PyObject*, py::Args&);

// mixture_py.cpp (the Mixture class itself: mixture_py.hpp)
PyObject* build_mixture(PyObject*, py::Args&);
PyObject* mixture_from_fibers(PyObject*, py::Args&);

// streamlines_py.cpp
PyObject* subsample_streamlines(PyObject*, py::Args&);

// orient_py.cpp
PyObject* reorient_to_las(PyObject*, py::Args&);
PyObject* reorient_identity(PyObject*, py::Args&);
PyObject* apply_reorient(PyObject*, py::Args&);
PyObject* reorient_affine(PyObject*, py::Args&);
PyObject* out_ped(PyObject*, py::Args&);
PyObject* fsl_bvecs(PyObject*, py::Args&);

// signal_py.cpp
PyObject* signal_from_mixture(PyObject*, py::Args&);
PyObject* voxel_signal(PyObject*, py::Args&);

// truth_py.cpp: two methods of Mixture (rows of its method table, with these docstrings) and
// the one-voxel truth.
PyObject* mixture_scalars(PyObject* self, py::Args&);      // Mixture.scalars
PyObject* mixture_truth_peaks(PyObject* self, py::Args&);  // Mixture.truth_peaks
extern const char* const kMixtureScalarsDoc;
extern const char* const kMixtureTruthPeaksDoc;
PyObject* voxel_truth(PyObject*, py::Args&);

// motion_py.cpp
PyObject* signal_moving(PyObject*, py::Args&);
PyObject* dropout_seed(PyObject*, py::Args&);
PyObject* dropout_events(PyObject*, py::Args&);
PyObject* resolve_poses(PyObject*, py::Args&);
PyObject* poses_to_matrices(PyObject*, py::Args&);
PyObject* fov_center(PyObject*, py::Args&);
// Compartments.apply_multiband_motion and its docstring (text signature first).
PyObject* compartments_apply_multiband_motion(PyObject* self, py::Args& a);
extern const char kApplyMultibandMotionDoc[];

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
