"""CF netCDF (and files close to it): variables found by standard name, else by common names.

This is the general reader: any file whose variables carry CF ``units`` (and
ideally ``standard_name``) attributes, with a vertical dimension and two
horizontal ones. Potential temperature stands in for temperature (as in Met
Office Unified Model output): T = θ (p / 100000 Pa)^κ.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING

from .common import read_by_roles
from .fields import ModelFields

if TYPE_CHECKING:
    import xarray as xr

FAMILY = "CF"


def read(ds: xr.Dataset, variables: Mapping[str, str], level_dim: str | None) -> ModelFields:
    """The fields of a CF file, found by role."""
    return read_by_roles(ds, variables, level_dim, FAMILY)
