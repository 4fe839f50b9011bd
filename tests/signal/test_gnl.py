import math
import os
import re

import numpy as np
import pytest
from numpy.polynomial import legendre

import quorvel._core as core
from conftest import ADDRESS_CAP, run_process

TERM = "  1 A( 3, 1) -0.08 x\n"
WB = core.GradCoef.from_spec("whole-body-80")


def coef_lines(text):
    """The term lines of a written coefficient file as (l, m, coef, axis)."""
    found = (re.fullmatch(r"\s*\d+ A\(\s*(\d+),\s*(\d+)\) (\S+) ([xyz])", line) for line in text.splitlines())
    return [(int(m[1]), int(m[2]), float(m[3]), m[4]) for m in found if m]


WHOLE_BODY = coef_lines(WB.to_siemens())


def ref_world(terms, r0, w):
    """World displacement from the solid harmonics; P_l^m from the m-th derivative of P_l."""
    x, y, z = -w[0], w[1], -w[2]  # scanner frame
    r = math.sqrt(x * x + y * y + z * z)
    d = np.zeros(3)
    if r < 1e-9:
        return d
    phi, c = math.atan2(y, x), min(max(z / r, -1.0), 1.0)
    for l, m, coef, axis in terms:
        p = (-1) ** m * (1 - c * c) ** (m / 2) * legendre.legval(c, legendre.legder([0] * l + [1], m))
        norm = 1.0 if m == 0 else (-1) ** m * math.sqrt((2 * l + 1) * math.factorial(l - m) / (2 * math.factorial(l + m)))
        az = math.sin(m * phi) if axis == "y" else math.cos(m * phi)
        d["xyz".index(axis)] += az * (r / r0) ** l * coef * r0 * norm * p
    return d * [-1, 1, -1]


def ref_jacobian(terms, w, h):
    return np.eye(3) + np.array([ref_world(terms, 250.0, w + e) - ref_world(terms, 250.0, w - e) for e in np.eye(3) * h]).T / (2 * h)


def centres(dims, affine):
    k, j, i = np.meshgrid(*(np.arange(n) for n in dims[::-1]), indexing="ij")
    ijk = np.stack([i.ravel(), j.ravel(), k.ravel()], axis=1).astype(float)
    return ijk, ijk @ affine[:3, :3].T + affine[:3, 3]


# ---- coefficient files ----

X31 = [(3, 1, -0.08, "x")]


@pytest.mark.parametrize("text, r0_mm, terms", [
    (TERM, 250.0, X31), (" 0.25 m = R0\n" + TERM, 250.0, X31), (" 0.250 = R0\n" + TERM, 250.0, X31),
    ("x+0.3  = R0\n" + TERM, 300.0, X31),
    (" 0.100 = R0\n" + TERM + " 0.3337 = R0", 333.0, X31),  # later wins, 5 characters
    (" 0.300 = R0\r\n  1 A( 3, 0) 0.5 z\r\n", 300.0, [(3, 0, 0.5, "z")]),
    ("  3 B( 3,-1) 0.05 y\n", 250.0, [(3, 1, 0.05, "y")]),
    ("11A( 5, 0) 0.5 z", 250.0, [(5, 0, 0.5, "z")]),  # "(" at byte 3
    ("11111111A( 5, 0) 1e-400 z", 250.0, [(5, 0, 0.0, "z")]),  # "(" at byte 9; underflow reads 0
    # ignored lines: no axis letter or another one, "(" at byte 2 or 10, ")" before ",", "," before "(", and l = 1 (the
    # nominal gradient)
    *((line + "\n" + TERM, 250.0, X31) for line in ("  1 A( 3, 1) 0.05", "  1 A( 3, 1) 0.05 w", "1A( 3, 1) 0.05 x",
                                                    "  1 Axxxxx( 3, 1) 0.05 x", "  1 A( 3) 0.05, x", "  1 A, B( 3 1) 0.05 x",
                                                    "  1 A( 1, 1) 0.05 x")),
])
def test_parse(text, r0_mm, terms):
    c = core.GradCoef.parse_siemens(text)
    assert c.r0_mm == pytest.approx(r0_mm, rel=1e-15) and c.n_terms == len(terms)
    assert coef_lines(c.to_siemens()) == terms


@pytest.mark.parametrize("line, message", [
    ("= R0", "bad R0 line:"), (" 0.2é = R0", "bad R0 line:"),  # the five bytes end inside a character
    ("x-0.3  = R0", "R0 must be positive and finite:"),  # a radius every displacement divides by
    (" 0.00 = R0", "R0 must be positive and finite:"), (" 1e308 = R0", "R0 must be positive and finite:"),  # inf in mm
    ("  1 A( x, 1) 0.05", "bad l in"),  # an ignored line still reads l
    ("  1 A( 4294967296, 1) 0.05 x", "bad l in"), ('  1 A(\t?, 0) 1 "z', "bad l in"),
    ("  1 A( 3, 2147483648) 0.05 x", "bad m in"),
    ("  1 A( 3, 1) 0.0.5 x", "bad coefficient in"), ("  1 A( 3, 1) 1e400 x", "bad coefficient in"),
    ("  1 A( 3, 1) x", "bad coefficient in"), ("  2 A( 2,-3) 0.05 x", "order 3 exceeds degree 2 in"),
    ("  2 A(86, 0) 0.05 z", "degree 86 exceeds the largest supported degree 85 in"),
    ("  2 A(4294967295, 0) 1 z", "degree 4294967295 exceeds the largest supported degree 85 in"),
])
def test_parse_errors_quote_the_line(line, message):
    quoted = '"' + line.replace("\\", "\\\\").replace("\t", "\\t").replace('"', '\\"') + '"'
    with pytest.raises(ValueError, match="^" + re.escape(f"{message} {quoted}") + "$"):
        core.GradCoef.parse_siemens(TERM + line + "\n")


@pytest.mark.parametrize("text", ["", "\n\n", "  1 A( 1, 0) 0.9 z\n  2 A( 1, 1) 0.9 x\n", " 0.25 = R0\n"])
def test_no_terms_kept(text):
    with pytest.raises(ValueError, match="^no coefficient lines found$"):
        core.GradCoef.parse_siemens(text)


def test_written_file_presets_scaling_and_round_trip():
    text = WB.to_siemens()
    lines = text.split("\n")
    assert lines[:4] == [" Synthetic gradient coefficients - Quorvel GNL", " 0.250 = R0", "", "  1 A( 3, 1) -0.080000 x"]
    assert lines[15:] == [" 13 A( 7, 0) -0.002000 z", "", ""]
    l_m, coefs = [(3, 1), (3, 3), (5, 1), (5, 5), (7, 1)], [-0.08, 0.006, 0.01, -0.001, -0.001]
    assert WHOLE_BODY == [(*lm, c, a) for a in "xy" for lm, c in zip(l_m, coefs)] + [(3, 0, -0.1, "z"), (5, 0, 0.015, "z"), (7, 0, -0.002, "z")]
    assert coef_lines(core.GradCoef.from_spec("connectom-300").to_siemens()) == [(l, m, round(2.5 * c, 6), a) for l, m, c, a in WHOLE_BODY]
    assert coef_lines(WB.scaled(0.0).to_siemens()) == [(l, m, 0.0, a) for l, m, _, a in WHOLE_BODY]
    # fixed notation of a huge coefficient runs to hundreds of digits and must come back whole
    for c in (WB, WB.scaled(1e300), core.GradCoef.parse_siemens(" 9.876 = R0\n" + TERM)):
        back = core.GradCoef.parse_siemens(c.to_siemens())
        assert back.to_siemens() == c.to_siemens() and back.n_terms == c.n_terms and back.r0_mm == c.r0_mm


def test_from_spec_files(tmp_path):
    # Coefficient files are a few kB: reading stops past 1 MiB, also where a file never ends.
    texts = [b" 0.200 = R0\n  1 A( 5, 2) 0.125 y\n", b"\xe9t\xe9\n" + TERM.encode(), b"", TERM.ljust(2**20).encode(),
             TERM.ljust(2**20 + 1).encode()]
    good, latin1, empty, at_limit, over = (tmp_path / f"{k}.grad" for k in range(5))
    for f, text in zip((good, latin1, empty, at_limit, over), texts):
        f.write_bytes(text)
    assert core.GradCoef.from_spec(str(good)).to_siemens() == core.GradCoef.parse_siemens(good.read_text()).to_siemens()
    assert core.GradCoef.from_spec(str(at_limit)).n_terms == 1
    for spec, message in [
        (over, f"cannot read coefficient file {over}: larger than 1048576 bytes, the limit for a coefficient file"),
        (tmp_path / "absent.grad", f"cannot read coefficient file {tmp_path / 'absent.grad'}: No such file or directory"),
        (tmp_path, f"cannot read coefficient file {tmp_path}: Is a directory"),
        (latin1, f"cannot read coefficient file {latin1}: "),
        (empty, f"{empty}: no coefficient lines found"),
        ("Whole-body-80", "cannot read coefficient file Whole-body-80: "),  # presets match exactly
        # A NUL would end the path early and read `good`; the message keeps every character.
        (f"{good}\0/absent", f"cannot read coefficient file {good}\0/absent: embedded null byte"),
    ]:
        with pytest.raises(ValueError) as info:
            core.GradCoef.from_spec(str(spec))
        assert str(info.value).startswith(message)


def test_from_spec_lets_other_threads_run_and_stops_reading_past_the_limit(tmp_path):
    fifo = str(tmp_path / "pipe.grad")
    os.mkfifo(fifo)
    # The main thread writes only if it runs while the reader waits in open(); /dev/zero never
    # ends and, read whole, would overflow the capped address space.
    out = run_process(ADDRESS_CAP + f"""import threading, time, quorvel._core as core
reader = threading.Thread(target=core.GradCoef.from_spec, args=({fifo!r},))
reader.start(); time.sleep(0.2)
open({fifo!r}, "w").write({TERM!r})
reader.join()
core.GradCoef.from_spec("/dev/zero")""", timeout=30)
    assert out.stderr.endswith("ValueError: cannot read coefficient file /dev/zero: larger than 1048576 bytes, the limit for a coefficient file\n")


def test_from_spec_runs_signal_handlers_while_reading(tmp_path):
    # A timer's signal interrupts open() and read() on a pipe whose writer is slow to come and to
    # write. Python's own reads run the handlers and go on, or end with the exception one raises.
    fifo = str(tmp_path / "slow.grad")
    os.mkfifo(fifo)
    out = run_process(f"""import signal, subprocess, sys, quorvel._core as core
def read(handler):
    writer = subprocess.Popen([sys.executable, "-c", "import sys, time\\ntime.sleep(0.2)\\nwith open(sys.argv[1], 'w') as f:\\n"
                               "    for line in sys.argv[2].splitlines(True): f.write(line); f.flush(); time.sleep(0.02)",
                               {fifo!r}, core.GradCoef.from_spec("whole-body-80").to_siemens()], stderr=subprocess.DEVNULL)
    ticks = []
    signal.signal(signal.SIGALRM, lambda *_: handler(ticks))
    signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
    try:
        print(core.GradCoef.from_spec({fifo!r}).n_terms, len(ticks) > 20)
    except Exception as e:
        print(type(e).__name__, e)
    signal.setitimer(signal.ITIMER_REAL, 0)
    writer.kill(), writer.wait()
def third_raises(ticks):
    ticks.append(0)
    if len(ticks) == 3:
        raise LookupError("third tick")
read(lambda ticks: ticks.append(0))
read(third_raises)""", timeout=30)
    assert out.stdout.splitlines() == ["13 True", "LookupError third tick"], out.stderr


def test_from_spec_reads_a_file_on_a_thread_with_a_small_stack(tmp_path):
    # Python code may run on threads of 32 KiB. Waiting threads first take the gaps between
    # mappings, so that an overflow of the reader's stack faults instead of writing a neighbour.
    path = tmp_path / "wb.grad"
    path.write_text(WB.to_siemens())
    out = run_process(f"""import threading, quorvel._core as core
got = []
for size in (49152, 32768):
    threading.stack_size(size)
    done = threading.Event()
    waiting = [threading.Thread(target=done.wait) for _ in range(8)]
    for t in waiting: t.start()
    reader = threading.Thread(target=lambda: got.append(core.GradCoef.from_spec({str(path)!r}).to_siemens()))
    reader.start(), reader.join(), done.set()
    for t in waiting: t.join()
print(got == 2 * [core.GradCoef.parse_siemens(open({str(path)!r}).read()).to_siemens()])""", timeout=60)
    assert (out.returncode, out.stdout) == (0, "True\n"), out.stderr


@pytest.mark.parametrize("coef, message", [
    (lambda: core.GradCoef.parse_siemens(" 1e-40 = R0\n" + TERM), "the field must be finite: its displacement or Jacobian overflows at voxel [0, 0, 0]"),
    (lambda: core.GradCoef.parse_siemens(TERM.replace("-0.08", "1e300")), "the field must be finite: "),
    (lambda: WB.scaled(math.nan), "scale must be finite: nan"),
    (lambda: WB.scaled(1e300).scaled(-1e10), "scaled coefficient must be finite: term 1, -8e+298 x -1e+10"),
])
def test_sets_whose_field_overflows_are_refused(coef, message):
    # such a field blanked every warped image; nothing may be warped
    comp = core.Compartments.from_images((3, 3, 3), 1, [np.ones(27, np.float32)], [80.0])
    with pytest.raises(ValueError, match="^" + re.escape(message)):
        comp.warp_gnl(core.GnlField.on_grid(coef(), (3, 3, 3), np.diag([60.0, 60.0, 60.0, 1.0])), True)
    assert np.all(comp.images()[0] == 1)


# ---- the field on a grid ----

def test_field_matches_reference_on_oblique_grid():
    dims = (4, 3, 3)
    affine = np.array([[6.0, 0.5, 0, -100.0], [-4.0, 7.0, 0.3, 60.0], [2.0, -0.3, 9.0, 80.0], [0, 0, 0, 1]])
    terms = [(l, m, 2.5 * c, a) for l, m, c, a in WHOLE_BODY]
    field = core.GnlField.on_grid(core.GradCoef.from_spec("connectom-300"), dims, affine)
    ijk, w = centres(dims, affine)
    h = 0.25 * np.linalg.norm(affine[:3, 0])
    disp, src, jac, mod = [], [], [], []
    for w0 in w:
        p = w0.copy()
        for _ in range(8):
            p = w0 - ref_world(terms, 250.0, p)
        disp.append(ref_world(terms, 250.0, w0))
        src.append(np.linalg.solve(affine[:3, :3], p - affine[:3, 3]))
        jac.append(ref_jacobian(terms, w0, h))
        mod.append(1.0 / max(abs(np.linalg.det(ref_jacobian(terms, p, h))), 1e-6))
    # float32 storage: a few ulps of the largest value
    np.testing.assert_allclose(field.disp().reshape(-1, 3), disp, rtol=0, atol=4 * np.abs(disp).max() * 2**-23)
    got_src = field.src_vox().reshape(-1, 3)
    np.testing.assert_allclose(got_src, src, atol=1e-5)
    assert np.abs(got_src - ijk).max() > 0.5  # strong enough to move voxels
    np.testing.assert_allclose(field.graddev(np.eye(4)).reshape(-1, 3, 3), jac, atol=1e-6)
    r = affine[:3, :3] / np.linalg.norm(affine[:3, :3], axis=0)  # graddev: J in the grid's own axes
    np.testing.assert_allclose(field.graddev(affine).reshape(-1, 3, 3), np.linalg.inv(r) @ jac @ r, atol=1e-6)
    inside = np.all((got_src >= 0) & (got_src <= np.array(dims) - 1), axis=1)
    assert inside.sum() > 4
    modulation = field.warp_volume(np.ones(36, np.float32), True)
    # Faces move by the field: a voxel reads 0 exactly where the NumPy source is off the grid (no
    # source here lies within float32 rounding of a bound).
    off = np.any((np.array(src) < 0) | (np.array(src) > np.array(dims) - 1), axis=1)
    assert np.array_equal(modulation == 0, off)
    np.testing.assert_allclose(modulation[inside], np.array(mod)[inside], rtol=1e-5)


@pytest.mark.parametrize("r0, terms, affine", [
    # m = 2, 4, 6 terms (whose normalisation keeps its sign) on every axis, R0 = 330 mm
    (330.0, [(3, 2, 0.02, "x"), (2, 2, 0.04, "x"), (4, 2, -0.03, "y"), (6, 6, -0.002, "y"), (5, 4, 0.01, "z"), (4, 0, 0.01, "z")],
     [[60.0, 5.0, 0, -100.0], [-40.0, 70.0, 3.0, 60.0], [20.0, -3.0, 90.0, -80.0], [0, 0, 0, 1]]),
    # the highest degree, on corners just beyond R0 where rho^85 is large
    (250.0, [(85, 85, 1.0, "x"), (85, 0, 1.0, "z")], [[100.0, 0, 0, -150], [0, 150.0, 0, -150], [0, 0, 150.0, -150], [0, 0, 0, 1]]),
])
def test_even_orders_other_radii_and_the_highest_degree(r0, terms, affine):
    text = f" {r0 / 1000:.3f} = R0\n" + "".join(f"{k:3d} A({l:2d},{m:2d}) {c:.6f} {a}\n" for k, (l, m, c, a) in enumerate(terms))
    coef = core.GradCoef.parse_siemens(text)
    assert (coef.r0_mm, coef.n_terms) == (r0, len(terms))
    dims, affine = (4, 3, 3), np.array(affine)
    want = np.array([ref_world(terms, r0, w) for w in centres(dims, affine)[1]])
    got = core.GnlField.on_grid(coef, dims, affine).disp().reshape(-1, 3)
    scale = np.abs(want).max(0)
    assert (scale > 1e-4).sum() == len({a for *_, a in terms})  # every axis with terms displaced
    # float32 storage, per axis; the two float64 evaluations (a recurrence, numpy's Legendre
    # series) differ by some l rounding steps, far below it
    assert (np.abs(got - want) <= 4 * scale * 2**-23).all()


def tilted(dims, voxel_mm, x_deg, y_deg, centre=(0.0, 0.0, 0.0)):
    """A grid centred on `centre`, its axes turned x_deg about x, then y_deg about y."""
    (cx, sx), (cy, sy) = ((math.cos(math.radians(t)), math.sin(math.radians(t))) for t in (x_deg, y_deg))
    a = np.eye(4)
    a[:3, :3] = [[cy, 0, sy], [0, 1, 0], [-sy, 0, cy]] @ np.array([[1, 0, 0], [0, cx, -sx], [0, sx, cx]]) * voxel_mm
    a[:3, 3] = np.subtract(centre, a[:3, :3] @ (np.array(dims) - 1) / 2)
    return a


OBLIQUE = [((5, 4, 3), np.array([[6.0, 0.5, 0, -10.3], [-4.0, 7.0, 0.3, 6.1], [2.0, -0.3, 9.0, 8.7], [0, 0, 0, 1]])),
           ((40, 40, 20), tilted((40, 40, 20), (2.0, 2.0, 2.0), 12.0, 7.0)),  # an AC-PC tilt
           ((7, 6, 5), tilted((7, 6, 5), (1.5, 1.7, 3.0), -25.0, 40.0, (30.0, -20.0, 90.0)))]


def test_null_field_leaves_oblique_grids_unchanged(rng):
    # Through the world and back, an oblique affine put face planes at -1e-16: outside, so they read 0.
    for dims, affine in OBLIQUE:
        field = core.GnlField.on_grid(WB.scaled(0.0), dims, affine)
        np.testing.assert_array_equal(field.src_vox().reshape(-1, 3), centres(dims, affine)[0])
        vol = rng.uniform(0.5, 2.0, math.prod(dims)).astype(np.float32)
        assert field.warp_volume(vol, False).tobytes() == field.warp_volume(vol, True).tobytes() == vol.tobytes()
        comp = core.Compartments.from_images(dims, 1, [vol], [80.0])
        comp.warp_gnl(field, True)
        assert comp.images()[0].tobytes() == vol.tobytes()


def test_warp_pulls_trilinearly_and_zeroes_outside_or_diverged_sources():
    # Far from the isocentre the sources leave the grid, and the fixed-point inverse diverges
    # on some voxels (non-finite sources): those read 0, never NaN, even when modulated.
    dims = (4, 4, 6)
    affine = np.diag([20.0, 20.0, 40.0, 1.0])
    affine[:3, 3] = (-30.0, -30.0, 0.0)
    field = core.GnlField.on_grid(core.GradCoef.from_spec("connectom-300").scaled(4.0), dims, affine)
    src = field.src_vox().reshape(-1, 3).astype(float)
    inside = np.isfinite(src).all(axis=1) & np.all((src >= 0) & (src <= np.array(dims) - 1), axis=1)
    assert inside.any() and not np.isfinite(src).all() and (np.isfinite(src).all(axis=1) & ~inside).any()
    ijk = centres(dims, affine)[0]
    linear = lambda p: 1.0 + 2.0 * p[..., 0] + 3.0 * p[..., 1] + 5.0 * p[..., 2]  # trilinear is exact on it
    out = field.warp_volume(linear(ijk).astype(np.float32), False)
    np.testing.assert_allclose(out[inside], linear(src[inside]), rtol=1e-5)
    assert np.all(out[~inside] == 0)
    modulated = field.warp_volume(linear(ijk).astype(np.float32), True)
    assert np.isfinite(modulated).all() and np.all(modulated[~inside] == 0)


def test_warp_4d_is_warp_volume_per_volume_and_empty_grids(rng):
    field = core.GnlField.on_grid(core.GradCoef.from_spec("connectom-300").scaled(4.0), (5, 4, 3), np.diag([9.0, 9, 9, 1]))
    img = rng.random(60 * 4).astype(np.float32)
    out = field.warp_4d(img, 4, True)
    for g in range(4):
        np.testing.assert_array_equal(out[g::4], field.warp_volume(np.ascontiguousarray(img[g::4]), True))
    np.testing.assert_array_equal(field.warp_4d(img[:60], 1, False), field.warp_volume(img[:60], False))
    empty = core.GnlField.on_grid(WB, (0, 4, 4), np.eye(4))
    assert empty.dims == (0, 4, 4) and empty.disp().size == empty.src_vox().size == empty.graddev(np.eye(4)).size == 0
    assert empty.warp_volume(np.zeros(0, np.float32), True).size == 0 == empty.warp_4d(np.zeros(0, np.float32), 5, False).size


def test_envelope():
    dims = (7, 6, 5)
    affine = np.diag([20.0, 20.0, 20.0, 1.0])
    affine[:3, 3] = (-60.0, -50.0, -40.0)  # no voxel centre on the origin
    field = core.GnlField.on_grid(core.GradCoef.from_spec("connectom-300"), dims, affine)
    inside = np.linalg.norm(centres(dims, affine)[1], axis=1) <= 55.0
    jac = field.graddev(np.eye(4)).reshape(-1, 3, 3).astype(float)[inside]
    rows = np.linalg.norm(jac, axis=2)
    angles = np.degrees(np.arccos(np.clip(np.einsum("vrr->vr", jac) / rows, -1, 1)))
    env = field.envelope(affine, 55.0)
    assert list(env) == ["n_voxels", "max_disp_mm", "max_gradient_dev", "max_angle_deg"]
    assert env["n_voxels"] == inside.sum() > 0
    assert env["max_disp_mm"] == pytest.approx(np.linalg.norm(field.disp().reshape(-1, 3).astype(float), axis=1)[inside].max(), rel=1e-12)
    assert env["max_gradient_dev"] == pytest.approx(np.abs(rows - 1).max(), rel=1e-9)
    assert env["max_angle_deg"] == pytest.approx(angles.max(), rel=1e-9)
    assert field.envelope(affine, 0.0)["n_voxels"] == 0
    affine[1, 3] = -40.0  # voxel (3, 2, 2) now sits exactly on the origin, where nothing is displaced
    assert field.envelope(affine, 0.0)["n_voxels"] == 1
    assert not core.GnlField.on_grid(WB, dims, affine).disp().reshape(-1, 3)[3 + 7 * (2 + 6 * 2)].any()


SINGULAR = (np.diag([2.0, 0.0, 2.0, 1.0]), np.array([[1.0, 2, 0, 0], [0, 0, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]]))


def test_argument_errors():
    field = core.GnlField.on_grid(WB, (4, 4, 3), np.eye(4))
    for call, message in [
        *((lambda a=a: core.GnlField.on_grid(WB, (2, 2, 2), a), "grid affine is singular") for a in SINGULAR),
        *((lambda a=a: field.graddev(a), "affine rotation is singular") for a in SINGULAR),
        (lambda: field.warp_volume(np.zeros(47, np.float32), False), "volume: expected 48 values, got 47"),
        (lambda: field.warp_4d(np.zeros(95, np.float32), 2, False), "4-D image: expected 96 values, got 95"),
        (lambda: field.warp_volume(np.zeros(96, np.float32)[::2], False), "The given array is not contiguous or is misaligned."),
        (lambda: core.GnlField.on_grid(WB, (4, 4, 3), np.eye(4)[:3]), "affine must be (4, 4), got [3, 4]"),
        (lambda: field.graddev(np.eye(3)), "affine must be (4, 4), got [3, 3]"),
    ]:
        with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
            call()
    for call, name in [(lambda: core.GradCoef.from_spec(3), "spec"), (lambda: core.GnlField.on_grid("x", (4, 4, 3), np.eye(4)), "coef")]:
        with pytest.raises(TypeError) as e:
            call()
        assert f"while processing '{name}'" in e.value.__notes__
