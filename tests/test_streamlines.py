import math
import re

import numpy as np
import pytest

import quorvel._core as core

CSR = "offsets must be CSR: length n_streamlines+1, last entry == number of points"
M64 = (1 << 64) - 1


def tractogram(rng, n):
    offsets = np.concatenate([[0], np.cumsum(rng.integers(0, 7, n))]).astype(np.uint32)
    return rng.normal(size=(int(offsets[-1]), 3)), offsets


def reference_keys(seed, weights, n):
    """ln(u)/w with u from the SplitMix64 finaliser, in Python integers."""
    keys = []
    for i in range(n):
        z = ((seed ^ ((i * 0xA24BAED4963EE407) & M64)) + 0x9E3779B97F4A7C15) & M64
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & M64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
        z ^= z >> 31
        w = 1.0 if weights is None else float(weights[i])
        keys.append(math.log(((z >> 11) + 0.5) * 2.0**-53) / (w if w > 1e-12 else 1e-12))
    return np.array(keys)


def split(positions, offsets):
    return [positions[offsets[s]:offsets[s + 1]] for s in range(len(offsets) - 1)]


@pytest.mark.parametrize("use_weights", [False, True])
@pytest.mark.parametrize("seed", [0, 2**63 + 5, M64])
def test_selection_matches_reference(rng, use_weights, seed):
    positions, offsets = tractogram(rng, 40)
    weights = None
    if use_weights:
        weights = rng.uniform(0.1, 5.0, 40).astype(np.float32)
        weights[[3, 7]] = np.nan, -2.0  # both count as 1e-12
    pos, off, w, stats = core.subsample_streamlines(positions, offsets, weights, 11, seed)
    kept = np.sort(np.argsort(-reference_keys(seed, weights, 40))[:11])
    given = split(positions, offsets)
    got = split(pos.reshape(-1, 3), off)
    assert len(got) == 11 and off[0] == 0 and off.dtype == np.uint32
    for s, g in zip(kept, got):  # kept streamlines in their given order, points unchanged
        np.testing.assert_array_equal(g, given[s])
    assert stats["vertex_fraction"] == sum(len(given[s]) for s in kept) / len(positions)
    if use_weights:
        total = weights.astype(float).sum()  # NaN: the NaN weight is summed as given
        np.testing.assert_array_equal(w, np.full(11, np.float32(total / 11)))
    else:
        assert w is None and stats["weight_fraction"] == 11 / 40


def test_seed_reproducibility():
    # One point per streamline at x = its index: the kept indices can be read off the points.
    positions = np.zeros((200, 3))
    positions[:, 0] = np.arange(200)
    kept = lambda seed: core.subsample_streamlines(positions, np.arange(201, dtype=np.uint32), None, 50, seed)[0][::3]
    a, c = kept(1234), kept(1234 ^ 1)
    np.testing.assert_array_equal(a, kept(1234))
    assert np.all(np.diff(a) > 0) and len(set(a) & set(c)) < 30  # independent draws share ~12.5


@pytest.mark.parametrize("n", [50, 10**6])
@pytest.mark.parametrize("use_weights", [False, True])
def test_enough_requested_returns_input(rng, n, use_weights):
    positions, offsets = tractogram(rng, 50)
    weights = rng.uniform(0, 1, 50).astype(np.float32) if use_weights else None
    pos, off, w, stats = core.subsample_streamlines(positions, offsets, weights, n, 9)
    np.testing.assert_array_equal(pos, positions.ravel())
    np.testing.assert_array_equal(off, offsets)
    assert (w is None) if weights is None else np.array_equal(w, weights)
    assert stats == {"kept": 50, "total": 50, "vertex_fraction": 1.0, "weight_fraction": 1.0,
                     "summary": "subsample: 50 >= 50 streamlines, keeping all"}
    assert list(stats) == ["kept", "total", "vertex_fraction", "weight_fraction", "summary"]
    *_, stats = core.subsample_streamlines(np.zeros((0, 3)), np.array([0], np.uint32), None, 0, 1)
    assert stats["summary"] == "subsample: 0 >= 0 streamlines, keeping all"


@pytest.mark.parametrize("use_weights", [False, True])
def test_zero_requested_is_an_empty_selection(rng, use_weights):
    positions, offsets = tractogram(rng, 5)
    pos, off, w, stats = core.subsample_streamlines(positions, offsets, np.ones(5, np.float32) if use_weights else None,
                                                    0, 3)
    assert pos.shape == (0,) and list(off) == [0] and (w is None) != use_weights
    assert stats["summary"] == "subsample: kept 0/5 streamlines (seed 3), 0.0% of vertices, 0.0% of weight -> uniform"


def test_uniform_weights_and_summaries():
    _, _, w, _ = core.subsample_streamlines(np.zeros((4, 3)), np.arange(5, dtype=np.uint32),
                                            np.array([1, 2, 3, 4], np.float32), 2, 77)
    assert w.dtype == np.float32 and list(w) == [5.0, 5.0]
    one_point_each = (np.zeros((8, 3)), np.arange(9, dtype=np.uint32))
    *_, stats = core.subsample_streamlines(*one_point_each, None, 1, 7)
    assert stats["summary"] == "subsample: kept 1/8 streamlines (seed 7), 12.5% of vertices, 12.5% of weight -> uniform"
    *_, stats = core.subsample_streamlines(*one_point_each, None, 3, M64)
    assert stats["summary"] == f"subsample: kept 3/8 streamlines (seed {M64}), 37.5% of vertices, 37.5% of weight -> uniform"
    _, _, w, stats = core.subsample_streamlines(*one_point_each, np.zeros(8, np.float32), 4, 0)
    assert math.isnan(stats["weight_fraction"]) and list(w) == [0] * 4
    assert stats["summary"].endswith("50.0% of vertices, NaN% of weight -> uniform")


@pytest.mark.parametrize("seed", range(10))
def test_negligible_weight_is_dropped(rng, seed):
    positions, offsets = tractogram(rng, 30)
    weights = np.ones(30, np.float32)
    weights[seed] = 1e-9
    *_, stats = core.subsample_streamlines(positions, offsets, weights, 29, seed)
    assert stats["weight_fraction"] == pytest.approx(29 / (29 + 1e-9), rel=1e-12)


def test_equal_keys_keep_the_lowest_indices():
    # Infinite weights all give the key -0.0.
    pos, *_ = core.subsample_streamlines(np.arange(12.0).reshape(4, 3), np.arange(5, dtype=np.uint32),
                                         np.full(4, np.inf, np.float32), 2, 99)
    np.testing.assert_array_equal(pos, np.arange(6.0))


@pytest.mark.parametrize("positions, offsets, weights, n, message", [
    (np.zeros((3, 2)), [0, 3], None, 1, "positions must have shape (n, 3), got [3, 2]"),
    (np.zeros((3, 3)), [], None, 1, CSR),
    (np.zeros((3, 3)), [0, 2], np.ones(5, np.float32), 1, CSR),
    (np.zeros((3, 3)), [0, 4, 3], None, 1, "offsets[1] = 4 is beyond the number of points (3)"),
    # Checked even when every streamline would pass through untouched.
    (np.zeros((3, 3)), [0, 2, 1, 3], None, 10, "offsets must not decrease: offsets[1] = 2 > offsets[2] = 1"),
    (np.zeros((3, 3)), [0, 1, 3], np.ones(3, np.float32), 1, "weights: expected 2 values, got 3"),
    (np.zeros((3, 3)), [0, 1, 3], np.ones(4, np.float32)[::2], 1, "The given array is not contiguous or is misaligned."),
])
def test_value_errors(positions, offsets, weights, n, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        core.subsample_streamlines(positions, np.array(offsets, np.uint32), weights, n, 0)


@pytest.mark.parametrize("name, value, error", [("weights", np.ones(1), TypeError), ("n", -1, OverflowError),
                                                ("seed", 2**64, OverflowError)])
def test_type_errors_name_the_argument(name, value, error):
    args = dict(positions=np.zeros((1, 3)), offsets=np.array([0, 1], np.uint32), weights=None, n=1, seed=0)
    with pytest.raises(error) as e:
        core.subsample_streamlines(**(args | {name: value}))
    assert f"while processing '{name}'" in e.value.__notes__
