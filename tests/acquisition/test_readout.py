import re

import numpy as np
import pytest

import quorvel._core as core


def lines(mask, nx):
    """The acquired lines of a mask, checking that lines are all-or-nothing."""
    rows = mask.reshape(-1, nx)
    assert mask.dtype == np.uint8 and np.all(rows == rows[:, :1])
    return set(np.nonzero(rows[:, 0])[0].tolist())


@pytest.mark.parametrize("reverse, walk, t_ms, t_read_ms, order", [
    (False, [(3, 1), (2, 1), (1, 1), (0, 1), (0, 0), (1, 0), (2, 0), (3, 0)], [0.625, -0.625], [1.625, 0.375], [1, 0]),
    (True, [(0, 0), (1, 0), (2, 0), (3, 0), (3, 1), (2, 1), (1, 1), (0, 1)], [-0.375, 0.375], [0.625, 1.375], [0, 1]),
])
def test_small_walk(reverse, walk, t_ms, t_read_ms, order):
    kx, ky, t = core.epi_trajectory(4, 2, {"t_line": 1.0, "reverse_phase": reverse})
    assert kx.dtype == ky.dtype == np.uint32 and list(zip(kx.tolist(), ky.tolist())) == walk
    np.testing.assert_array_equal(t, np.arange(-0.875, 0.876, 0.25))
    e = core.epi_timing(4, 2, {"t_line": 1.0, "reverse_phase": reverse})
    assert list(e) == ["t_ms", "t_rf_ms", "t_read_ms", "order", "t_line", "t_echo", "dt"]
    np.testing.assert_array_equal(e["t_ms"], t_ms)
    np.testing.assert_array_equal(e["t_rf_ms"], np.add(t_ms, 90.0))
    np.testing.assert_array_equal(e["t_read_ms"], t_read_ms)
    assert e["order"].dtype == np.uint32 and e["order"].tolist() == order
    assert (e["t_line"], e["t_echo"], e["dt"]) == (1.0, 90.0, 0.25)


@pytest.mark.parametrize("pf, mode, reverse, ny, kept, shift", [
    (0.75, "scanner", False, 100, range(0, 75), 25), (0.75, "scanner", True, 100, range(25, 100), 25),
    (0.75, "contiguous", False, 100, range(25, 100), 0), (0.75, "contiguous", True, 100, range(0, 75), 0),
    (0.75, "fiberfox", False, 100, [0, *range(25, 100)], 0), (0.75, "fiberfox", True, 100, range(0, 76), 0),
    (0.75, "fiberfox", False, 99, range(24, 99), 0),  # odd ny: no extra line 0
    (1.2, "scanner", False, 10, range(10), 0), (float("nan"), "scanner", False, 10, range(10), 0),
    (0.0, "scanner", False, 10, [], 10), (-0.5, "scanner", False, 10, [], 10),
    (0.25, "scanner", False, 10, [0, 1, 2], 7),  # 2.5 lines round away from zero
])
def test_partial_fourier(pf, mode, reverse, ny, kept, shift):
    acq = {"t_line": 0.5, "reverse_phase": reverse}
    part = acq | {"partial_fourier": pf, "pf_mode": mode}
    assert lines(core.sampling_mask(3, ny, part), 3) == set(kept)
    full, e = core.epi_timing(8, ny, acq), core.epi_timing(8, ny, part)
    # Only a scanner starts its readout clock at the first line it acquires.
    np.testing.assert_array_equal(e["t_read_ms"], full["t_read_ms"] - 0.5 * shift)
    np.testing.assert_array_equal(e["t_ms"], full["t_ms"])


@pytest.mark.parametrize("ny, accel, acs, pf", [(9, 3, 2, 1), (64, 4, 0, 1), (10, 3, 100, 1), (31, 5, 7, 1), (7, 0, 0, 1),
                                            (7, 1, 0, 1), (100, 2, 24, 0.75), (100, 3, 60, 0.75)])
def test_acceleration_rule(ny, accel, acs, pf):
    # Partial Fourier (scanner mode, forward) drops lines of the calibration band too.
    c, h = ny // 2, acs // 2
    expected = {ky for ky in range(ny) if (accel < 2 or abs(ky - c) <= h or ky % accel == c % accel) and ky < pf * ny}
    assert lines(core.sampling_mask(2, ny, {"accel": accel, "acs_lines": acs, "partial_fourier": pf}), 2) == expected


def test_empty_and_oversized_matrices():
    with pytest.raises(ValueError, match=re.escape("nx: expected at least 1 sample per line when ny > 0, got 0")):
        core.epi_timing(0, 4, {})
    assert core.epi_trajectory(0, 4, {})[0].size == 0 and core.sampling_mask(0, 4, {}).size == 0
    assert core.epi_timing(5, 0, {})["order"].size == 0 and core.epi_timing(0, 0, {})["t_ms"].size == 0
    for fn in (core.epi_timing, core.epi_trajectory, core.sampling_mask):
        with pytest.raises(ValueError, match=re.escape("nx * ny: a readout of 65536 x 65537 samples is too large (at "
                                                       "most 67108864)")):
            fn(2**16, 2**16 + 1, {})
    assert core.sampling_mask(2**40, 0, {}).size == 0
