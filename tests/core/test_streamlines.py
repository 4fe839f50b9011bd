"""Weighted streamline subsampling."""
import math

import numpy as np
import pytest

import quorvel._core as core
from conftest import GOLDEN, M64, raises, splitmix

CSR = "offsets must be CSR: length n_streamlines+1, last entry == number of points"
ONE_POINT_EACH = (np.zeros((8, 3)), np.arange(9, dtype=np.uint32))


def tractogram(rng, n):
    offsets = np.concatenate([[0], np.cumsum(rng.integers(0, 7, n))]).astype(np.uint32)
    return rng.normal(size=(int(offsets[-1]), 3)), offsets


def reference_keys(seed, weights, n):
    """ln(u)/w with u from the SplitMix64 finaliser, in Python integers."""
    keys = []
    for i in range(n):
        z = splitmix(((seed ^ ((i * 0xA24BAED4963EE407) & M64)) + GOLDEN) & M64)
        w = 1.0 if weights is None else float(weights[i])
        keys.append(math.log(((z >> 11) + 0.5) * 2.0**-53) / (w if w > 1e-12 else 1e-12))
    return np.array(keys)


@pytest.mark.parametrize("weighting", [None, "odd", "infinite"])
@pytest.mark.parametrize("seed", [0, 1234, 1234 ^ 1, M64])
def test_selection_matches_reference(rng, weighting, seed):
    positions, offsets = tractogram(rng, 40)
    weights, n = None, 11
    if weighting:  # with 38 of 40 kept, the floor of 1e-12 decides among the three tiny weights
        weights, n = rng.uniform(0.1, 5.0, 40).astype(np.float32), 38
        weights[[3, 7, 9]] = np.nan, -2.0, 3e-12  # NaN and -2 count as 1e-12
        weights = np.full(40, np.inf, np.float32) if weighting == "infinite" else weights  # every key -0.0: a tie
    pos, off, w, stats = core.subsample_streamlines(positions, offsets, weights, n, seed)
    kept = np.sort(np.argsort(-reference_keys(seed, weights, 40), kind="stable")[:n])  # ties keep the lowest indices
    # Kept streamlines come in their given order with their points unchanged.
    expected = [positions[offsets[s]:offsets[s + 1]] for s in kept]
    np.testing.assert_array_equal(pos, np.concatenate(expected).ravel())
    np.testing.assert_array_equal(off, np.cumsum([0] + [len(p) for p in expected]))
    assert off.dtype == np.uint32 and stats["vertex_fraction"] == off[-1] / len(positions)
    if weighting:  # the NaN weight is summed as given
        np.testing.assert_array_equal(w, np.full(n, np.float32(weights.astype(float).sum() / n)))
    else:
        assert w is None and stats["weight_fraction"] == 11 / 40


@pytest.mark.parametrize("n", [50, 10**6])
@pytest.mark.parametrize("use_weights", [False, True])
def test_enough_requested_returns_the_input(rng, n, use_weights):
    positions, offsets = tractogram(rng, 50)
    weights = rng.uniform(0, 1, 50).astype(np.float32) if use_weights else None
    pos, off, w, stats = core.subsample_streamlines(positions, offsets, weights, n, 9)
    np.testing.assert_array_equal(pos, positions.ravel())
    np.testing.assert_array_equal(off, offsets)
    assert (w is None) if weights is None else np.array_equal(w, weights)
    assert list(stats.items()) == [("kept", 50), ("total", 50), ("vertex_fraction", 1.0), ("weight_fraction", 1.0),
                                   ("summary", "subsample: 50 >= 50 streamlines, keeping all")]
    *_, stats = core.subsample_streamlines(np.zeros((0, 3)), np.array([0], np.uint32), None, 0, 1)
    assert stats["summary"] == "subsample: 0 >= 0 streamlines, keeping all"


@pytest.mark.parametrize("weights, n, seed, new_weights, summary", [
    (None, 0, 3, None, "kept 0/8 streamlines (seed 3), 0.0% of vertices, 0.0% of weight"),
    (np.ones(8), 0, 3, [], "kept 0/8 streamlines (seed 3), 0.0% of vertices, 0.0% of weight"),
    (None, 1, 7, None, "kept 1/8 streamlines (seed 7), 12.5% of vertices, 12.5% of weight"),
    (None, 3, M64, None, f"kept 3/8 streamlines (seed {M64}), 37.5% of vertices, 37.5% of weight"),
    (np.zeros(8), 4, 0, [0] * 4, "kept 4/8 streamlines (seed 0), 50.0% of vertices, NaN% of weight"),
    ([1, 2, 3, 4, 0, 0, 0, 0], 2, 77, [5.0, 5.0], None),  # the total weight is kept
])
def test_uniform_weights_and_summaries(weights, n, seed, new_weights, summary):
    w = None if weights is None else np.array(weights, np.float32)
    _, off, got, stats = core.subsample_streamlines(*ONE_POINT_EACH, w, n, seed)
    assert len(off) == n + 1 and (got is None if new_weights is None else list(got) == new_weights)
    assert summary is None or stats["summary"] == f"subsample: {summary} -> uniform"


@pytest.mark.parametrize("change, error, message", [
    ({"positions": np.zeros((3, 2))}, ValueError, "positions must have shape (n, 3), got [3, 2]"),
    ({"offsets": []}, ValueError, CSR),
    ({"offsets": [0, 2], "weights": np.ones(5, np.float32)}, ValueError, CSR),
    ({"offsets": [1, 3]}, ValueError, "offsets must start at 0: offsets[0] = 1 leaves the first points out of every streamline"),
    ({"offsets": [0, 4, 3]}, ValueError, "offsets[1] = 4 is beyond the number of points (3)"),
    # Checked even when every streamline would pass through untouched.
    ({"offsets": [0, 2, 1, 3], "n": 10}, ValueError, "offsets must not decrease: offsets[1] = 2 > offsets[2] = 1"),
    ({"weights": np.ones(3, np.float32)}, ValueError, "weights: expected 2 values, got 3"),
    ({"weights": np.ones(2)}, TypeError, "while processing 'weights'"),
    ({"n": -1}, OverflowError, "while processing 'n'"),
    ({"seed": 2**64}, OverflowError, "while processing 'seed'"),
])
def test_argument_errors(change, error, message):
    args = dict(positions=np.zeros((3, 3)), offsets=[0, 1, 3], weights=None, n=1, seed=0) | change
    raises(error, message, lambda: core.subsample_streamlines(**(args | {"offsets": np.array(args["offsets"], np.uint32)})))
