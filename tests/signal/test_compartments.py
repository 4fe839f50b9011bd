import re
import threading
import time

import numpy as np
import pytest

import quorvel._core as core
from conftest import needs_no_asan, run_isolated, run_process


def make(dims=(2, 2, 3), ngrad=2, n=3):
    rng = np.random.default_rng(42)
    images = [rng.random(dims[0] * dims[1] * dims[2] * ngrad).astype(np.float32) for _ in range(n)]
    return core.Compartments.from_images(dims, ngrad, images, [80.0 + 10 * i for i in range(n)]), images


def assert_images(comp, expected):
    got = comp.images()
    assert len(got) == len(expected) and all(g.dtype == np.float32 for g in got)
    for g, e in zip(got, expected):
        np.testing.assert_array_equal(g, e)


def test_from_images_and_accessors():
    a, b = np.arange(12, dtype=np.float32), -np.arange(12, dtype=np.float32)
    c = core.Compartments.from_images((2, 2, 1), 3, (x for x in (a, b)), (80.0, 90.0))
    assert (c.n_compartments, c.t2, c.ngrad, c.dims) == (2, [80.0, 90.0], 3, (2, 2, 1))
    c.images()[0][:] = -1  # copies
    c.t2.append(1.0)
    assert_images(c, [a, b])
    assert c.t2 == [80.0, 90.0]
    with pytest.raises(AttributeError):
        c.ngrad = 4
    empty = core.Compartments.from_images((3, 3, 3), 4, [], [])
    assert empty.n_compartments == 0 and empty.images() == []
    assert empty.mixed().dtype == np.float32 and empty.mixed().size == 0


def test_mixed_sum_and_apply_s0_epsilon_rule():
    c, images = make(n=4)
    np.testing.assert_array_equal(c.mixed(), ((images[0] + images[1]) + images[2]) + images[3])  # float32, in order
    c.apply_s0((1.0, 2.0, 1 + 1e-7))  # 1 + 1e-7 is within float32 epsilon of 1
    assert_images(c, [images[0], images[1] * np.float32(2.0), images[2], images[3]])
    c.apply_s0((0.5, float("nan"), 1 + 3e-7))  # NaN scales nothing; a fourth image never
    assert_images(c, [images[0] * np.float32(0.5), images[1] * np.float32(2.0), images[2] * np.float32(1 + 3e-7), images[3]])
    one, (img,) = make(n=1)
    one.apply_s0((3.0, 3.0, 3.0))
    assert_images(one, [img * np.float32(3.0)])


def test_select_slices():
    c, images = make((2, 3, 3), 2)
    blocks = [img.reshape(3, 12) for img in images]
    s = c.select_slices([2, 0, 2])
    assert (s.dims, s.ngrad, s.t2) == ((2, 3, 3), 2, c.t2)
    assert_images(s, [b[[2, 0, 2]].ravel() for b in blocks])
    assert c.select_slices(np.array([1], dtype=np.uint32)).dims == (2, 3, 1)
    empty = c.select_slices([])
    assert empty.dims == (2, 3, 0) and all(i.size == 0 for i in empty.images())
    s.apply_s0((2.0, 2.0, 2.0))  # the selection is independent of its source
    assert_images(c, images)


def test_warp_gnl_warps_every_image_in_place():
    dims, ngrad = (5, 4, 3), 3
    c, images = make(dims, ngrad)
    affine = np.array([[8.0, 0, 0, -30.0], [0, 8.0, 0, -20.0], [0, 0, 8.0, 60.0], [0, 0, 0, 1]])
    field = core.GnlField.on_grid(core.GradCoef.from_spec("connectom-300"), dims, affine)
    c.warp_gnl(field, True)
    assert (c.dims, c.ngrad, c.t2) == (dims, ngrad, [80.0, 90.0, 100.0])
    assert_images(c, [field.warp_4d(img, ngrad, True) for img in images])
    assert not np.array_equal(c.images()[0], images[0])


@pytest.mark.parametrize("call, exc, message, name", [
    (lambda c: c.select_slices([0, 3, 7]), ValueError, "slice 3 out of range for 3 slices", None),
    (lambda c: c.select_slices("012"), TypeError, "Can't extract `str` to `Vec`", "slices"),
    (lambda c: c.select_slices([-1]), OverflowError, "", "slices"),
    (lambda c: c.warp_gnl(core.GnlField.on_grid(core.GradCoef.from_spec("whole-body-80"), (2, 2, 2), np.eye(4)), True),
     ValueError, "GNL field grid [2, 2, 2] != compartment grid [2, 2, 3]", None),
    (lambda c: c.apply_s0((1.0, 2.0)), TypeError, "expected tuple of length 3, but got tuple of length 2", "s0"),
    (lambda c: core.Compartments.from_images((2, 2, 1), 3, [np.zeros(12, np.float32), np.zeros(11, np.float32)], [80.0, 90.0]),
     ValueError, "compartment image: expected 12 values, got 11", None),
    (lambda c: core.Compartments.from_images((2, 2, 1), 3, [np.zeros(12, np.float32)] * 2, [80.0]),
     ValueError, "t2: expected 2 values, got 1", None),
    (lambda c: core.Compartments.from_images((2, 2, 1), 3, [np.zeros(24, np.float32)[::2]], [80.0]),
     ValueError, "The given array is not contiguous or is misaligned.", None),
    (lambda c: core.Compartments.from_images((2, 2, 1), 3, [], "80"), TypeError, "Can't extract `str` to `Vec`", "t2"),
    (lambda c: core.Compartments.from_images((2, 2, 1), 1, (1 / 0 for _ in [0]), [1.0]), ZeroDivisionError, "", None),
])
def test_refused_calls_leave_the_object_unchanged_and_usable(call, exc, message, name):
    c, images = make()
    with pytest.raises(exc, match=re.escape(message) if message else None) as e:
        call(c)
    assert name is None or f"while processing '{name}'" in e.value.__notes__
    assert_images(c, images)
    c.apply_s0((2.0, 1.0, 1.0))  # not poisoned


def test_members_wait_for_a_long_warp_without_blocking_the_interpreter():
    # The warp keeps the mutex with the interpreter lock released: a getter on another thread
    # waits for it rather than deadlocking, and this thread keeps running Python meanwhile.
    dims, ngrad = (48, 48, 24), 100
    c = core.Compartments.from_images(dims, ngrad, [np.ones(48 * 48 * 24 * ngrad, np.float32)] * 3, [1.0] * 3)
    field = core.GnlField.on_grid(core.GradCoef.from_spec("connectom-300"), dims, np.diag([2.0, 2.0, 2.0, 1.0]))
    started, seen, ticks = threading.Event(), [], 0
    warp = threading.Thread(target=lambda: (started.set(), c.warp_gnl(field, True)))
    getter = threading.Thread(target=lambda: (started.wait(), seen.extend((c.dims, c.ngrad) for _ in range(200))))
    for t in (warp, getter):
        t.start()
    while warp.is_alive():
        ticks += 1
        time.sleep(0.001)
    getter.join(timeout=60)
    assert not getter.is_alive() and seen == [(dims, ngrad)] * 200 and ticks > 5
    assert np.isfinite(c.images()[0]).all()


# A collection while a member builds its result runs a callback that uses the same object: had the
# member kept the mutex, the callback would wait for this thread forever. A full collection empties
# the free lists, so the member's objects are new allocations, and with zero or one more object
# before it, one of them starts the next collection.
COLLECTED_WHILE_BUILDING = """
import gc, numpy as np, quorvel._core as core
c = core.Compartments.from_images((2, 2, 2), 1, [np.ones(8, np.float32)] * 2, [80.0] * 2)
seen, armed, keep = [], False, []
class Pad: pass
gc.callbacks.append(lambda phase, info: armed and seen.append(c.dims))
gc.set_threshold(1)
for name, member in [("images", c.images), ("mixed", c.mixed), ("select_slices", lambda: c.select_slices([1])),
                     ("t2", lambda: c.t2), ("dims", lambda: c.dims)]:
    seen.clear()
    for pad in range(2):
        gc.collect()
        if pad: keep.append(Pad())
        armed = True
        keep.append(member())
        armed = False
    print(name, bool(seen))
"""


def test_members_build_no_python_object_while_locked():
    out = run_process(COLLECTED_WHILE_BUILDING, timeout=60)
    assert out.stdout.split() == [w for m in ("images", "mixed", "select_slices", "t2", "dims") for w in (m, "True")]


# ---- running out of memory ----

OUT_OF_MEMORY = """
import resource, numpy as np, quorvel._core as core

big = core.Compartments.from_images((100, 100, 25), 100, [np.ones(25_000_000, np.float32)], [80.0])
field = core.GnlField.on_grid(core.GradCoef.from_spec("connectom-300"), (100, 100, 25), np.eye(4))
# a reader copying the 100 MB image, a warp before it replaces the first image: 30 MB more address space
for name, call in (("reader", big.images), ("warp", lambda: big.warp_gnl(field, True))):
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    now = next(int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith("VmSize"))
    resource.setrlimit(resource.RLIMIT_AS, (now + (30 << 20), hard))
    try:
        call()
    except MemoryError as e:
        print(name, type(e).__name__, end=" ")
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    try:
        print(float(big.images()[0].sum()))
    except RuntimeError as e:
        print(e)
"""


@needs_no_asan
def test_running_out_of_memory_leaves_the_object_usable():
    # Every mutation prepares its result before it writes, so no failure reachable from Python
    # poisons the object; poisoning after a partial write is covered by the C++ lock tests.
    assert run_isolated(OUT_OF_MEMORY).splitlines() == ["reader MemoryError 25000000.0", "warp MemoryError 25000000.0"]
