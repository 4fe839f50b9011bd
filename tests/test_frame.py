import inspect

import quorvel
import quorvel._core as core


def test_version():
    assert core.core_version() == "0.2.1"
    assert quorvel.__version__ == "0.2.1"


def test_text_signatures_are_inspectable():
    assert str(inspect.signature(core.hires_grid)) == "(affine, dims, o)"
