"""Fast, exact, multithreaded diagnostics for model grids and radar volumes.

Six functions on compiled kernels (``thermo``, ``cold_pool``, ``profile``,
``gradient``, ``vad`` and the parcel diagnostics ``parcel``), for NumPy arrays
(with broadcasting, any vertical axis, masked arrays), pint Quantities,
xarray DataArrays (dimensions by name, CF units and attributes) and dask
(lazy, also on ``dask.distributed``). Each returns a named tuple of fields.
``tarnwell.composites`` builds the effective inflow layer and the composite
parameters on them. See ``help(tarnwell.thermo)`` and the other functions for
the reference.

The command's main job is two calls: ``tarnwell.open_model`` reads model files
(WRF, ERA5, GRIB2, CF; several files of one run joined along time) and
``tarnwell.diagnose`` computes every field ``tarnwell diagnose`` writes. They
live with the command's readers and need its extra (``pip install
'tarnwell[cli]'``), so they are loaded on first use.
"""

from typing import TYPE_CHECKING as _TYPE_CHECKING
from typing import Any as _Any

from . import composites
from ._results import ColdPool, Gradient, Parcel, Profile, Thermo, Vad
from ._version import __version__
from .horizontal import gradient
from .kernels import cold_pool, profile, thermo
from .parcel import parcel
from .radar import vad

if _TYPE_CHECKING:
    from .cli.api import diagnose, open_model


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
    "diagnose",
    "gradient",
    "open_model",
    "parcel",
    "profile",
    "thermo",
    "vad",
]


def __getattr__(name: str) -> _Any:
    # The model-file functions need xarray and the command's readers: imported
    # when first asked for, so that the kernels' functions load without them.
    if name in ("diagnose", "open_model"):
        from .cli import api

        return getattr(api, name)
    raise AttributeError(f"module 'tarnwell' has no attribute {name!r}")


def __dir__() -> list[str]:
    # The lazily loaded functions are part of the package's face: list them.
    return sorted(set(globals()) | set(__all__))
