// The clean compartment signal: one voxel with exact directions, and every voxel of a mixture.
#include "bindings.hpp"
#include "convert.hpp"
#include "params_codec.hpp"
#include "signal.hpp"

namespace quorvel::bind {

PyObject* voxel_signal(PyObject*, py::Args& a) {
    auto bvals = a.get("bvals", py::to_f64_1d);
    auto bvecs = a.get("bvecs", py::to_f64_2d);
    auto dirs_view = a.get("dirs", py::to_f64_2d);
    auto weights_view = a.get("weights", py::to_f64_1d);
    double wm = a.get("wm", py::to_f64);
    double gm = a.get("gm", py::to_f64);
    double csf = a.get("csf", py::to_f64);
    PyObject* params_dict = a.get("params", py::to_dict);

    auto scheme = scheme_from_arrays(bvals, bvecs);
    auto dirs = py::rows3(dirs_view, "dirs");
    auto weights = py::flat<double>(weights_view);
    py::check_len("weights", weights.size(), dirs.size());
    CompartmentParams params = params_from_dict(params_dict);

    auto s = compartments::voxel_signal(scheme, dirs, weights, wm, gm, csf, params);
    return py::make_tuple({py::Ref(py::to_numpy(std::move(s.fibre))), py::Ref(py::to_numpy(std::move(s.gm))),
                           py::Ref(py::to_numpy(std::move(s.csf)))});
}

}  // namespace quorvel::bind
