// The classes GradCoef and GnlField.
#include "gnl_py.hpp"


#include "bindings.hpp"
#include "convert.hpp"
#include "core/sizes.hpp"

namespace quorvel::bind {
namespace {

using CoefPtr = std::shared_ptr<const gnl::GradCoef>;
using FieldPtr = std::shared_ptr<const gnl::GnlField>;

PyTypeObject* g_gradcoef_type = nullptr;
PyTypeObject* g_gnlfield_type = nullptr;

PyObject* wrap_coef(gnl::GradCoef c) {
    QV_ASSERT(g_gradcoef_type != nullptr, "GradCoef type registered before use");
    return py::new_instance<CoefPtr>(g_gradcoef_type, std::make_shared<const gnl::GradCoef>(std::move(c)));
}

const gnl::GradCoef& coef_of(PyObject* self) { return *py::value_of<CoefPtr>(self); }
const gnl::GnlField& field_of(PyObject* self) { return *py::value_of<FieldPtr>(self); }


// ---- GradCoef ----

// A signal that interrupts a read runs the Python handlers, as the interpreter's own reads do: a
// handler that raises (KeyboardInterrupt) ends the read with its exception, else it goes on.
void run_signal_handlers() {
    bool raised = false;
    py::take_lock_or_park([&] {
        const PyGILState_STATE state = PyGILState_Ensure();
        raised = PyErr_CheckSignals() < 0;
        PyGILState_Release(state);
    });
    if (raised) throw py::ErrorAlreadySet{};
}

PyObject* coef_from_spec(PyObject*, py::Args& a) {
    std::string spec = a.get("spec", py::to_str);
    // The path may name a pipe with no writer or a slow file system: other threads run meanwhile.
    return wrap_coef(py::without_gil([&] { return gnl::GradCoef::from_spec(spec, run_signal_handlers); }));
}

PyObject* coef_parse_siemens(PyObject*, py::Args& a) {
    std::string text = a.get("text", py::to_str);
    return wrap_coef(gnl::GradCoef::parse_siemens(text));
}

PyObject* coef_scaled(PyObject* self, py::Args& a) {
    double s = a.get("s", py::to_f64);
    return wrap_coef(coef_of(self).scaled(s));
}

PyObject* coef_to_siemens(PyObject* self, py::Args&) { return py::to_py(coef_of(self).write_siemens()).release(); }

PyObject* coef_r0_mm(PyObject* self) { return py::to_py(coef_of(self).r0_mm).release(); }
PyObject* coef_n_terms(PyObject* self) { return py::to_py(coef_of(self).terms.size()).release(); }

// ---- GnlField ----

PyObject* field_on_grid(PyObject*, py::Args& a) {
    CoefPtr coef = a.get("coef", [](PyObject* o) {
        return py::instance_arg<CoefPtr>(o, g_gradcoef_type, "GradCoef");
    });
    auto dims = a.get("dims", py::to_dims);
    auto affine_view = a.get("affine", py::to_f64_2d);
    raster::Grid grid{py::affine4(affine_view), dims};
    // Sixteen floats per voxel; refuse grids whose size cannot even be counted, or be held.
    const auto nvox = checked_product({dims[0], dims[1], dims[2]});
    if (!nvox) throw InvalidInput("dims: grid " + py::debug_list(dims) + " is too large");
    check_fits_memory("dims", *nvox, {16 * sizeof(float)}, "voxels");
    auto field = py::without_gil([&] { return std::make_shared<const gnl::GnlField>(gnl::GnlField::on_grid(*coef, grid)); });
    QV_ASSERT(g_gnlfield_type != nullptr, "GnlField type registered before use");
    return py::new_instance<FieldPtr>(g_gnlfield_type, std::move(field));
}

PyObject* field_disp(PyObject* self, py::Args&) { return py::copy_to_numpy<float>(field_of(self).disp); }
PyObject* field_src_vox(PyObject* self, py::Args&) { return py::copy_to_numpy<float>(field_of(self).src_vox); }

PyObject* field_graddev(PyObject* self, py::Args& a) {
    auto affine = py::affine4(a.get("affine", py::to_f64_2d));
    FieldPtr field = py::value_of<FieldPtr>(self);
    auto out = py::without_gil([&] { return field->graddev_volumes(affine); });
    return py::to_numpy(std::move(out));
}

PyObject* field_envelope(PyObject* self, py::Args& a) {
    auto affine_view = a.get("affine", py::to_f64_2d);
    double radius = a.get("radius_mm", py::to_f64);
    gnl::Envelope e = field_of(self).envelope(py::affine4(affine_view), radius);
    py::DictBuilder d;
    d.set("n_voxels", py::to_py(e.n_voxels));
    d.set("max_disp_mm", py::to_py(e.max_disp_mm));
    d.set("max_gradient_dev", py::to_py(e.max_gradient_dev));
    d.set("max_angle_deg", py::to_py(e.max_angle_deg));
    return d.release();
}

PyObject* field_warp_volume(PyObject* self, py::Args& a) {
    auto view = a.get("vol", py::to_f32_1d);
    bool modulate = a.get("modulate", py::to_bool);
    FieldPtr field = py::value_of<FieldPtr>(self);
    py::check_len("volume", view.size(), field->nvox());
    auto vol = py::f32s(view);
    auto out = py::without_gil([&] { return field->warp_volume(vol, modulate); });
    return py::to_numpy(std::move(out));
}

PyObject* field_warp_4d(PyObject* self, py::Args& a) {
    auto view = a.get("vol", py::to_f32_1d);
    std::size_t ngrad = a.get("ngrad", py::to_usize);
    bool modulate = a.get("modulate", py::to_bool);
    FieldPtr field = py::value_of<FieldPtr>(self);
    const auto expected = checked_product({field->nvox(), ngrad});
    if (!expected) throw InvalidInput("ngrad: " + std::to_string(ngrad) + " volumes do not fit in memory");
    py::check_len("4-D image", view.size(), *expected);
    auto vol = py::f32s(view);
    auto out = py::without_gil([&] { return field->warp_4d(vol, ngrad, modulate); });
    return py::to_numpy(std::move(out));
}

PyObject* field_dims(PyObject* self) { return py::dims_to_py(field_of(self).dims).release(); }

}  // namespace

PyTypeObject* make_gradcoef_type() {
    using py::def;
    g_gradcoef_type = py::make_class<CoefPtr>(
        "quorvel._core.GradCoef",
        "A gradient-coil coefficient set (the solid-harmonic terms of a Siemens `.grad` file). Immutable;\n"
        "`scaled` returns a new one.",
        {
            def<coef_from_spec>("from_spec",
                                "from_spec(spec)\n--\n\n"
                                "The preset \"whole-body-80\" or \"connectom-300\", or else the path of a Siemens `.grad`\n"
                                "coefficient file.",
                                METH_STATIC),
            def<coef_parse_siemens>("parse_siemens",
                                    "parse_siemens(text)\n--\n\n"
                                    "From the text of a Siemens `.grad` coefficient file.",
                                    METH_STATIC),
            def<coef_scaled>("scaled",
                             "scaled($self, s)\n--\n\n"
                             "Every nonlinear term multiplied by `s` (the severity knob)."),
            def<coef_to_siemens>("to_siemens",
                                 "to_siemens($self)\n--\n\n"
                                 "The set as the text of a Siemens `.grad` coefficient file."),
        },
        {
            py::prop<coef_r0_mm>("r0_mm", "Reference radius of the coefficients, in mm."),
            py::prop<coef_n_terms>("n_terms", "Number of solid-harmonic terms in the set."),
        });
    if (g_gradcoef_type == nullptr) throw py::ErrorAlreadySet{};
    return g_gradcoef_type;
}

PyTypeObject* make_gnlfield_type() {
    using py::def;
    g_gnlfield_type = py::make_class<FieldPtr>(
        "quorvel._core.GnlField",
        "The gradient-nonlinearity field of a coefficient set, evaluated once on one grid. Immutable.",
        {
            def<field_on_grid>("on_grid",
                               "on_grid(coef, dims, affine)\n--\n\n"
                               "Evaluate `coef` at every voxel centre of the grid (`dims`, `affine`; world RAS mm with the\n"
                               "scanner isocentre at the world origin). Build it on the grid of the images it acts on.",
                               METH_STATIC),
            def<field_disp>("disp",
                            "disp($self)\n--\n\n"
                            "Forward displacement `phi(r) - r` per voxel, RAS mm, `(nvox*3,)`."),
            def<field_src_vox>("src_vox",
                               "src_vox($self)\n--\n\n"
                               "Continuous voxel coordinate of `phi^-1(x)` per voxel, `(nvox*3,)`."),
            def<field_graddev>("graddev",
                               "graddev($self, affine)\n--\n\n"
                               "The gradient-deviation tensor of every voxel, `(nvox*9,)`, nine contiguous values per voxel:\n"
                               "value `9*vox + 3*r + c` is `M[r][c]`, the full Jacobian (identity included) in the voxel\n"
                               "axes of `affine`. A voxel's gradient is `M.T @ g`, g in those axes (for an image stored\n"
                               "LAS, its FSL bvecs)."),
            def<field_envelope>("envelope",
                                "envelope($self, affine, radius_mm)\n--\n\n"
                                "Voxel count, largest displacement (mm), gradient-length deviation (a fraction) and gradient\n"
                                "angle (degrees) over the voxels within `radius_mm` of the isocentre, as a dict."),
            def<field_warp_volume>("warp_volume",
                                   "warp_volume($self, vol, modulate)\n--\n\n"
                                   "Warp one 3-D volume (flat `(nvox,)`) into the apparent frame: pulled through the inverse\n"
                                   "map, times 1/|det J| when `modulate`."),
            def<field_warp_4d>("warp_4d",
                               "warp_4d($self, vol, ngrad, modulate)\n--\n\n"
                               "Warp a 4-D interleaved image (flat `(nvox*ngrad,)`)."),
        },
        {py::prop<field_dims>("dims", "Grid dimensions `(nx, ny, nz)` the field was evaluated on.")});
    if (g_gnlfield_type == nullptr) throw py::ErrorAlreadySet{};
    return g_gnlfield_type;
}

std::shared_ptr<const gnl::GnlField> gnlfield_arg(PyObject* o) {
    QV_ASSERT(g_gnlfield_type != nullptr, "GnlField type registered before use");
    return py::instance_arg<FieldPtr>(o, g_gnlfield_type, "GnlField");
}

}  // namespace quorvel::bind
