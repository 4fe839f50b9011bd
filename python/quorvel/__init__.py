"""quorvel: a diffusion-MRI acquisition simulator.

Everything lives in the compiled extension ``quorvel._core``; this package re-exports it.
"""
from . import _core
from ._core import *  # noqa: F401,F403

__all__ = list(_core.__all__)
__version__ = _core.core_version()
