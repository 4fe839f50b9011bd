import re
import threading
import time

import numpy as np
import pytest

import quorvel._core as core


def make(dims=(2, 2, 3), ngrad=2, n=3, seed=42):
    rng = np.random.default_rng(seed)
    nvals = dims[0] * dims[1] * dims[2] * ngrad
    images = [rng.random(nvals).astype(np.float32) for _ in range(n)]
    t2 = [80.0 + 10 * i for i in range(n)]
    return core.Compartments.from_images(dims, ngrad, images, t2), images


def test_from_images_example():
    a = np.arange(12, dtype=np.float32)
    b = -np.arange(12, dtype=np.float32)
    c = core.Compartments.from_images((2, 2, 1), 3, [a, b], [80.0, 90.0])
    assert c.n_compartments == 2 and c.t2 == [80.0, 90.0] and c.ngrad == 3 and c.dims == (2, 2, 1)
    imgs = c.images()
    assert len(imgs) == 2 and all(i.dtype == np.float32 for i in imgs)
    np.testing.assert_array_equal(imgs[0], a)
    np.testing.assert_array_equal(imgs[1], b)


def test_from_images_accepts_any_iterable_and_no_images():
    c = core.Compartments.from_images((1, 1, 2), 1, (np.full(2, v, np.float32) for v in (1.0, 2.0)), (5.0, 6.0))
    assert c.n_compartments == 2 and c.t2 == [5.0, 6.0]
    empty = core.Compartments.from_images((3, 3, 3), 4, [], [])
    assert empty.n_compartments == 0 and empty.images() == []
    mixed = empty.mixed()
    assert mixed.dtype == np.float32 and mixed.size == 0


@pytest.mark.parametrize(
    "images, t2, message",
    [
        ([np.zeros(12, np.float32), np.zeros(11, np.float32)], [80.0, 90.0], "compartment image: expected 12 values, got 11"),
        ([np.zeros(12, np.float32)] * 2, [80.0], "t2: expected 2 values, got 1"),
        ([np.zeros(24, np.float32)[::2]], [80.0], "The given array is not contiguous or is misaligned."),
    ],
)
def test_from_images_value_errors(images, t2, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        core.Compartments.from_images((2, 2, 1), 3, images, t2)


def test_from_images_type_errors():
    with pytest.raises(TypeError, match=re.escape("Can't extract `str` to `Vec`")) as e:
        core.Compartments.from_images((2, 2, 1), 3, [], "80")
    assert "while processing 't2'" in e.value.__notes__
    with pytest.raises(TypeError) as e:
        core.Compartments.from_images((2, 2, 1), 3, [np.zeros(12)], [1.0])
    assert "while processing 'images'" in e.value.__notes__
    with pytest.raises(TypeError, match=re.escape("'list' object is not an instance of 'tuple'")):
        core.Compartments.from_images([2, 2, 1], 3, [], [])
    with pytest.raises(OverflowError):
        core.Compartments.from_images((2, 2, 1), -1, [], [])
    with pytest.raises(TypeError):
        core.Compartments()


def test_from_images_iteration_error_propagates():
    def gen():
        yield np.zeros(4, np.float32)
        raise KeyError("boom")

    with pytest.raises(KeyError, match="boom"):
        core.Compartments.from_images((2, 2, 1), 1, gen(), [1.0, 2.0])


def test_accessors_return_copies():
    c, images = make()
    out = c.images()
    out[0][:] = -1
    np.testing.assert_array_equal(c.images()[0], images[0])
    t2 = c.t2
    t2.append(1.0)
    assert c.t2 == [80.0, 90.0, 100.0]


def test_mixed_is_float32_sum_in_image_order():
    c, images = make(n=4)
    expect = np.zeros_like(images[0])
    for img in images:
        expect = expect + img  # float32 arithmetic, image order
    np.testing.assert_array_equal(c.mixed(), expect)


def test_apply_s0_epsilon_rule():
    c, images = make(n=4)
    c.apply_s0((1.0, 2.0, 1 + 1e-7))
    out = c.images()
    np.testing.assert_array_equal(out[0], images[0])
    np.testing.assert_array_equal(out[1], images[1] * np.float32(2.0))
    np.testing.assert_array_equal(out[2], images[2])
    np.testing.assert_array_equal(out[3], images[3])
    c.apply_s0((0.5, float("nan"), 1 + 3e-7))
    out = c.images()
    np.testing.assert_array_equal(out[0], images[0] * np.float32(0.5))
    np.testing.assert_array_equal(out[1], images[1] * np.float32(2.0))
    np.testing.assert_array_equal(out[2], images[2] * np.float32(1 + 3e-7))
    np.testing.assert_array_equal(out[3], images[3])  # a fourth image is never scaled


def test_apply_s0_with_fewer_images_and_bad_types():
    c, images = make(n=1)
    c.apply_s0((3.0, 3.0, 3.0))
    np.testing.assert_array_equal(c.images()[0], images[0] * np.float32(3.0))
    with pytest.raises(TypeError, match=re.escape("expected tuple of length 3, but got tuple of length 2")) as e:
        c.apply_s0((1.0, 2.0))
    assert "while processing 's0'" in e.value.__notes__
    with pytest.raises(TypeError):
        c.apply_s0([1.0, 2.0, 3.0])


def test_select_slices():
    dims, ngrad = (2, 3, 3), 2
    c, images = make(dims, ngrad)
    s = c.select_slices([2, 0, 2])
    assert s.dims == (2, 3, 3) and s.ngrad == 2 and s.t2 == c.t2
    block = 2 * 3 * ngrad
    for src, out in zip(images, s.images()):
        blocks = src.reshape(3, block)
        np.testing.assert_array_equal(out.reshape(3, block), blocks[[2, 0, 2]])
    one = c.select_slices(np.array([1], dtype=np.uint32))
    assert one.dims == (2, 3, 1)
    np.testing.assert_array_equal(one.images()[1], images[1][block : 2 * block])
    empty = c.select_slices([])
    assert empty.dims == (2, 3, 0) and all(i.size == 0 for i in empty.images())
    # the source is unchanged and independent of the selection
    s.apply_s0((2.0, 2.0, 2.0))
    np.testing.assert_array_equal(c.images()[0], images[0])


def test_select_slices_errors():
    c, _ = make((2, 2, 3))
    with pytest.raises(ValueError, match=re.escape("slice 3 out of range for 3 slices")):
        c.select_slices([0, 3, 7])
    with pytest.raises(TypeError, match=re.escape("Can't extract `str` to `Vec`")):
        c.select_slices("012")
    with pytest.raises(OverflowError) as e:
        c.select_slices([-1])
    assert "while processing 'slices'" in e.value.__notes__
    assert c.dims == (2, 2, 3)  # still usable after refused calls


def gnl_field(dims, scale=1.0, voxel=8.0):
    affine = np.diag([voxel, voxel, voxel, 1.0])
    affine[:3, 3] = (-30.0, -20.0, 60.0)
    return core.GnlField.on_grid(core.GradCoef.from_spec("connectom-300").scaled(scale), dims, affine)


@pytest.mark.parametrize("modulate", [False, True])
def test_warp_gnl_warps_every_image_in_place(modulate):
    dims, ngrad = (5, 4, 3), 3
    c, images = make(dims, ngrad)
    field = gnl_field(dims)
    c.warp_gnl(field, modulate)
    out = c.images()
    assert c.dims == dims and c.ngrad == ngrad and c.t2 == [80.0, 90.0, 100.0]
    for src, got in zip(images, out):
        np.testing.assert_array_equal(got, field.warp_4d(src, ngrad, modulate))
        assert not np.array_equal(got, src)


def test_warp_gnl_grid_mismatch_leaves_images():
    c, images = make((4, 4, 3), 2)
    field = core.GnlField.on_grid(core.GradCoef.from_spec("whole-body-80"), (4, 4, 2), np.eye(4))
    with pytest.raises(ValueError, match=re.escape("GNL field grid [4, 4, 2] != compartment grid [4, 4, 3]")):
        c.warp_gnl(field, True)
    for src, got in zip(images, c.images()):
        np.testing.assert_array_equal(got, src)
    c.apply_s0((2.0, 1.0, 1.0))  # not poisoned by the refusal
    with pytest.raises(TypeError, match="'GradCoef' object is not an instance of 'GnlField'") as e:
        c.warp_gnl(core.GradCoef.from_spec("whole-body-80"), True)
    assert "while processing 'field'" in e.value.__notes__


def test_members_wait_for_a_long_warp_without_blocking_the_interpreter():
    # A warp of ~1.5e7 values per image keeps the mutex for a while with the interpreter lock
    # released; a getter on another thread must wait for it (not deadlock), and unrelated Python
    # code must keep running meanwhile.
    dims, ngrad = (48, 48, 24), 100
    rng = np.random.default_rng(42)
    nvals = 48 * 48 * 24 * ngrad
    c = core.Compartments.from_images(dims, ngrad, [rng.random(nvals, dtype=np.float32) for _ in range(3)], [1.0] * 3)
    field = gnl_field(dims, 2.0, voxel=2.0)
    started, done = threading.Event(), threading.Event()
    getter_results, ticks = [], []
    errors = []

    def warp():
        try:
            started.set()
            c.warp_gnl(field, True)
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)
        finally:
            done.set()

    def getter():
        started.wait()
        for _ in range(200):
            getter_results.append((c.dims, c.ngrad, done.is_set()))

    threads = [threading.Thread(target=warp), threading.Thread(target=getter)]
    for t in threads:
        t.start()
    while not done.is_set():
        ticks.append(time.perf_counter())
        time.sleep(0.001)
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads)
    assert not errors
    assert len(getter_results) == 200 and all(r[:2] == (dims, ngrad) for r in getter_results)
    assert len(ticks) > 5  # the main thread ran while the warp held the mutex
    img = c.images()[0]
    assert np.isfinite(img).all()


def test_properties():
    c, _ = make((3, 1, 2), 5, n=2)
    assert c.dims == (3, 1, 2) and c.ngrad == 5 and c.n_compartments == 2 and c.t2 == [80.0, 90.0]
    with pytest.raises(AttributeError):
        c.ngrad = 3
