# Type information for the compiled extension quorvel._core.
#
# Arrays must have exactly the dtype named here (nothing is cast); one-dimensional inputs are
# flat and contiguous, two-dimensional ones are (n, 3) point or direction lists, (n, 6) pose
# tables or (4, 4) affines. Volumes are flat F-order (x fastest); 4-D images are interleaved
# with the volume index fastest. tests/core/test_stubs.py checks this file against the module.
from collections.abc import Callable, Iterable, Sequence
from typing import Any, Literal, SupportsFloat, SupportsIndex, TypeAlias, TypedDict, final

import numpy as np
from numpy.typing import NDArray

# Integer arguments take anything with __index__; float arguments anything float() takes;
# bool arguments a bool or a NumPy boolean scalar, never an int.
_Int: TypeAlias = SupportsIndex
_Float: TypeAlias = SupportsFloat | SupportsIndex
_Bool: TypeAlias = bool | np.bool_
_Dims: TypeAlias = tuple[_Int, _Int, _Int]
_Vec3: TypeAlias = tuple[_Float, _Float, _Float]
_F32: TypeAlias = NDArray[np.float32]
_F64: TypeAlias = NDArray[np.float64]
_U32: TypeAlias = NDArray[np.uint32]

# The keys a tissue-parameter dict may hold (any subset); a missing key or None takes the value
# of the preset, and keys outside the list are ignored. Presets and Mixture.params() return all
# 13 parameters as a plain dict, to be copied and changed.
class _TissueParams(TypedDict, total=False):
    preset: Literal["neonatal", "infant", "adult"] | None
    b_value: _Float | None
    fiber_radius_mm: _Float | None
    intra_frac: _Float | None
    extra_frac: _Float | None
    d_intra: _Float | None
    d_extra: _Vec3 | None
    d_gm: _Float | None
    d_csf: _Float | None
    t2_fiber: _Float | None
    t2_gm: _Float | None
    t2_csf: _Float | None
    gm_restricted_frac: _Float | None
    d_soma: _Float | None

_TissueParamsArg: TypeAlias = _TissueParams | dict[str, Any]

_Window: TypeAlias = (
    Literal["none", "hann"] | tuple[Literal["tukey"], _Float] | tuple[Literal["fermi"], _Float, _Float] | None
)

# The acquisition record: only these 22 keys are accepted; a missing key or None takes the
# default. acquisition_defaults() and acquisition_hbcd() return plain dicts of the same keys.
class _Acquisition(TypedDict, total=False):
    window: _Window
    t_line: _Float | None  # effective echo spacing: ms per line of the full k-space matrix (BIDS EffectiveEchoSpacing)
    t_echo: _Float | None
    t_inhom: _Float | None
    signal_scale: _Float | None
    reverse_phase: _Bool | None
    do_distortions: _Bool | None
    do_relaxation: _Bool | None
    noise_variance: _Float | None
    partial_fourier: _Float | None
    pf_mode: Literal["scanner", "contiguous", "fiberfox"] | None
    ghost_offset: _Float | None
    eddy_strength: _Float | None
    eddy_quad: _Float | None
    eddy_phase: _Float | None
    eddy_tau: _Float | None
    n_spikes: _Int | None
    spike_amplitude: _Float | None
    n_coils: _Int | None
    accel: _Int | None
    acs_lines: _Int | None
    seed: _Int | None

_AcquisitionArg: TypeAlias = _Acquisition | dict[str, Any]

class _Reorient(TypedDict):
    src: tuple[int, int, int]
    flip: tuple[bool, bool, bool]
    in_dims: tuple[int, int, int]
    out_dims: tuple[int, int, int]

_ReorientArg: TypeAlias = _Reorient | dict[str, Any]

class _DropoutEvent(TypedDict):
    volume: int
    shot: int
    severity: float
    jump_mm: tuple[float, float, float]
    jump_deg: tuple[float, float, float]

class _DroppedShot(TypedDict):
    volume: int
    shot: int
    slices: list[int]
    attenuation: float

class _Envelope(TypedDict):
    n_voxels: int
    max_disp_mm: float
    max_gradient_dev: float
    max_angle_deg: float

class _SubsampleStats(TypedDict):
    kept: int
    total: int
    vertex_fraction: float
    weight_fraction: float
    summary: str

class _KspaceCapture(TypedDict):
    slices: list[int]
    nx: int
    ny: int
    n_coils: int
    mask: NDArray[np.uint8]
    sensitivities: _F32
    combined: _F32
    acquired: _F32 | None
    reconstructed: _F32 | None
    coil_images: _F32 | None

class _Acquired(TypedDict):
    re: _F32
    im: _F32
    mag: _F32
    phase: _F32
    kspace: _KspaceCapture | None

class _EpiTiming(TypedDict):
    t_ms: _F64
    t_rf_ms: _F64
    t_read_ms: _F64
    order: _U32
    t_line: float
    t_echo: float
    dt: float

class _GreFieldmap(TypedDict):
    dims: tuple[int, int, int]
    affine: _F64
    magnitude1: _F32
    magnitude2: _F32
    phase: list[NDArray[np.int16]]
    te_s: tuple[float, float]
    tr_s: float
    flip_deg: float
    output: Literal["phasediff", "phase"]
    b0_field: str
    sigma: float
    stamped: bool

__all__ = [
    "Mixture",
    "Compartments",
    "GradCoef",
    "GnlField",
    "build_mixture",
    "mixture_from_fibers",
    "signal_from_mixture",
    "signal_moving",
    "dropout_seed",
    "dropout_events",
    "resolve_poses",
    "poses_to_matrices",
    "fov_center",
    "simulate_acquisition",
    "sampling_mask",
    "epi_timing",
    "epi_trajectory",
    "acquisition_defaults",
    "acquisition_hbcd",
    "gre_synthesize",
    "subsample_streamlines",
    "hires_grid",
    "reorient_to_las",
    "reorient_identity",
    "apply_reorient",
    "reorient_affine",
    "out_ped",
    "fsl_bvecs",
    "voxel_signal",
    "voxel_truth",
    "box_hires",
    "step_hires",
    "core_version",
    "scalar_names",
    "tissue_preset",
    "set_threads",
    "current_threads",
]

@final
class Mixture:
    def odf(self) -> _F32: ...
    def fractions(self) -> tuple[_F32, _F32, _F32]: ...
    def fallback(self) -> NDArray[np.uint8]: ...
    def params(self) -> dict[str, Any]: ...
    def sphere_vertices(self) -> _F64: ...
    def with_myelin(self, myelin: _F32) -> Mixture: ...
    def scalars(
        self,
        tau: _Float | None = None,
        d_perp_floor: _Float | None = None,
        ng_floor: _Float | None = None,
        ng_top_k: _Int | None = None,
    ) -> list[_F32]: ...
    def truth_peaks(self, o: _Int, npeaks: _Int) -> _F32: ...
    @property
    def dims(self) -> tuple[int, int, int]: ...
    @property
    def nvert(self) -> int: ...
    @property
    def has_myelin(self) -> bool: ...

@final
class Compartments:
    @staticmethod
    def from_images(dims: _Dims, ngrad: _Int, images: Iterable[_F32], t2: Sequence[_Float]) -> Compartments: ...
    def images(self) -> list[_F32]: ...
    def mixed(self) -> _F32: ...
    def apply_s0(self, s0: _Vec3) -> None: ...
    def select_slices(self, slices: Sequence[_Int]) -> Compartments: ...
    def warp_gnl(self, field: GnlField, modulate: _Bool) -> None: ...
    def apply_multiband_motion(
        self,
        affine: _F64,
        mb: _Int,
        interleaved: _Bool,
        bvals: _F64,
        b_max: _Float,
        events: Iterable[_DropoutEvent | dict[str, Any]],
        slice_z: Sequence[_Int] | None = None,
        nz_full: _Int | None = None,
    ) -> list[_DroppedShot]: ...
    @property
    def t2(self) -> list[float]: ...
    @property
    def dims(self) -> tuple[int, int, int]: ...
    @property
    def ngrad(self) -> int: ...
    @property
    def n_compartments(self) -> int: ...

@final
class GradCoef:
    @staticmethod
    def from_spec(spec: str) -> GradCoef: ...
    @staticmethod
    def parse_siemens(text: str) -> GradCoef: ...
    def scaled(self, s: _Float) -> GradCoef: ...
    def to_siemens(self) -> str: ...
    @property
    def r0_mm(self) -> float: ...
    @property
    def n_terms(self) -> int: ...

@final
class GnlField:
    @staticmethod
    def on_grid(coef: GradCoef, dims: _Dims, affine: _F64) -> GnlField: ...
    def disp(self) -> _F32: ...
    def src_vox(self) -> _F32: ...
    def graddev(self, affine: _F64) -> _F32: ...
    def envelope(self, affine: _F64, radius_mm: _Float) -> _Envelope: ...
    def warp_volume(self, vol: _F32, modulate: _Bool) -> _F32: ...
    def warp_4d(self, vol: _F32, ngrad: _Int, modulate: _Bool) -> _F32: ...
    @property
    def dims(self) -> tuple[int, int, int]: ...

def build_mixture(
    dims: _Dims,
    wm: _F32,
    gm: _F32,
    csf: _F32,
    mask: _F32,
    affine: _F64,
    positions: _F64,
    offsets: _U32,
    weights: _F32 | None,
    params: _TissueParamsArg,
    kappa: _Float | None = None,
    myelin: _F32 | None = None,
    sphere_level: _Int = 3,
) -> Mixture: ...
def mixture_from_fibers(
    dims: _Dims,
    voxel: _U32,
    dirs: _F64,
    weight: _F64,
    wm: _F32,
    gm: _F32,
    csf: _F32,
    mask: _F32,
    params: _TissueParamsArg,
    kappa: _Float | None = None,
    sphere_level: _Int = 3,
) -> Mixture: ...
def signal_from_mixture(mix: Mixture, bvals: _F64, bvecs: _F64, gnl: GnlField | None = None) -> Compartments: ...
def signal_moving(
    dims: _Dims,
    wm: _F32,
    gm: _F32,
    csf: _F32,
    mask: _F32,
    affine: _F64,
    positions: _F64,
    offsets: _U32,
    bvals: _F64,
    bvecs: _F64,
    params: _TissueParamsArg,
    poses: _F64,
) -> Compartments: ...
def dropout_seed(run_seed: _Int) -> int: ...
def dropout_events(bvals: _F64, n_shots: _Int, rate: _Float, seed: _Int) -> list[_DropoutEvent]: ...
def resolve_poses(
    kind: Literal["off", "random", "linear", "trajectory"],
    n_units: _Int,
    seed: _Int = 0,
    trans_mm: _Vec3 | None = None,
    rot_deg: _Vec3 | None = None,
    volumes: Sequence[_Int] | None = None,
    poses: _F64 | None = None,
) -> _F64: ...
def poses_to_matrices(poses: _F64, center: _Vec3) -> _F64: ...
def fov_center(dims: _Dims, affine: _F64) -> tuple[float, float, float]: ...
def simulate_acquisition(
    comp: Compartments,
    fmap: _F32,
    acq_dims: _Dims,
    bvals: _F64,
    bvecs: _F64,
    acquisition: _AcquisitionArg,
    phase_model: Literal["hbcd", "none"] = "hbcd",
    seed: _Int = 0,
    noise_sigma: _F32 | None = None,
    te_per_volume: Sequence[_Float] | None = None,
    slice_z: Sequence[_Int] | None = None,
    nz_full: _Int | None = None,
    kspace_slices: Sequence[_Int] | None = None,
    capture: tuple[_Bool, _Bool, _Bool] = ...,
    # Called on the calling thread as progress(done, total), done = 1, 2, ..., total in order.
    progress: Callable[[int, int], object] | None = None,
) -> _Acquired: ...
def sampling_mask(nx: _Int, ny: _Int, acquisition: _AcquisitionArg) -> NDArray[np.uint8]: ...
def epi_timing(nx: _Int, ny: _Int, acquisition: _AcquisitionArg) -> _EpiTiming: ...
def epi_trajectory(nx: _Int, ny: _Int, acquisition: _AcquisitionArg) -> tuple[_U32, _U32, _F64]: ...
def acquisition_defaults(acquisition: _AcquisitionArg) -> dict[str, Any]: ...
def acquisition_hbcd(ny: _Int) -> dict[str, Any]: ...
def gre_synthesize(
    sig_dims: _Dims,
    sig_affine: _F64,
    acq_dims: _Dims,
    acq_affine: _F64,
    fiber: _F32,
    gm: _F32,
    csf: _F32,
    s0: _Vec3,
    t2: Sequence[_Float],
    fmap: _F32,
    signal_scale: _Float,
    seed: _Int,
    te_s: tuple[_Float, _Float] = ...,
    snr: _Float = 50.0,
    res_mm: _Float | None = None,
    snr_vol_exp: _Float = 1.0,
    output: Literal["phasediff", "phase"] = "phasediff",
    rx_phase_rad: _Float = 6.0,
    b0_field: str = "b0gre",
    tr_s: _Float = 0.5,
    flip_deg: _Float = 60.0,
    t1_ms: _Vec3 = ...,
    pd: _Vec3 = ...,
    bias: _Float = 0.3,
    ringing: _Bool = True,
    t2_head_ms: _Float = 70.0,
    head: _F32 | None = None,
    z_offset: _Int = 0,
    nz_full: _Int | None = None,
    warp: GnlField | None = None,
    warp_modulate: _Bool = True,
) -> _GreFieldmap: ...
def subsample_streamlines(
    positions: _F64, offsets: _U32, weights: _F32 | None, n: _Int, seed: _Int
) -> tuple[_F64, _U32, _F32 | None, _SubsampleStats]: ...
def hires_grid(affine: _F64, dims: _Dims, o: _Int) -> tuple[_F64, tuple[int, int, int]]: ...
def reorient_to_las(affine: _F64, dims: _Dims) -> _Reorient: ...
def reorient_identity(dims: _Dims) -> _Reorient: ...
def apply_reorient(data: _F32, ngrad: _Int, reorient: _ReorientArg) -> _F32: ...
def reorient_affine(affine: _F64, reorient: _ReorientArg) -> _F64: ...
def out_ped(reorient: _ReorientArg, in_pe_axis: _Int, in_pe_sign: _Int) -> str: ...
def fsl_bvecs(bvecs: _F64, affine: _F64) -> _F64: ...
def voxel_signal(
    bvals: _F64,
    bvecs: _F64,
    dirs: _F64,
    weights: _F64,
    wm: _Float,
    gm: _Float,
    csf: _Float,
    params: _TissueParamsArg,
) -> tuple[_F64, _F64, _F64]: ...
def voxel_truth(
    dirs: _F64,
    weights: _F64,
    wm: _Float,
    gm: _Float,
    csf: _Float,
    params: _TissueParamsArg,
    tau: _Float | None = None,
    d_perp_floor: _Float | None = None,
    ng_floor: _Float | None = None,
    ng_top_k: _Int | None = None,
) -> _F64: ...
def box_hires(snx: _Int, sny: _Int, x0: _Float, x1: _Float, y0: _Float, y1: _Float) -> _F32: ...
def step_hires(snx: _Int, sny: _Int, edge: _Float) -> _F32: ...
def core_version() -> str: ...
def scalar_names() -> list[str]: ...
def tissue_preset(name: Literal["neonatal", "infant", "adult"]) -> dict[str, Any]: ...
def set_threads(n: _Int) -> bool: ...
def current_threads() -> int: ...
