// simulate_acquisition: the k-space stage run on a Compartments object.
#include <array>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "acquisition/acquire.hpp"
#include "acquisition_py.hpp"
#include "bindings.hpp"
#include "compartments_py.hpp"
#include "convert.hpp"
#include "params_codec.hpp"
#include "acquisition/phase.hpp"
#include "core/fork.hpp"
#include "core/raster.hpp"

namespace quorvel::bind {
namespace {

PyObject* to_callable(PyObject* o) {
    if (PyCallable_Check(o) == 0) py::raise(PyExc_TypeError, "'" + py::type_name(o) + "' object is not callable");
    return o;
}

// Runs the acquisition and relays its progress to the calling thread, so that no pool thread
// ever runs Python code: a callable that blocks (on a lock, on a thread it joins) then holds no
// pool thread that another caller's loop waits for. The loop runs on a driver thread that
// enters the pool as any caller does; the pool's per-volume hook only counts and wakes this
// thread, which calls progress(k, total) for k = 1, 2, ..., total in order, each once. The first
// exception a call raises is kept (later ones are dropped) and raised after the run. The run
// holds comp's mutex, so a callable must not wait for it, nor for the objects of the runs whose
// callables this run is made from (ServingCall).
class ProgressRelay {
public:
    ProgressRelay(PyObject* callable, PyObject* comp) : callable_(callable), comp_(comp) {}
    ProgressRelay(const ProgressRelay&) = delete;
    ProgressRelay& operator=(const ProgressRelay&) = delete;
    // Destroyed with the interpreter lock held.
    ~ProgressRelay() {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(tb_);
    }

    // The acquisition, with the interpreter lock released except for the progress calls; none in
    // a child forked by the callable.
    std::optional<kspace::AcquisitionOutput> run(const kspace::AcquisitionInput& in, const kspace::Acquisition& acq,
                                  kspace::AcquisitionOptions opt) {
        struct {
            std::mutex m;
            std::condition_variable cv;
            std::size_t finished = 0;
            bool over = false;
            std::optional<kspace::AcquisitionOutput> out;
            std::exception_ptr error;
        } shared;
        // Counts only: a pool thread never waits for Python here. Notified under the mutex, so no
        // hook touches `shared` once the caller has seen the run over.
        opt.progress = [&shared](std::size_t, std::size_t) {
            std::lock_guard lock(shared.m);
            ++shared.finished;
            shared.cv.notify_one();
        };
        auto drive = [&] {
            try {
                shared.out.emplace(kspace::simulate_acquisition_complex(in, acq, opt));
            } catch (...) {
                shared.error = std::current_exception();
            }
            std::lock_guard lock(shared.m);
            shared.over = true;
            shared.cv.notify_one();
        };
        std::thread driver;
        try {
            driver = std::thread(drive);
        } catch (const std::exception&) {
            drive();  // no thread to be had (resource limits): the run here, its counts after it
        }
        const std::uint64_t generation = fork::generation();
        for (std::size_t delivered = 0;;) {
            std::size_t ready = 0;
            bool over = false;
            {
                std::unique_lock lock(shared.m);
                shared.cv.wait(lock, [&] { return shared.finished > delivered || shared.over; });
                ready = shared.finished;
                over = shared.over;
            }
            // The interpreter may be shutting down: a thread it would end parks instead, its frame
            // and so everything the driver reads kept for good.
            while (delivered < ready) {
                ++delivered;
                py::take_lock_or_park([&] { call(delivered, in.ngrad); });
                // A callable that forked returns into the child as well, where the driver and
                // the pool's workers do not exist: the run goes on in the parent only.
                if (fork::generation() != generation && driver.joinable()) {
                    driver.detach();
                    return std::nullopt;
                }
            }
            if (over) break;
        }
        if (driver.joinable()) driver.join();
        if (shared.error) std::rethrow_exception(shared.error);
        return std::move(shared.out);
    }

    // Raises the stored exception, if any (interpreter lock held).
    void raise_stored() {
        if (type_ == nullptr) return;
        PyErr_Restore(type_, value_, tb_);
        type_ = value_ = tb_ = nullptr;
        throw py::ErrorAlreadySet{};
    }

private:
    // Raw references: a thread ended inside the callable must not release them without the lock.
    void call(std::size_t done, std::size_t total) {
        PyGILState_STATE state = PyGILState_Ensure();
        ServingCall serving(comp_);
        PyObject* args = Py_BuildValue("(nn)", static_cast<Py_ssize_t>(done), static_cast<Py_ssize_t>(total));
        PyObject* result = args != nullptr ? PyObject_CallObject(callable_, args) : nullptr;
        Py_XDECREF(args);
        if (result == nullptr) {
            PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
            PyErr_Fetch(&type, &value, &tb);
            if (type_ == nullptr) {
                std::swap(type_, type);
                std::swap(value_, value);
                std::swap(tb_, tb);
            }
            // Dropping a later exception may run finalisers: still inside `serving`.
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(tb);
        }
        Py_XDECREF(result);
        PyGILState_Release(state);
    }

    PyObject* callable_;  // borrowed: the argument outlives the call
    PyObject* comp_;      // borrowed, likewise
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* tb_ = nullptr;
};

py::Ref optional_array(std::optional<std::vector<float>>&& v) {
    if (!v) return py::Ref::borrow(Py_None);
    return py::check(py::to_numpy(std::move(*v)));
}

py::Ref capture_to_py(kspace::KspaceCapture&& cap) {
    py::Ref slices = py::check(PyList_New(0));
    for (std::size_t s : cap.slices) py::check(PyList_Append(slices.get(), py::to_py(s).get()));
    py::DictBuilder d;
    d.set("slices", std::move(slices))
        .set("nx", py::to_py(cap.nx))
        .set("ny", py::to_py(cap.ny))
        .set("n_coils", py::to_py(cap.n_coils))
        .set("mask", py::to_numpy(std::move(cap.mask)))
        .set("sensitivities", py::to_numpy(std::move(cap.sensitivities)))
        .set("combined", py::to_numpy(std::move(cap.combined)))
        .set("acquired", optional_array(std::move(cap.acquired)))
        .set("reconstructed", optional_array(std::move(cap.reconstructed)))
        .set("coil_images", optional_array(std::move(cap.coil_images)));
    return py::Ref(d.release());
}

}  // namespace

PyObject* simulate_acquisition(PyObject*, py::Args& a) {
    PyObject* comp = a.get("comp", compartments_arg);
    auto fmap = a.get("fmap", py::to_f32_1d);
    auto acq_dims = a.get("acq_dims", py::to_dims);
    auto bvals = a.get("bvals", py::to_f64_1d);
    auto bvecs = a.get("bvecs", py::to_f64_2d);
    PyObject* acq_dict = a.get("acquisition", py::to_dict);
    std::string model_name = a.given("phase_model") ? a.get("phase_model", py::to_str) : std::string("hbcd");
    std::uint64_t seed = a.given("seed") ? a.get("seed", py::to_u64) : 0;
    auto noise_sigma = a.opt("noise_sigma", py::to_f32_1d);
    auto te_per_volume = a.opt("te_per_volume", [](PyObject* o) { return py::to_list(o, py::to_f64, "te_per_volume"); });
    auto slice_z = a.opt("slice_z", [](PyObject* o) { return py::to_list(o, py::to_usize, "slice_z"); });
    auto nz_full = a.opt("nz_full", py::to_usize);
    auto kspace_slices = a.opt("kspace_slices", [](PyObject* o) { return py::to_list(o, py::to_usize, "kspace_slices"); });
    std::array<bool, 3> capture{};
    if (a.given("capture")) capture = a.get("capture", [](PyObject* o) { return py::to_array_tuple<3>(o, py::to_bool); });
    PyObject* progress = a.given("progress") ? a.get("progress", to_callable) : nullptr;

    const kspace::Acquisition acq = acquisition_from_dict(acq_dict);
    const scheme::GradientScheme scheme = scheme_from_arrays(bvals, bvecs);
    const std::optional<phase::PhaseModel> model = phase::model_by_name(model_name);
    if (!model)
        throw InvalidInput("phase_model: expected 'hbcd' or 'none', got " + py::debug_str(model_name));

    // Made before the guard so that it is destroyed after it: dropping a stored exception can run
    // finalisers, which must not find comp's mutex held by this thread.
    ProgressRelay relay(progress, comp);
    std::optional<CompartmentsGuard> guard;
    guard.emplace(comp, false);
    const compartments::Compartments& c = guard->value();
    const std::size_t nvol = c.ngrad;
    const auto [snx, sny, nz] = c.dims;
    const std::size_t nx = acq_dims[0], ny = acq_dims[1];
    if (scheme.bvals.size() != nvol)
        throw InvalidInput("bvals: expected " + std::to_string(nvol) + " values, got " +
                           std::to_string(scheme.bvals.size()));
    raster::inplane_factor(c.dims, acq_dims);
    std::vector<float> field = py::f32s(fmap);
    py::check_len("fieldmap (signal grid)", field.size(), snx * sny * nz);
    std::optional<std::vector<float>> sigma;
    if (noise_sigma) {
        sigma = py::f32s(*noise_sigma);
        py::check_len("noise_sigma (acquisition grid)", sigma->size(), nx * ny * nz);
    }
    if (te_per_volume) py::check_len("te_per_volume", te_per_volume->size(), nvol);
    if (slice_z) {
        py::check_len("slice_z", slice_z->size(), nz);
        if (!nz_full) throw InvalidInput("slice_z requires nz_full");
        for (std::size_t e : *slice_z)
            if (e >= *nz_full)
                throw InvalidInput("slice_z entry " + std::to_string(e) + " >= nz_full " + std::to_string(*nz_full));
    }
    if (kspace_slices)
        for (std::size_t e : *kspace_slices)
            if (e >= nz)
                throw InvalidInput("kspace_slices entry " + std::to_string(e) + " out of range for " +
                                   std::to_string(nz) + " slices");

    kspace::AcquisitionInput in;
    for (const auto& img : c.images) in.images.emplace_back(img);
    in.t2 = c.t2;
    in.fieldmap = field;
    in.bvals = scheme.bvals;
    in.bvecs = scheme.bvecs;
    in.phase_model = *model;
    in.sim_dims = c.dims;
    in.acq_dims = acq_dims;
    in.ngrad = nvol;
    in.seed = seed;
    if (sigma) in.noise_sigma = std::span<const float>(*sigma);

    kspace::AcquisitionOptions opt;
    opt.nz_full = nz_full;
    opt.slice_z = std::move(slice_z);
    opt.kspace_slices = std::move(kspace_slices);
    opt.te_per_volume = std::move(te_per_volume);
    opt.capture = capture;

    std::optional<kspace::AcquisitionOutput> acquired = py::without_gil([&] {
        return progress != nullptr ? relay.run(in, acq, std::move(opt))
                                   : std::optional(kspace::simulate_acquisition_complex(in, acq, opt));
    });
    guard.reset();
    if (!acquired)
        py::raise(PyExc_RuntimeError, "the progress callable forked the process: the acquisition goes on in the parent only");
    relay.raise_stored();
    kspace::AcquisitionOutput& out = *acquired;

    const std::size_t n = out.re.size();
    std::vector<float> mag(n), phase(n);
    for (std::size_t i = 0; i < n; ++i) {
        const float re = out.re[i], im = out.im[i];
        mag[i] = std::sqrt(re * re + im * im);
        phase[i] = std::atan2(im, re);
    }
    py::DictBuilder d;
    d.set("re", py::to_numpy(std::move(out.re)))
        .set("im", py::to_numpy(std::move(out.im)))
        .set("mag", py::to_numpy(std::move(mag)))
        .set("phase", py::to_numpy(std::move(phase)))
        .set("kspace", out.kspace ? capture_to_py(std::move(*out.kspace)) : py::Ref::borrow(Py_None));
    return d.release();
}

}  // namespace quorvel::bind
