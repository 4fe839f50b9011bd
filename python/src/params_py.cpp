// The tissue-parameter dictionary and its presets.
#include "bindings.hpp"
#include "convert.hpp"
#include "params_codec.hpp"

namespace quorvel::bind {

PyObject* tissue_preset(PyObject*, py::Args& a) {
    std::string name = a.get("name", py::to_str);
    auto p = quorvel::tissue_preset(name);
    if (!p)
        throw InvalidInput("unknown tissue preset " + py::debug_str(name) +
                           "; expected 'neonatal', 'adult' or 'infant'");
    return params_to_dict(*p);
}

CompartmentParams params_from_dict(PyObject* dict) {
    std::string preset = py::get_str(dict, "preset", "neonatal");
    auto base = quorvel::tissue_preset(preset);
    if (!base)
        throw InvalidInput("preset: expected 'neonatal', 'adult' or 'infant', got " + py::debug_str(preset));
    CompartmentParams p = *base;
    p.b_value = py::get_f64(dict, "b_value", 1000.0);
    p.fiber_radius_mm = py::get_f64(dict, "fiber_radius_mm", 1.0);
    p.intra_frac = py::get_f64(dict, "intra_frac", p.intra_frac);
    p.extra_frac = py::get_f64(dict, "extra_frac", p.extra_frac);
    p.d_intra = py::get_f64(dict, "d_intra", p.d_intra);
    p.d_extra = py::read_or(dict, "d_extra", "a 3-tuple of eigenvalues", [](PyObject* o) {
                    return py::to_array_tuple<3>(o, py::to_f64);
                }).value_or(p.d_extra);
    p.d_gm = py::get_f64(dict, "d_gm", p.d_gm);
    p.d_csf = py::get_f64(dict, "d_csf", 0.003);
    p.t2_fiber = static_cast<float>(py::get_f64(dict, "t2_fiber", p.t2_fiber));
    p.t2_gm = static_cast<float>(py::get_f64(dict, "t2_gm", p.t2_gm));
    p.t2_csf = static_cast<float>(py::get_f64(dict, "t2_csf", p.t2_csf));
    p.gm_restricted_frac = py::get_f64(dict, "gm_restricted_frac", p.gm_restricted_frac);
    p.d_soma = py::get_f64(dict, "d_soma", 0.0003);
    return p;
}

PyObject* params_to_dict(const CompartmentParams& p) {
    py::DictBuilder d;
    d.set("b_value", py::to_py(p.b_value));
    d.set("fiber_radius_mm", py::to_py(p.fiber_radius_mm));
    d.set("intra_frac", py::to_py(p.intra_frac));
    d.set("extra_frac", py::to_py(p.extra_frac));
    d.set("d_intra", py::to_py(p.d_intra));
    d.set("d_extra", py::make_tuple({py::to_py(p.d_extra[0]), py::to_py(p.d_extra[1]), py::to_py(p.d_extra[2])}));
    d.set("d_gm", py::to_py(p.d_gm));
    d.set("d_csf", py::to_py(p.d_csf));
    d.set("t2_fiber", py::to_py(static_cast<double>(p.t2_fiber)));
    d.set("t2_gm", py::to_py(static_cast<double>(p.t2_gm)));
    d.set("t2_csf", py::to_py(static_cast<double>(p.t2_csf)));
    d.set("gm_restricted_frac", py::to_py(p.gm_restricted_frac));
    d.set("d_soma", py::to_py(p.d_soma));
    return d.release();
}

scheme::GradientScheme scheme_from_arrays(const py::ArrayView& bvals, const py::ArrayView& bvecs) {
    auto b = py::flat<double>(bvals);
    auto g = py::rows3(bvecs, "bvecs");
    return scheme::scheme_from(std::move(b), g);
}

compartments::TissueFractions tissue_from_views(const py::Dims& dims, const py::ArrayView& wm,
                                                const py::ArrayView& gm, const py::ArrayView& csf,
                                                const py::ArrayView& mask) {
    auto w = py::f32s(wm);
    auto g = py::f32s(gm);
    auto c = py::f32s(csf);
    auto m = py::f32s(mask);
    return compartments::tissue_from_flat(dims, std::move(w), std::move(g), std::move(c), m);
}

}  // namespace quorvel::bind
