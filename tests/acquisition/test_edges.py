import re

import numpy as np
import pytest

import quorvel._core as core


@pytest.mark.parametrize("edge, row", [(1.25, [0, 0.75, 1, 1]), (0.0, [1] * 4), (-3.5, [1] * 4), (4.0, [0] * 4)])
def test_step(edge, row):
    out = core.step_hires(4, 2, edge)
    assert out.dtype == np.float32 and out.tolist() == row * 2


def cover(i, lo, hi):
    """Length of [lo, hi) inside [i, i + 1); a NaN bound is no bound, as with fmin/fmax."""
    return min(1.0, max(0.0, (i + 1.0 if np.isnan(hi) else min(i + 1.0, hi)) - (i if np.isnan(lo) else max(i, lo))))


@pytest.mark.parametrize("x0, x1, y0, y1", [(0.5, 2.5, 1.0, 2.0), (0.3, 5.2, -1.0, 2.75), (3, 1, 0, 4), (0, 4, 2.5, 2.5),
                                            (-2, 9, -2, 9), (1.5, np.nan, 0.25, 3.5), (np.nan, 2.2, np.nan, np.nan)])
def test_box_holds_area_fractions(x0, x1, y0, y1):
    expected = [np.float32(cover(x, x0, x1) * cover(y, y0, y1)) for y in range(4) for x in range(6)]
    np.testing.assert_array_equal(core.box_hires(6, 4, x0, x1, y0, y1), expected)


def test_empty_and_oversized_slices():
    assert core.step_hires(0, 3, 0.5).size == 0 and core.box_hires(3, 0, 0, 1, 0, 1).size == 0
    msg = re.escape("snx * sny: a slice of 65536 x 65537 pixels is too large (at most 67108864)")
    for call in (lambda: core.step_hires(2**16, 2**16 + 1, 0.5), lambda: core.box_hires(2**16, 2**16 + 1, 0, 1, 0, 1)):
        with pytest.raises(ValueError, match=msg):
            call()
    assert core.box_hires(0, 2**40, 0, 1, 0, 1).size == 0
