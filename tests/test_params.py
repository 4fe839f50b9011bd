"""Tissue parameter presets."""
import pytest

import quorvel._core as core

PRESETS = {
    "neonatal": dict(b_value=1000.0, fiber_radius_mm=1.0, intra_frac=0.55, extra_frac=0.45, d_intra=0.0015,
                     d_extra=(0.0015, 0.0006, 0.0006), d_gm=0.0012, d_csf=0.003, t2_fiber=180.0, t2_gm=220.0,
                     t2_csf=2500.0, gm_restricted_frac=0.15, d_soma=0.0003),
    "infant": dict(b_value=1000.0, fiber_radius_mm=1.0, intra_frac=0.35, extra_frac=0.65, d_intra=0.0019,
                   d_extra=(0.0019, 0.0012, 0.0012), d_gm=0.0013, d_csf=0.003, t2_fiber=180.0, t2_gm=220.0,
                   t2_csf=2500.0, gm_restricted_frac=0.25, d_soma=0.0003),
    "adult": dict(b_value=1000.0, fiber_radius_mm=1.0, intra_frac=0.55, extra_frac=0.45, d_intra=0.0017,
                  d_extra=(0.0017, 0.0006, 0.0006), d_gm=0.00085, d_csf=0.003, t2_fiber=68.0, t2_gm=76.0,
                  t2_csf=2000.0, gm_restricted_frac=0.2, d_soma=0.0003),
}


@pytest.mark.parametrize("name", sorted(PRESETS))
def test_presets_hold_the_table_values_in_field_order(name):
    got = core.tissue_preset(name)
    assert list(got) == list(PRESETS[name])
    assert got == PRESETS[name]
    assert all(type(v) is float for k, v in got.items() if k != "d_extra")
    assert type(got["d_extra"]) is tuple


@pytest.mark.parametrize("name,shown", [("Adult", '"Adult"'), ("", '""'), (" adult", '" adult"'),
                                        ('ne"o', r'"ne\\"o"')])
def test_unknown_presets(name, shown):
    with pytest.raises(ValueError) as info:
        core.tissue_preset(name)
    assert str(info.value) == f"unknown tissue preset {shown}; expected 'neonatal', 'adult' or 'infant'".replace(
        "\\\\", "\\")
