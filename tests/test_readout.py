import re

import numpy as np
import pytest

import quorvel._core as core


def ref_walk(nx, ny, t_line, reverse):
    """The zig-zag walk sample by sample, straight from its definition."""
    dt = t_line / nx
    half = (nx * ny * dt) * 0.5
    out = []
    for s in range(nx * ny):
        i, c = divmod(s, nx)
        ky = i if reverse else ny - 1 - i
        kx = c if ky % 2 == 0 else nx - 1 - c
        out.append((kx, ky, (s + 0.5) * dt - half, s))
    return out


def ref_line_times(nx, ny, t_line, t_echo, reverse):
    dt = t_line / nx
    t_ms, t_rf, t_read = [0.0] * ny, [0.0] * ny, [0.0] * ny
    for kx, ky, t, s in ref_walk(nx, ny, t_line, reverse):
        if kx == nx // 2:
            t_ms[ky], t_rf[ky], t_read[ky] = t, t + t_echo, dt * s + dt * 0.5
    return t_ms, t_rf, t_read


def lines(mask, nx):
    """The acquired lines of a mask, checking that lines are all-or-nothing."""
    rows = mask.reshape(-1, nx)
    assert np.all((rows == rows[:, :1]))
    return set(np.nonzero(rows[:, 0])[0].tolist())


def test_small_walk_downwards():
    kx, ky, t = core.epi_trajectory(4, 2, {"t_line": 1.0})
    assert kx.dtype == np.uint32 and ky.dtype == np.uint32 and t.dtype == np.float64
    assert list(zip(kx.tolist(), ky.tolist())) == [(3, 1), (2, 1), (1, 1), (0, 1), (0, 0), (1, 0), (2, 0), (3, 0)]
    np.testing.assert_array_equal(t, np.arange(-0.875, 0.876, 0.25))
    e = core.epi_timing(4, 2, {"t_line": 1.0})
    assert list(e) == ["t_ms", "t_rf_ms", "t_read_ms", "order", "t_line", "t_echo", "dt"]
    np.testing.assert_array_equal(e["t_ms"], [0.625, -0.625])
    np.testing.assert_array_equal(e["t_rf_ms"], [90.625, 89.375])
    np.testing.assert_array_equal(e["t_read_ms"], [1.625, 0.375])
    assert e["order"].dtype == np.uint32 and e["order"].tolist() == [1, 0]
    assert (e["t_line"], e["t_echo"], e["dt"]) == (1.0, 90.0, 0.25)


def test_small_walk_upwards():
    kx, ky, t = core.epi_trajectory(4, 2, {"t_line": 1.0, "reverse_phase": True})
    assert list(zip(kx.tolist(), ky.tolist())) == [(0, 0), (1, 0), (2, 0), (3, 0), (3, 1), (2, 1), (1, 1), (0, 1)]
    np.testing.assert_array_equal(t, np.arange(-0.875, 0.876, 0.25))
    e = core.epi_timing(4, 2, {"t_line": 1.0, "reverse_phase": True})
    assert e["order"].tolist() == [0, 1]
    np.testing.assert_array_equal(e["t_ms"], [-0.375, 0.375])
    np.testing.assert_array_equal(e["t_read_ms"], [0.625, 1.375])


@pytest.mark.parametrize("nx, ny", [(1, 1), (3, 5), (5, 4), (8, 7), (16, 16)])
@pytest.mark.parametrize("reverse", [False, True])
def test_walk_and_timing_match_the_definition(nx, ny, reverse):
    acq = {"t_line": 0.7, "t_echo": 33.0, "reverse_phase": reverse}
    ref = ref_walk(nx, ny, 0.7, reverse)
    kx, ky, t = core.epi_trajectory(nx, ny, acq)
    # Same operations in the same order: the times agree exactly.
    assert kx.tolist() == [r[0] for r in ref] and ky.tolist() == [r[1] for r in ref]
    np.testing.assert_array_equal(t, [r[2] for r in ref])
    # Every sample visited once.
    assert len(set(zip(kx.tolist(), ky.tolist()))) == nx * ny
    e = core.epi_timing(nx, ny, acq)
    t_ms, t_rf, t_read = ref_line_times(nx, ny, 0.7, 33.0, reverse)
    np.testing.assert_array_equal(e["t_ms"], t_ms)
    np.testing.assert_array_equal(e["t_rf_ms"], t_rf)
    np.testing.assert_array_equal(e["t_read_ms"], t_read)
    assert e["order"].tolist() == (list(range(ny)) if reverse else list(range(ny - 1, -1, -1)))
    assert e["dt"] == 0.7 / nx


PF_LINES = [
    # (pf_mode, reverse_phase, expected lines for ny = 100, pf = 0.75)
    ("scanner", False, set(range(0, 75))),
    ("scanner", True, set(range(25, 100))),
    ("contiguous", False, set(range(25, 100))),
    ("contiguous", True, set(range(0, 75))),
    ("fiberfox", False, set(range(25, 100)) | {0}),
    ("fiberfox", True, set(range(0, 76))),
]


@pytest.mark.parametrize("mode, reverse, expected", PF_LINES)
def test_partial_fourier_line_sets(mode, reverse, expected):
    acq = {"partial_fourier": 0.75, "pf_mode": mode, "reverse_phase": reverse}
    assert lines(core.sampling_mask(3, 100, acq), 3) == expected


def test_fiberfox_odd_ny_has_no_extra_line():
    acq = {"partial_fourier": 0.75, "pf_mode": "fiberfox"}
    # floor(0.25 * 99) = 24
    assert lines(core.sampling_mask(2, 99, acq), 2) == set(range(24, 99))


@pytest.mark.parametrize("mode, reverse", [(m, r) for m, r, _ in PF_LINES])
def test_only_scanner_mode_shifts_the_readout_clock(mode, reverse):
    base = {"t_line": 0.5, "reverse_phase": reverse}
    full = core.epi_timing(8, 100, base)
    part = core.epi_timing(8, 100, base | {"partial_fourier": 0.75, "pf_mode": mode})
    shift = 25 * 0.5 if mode == "scanner" else 0.0
    np.testing.assert_array_equal(part["t_read_ms"], full["t_read_ms"] - shift)
    np.testing.assert_array_equal(part["t_ms"], full["t_ms"])
    np.testing.assert_array_equal(part["t_rf_ms"], full["t_rf_ms"])


@pytest.mark.parametrize("pf", [1.0, 1.2, float("nan"), float("inf")])
@pytest.mark.parametrize("mode", ["scanner", "contiguous", "fiberfox"])
def test_partial_fourier_of_one_or_more_is_full(pf, mode):
    acq = {"partial_fourier": pf, "pf_mode": mode}
    assert core.sampling_mask(4, 10, acq).tolist() == [1] * 40
    np.testing.assert_array_equal(core.epi_timing(4, 10, acq)["t_read_ms"],
                                  core.epi_timing(4, 10, {})["t_read_ms"])


def test_partial_fourier_zero_in_scanner_mode():
    acq = {"partial_fourier": 0.0, "t_line": 2.0}
    assert not core.sampling_mask(4, 10, acq).any()
    np.testing.assert_array_equal(core.epi_timing(4, 10, acq)["t_read_ms"],
                                  core.epi_timing(4, 10, {"t_line": 2.0})["t_read_ms"] - 20.0)


def test_negative_partial_fourier_keeps_no_line_and_shifts_by_all():
    acq = {"partial_fourier": -0.5}
    assert lines(core.sampling_mask(2, 10, acq), 2) == set()
    np.testing.assert_array_equal(core.epi_timing(2, 10, acq)["t_read_ms"],
                                  core.epi_timing(2, 10, {})["t_read_ms"] - 10.0)


def test_partial_fourier_rounds_half_away_from_zero():
    # 0.25 * 10 = 2.5 rounds to 3 kept lines
    assert lines(core.sampling_mask(1, 10, {"partial_fourier": 0.25}), 1) == {0, 1, 2}
    e = core.epi_timing(1, 10, {"partial_fourier": 0.25})
    np.testing.assert_array_equal(e["t_read_ms"], core.epi_timing(1, 10, {})["t_read_ms"] - 7.0)


def test_acceleration_with_calibration_band():
    got = lines(core.sampling_mask(4, 100, {"accel": 2, "acs_lines": 24}), 4)
    assert got == set(range(38, 63)) | set(range(0, 100, 2))


@pytest.mark.parametrize("ny, accel, acs", [(9, 3, 2), (64, 4, 0), (10, 3, 100), (31, 5, 7)])
def test_acceleration_rule(ny, accel, acs):
    c, h = ny // 2, acs // 2
    expected = {ky for ky in range(ny) if abs(ky - c) <= h or ky % accel == c % accel}
    assert lines(core.sampling_mask(2, ny, {"accel": accel, "acs_lines": acs}), 2) == expected


@pytest.mark.parametrize("accel", [0, 1])
def test_no_acceleration_below_two(accel):
    assert core.sampling_mask(3, 7, {"accel": accel, "acs_lines": 0}).tolist() == [1] * 21


def test_partial_fourier_and_acceleration_combine():
    acq = {"accel": 2, "acs_lines": 24, "partial_fourier": 0.75}
    expected = set(range(0, 75)) & (set(range(38, 63)) | set(range(0, 100, 2)))
    assert lines(core.sampling_mask(2, 100, acq), 2) == expected


def test_mask_layout():
    m = core.sampling_mask(5, 4, {"partial_fourier": 0.5})
    assert m.dtype == np.uint8 and m.shape == (20,)
    assert m.tolist() == [1] * 10 + [0] * 10


def test_zero_columns():
    with pytest.raises(ValueError, match=re.escape("nx: expected at least 1 sample per line when ny > 0, got 0")):
        core.epi_timing(0, 4, {})
    kx, ky, t = core.epi_trajectory(0, 4, {})
    assert kx.size == ky.size == t.size == 0
    assert core.sampling_mask(0, 4, {}).size == 0


@pytest.mark.parametrize("nx", [0, 5])
def test_zero_lines(nx):
    e = core.epi_timing(nx, 0, {})
    assert all(e[k].size == 0 for k in ["t_ms", "t_rf_ms", "t_read_ms", "order"])
    assert core.epi_trajectory(nx, 0, {})[0].size == 0
    assert core.sampling_mask(nx, 0, {}).size == 0


@pytest.mark.parametrize("fn", [core.epi_timing, core.epi_trajectory, core.sampling_mask])
def test_oversized_matrix_is_refused_before_allocating(fn):
    with pytest.raises(ValueError, match=re.escape("nx * ny: a readout of 65536 x 65537 samples is too large")):
        fn(2**16, 2**16 + 1, {})
    with pytest.raises(ValueError, match=re.escape("samples is too large (at most 67108864)")):
        fn(2**26 + 1, 1, {})
    with pytest.raises(ValueError, match="too large"):
        fn(2**63, 4, {})


def test_huge_but_empty_matrices_are_accepted():
    assert core.sampling_mask(2**40, 0, {}).size == 0
    assert core.epi_trajectory(2**40, 0, {})[0].size == 0
    assert core.epi_timing(2**40, 0, {})["t_ms"].size == 0


def test_negative_size_is_an_overflow_error():
    with pytest.raises(OverflowError) as info:
        core.sampling_mask(4, -1, {})
    assert "while processing 'ny'" in info.value.__notes__


def test_hbcd_preset_timing():
    acq = core.acquisition_hbcd(90)
    e = core.epi_timing(90, 90, acq)
    # t_rf_ms is t_ms plus the echo time; 1e-12 covers rounding of values near 90
    np.testing.assert_allclose(e["t_rf_ms"] - e["t_ms"], 88.0, rtol=0, atol=1e-12)
    # round(0.75 * 90) = round(67.5) = 68 lines kept (halves away from zero), 22 dropped
    assert lines(core.sampling_mask(90, 90, acq), 90) == set(range(0, 68))
    full = core.epi_timing(90, 90, acq | {"partial_fourier": 1.0})
    np.testing.assert_allclose(full["t_read_ms"] - e["t_read_ms"], 22 * acq["t_line"], rtol=1e-13)
