import re

import pytest

import quorvel._core as core

DEFAULTS = dict(t_line=1.0, t_echo=90.0, t_inhom=50.0, signal_scale=100.0, reverse_phase=False, do_distortions=True,
                do_relaxation=True, noise_variance=0.0, partial_fourier=1.0, pf_mode="scanner", ghost_offset=0.0,
                eddy_strength=0.0, eddy_quad=0.0, eddy_phase=0.0, eddy_tau=70.0, n_spikes=0, spike_amplitude=1.0,
                n_coils=1, accel=1, acs_lines=24, seed=0)
CUSTOM = dict(t_line=0.5, t_echo=60.0, t_inhom=20.0, signal_scale=3.0, reverse_phase=True, do_distortions=False,
              do_relaxation=False, noise_variance=0.25, partial_fourier=0.625, pf_mode="fiberfox", ghost_offset=0.01,
              eddy_strength=0.2, eddy_quad=0.3, eddy_phase=0.4, eddy_tau=10.0, n_spikes=3, spike_amplitude=2.5,
              n_coils=8, accel=2, acs_lines=16, seed=2**64 - 1)


def test_defaults_none_and_round_trip():
    out = core.acquisition_defaults({})
    assert list(out.items()) == list(DEFAULTS.items())
    assert [type(v) for v in out.values()] == [type(v) for v in DEFAULTS.values()]
    assert core.acquisition_defaults(dict.fromkeys([*DEFAULTS, "window"])) == DEFAULTS
    for window in ["none", "hann", ("tukey", 0.5), ("fermi", 1.0, 2.0, "ignored")]:
        assert core.acquisition_defaults({**CUSTOM, "window": window}) == CUSTOM
    assert core.acquisition_defaults({"pf_mode": "contiguous"})["pf_mode"] == "contiguous"


UNKNOWN_NAME = "window: unknown name \"tukey\"; use 'none', 'hann', ('tukey', a) or ('fermi', r, w)"
PF_MODE = "pf_mode: expected 'scanner', 'contiguous' or 'fiberfox', got "


@pytest.mark.parametrize("acq, exc, message", [
    ({"window": "tukey"}, ValueError, UNKNOWN_NAME),
    ({"window": ["hann"]}, ValueError, "window: expected a string or tuple"),
    ({"window": ("blackman", 1.0)}, ValueError, 'window: unknown kind "blackman"'),
    ({"window": ("hann",)}, ValueError, 'window: unknown kind "hann"'),
    ({"window": ('a"b',)}, ValueError, 'window: unknown kind "a\\"b"'),
    ({"window": ("fermi", 0.5)}, IndexError, ""),
    ({"window": (1, 2)}, TypeError, ""),
    ({"window": ("tukey", "0.5")}, TypeError, ""),
    ({"pf_mode": "Scanner"}, ValueError, PF_MODE + '"Scanner"'),
    ({"pf_mode": 2}, ValueError, "pf_mode: expected a string"),
    ({1: 2.0}, TypeError, ""),
    # window, then pf_mode, then unknown keys in the dict's order, then the fields in record order
    ({"t_lines": 1.0, "pf_mode": "x", "window": "tukey"}, ValueError, UNKNOWN_NAME),
    ({"t_lines": 1.0, "pf_mode": "x"}, ValueError, PF_MODE + '"x"'),
    ({"t_line": "1.0", "zz": 1, "yy": 2}, ValueError, 'acquisition: unknown field "zz"'),
    ({"accel": -1, "t_line": "1.0"}, ValueError, "t_line: expected a number"),
    ({"seed": -1, "n_coils": -1}, ValueError, "n_coils: expected a non-negative integer"),
    ({"seed": 2**64}, ValueError, "seed: expected a non-negative integer"),
    ({"reverse_phase": 1}, ValueError, "reverse_phase: expected a bool"),
])
def test_decoding_errors_and_their_order(acq, exc, message):
    with pytest.raises(exc, match="^" + re.escape(message)) as info:
        core.acquisition_defaults(acq)
    assert type(info.value) is exc


@pytest.mark.parametrize("fn", [core.epi_timing, core.epi_trajectory, core.sampling_mask])
def test_readout_functions_decode_the_same_way(fn):
    with pytest.raises(ValueError, match=re.escape('acquisition: unknown field "t_lines"')):
        fn(4, 4, {"t_lines": 1.0})
    with pytest.raises(TypeError, match="is not an instance of 'dict'") as info:
        fn(4, 4, [("t_line", 1.0)])
    assert "while processing 'acquisition'" in info.value.__notes__


@pytest.mark.parametrize("ny, t_line", [(0, 91.7), (1, 91.7), (100, 91.7 / 100)])
def test_hbcd_preset(ny, t_line):
    out = core.acquisition_hbcd(ny)
    assert list(out.items()) == [("t_line", t_line), ("t_echo", 88.0), ("t_inhom", 50.0), ("partial_fourier", 0.75),
                                 ("pf_mode", "scanner"), ("ghost_offset", 0.015), ("acs_lines", 24),
                                 ("signal_scale", 100.0)]
    assert type(out["acs_lines"]) is int
