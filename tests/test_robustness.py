"""Bad input never crashes: every function and method, given a valid call with one or two
arguments (or dictionary fields) replaced by odd values, or with related sizes drawn together,
works or raises an ordinary argument error and leaves a Compartments object as it was. SystemError,
RuntimeError (a poisoned object) and MemoryError (a size not refused before allocating) fail."""
import math
import os
import textwrap

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quorvel._core as core
from conftest import ADDRESS_CAP, needs_no_asan, run_process

DIMS, NVOX, EYE = (4, 4, 2), 32, np.eye(4)
F32 = np.full(NVOX, 0.6, np.float32)
POS, OFF = np.array([[0.5, 0.5, 0.5], [3.5, 2.5, 1.5]]), np.array([0, 2], np.uint32)
BVALS, BVECS = np.array([0.0, 1000.0]), np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0]])
DIRS, W1 = np.array([[1.0, 0.0, 0.0]]), np.array([1.0])


def mixture():
    return core.mixture_from_fibers(DIMS, np.array([3], np.uint32), DIRS, W1, F32, F32, F32, F32, {}, sphere_level=1)


def compartments():
    return core.signal_from_mixture(mixture(), BVALS, BVECS)


def coef():
    return core.GradCoef.from_spec("whole-body-80")


def field():
    return core.GnlField.on_grid(coef(), DIMS, EYE)


def reorient():
    return core.reorient_identity(DIMS)


class Method:
    """`make().name(**args)` on a fresh object, kept in `obj` to be looked at after the call."""

    def __init__(self, make, name):
        self.make, self.name, self.obj = make, name, None

    def __call__(self, **args):
        self.obj = self.make()
        return getattr(self.obj, self.name)(**args)


EVENT = {"volume": 1, "shot": 0, "jump_mm": (1.0, 0.0, 0.0), "jump_deg": (0.0, 0.0, 5.0), "severity": 0.5}


same = np.array_equal

# name -> (callable, argument factory giving a valid call's keyword arguments, check of its result or changed object)
CALLS = {
    "build_mixture": (core.build_mixture, lambda: dict(
        dims=DIMS, wm=F32, gm=F32, csf=F32, mask=F32, affine=EYE, positions=POS, offsets=OFF, weights=None,
        params={}, kappa=4.0, myelin=F32, sphere_level=1), lambda m: (m.dims, m.nvert, m.has_myelin) == (DIMS, 21, True)),
    "mixture_from_fibers": (core.mixture_from_fibers, lambda: dict(
        dims=DIMS, voxel=np.array([3], np.uint32), dirs=DIRS, weight=W1, wm=F32, gm=F32, csf=F32, mask=F32,
        params={}, kappa=None, sphere_level=1), lambda m: same(m.odf().reshape(NVOX, 21).sum(1), np.eye(NVOX)[3])),
    "signal_from_mixture": (core.signal_from_mixture, lambda: dict(
        mix=mixture(), bvals=BVALS, bvecs=BVECS, gnl=field()), lambda c: np.allclose(c.mixed()[::2], 1, atol=1e-6)),
    "signal_moving": (core.signal_moving, lambda: dict(
        dims=DIMS, wm=F32, gm=F32, csf=F32, mask=F32, affine=EYE, positions=POS, offsets=OFF, bvals=BVALS,
        bvecs=BVECS, params={}, poses=np.zeros((2, 6))), lambda c: (c.dims, c.ngrad, c.n_compartments) == (DIMS, 2, 3)),
    "dropout_events": (core.dropout_events, lambda: dict(bvals=BVALS, n_shots=2, rate=0.5, seed=3), lambda r: r[0]["shot"] == 1),
    "resolve_poses": (core.resolve_poses, lambda: dict(kind="random", n_units=3, seed=1, trans_mm=(1.0, 0.0, 0.0),
                      rot_deg=(0.0, 2.0, 0.0), volumes=[0, 2], poses=None), lambda r: r.shape == (18,) and not r[6:12].any()),
    "poses_to_matrices": (core.poses_to_matrices, lambda: dict(poses=np.zeros((2, 6)), center=(1.0, 2.0, 3.0)), lambda r: same(r, [*EYE.flat] * 2)),
    "fov_center": (core.fov_center, lambda: dict(dims=DIMS, affine=EYE), lambda r: r == (1.5, 1.5, 0.5)),
    "simulate_acquisition": (core.simulate_acquisition, lambda: dict(
        comp=compartments(), fmap=np.zeros(NVOX, np.float32), acq_dims=(2, 2, 2), bvals=BVALS, bvecs=BVECS,
        acquisition={"n_coils": 2}, phase_model="none", seed=1, noise_sigma=np.zeros(8, np.float32),
        te_per_volume=[80.0, 90.0], slice_z=[0, 1], nz_full=2, kspace_slices=[1],
        capture=(True, True, True), progress=None), lambda r: r["mag"].shape == (16,) and r["kspace"]["n_coils"] == 2),
    "sampling_mask": (core.sampling_mask, lambda: dict(nx=4, ny=4, acquisition={"accel": 2}), lambda r: same(r, [1] * 16)),
    "epi_timing": (core.epi_timing, lambda: dict(nx=4, ny=4, acquisition={"partial_fourier": 0.75}), lambda r: r["dt"] == 0.25),
    "epi_trajectory": (core.epi_trajectory, lambda: dict(nx=4, ny=4, acquisition={}), lambda r: same(r[1][:5], [3, 3, 3, 3, 2])),
    "acquisition_defaults": (core.acquisition_defaults, lambda: dict(acquisition={"window": ("tukey", 0.5)}),
                             lambda r: r == core.acquisition_defaults({})),
    "gre_synthesize": (core.gre_synthesize, lambda: dict(
        sig_dims=DIMS, sig_affine=EYE, acq_dims=(2, 2, 2), acq_affine=EYE, fiber=F32, gm=F32, csf=F32,
        s0=(1.0, 1.0, 1.0), t2=[80.0, 90.0, 2000.0], fmap=np.zeros(NVOX, np.float32), signal_scale=100.0,
        seed=1, te_s=(0.005, 0.0075), snr=50.0, res_mm=None, snr_vol_exp=1.0, output="phase", rx_phase_rad=6.0,
        b0_field="b0gre", tr_s=0.5, flip_deg=60.0, t1_ms=(800.0, 1200.0, 4000.0), pd=(0.7, 0.8, 1.0), bias=0.3,
        ringing=True, t2_head_ms=70.0, head=None, z_offset=0, nz_full=2, warp=field(), warp_modulate=True),
        lambda r: r["dims"] == (2, 2, 2) and [p.dtype for p in r["phase"]] == [np.int16] * 2),
    "subsample_streamlines": (core.subsample_streamlines, lambda: dict(
        positions=POS, offsets=OFF, weights=np.ones(1, np.float32), n=1, seed=0), lambda r: same(r[0], POS.ravel())),
    "hires_grid": (core.hires_grid, lambda: dict(affine=EYE, dims=DIMS, o=2), lambda r: r[1] == (8, 8, 2) and r[0][0] == 0.5),
    "reorient_to_las": (core.reorient_to_las, lambda: dict(affine=EYE, dims=DIMS), lambda r: r["flip"] == (True, False, False)),
    "apply_reorient": (core.apply_reorient, lambda: dict(data=F32, ngrad=1, reorient=reorient()), lambda r: same(r, F32)),
    "reorient_affine": (core.reorient_affine, lambda: dict(affine=EYE, reorient=reorient()), lambda r: same(r, EYE.ravel())),
    "out_ped": (core.out_ped, lambda: dict(reorient=reorient(), in_pe_axis=1, in_pe_sign=-1), lambda r: r == "j-"),
    "fsl_bvecs": (core.fsl_bvecs, lambda: dict(bvecs=BVECS, affine=EYE), lambda r: same(r, [0, 0, 0, -1, 0, 0])),
    "voxel_signal": (core.voxel_signal, lambda: dict(
        bvals=BVALS, bvecs=BVECS, dirs=DIRS, weights=W1, wm=0.5, gm=0.3, csf=0.2, params={}), lambda r: same(r[1][:1], [0.3])),
    "voxel_truth": (core.voxel_truth, lambda: dict(
        dirs=DIRS, weights=W1, wm=0.5, gm=0.3, csf=0.2, params={"preset": "infant"}, tau=0.02, ng_top_k=3), lambda r: r.shape == (27,)),
    "box_hires": (core.box_hires, lambda: dict(snx=4, sny=4, x0=0.5, x1=2.5, y0=1.0, y1=3.0), lambda r: r.sum() == 4),
    "step_hires": (core.step_hires, lambda: dict(snx=4, sny=4, edge=1.25), lambda r: same(r[:4], [0, 0.75, 1, 1])),
    "tissue_preset": (core.tissue_preset, lambda: dict(name="adult"), lambda r: r["t2_csf"] == 2000.0),
    "Mixture.with_myelin": (Method(mixture, "with_myelin"), lambda: dict(myelin=F32), lambda m: m.has_myelin),
    "Mixture.scalars": (Method(mixture, "scalars"), lambda: dict(tau=0.02, ng_top_k=4), lambda r: len(r) == 27 and r[0][3] > 0),
    "Mixture.truth_peaks": (Method(mixture, "truth_peaks"), lambda: dict(o=2, npeaks=2), lambda r: same(r[6:9], [1, 0, 0])),
    "Compartments.from_images": (core.Compartments.from_images, lambda: dict(
        dims=(2, 2, 1), ngrad=2, images=[np.zeros(8, np.float32)], t2=[80.0]), lambda c: c.t2 == [80.0]),
    "Compartments.apply_s0": (Method(compartments, "apply_s0"), lambda: dict(s0=(1.0, 2.0, 0.5)),
                              lambda c: same(c.images()[2], compartments().images()[2] * np.float32(0.5))),
    "Compartments.select_slices": (Method(compartments, "select_slices"), lambda: dict(slices=[1, 0]),
                                   lambda c: same(c.images()[0], compartments().images()[0].reshape(2, -1)[::-1].ravel())),
    "Compartments.warp_gnl": (Method(compartments, "warp_gnl"), lambda: dict(field=field(), modulate=True),
                              lambda c: not same(c.images()[0], compartments().images()[0])),
    "Compartments.apply_multiband_motion": (Method(compartments, "apply_multiband_motion"), lambda: dict(
        affine=EYE, mb=2, interleaved=True, bvals=BVALS, b_max=1000.0, events=[dict(EVENT)], slice_z=[0, 1], nz_full=2),
        lambda r: r == [{"volume": 1, "shot": 0, "slices": [0, 1], "attenuation": 0.5}]),
    "GradCoef.parse_siemens": (core.GradCoef.parse_siemens, lambda: dict(text=" 0.25 = R0\n  1 A( 3, 1) -0.08 x\n"),
                               lambda c: (c.r0_mm, c.n_terms) == (250.0, 1)),
    "GradCoef.scaled": (Method(coef, "scaled"), lambda: dict(s=2.0), lambda c: c.n_terms == 13),
    "GnlField.on_grid": (core.GnlField.on_grid, lambda: dict(coef=coef(), dims=DIMS, affine=EYE), lambda f: f.dims == DIMS),
    "GnlField.graddev": (Method(field, "graddev"), lambda: dict(affine=EYE), lambda r: r.shape == (9 * NVOX,)),
    "GnlField.envelope": (Method(field, "envelope"), lambda: dict(affine=EYE, radius_mm=100.0), lambda r: r["n_voxels"] == NVOX),
    "GnlField.warp_volume": (Method(field, "warp_volume"), lambda: dict(vol=F32, modulate=False), lambda r: 0 < r.sum() < F32.sum()),
    "GnlField.warp_4d": (Method(field, "warp_4d"), lambda: dict(vol=np.ones(64, np.float32), ngrad=2, modulate=True),
                         lambda r: r.shape == (64,) and 0 < r.sum() < 64),
}

# Odd values: wrong types, signs, sizes and shapes. Integers stay small or overflow outright, so
# a value that passes every check cannot ask for an enormous allocation.
ODD = [
    None, True, False, -1, 0, 1, 3, 2**64 - 1, 2**70, -2**70, 0.5, -0.0, float("nan"), float("inf"),
    "", "x", "none", b"x", [], [0, 1], [5, 2**64 - 1], (), (1,), (0, 0, 0), (2**64 - 1, 2, 2), (4, 4, 3),
    (-1.0, 2.0, 3.0), ("tukey",), {}, {"n_coils": -1}, {"preset": "Adult"}, {"src": (0, 1, 2)}, object(),
    np.zeros(0), np.zeros(3), np.zeros((2, 3)), np.zeros((4, 4), np.float32), np.zeros((3, 4)),
    np.zeros(0, np.float32), np.zeros(5, np.float32), np.full(NVOX, np.nan, np.float32),
    np.zeros(2 * NVOX, np.float32)[::2], np.zeros(3, np.int64), np.zeros(2, np.uint32),
    np.array([0, 3, 1], np.uint32), np.float64(2.0), np.bool_(True), np.zeros((0, 3)), np.zeros((2, 6)),
]

ALLOWED = (TypeError, ValueError, OverflowError, IndexError)

# The fields of the dictionaries the calls take (tissue parameters, the acquisition record, the
# motion events), so that odd values reach each of them and not only whole arguments.
FIELDS = {
    "params": [*core.tissue_preset("neonatal"), "preset"],
    "acquisition": [*core.acquisition_defaults({}), "window"],
    "events": list(EVENT),
}


def call_cleanly(fn, args):
    """fn(**args) works or raises an ordinary argument error; a refused call leaves the
    Compartments objects it was given (or called on) as they were and usable."""
    try:
        fn(**args)
        return
    except ALLOWED:
        pass
    if isinstance(fn, Method) and isinstance(fn.obj, core.Compartments):
        for new, old in zip(fn.obj.images(), compartments().images(), strict=True):
            np.testing.assert_array_equal(new, old)
    if isinstance(args.get("comp"), core.Compartments):
        assert args["comp"].n_compartments == 3


def test_every_valid_baseline_call_gives_its_result():
    for name, (fn, args, check) in CALLS.items():
        result = fn(**args())
        assert check(fn.obj if result is None else result), name


@pytest.mark.parametrize("name", sorted(CALLS))
@settings(max_examples=120, deadline=None, derandomize=True,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_odd_arguments_are_refused_cleanly(name, data):
    args = CALLS[name][1]()
    targets = [(key, None) for key in args] + [(key, f) for key in args for f in FIELDS.get(key, [])]
    picks = data.draw(st.lists(st.sampled_from(targets), min_size=1, max_size=2, unique=True), label="targets")
    for key, f in picks:
        value = data.draw(st.sampled_from(ODD), label=f"{key}[{f!r}]" if f else key)
        if f is None:
            args[key] = value
        elif isinstance(args[key], dict):
            args[key][f] = value
        elif isinstance(args[key], list) and args[key] and isinstance(args[key][0], dict):
            args[key][0][f] = value
    call_cleanly(CALLS[name][0], args)


# ---- related sizes drawn together: grid dims and array lengths, multiband factor and stack
# height, volume counts and image lengths. Each draw is small, zero, or far beyond memory, so a
# valid call stays small; the calls run in their own interpreter under an address-space cap, so
# that a size reaching an allocation shows as a failure instead of exhausting the machine ----

SIZES = [0, 1, 2, 3, 5, 2**31, 2**32 + 1, 2**63, 2**64 - 1]


def fit(n):  # an array length for n values: n itself when small, else 1 (a length that cannot match)
    return n if n <= 4096 else 1


def f32(n):
    return np.full(fit(n), 0.5, np.float32)


def rows(n, width, value=1.0):
    return np.full((fit(n), width), value)


def on_grid(dims, *maps):
    return {k: f32(math.prod(dims)) for k in maps}


TISSUE = ("wm", "gm", "csf", "mask")

# name -> (number of sizes drawn, the arguments they set)
SIZED = {
    "build_mixture": (5, lambda s: dict(dims=tuple(s[:3]), **on_grid(s[:3], *TISSUE, "myelin"),
                                        positions=rows(s[3], 3, 0.5), offsets=np.array([0, fit(s[3])], np.uint32),
                                        sphere_level=s[4])),
    "mixture_from_fibers": (4, lambda s: dict(dims=tuple(s[:3]), **on_grid(s[:3], *TISSUE),
                                              voxel=np.zeros(fit(s[3]), np.uint32), dirs=rows(s[3], 3),
                                              weight=np.ones(fit(s[3])))),
    "signal_moving": (4, lambda s: dict(dims=tuple(s[:3]), **on_grid(s[:3], *TISSUE), poses=rows(s[3], 6, 0.0),
                                        bvals=np.full(fit(s[3]), 1000.0), bvecs=rows(s[3], 3))),
    "Compartments.from_images": (4, lambda s: dict(dims=tuple(s[:3]), ngrad=s[3], images=[f32(math.prod(s))],
                                                   t2=[80.0])),
    "Compartments.apply_multiband_motion": (3, lambda s: dict(mb=s[0], nz_full=s[1], slice_z=[s[2], 0],
                                                              events=[dict(EVENT, shot=s[2])])),
    "Compartments.select_slices": (2, lambda s: dict(slices=[s[0]] * fit(s[1]))),
    "simulate_acquisition": (4, lambda s: dict(acq_dims=(s[0], s[1], 2), noise_sigma=f32(2 * s[0] * s[1]),
                                               slice_z=[s[2], 0], nz_full=s[3], kspace_slices=[s[2]])),
    "gre_synthesize": (6, lambda s: dict(sig_dims=tuple(s[:3]), **on_grid(s[:3], "fiber", "gm", "csf", "fmap"),
                                         acq_dims=(s[3], s[3], 2), z_offset=s[4], nz_full=s[5])),
    "GnlField.on_grid": (3, lambda s: dict(dims=tuple(s))),
    "GnlField.warp_4d": (1, lambda s: dict(vol=f32(NVOX * s[0]), ngrad=s[0])),
    "apply_reorient": (1, lambda s: dict(data=f32(NVOX * s[0]), ngrad=s[0])),
    "hires_grid": (4, lambda s: dict(dims=tuple(s[:3]), o=s[3])),
    "Mixture.truth_peaks": (2, lambda s: dict(o=s[0], npeaks=s[1])),
    "subsample_streamlines": (3, lambda s: dict(positions=rows(s[0], 3), offsets=np.array([0, fit(s[0])], np.uint32),
                                                weights=np.ones(fit(s[1]), np.float32), n=s[2])),
    "dropout_events": (2, lambda s: dict(bvals=np.full(fit(s[0]), 1000.0), n_shots=s[1])),
    "resolve_poses": (2, lambda s: dict(n_units=s[0], volumes=[s[1]])),
    **dict.fromkeys(["sampling_mask", "epi_timing", "epi_trajectory"], (2, lambda s: dict(nx=s[0], ny=s[1]))),
    **dict.fromkeys(["box_hires", "step_hires"], (2, lambda s: dict(snx=s[0], sny=s[1]))),
    "voxel_signal": (2, lambda s: dict(bvals=np.full(fit(s[0]), 1000.0), bvecs=rows(s[0], 3), dirs=rows(s[1], 3),
                                       weights=np.ones(fit(s[1])))),
    "voxel_truth": (2, lambda s: dict(dirs=rows(s[0], 3), weights=np.ones(fit(s[0])), ng_top_k=s[1])),
}


# Results exactly as large as the sizes ask (a field cached on every voxel, peaks of every voxel,
# one pose per unit): beyond the cap they fail to allocate like any Python object would.
AS_LARGE_AS_ASKED = {"GnlField.on_grid", "Mixture.truth_peaks", "resolve_poses"}


def sized_examples(names):
    for name in names:
        fn, make, _ = CALLS[name]
        count, sized = SIZED[name]

        @settings(max_examples=40, deadline=None, derandomize=True, database=None)
        @given(sizes=st.lists(st.sampled_from(SIZES), min_size=count, max_size=count))
        def run(sizes):
            try:
                call_cleanly(fn, make() | sized(sizes))
            except MemoryError:
                if name not in AS_LARGE_AS_ASKED:
                    raise

        run()
        print(name, flush=True)


@needs_no_asan
def test_related_sizes_are_refused_cleanly():
    code = f"import sys\nsys.path.insert(0, {os.path.dirname(__file__)!r})\n" + ADDRESS_CAP + \
        "import test_robustness\ntest_robustness.sized_examples(sorted(test_robustness.SIZED))"
    out = run_process(code)
    assert out.returncode == 0, out.stdout + out.stderr[-3000:]


# ---- sizes that are valid on their face, in an interpreter with a time limit and an address-space
# cap (a fault may loop or allocate without end); each part's output follows its name ----

PRELUDE = """
import numpy as np, quorvel._core as core
EV = [{"volume": 0, "shot": 0, "jump_mm": (1.0, 0.0, 0.0), "jump_deg": (0.0, 0.0, 0.0)}]
def comp(dims, ngrad=1, n=1):
    return core.Compartments.from_images(dims, ngrad, [np.ones(int(np.prod(dims, dtype=object)) * ngrad, np.float32)] * n, [80.0] * n)
def motion(c, mb=1, **kw):
    return c.apply_multiband_motion(np.eye(4), mb, False, np.full(c.ngrad, 1000.0), 1000.0, EV, **kw)
"""

HOSTILE = {
    # A multiband group of 2^32 slices cannot be listed: refused before any image changes.
    "multiband group too large to list": ("""
        c = comp((2, 2, 2))
        try:
            motion(c, 2**32, nz_full=2**32)
        except ValueError as e:
            print(str(e).split(":")[0])
        print(motion(c)[0]["attenuation"], c.images()[0][:2].tolist())
    """, "mb 4294967296 on 4294967296 slices makes groups of 4294967296 slices\n0.0 [0.0, 0.0]"),
    # Slabs and grids without voxels may name any slice or volume count: nothing to visit.
    "tall slab without voxels": ("""
        print(motion(comp((0, 1, 2**62)))[0]["slices"], motion(core.Compartments.from_images((1, 1, 2**62), 1, [], []))[0]["slices"])
    """, "[0] [0]"),
    "many volumes without voxels": ("""
        c, f = comp((0, 1, 1), 2**62), core.GnlField.on_grid(core.GradCoef.from_spec("whole-body-80"), (0, 1, 1), np.eye(4))
        c.warp_gnl(f, True)
        print(c.dims == (0, 1, 1), f.warp_4d(np.zeros(0, np.float32), 2**62, False).size)
    """, "True 0"),
    # Counts whose result no machine holds are refused, naming the count, before anything is
    # allocated (they used to fill gigabytes, or raise an empty MemoryError).
    "results beyond memory": ("""
        F, B, V = np.ones(16384, np.float32), np.zeros(2**20), np.zeros((2**20, 3))
        m = core.mixture_from_fibers((128, 128, 1), np.zeros(0, np.uint32), np.zeros((0, 3)), np.zeros(0), F, F, F, F, {}, sphere_level=0)
        P, O = np.zeros((1, 3)), np.array([0, 1], np.uint32)
        for call in (lambda: core.resolve_poses("random", 2**40), lambda: core.resolve_poses("off", 2**40), lambda: m.truth_peaks(1, 2**40),
                     lambda: comp((4, 4, 1), 2**20).select_slices([0] * 2**20), lambda: core.signal_from_mixture(m, B, V),
                     lambda: core.signal_moving((128, 128, 1), F, F, F, F, np.eye(4), P, O, B, V, {}, np.zeros((2**20, 6))),
                     lambda: core.GnlField.on_grid(core.GradCoef.from_spec("whole-body-80"), (2**20, 2**20, 1), np.eye(4))):
            try:
                call()
            except ValueError as e:
                print(e)
    """, "n_units: 1099511627776 poses cannot be held in memory\n" * 2 +
        "npeaks: 1099511627776 peaks per voxel cannot be held in memory\nslices: 1048576 slices cannot be held in memory\n" +
        "bvals: 1048576 volumes cannot be held in memory\n" * 2 + "dims: 1099511627776 voxels cannot be held in memory"),
    "streamlines across a grid without voxels": ("""
        F, pos = np.zeros(0, np.float32), np.array([[-1.0, 0.5, -1.0], [2.0**40, 0.5, 1.0]])
        m = core.build_mixture((2**40, 1, 0), F, F, F, F, np.eye(4), pos, np.array([0, 2], np.uint32), None, {})
        s = core.signal_moving((2**40, 1, 0), F, F, F, F, np.eye(4), pos, np.array([0, 2], np.uint32), np.array([0.0, 1000.0]),
                               np.array([[0.0, 0, 0], [1.0, 0, 0]]), {}, np.ones((2, 6)))
        print(m.odf().size, s.dims)
    """, "0 (1099511627776, 1, 0)"),
}


def test_valid_looking_sizes_end_promptly():
    code = "".join(f"print({name!r}, flush=True)\n" + textwrap.dedent(part) for name, (part, _) in HOSTILE.items())
    out = run_process(ADDRESS_CAP + PRELUDE + code, timeout=60)
    assert (out.returncode, out.stdout.strip()) == (0, "\n".join(f"{n}\n{want}" for n, (_, want) in HOSTILE.items())), out.stderr
