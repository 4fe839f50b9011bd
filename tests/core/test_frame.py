"""Module frame: registration, text signatures, version and scalar names."""
import inspect

import pytest

import quorvel
import quorvel._core as core

CLASSES = ["Mixture", "Compartments", "GradCoef", "GnlField"]
FUNCTIONS = [
    "build_mixture", "mixture_from_fibers", "signal_from_mixture", "signal_moving", "dropout_seed",
    "dropout_events", "resolve_poses", "poses_to_matrices", "fov_center", "simulate_acquisition",
    "sampling_mask", "epi_timing", "epi_trajectory", "acquisition_defaults", "acquisition_hbcd",
    "gre_synthesize", "subsample_streamlines", "hires_grid", "reorient_to_las", "reorient_identity",
    "apply_reorient", "reorient_affine", "out_ped", "fsl_bvecs", "voxel_signal", "voxel_truth",
    "box_hires", "step_hires", "core_version", "scalar_names", "tissue_preset", "set_threads",
    "current_threads",
]
SIGNATURES = {  # the rest are checked beside their functions
    "build_mixture": "(dims, wm, gm, csf, mask, affine, positions, offsets, weights, params, kappa=None, "
                     "myelin=None, sphere_level=3)",
    "mixture_from_fibers": "(dims, voxel, dirs, weight, wm, gm, csf, mask, params, kappa=None, sphere_level=3)",
    "subsample_streamlines": "(positions, offsets, weights, n, seed)", "hires_grid": "(affine, dims, o)",
    "reorient_to_las": "(affine, dims)", "reorient_identity": "(dims)", "apply_reorient": "(data, ngrad, reorient)",
    "reorient_affine": "(affine, reorient)", "out_ped": "(reorient, in_pe_axis, in_pe_sign)",
    "fsl_bvecs": "(bvecs, affine)", "core_version": "()", "scalar_names": "()", "tissue_preset": "(name)",
    "set_threads": "(n)", "current_threads": "()",
}
SCALARS = ["fa", "md", "rd", "ad", "ak", "rk", "mk", "mkt", "kfa", "micro_fa", "coherence", "k_bulk",
           "k_shear", "rtop", "rtap", "rtpp", "msd", "qiv", "ng", "ngpar", "ngperp", "pa", "gfa", "qa",
           "icvf", "odi", "isovf"]


def test_registration_signatures_docstrings_version_and_scalar_names():
    assert core.__all__ == CLASSES + FUNCTIONS
    docs = []
    for name in CLASSES:
        cls = getattr(core, name)
        assert cls.__module__ == "quorvel._core"
        with pytest.raises(TypeError):
            cls()
        members = [m for m in vars(cls) if not m.startswith("__")]
        assert all(getattr(cls, m).__doc__ for m in members), name  # help() shows text for every member
        docs += [cls.__doc__] + [getattr(cls, m).__doc__ for m in members]
    for name in FUNCTIONS:  # every docstring opens with a text signature and has a body
        assert getattr(quorvel, name) is getattr(core, name) and inspect.signature(getattr(core, name))
        assert getattr(core, name).__doc__, name
        docs.append(getattr(core, name).__doc__)
    # Written for Python users: no command-line tool, no C++ scope names.
    assert [d for d in docs if "CLI" in d or "::" in d] == []
    for name, signature in SIGNATURES.items():
        assert str(inspect.signature(getattr(core, name))) == signature, name
    assert core.core_version() == quorvel.__version__ == "0.2.1"
    names = core.scalar_names()
    names.clear()  # a fresh list each call
    assert core.scalar_names() == SCALARS
