"""Module frame: registration, text signatures, version, scalar names and the worker pool."""
import inspect
import os

import pytest

import quorvel
import quorvel._core as core
from conftest import needs_no_asan, run_isolated, run_process

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
CPUS = len(os.sched_getaffinity(0))


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


@pytest.mark.parametrize("code, env, expected", [
    # A count no pool can hold is a failed build, not a wrapped one.
    ("c.set_threads(2**40), c.set_threads(4), c.current_threads(), c.set_threads(8), c.current_threads()", {},
     "False True 4 False 4"),
    ("c.current_threads(), c.set_threads(2), c.current_threads()", {"RAYON_NUM_THREADS": "+3"}, "3 False 3"),
    # Every worker has started when set_threads returns.
    ("c.set_threads(5), workers()", {}, "True 4"),
    ("c.set_threads(0), c.current_threads()", {"RAYON_NUM_THREADS": "3", "RAYON_RS_NUM_CPUS": "5"}, "True 3"),
    ("c.set_threads(0), c.current_threads()", {"RAYON_NUM_THREADS": "zero", "RAYON_RS_NUM_CPUS": "5"}, "True 5"),
    ("c.set_threads(0), c.current_threads()", {"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": " 3"}, f"True {CPUS}"),
    ("c.set_threads(0), c.current_threads()", {"RAYON_NUM_THREADS": "9" * 25, "RAYON_RS_NUM_CPUS": "-4"}, f"True {CPUS}"),
])
def test_worker_pool_in_a_fresh_process(code, env, expected):
    prelude = "import os, quorvel._core as c\nn0 = len(os.listdir('/proc/self/task'))\n"
    workers = "workers = lambda: len(os.listdir('/proc/self/task')) - n0\n"
    assert run_isolated(f"{prelude}{workers}print(*({code},))", env=env) == expected


LIMITED = """
import resource, numpy as np, quorvel._core as core
vm = int(open("/proc/self/status").read().split("VmSize:")[1].split()[0]) * 1024
# A cap like a cluster's ulimit -v: far less than 64 threads with their malloc arenas take.
resource.setrlimit(resource.RLIMIT_AS, (vm + 600 * 2**20,) * 2)
built = {build}
comp = core.Compartments.from_images((4, 4, 1), 64, [np.ones(1024, np.float32)], [80.0])
core.simulate_acquisition(comp, np.zeros(16, np.float32), (4, 4, 1), np.zeros(64), np.zeros((64, 3)), {{}})
n = core.current_threads()
print(built is None or built == (n == 64), 1 <= n <= 64)
"""


@needs_no_asan
@pytest.mark.parametrize("build", ["core.set_threads(64)", "None"])  # the lazy default pool as well
def test_a_pool_the_address_space_cannot_hold_is_refused_or_smaller_never_an_abort(build):
    # The workers start lazily; one the process could not create once aborted the first parallel call.
    out = run_process(LIMITED.format(build=build), env={"RAYON_NUM_THREADS": "64"}, timeout=120)
    assert out.returncode == 0 and out.stdout.split() == ["True", "True"], out.stderr
