"""The model's own potential temperature, where the file gives θ.

A model that carries θ (WRF's ``T`` + 300 K, a file's
``air_potential_temperature``) gives the air temperature through its own
Poisson exponent; the thermo kernel turns that temperature back with its κ,
which is not WRF's 2/7, and so its θ falls short of the model's by 0.2 K near
150 hPa. A user compares with the model's θ: that θ is written as it is, θv is
formed from it and the mixing ratio exactly as the kernel forms θv from its θ,
and θe (Bolton's, from temperature and dew point) stays the kernel's, from the
temperature the model's constants give.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

from tarnwell._results import Thermo

if TYPE_CHECKING:
    import xarray as xr

    from .fields import ModelFields

EPSILON = 0.6219569156569429  # R_d / R_v, the thermo kernel's


def thermo_fields(
    fields: ModelFields,
    stacked: tuple[xr.DataArray, ...],
    attrs: Mapping[str, Mapping[str, Any]],
) -> tuple[dict[str, xr.DataArray], dict[str, dict[str, Any]]]:
    """The thermo kernel's fields by name, and their output attributes; θ and θv
    from the model's own θ where the file gives it, with attributes saying so."""
    thermo = dict(zip(Thermo._fields, stacked, strict=True))
    out_attrs = {name: dict(value) for name, value in attrs.items()}
    if fields.theta is None:
        return thermo, out_attrs
    theta = fields.theta
    w = thermo["mixing_ratio"]
    # The kernel's operations in its order, so that θv is the kernel's θv of this θ.
    theta_v = ((w / EPSILON + 1.0) * theta) / (w + 1.0)
    order = thermo["theta"].dims
    thermo["theta"] = theta.transpose(*order)
    thermo["theta_v"] = theta_v.transpose(*order)
    source, constants = fields.theta_source, fields.theta_constants
    out_attrs["theta"]["comment"] = f"the model's own potential temperature: {source}"
    out_attrs["theta_v"]["comment"] = (
        f"from the model's own potential temperature ({source}) and the water vapour "
        f"mixing ratio w: theta_v = theta (1 + w / epsilon) / (1 + w), epsilon = {EPSILON!r}"
    )
    out_attrs["theta_e"]["comment"] = (
        f"from the air temperature derived from the model's own potential temperature "
        f"({source}) with {constants}, and the dew point"
    )
    return thermo, out_attrs
