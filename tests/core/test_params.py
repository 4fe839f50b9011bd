"""Tissue parameter presets and the parameter dictionary codec."""

import numpy as np
import pytest

import quorvel._core as core
from conftest import raises

NAMES = "'neonatal', 'adult' or 'infant'"
NEONATAL = dict(b_value=1000.0, fiber_radius_mm=1.0, intra_frac=0.55, extra_frac=0.45, d_intra=0.0015,
                d_extra=(0.0015, 0.0006, 0.0006), d_gm=0.0012, d_csf=0.003, t2_fiber=180.0, t2_gm=220.0,
                t2_csf=2500.0, gm_restricted_frac=0.15, d_soma=0.0003)
PRESETS = {
    "neonatal": NEONATAL,
    "infant": NEONATAL | dict(intra_frac=0.35, extra_frac=0.65, d_intra=0.0019, d_extra=(0.0019, 0.0012, 0.0012),
                              d_gm=0.0013, gm_restricted_frac=0.25),
    "adult": NEONATAL | dict(d_intra=0.0017, d_extra=(0.0017, 0.0006, 0.0006), d_gm=0.00085, t2_fiber=68.0,
                             t2_gm=76.0, t2_csf=2000.0, gm_restricted_frac=0.2),
}


def decoded(params):
    """The parameter record a mixture keeps, as Mixture.params() writes it back."""
    return core.mixture_from_fibers((1, 1, 1), np.zeros(0, np.uint32), np.zeros((0, 3)), np.zeros(0),
                                    *[np.ones(1, np.float32)] * 4, params, sphere_level=0).params()


@pytest.mark.parametrize("name", sorted(PRESETS))
def test_presets_hold_the_table_values_in_field_order(name):
    got = core.tissue_preset(name)
    assert got == PRESETS[name] and list(got) == list(PRESETS[name])
    assert all(type(v) is float for k, v in got.items() if k != "d_extra") and type(got["d_extra"]) is tuple
    assert decoded({"preset": name}) == got


@pytest.mark.parametrize("given, expected", [
    ({}, NEONATAL),
    ({"preset": None, "d_extra": None, "unknown": "ignored"}, NEONATAL),
    ({"preset": "infant", "intra_frac": 0.5}, PRESETS["infant"] | {"intra_frac": 0.5}),
    ({"preset": "adult", "b_value": True, "d_extra": (1, 2, np.float32(3))},
     PRESETS["adult"] | {"b_value": 1.0, "d_extra": (1.0, 2.0, 3.0)}),
    ({"t2_gm": 123.4, "d_csf": 0.002, "d_soma": 7}, NEONATAL | {"t2_gm": float(np.float32(123.4)),
                                                                            "d_csf": 0.002, "d_soma": 7.0}),
])
def test_dictionary_round_trip(given, expected):
    snapshot = dict(given)
    got = decoded(given)
    assert got == expected and list(got) == list(NEONATAL)
    assert given == snapshot  # the caller's dictionary is not changed


@pytest.mark.parametrize("call, arg, message", [
    (decoded, {"preset": "Adult"}, f'preset: expected {NAMES}, got "Adult"'),
    (decoded, {"preset": 1}, "preset: expected a string"),
    (decoded, {"b_value": "1000"}, "b_value: expected a number"),
    (decoded, {"t2_csf": "x", "d_intra": "y"}, "d_intra: expected a number"),  # the first key in field order
    *[(decoded, {"d_extra": v}, "d_extra: expected a 3-tuple of eigenvalues")
      for v in ([1.0, 2.0, 3.0], (1.0, 2.0), (1.0, "2", 3.0))],
    (core.tissue_preset, "Adult", f'unknown tissue preset "Adult"; expected {NAMES}'),
    (core.tissue_preset, "", f'unknown tissue preset ""; expected {NAMES}'),
    (core.tissue_preset, 'ne"o\n', rf'unknown tissue preset "ne\"o\n"; expected {NAMES}'),
])
def test_errors(call, arg, message):
    raises(ValueError, message, lambda: call(arg))


@pytest.mark.parametrize("bvals, bvecs, q2", [
    ([0, 1000, 2000], [[3, 0, 0], [0, 0, 2], [0, 0, 1e-7]], [0, 0.5, 0]),  # b = 0 and vanishing vectors: no q
    ([40, 50, -5], [[1, 0, 0], [0, 1, 0], [0, 0, 1]], [0, 1, 0]),  # below b = 50 unweighted; b_max ignores b < 0
    ([np.nan, 500], [[0, 2, 0], [1, 0, 0]], [np.nan, 1]),  # a NaN b-value does not count towards b_max
])
def test_gradient_table_cleaning(bvals, bvecs, q2):
    # With b_value = d_csf = 1 the CSF signal is exp(-|q|^2).
    _, _, csf = core.voxel_signal(np.array(bvals, float), np.array(bvecs, float), np.zeros((0, 3)), np.zeros(0),
                                  0.0, 0.0, 1.0, {"b_value": 1.0, "d_csf": 1.0})
    np.testing.assert_allclose(-np.log(csf), q2, rtol=1e-15, atol=1e-300)
