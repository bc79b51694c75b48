"""Model files read into one canonical set of fields.

Each model family (CF netCDF, and the layouts of particular models) is one
module here with a ``read`` function that turns a file's Dataset into
:class:`ModelFields`: SI units, levels ordered bottom-up, winds earth-relative
on the mass grid, heights above sea level on the mass levels. The diagnostics
(:mod:`tarnwell.cli.diagnose`) only ever see these fields, so a new family
is one module and one test file.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping
from typing import TYPE_CHECKING

from . import cf, ecmwf, ncep, wrf
from .fields import ModelFields as ModelFields
from .theta import thermo_fields as thermo_fields

if TYPE_CHECKING:
    import xarray as xr


def read(ds: xr.Dataset, variables: Mapping[str, str], level_dim: str | None) -> ModelFields:
    """The canonical fields of ``ds``, read by the family its layout belongs to."""
    return reader(ds)(ds, variables, level_dim)


def reader(ds: xr.Dataset) -> Callable[[xr.Dataset, Mapping[str, str], str | None], ModelFields]:
    """The ``read`` of the first family that recognises ``ds``; CF for the rest."""
    if wrf.recognise(ds):
        return wrf.read
    if ecmwf.recognise(ds):
        return ecmwf.read
    if ncep.recognise(ds):
        return ncep.read
    return cf.read
