# Type information for the package, which re-exports everything of quorvel._core.
from . import _core as _core
from ._core import *
from ._core import __all__ as __all__

__version__: str
