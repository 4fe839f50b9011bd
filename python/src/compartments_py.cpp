// The class Compartments: a mutable value behind a mutex that every member takes.
#include "compartments_py.hpp"

#include <algorithm>
#include <limits>
#include <memory>
#include <utility>

#include "bindings.hpp"
#include "convert.hpp"
#include "gnl_py.hpp"
#include "core/sizes.hpp"

namespace quorvel::bind {
namespace {

using compartments::Compartments;
using compartments::Locked;
// The mutex cannot move, so the instance holds it behind a pointer.
using Holder = std::unique_ptr<Locked>;

PyTypeObject* g_type = nullptr;

// Initial-exec: a thread-local of a loaded module is otherwise allocated on a thread's first
// use, and glibc aborts the process when that allocation fails.
[[gnu::tls_model("initial-exec")]] thread_local const ServingCall* t_serving = nullptr;

PyObject* from_images(PyObject*, py::Args& a) {
    auto dims = a.get("dims", py::to_dims);
    std::size_t ngrad = a.get("ngrad", py::to_usize);
    auto t2 = a.get("t2", [](PyObject* o) { return py::to_list(o, py::to_f32, "t2"); });
    const std::optional<std::size_t> expected = checked_product({dims[0], dims[1], dims[2], ngrad});
    if (!expected)
        throw InvalidInput("compartment image: " + py::debug_list(dims) + " voxels x " + std::to_string(ngrad) +
                           " volumes is too large");
    std::vector<compartments::Image> images;
    // Each image costs its values and its vector (an endless run of empty images fills memory too).
    constexpr std::size_t kVector = sizeof(compartments::Image), kMax = std::numeric_limits<std::size_t>::max();
    const std::size_t image_bytes =
        std::min(checked_product({*expected, sizeof(float)}).value_or(kMax), kMax - kVector) + kVector;
    a.get("images", [&](PyObject* o) {
        py::for_each_item(o, "images", image_bytes, [&](PyObject* item) {
            auto values = py::f32s(py::to_f32_1d(item));
            py::check_len("compartment image", values.size(), *expected);
            images.emplace_back(values.begin(), values.end());
        });
        return 0;
    });
    py::check_len("t2", t2.size(), images.size());
    return wrap_compartments({std::move(images), std::move(t2), dims, ngrad});
}

// f(value) under the mutex, for what it copies out. Python objects are built from the copy only
// after the mutex is let go: building them can run a collection, and a finaliser that uses this
// object would wait for the mutex this thread holds.
template <class F>
auto read_value(PyObject* self, F f) {
    CompartmentsGuard g(self, false);
    return f(std::as_const(g.value()));
}

PyObject* get_images(PyObject* self, py::Args&) {
    auto images = read_value(self, [](const Compartments& c) {
        std::vector<std::vector<float>> out;
        for (const auto& img : c.images) out.emplace_back(img.begin(), img.end());
        return out;
    });
    py::Ref list = py::check(PyList_New(0));
    for (auto& img : images) py::check(PyList_Append(list.get(), py::Ref(py::to_numpy(std::move(img))).get()));
    return list.release();
}

PyObject* mixed(PyObject* self, py::Args&) {
    return py::to_numpy(read_value(self, [](const Compartments& c) { return c.mixed(); }));
}

PyObject* apply_s0(PyObject* self, py::Args& a) {
    auto s0 = a.get("s0", [](PyObject* o) { return py::to_array_tuple<3>(o, py::to_f32); });
    CompartmentsGuard g(self, true);
    g.write().apply_s0(s0);
    Py_RETURN_NONE;
}

PyObject* select_slices(PyObject* self, py::Args& a) {
    auto slices = a.get("slices", [](PyObject* o) { return py::to_list(o, py::to_usize, "slices"); });
    return wrap_compartments(read_value(self, [&](const Compartments& c) {
        for (std::size_t s : slices)
            if (s >= c.dims[2])
                throw InvalidInput("slice " + std::to_string(s) + " out of range for " + std::to_string(c.dims[2]) +
                                   " slices");
        // A slice may be listed any number of times, and each copy is a whole slice of every image.
        check_fits_memory("slices", slices.size(), {c.dims[0], c.dims[1], c.ngrad, sizeof(float), c.images.size()},
                          "slices");
        return c.select_slices(slices);
    }));
}

PyObject* warp_gnl(PyObject* self, py::Args& a) {
    auto field = a.get("field", gnlfield_arg);
    bool modulate = a.get("modulate", py::to_bool);
    CompartmentsGuard g(self, true);
    const Compartments& c = g.value();
    if (field->dims != c.dims)
        throw InvalidInput("GNL field grid " + py::debug_list(field->dims) + " != compartment grid " +
                           py::debug_list(c.dims));
    py::without_gil([&] {
        // Each image is replaced only once its warp exists: a warp that fails on the first
        // image (out of memory) leaves the object as it was.
        for (std::size_t i = 0; i < c.images.size(); ++i) {
            std::vector<float> warped = field->warp_4d(c.images[i], c.ngrad, modulate);
            std::copy(warped.begin(), warped.end(), g.write().images[i].begin());
        }
    });
    Py_RETURN_NONE;
}

PyObject* get_t2(PyObject* self) {
    const std::vector<float> t2 = read_value(self, [](const Compartments& c) { return c.t2; });
    py::Ref list = py::check(PyList_New(0));
    for (float t : t2) py::check(PyList_Append(list.get(), py::to_py(static_cast<double>(t)).get()));
    return list.release();
}

PyObject* get_dims(PyObject* self) {
    return py::dims_to_py(read_value(self, [](const Compartments& c) { return c.dims; })).release();
}

PyObject* get_ngrad(PyObject* self) {
    return py::to_py(read_value(self, [](const Compartments& c) { return c.ngrad; })).release();
}

PyObject* get_n_compartments(PyObject* self) {
    return py::to_py(read_value(self, [](const Compartments& c) { return c.images.size(); })).release();
}

}  // namespace

ServingCall::ServingCall(PyObject* obj) : obj_(obj), outer_(t_serving) { t_serving = this; }

ServingCall::~ServingCall() { t_serving = outer_; }

bool ServingCall::serving(PyObject* obj) {
    for (const ServingCall* s = t_serving; s != nullptr; s = s->outer_)
        if (s->obj_ == obj) return true;
    return false;
}

CompartmentsGuard::CompartmentsGuard(PyObject* obj, bool mutating) {
    QV_ASSERT(g_type != nullptr, "Compartments type registered before use");
    Locked& locked = *py::instance_arg<Holder>(obj, g_type, "Compartments");
    if (ServingCall::serving(obj))
        py::raise(PyExc_RuntimeError,
                  "Compartments object is in use by the call whose progress callable is running; "
                  "use it after that call returns");
    try {
        // Blocking with the interpreter lock held could deadlock against a holder that is
        // waiting for the interpreter lock before it lets go of the mutex.
        guard_.emplace(locked, mutating, [](auto&& lock) {
            py::WithoutGil released;
            lock();
        });
    } catch (const compartments::Unusable& e) {
        py::raise(PyExc_RuntimeError, e.what());
    }
}

PyObject* compartments_arg(PyObject* o) {
    QV_ASSERT(g_type != nullptr, "Compartments type registered before use");
    py::instance_arg<Holder>(o, g_type, "Compartments");
    return o;
}

PyObject* wrap_compartments(compartments::Compartments value) {
    QV_ASSERT(g_type != nullptr, "Compartments type registered before use");
    return py::new_instance<Holder>(g_type, std::make_unique<Locked>(std::move(value)));
}

PyTypeObject* make_compartments_type() {
    using py::def;
    g_type = py::make_class<Holder>(
        "quorvel._core.Compartments",
        "Per-compartment clean signal images (fiber, GM, CSF), 4-D interleaved, plus their T2s.\n"
        "Mutated in place by the stages that follow the signal stage (they are large).",
        {
            def<from_images>("from_images",
                             "from_images(dims, ngrad, images, t2)\n--\n\n"
                             "Build from explicit images: `images` is a list of flat 4-D interleaved arrays (one per\n"
                             "compartment, each `nvox*ngrad`), `t2` one T2 (ms) per compartment.",
                             METH_STATIC),
            def<get_images>("images",
                        "images($self)\n--\n\n"
                        "Copies of the compartment images, each flat `nvox*ngrad` interleaved."),
            def<mixed>("mixed",
                       "mixed($self)\n--\n\n"
                       "The compartment sum (S/S0 without T2), flat `nvox*ngrad`."),
            def<apply_s0>("apply_s0",
                          "apply_s0($self, s0)\n--\n\n"
                          "Multiply each compartment image (every volume) by its S0 factor, in place: `s0` is\n"
                          "`(fiber, gm, csf)`, the relative signal of each tissue at b = 0 (1 leaves it unchanged)."),
            def<select_slices>("select_slices",
                               "select_slices($self, slices)\n--\n\n"
                               "A new `Compartments` holding only the given local slices, in that order."),
            def<warp_gnl>("warp_gnl",
                          "warp_gnl($self, field, modulate)\n--\n\n"
                          "Move every compartment image through the gradient non-linearity, in place: each voxel takes\n"
                          "the value from where the field maps it from (`field.src_vox()`). `field` must be built on\n"
                          "this object's grid; `modulate` multiplies by the intensity factor 1/|det J|. Pass the same\n"
                          "field to `signal_from_mixture(..., gnl=field)` for the b-matrix part."),
            def<compartments_apply_multiband_motion>("apply_multiband_motion", kApplyMultibandMotionDoc),
        },
        {
            py::prop<get_t2>("t2", "One T2 (ms) per compartment, as a new list."),
            py::prop<get_dims>("dims", "Grid dimensions `(nx, ny, nz)` of the images."),
            py::prop<get_ngrad>("ngrad", "Number of volumes in every image."),
            py::prop<get_n_compartments>("n_compartments", "Number of compartment images."),
        });
    if (g_type == nullptr) throw py::ErrorAlreadySet{};
    return g_type;
}

}  // namespace quorvel::bind
