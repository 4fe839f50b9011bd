// The clean compartment signal: one voxel with exact directions, and every voxel of a mixture.
#include "bindings.hpp"
#include "compartments_py.hpp"
#include "convert.hpp"
#include "gnl_py.hpp"
#include "mixture_py.hpp"
#include "params_codec.hpp"
#include "signal/signal.hpp"
#include "core/sizes.hpp"

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

PyObject* signal_from_mixture(PyObject*, py::Args& a) {
    auto mix = a.get("mix", mixture_arg);
    auto bvals = a.get("bvals", py::to_f64_1d);
    auto bvecs = a.get("bvecs", py::to_f64_2d);
    auto field = a.opt("gnl", gnlfield_arg);

    auto scheme = scheme_from_arrays(bvals, bvecs);
    if (field && (*field)->dims != mix->dims)
        throw InvalidInput("GNL field grid " + py::debug_list((*field)->dims) + " != mixture grid " +
                           py::debug_list(mix->dims));
    // Three float32 images of nvox*ngrad values each.
    check_fits_memory("bvals", scheme.bvals.size(), {mix->nvox(), 3 * sizeof(float)}, "volumes");

    const gnl::GnlField* f = field ? field->get() : nullptr;
    auto result = py::without_gil([&] { return compartments::signal_from_mixture_gnl(*mix, scheme, f); });
    return wrap_compartments(std::move(result));
}

}  // namespace quorvel::bind
