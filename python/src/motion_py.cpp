// Rigid poses, dropout events, within-volume multiband motion and the moving-subject signal.
#include <cstdint>
#include <optional>
#include <string>

#include "bindings.hpp"
#include "compartments_py.hpp"
#include "convert.hpp"
#include "csr.hpp"
#include "signal/motion.hpp"
#include "signal/moving.hpp"
#include "params_codec.hpp"
#include "core/sizes.hpp"

namespace quorvel::bind {
namespace {

using motion::MotionEvent;
using motion::Pose;

// The pose table of every function that takes one: (n, 6) rows [tx, ty, tz mm, rx, ry, rz deg].
std::vector<Pose> poses_from(const py::ArrayView& a) {
    if (a.shape(1) != 6)
        throw InvalidInput("poses must be (n, 6) [tx, ty, tz mm, rx, ry, rz deg], got " + a.shape_str());
    std::vector<Pose> poses(a.shape(0));
    for (std::size_t i = 0; i < poses.size(); ++i) {
        for (std::size_t c = 0; c < 3; ++c) {
            poses[i].trans_mm[c] = a.at<double>(i, c);
            poses[i].rot_deg[c] = a.at<double>(i, c + 3);
        }
    }
    return poses;
}

std::array<double, 3> to_vec3(PyObject* o) { return py::to_array_tuple<3>(o, py::to_f64); }

py::Ref vec3_to_py(const std::array<double, 3>& v) {
    return py::Ref(py::make_tuple({py::to_py(v[0]), py::to_py(v[1]), py::to_py(v[2])}));
}

py::Ref sizes_to_py(std::span<const std::size_t> v) {
    py::Ref list = py::check(PyList_New(0));
    for (std::size_t x : v) py::check(PyList_Append(list.get(), py::to_py(x).get()));
    return list;
}

// An event's required jump, a 3-tuple of floats. A value of the wrong type gets the note naming
// its key, as an argument's does: the tuple converter's own message names no key.
std::array<double, 3> event_jump(PyObject* event, const char* key) {
    const py::Ref value = py::dict_lookup(event, key);
    if (!value) throw InvalidInput(std::string("event: ") + key + " missing");
    try {
        return to_vec3(value.get());
    } catch (const py::ErrorAlreadySet&) {
        py::add_processing_note(key);
        throw;
    }
}

// The event dicts of apply_multiband_motion; every item is read before any image is touched.
std::vector<MotionEvent> read_events(PyObject* events) {
    std::vector<MotionEvent> out;
    py::for_each_item(events, "events", sizeof(MotionEvent), [&](PyObject* item) {
        if (!PyDict_Check(item)) throw InvalidInput("events must be dicts");
        MotionEvent e;
        e.jump_mm = event_jump(item, "jump_mm");
        e.jump_deg = event_jump(item, "jump_deg");
        e.volume = py::get_usize(item, "volume", 0);
        e.shot = py::get_usize(item, "shot", 0);
        e.severity = static_cast<float>(py::get_f64(item, "severity", 1.0));
        out.push_back(e);
    });
    return out;
}

}  // namespace

const char kApplyMultibandMotionDoc[] =
    "apply_multiband_motion($self, affine, mb, interleaved, bvals, b_max, events, slice_z=None, nz_full=None)\n--\n\n"
    "Apply within-volume multiband motion and slice dropout to every compartment image in place;\n"
    "returns the dropped-shot ground truth as a list of dicts `{volume, shot, slices, attenuation}`.\n"
    "`affine` is this object's grid (the simulation grid: the acquired grid's affine would divide every\n"
    "jump by the oversampling). `mb` slices are excited per shot, nz // mb shots per volume; `interleaved`\n"
    "acquires the even-numbered slice groups first. An event's jump (`jump_mm` mm, `jump_deg` degrees\n"
    "about the grid centre) moves the slices of its shot and of every later shot of its volume, and its\n"
    "shot's slices are multiplied by 1 - (b/`b_max`)*severity. Slices moved past the first or last slice\n"
    "sample zero: keep empty slices at both ends. `slice_z` and `nz_full` place a slab in the full stack.";

PyObject* signal_moving(PyObject*, py::Args& a) {
    const auto dims = a.get("dims", py::to_dims);
    const auto wm = a.get("wm", py::to_f32_1d);
    const auto gm = a.get("gm", py::to_f32_1d);
    const auto csf = a.get("csf", py::to_f32_1d);
    const auto mask = a.get("mask", py::to_f32_1d);
    const auto affine = a.get("affine", py::to_f64_2d);
    const auto positions = a.get("positions", py::to_f64_2d);
    const auto offsets = a.get("offsets", py::to_u32_1d);
    const auto bvals = a.get("bvals", py::to_f64_1d);
    const auto bvecs = a.get("bvecs", py::to_f64_2d);
    PyObject* params_dict = a.get("params", py::to_dict);
    const auto pose_table = a.get("poses", py::to_f64_2d);

    auto tissue = tissue_from_views(dims, wm, gm, csf, mask);
    const auto aff = py::affine4(affine);
    raster::check_affine(aff);
    const auto points = py::rows3(positions, "positions");
    const auto offs = py::flat<std::uint32_t>(offsets);
    check_csr(offs, points.size());
    const auto scheme = scheme_from_arrays(bvals, bvecs);
    const auto params = params_from_dict(params_dict);
    const auto poses = poses_from(pose_table);
    py::check_len("poses", poses.size(), scheme.bvals.size());

    // Three images of nvox*ngrad float32 values; refuse products that wrap or cannot be held.
    if (!checked_product({dims[0], dims[1], dims[2], scheme.bvals.size()}))
        throw InvalidInput("signal images: " + py::debug_list(dims) + " voxels x " +
                           std::to_string(scheme.bvals.size()) + " volumes is too large");
    check_fits_memory("bvals", scheme.bvals.size(), {dims[0], dims[1], dims[2], 3 * sizeof(float)}, "volumes");

    const raster::Grid grid{aff, dims};
    auto result = py::without_gil([&] {
        return compartments::generate_compartments_moving(grid, points, offs, tissue, scheme, params, poses);
    });
    return wrap_compartments(std::move(result));
}

PyObject* dropout_seed(PyObject*, py::Args& a) {
    const std::uint64_t run_seed = a.get("run_seed", py::to_u64);
    return py::check(PyLong_FromUnsignedLongLong(motion::dropout_seed(run_seed))).release();
}

PyObject* dropout_events(PyObject*, py::Args& a) {
    const auto bvals_view = a.get("bvals", py::to_f64_1d);
    const std::size_t n_shots = a.get("n_shots", py::to_usize);
    const double rate = a.get("rate", py::to_f64);
    const std::uint64_t seed = a.get("seed", py::to_u64);
    const auto bvals = py::flat<double>(bvals_view);

    const auto events = motion::dropout_events(bvals, n_shots, seed, rate);
    py::Ref list = py::check(PyList_New(0));
    for (const MotionEvent& e : events) {
        py::DictBuilder d;
        d.set("volume", py::to_py(e.volume));
        d.set("shot", py::to_py(e.shot));
        d.set("severity", py::to_py(static_cast<double>(e.severity)));
        d.set("jump_mm", vec3_to_py(e.jump_mm));
        d.set("jump_deg", vec3_to_py(e.jump_deg));
        py::check(PyList_Append(list.get(), py::Ref(d.release()).get()));
    }
    return list.release();
}

PyObject* resolve_poses(PyObject*, py::Args& a) {
    const std::string kind = a.get("kind", py::to_str);
    const std::size_t n_units = a.get("n_units", py::to_usize);
    const std::uint64_t seed = a.opt("seed", py::to_u64).value_or(0);
    const auto trans_mm = a.opt("trans_mm", to_vec3);
    const auto rot_deg = a.opt("rot_deg", to_vec3);
    auto volumes = a.opt("volumes", [](PyObject* o) { return py::to_list(o, py::to_usize, "volumes"); });
    const auto pose_table = a.opt("poses", py::to_f64_2d);

    motion::MotionMode mode;
    if (kind == "off") {
        mode.kind = motion::MotionKind::Off;
    } else if (kind == "random" || kind == "linear") {
        mode.kind = kind == "random" ? motion::MotionKind::Random : motion::MotionKind::Linear;
    } else if (kind == "trajectory") {
        mode.kind = motion::MotionKind::Trajectory;
        if (!pose_table) throw InvalidInput("trajectory needs poses");
        mode.poses = poses_from(*pose_table);
    } else {
        throw InvalidInput("kind: expected random/linear/trajectory/off, got " + py::debug_str(kind));
    }
    // Each unit holds its pose, its row of the result and its entry in the default unit list.
    check_fits_memory("n_units", n_units, {sizeof(Pose) + 6 * sizeof(double) + sizeof(std::size_t)}, "poses");
    const bool moves = mode.kind == motion::MotionKind::Random || mode.kind == motion::MotionKind::Linear;
    if (moves) {
        mode.trans_mm = trans_mm.value_or(motion::Vec3{});
        mode.rot_deg = rot_deg.value_or(motion::Vec3{});
        if (volumes) mode.volumes = std::move(*volumes);
    }

    // Everything below is owned, and a few hundred million units take seconds.
    auto rows = py::without_gil([&] {
        if (moves && !volumes) {
            mode.volumes.resize(n_units);
            for (std::size_t u = 0; u < n_units; ++u) mode.volumes[u] = u;
        }
        const auto poses = motion::resolve_poses(mode, n_units, seed);
        std::vector<double> out(poses.size() * 6);
        for (std::size_t u = 0; u < poses.size(); ++u) {
            for (std::size_t c = 0; c < 3; ++c) {
                out[6 * u + c] = poses[u].trans_mm[c];
                out[6 * u + 3 + c] = poses[u].rot_deg[c];
            }
        }
        return out;
    });
    return py::to_numpy(std::move(rows));
}

PyObject* poses_to_matrices(PyObject*, py::Args& a) {
    const auto pose_table = a.get("poses", py::to_f64_2d);
    const auto center = a.get("center", to_vec3);
    const auto poses = poses_from(pose_table);
    std::vector<double> out;
    out.reserve(poses.size() * 16);
    for (const Pose& p : poses) {
        const auto m = p.to_matrix(center);
        out.insert(out.end(), m.begin(), m.end());
    }
    return py::to_numpy(std::move(out));
}

PyObject* fov_center(PyObject*, py::Args& a) {
    const auto dims = a.get("dims", py::to_dims);
    const auto affine = a.get("affine", py::to_f64_2d);
    return vec3_to_py(motion::fov_center(dims, py::affine4(affine))).release();
}

PyObject* compartments_apply_multiband_motion(PyObject* self, py::Args& a) {
    const auto affine_view = a.get("affine", py::to_f64_2d);
    const std::size_t mb = a.get("mb", py::to_usize);
    const bool interleaved = a.get("interleaved", py::to_bool);
    const auto bvals_view = a.get("bvals", py::to_f64_1d);
    const double b_max = a.get("b_max", py::to_f64);
    PyObject* events_obj = a.raw("events");
    const auto slice_z = a.opt("slice_z", [](PyObject* o) { return py::to_list(o, py::to_usize, "slice_z"); });
    const auto nz_full = a.opt("nz_full", py::to_usize);

    const auto affine = py::affine4(affine_view);
    raster::check_affine(affine);
    const auto events = read_events(events_obj);

    // The grid and the volume count never change after an object is made, so every check and
    // the whole plan run before the mutating guard: a refused call leaves the object usable.
    std::array<std::size_t, 3> dims{};
    std::size_t ngrad = 0, n_images = 0;
    {
        CompartmentsGuard guard(self, false);
        dims = guard.value().dims;
        ngrad = guard.value().ngrad;
        n_images = guard.value().images.size();
    }
    py::check_len("bvals", bvals_view.size(), ngrad);
    if (slice_z) py::check_len("slice_z", slice_z->size(), dims[2]);
    const std::vector<double> bvals = py::flat<double>(bvals_view);
    std::optional<std::span<const std::size_t>> local_z;
    if (slice_z) local_z = std::span<const std::size_t>(*slice_z);
    motion::MultibandPlan plan = py::without_gil([&] {
        return motion::plan_multiband_motion(dims, ngrad, n_images, mb, interleaved, bvals, events, local_z, nz_full,
                                             b_max);
    });
    {
        CompartmentsGuard guard(self, true);
        compartments::Compartments& c = guard.value();
        if (!plan.local.empty()) {
            std::vector<float> vol(c.nvox()), moved(c.nvox());
            py::WithoutGil released;
            motion::apply_multiband_plan(guard.write().images, c.dims, c.ngrad, raster::Grid{affine, c.dims}, plan,
                                         vol, moved);
        }
    }
    const std::vector<motion::DroppedShot>& dropped = plan.dropped;

    py::Ref list = py::check(PyList_New(0));
    for (const motion::DroppedShot& s : dropped) {
        py::DictBuilder d;
        d.set("volume", py::to_py(s.volume));
        d.set("shot", py::to_py(s.shot));
        d.set("slices", sizes_to_py(s.slices));
        d.set("attenuation", py::to_py(static_cast<double>(s.attenuation)));
        py::check(PyList_Append(list.get(), py::Ref(d.release()).get()));
    }
    return list.release();
}

}  // namespace quorvel::bind
