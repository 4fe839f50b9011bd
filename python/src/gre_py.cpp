// The GRE field-map synthesis.
#include <utility>

#include "bindings.hpp"
#include "convert.hpp"
#include "gnl_py.hpp"
#include "acquisition/gre.hpp"
#include "core/sizes.hpp"

namespace quorvel::bind {
namespace {

std::array<float, 3> f32_triple(PyObject* o) { return py::to_array_tuple<3>(o, py::to_f32); }
std::array<double, 2> f64_pair(PyObject* o) { return py::to_array_tuple<2>(o, py::to_f64); }

}  // namespace

PyObject* gre_synthesize(PyObject*, py::Args& a) {
    const py::Dims sig_dims = a.get("sig_dims", py::to_dims);
    const py::ArrayView sig_affine_arr = a.get("sig_affine", py::to_f64_2d);
    const py::Dims acq_dims = a.get("acq_dims", py::to_dims);
    const py::ArrayView acq_affine_arr = a.get("acq_affine", py::to_f64_2d);
    const py::ArrayView fiber_arr = a.get("fiber", py::to_f32_1d);
    const py::ArrayView gm_arr = a.get("gm", py::to_f32_1d);
    const py::ArrayView csf_arr = a.get("csf", py::to_f32_1d);
    const std::array<float, 3> s0 = a.get("s0", f32_triple);
    std::vector<float> t2 = a.get("t2", [](PyObject* o) { return py::to_list(o, py::to_f32, "t2", 3); });
    const py::ArrayView fmap_arr = a.get("fmap", py::to_f32_1d);
    const double signal_scale = a.get("signal_scale", py::to_f64);
    const std::uint64_t seed = a.get("seed", py::to_u64);

    gre::GreParams p;
    if (a.given("te_s")) p.te_s = a.get("te_s", f64_pair);
    if (a.given("snr")) p.snr = a.get("snr", py::to_f64);
    p.res_mm = a.opt("res_mm", py::to_f64);
    if (a.given("snr_vol_exp")) p.snr_vol_exp = a.get("snr_vol_exp", py::to_f64);
    const std::string output = a.given("output") ? a.get("output", py::to_str) : std::string("phasediff");
    if (a.given("rx_phase_rad")) p.rx_phase_rad = a.get("rx_phase_rad", py::to_f64);
    const std::string b0_field = a.given("b0_field") ? a.get("b0_field", py::to_str) : p.b0_field;
    if (a.given("tr_s")) p.tr_s = a.get("tr_s", py::to_f64);
    if (a.given("flip_deg")) p.flip_deg = a.get("flip_deg", py::to_f64);
    if (a.given("t1_ms")) p.t1_ms = a.get("t1_ms", f32_triple);
    if (a.given("pd")) p.pd = a.get("pd", f32_triple);
    if (a.given("bias")) p.bias = a.get("bias", py::to_f64);
    if (a.given("ringing")) p.ringing = a.get("ringing", py::to_bool);
    if (a.given("t2_head_ms")) p.t2_head_ms = a.get("t2_head_ms", py::to_f32);
    const std::optional<py::ArrayView> head_arr = a.opt("head", py::to_f32_1d);
    const std::size_t z_offset = a.given("z_offset") ? a.get("z_offset", py::to_usize) : 0;
    const std::optional<std::size_t> nz_full = a.opt("nz_full", py::to_usize);
    const std::optional<std::shared_ptr<const gnl::GnlField>> warp = a.opt("warp", gnlfield_arg);
    const bool warp_modulate = a.given("warp_modulate") ? a.get("warp_modulate", py::to_bool) : true;

    gre::GreInputs in;
    in.sig_grid = {py::affine4(sig_affine_arr), sig_dims};
    in.acq_grid = {py::affine4(acq_affine_arr), acq_dims};
    in.fiber = py::f32s(fiber_arr);
    in.gm = py::f32s(gm_arr);
    in.csf = py::f32s(csf_arr);
    in.fmap = py::f32s(fmap_arr);

    // A wrapped voxel count could let short arrays pass the length checks below.
    const auto count = checked_product({sig_dims[0], sig_dims[1], sig_dims[2]});
    if (!count) throw InvalidInput("sig_dims " + py::debug_list(sig_dims) + ": voxel count overflows");
    const std::size_t nvox = *count;
    py::check_len("fiber fraction", in.fiber.size(), nvox);
    py::check_len("gm fraction", in.gm.size(), nvox);
    py::check_len("csf fraction", in.csf.size(), nvox);
    py::check_len("fieldmap", in.fmap.size(), nvox);
    py::check_len("t2", t2.size(), 3);
    in.t2 = std::move(t2);
    if (head_arr) {
        in.head = py::f32s(*head_arr);
        py::check_len("head", in.head->size(), nvox);
    }

    if (output == "phasediff")
        p.output = gre::Output::PhaseDiff;
    else if (output == "phase")
        p.output = gre::Output::Phase;
    else
        throw InvalidInput("output: expected 'phasediff' or 'phase', got " + py::debug_str(output));
    p.b0_field = b0_field;

    if (warp) {
        // Only the dims can be compared: a field does not keep the affine it was built on.
        if ((*warp)->dims != sig_dims)
            throw InvalidInput("GNL field grid " + py::debug_list((*warp)->dims) + " != signal grid " +
                               py::debug_list(sig_dims));
        in.warp = gre::GreWarp{*warp, warp_modulate};
    }

    in.s0 = s0;
    in.signal_scale = signal_scale;
    in.seed = seed;
    in.z_offset = z_offset;
    in.nz_full = nz_full.value_or(sig_dims[2]);

    gre::GreFieldmap r = py::without_gil([&] { return gre::synthesize(in, p); });

    py::Ref phase = py::check(PyList_New(0));
    for (auto& img : r.phase) py::check(PyList_Append(phase.get(), py::Ref(py::to_numpy(std::move(img))).get()));
    py::Ref te = py::Ref(py::make_tuple({py::to_py(r.te_s[0]), py::to_py(r.te_s[1])}));
    return py::DictBuilder()
        .set("dims", py::dims_to_py(r.grid.dims))
        .set("affine", py::affine_to_py(r.grid.affine))
        .set("magnitude1", py::to_numpy(std::move(r.magnitude[0])))
        .set("magnitude2", py::to_numpy(std::move(r.magnitude[1])))
        .set("phase", std::move(phase))
        .set("te_s", std::move(te))
        .set("tr_s", py::to_py(p.tr_s))
        .set("flip_deg", py::to_py(p.flip_deg))
        .set("output", py::to_py(std::string(r.output == gre::Output::Phase ? "phase" : "phasediff")))
        .set("b0_field", py::to_py(r.b0_field))
        .set("sigma", py::to_py(r.sigma))
        .set("stamped", py::to_py_bool(r.stamped))
        .release();
}

}  // namespace quorvel::bind
