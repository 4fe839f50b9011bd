import math
import re

import numpy as np
import pytest
from numpy.polynomial import legendre

import quorvel._core as core

TERM = "  1 A( 3, 1) -0.08 x\n"


def coef_lines(text):
    """The term lines of a written coefficient file as (l, m, coef, axis)."""
    out = []
    for line in text.splitlines():
        m = re.fullmatch(r"\s*\d+ A\(\s*(\d+),\s*(\d+)\) (\S+) ([xyz])", line)
        if m:
            out.append((int(m[1]), int(m[2]), float(m[3]), m[4]))
    return out


# ---- an independent reference of the solid-harmonic displacement ----

def assoc_legendre(l, m, x):
    """P_l^m(x) with the Condon-Shortley phase, from the m-th derivative of P_l."""
    d = legendre.legder([0] * l + [1], m) if m > 0 else [0] * l + [1]
    return (-1) ** m * (1 - x * x) ** (m / 2) * legendre.legval(x, d)


def ref_displacement_scanner(terms, r0, p):
    x, y, z = p
    r = math.sqrt(x * x + y * y + z * z)
    if r < 1e-9:
        return np.zeros(3)
    phi = math.atan2(y, x)
    c = min(max(z / r, -1.0), 1.0)
    d = np.zeros(3)
    for l, m, coef, axis in terms:
        norm = 1.0 if m == 0 else (-1) ** m * math.sqrt((2 * l + 1) * math.factorial(l - m) / (2 * math.factorial(l + m)))
        az = math.sin(m * phi) if axis == "y" else math.cos(m * phi)
        d["xyz".index(axis)] += az * (r / r0) ** l * coef * r0 * norm * assoc_legendre(l, m, c)
    return d


def ref_world(terms, r0, w):
    s = ref_displacement_scanner(terms, r0, (-w[0], w[1], -w[2]))
    return np.array([-s[0], s[1], -s[2]])


def ref_jacobian(terms, r0, w, h):
    j = np.eye(3)
    for c in range(3):
        e = np.zeros(3)
        e[c] = h
        j[:, c] += (ref_world(terms, r0, w + e) - ref_world(terms, r0, w - e)) / (2 * h)
    return j


def voxel_centres(dims, affine):
    nx, ny, nz = dims
    k, j, i = np.meshgrid(np.arange(nz), np.arange(ny), np.arange(nx), indexing="ij")
    ijk = np.stack([i.ravel(), j.ravel(), k.ravel()], axis=1).astype(float)
    return ijk, ijk @ affine[:3, :3].T + affine[:3, 3]


def ref_trilinear(vol, dims, p):
    """Trilinear weights of the eight corners, 0 outside [0, n-1]."""
    nx, ny, nz = dims
    if any(c < 0 or c > n - 1 for c, n in zip(p, dims)):
        return 0.0
    i0 = [int(math.floor(c)) for c in p]
    i1 = [min(n - 1, a + 1) for a, n in zip(i0, dims)]
    f = [c - a for c, a in zip(p, i0)]
    total = 0.0
    for cx, wx in ((i0[0], 1 - f[0]), (i1[0], f[0])):
        for cy, wy in ((i0[1], 1 - f[1]), (i1[1], f[1])):
            for cz, wz in ((i0[2], 1 - f[2]), (i1[2], f[2])):
                total += wx * wy * wz * float(vol[cx + nx * (cy + ny * cz)])
    return total


WHOLE_BODY = coef_lines(core.GradCoef.from_spec("whole-body-80").to_siemens())
OBLIQUE = np.array([[1.8, 0.3, 0.0, -20.0], [-0.2, 2.1, 0.4, 15.0], [0.1, -0.3, 2.5, -30.0], [0, 0, 0, 1.0]])


# ---- coefficient files ----

@pytest.mark.parametrize(
    "r0_line, r0_mm",
    [(" 0.25 m = R0", 250.0), (" 0.250 = R0", 250.0), (" 1.5   = R0 (metres)", 1500.0), ("x-0.3  = R0", -300.0)],
)
def test_r0_line_reads_five_characters_in_metres(r0_line, r0_mm):
    c = core.GradCoef.parse_siemens(r0_line + "\n" + TERM)
    assert c.r0_mm == pytest.approx(r0_mm, rel=1e-15)


def test_later_r0_line_replaces_earlier_and_default_is_250():
    assert core.GradCoef.parse_siemens(TERM).r0_mm == 250.0
    assert core.GradCoef.parse_siemens(" 0.100 = R0\n" + TERM + " 0.300 = R0").r0_mm == pytest.approx(300.0)


@pytest.mark.parametrize("line", ["= R0", " abcde = R0", " 0.2é = R0"])
def test_bad_r0_line(line):
    with pytest.raises(ValueError, match=re.escape(f'bad R0 line: "{line}"')):
        core.GradCoef.parse_siemens(line + "\n" + TERM)


def test_sine_term_with_negative_order():
    c = core.GradCoef.parse_siemens("  3 B( 3,-1) 0.05 y\n")
    assert coef_lines(c.to_siemens()) == [(3, 1, 0.05, "y")]
    assert c.n_terms == 1


@pytest.mark.parametrize(
    "line",
    [
        "  1 A( 3, 1) 0.05",         # no axis letter
        "  1 A( 3, 1) 0.05 w",       # not an axis letter
        "1A( 3, 1) 0.05 x",          # "(" at byte 2
        "  1 Axxxxx( 3, 1) 0.05 x",  # "(" at byte 10
        "  1 A( 3) 0.05, x",         # ")" before ","
        "  1 A, B( 3 1) 0.05 x",     # "," before "("
        "  1 A( 1, 1) 0.05 x",       # l = 1 terms are dropped
        "just a comment",
        "",
    ],
)
def test_ignored_lines(line):
    c = core.GradCoef.parse_siemens(line + "\n" + TERM)
    assert coef_lines(c.to_siemens()) == [(3, 1, -0.08, "x")]


@pytest.mark.parametrize("pos", [3, 9])
def test_open_paren_at_either_end_of_its_range_is_read(pos):
    line = "1" * (pos - 1) + "A( 5, 0) 0.5 z"
    c = core.GradCoef.parse_siemens(line)
    assert coef_lines(c.to_siemens()) == [(5, 0, 0.5, "z")]


@pytest.mark.parametrize(
    "line, message",
    [
        ("  1 A( x, 1) 0.05", "bad l in"),         # ignored line, but l is read first
        ("  1 A( -3, 1) 0.05 x", "bad l in"),
        ("  1 A( 4294967296, 1) 0.05 x", "bad l in"),
        ("  1 A( 3, 1.5) 0.05", "bad m in"),
        ("  1 A( 3, 2147483648) 0.05 x", "bad m in"),
        ("  1 A( 3, 1) 0.0.5 x", "bad coefficient in"),
        ("  1 A( 3, 1) inf x", "bad coefficient in"),
        ("  1 A( 3, 1) x", "bad coefficient in"),
    ],
)
def test_malformed_fields_fail_the_read(line, message):
    with pytest.raises(ValueError, match=re.escape(f'{message} "{line}"')):
        core.GradCoef.parse_siemens(TERM + line + "\n")


def test_order_above_degree_is_refused_naming_the_line():
    line = "  2 A( 2,-3) 0.05 x"
    with pytest.raises(ValueError, match=re.escape(f'order 3 exceeds degree 2 in "{line}"')):
        core.GradCoef.parse_siemens(TERM + line)


@pytest.mark.parametrize("text", ["", "\n\n", "  1 A( 1, 0) 0.9 z\n  2 A( 1, 1) 0.9 x\n", " 0.25 = R0\n"])
def test_no_terms_kept(text):
    with pytest.raises(ValueError, match="^no coefficient lines found$"):
        core.GradCoef.parse_siemens(text)


def test_crlf_line_endings_and_quoted_escapes():
    c = core.GradCoef.parse_siemens(" 0.300 = R0\r\n  1 A( 3, 0) 0.5 z\r\n")
    assert c.r0_mm == pytest.approx(300.0)
    assert coef_lines(c.to_siemens()) == [(3, 0, 0.5, "z")]
    with pytest.raises(ValueError, match=re.escape(r'bad l in "  1 A(\t?, 0) 1 \"z"')):
        core.GradCoef.parse_siemens('  1 A(\t?, 0) 1 "z')


def test_written_file_layout_and_round_trip():
    wb = core.GradCoef.from_spec("whole-body-80")
    text = wb.to_siemens()
    lines = text.split("\n")
    assert lines[0] == " Synthetic gradient coefficients - Quorvel GNL"
    assert lines[1] == " 0.250 = R0"
    assert lines[2] == ""
    assert lines[3] == "  1 A( 3, 1) -0.080000 x"
    assert lines[15] == " 13 A( 7, 0) -0.002000 z"
    assert lines[16:] == ["", ""]  # the last term's newline, then one final empty line
    back = core.GradCoef.parse_siemens(text)
    assert back.n_terms == 13 and back.r0_mm == 250.0
    assert back.to_siemens() == text


def test_presets():
    wb = coef_lines(core.GradCoef.from_spec("whole-body-80").to_siemens())
    cx = coef_lines(core.GradCoef.from_spec("connectom-300").to_siemens())
    assert [(l, m, a) for l, m, _, a in wb] == [(l, m, a) for l, m, _, a in cx]
    assert [t[:2] for t in wb] == [(3, 1), (3, 3), (5, 1), (5, 5), (7, 1)] * 2 + [(3, 0), (5, 0), (7, 0)]
    assert [t[3] for t in wb] == ["x"] * 5 + ["y"] * 5 + ["z"] * 3
    np.testing.assert_allclose([t[2] for t in cx], [2.5 * t[2] for t in wb], rtol=1e-12)


def test_scaled_keeps_terms_and_order():
    wb = core.GradCoef.from_spec("whole-body-80")
    z = wb.scaled(0.0)
    assert z.n_terms == 13 and z.r0_mm == 250.0
    assert all(c == 0.0 for _, _, c, _ in coef_lines(z.to_siemens()))
    doubled = coef_lines(wb.scaled(2.0).to_siemens())
    assert doubled == [(l, m, 2 * c, a) for l, m, c, a in coef_lines(wb.to_siemens())]


def test_round_trip_r0_to_whole_millimetres():
    c = core.GradCoef.parse_siemens(" 0.3337 = R0\n" + TERM)  # five characters: 0.333
    assert c.r0_mm == pytest.approx(333.0)
    assert core.GradCoef.parse_siemens(c.scaled(2.0).to_siemens()).r0_mm == pytest.approx(333.0)
    c = core.GradCoef.parse_siemens(" 9.876 = R0\n" + TERM)
    assert core.GradCoef.parse_siemens(c.to_siemens()).r0_mm == pytest.approx(9876.0)


def test_from_spec_files(tmp_path):
    good = tmp_path / "coil.grad"
    good.write_text(" 0.200 = R0\n  1 A( 5, 2) 0.125 y\n")
    c = core.GradCoef.from_spec(str(good))
    assert c.r0_mm == pytest.approx(200.0)
    assert coef_lines(c.to_siemens()) == [(5, 2, 0.125, "y")]

    missing = tmp_path / "absent.grad"
    with pytest.raises(ValueError, match=re.escape(f"cannot read coefficient file {missing}: No such file or directory")):
        core.GradCoef.from_spec(str(missing))
    with pytest.raises(ValueError, match=re.escape(f"cannot read coefficient file {tmp_path}: Is a directory")):
        core.GradCoef.from_spec(str(tmp_path))
    latin1 = tmp_path / "latin1.grad"
    latin1.write_bytes(b"\xe9t\xe9\n" + TERM.encode())
    with pytest.raises(ValueError, match=re.escape(f"cannot read coefficient file {latin1}: ")):
        core.GradCoef.from_spec(str(latin1))
    empty = tmp_path / "empty.grad"
    empty.write_text("")
    with pytest.raises(ValueError, match=re.escape(f"{empty}: no coefficient lines found")):
        core.GradCoef.from_spec(str(empty))
    # preset names are matched exactly; anything else is a path
    with pytest.raises(ValueError, match="^cannot read coefficient file Whole-body-80: "):
        core.GradCoef.from_spec("Whole-body-80")


def test_gradcoef_types():
    with pytest.raises(TypeError) as e:
        core.GradCoef.from_spec(3)
    assert "while processing 'spec'" in e.value.__notes__
    with pytest.raises(TypeError):
        core.GradCoef.from_spec("whole-body-80").scaled("2")
    with pytest.raises(TypeError):
        core.GradCoef()
    with pytest.raises(AttributeError):
        core.GradCoef.from_spec("whole-body-80").r0_mm = 1.0


# ---- the field on a grid ----

def test_displacement_matches_reference_on_oblique_grid():
    dims = (5, 4, 3)
    field = core.GnlField.on_grid(core.GradCoef.from_spec("connectom-300"), dims, OBLIQUE)
    _, w = voxel_centres(dims, OBLIQUE)
    ref = np.array([ref_world(WHOLE_BODY_X(2.5), 250.0, p) for p in w])
    # float32 storage: k = 4 ulps of the largest displacement
    np.testing.assert_allclose(field.disp().reshape(-1, 3), ref, rtol=0, atol=4 * np.abs(ref).max() * 2**-23)


def WHOLE_BODY_X(s):
    return [(l, m, c * s, a) for l, m, c, a in WHOLE_BODY]


def test_inverse_map_jacobian_and_modulation_match_reference():
    dims = (4, 3, 3)
    affine = np.array([[6.0, 0, 0, -100.0], [0, 7.0, 0, 60.0], [0, 0, 9.0, 80.0], [0, 0, 0, 1]])
    coef = core.GradCoef.from_spec("connectom-300").scaled(3.0)
    terms = WHOLE_BODY_X(7.5)
    field = core.GnlField.on_grid(coef, dims, affine)
    ijk, w = voxel_centres(dims, affine)
    h = 0.25 * 6.0
    ref_src, ref_jac, ref_mod = [], [], []
    for p0 in w:
        p = p0.copy()
        for _ in range(8):
            p = p0 - ref_world(terms, 250.0, p)
        ref_src.append(np.linalg.solve(affine[:3, :3], p - affine[:3, 3]))
        ref_jac.append(ref_jacobian(terms, 250.0, p0, h))
        ref_mod.append(1.0 / max(abs(np.linalg.det(ref_jacobian(terms, 250.0, p, h))), 1e-6))
    src = field.src_vox().reshape(-1, 3)
    np.testing.assert_allclose(src, ref_src, atol=1e-5)
    assert np.abs(src - ijk).max() > 0.05  # the field is strong enough to move voxels
    np.testing.assert_allclose(field.graddev(np.eye(4)).reshape(-1, 3, 3), ref_jac, atol=1e-6)
    ones = np.ones(field.src_vox().size // 3, np.float32)
    inside = np.all((src >= 0) & (src <= np.array(dims) - 1), axis=1)
    mod = field.warp_volume(ones, True)
    np.testing.assert_allclose(mod[inside], np.array(ref_mod)[inside], rtol=1e-5)


def test_zero_coefficients_give_identity():
    dims = (4, 3, 2)
    field = core.GnlField.on_grid(core.GradCoef.from_spec("whole-body-80").scaled(0.0), dims, OBLIQUE)
    ijk, _ = voxel_centres(dims, OBLIQUE)
    assert np.all(field.disp() == 0)
    np.testing.assert_allclose(field.src_vox().reshape(-1, 3), ijk, atol=1e-4)
    np.testing.assert_allclose(field.graddev(OBLIQUE).reshape(-1, 3, 3), np.broadcast_to(np.eye(3), (24, 3, 3)), atol=1e-6)
    vol = np.random.default_rng(42).random(24).astype(np.float32)
    ident = core.GnlField.on_grid(core.GradCoef.from_spec("whole-body-80").scaled(0.0), dims, np.eye(4))
    for modulate in (False, True):
        np.testing.assert_array_equal(ident.warp_volume(vol, modulate), vol)
    env = ident.envelope(np.eye(4), 1e9)
    assert env == {"n_voxels": 24, "max_disp_mm": 0.0, "max_gradient_dev": 0.0, "max_angle_deg": 0.0}


def test_empty_grid():
    field = core.GnlField.on_grid(core.GradCoef.from_spec("whole-body-80"), (0, 4, 4), np.eye(4))
    assert field.dims == (0, 4, 4)
    assert field.disp().size == 0 and field.src_vox().size == 0 and field.graddev(np.eye(4)).size == 0
    out = field.warp_volume(np.zeros(0, np.float32), True)
    assert out.dtype == np.float32 and out.size == 0
    assert field.warp_4d(np.zeros(0, np.float32), 5, False).size == 0


def z_quadratic_field():
    """One zonal degree-2 z term, D_z = -k (2 wz^2 - wx^2 - wy^2) with k = coef / (2 r0) = 0.025, on a
    grid whose voxel (1, 1, 1) sits at w = (7, 1, 5): there D = 0 (so phi^-1(w) = w exactly) and
    det J = 1 - 4 k wz = 0.5."""
    coef = core.GradCoef.parse_siemens("  1 A( 2, 0) 12.5 z\n")
    affine = np.eye(4)
    affine[:3, 3] = (6.0, 0.0, 4.0)
    return core.GnlField.on_grid(coef, (3, 3, 3), affine)


def test_modulation_two_where_determinant_is_half():
    field = z_quadratic_field()
    centre = 1 + 3 * (1 + 3 * 1)
    np.testing.assert_allclose(field.src_vox().reshape(-1, 3)[centre], (1, 1, 1), atol=1e-6)
    vol = np.random.default_rng(42).random(27).astype(np.float32)
    plain = field.warp_volume(vol, False)
    modulated = field.warp_volume(vol, True)
    assert plain[centre] == pytest.approx(vol[centre], rel=1e-5)
    assert modulated[centre] == pytest.approx(2.0 * plain[centre], rel=1e-5)
    jac = field.graddev(np.eye(4)).reshape(-1, 3, 3)[centre]
    assert np.linalg.det(jac.astype(float)) == pytest.approx(0.5, rel=1e-6)


def test_warp_is_trilinear_pull_and_zero_outside():
    rng = np.random.default_rng(42)
    dims = (6, 5, 4)
    affine = np.diag([9.0, 9.0, 9.0, 1.0])
    affine[:3, 3] = (-20.0, -10.0, 150.0)
    # far from the isocentre (z 150 to 177 mm): displacements up to 20 mm push sources outside
    field = core.GnlField.on_grid(core.GradCoef.from_spec("connectom-300"), dims, affine)
    vol = rng.random(120).astype(np.float32)
    src = field.src_vox().reshape(-1, 3).astype(float)
    ones = np.ones(120, np.float32)
    modulation = field.warp_volume(ones, True) / np.maximum(field.warp_volume(ones, False), 1e-30)
    outside = np.any((src < 0) | (src > np.array(dims) - 1), axis=1)
    assert outside.any() and (~outside).any()
    ref = np.array([ref_trilinear(vol, dims, p) for p in src])
    for modulate in (False, True):
        out = field.warp_volume(vol, modulate)
        assert np.all(out[outside] == 0)
        expect = ref * (modulation if modulate else 1.0)
        np.testing.assert_allclose(out[~outside], expect[~outside], rtol=2e-6, atol=1e-7)


def test_warp_4d_is_warp_volume_per_volume():
    rng = np.random.default_rng(42)
    dims = (5, 4, 3)
    field = core.GnlField.on_grid(core.GradCoef.from_spec("connectom-300").scaled(4.0), dims, np.diag([9.0, 9, 9, 1]))
    img = rng.random(60 * 4).astype(np.float32)
    out = field.warp_4d(img, 4, True)
    for g in range(4):
        np.testing.assert_array_equal(out[g::4], field.warp_volume(np.ascontiguousarray(img[g::4]), True))
    np.testing.assert_array_equal(field.warp_4d(img[:60], 1, False), field.warp_volume(img[:60], False))
    assert field.warp_4d(np.zeros(0, np.float32), 0, True).size == 0


def test_graddev_in_grid_axes():
    dims = (3, 3, 2)
    coef = core.GradCoef.from_spec("connectom-300").scaled(3.0)
    field = core.GnlField.on_grid(coef, dims, OBLIQUE)
    jac = field.graddev(np.eye(4)).reshape(-1, 3, 3).astype(float)
    r = OBLIQUE[:3, :3] / np.linalg.norm(OBLIQUE[:3, :3], axis=0)
    expect = np.linalg.inv(r) @ jac @ r
    np.testing.assert_allclose(field.graddev(OBLIQUE).reshape(-1, 3, 3), expect, atol=1e-6)
    assert not np.allclose(jac, np.eye(3), atol=1e-4)


@pytest.mark.parametrize(
    "affine", [np.diag([2.0, 0.0, 2.0, 1.0]), np.array([[1.0, 2, 0, 0], [0, 0, 0, 0], [0, 0, 1, 0], [0, 0, 0, 1]])]
)
def test_singular_affines(affine):
    coef = core.GradCoef.from_spec("whole-body-80")
    with pytest.raises(ValueError, match="^grid affine is singular$"):
        core.GnlField.on_grid(coef, (2, 2, 2), affine)
    field = core.GnlField.on_grid(coef, (2, 2, 2), np.eye(4))
    with pytest.raises(ValueError, match="^affine rotation is singular$"):
        field.graddev(affine)


def test_envelope_against_reference():
    dims = (7, 6, 5)
    affine = np.diag([20.0, 20.0, 20.0, 1.0])
    affine[:3, 3] = (-60.0, -50.0, -40.0)  # voxel (3, 2.5, 2) at the origin: no centre on it
    coef = core.GradCoef.from_spec("connectom-300")
    field = core.GnlField.on_grid(coef, dims, affine)
    _, w = voxel_centres(dims, affine)
    jac = field.graddev(np.eye(4)).reshape(-1, 3, 3).astype(float)
    disp = np.linalg.norm(field.disp().reshape(-1, 3).astype(float), axis=1)
    inside = np.linalg.norm(w, axis=1) <= 55.0
    rows = np.linalg.norm(jac, axis=2)
    diag = np.einsum("vrr->vr", jac)
    env = field.envelope(affine, 55.0)
    assert list(env) == ["n_voxels", "max_disp_mm", "max_gradient_dev", "max_angle_deg"]
    assert env["n_voxels"] == inside.sum() > 0
    assert env["max_disp_mm"] == pytest.approx(disp[inside].max(), rel=1e-12)
    assert env["max_gradient_dev"] == pytest.approx(np.abs(rows - 1)[inside].max(), rel=1e-9)
    angles = np.degrees(np.arccos(np.clip(diag / rows, -1, 1)))
    assert env["max_angle_deg"] == pytest.approx(angles[inside].max(), rel=1e-9)
    assert field.envelope(affine, 0.0)["n_voxels"] == 0
    shifted = affine.copy()
    shifted[:3, 3] = (-60.0, -40.0, -40.0)  # now voxel (3, 2, 2) sits exactly on the origin
    assert field.envelope(shifted, 0.0)["n_voxels"] == 1


def test_z_axis_displacement_has_only_zonal_terms():
    # Voxels on the world z axis (x = y = 0): m > 0 terms carry sqrt(1 - c^2) = 0.
    dims = (1, 1, 6)
    affine = np.diag([1.0, 1.0, 30.0, 1.0])
    affine[2, 3] = -75.0
    field = core.GnlField.on_grid(core.GradCoef.from_spec("whole-body-80"), dims, affine)
    d = field.disp().reshape(-1, 3).astype(float)
    assert np.all(d[:, :2] == 0)
    for (z, dz) in zip(-75.0 + 30.0 * np.arange(6), d[:, 2]):
        qz = -z  # scanner frame
        zonal = sum(c * 250.0 * (abs(qz) / 250.0) ** l * np.sign(qz) ** l for l, m, c, a in WHOLE_BODY if a == "z")
        assert dz == pytest.approx(-zonal, rel=1e-6, abs=1e-12)
    assert np.abs(d[:, 2]).max() > 1e-3


def test_isocentre_has_zero_displacement():
    affine = np.eye(4)
    affine[:3, 3] = (-1.0, -1.0, -1.0)  # voxel (1, 1, 1) at the origin
    field = core.GnlField.on_grid(core.GradCoef.from_spec("connectom-300").scaled(1e4), (3, 3, 3), affine)
    d = field.disp().reshape(-1, 3)
    assert np.all(d[13] == 0)
    assert np.abs(d).max() > 0


def test_field_argument_errors():
    field = core.GnlField.on_grid(core.GradCoef.from_spec("whole-body-80"), (4, 4, 3), np.eye(4))
    with pytest.raises(ValueError, match=re.escape("volume: expected 48 values, got 47")):
        field.warp_volume(np.zeros(47, np.float32), False)
    with pytest.raises(ValueError, match=re.escape("4-D image: expected 96 values, got 95")):
        field.warp_4d(np.zeros(95, np.float32), 2, False)
    with pytest.raises(ValueError, match=re.escape("The given array is not contiguous or is misaligned.")):
        field.warp_volume(np.zeros(96, np.float32)[::2], False)
    with pytest.raises(TypeError):
        field.warp_volume(np.zeros(48), False)
    with pytest.raises(TypeError) as e:
        field.warp_volume(np.zeros(48, np.float32), 1)
    assert "while processing 'modulate'" in e.value.__notes__
    with pytest.raises(TypeError, match="'str' object is not an instance of 'GradCoef'") as e:
        core.GnlField.on_grid("whole-body-80", (4, 4, 3), np.eye(4))
    assert "while processing 'coef'" in e.value.__notes__
    with pytest.raises(ValueError, match=re.escape("affine must be (4, 4), got [3, 4]")):
        core.GnlField.on_grid(core.GradCoef.from_spec("whole-body-80"), (4, 4, 3), np.eye(4)[:3])
    with pytest.raises(ValueError, match=re.escape("affine must be (4, 4), got [3, 3]")):
        field.graddev(np.eye(3))
    assert field.dims == (4, 4, 3)


def test_diverged_inverse_map_samples_zero():
    # Ten times the whole-body set 150 mm off-centre: the fixed-point inverse diverges on some
    # voxels (non-finite sources); those voxels must read 0, not NaN, even when modulated.
    dims = (6, 5, 4)
    affine = np.diag([9.0, 9.0, 9.0, 1.0])
    affine[:3, 3] = (-20.0, -10.0, 150.0)
    field = core.GnlField.on_grid(core.GradCoef.from_spec("connectom-300").scaled(4.0), dims, affine)
    src = field.src_vox().reshape(-1, 3)
    bad = ~np.isfinite(src).all(axis=1)
    assert bad.any()
    out = field.warp_volume(np.ones(120, np.float32), True)
    assert np.isfinite(out).all()
    assert np.all(out[bad] == 0)
