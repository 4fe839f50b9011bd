"""Argument conversion and error reporting, and the grid oversampling, through `hires_grid`."""
import re

import numpy as np
import pytest

import quorvel._core as core

EYE = np.eye(4)


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
])
def test_argument_errors(args, exc, message, note):
    with pytest.raises(exc, match=None if message is None else "^" + re.escape(message)) as info:
        core.hires_grid(*args)
    assert getattr(info.value, "__notes__", None) == (None if note is None else [f"while processing '{note}'"])


def test_keywords_index_objects_strides_and_fresh_results(rng):
    a = rng.normal(size=(4, 4))
    big = np.zeros((8, 8))
    big[::2, ::2] = a
    # Views are read through their strides, whatever the memory layout.
    for view in (a, np.asfortranarray(a), big[::2, ::2]):
        flat, dims = core.hires_grid(o=np.int32(1), dims=(np.int64(2), np.uint8(3), 4), affine=view)
        np.testing.assert_array_equal(flat, a.ravel())
        assert dims == (2, 3, 4) and flat.dtype == np.float64 and flat.flags.writeable
    flat[:] = -1
    np.testing.assert_array_equal(core.hires_grid(a, (2, 3, 4), 1)[0], a.ravel())


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
