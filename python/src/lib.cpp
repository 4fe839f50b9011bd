// The module initialiser of quorvel._core: registers the classes, then the functions, in the
// module's fixed order, appending every name to __all__ before setting the attribute.
#include <vector>

#include "bindings.hpp"
#include "compartments_py.hpp"
#include "gnl_py.hpp"
#include "mixture_py.hpp"

namespace quorvel::bind {
namespace {

using py::def;

// Classes in registration order: (name, factory building the type object).
struct ClassRow {
    const char* name;
    PyTypeObject* (*make)();
};

std::vector<ClassRow> class_rows() {
    return {
        {"Mixture", &make_mixture_type},
        {"Compartments", make_compartments_type},
        {"GradCoef", make_gradcoef_type},
        {"GnlField", make_gnlfield_type},
    };
}

// Functions in registration order; each doc starts with the text signature.
std::vector<PyMethodDef> function_rows() {
    return {
        def<build_mixture>("build_mixture",
                           "build_mixture(dims, wm, gm, csf, mask, affine, positions, offsets, weights, params, "
                           "kappa=None, myelin=None, sphere_level=3)\n--\n\n"
                           "Rasterize streamlines into the per-voxel orientation mixture on the grid (`dims`, `affine`).\n"
                           "Tissue arrays are flat `(nvox,)` F-order float32; a voxel is inside `mask` where it exceeds 0.5.\n"
                           "`positions` `(n, 3)` world RAS mm, `offsets` `(n_streamlines+1,)` uint32, `weights`\n"
                           "`(n_streamlines,)` float32 or None."),
        def<mixture_from_fibers>("mixture_from_fibers",
                                 "mixture_from_fibers(dims, voxel, dirs, weight, wm, gm, csf, mask, params, "
                                 "kappa=None, sphere_level=3)\n--\n\n"
                                 "A mixture from an explicit fibre list: entry `i` deposits `weight[i]` of orientation mass\n"
                                 "along `dirs[i]` in voxel `voxel[i]` (flat F-order index)."),
        def<signal_from_mixture>("signal_from_mixture",
                                 "signal_from_mixture(mix, bvals, bvecs, gnl=None)\n--\n\n"
                                 "The clean signal of a mixture as a `Compartments`: fibre, GM and CSF images on its grid.\n"
                                 "`gnl`, a `GnlField` on the same grid, gives each voxel the gradient `J^T g` of gradient\n"
                                 "non-linearity (its b-matrix). It does not move the images: `Compartments.warp_gnl` does,\n"
                                 "with the same field."),
        def<signal_moving>("signal_moving",
                           "signal_moving(dims, wm, gm, csf, mask, affine, positions, offsets, bvals, bvecs, params, poses)"
                           "\n--\n\n"
                           "The clean signal of a head that moves between volumes: each volume's streamlines and tissue\n"
                           "maps are rigidly moved by its pose about the grid centre and re-rasterized on the grid (`dims`,\n"
                           "`affine`). `poses` is float64 `(ngrad, 6)`, rows `[tx, ty, tz mm, rx, ry, rz deg]`, for\n"
                           "example `resolve_poses(...).reshape(-1, 6)`."),
        def<dropout_seed>("dropout_seed",
                          "dropout_seed(run_seed)\n--\n\n"
                          "The dropout seed derived from a run's seed (the `seed` of `dropout_events`)."),
        def<dropout_events>("dropout_events",
                            "dropout_events(bvals, n_shots, rate, seed)\n--\n\n"
                            "Draw at most one dropout event per volume with b >= 50 (probability `rate`), as dicts\n"
                            "`{volume, shot, severity, jump_mm, jump_deg}` in volume order. `n_shots` is the number of\n"
                            "multiband shots per volume (nz // mb); `severity` is the fraction of signal the shot loses at\n"
                            "b = b_max; the head jumps by `jump_mm` (mm) and `jump_deg` (degrees) at that shot. Apply them\n"
                            "with `Compartments.apply_multiband_motion`."),
        def<resolve_poses>("resolve_poses",
                           "resolve_poses(kind, n_units, seed=0, trans_mm=None, rot_deg=None, volumes=None, poses=None)"
                           "\n--\n\n"
                           "Resolve a motion mode to absolute poses: a flat float64 array `(n_units*6,)`, one row\n"
                           "`[tx, ty, tz mm, rx, ry, rz deg]` per unit; `.reshape(-1, 6)` gives the `poses` of\n"
                           "`signal_moving`. `kind` is \"off\", \"random\" (uniform within +-`trans_mm`, +-`rot_deg`) or\n"
                           "\"linear\" (a ramp up to `trans_mm`, `rot_deg`) over the units in `volumes` (default: all), or\n"
                           "\"trajectory\" (`poses`, padded with identity or truncated to `n_units`)."),
        def<poses_to_matrices>("poses_to_matrices",
                               "poses_to_matrices(poses, center)\n--\n\n"
                               "`(n, 6)` poses -> flat `(n*16,)` row-major 4x4 world transforms about `center` (mm)."),
        def<fov_center>("fov_center",
                        "fov_center(dims, affine)\n--\n\n"
                        "FOV centre (world mm) of a grid, the rotation centre motion uses."),
        def<simulate_acquisition>(
            "simulate_acquisition",
            "simulate_acquisition(comp, fmap, acq_dims, bvals, bvecs, acquisition, phase_model='hbcd', seed=0, "
            "noise_sigma=None, te_per_volume=None, slice_z=None, nz_full=None, kspace_slices=None, capture=..., "
            "progress=None)\n--\n\n"
            "Acquire every volume of `comp` through the simulated EPI k-space and reconstruct it: a dict of flat\n"
            "4-D interleaved `re`, `im`, `mag`, `phase` on the acquisition grid, and the optional k-space capture.\n"
            "`capture` defaults to `(False, False, False)`. `progress(done, total)` is called on the calling\n"
            "thread once per finished volume, `done` running 1, 2, ..., `total` in order."),
        def<sampling_mask>("sampling_mask",
                           "sampling_mask(nx, ny, acquisition)\n--\n\n"
                           "Which k-space samples an acquisition acquires on an `nx` x `ny` matrix: `(ny*nx,)` uint8, "
                           "`ky*nx + kx`."),
        def<epi_timing>("epi_timing",
                        "epi_timing(nx, ny, acquisition)\n--\n\n"
                        "Per-ky-line readout timing as a dict: `t_ms` (from the echo), `t_rf_ms` (from excitation) and\n"
                        "`t_read_ms` (from the readout start) in ms per line, the acquisition `order`, `t_line`, `t_echo`\n"
                        "and the sample time `dt` (ms)."),
        def<epi_trajectory>("epi_trajectory",
                            "epi_trajectory(nx, ny, acquisition)\n--\n\n"
                            "The sample-by-sample trajectory: `(kx, ky, t_ms)` as three `(nx*ny,)` arrays in "
                            "acquisition order."),
        def<acquisition_defaults>("acquisition_defaults",
                                  "acquisition_defaults(acquisition)\n--\n\n"
                                  "The decoded acquisition record (every field but `window`) as a dict."),
        def<acquisition_hbcd>("acquisition_hbcd",
                              "acquisition_hbcd(ny)\n--\n\n"
                              "The HBCD protocol preset for `ny` phase-encode lines as a dict."),
        def<gre_synthesize>(
            "gre_synthesize",
            "gre_synthesize(sig_dims, sig_affine, acq_dims, acq_affine, fiber, gm, csf, s0, t2, fmap, signal_scale, "
            "seed, te_s=..., snr=50.0, res_mm=None, snr_vol_exp=1.0, output=\"phasediff\", rx_phase_rad=6.0, "
            "b0_field=\"b0gre\", tr_s=0.5, flip_deg=60.0, t1_ms=..., pd=..., bias=0.3, ringing=True, "
            "t2_head_ms=70.0, head=None, z_offset=0, nz_full=None, warp=None, warp_modulate=True)\n--\n\n"
            "Synthesize the dual-echo GRE field-map scans of the simulated head. `fiber`, `gm`, `csf` and `fmap`\n"
            "(Hz) are flat F-order on the signal grid (`sig_dims`, `sig_affine`); the images come on the\n"
            "acquisition grid (`acq_dims`, `acq_affine`: the signal grid reduced in-plane), or on an isotropic\n"
            "`res_mm` grid. Defaults shown as `...`: `te_s=(0.00492, 0.00738)` s, `t1_ms=(830.0, 1330.0, 4000.0)`,\n"
            "`pd=(0.7, 0.85, 1.0)`. Phases are int16 codes 0..4095, phase = code*pi/2048 - pi rad; \"phasediff\"\n"
            "is echo 2 relative to echo 1, so field (Hz) = phase / (2*pi*(TE2 - TE1)). `stamped`: its first and\n"
            "last voxel were set to 0 and 4095 to span the code range. `sigma`: the noise standard deviation\n"
            "added; `b0_field`: a label echoed in the result; `warp`: a `GnlField` on the signal grid that\n"
            "distorts the magnitudes."),
        def<subsample_streamlines>("subsample_streamlines",
                                   "subsample_streamlines(positions, offsets, weights, n, seed)\n--\n\n"
                                   "Weighted streamline subsampling (keeps `n` streamlines, drawn by weight): returns\n"
                                   "`(positions (n,3) flat, offsets, weights|None, stats dict)`."),
        def<hires_grid>("hires_grid",
                        "hires_grid(affine, dims, o)\n--\n\n"
                        "The simulation grid for oversampling `o`: `(affine flat 16, dims)`."),
        def<reorient_to_las>("reorient_to_las",
                             "reorient_to_las(affine, dims)\n--\n\n"
                             "The reorientation that takes an axis-aligned grid to radiological LAS (dcm2niix/FSL)."),
        def<reorient_identity>("reorient_identity",
                               "reorient_identity(dims)\n--\n\n"
                               "The reorientation that leaves a grid of `dims` as it is."),
        def<apply_reorient>("apply_reorient",
                            "apply_reorient(data, ngrad, reorient)\n--\n\n"
                            "Apply a reorientation to a flat 4-D interleaved image (`ngrad` volumes; use 1 for 3-D)."),
        def<reorient_affine>("reorient_affine",
                             "reorient_affine(affine, reorient)\n--\n\n"
                             "The affine of the reoriented grid, flat 16 row-major; every voxel keeps its world position."),
        def<out_ped>("out_ped",
                     "out_ped(reorient, in_pe_axis, in_pe_sign)\n--\n\n"
                     "BIDS PhaseEncodingDirection for the written frame given the input PE axis and sign."),
        def<fsl_bvecs>("fsl_bvecs",
                       "fsl_bvecs(bvecs, affine)\n--\n\n"
                       "World-RAS unit directions -> FSL-convention bvecs for the given voxel->world affine, `(n*3,)` flat."),
        def<voxel_signal>("voxel_signal",
                          "voxel_signal(bvals, bvecs, dirs, weights, wm, gm, csf, params)\n--\n\n"
                          "The clean per-compartment signal of ONE voxel with exact fibre directions (no hemisphere\n"
                          "quantisation): `(fiber, gm, csf)` arrays of length `n_vol`, the same arithmetic as\n"
                          "`signal_from_mixture` (`wm * mean_k w_k (intra stick + extra zeppelin)`, GM two-ball, CSF\n"
                          "ball; an empty fibre list is the hindered isotropic fallback)."),
        def<voxel_truth>("voxel_truth",
                         "voxel_truth(dirs, weights, wm, gm, csf, params, tau=None, d_perp_floor=None, ng_floor=None, "
                         "ng_top_k=None)\n--\n\n"
                         "The 27 closed-form scalars of ONE voxel with exact fibre directions: what `Mixture.scalars`\n"
                         "computes for a voxel whose orientation vertices are the given directions."),
        def<box_hires>("box_hires",
                       "box_hires(snx, sny, x0, x1, y0, y1)\n--\n\n"
                       "A rectangle with sub-voxel edges on a `snx` x `sny` simulation slice, "
                       "flat `x + snx*y`."),
        def<step_hires>("step_hires",
                        "step_hires(snx, sny, edge)\n--\n\n"
                        "A step edge at continuous position `edge` (sim-voxel units), flat `x + snx*y`."),
        def<core_version>("core_version",
                          "core_version()\n--\n\n"
                          "The version of the compiled core (the package's `__version__`)."),
        def<scalar_names>("scalar_names",
                          "scalar_names()\n--\n\n"
                          "The names of the 27 closed-form microstructure maps, in `Mixture.scalars()` order."),
        def<tissue_preset>("tissue_preset",
                           "tissue_preset(name)\n--\n\n"
                           "The compartment parameters of a preset (\"neonatal\", \"adult\" or \"infant\") as a dict."),
        def<set_threads>("set_threads",
                         "set_threads(n)\n--\n\n"
                         "Size the worker thread pool (once, before the first parallel call). Returns False if the pool\n"
                         "was already built."),
        def<current_threads>("current_threads",
                             "current_threads()\n--\n\n"
                             "The worker pool's thread count; builds the pool with the default count if needed."),
    };
}

// Appends name to __all__ (creating the list on first use), then sets the attribute.
int add(PyObject* module, const char* name, PyObject* value) {
    PyObject* all = PyObject_GetAttrString(module, "__all__");
    if (all == nullptr) {
        PyErr_Clear();
        all = PyList_New(0);
        if (all == nullptr || PyModule_AddObjectRef(module, "__all__", all) < 0) {
            Py_XDECREF(all);
            Py_XDECREF(value);
            return -1;
        }
    }
    PyObject* s = PyUnicode_FromString(name);
    int rc = s == nullptr ? -1 : PyList_Append(all, s);
    Py_XDECREF(s);
    Py_DECREF(all);
    if (rc < 0 || value == nullptr) {
        Py_XDECREF(value);
        return -1;
    }
    rc = PyModule_AddObjectRef(module, name, value);
    Py_DECREF(value);
    return rc;
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_core", "The compiled core of quorvel.", -1,
                          nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace quorvel::bind

PyMODINIT_FUNC PyInit__core() {
    using namespace quorvel::bind;
    PyObject* module = PyModule_Create(&module_def);
    if (module == nullptr) return nullptr;
    // Rows are built once per process; PyCFunction objects keep pointers into them.
    static std::vector<PyMethodDef>* functions = nullptr;
    try {
        for (const ClassRow& c : class_rows()) {
            PyTypeObject* type = c.make();
            if (add(module, c.name, reinterpret_cast<PyObject*>(type)) < 0) {
                Py_DECREF(module);
                return nullptr;
            }
        }
        if (functions == nullptr) functions = new std::vector<PyMethodDef>(function_rows());
    } catch (...) {
        quorvel::py::set_python_error_from_current_exception();
        Py_DECREF(module);
        return nullptr;
    }
    PyObject* modname = PyUnicode_FromString("quorvel._core");
    for (PyMethodDef& def : *functions) {
        PyObject* f = modname ? PyCFunction_NewEx(&def, nullptr, modname) : nullptr;
        if (add(module, def.ml_name, f) < 0) {
            Py_XDECREF(modname);
            Py_DECREF(module);
            return nullptr;
        }
    }
    Py_DECREF(modname);
    return module;
}
