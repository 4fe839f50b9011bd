"""Module frame: registration, text signatures, version, scalar names and the worker pool."""
import inspect
import os

import pytest

import quorvel
import quorvel._core as core
from conftest import run_isolated

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

SIGNATURES = {
    "build_mixture": "(dims, wm, gm, csf, mask, affine, positions, offsets, weights, params, kappa=None, myelin=None, sphere_level=3)",
    "mixture_from_fibers": "(dims, voxel, dirs, weight, wm, gm, csf, mask, params, kappa=None, sphere_level=3)",
    "signal_from_mixture": "(mix, bvals, bvecs, gnl=None)",
    "signal_moving": "(dims, wm, gm, csf, mask, affine, positions, offsets, bvals, bvecs, params, poses)",
    "dropout_seed": "(run_seed)",
    "dropout_events": "(bvals, n_shots, rate, seed)",
    "resolve_poses": "(kind, n_units, seed=0, trans_mm=None, rot_deg=None, volumes=None, poses=None)",
    "poses_to_matrices": "(poses, center)",
    "fov_center": "(dims, affine)",
    "sampling_mask": "(nx, ny, acquisition)",
    "epi_timing": "(nx, ny, acquisition)",
    "epi_trajectory": "(nx, ny, acquisition)",
    "acquisition_defaults": "(acquisition)",
    "acquisition_hbcd": "(ny)",
    "subsample_streamlines": "(positions, offsets, weights, n, seed)",
    "hires_grid": "(affine, dims, o)",
    "reorient_to_las": "(affine, dims)",
    "reorient_identity": "(dims)",
    "apply_reorient": "(data, ngrad, reorient)",
    "reorient_affine": "(affine, reorient)",
    "out_ped": "(reorient, in_pe_axis, in_pe_sign)",
    "fsl_bvecs": "(bvecs, affine)",
    "voxel_signal": "(bvals, bvecs, dirs, weights, wm, gm, csf, params)",
    "voxel_truth": "(dirs, weights, wm, gm, csf, params, tau=None, d_perp_floor=None, ng_floor=None, ng_top_k=None)",
    "box_hires": "(snx, sny, x0, x1, y0, y1)",
    "step_hires": "(snx, sny, edge)",
    "core_version": "()",
    "scalar_names": "()",
    "tissue_preset": "(name)",
    "set_threads": "(n)",
    "current_threads": "()",
}

SCALARS = ["fa", "md", "rd", "ad", "ak", "rk", "mk", "mkt", "kfa", "micro_fa", "coherence", "k_bulk",
           "k_shear", "rtop", "rtap", "rtpp", "msd", "qiv", "ng", "ngpar", "ngperp", "pa", "gfa", "qa",
           "icvf", "odi", "isovf"]


def test_all_lists_classes_then_functions_in_registration_order():
    assert core.__all__ == [n for n in CLASSES + FUNCTIONS if hasattr(core, n)]
    assert quorvel.__all__ == core.__all__
    for name in core.__all__:
        assert getattr(quorvel, name) is getattr(core, name)


@pytest.mark.parametrize("name", CLASSES)
def test_classes_belong_to_the_core_module_and_have_no_constructor(name):
    cls = getattr(core, name, None)
    if cls is None:
        pytest.skip(f"{name} is not registered in this build")
    assert cls.__module__ == "quorvel._core"
    with pytest.raises(TypeError):
        cls()


@pytest.mark.parametrize("name,signature", sorted(SIGNATURES.items()))
def test_text_signatures(name, signature):
    if not hasattr(core, name):
        pytest.skip(f"{name} is not registered in this build")
    assert str(inspect.signature(getattr(core, name))) == signature


def test_docstrings_hold_the_body_after_the_signature():
    assert core.scalar_names.__doc__ == (
        "The names of the 27 closed-form microstructure maps, in `Mixture.scalars()` order.")
    assert core.set_threads.__doc__ == (
        "Size the rayon thread pool (once, before the first parallel call). Returns False if the pool\n"
        "was already built.")
    assert core.hires_grid.__doc__ == "The simulation grid for oversampling `o`: `(affine flat 16, dims)`."


def test_version_and_scalar_names():
    assert core.core_version() == "0.2.1"
    assert quorvel.__version__ == "0.2.1"
    names = core.scalar_names()
    assert names == SCALARS
    names.clear()
    assert core.scalar_names() == SCALARS


@pytest.mark.parametrize("func", [core.core_version, core.scalar_names, core.current_threads])
def test_argumentless_functions_refuse_arguments(func):
    with pytest.raises(TypeError):
        func(1)


def test_argument_errors_use_the_interpreters_wording():
    with pytest.raises(TypeError, match=r"missing required argument 'n'"):
        core.set_threads()
    with pytest.raises(TypeError, match=r"at most 1 argument"):
        core.set_threads(1, 2)


@pytest.mark.parametrize("value,exc", [(-1, OverflowError), (1.5, TypeError), ("2", TypeError)])
def test_set_threads_argument_conversion(value, exc):
    with pytest.raises(exc) as info:
        core.set_threads(value)
    assert info.value.__notes__ == ["while processing 'n'"]


def test_set_threads_builds_the_pool_once():
    out = run_isolated(
        "import quorvel._core as c\n"
        "print(c.set_threads(4), c.current_threads(), c.set_threads(8), c.current_threads())")
    assert out == "True 4 False 4"


def test_current_threads_first_builds_the_default_pool():
    out = run_isolated(
        "import quorvel._core as c\nprint(c.current_threads(), c.set_threads(2), c.current_threads())",
        env={"RAYON_NUM_THREADS": "3"})
    assert out == "3 False 3"


@pytest.mark.parametrize("env,expected", [
    ({"RAYON_NUM_THREADS": "3"}, 3),
    ({"RAYON_NUM_THREADS": "3", "RAYON_RS_NUM_CPUS": "5"}, 3),
    ({"RAYON_RS_NUM_CPUS": "5"}, 5),
    ({"RAYON_NUM_THREADS": "zero", "RAYON_RS_NUM_CPUS": "2"}, 2),
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "-4"}, len(os.sched_getaffinity(0))),
    ({}, len(os.sched_getaffinity(0))),
])
def test_set_threads_zero_follows_the_environment(env, expected):
    out = run_isolated("import quorvel._core as c\nprint(c.set_threads(0), c.current_threads())", env=env)
    assert out == f"True {expected}"
