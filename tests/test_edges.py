import re

import numpy as np
import pytest

import quorvel._core as core


def ref_cover(i, lo, hi):
    """Length of [lo, hi) inside [i, i + 1); NaN bounds are ignored like fmin/fmax do."""
    top = i + 1.0 if np.isnan(hi) else min(i + 1.0, hi)
    bot = float(i) if np.isnan(lo) else max(float(i), lo)
    return min(1.0, max(0.0, top - bot))


def test_step_example():
    out = core.step_hires(4, 1, 1.25)
    assert out.dtype == np.float32 and out.shape == (4,)
    assert out.tolist() == [0.0, 0.75, 1.0, 1.0]


@pytest.mark.parametrize("edge, expected", [(0.0, 1.0), (-3.5, 1.0), (4.0, 0.0), (9.0, 0.0)])
def test_step_outside(edge, expected):
    assert core.step_hires(4, 3, edge).tolist() == [expected] * 12


def test_step_rows_repeat():
    out = core.step_hires(5, 3, 2.3).reshape(3, 5)
    np.testing.assert_array_equal(out, np.tile(np.float32([0, 0, 0.7, 1, 1]), (3, 1)))


def test_step_area_is_the_length_right_of_the_edge(rng):
    for edge in rng.uniform(-1, 9, 20):
        # float32 storage: each of the 8 pixels carries at most half an ulp of 1
        assert abs(core.step_hires(8, 1, edge).astype(np.float64).sum() - min(8.0, max(0.0, 8.0 - edge))) < 8e-7


def test_box_example():
    out = core.box_hires(4, 4, 0.5, 2.5, 1.0, 2.0).reshape(4, 4)
    expected = np.zeros((4, 4), np.float32)
    expected[1] = [0.5, 1.0, 0.5, 0.0]
    np.testing.assert_array_equal(out, expected)


@pytest.mark.parametrize("x0, x1, y0, y1", [(2, 2, 0, 4), (3, 1, 0, 4), (0, 4, 2.5, 2.5), (0, 4, 3, 1)])
def test_empty_box(x0, x1, y0, y1):
    assert not core.box_hires(4, 4, x0, x1, y0, y1).any()


@pytest.mark.parametrize("x0, x1, y0, y1", [(0.3, 5.2, -1.0, 2.75), (-2, 9, -2, 9), (1.5, float("nan"), 0.25, 3.5),
                                            (float("nan"), 2.2, float("nan"), float("nan"))])
def test_box_matches_area_fractions(x0, x1, y0, y1):
    snx, sny = 6, 4
    out = core.box_hires(snx, sny, x0, x1, y0, y1)
    expected = [np.float32(ref_cover(x, x0, x1) * ref_cover(y, y0, y1)) for y in range(sny) for x in range(snx)]
    np.testing.assert_array_equal(out, expected)


@pytest.mark.parametrize("snx, sny", [(0, 3), (3, 0), (0, 0)])
def test_empty_slices(snx, sny):
    assert core.step_hires(snx, sny, 0.5).size == 0
    assert core.box_hires(snx, sny, 0, 1, 0, 1).size == 0


def test_oversized_slices_are_refused():
    msg = re.escape("snx * sny: a slice of 65536 x 65537 pixels is too large")
    with pytest.raises(ValueError, match=msg):
        core.step_hires(2**16, 2**16 + 1, 0.5)
    with pytest.raises(ValueError, match=msg):
        core.box_hires(2**16, 2**16 + 1, 0, 1, 0, 1)
    with pytest.raises(ValueError, match=re.escape("pixels is too large (at most 67108864)")):
        core.step_hires(1, 2**26 + 1, 0.5)
    assert core.step_hires(2**40, 0, 0.5).size == 0
    assert core.box_hires(0, 2**40, 0, 1, 0, 1).size == 0


def test_argument_types():
    with pytest.raises(TypeError) as info:
        core.box_hires(4, 4, 0, "1", 0, 1)
    assert "while processing 'x1'" in info.value.__notes__
    with pytest.raises(OverflowError):
        core.step_hires(-1, 4, 0.5)
