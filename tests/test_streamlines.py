import math
import re

import numpy as np
import pytest

import quorvel._core as core

CSR = "offsets must be CSR: length n_streamlines+1, last entry == number of points"
M64 = (1 << 64) - 1


def tractogram(rng, n, max_points=6):
    counts = rng.integers(0, max_points + 1, n)
    offsets = np.concatenate([[0], np.cumsum(counts)]).astype(np.uint32)
    positions = rng.normal(size=(int(offsets[-1]), 3))
    return positions, offsets


def reference_keys(seed, weights, n_total):
    """Selection keys ln(u)/w written out with Python integers (SplitMix64 finaliser)."""
    keys = []
    for i in range(n_total):
        z = ((seed ^ ((i * 0xA24BAED4963EE407) & M64)) + 0x9E3779B97F4A7C15) & M64
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & M64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
        z ^= z >> 31
        u = ((z >> 11) + 0.5) * 2.0 ** -53
        w = 1.0 if weights is None else float(weights[i])
        w = w if w > 1e-12 else 1e-12  # NaN and non-positive weights count as 1e-12
        keys.append(math.log(u) / w)
    return np.array(keys)


def split(positions, offsets):
    return [positions[offsets[s]:offsets[s + 1]] for s in range(len(offsets) - 1)]


@pytest.mark.parametrize("use_weights", [False, True])
@pytest.mark.parametrize("seed", [0, 1, 2**63 + 5, M64])
def test_selection_matches_reference(rng, use_weights, seed):
    positions, offsets = tractogram(rng, 40)
    weights = rng.uniform(0.1, 5.0, 40).astype(np.float32) if use_weights else None
    pos, off, w, stats = core.subsample_streamlines(positions, offsets, weights, 11, seed)
    keys = reference_keys(seed, weights, 40)
    kept = np.sort(np.argsort(-keys, kind="stable")[:11])
    expected = split(positions, offsets)
    got = split(pos.reshape(-1, 3), off)
    assert len(got) == 11
    for s, g in zip(kept, got):
        np.testing.assert_array_equal(g, expected[s])
    assert off[0] == 0 and off[-1] == len(pos) // 3
    assert pos.dtype == np.float64 and off.dtype == np.uint32
    assert stats["kept"] == 11 and stats["total"] == 40
    assert stats["vertex_fraction"] == sum(len(expected[s]) for s in kept) / len(positions)
    if use_weights:
        total = float(np.sum(weights.astype(float)))
        kept_w = float(np.sum(weights[kept].astype(float)))
        assert stats["weight_fraction"] == pytest.approx(kept_w / total, rel=1e-15)
        np.testing.assert_array_equal(w, np.full(11, np.float32(total / 11)))
    else:
        assert w is None
        assert stats["weight_fraction"] == 11 / 40


def test_same_seed_same_subset_and_one_bit_changes_it():
    # One point per streamline, x = its index: the kept indices can be read off the points.
    positions = np.zeros((200, 3))
    positions[:, 0] = np.arange(200)
    offsets = np.arange(201, dtype=np.uint32)
    kept = lambda seed: core.subsample_streamlines(positions, offsets, None, 50, seed)[0][::3]
    a, b, c = kept(1234), kept(1234), kept(1234 ^ 1)
    np.testing.assert_array_equal(a, b)
    assert np.all(np.diff(a) > 0) and np.all(np.diff(c) > 0)
    # Two independent draws of 50 out of 200 share about 12.5 streamlines.
    assert len(set(a) & set(c)) < 30


@pytest.mark.parametrize("n", [50, 51, 10**6])
@pytest.mark.parametrize("use_weights", [False, True])
def test_enough_requested_returns_input(rng, n, use_weights):
    positions, offsets = tractogram(rng, 50)
    weights = rng.uniform(0, 1, 50).astype(np.float32) if use_weights else None
    pos, off, w, stats = core.subsample_streamlines(positions, offsets, weights, n, 9)
    np.testing.assert_array_equal(pos, positions.ravel())
    np.testing.assert_array_equal(off, offsets)
    if use_weights:
        np.testing.assert_array_equal(w, weights)
    else:
        assert w is None
    assert stats == {"kept": 50, "total": 50, "vertex_fraction": 1.0, "weight_fraction": 1.0,
                     "summary": "subsample: 50 >= 50 streamlines, keeping all"}
    assert list(stats) == ["kept", "total", "vertex_fraction", "weight_fraction", "summary"]


@pytest.mark.parametrize("n", [0, 3])
def test_no_streamlines(n):
    pos, off, w, stats = core.subsample_streamlines(np.zeros((0, 3)), np.array([0], np.uint32), None, n, 1)
    assert pos.shape == (0,) and list(off) == [0] and w is None
    assert stats["summary"] == "subsample: 0 >= 0 streamlines, keeping all"


@pytest.mark.parametrize("use_weights", [False, True])
def test_zero_requested_is_an_empty_selection(rng, use_weights):
    positions, offsets = tractogram(rng, 5)
    weights = np.ones(5, np.float32) if use_weights else None
    pos, off, w, stats = core.subsample_streamlines(positions, offsets, weights, 0, 3)
    assert pos.shape == (0,) and list(off) == [0]
    assert (w is None) != use_weights and (w is None or w.shape == (0,))
    assert (stats["kept"], stats["total"], stats["vertex_fraction"], stats["weight_fraction"]) == (0, 5, 0.0, 0.0)
    assert stats["summary"] == "subsample: kept 0/5 streamlines (seed 3), 0.0% of vertices, 0.0% of weight -> uniform"


def test_uniform_weight_keeps_the_total():
    positions, offsets = np.arange(12.0).reshape(4, 3), np.arange(5, dtype=np.uint32)
    _, _, w, stats = core.subsample_streamlines(positions, offsets, np.array([1, 2, 3, 4], np.float32), 2, 77)
    np.testing.assert_array_equal(w, [5.0, 5.0])
    assert w.dtype == np.float32


def test_summary_with_percentages():
    # Eight one-point streamlines, one kept: 12.5% of points and of (uniform) weight.
    positions, offsets = np.zeros((8, 3)), np.arange(9, dtype=np.uint32)
    *_, stats = core.subsample_streamlines(positions, offsets, None, 1, 7)
    assert stats["summary"] == "subsample: kept 1/8 streamlines (seed 7), 12.5% of vertices, 12.5% of weight -> uniform"
    *_, stats = core.subsample_streamlines(positions, offsets, None, 3, M64)
    assert stats["summary"] == (f"subsample: kept 3/8 streamlines (seed {M64}), 37.5% of vertices, "
                                "37.5% of weight -> uniform")


def test_zero_total_weight_gives_nan():
    positions, offsets = np.zeros((2, 3)), np.arange(3, dtype=np.uint32)
    _, _, w, stats = core.subsample_streamlines(positions, offsets, np.zeros(2, np.float32), 1, 0)
    assert math.isnan(stats["weight_fraction"])
    assert stats["summary"].endswith("50.0% of vertices, NaN% of weight -> uniform")
    np.testing.assert_array_equal(w, [0.0])


@pytest.mark.parametrize("seed", range(20))
def test_negligible_weight_is_dropped(rng, seed):
    positions, offsets = tractogram(rng, 30)
    weights = np.ones(30, np.float32)
    weights[seed] = 1e-9
    *_, w, stats = core.subsample_streamlines(positions, offsets, weights, 29, seed)
    # Every kept streamline has weight 1: the tiny one is the one left out.
    assert stats["weight_fraction"] == pytest.approx(29 / (29 + 1e-9), rel=1e-12)


def test_nan_and_negative_weights_count_as_negligible():
    positions, offsets = np.zeros((3, 3)), np.arange(4, dtype=np.uint32)
    weights = np.array([np.nan, 1.0, -2.0], np.float32)
    for seed in range(10):
        pos, off, *_ = core.subsample_streamlines(positions + np.arange(3)[:, None], offsets, weights, 1, seed)
        assert pos[0] == 1.0


@pytest.mark.parametrize("offsets, n, message", [
    ([], 1, CSR),
    ([0, 2], 1, CSR),
    ([0, 4, 3], 5, "offsets[1] = 4 is beyond the number of points (3)"),
    ([0, 2, 1, 3], 1, "offsets must not decrease: offsets[1] = 2 > offsets[2] = 1"),
    # Checked even when every streamline would pass through untouched.
    ([0, 2, 1, 3], 10, "offsets must not decrease: offsets[1] = 2 > offsets[2] = 1"),
])
def test_offset_errors(offsets, n, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        core.subsample_streamlines(np.zeros((3, 3)), np.array(offsets, np.uint32), None, n, 0)


@pytest.mark.parametrize("args, message", [
    ((np.zeros((3, 2)), np.array([0, 3], np.uint32), None), "positions must have shape (n, 3), got [3, 2]"),
    ((np.zeros((3, 3)), np.array([0, 1, 9, 3], np.uint32)[::2], None),
     "The given array is not contiguous or is misaligned."),
    ((np.zeros((3, 3)), np.array([0, 1, 3], np.uint32), np.ones(3, np.float32)), "weights: expected 2 values, got 3"),
    ((np.zeros((3, 3)), np.array([0, 4, 3], np.uint32), np.ones(3, np.float32)),
     "offsets[1] = 4 is beyond the number of points (3)"),
])
def test_value_errors_in_order(args, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        core.subsample_streamlines(*args, 1, 0)


def test_transposed_positions_are_read_by_rows():
    positions = np.arange(12.0).reshape(3, 4).T  # (4, 3) view, column-major
    pos, *_ = core.subsample_streamlines(positions, np.array([0, 4], np.uint32), None, 5, 0)
    np.testing.assert_array_equal(pos, np.ascontiguousarray(positions).ravel())


@pytest.mark.parametrize("name, value, error", [
    ("weights", np.ones(1), TypeError),
    ("offsets", np.array([0, 1], np.int32), TypeError),
    ("n", -1, OverflowError),
    ("n", 1.0, TypeError),
    ("seed", 2**64, OverflowError),
    ("seed", -1, OverflowError),
])
def test_type_errors_name_the_argument(name, value, error):
    args = dict(positions=np.zeros((1, 3)), offsets=np.array([0, 1], np.uint32), weights=None, n=1, seed=0)
    args[name] = value
    with pytest.raises(error) as e:
        core.subsample_streamlines(**args)
    assert f"while processing '{name}'" in e.value.__notes__


def test_equal_keys_keep_the_lowest_indices():
    # Infinite weights all give the key -0.0; the tie goes to the earlier streamlines.
    positions = np.arange(12.0).reshape(4, 3)
    weights = np.full(4, np.inf, np.float32)
    pos, off, w, _ = core.subsample_streamlines(positions, np.arange(5, dtype=np.uint32), weights, 2, 99)
    np.testing.assert_array_equal(pos, positions[:2].ravel())
    assert np.all(np.isinf(w))
