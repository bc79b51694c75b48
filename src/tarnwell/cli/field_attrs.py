"""CF attributes of the command's output fields."""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import xarray as xr


# Output attributes: CF standard names where one exists.
def cf_attrs(
    units_: str, long_name: str, standard_name: str | None = None, **extra: str
) -> dict[str, Any]:
    attrs = {"units": units_, "long_name": long_name}
    if standard_name:
        attrs["standard_name"] = standard_name
    return {**attrs, **extra}


THERMO_ATTRS = {
    "mixing_ratio": cf_attrs("kg kg-1", "water vapour mixing ratio", "humidity_mixing_ratio"),
    "theta": cf_attrs("K", "potential temperature", "air_potential_temperature"),
    "theta_v": cf_attrs("K", "virtual potential temperature"),
    "theta_e": cf_attrs(
        "K",
        "equivalent potential temperature (Bolton 1980)",
        "pseudo_equivalent_potential_temperature",
    ),
}


def with_attrs(field: xr.DataArray, attrs: Mapping[str, Any]) -> xr.DataArray:
    field = field.copy(deep=False)
    field.attrs = dict(attrs)
    return field
