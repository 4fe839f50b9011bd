// The acquisition dictionary and the readout functions built on it.
#include "acquisition_py.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "bindings.hpp"
#include "convert.hpp"
#include "core/sizes.hpp"

namespace quorvel::bind {
namespace {

constexpr std::array<std::string_view, 22> kFields = {
    "window",         "t_line",        "t_echo",      "t_inhom",     "signal_scale",   "reverse_phase",
    "do_distortions", "do_relaxation", "noise_variance", "partial_fourier", "pf_mode",   "ghost_offset",
    "eddy_strength",  "eddy_quad",     "eddy_phase",  "eddy_tau",    "n_spikes",       "spike_amplitude",
    "n_coils",        "accel",         "acs_lines",   "seed",
};

// Element i of a window tuple; a missing one is the tuple access's IndexError.
py::Ref tuple_item(PyObject* tuple, Py_ssize_t i) { return py::check(PySequence_GetItem(tuple, i)); }

kspace::KspaceWindow window_from(PyObject* dict) {
    using Kind = kspace::KspaceWindow::Kind;
    const py::Ref held = py::dict_lookup(dict, "window");
    PyObject* v = held.get();
    if (v == nullptr) return {};
    if (PyUnicode_Check(v)) {
        const std::string name = py::to_str(v);
        if (name == "none") return {};
        if (name == "hann") return {Kind::Hann};
        throw InvalidInput("window: unknown name " + py::debug_str(name) +
                           "; use 'none', 'hann', ('tukey', a) or ('fermi', r, w)");
    }
    if (PyTuple_Check(v)) {
        const std::string kind = py::to_str(tuple_item(v, 0).get());
        if (kind == "tukey") return {Kind::Tukey, py::to_f64(tuple_item(v, 1).get())};
        if (kind == "fermi") {
            const double r = py::to_f64(tuple_item(v, 1).get());
            const double w = py::to_f64(tuple_item(v, 2).get());
            return {Kind::Fermi, 0.0, r, w};
        }
        throw InvalidInput("window: unknown kind " + py::debug_str(kind));
    }
    throw InvalidInput("window: expected a string or tuple");
}

kspace::PartialFourierMode pf_mode_from(PyObject* dict) {
    const std::string s = py::get_str(dict, "pf_mode", "scanner");
    if (s == "scanner") return kspace::PartialFourierMode::Scanner;
    if (s == "contiguous") return kspace::PartialFourierMode::Contiguous;
    if (s == "fiberfox") return kspace::PartialFourierMode::Fiberfox;
    throw InvalidInput("pf_mode: expected 'scanner', 'contiguous' or 'fiberfox', got " + py::debug_str(s));
}

void reject_unknown_keys(PyObject* dict) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        const std::string name = py::to_str(key);
        if (std::find(kFields.begin(), kFields.end(), name) == kFields.end())
            throw InvalidInput("acquisition: unknown field " + py::debug_str(name));
    }
}

const char* pf_mode_name(kspace::PartialFourierMode m) {
    switch (m) {
        case kspace::PartialFourierMode::Scanner: return "scanner";
        case kspace::PartialFourierMode::Contiguous: return "contiguous";
        case kspace::PartialFourierMode::Fiberfox: return "fiberfox";
    }
    return "scanner";
}

// Readout matrices beyond this many samples are refused before anything is allocated.
constexpr std::size_t kMaxSamples = std::size_t{1} << 26;

void check_matrix(std::size_t nx, std::size_t ny) {
    const auto n = checked_product({nx, ny});
    if (!n || *n > kMaxSamples)
        throw InvalidInput("nx * ny: a readout of " + std::to_string(nx) + " x " + std::to_string(ny) +
                           " samples is too large (at most " + std::to_string(kMaxSamples) + ")");
}

// The acquisition argument: a dict (TypeError naming it otherwise), decoded after conversion.
kspace::Acquisition acquisition_arg(py::Args& a) {
    PyObject* dict = a.get("acquisition", py::to_dict);
    return acquisition_from_dict(dict);
}

// The (nx, ny, acquisition) arguments of the readout functions, converted and checked.
struct MatrixArgs {
    std::size_t nx;
    std::size_t ny;
    kspace::Acquisition acq;
};

MatrixArgs matrix_args(py::Args& a) {
    const std::size_t nx = a.get("nx", py::to_usize);
    const std::size_t ny = a.get("ny", py::to_usize);
    const kspace::Acquisition acq = acquisition_arg(a);
    check_matrix(nx, ny);
    return {nx, ny, acq};
}

}  // namespace

kspace::Acquisition acquisition_from_dict(PyObject* dict) {
    kspace::Acquisition acq;
    acq.window = window_from(dict);
    acq.pf_mode = pf_mode_from(dict);
    reject_unknown_keys(dict);
    acq.t_line = py::get_f64(dict, "t_line", acq.t_line);
    acq.t_echo = py::get_f64(dict, "t_echo", acq.t_echo);
    acq.t_inhom = py::get_f64(dict, "t_inhom", acq.t_inhom);
    acq.signal_scale = py::get_f64(dict, "signal_scale", acq.signal_scale);
    acq.reverse_phase = py::get_bool(dict, "reverse_phase", acq.reverse_phase);
    acq.do_distortions = py::get_bool(dict, "do_distortions", acq.do_distortions);
    acq.do_relaxation = py::get_bool(dict, "do_relaxation", acq.do_relaxation);
    acq.noise_variance = py::get_f64(dict, "noise_variance", acq.noise_variance);
    acq.partial_fourier = py::get_f64(dict, "partial_fourier", acq.partial_fourier);
    acq.ghost_offset = py::get_f64(dict, "ghost_offset", acq.ghost_offset);
    acq.eddy_strength = py::get_f64(dict, "eddy_strength", acq.eddy_strength);
    acq.eddy_quad = py::get_f64(dict, "eddy_quad", acq.eddy_quad);
    acq.eddy_phase = py::get_f64(dict, "eddy_phase", acq.eddy_phase);
    acq.eddy_tau = py::get_f64(dict, "eddy_tau", acq.eddy_tau);
    acq.n_spikes = py::get_usize(dict, "n_spikes", acq.n_spikes);
    acq.spike_amplitude = py::get_f64(dict, "spike_amplitude", acq.spike_amplitude);
    acq.n_coils = py::get_usize(dict, "n_coils", acq.n_coils);
    acq.accel = py::get_usize(dict, "accel", acq.accel);
    acq.acs_lines = py::get_usize(dict, "acs_lines", acq.acs_lines);
    acq.seed = py::get_usize(dict, "seed", acq.seed);
    return acq;
}

PyObject* acquisition_defaults(PyObject*, py::Args& a) {
    const kspace::Acquisition acq = acquisition_arg(a);
    py::DictBuilder d;
    d.set("t_line", py::to_py(acq.t_line));
    d.set("t_echo", py::to_py(acq.t_echo));
    d.set("t_inhom", py::to_py(acq.t_inhom));
    d.set("signal_scale", py::to_py(acq.signal_scale));
    d.set("reverse_phase", py::to_py_bool(acq.reverse_phase));
    d.set("do_distortions", py::to_py_bool(acq.do_distortions));
    d.set("do_relaxation", py::to_py_bool(acq.do_relaxation));
    d.set("noise_variance", py::to_py(acq.noise_variance));
    d.set("partial_fourier", py::to_py(acq.partial_fourier));
    d.set("pf_mode", py::to_py(std::string(pf_mode_name(acq.pf_mode))));
    d.set("ghost_offset", py::to_py(acq.ghost_offset));
    d.set("eddy_strength", py::to_py(acq.eddy_strength));
    d.set("eddy_quad", py::to_py(acq.eddy_quad));
    d.set("eddy_phase", py::to_py(acq.eddy_phase));
    d.set("eddy_tau", py::to_py(acq.eddy_tau));
    d.set("n_spikes", py::to_py(acq.n_spikes));
    d.set("spike_amplitude", py::to_py(acq.spike_amplitude));
    d.set("n_coils", py::to_py(acq.n_coils));
    d.set("accel", py::to_py(acq.accel));
    d.set("acs_lines", py::to_py(acq.acs_lines));
    d.set("seed", py::to_py(static_cast<std::size_t>(acq.seed)));
    return d.release();
}

PyObject* acquisition_hbcd(PyObject*, py::Args& a) {
    const std::size_t ny = a.get("ny", py::to_usize);
    const kspace::Acquisition acq = kspace::Acquisition::hbcd(ny);
    py::DictBuilder d;
    d.set("t_line", py::to_py(acq.t_line));
    d.set("t_echo", py::to_py(acq.t_echo));
    d.set("t_inhom", py::to_py(acq.t_inhom));
    d.set("partial_fourier", py::to_py(acq.partial_fourier));
    d.set("pf_mode", py::to_py(std::string(pf_mode_name(acq.pf_mode))));
    d.set("ghost_offset", py::to_py(acq.ghost_offset));
    d.set("acs_lines", py::to_py(acq.acs_lines));
    d.set("signal_scale", py::to_py(acq.signal_scale));
    return d.release();
}

PyObject* sampling_mask(PyObject*, py::Args& a) {
    const auto [nx, ny, acq] = matrix_args(a);
    return py::to_numpy(kspace::sampling_mask(nx, ny, acq));
}

PyObject* epi_timing(PyObject*, py::Args& a) {
    const auto [nx, ny, acq] = matrix_args(a);
    kspace::EpiTiming e = kspace::epi_timing(nx, ny, acq);
    std::vector<std::uint32_t> order(e.order.begin(), e.order.end());
    py::DictBuilder d;
    d.set("t_ms", py::to_numpy(std::move(e.t_ms)));
    d.set("t_rf_ms", py::to_numpy(std::move(e.t_rf_ms)));
    d.set("t_read_ms", py::to_numpy(std::move(e.t_read_ms)));
    d.set("order", py::to_numpy(std::move(order)));
    d.set("t_line", py::to_py(e.t_line));
    d.set("t_echo", py::to_py(e.t_echo));
    d.set("dt", py::to_py(e.dt));
    return d.release();
}

PyObject* epi_trajectory(PyObject*, py::Args& a) {
    const auto [nx, ny, acq] = matrix_args(a);
    const std::vector<kspace::TrajectorySample> traj = kspace::epi_trajectory(nx, ny, acq);
    std::vector<std::uint32_t> kx(traj.size());
    std::vector<std::uint32_t> ky(traj.size());
    std::vector<double> t(traj.size());
    for (std::size_t s = 0; s < traj.size(); ++s) {
        kx[s] = static_cast<std::uint32_t>(traj[s].kx);
        ky[s] = static_cast<std::uint32_t>(traj[s].ky);
        t[s] = traj[s].t;
    }
    py::Ref rkx(py::to_numpy(std::move(kx)));
    py::Ref rky(py::to_numpy(std::move(ky)));
    py::Ref rt(py::to_numpy(std::move(t)));
    return py::make_tuple({rkx, rky, rt});
}

}  // namespace quorvel::bind
