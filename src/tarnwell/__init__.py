"""Fast, exact, multithreaded diagnostics for model grids and radar volumes.

Six functions on compiled kernels (``thermo``, ``cold_pool``, ``profile``,
``gradient``, ``vad`` and the parcel diagnostics ``parcel``), for NumPy arrays
(with broadcasting, any vertical axis, masked arrays), pint Quantities,
xarray DataArrays (dimensions by name, CF units and attributes) and dask
(lazy, also on ``dask.distributed``). Each returns a named tuple of fields.
``tarnwell.composites`` builds the effective inflow layer and the composite
parameters on them. See ``help(tarnwell.thermo)`` and the other functions for
the reference.
"""

from importlib.metadata import PackageNotFoundError, version

from . import composites  # noqa: E402  (after parcel, which it uses)
from ._results import ColdPool, Gradient, Parcel, Profile, Thermo, Vad
from .horizontal import gradient
from .kernels import cold_pool, profile, thermo
from .parcel import parcel
from .radar import vad

try:
    __version__ = version("tarnwell")
except PackageNotFoundError:  # pragma: no cover - running from a source tree
    __version__ = "0+unknown"

__all__ = [
    "ColdPool",
    "Gradient",
    "Parcel",
    "Profile",
    "Thermo",
    "Vad",
    "__version__",
    "cold_pool",
    "composites",
    "gradient",
    "parcel",
    "profile",
    "thermo",
    "vad",
]
