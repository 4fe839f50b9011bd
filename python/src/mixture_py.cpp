// The Mixture class and the two mixture builders.
#include "mixture_py.hpp"

#include <climits>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "bindings.hpp"
#include "convert.hpp"
#include "csr.hpp"
#include "params_codec.hpp"
#include "core/sphere.hpp"
#include "core/sizes.hpp"

namespace quorvel::bind {
namespace {

using Field = mixture::MixtureField;
using Shared = std::shared_ptr<const Field>;

// The type object, created once by make_mixture_type; this module keeps one reference for the
// life of the process so that builders can create instances.
PyTypeObject* g_mixture_type = nullptr;

PyTypeObject* mixture_type() {
    QV_ASSERT(g_mixture_type != nullptr, "the Mixture type is not registered");
    return g_mixture_type;
}

// nx*ny*nz, refusing dims whose voxel count does not fit in a machine size.
std::size_t checked_nvox(const py::Dims& dims) {
    const auto n = checked_product({dims[0], dims[1], dims[2]});
    if (!n) throw InvalidInput("dims " + py::debug_list(dims) + " hold more voxels than can be addressed");
    return *n;
}

// Refuses a hemisphere level that cannot be built (on any grid, an empty one too) or whose
// histogram (float64 while building, float32 kept) cannot be addressed, before the hemisphere or
// the histogram is built. A level-l hemisphere has 5*4^l + 1 vertices.
void check_histogram_size(std::size_t nvox, std::size_t level) {
    sphere::HemiSphere::check_level(level);
    constexpr std::size_t kLimit = PTRDIFF_MAX / (sizeof(double) + sizeof(float));
    const auto cells = checked_product({nvox, 5 * (std::size_t{1} << (2 * level)) + 1});
    if (!cells || *cells > kLimit)
        throw InvalidInput("a mixture of " + std::to_string(nvox) + " voxels on a level-" + std::to_string(level) +
                           " hemisphere is too large");
}

std::size_t sphere_level_arg(py::Args& a) {
    return a.given("sphere_level") ? a.get("sphere_level", py::to_usize) : std::size_t{3};
}

// Only a positive concentration selects the Watson-type kernel; None, 0, negatives and NaN (which
// is not greater than 0) select the nearest vertex. +inf is refused: inf*(c^2 - 1) is NaN on a
// vertex the direction hits exactly, so its weights would be NaN.
std::optional<double> positive_kappa(std::optional<double> kappa) {
    if (kappa && std::isinf(*kappa) && *kappa > 0.0) throw InvalidInput("kappa must be finite, got inf");
    if (kappa && *kappa > 0.0) return kappa;
    return std::nullopt;
}

// ---- members of Mixture ----

PyObject* odf(PyObject* self, py::Args&) {
    return py::copy_to_numpy<float>(mixture_of(self)->odf);
}

PyObject* fractions(PyObject* self, py::Args&) {
    const Field& f = *mixture_of(self);
    return py::make_tuple({py::Ref(py::copy_to_numpy<float>(f.wm)), py::Ref(py::copy_to_numpy<float>(f.gm)),
                           py::Ref(py::copy_to_numpy<float>(f.csf))});
}

PyObject* fallback(PyObject* self, py::Args&) {
    return py::copy_to_numpy<std::uint8_t>(mixture_of(self)->fallback);
}

PyObject* params(PyObject* self, py::Args&) { return params_to_dict(mixture_of(self)->params); }

PyObject* sphere_vertices(PyObject* self, py::Args&) {
    const auto& vs = mixture_of(self)->sphere.vertices;
    std::vector<double> flat;
    flat.reserve(3 * vs.size());
    for (const auto& v : vs) flat.insert(flat.end(), v.begin(), v.end());
    return py::to_numpy(std::move(flat));
}

PyObject* with_myelin(PyObject* self, py::Args& a) {
    auto view = a.get("myelin", py::to_f32_1d);
    const Field& src = *mixture_of(self);
    auto myelin = py::f32s(view);
    py::check_len("myelin", myelin.size(), src.nvox());
    auto copy = std::make_shared<Field>(src);
    copy->myelin = std::move(myelin);
    return wrap_mixture(std::move(copy));
}

PyObject* dims(PyObject* self) { return py::dims_to_py(mixture_of(self)->dims).release(); }
PyObject* nvert(PyObject* self) { return py::to_py(mixture_of(self)->nvert()).release(); }
PyObject* has_myelin(PyObject* self) { return py::to_py_bool(mixture_of(self)->myelin.has_value()).release(); }

}  // namespace

PyTypeObject* make_mixture_type() {
    using py::def;
    std::vector<PyMethodDef> methods{
        def<odf>("odf", "odf($self)\n--\n\n"
                        "The orientation histogram, `(nvox*nvert,)`, voxel-major (`vox*nvert + v`), unnormalised."),
        def<fractions>("fractions", "fractions($self)\n--\n\n"
                                    "Normalised (wm, gm, csf) fractions, each `(nvox,)` flat F-order."),
        def<fallback>("fallback",
                      "fallback($self)\n--\n\n"
                      "1 where a masked WM voxel has no fibre support (isotropic fallback), `(nvox,)`."),
        def<params>("params", "params($self)\n--\n\n"
                              "The tissue parameters the mixture was built with, as a dict (see `tissue_preset`)."),
        def<sphere_vertices>("sphere_vertices",
                             "sphere_vertices($self)\n--\n\nHemisphere vertices, `(nvert*3,)` row-major."),
        def<with_myelin>("with_myelin",
                         "with_myelin($self, myelin)\n--\n\n"
                         "A copy of this mixture with a per-voxel myelination map (0..1, `(nvox,)`) attached."),
        def<mixture_scalars>("scalars", kMixtureScalarsDoc),
        def<mixture_truth_peaks>("truth_peaks", kMixtureTruthPeaksDoc),
    };
    std::vector<PyGetSetDef> props{
        py::prop<dims>("dims", "Grid dimensions `(nx, ny, nz)` of the mixture."),
        py::prop<nvert>("nvert", "Number of hemisphere vertices, the orientation bins of every voxel."),
        py::prop<has_myelin>("has_myelin", "Whether a per-voxel myelination map is attached (see `with_myelin`)."),
    };
    PyTypeObject* type = py::make_class<Shared>(
        "quorvel._core.Mixture",
        "The per-voxel orientation mixture: the single object both the clean signal\n"
        "and the closed-form ground truth derive from. Immutable.",
        std::move(methods), std::move(props));
    if (type == nullptr) throw py::ErrorAlreadySet{};
    Py_XDECREF(reinterpret_cast<PyObject*>(g_mixture_type));
    Py_INCREF(reinterpret_cast<PyObject*>(type));
    g_mixture_type = type;
    return type;
}

PyObject* wrap_mixture(std::shared_ptr<const mixture::MixtureField> field) {
    return py::new_instance<Shared>(mixture_type(), std::move(field));
}

std::shared_ptr<const mixture::MixtureField> mixture_arg(PyObject* o) {
    return py::instance_arg<Shared>(o, mixture_type(), "Mixture");
}

const std::shared_ptr<const mixture::MixtureField>& mixture_of(PyObject* self) { return py::value_of<Shared>(self); }

PyObject* build_mixture(PyObject*, py::Args& a) {
    auto dims = a.get("dims", py::to_dims);
    auto wm = a.get("wm", py::to_f32_1d);
    auto gm = a.get("gm", py::to_f32_1d);
    auto csf = a.get("csf", py::to_f32_1d);
    auto mask = a.get("mask", py::to_f32_1d);
    auto affine = a.get("affine", py::to_f64_2d);
    auto positions = a.get("positions", py::to_f64_2d);
    auto offsets = a.get("offsets", py::to_u32_1d);
    auto weights = a.get("weights", optional_f32_1d);
    PyObject* params_dict = a.get("params", py::to_dict);
    auto kappa = a.opt("kappa", py::to_f64);
    auto myelin = a.opt("myelin", py::to_f32_1d);
    const std::size_t level = sphere_level_arg(a);

    const std::size_t nvox = checked_nvox(dims);
    auto tissue = tissue_from_views(dims, wm, gm, csf, mask);
    const raster::Grid grid{py::affine4(affine), dims};
    raster::check_affine(grid.affine);
    // Copied, as every input: other threads may write the array while the build runs unlocked.
    std::vector<raster::Vec3> points = py::rows3(positions, "positions");
    auto [offs, w] = streamline_offsets_weights(offsets, weights, points.size());
    const CompartmentParams params = params_from_dict(params_dict);
    kappa = positive_kappa(kappa);
    std::optional<std::vector<float>> my;
    if (myelin) {
        my = py::f32s(*myelin);
        py::check_len("myelin", my->size(), nvox);
    }
    check_histogram_size(nvox, level);

    Shared field = py::without_gil([&] {
        auto sphere = sphere::HemiSphere::icosphere(level);
        std::optional<std::span<const float>> ws;
        if (w) ws = std::span<const float>(*w);
        auto f = std::make_shared<Field>(compartments::generate_mixture(grid, std::move(points), offs, ws, tissue,
                                                                        params, kappa, std::move(sphere)));
        f->myelin = std::move(my);
        return Shared(std::move(f));
    });
    return wrap_mixture(std::move(field));
}

PyObject* mixture_from_fibers(PyObject*, py::Args& a) {
    auto dims = a.get("dims", py::to_dims);
    auto voxel = a.get("voxel", py::to_u32_1d);
    auto dirs = a.get("dirs", py::to_f64_2d);
    auto weight = a.get("weight", py::to_f64_1d);
    auto wm = a.get("wm", py::to_f32_1d);
    auto gm = a.get("gm", py::to_f32_1d);
    auto csf = a.get("csf", py::to_f32_1d);
    auto mask = a.get("mask", py::to_f32_1d);
    PyObject* params_dict = a.get("params", py::to_dict);
    auto kappa = a.opt("kappa", py::to_f64);
    const std::size_t level = sphere_level_arg(a);

    const std::size_t nvox = checked_nvox(dims);
    auto tissue = tissue_from_views(dims, wm, gm, csf, mask);
    auto vox = py::flat<std::uint32_t>(voxel);
    auto d = py::rows3(dirs, "dirs");
    auto wt = py::flat<double>(weight);
    py::check_len("dirs", d.size(), vox.size());
    py::check_len("weight", wt.size(), vox.size());
    for (std::uint32_t v : vox)
        if (v >= nvox)
            throw InvalidInput("fibre voxel index " + std::to_string(v) + " out of range for " + py::debug_list(dims));
    // A non-finite direction has no nearest vertex; it would land on vertex 0 or make NaN masses.
    for (std::size_t i = 0; i < d.size(); ++i)
        if (!std::isfinite(d[i][0]) || !std::isfinite(d[i][1]) || !std::isfinite(d[i][2]))
            throw InvalidInput("dirs[" + std::to_string(i) + "] is not a finite direction");
    const CompartmentParams params = params_from_dict(params_dict);
    kappa = positive_kappa(kappa);
    check_histogram_size(nvox, level);

    Shared field = py::without_gil([&] {
        auto sphere = sphere::HemiSphere::icosphere(level);
        return Shared(std::make_shared<Field>(
            compartments::mixture_from_fibers(dims, vox, d, wt, tissue, params, kappa, std::move(sphere))));
    });
    return wrap_mixture(std::move(field));
}

}  // namespace quorvel::bind
