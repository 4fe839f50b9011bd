"""Argument conversion and error reporting, seen through the module's small functions."""
import numpy as np
import pytest

import quorvel._core as core

EYE = np.eye(4)


def notes(info):
    return getattr(info.value, "__notes__", [])


class TestTypeConversion:
    @pytest.mark.parametrize("affine", [np.eye(4, dtype=np.float32), np.eye(4).ravel(), [[1.0] * 4] * 4, None])
    def test_wrong_array_types_are_type_errors_naming_the_argument(self, affine):
        with pytest.raises(TypeError) as info:
            core.hires_grid(affine, (2, 2, 2), 1)
        assert notes(info) == ["while processing 'affine'"]

    def test_list_for_tuple(self):
        with pytest.raises(TypeError) as info:
            core.hires_grid(EYE, [2, 2, 2], 1)
        assert str(info.value) == "'list' object is not an instance of 'tuple'"
        assert notes(info) == ["while processing 'dims'"]

    def test_tuple_of_wrong_length(self):
        with pytest.raises(TypeError) as info:
            core.hires_grid(EYE, (2, 2), 1)
        assert str(info.value) == "expected tuple of length 3, but got tuple of length 2"

    @pytest.mark.parametrize("dims,exc", [((2, -1, 2), OverflowError), ((2, 2.0, 2), TypeError)])
    def test_tuple_items(self, dims, exc):
        with pytest.raises(exc) as info:
            core.hires_grid(EYE, dims, 1)
        assert notes(info) == ["while processing 'dims'"]

    def test_integer_index_objects_are_accepted(self):
        affine, dims = core.hires_grid(EYE, (np.int64(2), np.uint8(3), 4), np.int32(2))
        assert dims == (4, 6, 4)

    def test_first_bad_argument_decides(self):
        with pytest.raises(TypeError) as info:
            core.hires_grid(None, None, None)
        assert notes(info) == ["while processing 'affine'"]

    def test_string_argument(self):
        with pytest.raises(TypeError, match=r"'int' object is not an instance of 'str'") as info:
            core.tissue_preset(1)
        assert notes(info) == ["while processing 'name'"]

    def test_keywords(self):
        by_name = core.hires_grid(o=2, dims=(1, 1, 1), affine=EYE)
        by_position = core.hires_grid(EYE, (1, 1, 1), 2)
        np.testing.assert_array_equal(by_name[0], by_position[0])
        with pytest.raises(TypeError, match=r"hires_grid\(\) takes at most 3 arguments \(4 given\)"):
            core.hires_grid(EYE, (1, 1, 1), 2, affine=EYE)


class TestAffine:
    @pytest.mark.parametrize("shape", [(3, 4), (4, 3), (3, 3), (0, 4)])
    def test_shape_message_prints_the_shape(self, shape):
        with pytest.raises(ValueError, match=rf"^affine must be \(4, 4\), got \[{shape[0]}, {shape[1]}\]$"):
            core.hires_grid(np.zeros(shape), (2, 2, 2), 1)

    def test_strided_views_are_read_through_their_strides(self, rng):
        a = rng.normal(size=(4, 4))
        expected, _ = core.hires_grid(a, (2, 2, 2), 1)
        np.testing.assert_array_equal(expected, a.ravel())
        transposed, _ = core.hires_grid(np.ascontiguousarray(a.T).T, (2, 2, 2), 1)
        np.testing.assert_array_equal(transposed, a.ravel())
        big = np.zeros((8, 8))
        big[::2, ::2] = a
        stepped, _ = core.hires_grid(big[::2, ::2], (2, 2, 2), 1)
        np.testing.assert_array_equal(stepped, a.ravel())


class TestResults:
    def test_arrays_are_fresh_writable_and_owned(self):
        a1, _ = core.hires_grid(EYE, (2, 2, 2), 1)
        a2, _ = core.hires_grid(EYE, (2, 2, 2), 1)
        assert a1.dtype == np.float64 and a1.shape == (16,)
        assert a1.flags.writeable and a1.base is not None
        a1[:] = -1
        np.testing.assert_array_equal(a2, EYE.ravel())


class TestHiresGrid:
    def test_oversampled_grid_covers_the_same_extent(self, rng):
        a = np.eye(4)
        a[:3, :3] = rng.normal(size=(3, 3))
        a[:3, 3] = rng.normal(size=3)
        fine, dims = core.hires_grid(a, (3, 4, 5), 3)
        assert dims == (9, 12, 5)
        fine = fine.reshape(4, 4)
        # Fine voxel i' is centred at coarse coordinate (i' + 0.5)/o - 0.5.
        for i, j in [(0, 0), (4, 7), (8, 11)]:
            coarse = np.array([(i + 0.5) / 3 - 0.5, (j + 0.5) / 3 - 0.5, 2.0, 1.0])
            np.testing.assert_allclose(fine @ [i, j, 2, 1], a @ coarse, atol=1e-12)

    def test_zero_factor_is_refused_before_the_affine_is_read(self):
        with pytest.raises(ValueError, match=r"^oversampling factor must be positive$"):
            core.hires_grid(np.zeros((3, 3)), (2, 2, 2), 0)
