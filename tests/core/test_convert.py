"""Argument conversion and error reporting (mostly through `hires_grid`), the grid oversampling,
and arguments whose Python code frees or fakes what the binding reads."""
import re

import numpy as np
import pytest

import quorvel._core as core
from conftest import run_process

EYE, RAS, F8 = np.eye(4), core.reorient_identity((2, 3, 4)), np.full(8, 0.6, np.float32)
NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."


def misaligned(a):
    """a's values in a C-ordered array whose data starts one byte past alignment."""
    out = np.frombuffer(bytearray(a.nbytes + 1), a.dtype, a.size, offset=1).reshape(a.shape)
    out[...] = a
    return out


# `args`: hires_grid's, or a call of another function
@pytest.mark.parametrize("args, exc, message, note", [
    ((np.eye(4, dtype=np.float32), (2, 2, 2), 1), TypeError,
     "'ndarray[float32, 2]' object is not an instance of 'ndarray[float64, 2]'", "affine"),
    ((EYE.ravel(), (2, 2, 2), 1), TypeError, "'ndarray[float64, 1]' object is not an instance of", "affine"),
    ((np.eye(4, dtype=np.int64), (2, 2, 2), 1), TypeError, "'ndarray[int64, 2]' object is not an instance of", "affine"),
    (([[1.0] * 4] * 4, (2, 2, 2), 1), TypeError, "'list' object is not an instance of", "affine"),
    ((None, None, None), TypeError, None, "affine"),  # the first bad argument decides
    ((EYE, [2, 2, 2], 1), TypeError, "'list' object is not an instance of 'tuple'", "dims"),
    ((EYE, (2, 2), 1), TypeError, "expected tuple of length 3, but got tuple of length 2", "dims"),
    ((EYE, (2, -1, 2), 1), OverflowError, None, "dims"),
    ((EYE, (2, 2.0, 2), 1), TypeError, None, "dims"),
    ((EYE, (1, 1, 1), 2, EYE), TypeError, "hires_grid() takes at most 3 arguments (4 given)", None),
    ((np.zeros((3, 4)), (2, 2, 2), 1), ValueError, "affine must be (4, 4), got [3, 4]", None),
    ((np.zeros((0, 4)), (2, 2, 2), 1), ValueError, "affine must be (4, 4), got [0, 4]", None),
    ((np.zeros((3, 3)), (2, 2, 2), 0), ValueError, "oversampling factor must be positive", None),  # before the affine
    ((EYE, (2, 2, 2), 2**63), ValueError, "oversampling factor 9223372036854775808 is too large for dims [2, 2, 2]",
     None),
    # each integer converter just beyond its ends (a size, a signed 32-bit, an unsigned 64-bit, a dict size)
    ((EYE, (2, 2, 2), 2**64), OverflowError, None, "o"),
    *[(lambda v=v: core.out_ped(RAS, 0, v), OverflowError, None, "in_pe_sign") for v in (-2**31 - 1, 2**31, 2**64)],
    *[(lambda v=v: core.dropout_seed(v), OverflowError, None, "run_seed") for v in (-1, 2**64)],
    *[(lambda v=v: core.acquisition_defaults({"seed": v}), ValueError, "seed: expected a non-negative integer", None)
      for v in (-1, 2**64)],
    # a non-finite component of a fibre direction, on each axis
    *[(lambda d=np.roll([x, 0, 0], c): core.mixture_from_fibers((2, 2, 2), np.zeros(2, np.uint32), np.array([[0, 0, 1.0], d]),
       np.ones(2), F8, F8, F8, F8, {}), ValueError, "dirs[1] is not a finite direction", None) for c in range(3) for x in (np.nan, -np.inf)],
    # misaligned flat arrays (float64, float32, uint32)
    (lambda: core.dropout_events(misaligned(np.full(5, 1000.0)), 2, 1.0, 3), ValueError, NOT_CONTIGUOUS, None),
    (lambda: core.apply_reorient(misaligned(np.zeros(24, np.float32)), 1, RAS), ValueError, NOT_CONTIGUOUS, None),
    (lambda: core.subsample_streamlines(np.ones((2, 3)), misaligned(np.array([0, 2], np.uint32)), None, 1, 0), ValueError,
     NOT_CONTIGUOUS, None),
])
def test_argument_errors(args, exc, message, note):
    with pytest.raises(exc, match=None if message is None else "^" + re.escape(message)) as info:
        args() if callable(args) else core.hires_grid(*args)
    assert getattr(info.value, "__notes__", None) == (None if note is None else [f"while processing '{note}'"])


# Every list parameter weighs a sequence's length before reserving or reading it: range(2**62)
# is refused at once (it used to fail to reserve, or ask for terabytes), naming the parameter and
# the length; one of a fixed count (gre_synthesize's t2) says so in its usual words.
def comp():
    return core.Compartments.from_images((2, 2, 2), 2, [np.zeros(16, np.float32)], [80.0])


def acquire(**lists):
    return core.simulate_acquisition(comp(), np.zeros(8, np.float32), (2, 2, 2), np.zeros(2), np.zeros((2, 3)), {}, **lists)


HUGE = range(2**62)


@pytest.mark.parametrize("call, name", [
    (lambda: comp().select_slices(HUGE), "slices"),
    (lambda: core.Compartments.from_images((2, 2, 2), 2, [], HUGE), "t2"),
    (lambda: comp().apply_multiband_motion(EYE, 1, False, np.zeros(2), 1.0, [], slice_z=HUGE, nz_full=2), "slice_z"),
    (lambda: core.resolve_poses("random", 4, volumes=HUGE), "volumes"),
    *[(lambda name=name: acquire(**{name: HUGE}), name) for name in ("te_per_volume", "slice_z", "kspace_slices")],
    (lambda: core.gre_synthesize((2, 2, 2), EYE, (2, 2, 2), EYE, F8, F8, F8, (1.0, 1.0, 1.0), HUGE, F8, 1.0, 0), None),
])
def test_list_lengths_are_weighed_before_reading(call, name):
    message = f"{name}: {len(HUGE)} values cannot be held in memory" if name else f"t2: expected 3 values, got {len(HUGE)}"
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        call()


def test_keywords_index_objects_strides_and_fresh_results(rng):
    a = rng.normal(size=(4, 4))
    big = np.zeros((8, 8))
    big[::2, ::2] = a
    # Views are read through their strides, whatever the memory layout or alignment.
    for view in (a, np.asfortranarray(a), big[::2, ::2], misaligned(a), misaligned(big)[::2, ::2]):
        flat, dims = core.hires_grid(o=np.int32(1), dims=(np.int64(2), np.uint8(3), 4), affine=view)
        np.testing.assert_array_equal(flat, a.ravel())
        assert dims == (2, 3, 4) and flat.dtype == np.float64 and flat.flags.writeable
    flat[:] = -1
    np.testing.assert_array_equal(core.hires_grid(a, (2, 3, 4), 1)[0], a.ravel())
    # Rows as well, also where they are read in place when aligned.
    rows = 2 * rng.random((8, 3))  # points inside a (2, 2, 2) grid
    np.testing.assert_array_equal(core.fsl_bvecs(misaligned(rows), EYE), core.fsl_bvecs(rows, EYE))
    mixture = [core.build_mixture((2, 2, 2), F8, F8, F8, F8, EYE, p, np.array([0, 8], np.uint32), None, {}) for p in (rows, misaligned(rows))]
    np.testing.assert_array_equal(mixture[0].odf(), mixture[1].odf())


def test_hires_tiles_each_coarse_voxel(rng):
    a = np.eye(4)
    a[:3] = rng.normal(size=(3, 4))
    fine, dims = core.hires_grid(a, (3, 4, 5), 3)
    assert dims == (9, 12, 5)
    # Fine voxel i' is centred at coarse coordinate (i' + 0.5)/o - 0.5, z unchanged; four points
    # in general position fix the whole fine affine.
    for i, j, k in [(0, 0, 0), (1, 0, 0), (4, 7, 2), (8, 11, 4)]:
        coarse = [(i + 0.5) / 3 - 0.5, (j + 0.5) / 3 - 0.5, k, 1.0]
        np.testing.assert_allclose(fine.reshape(4, 4) @ [i, j, k, 1], a @ coarse, atol=1e-12)


# A number that, converted, first takes the tuple it sits in out of its dict (when `freeing`), then
# collects so that the free lists let go of the memory: PYTHONMALLOC=debug overwrites it, and a
# converter still reading the tuple crashes. The last case frees a keyword argument the same way.
FREED_WHILE_READ = """
import gc, operator, numpy as np, quorvel._core as core
class Num:
    def __init__(self, v, d, key): self.v, self.d, self.key = v, d, key
    def __float__(self):
        if freeing: self.d.pop(self.key); gc.collect()
        return float(self.v)
    def __index__(self): return int(self.__float__())
def results():
    p, a, e = {}, {}, {"volume": 1, "jump_deg": (0, 0, 5.0)}
    r, k = core.reorient_identity((2, 3, 4)), core.reorient_identity((2, 3, 4))
    p["d_extra"] = (Num(0.0017, p, "d_extra"), 6e-4, 6e-4)
    a["window"] = ("fermi", Num(0.5, a, "window"), 0.1)
    r["src"] = (Num(0, r, "src"), 1, 2)
    e["jump_mm"] = (Num(1.0, e, "jump_mm"), 0, 0)
    c = core.Compartments.from_images((4, 4, 2), 2, [np.arange(64, dtype=np.float32)], [80.0])
    call = operator.methodcaller("reorient_affine", affine=np.eye(4), reorient=k)
    k["src"] = (Num(0, next(o for o in gc.get_referents(call) if isinstance(o, dict)), "reorient"), 1, 2)
    del k
    return [core.voxel_signal(np.array([1000.0]), np.array([[1.0, 0, 0]]), np.array([[0.6, 0.8, 0]]), np.ones(1), 1, 0, 0, p),
            core.acquisition_defaults(a), core.reorient_affine(np.eye(4), r), call(core),
            c.apply_multiband_motion(np.eye(4), 1, False, np.array([0.0, 1000.0]), 1000.0, [e]), c.images()]
freeing = False
expected = repr(results())
freeing = True
print(repr(results()) == expected)
"""

# Objects whose __class__ claims a quorvel class or a NumPy type are not taken for one (run after the above).
SPOOFED = """
from unittest.mock import Mock
B, V, F = np.array([0.0, 1000.0]), np.array([[0.0, 0, 0], [1, 0, 0]]), np.full(8, 0.6, np.float32)
mix = core.mixture_from_fibers((2, 2, 2), np.zeros(1, np.uint32), V[1:], np.ones(1), F, F, F, F, {})
comp, field = core.signal_from_mixture(mix, B, V), core.GnlField.on_grid(core.GradCoef.from_spec("whole-body-80"), (2, 2, 2), np.eye(4))
for call in (lambda: core.signal_from_mixture(Mock(spec=core.Mixture), B, V), lambda: core.signal_from_mixture(mix, B, V, Mock(spec=core.GnlField)),
             lambda: core.simulate_acquisition(Mock(spec=core.Compartments), F, (2, 2, 2), B, V, {}),
             lambda: core.GnlField.on_grid(Mock(spec=core.GradCoef), (2, 2, 2), np.eye(4)), lambda: comp.warp_gnl(Mock(spec=core.GnlField), True),
             lambda: core.dropout_events(Mock(spec=np.ndarray), 1, 0.5, 0), lambda: comp.warp_gnl(field, Mock(spec=np.bool_)),
             lambda: core.Mixture.scalars(Mock(spec=core.Mixture)), lambda: core.Compartments.images(Mock(spec=core.Compartments))):
    try:
        call()
    except TypeError as e:
        print(e, *getattr(e, "__notes__", []), sep=", ")
"""


def test_freed_or_spoofed_arguments_are_never_read():
    out = run_process(FREED_WHILE_READ + SPOOFED, {"PYTHONMALLOC": "debug"}, timeout=60)
    want = ["True"] + [f"'Mock' object is not an instance of '{t}', while processing '{a}'" for t, a in [
        ("Mixture", "mix"), ("GnlField", "gnl"), ("Compartments", "comp"), ("GradCoef", "coef"), ("GnlField", "field"),
        ("ndarray[float64, 1]", "bvals"), ("bool", "modulate")]]
    assert out.stdout.splitlines() == want + [
        f"descriptor '{m}' for 'quorvel._core.{c}' objects doesn't apply to a 'Mock' object"
        for m, c in [("scalars", "Mixture"), ("images", "Compartments")]], out.stderr
