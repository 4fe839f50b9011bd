import math
import re
import threading
import time

import numpy as np
import pytest

import quorvel._core as core
from conftest import run_process, thread_counts_agree

# An acquisition that leaves the object as it is: one uniform coil, no decay, no off-resonance.
IDENTITY = {"do_relaxation": False, "do_distortions": False, "signal_scale": 1.0}


def make_comp(images, dims, ngrad, t2=(80.0, 1500.0)):
    """A Compartments object from (nz, ny, nx, V) arrays (the interleaved layout flattened)."""
    flat = [np.ascontiguousarray(i, dtype=np.float32).ravel() for i in images]
    return core.Compartments.from_images(dims, ngrad, flat, list(t2[:len(images)]))


def rand_comp(rng, dims, ngrad, n=1, t2=(80.0, 1500.0)):
    """n random compartments on the grid `dims`."""
    return make_comp([rng.random(math.prod(dims) * ngrad) for _ in range(n)], dims, ngrad, t2)


def acquire(comp, acq_dims, acquisition, fmap=None, bvals=None, bvecs=None, phase_model="none", **kw):
    """The acquisition of `comp`, by default without field map, diffusion weighting or shot phase."""
    snx, sny, nz = comp.dims
    fmap = np.zeros(snx * sny * nz, np.float32) if fmap is None else fmap
    bvals = np.zeros(comp.ngrad) if bvals is None else bvals
    bvecs = np.zeros((comp.ngrad, 3)) if bvecs is None else bvecs
    return core.simulate_acquisition(comp, fmap, acq_dims, bvals, bvecs, acquisition, phase_model, **kw)


def pairs(flat):
    return flat[0::2].astype(np.float64) + 1j * flat[1::2]


# ---- physics ----


@pytest.mark.parametrize("o", [1, 2])
def test_uniform_image_is_one_centre_sample_that_reconstructs_to_ones(o):
    # On an oversampled grid as well: a constant has no mode but the centre one.
    nx, ny = 9, 8
    out = acquire(make_comp([np.ones((1, ny * o, nx * o, 1))], (nx * o, ny * o, 1), 1), (nx, ny, 1), IDENTITY,
                  kspace_slices=[0], capture=(True, False, False))
    want = np.zeros((ny, nx))
    want[ny // 2, nx // 2] = 1.0
    np.testing.assert_allclose(pairs(out["kspace"]["acquired"]).reshape(ny, nx), want, atol=1e-6)
    np.testing.assert_allclose(out["re"], 1.0, rtol=1e-6)


@pytest.mark.parametrize("reverse, direction", [(False, -1), (True, 1)])
def test_uniform_field_shifts_along_phase_encode(rng, reverse, direction):
    # An odd nx keeps every line's centre sample at the same place of the zig-zag: exact shift.
    nx, ny, t_line, shift = 15, 16, 1.0, 2
    img, acq = rng.random((1, ny, nx, 1)), {**IDENTITY, "do_distortions": True, "t_line": t_line, "reverse_phase": reverse}
    fmap = np.full(nx * ny, shift * 1000.0 / (ny * t_line), np.float32)  # f * (total readout time) = shift
    out = acquire(make_comp([img], (nx, ny, 1), 1), (nx, ny, 1), acq, fmap=fmap)
    np.testing.assert_allclose(out["mag"].reshape(img.shape), np.roll(img, direction * shift, axis=1), atol=1e-5)


def window_weight(kind, nx, ny):
    ky, kx = np.mgrid[0:ny, 0:nx]
    rho = 2 * np.sqrt(((kx - nx // 2) / nx) ** 2 + ((ky - ny // 2) / ny) ** 2)
    kind = ("tukey", 1.0) if kind == "hann" else kind  # the Hann window is the Tukey window with a = 1
    if kind[0] == "tukey":
        a = min(max(kind[1], 0.0), 1.0)
        taper = 0.5 * (1 + np.cos(np.pi * (rho - (1 - a)) / max(a, 1e-12)))
        return np.where(rho <= 1 - a, 1.0, np.where(rho >= 1, 0.0, taper))
    with np.errstate(over="ignore"):
        return 1 / (1 + np.exp((rho - kind[1]) / max(kind[2], 1e-12)))


@pytest.mark.parametrize("window", ["hann", ("tukey", 0.4), ("tukey", 2.0), ("fermi", 0.8, 0.05), ("fermi", 0.5, 0.0)])
def test_window_weights(rng, window):
    nx, ny = 16, 12
    cap = acquire(rand_comp(rng, (nx, ny, 1), 1), (nx, ny, 1), {**IDENTITY, "window": window}, kspace_slices=[0],
                  capture=(True, True, False))["kspace"]
    acq_k, rec_k = (pairs(cap[k]).reshape(ny, nx) for k in ("acquired", "reconstructed"))
    np.testing.assert_allclose(np.abs(rec_k), window_weight(window, nx, ny) * np.abs(acq_k), rtol=1e-6, atol=1e-7)


@pytest.mark.parametrize("n_coils", [0, 1, 3])
def test_sensitivities_coil_images_and_identity(rng, n_coils):
    nx, ny, nc = 10, 8, max(n_coils, 1)
    img = rng.random((1, ny, nx, 1))
    out = acquire(make_comp([img / 3], (nx, ny, 1), 1), (nx, ny, 1), {**IDENTITY, "n_coils": n_coils, "signal_scale": 3.0},
                  kspace_slices=[0], capture=(False, False, True))
    cap = out["kspace"]
    assert cap["n_coils"] == nc
    y, x = np.mgrid[0:ny, 0:nx]
    th, r = 2 * np.pi * np.arange(nc)[:, None, None] / nc, max(nx, ny)
    want = np.exp(-((x - nx / 2 - 0.6 * r * np.cos(th)) ** 2 + (y - ny / 2 - 0.6 * r * np.sin(th)) ** 2) /
                  (2 * (0.9 * r) ** 2)) + 0.15 if nc > 1 else np.ones((1, ny, nx))
    np.testing.assert_allclose(cap["sensitivities"].reshape(nc, ny, nx), want, rtol=1e-6)
    # On o = 1 each coil sees the object through the same map; the combination gives it back.
    np.testing.assert_allclose(np.abs(pairs(cap["coil_images"]).reshape(nc, ny, nx)), want * img[0, :, :, 0],
                               rtol=1e-5, atol=1e-6)
    # float32 results of a double-precision transform pair: a few float32 ulps
    np.testing.assert_allclose(out["re"] + 1j * out["im"], img.ravel(), rtol=1e-5, atol=1e-6)


def test_relaxation_and_echo_time_per_volume(rng):
    comp = rand_comp(rng, (8, 8, 1), 3, t2=[60.0])
    acq = {"do_distortions": False, "signal_scale": 1.0, "t_inhom": 1e12}
    a, b = (acquire(comp, (8, 8, 1), acq, te_per_volume=te)["mag"].reshape(-1, 3) for te in (None, [90.0, 60.0, 90.0]))
    np.testing.assert_array_equal(a[:, [0, 2]], b[:, [0, 2]])
    np.testing.assert_allclose(b[:, 1] / a[:, 1], np.exp(30.0 / 60.0), rtol=1e-4)


# ---- the driver ----


def test_slab_with_global_slice_indices_matches_the_full_volume(rng):
    nx, ny, nz, v = 8, 8, 4, 3
    comp = rand_comp(rng, (2 * nx, 2 * ny, nz), v, n=2)
    fmap = (20 * rng.standard_normal((nz, 4 * nx * ny))).astype(np.float32)
    sigma = np.full(nx * ny * nz, 0.1, np.float32)
    kw = dict(bvals=np.array([0.0, 1000.0, 2000.0]), bvecs=np.array([[0.0, 0, 0], [1, 0, 0], [0, 0.6, 0.8]]),
              seed=9, phase_model="hbcd")
    acq = {"n_coils": 2, "accel": 2, "acs_lines": 4, "noise_variance": 0.5, "ghost_offset": 0.02,
           "eddy_strength": 0.01, "eddy_phase": 0.001}
    full = acquire(comp, (nx, ny, nz), acq, fmap=fmap.ravel(), noise_sigma=sigma, **kw)
    slab = comp.select_slices([2])
    one = acquire(slab, (nx, ny, 1), acq, fmap=fmap[2], noise_sigma=sigma[:64], slice_z=[2], nz_full=nz, **kw)
    for key in ("re", "im"):
        np.testing.assert_array_equal(full[key].reshape(nz, -1)[2], one[key])
    # Without the global index the slice gets another phase and other random draws.
    assert not np.array_equal(acquire(slab, (nx, ny, 1), acq, fmap=fmap[2], **kw)["re"], one["re"])


def test_capture_order_repeats_and_flags(rng):
    nx, ny, nz, v = 6, 4, 4, 2
    comp = rand_comp(rng, (nx, ny, nz), v)
    out = acquire(comp, (nx, ny, nz), {"n_coils": 2}, kspace_slices=[3, 1, 3], capture=(True, False, True), seed=3)
    cap = out["kspace"]
    assert list(cap) == ["slices", "nx", "ny", "n_coils", "mask", "sensitivities", "combined", "acquired",
                         "reconstructed", "coil_images"]
    assert (cap["slices"], cap["nx"], cap["ny"], cap["n_coils"], cap["reconstructed"]) == ([3, 1, 3], nx, ny, 2, None)
    image = (out["re"] + 1j * out["im"]).reshape(nz, ny, nx, v)
    np.testing.assert_array_equal(pairs(cap["combined"]).reshape(v, 3, ny, nx), np.moveaxis(image[[3, 1, 3]], -1, 0))
    for key in ("acquired", "coil_images"):
        data = cap[key].reshape(v, 3, 2, ny, nx, 2)
        np.testing.assert_array_equal(data[:, 0], data[:, 2])  # a repeated entry repeats its slice
        assert not np.array_equal(data[:, 0], data[:, 1])
    np.testing.assert_array_equal(acquire(comp, (nx, ny, nz), {"n_coils": 2}, seed=3)["re"], out["re"])
    assert acquire(comp, (nx, ny, nz), {}, kspace_slices=[])["kspace"] is None
    plain = acquire(comp, (nx, ny, nz), {}, kspace_slices=[0])["kspace"]
    assert plain["acquired"] is None and plain["reconstructed"] is None and plain["coil_images"] is None


def test_result_dict_defaults_and_empty_inputs(rng):
    comp = rand_comp(rng, (4, 4, 2), 2)
    args = (comp, np.zeros(32, np.float32), (4, 4, 2), np.array([0.0, 1000.0]), np.array([[0.0, 0, 0], [1, 0, 0]]), {})
    a = core.simulate_acquisition(*args)
    b = core.simulate_acquisition(*args, "hbcd", 0, None, None, None, None, None, (False, False, False), None)
    assert list(a) == ["re", "im", "mag", "phase", "kspace"] and a["kspace"] is None
    for key in ("re", "im"):
        np.testing.assert_array_equal(a[key], b[key])
    np.testing.assert_array_equal(a["mag"], np.sqrt(a["re"] ** 2 + a["im"] ** 2))
    np.testing.assert_allclose(a["phase"], np.arctan2(a["im"], a["re"]), atol=2e-7)  # atan2f to an ulp
    assert np.abs(a["phase"]).max() > 0.1  # the default phase model is not zero
    empty = acquire(core.Compartments.from_images((4, 4, 1), 2, [], []), (4, 4, 1), {"n_spikes": 2})
    assert all(empty[k].dtype == np.float32 and empty[k].shape == (32,) and not empty[k].any()
               for k in ("re", "im", "mag", "phase"))
    calls = []  # no volumes: a capture with the slice's mask and sensitivities but no samples, no progress
    out = acquire(rand_comp(rng, (6, 4, 2), 0), (6, 4, 2), {"n_coils": 3, "accel": 2, "acs_lines": 0}, kspace_slices=[1],
                  capture=(True, True, False), progress=lambda d, t: calls.append(d))
    cap = out["kspace"]
    assert calls == [] and out["re"].size == 0 and cap["combined"].size == 0 and cap["acquired"].size == 0
    np.testing.assert_array_equal(cap["mask"], core.sampling_mask(6, 4, {"accel": 2, "acs_lines": 0}))
    assert cap["sensitivities"].shape == (72,) and cap["sensitivities"].min() >= 0.15 and cap["coil_images"] is None


# The run's results, a progress callable that uses its own object (it runs on the thread holding the
# mutex) and counts that once crashed (a fold distance wrapping to a negative
# row) or took minutes: the same output for any pool size.
IN_A_FRESH_PROCESS = """
import hashlib, numpy as np, quorvel._core as core
calls, rng, nz, v = [], np.random.default_rng(42), 3, 6
img = rng.random(256 * nz * v).astype(np.float32)
comp = core.Compartments.from_images((16, 16, nz), v, [img, 0.3 * img], [80.0, 1200.0])
fmap = (30 * rng.standard_normal(256 * nz)).astype(np.float32)
acq = dict(n_coils=3, accel=2, acs_lines=4, noise_variance=1.0, n_spikes=2, ghost_offset=0.02, eddy_strength=0.02)
out = core.simulate_acquisition(comp, fmap, (8, 8, nz), np.full(v, 1000.0), rng.standard_normal((v, 3)), acq, seed=11,
                                noise_sigma=np.full(64 * nz, 0.2, np.float32), kspace_slices=[2, 0],
                                capture=(True, True, True), progress=lambda d, t: calls.append(d))
assert calls == list(range(1, v + 1))
parts = [out["re"], out["im"]] + [out["kspace"][k] for k in ("combined", "acquired", "reconstructed", "coil_images")]
print("results", hashlib.sha256(b"".join(p.tobytes() for p in parts)).hexdigest())

comp, other = (core.Compartments.from_images((4, 4, 1), 6, [np.ones(96, np.float32)], [80.0]) for _ in range(2))
seen = []
def progress(done, total):
    seen.append(other.dims)  # another object stays usable
    seen.append(comp.ngrad)  # the run's own object cannot be waited for from here
try:
    core.simulate_acquisition(comp, np.zeros(16, np.float32), (4, 4, 1), np.zeros(6), np.zeros((6, 3)), {}, progress=progress)
except RuntimeError as e:
    print("re-entry", e)
print("re-entry", seen == [(4, 4, 1)] * 6, comp.ngrad)

n = 8
comp = core.Compartments.from_images((n, n, 1), 1, [rng.random(n * n).astype(np.float32)], [80.0])
def run(**acq):
    out = core.simulate_acquisition(comp, np.zeros(n * n, np.float32), (n, n, 1), np.zeros(1), np.zeros((1, 3)),
                                    {"n_coils": 2, "acs_lines": 2, **acq}, kspace_slices=[0],
                                    capture=(True, True, False))["kspace"]
    return out["mask"].reshape(n, n)[:, 0], *(out[k].reshape(2, n, n, 2) for k in ("acquired", "reconstructed"))
# From accel = ny on no pair of rows R apart fits: the centre and its band are sampled, nothing is filled.
base = run(accel=n)
print("huge accel", np.flatnonzero(base[0]), np.array_equal(base[1], base[2]),
      [all(np.array_equal(a, b) for a, b in zip(run(accel=r), base)) for r in (2**31, 2**63 - 1, 2**63, 2**64 - 1)])
# A calibration band wider than the matrix samples every line, so there is nothing to fill.
print("huge acs_lines", all(np.array_equal(a, b) for a, b in zip(run(accel=3, acs_lines=2**64 - 1), run(accel=1))))
# Spikes write one value; enough of them hit every sampled sample, however many are asked for.
for spikes in (2**40, 2**64 - 1):
    coils = run(n_spikes=spikes, spike_amplitude=2.0, accel=n)[1][:, base[0] == 1]
    print("huge n_spikes", all(np.all(c == c[0, 0]) and c[0, 0].any() for c in coils))
"""


def test_results_re_entry_and_huge_counts_in_a_fresh_process():
    lines = thread_counts_agree(IN_A_FRESH_PROCESS)
    assert lines[0].startswith("results ") and lines[1:] == [
        "re-entry Compartments object is in use by the call whose progress callable is running; use it after that "
        "call returns", "re-entry True 6", "huge accel [3 4 5] True [True, True, True, True]", "huge acs_lines True",
        "huge n_spikes True", "huge n_spikes True"]


# ---- progress ----


@pytest.mark.parametrize("raise_every_time", [False, True])
def test_progress_runs_under_the_lock_and_its_first_exception_is_raised_after_the_run(rng, raise_every_time):
    comp, calls, first = rand_comp(rng, (8, 8, 1), 6), [], threading.Event()
    reader = threading.Thread(target=lambda: (first.wait(), calls.append(comp.ngrad)))
    reader.start()

    def progress(done, total):  # runs on the calling thread, which holds the object's mutex
        if calls:
            time.sleep(0.05)  # time for the reader, were the object not locked
        calls.append((done, total))
        first.set()
        if raise_every_time or len(calls) == 1:
            raise KeyError(f"call {len(calls)}")
        return "ignored"

    with pytest.raises(KeyError, match="^'call 1'$"):  # the first exception wins
        acquire(comp, (8, 8, 1), {}, progress=progress)
    reader.join(timeout=60)
    # The run was not interrupted, and the object is unlocked again.
    assert calls[:6] == [(d, 6) for d in range(1, 7)] and calls[6:] == [6]


def test_progress_is_called_on_the_calling_thread_in_order(rng):
    comp = rand_comp(rng, (8, 8, 2), 12, n=2)
    plain, calls = acquire(comp, (4, 4, 2), {"n_coils": 2}, seed=3), []

    def caller():
        calls.append(acquire(comp, (4, 4, 2), {"n_coils": 2}, seed=3,
                             progress=lambda d, t: calls.append((threading.get_ident(), d, t))))

    thread = threading.Thread(target=caller)
    thread.start()
    thread.join()
    out = calls.pop()
    assert calls == [(thread.ident, d, 12) for d in range(1, 13)]
    for k in ("re", "im"):
        np.testing.assert_array_equal(out[k], plain[k])


# A progress callable that blocks holds no pool thread: not one waiting for a lock that another
# caller holds around its own pool loop, nor one joining a thread whose call needs the pool.
BLOCKING_PROGRESS = """
import threading, numpy as np, quorvel._core as core
assert core.set_threads({threads})
rng, nvox = np.random.default_rng(0), 8 * 8 * 4
mix = core.mixture_from_fibers((8, 8, 4), rng.integers(0, nvox, 200).astype(np.uint32), rng.normal(size=(200, 3)),
                               rng.random(200), *(np.full(nvox, 0.3, np.float32) for _ in range(3)),
                               np.ones(nvox, np.float32), {{}}, sphere_level=2)
signal = lambda: core.signal_from_mixture(mix, np.full(8, 1000.0), rng.normal(size=(8, 3)))
comp = core.Compartments.from_images((8, 8, 1), 16, [np.ones(64 * 16, np.float32)], [80.0])
lock, stop = threading.Lock(), threading.Event()
def other_caller():
    while not stop.is_set():
        with lock:
            signal()
def take_the_lock(done, total):
    with lock:
        pass
def join_a_caller(done, total):
    t = threading.Thread(target=signal)
    t.start()
    t.join()
if "{kind}" == "lock":
    threading.Thread(target=other_caller).start()
for _ in range(5):
    core.simulate_acquisition(comp, np.zeros(64, np.float32), (8, 8, 1), np.zeros(16), np.zeros((16, 3)), {{}},
                              progress=take_the_lock if "{kind}" == "lock" else join_a_caller)
stop.set()
"""


@pytest.mark.parametrize("threads", [2, 4])
@pytest.mark.parametrize("kind", ["lock", "join"])
def test_a_blocking_progress_callable_starves_no_other_caller(threads, kind):
    out = run_process(BLOCKING_PROGRESS.format(threads=threads, kind=kind), timeout=60)  # hung for good once
    assert out.returncode == 0, out.stderr


# Without a thread to run the loop on, the run takes the calling thread and the counts follow it.
NO_DRIVER_THREAD = """
import ctypes, threading, numpy as np, quorvel._core as core
comp = core.Compartments.from_images((8, 8, 1), 6, [np.linspace(0, 1, 384, dtype=np.float32)], [80.0])
run = lambda **kw: core.simulate_acquisition(comp, np.zeros(64, np.float32), (8, 8, 1), np.full(6, 1000.0),
                                             np.ones((6, 3)), {"n_coils": 2}, **kw)
plain = run()  # the pool's threads exist from here on
libc = ctypes.CDLL(None)
attr = ctypes.create_string_buffer(256)  # no stack of 128 TiB fits: every new thread fails
assert libc.pthread_attr_init(attr) == 0 and libc.pthread_attr_setstacksize(attr, ctypes.c_size_t(1 << 47)) == 0
assert libc.pthread_setattr_default_np(attr) == 0
try:
    threading.Thread(target=print).start()
except RuntimeError as e:
    print(e)
calls = []
out = run(progress=lambda d, t: calls.append((threading.get_ident(), d, t)))
print(calls == [(threading.get_ident(), d, 6) for d in range(1, 7)], all(np.array_equal(out[k], plain[k]) for k in ("re", "im")))
"""


def test_progress_without_a_thread_to_spare():
    out = run_process(NO_DRIVER_THREAD, timeout=60)
    assert out.returncode == 0 and out.stdout.splitlines() == ["can't start new thread", "True True"], out.stderr


EXIT_IN_FLIGHT = """
import threading, numpy as np, quorvel._core as core
assert core.set_threads({threads})
n, v = 16, 32
comp, other = (core.Compartments.from_images((n, n, 2), v, [np.ones(n * n * 2 * v, np.float32)], [80.0]) for _ in "ab")
field = core.GnlField.on_grid(core.GradCoef.from_spec("whole-body-80"), (n, n, 2), np.eye(4))
busy = threading.Barrier(5)
def acquire():
    for i in range(10**6):
        core.simulate_acquisition(comp, np.zeros(n * n * 2, np.float32), (n, n, 2), np.zeros(v), np.zeros((v, 3)),
                                  {{"n_coils": 2}}, progress=lambda d, t: i or d > 1 or busy.wait())
def warp():
    busy.wait()
    for _ in range(10**6):
        other.warp_gnl(field, True)
def wait_for_the_lock():  # waits for comp's mutex with the interpreter lock released
    busy.wait()
    for _ in range(10**6):
        comp.ngrad
def endless():  # Python code that a call runs: the thread is ended inside it
    busy.wait()
    while True:
        sum(range(100))
    yield
for target in (acquire, warp, wait_for_the_lock, lambda: core.Compartments.from_images((1, 1, 1), 1, endless(), [])):
    threading.Thread(target=target, daemon=True).start()
busy.wait()
"""


@pytest.mark.parametrize("threads", [1, 3])
def test_exit_with_calls_in_flight_on_daemon_threads_is_clean(threads):
    # CPython ends such threads when they ask for the interpreter lock again; that once aborted.
    for _ in range(3):
        out = run_process(EXIT_IN_FLIGHT.format(threads=threads), timeout=60)
        assert out.returncode == 0 and "terminate" not in out.stderr and "FATAL" not in out.stderr, out.stderr


# ---- argument checks ----


def f32(n):
    return np.zeros(n, np.float32)


def at(n, i, value):
    a = f32(n)
    a[i] = value
    return a


def good_args():
    return dict(comp=make_comp([f32(384)], (8, 8, 2), 3), fmap=f32(128), acq_dims=(4, 4, 2), bvals=np.zeros(3),
                bvecs=np.zeros((3, 3)), acquisition={})


GRID = "signal grid {} must be an integer multiple of the acquisition grid {} in-plane"
V2 = {"bvals": np.zeros(2), "bvecs": np.zeros((2, 3))}
V80 = {"bvals": np.zeros(80), "bvecs": np.zeros((80, 3))}


@pytest.mark.parametrize("change, message", [
    ({"acquisition": {"t_lines": 1}, "phase_model": "x"}, 'acquisition: unknown field "t_lines"'),
    ({"bvecs": np.zeros((2, 3)), "phase_model": "x"}, "bvecs: expected 3 values, got 2"),
    ({"phase_model": "HBCD", **V2}, "phase_model: expected 'hbcd' or 'none', got \"HBCD\""),
    ({"acq_dims": (4, 4, 3), **V2}, "bvals: expected 3 values, got 2"),
    ({"acq_dims": (3, 4, 3), "fmap": f32(1)}, "slice count differs: signal grid [8, 8, 2] vs acquisition grid [3, 4, 3]"),
    *(({"acq_dims": d}, GRID.format("[8, 8, 2]", list(d))) for d in [(3, 4, 2), (4, 8, 2), (0, 4, 2)]),
    # An empty signal grid gives no oversampling factor.
    ({"comp": core.Compartments.from_images((0, 0, 2), 3, [f32(0)], [80.0]), "fmap": f32(0)},
     GRID.format("[0, 0, 2]", "[4, 4, 2]")),
    ({"fmap": f32(5), "noise_sigma": f32(1)}, "fieldmap (signal grid): expected 128 values, got 5"),
    ({"noise_sigma": f32(5), "te_per_volume": [1.0]}, "noise_sigma (acquisition grid): expected 32 values, got 5"),
    ({"te_per_volume": [1.0], "slice_z": [0]}, "te_per_volume: expected 3 values, got 1"),
    ({"slice_z": [0], "kspace_slices": [5]}, "slice_z: expected 2 values, got 1"),
    ({"slice_z": [0, 1], "kspace_slices": [5]}, "slice_z requires nz_full"),
    ({"slice_z": [0, 4], "nz_full": 4, "kspace_slices": [5]}, "slice_z entry 4 >= nz_full 4"),
    ({"kspace_slices": [1, 2, 3], "fmap": at(128, 0, np.nan)}, "kspace_slices entry 2 out of range for 2 slices"),
    # Sizes whose product would wrap around are refused before anything is allocated.
    ({"acquisition": {"n_coils": 2**62}}, "n_coils 4611686018427387904 is too large for a 4 x 4 matrix"),
    ({"acquisition": {"n_coils": 2**40}, "kspace_slices": [0] * 2**16}, "kspace_slices: capture of 65536 slices is too large"),
    # Coil counts whose work could not finish, or whose slices no memory could hold.
    ({"acquisition": {"n_coils": 257, "accel": 2}}, "n_coils 257: GRAPPA reconstructs at most 256 coils"),
    ({"acquisition": {"n_coils": 2**40}, "fmap": at(128, 0, np.nan)},
     "n_coils 1099511627776: slices of that many coils on a 4 x 4 matrix do not fit in memory"),
    # Non-finite values, whose Fourier transforms would blank their slices: the field map first, then the
    # images in order; with a progress callable the run's thread reports them too.
    ({"fmap": at(128, 5 + 8 * (3 + 8 * 1), np.nan), "comp": make_comp([at(384, 0, np.inf)], (8, 8, 2), 3)},
     "fieldmap (signal grid) must be finite: nan at voxel [5, 3, 1]"),
    ({"comp": core.Compartments.from_images((8, 8, 2), 3, [f32(384), at(384, 3 * (2 + 8 * (7 + 8 * 1)) + 2, -np.inf),
                                                           at(384, 0, np.nan)], [80.0] * 3), "progress": print},
     "compartment image 1 must be finite: -inf at voxel [2, 7, 1] of volume 2"),
    # The first bad value beside the next one, and the last value: 10240 values scanned in steps of 4096.
    ({"comp": make_comp([at(10240, 4095, np.nan) + at(10240, 4096, np.inf)], (8, 8, 2), 80), **V80},
     "compartment image 0 must be finite: nan at voxel [3, 6, 0] of volume 15"),
    ({"comp": make_comp([at(10240, 10239, -np.inf)], (8, 8, 2), 80), **V80},
     "compartment image 0 must be finite: -inf at voxel [7, 7, 1] of volume 79"),
])
def test_value_errors_in_order(change, message):
    args = good_args() | change
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        core.simulate_acquisition(**args)
    assert args["comp"].ngrad in (3, 80)  # unlocked again


@pytest.mark.parametrize("change, exc, name", [
    ({"fmap": np.zeros(128), "comp": 1}, TypeError, "comp"),  # all arguments are converted first, in order
    ({"acquisition": [], "seed": -1}, TypeError, "acquisition"),
    ({"seed": -1}, OverflowError, "seed"),
    ({"capture": (1, 0, 0)}, TypeError, "capture"),
    ({"progress": 3}, TypeError, "progress"),
])
def test_type_errors_name_the_argument(change, exc, name):
    with pytest.raises(exc) as info:
        core.simulate_acquisition(**(good_args() | change))
    assert f"while processing '{name}'" in getattr(info.value, "__notes__", [])
