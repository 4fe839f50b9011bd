import re

import numpy as np
import pytest

import quorvel._core as core

DEFAULTS = {
    "t_line": 1.0,
    "t_echo": 90.0,
    "t_inhom": 50.0,
    "signal_scale": 100.0,
    "reverse_phase": False,
    "do_distortions": True,
    "do_relaxation": True,
    "noise_variance": 0.0,
    "partial_fourier": 1.0,
    "pf_mode": "scanner",
    "ghost_offset": 0.0,
    "eddy_strength": 0.0,
    "eddy_quad": 0.0,
    "eddy_phase": 0.0,
    "eddy_tau": 70.0,
    "n_spikes": 0,
    "spike_amplitude": 1.0,
    "n_coils": 1,
    "accel": 1,
    "acs_lines": 24,
    "seed": 0,
}

CUSTOM = {
    "t_line": 0.5,
    "t_echo": 60.0,
    "t_inhom": 20.0,
    "signal_scale": 3.0,
    "reverse_phase": True,
    "do_distortions": False,
    "do_relaxation": False,
    "noise_variance": 0.25,
    "partial_fourier": 0.625,
    "pf_mode": "fiberfox",
    "ghost_offset": 0.01,
    "eddy_strength": 0.2,
    "eddy_quad": 0.3,
    "eddy_phase": 0.4,
    "eddy_tau": 10.0,
    "n_spikes": 3,
    "spike_amplitude": 2.5,
    "n_coils": 8,
    "accel": 2,
    "acs_lines": 16,
    "seed": 2**64 - 1,
}


def test_empty_dict_gives_defaults_in_field_order():
    out = core.acquisition_defaults({})
    assert list(out) == list(DEFAULTS)
    assert out == DEFAULTS
    assert [type(v) for v in out.values()] == [type(v) for v in DEFAULTS.values()]


def test_every_field_round_trips():
    assert core.acquisition_defaults({**CUSTOM, "window": ("fermi", 0.9, 0.05)}) == CUSTOM


def test_none_means_default():
    given = {k: None for k in DEFAULTS} | {"window": None}
    assert core.acquisition_defaults(given) == DEFAULTS


def test_numpy_scalars_and_dict_subclass_are_read():
    class Sub(dict):
        pass

    out = core.acquisition_defaults(Sub(t_line=np.float32(0.5), reverse_phase=np.bool_(True), accel=np.uint8(3)))
    assert (out["t_line"], out["reverse_phase"], out["accel"]) == (0.5, True, 3)
    # Integers and booleans are numbers for the float fields.
    assert core.acquisition_defaults({"t_echo": 7, "eddy_tau": True})["t_echo"] == 7.0


@pytest.mark.parametrize("window", ["none", "hann", ("tukey", 0.5), ("fermi", 0.8, 0.1),
                                    ("tukey", 1, "ignored"), ("fermi", 1.0, 2.0, None)])
def test_valid_windows(window):
    assert core.acquisition_defaults({"window": window}) == DEFAULTS


@pytest.mark.parametrize(
    "window, exc, message",
    [
        ("tukey", ValueError, "window: unknown name \"tukey\"; use 'none', 'hann', ('tukey', a) or ('fermi', r, w)"),
        ("Hann", ValueError, 'window: unknown name "Hann"'),
        (["hann"], ValueError, "window: expected a string or tuple"),
        (0.5, ValueError, "window: expected a string or tuple"),
        (("blackman", 1.0), ValueError, 'window: unknown kind "blackman"'),
        (("hann",), ValueError, 'window: unknown kind "hann"'),
        (("none",), ValueError, 'window: unknown kind "none"'),
        (('a"b',), ValueError, 'window: unknown kind "a\\"b"'),
        (("tukey",), IndexError, ""),
        (("fermi", 0.5), IndexError, ""),
        ((), IndexError, ""),
        ((1, 2), TypeError, ""),
        (("tukey", "0.5"), TypeError, ""),
    ],
)
def test_bad_windows(window, exc, message):
    with pytest.raises(exc, match="^" + re.escape(message)) as info:
        core.acquisition_defaults({"window": window})
    assert type(info.value) is exc


@pytest.mark.parametrize("mode", ["scanner", "contiguous", "fiberfox"])
def test_pf_modes_echo(mode):
    assert core.acquisition_defaults({"pf_mode": mode})["pf_mode"] == mode


@pytest.mark.parametrize(
    "mode, message",
    [
        ("Scanner", "pf_mode: expected 'scanner', 'contiguous' or 'fiberfox', got \"Scanner\""),
        ("", "pf_mode: expected 'scanner', 'contiguous' or 'fiberfox', got \"\""),
        (2, "pf_mode: expected a string"),
    ],
)
def test_bad_pf_mode(mode, message):
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        core.acquisition_defaults({"pf_mode": mode})


@pytest.mark.parametrize(
    "acq, message",
    [
        # window, then pf_mode, then unknown keys, then the fields in record order.
        ({"t_lines": 1.0}, 'acquisition: unknown field "t_lines"'),
        ({"t_lines": 1.0, "window": "tukey"}, 'window: unknown name "tukey"'),
        ({"t_lines": 1.0, "pf_mode": "x"}, "pf_mode: expected 'scanner'"),
        ({"window": "tukey", "pf_mode": "x"}, 'window: unknown name "tukey"'),
        ({"t_line": "1.0", "zz": 1, "yy": 2}, 'acquisition: unknown field "zz"'),
        ({"accel": -1, "t_line": "1.0"}, "t_line: expected a number"),
        ({"seed": -1, "n_coils": -1}, "n_coils: expected a non-negative integer"),
        ({"n_coils": -1}, "n_coils: expected a non-negative integer"),
        ({"n_spikes": 1.0}, "n_spikes: expected a non-negative integer"),
        ({"seed": 2**64}, "seed: expected a non-negative integer"),
        ({"reverse_phase": 1}, "reverse_phase: expected a bool"),
        ({"do_relaxation": "yes"}, "do_relaxation: expected a bool"),
        ({"eddy_tau": "70"}, "eddy_tau: expected a number"),
    ],
)
def test_decoding_errors_and_their_order(acq, message):
    with pytest.raises(ValueError, match="^" + re.escape(message)):
        core.acquisition_defaults(acq)


def test_non_string_key_is_a_type_error():
    with pytest.raises(TypeError):
        core.acquisition_defaults({1: 2.0})


def test_acquisition_must_be_a_dict():
    with pytest.raises(TypeError, match="is not an instance of 'dict'") as info:
        core.acquisition_defaults([("t_line", 1.0)])
    assert "while processing 'acquisition'" in info.value.__notes__


@pytest.mark.parametrize("fn", [core.epi_timing, core.epi_trajectory, core.sampling_mask])
def test_readout_functions_decode_the_same_way(fn):
    with pytest.raises(ValueError, match=re.escape('acquisition: unknown field "t_lines"')):
        fn(4, 4, {"t_lines": 1.0})
    with pytest.raises(TypeError):
        fn(4, 4, None)


@pytest.mark.parametrize("ny, t_line", [(0, 91.7), (1, 91.7), (100, 91.7 / 100), (7, 91.7 / 7)])
def test_hbcd_preset(ny, t_line):
    out = core.acquisition_hbcd(ny)
    assert list(out) == ["t_line", "t_echo", "t_inhom", "partial_fourier", "pf_mode", "ghost_offset",
                         "acs_lines", "signal_scale"]
    assert out == {
        "t_line": t_line,
        "t_echo": 88.0,
        "t_inhom": 50.0,
        "partial_fourier": 0.75,
        "pf_mode": "scanner",
        "ghost_offset": 0.015,
        "acs_lines": 24,
        "signal_scale": 100.0,
    }
    assert type(out["acs_lines"]) is int


def test_hbcd_preset_round_trips_through_the_decoder():
    out = core.acquisition_defaults(core.acquisition_hbcd(64))
    assert out["t_line"] == 91.7 / 64 and out["partial_fourier"] == 0.75 and out["eddy_tau"] == 70.0


def test_hbcd_rejects_negative_ny():
    with pytest.raises(OverflowError) as info:
        core.acquisition_hbcd(-1)
    assert "while processing 'ny'" in info.value.__notes__
