// Ground truth of a mixture: the 27 scalar maps, the fibre peaks, and the one-voxel truth.
#include <cstdint>
#include <memory>
#include <string>

#include "bindings.hpp"
#include "convert.hpp"
#include "mixture/microstructure.hpp"
#include "mixture_py.hpp"
#include "params_codec.hpp"
#include "mixture/truth.hpp"
#include "core/sizes.hpp"

namespace quorvel::bind {

const char* const kMixtureScalarsDoc =
    "scalars($self, tau=None, d_perp_floor=None, ng_floor=None, ng_top_k=None)\n--\n\n"
    "The 27 closed-form microstructure maps (see `scalar_names()`), each `(nvox,)`.";

const char* const kMixtureTruthPeaksDoc =
    "truth_peaks($self, o, npeaks)\n--\n\n"
    "Up to `npeaks` ground-truth fibre peaks per ACQUIRED voxel (the mixture grid is `o` times\n"
    "finer in-plane): `((nx/o)*(ny/o)*nz*3*npeaks,)`, `vox*3*npeaks + 3k + c`, unit direction\n"
    "scaled by mass fraction.";

namespace {

// The four options, each falling back to its default when absent or None.
microstructure::ScalarOptions scalar_options(py::Args& a) {
    microstructure::ScalarOptions opt;
    const auto tau = a.opt("tau", py::to_f64);
    const auto d_perp_floor = a.opt("d_perp_floor", py::to_f64);
    const auto ng_floor = a.opt("ng_floor", py::to_f64);
    const auto ng_top_k = a.opt("ng_top_k", py::to_usize);
    opt.tau = tau.value_or(opt.tau);
    opt.d_perp_floor = d_perp_floor.value_or(opt.d_perp_floor);
    opt.ng_floor = ng_floor.value_or(opt.ng_floor);
    opt.ng_top_k = ng_top_k.value_or(opt.ng_top_k);
    return opt;
}

}  // namespace

PyObject* mixture_scalars(PyObject* self, py::Args& a) {
    const microstructure::ScalarOptions opt = scalar_options(a);
    const std::shared_ptr<const mixture::MixtureField> field = mixture_of(self);
    auto maps = py::without_gil([&] { return microstructure::field_scalars(*field, opt); });
    py::Ref list = py::check(PyList_New(0));
    for (auto& m : maps) py::check(PyList_Append(list.get(), py::Ref(py::to_numpy(std::move(m))).get()));
    return list.release();
}

PyObject* mixture_truth_peaks(PyObject* self, py::Args& a) {
    const std::size_t o = a.get("o", py::to_usize);
    const std::size_t npeaks = a.get("npeaks", py::to_usize);
    const std::shared_ptr<const mixture::MixtureField> field = mixture_of(self);
    const auto& dims = field->dims;
    if (o == 0 || dims[0] % o != 0 || dims[1] % o != 0)
        throw InvalidInput("oversampling " + std::to_string(o) + " does not divide the mixture grid " +
                           py::debug_list(dims));
    const std::size_t acquired = (dims[0] / o) * (dims[1] / o) * dims[2];
    check_fits_memory("npeaks", npeaks, {acquired, 3 * sizeof(float)}, "peaks per voxel");
    auto peaks = py::without_gil([&] { return truth::truth_peaks(*field, o, npeaks); });
    return py::to_numpy(std::move(peaks));
}

PyObject* voxel_truth(PyObject*, py::Args& a) {
    const py::ArrayView dirs_view = a.get("dirs", py::to_f64_2d);
    const py::ArrayView weights_view = a.get("weights", py::to_f64_1d);
    const double wm = a.get("wm", py::to_f64);
    const double gm = a.get("gm", py::to_f64);
    const double csf = a.get("csf", py::to_f64);
    PyObject* params = a.get("params", py::to_dict);
    const microstructure::ScalarOptions opt = scalar_options(a);

    const std::vector<py::Vec3> dirs = py::rows3(dirs_view, "dirs");
    const std::vector<double> weights = py::flat<double>(weights_view);
    py::check_len("weights", weights.size(), dirs.size());
    const CompartmentParams p = params_from_dict(params);
    const auto values = microstructure::voxel_truth(dirs, weights, wm, gm, csf, p, opt);
    return py::to_numpy(std::vector<double>(values.begin(), values.end()));
}

}  // namespace quorvel::bind
