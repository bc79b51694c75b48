"""Units of the kernels' arguments and results, converted with pint.

The kernels compute in SI: K, Pa, m, m s-1, m s-2 and radians. Values that
carry units (a pint Quantity, or a DataArray with a ``units`` attribute in
CF/UDUNITS spelling such as ``"hPa"``, ``"degC"`` or ``"m s-1"``) are
converted to these before the call; plain numbers are taken as already in
them. pint is imported only when units are met.
"""

from __future__ import annotations

import re
import sys
from functools import lru_cache
from typing import Any

#: The unit each argument is converted to before the kernel runs; None: used as given.
KERNEL_UNITS: dict[str, dict[str, str | None]] = {
    "thermo": {"t": "K", "p": "Pa", "td": "K"},
    "cold_pool": {"z": "m", "b": "m s-2", "bottom": "m", "top": "m", "threshold": "m s-2"},
    "profile": {
        "z": "m",
        "u": "m s-1",
        "v": "m s-1",
        "ground": "m",
        "bottom": "m",
        "top": "m",
        "cu": "m s-1",
        "cv": "m s-1",
    },
    "gradient": {"f": None, "x": "m", "y": "m"},
    "vad": {"vr": "m s-1", "az": "radian", "cos_el": "1", "min_spread": "1"},
    "parcel": {"p": "Pa", "t": "K", "td": "K", "z": "m"},
}

# CF spellings pint does not read as such.
_ALIASES = {
    "degrees_north": "degree",
    "degree_north": "degree",
    "degrees_N": "degree",
    "degrees_east": "degree",
    "degree_east": "degree",
    "degrees_E": "degree",
    "degrees": "degree",
    "degree_Celsius": "degC",
    "degrees_Celsius": "degC",
    "celsius": "degC",
    "kts": "knot",
    "kt": "knot",
    "meters": "m",
    "metres": "m",
    "gpm": "m",
}
_POWER = re.compile(r"(?<=[A-Za-z_])(-?\d+)\b")


def registry() -> Any:
    """pint's application registry (shared with MetPy and pint-xarray)."""
    import pint

    return pint.get_application_registry()


def cf_to_pint(text: str) -> str:
    """A UDUNITS/CF unit string ("m s-1", "m2 s-2", "K") in pint's syntax.

    UDUNITS reads "per" as division of the factor after it, as xradar's
    readers write radial velocity: "meters per seconds" is m s-1.
    """
    expression = ""
    operator = ""
    for word in text.strip().split():
        if word.lower() == "per" and expression:
            operator = " / "
            continue
        expression += operator + _POWER.sub(r"**\1", _ALIASES.get(word, word))
        operator = " * "
    return expression or "dimensionless"


def is_quantity(value: Any) -> bool:
    pint = sys.modules.get("pint")
    return pint is not None and isinstance(value, pint.Quantity)


@lru_cache(maxsize=256)
def _linear(source: str, target: str) -> tuple[float, float]:
    """Scale and offset with value_in_target = value * scale + offset."""
    reg = registry()
    q = reg.Quantity
    unit = cf_to_pint(target)
    offset = float(q(0.0, source).to(unit).magnitude)
    scale = float(q(1.0, source).to(unit).magnitude) - offset
    return scale, offset


def conversion(func: str, name: str, source: Any, target: str) -> tuple[float, float]:
    """Scale and offset from units `source` (a string or pint Unit) to `target`.

    Raises ValueError naming the argument for unknown or incompatible units.
    """
    import pint

    text = cf_to_pint(source) if isinstance(source, str) else f"{source:~}" or "dimensionless"
    try:
        return _linear(text, target)
    except pint.errors.DimensionalityError:
        raise ValueError(
            f"tarnwell.{func}: {name} has units {str(source)!r}, which do not convert to {target!r}"
        ) from None
    except (pint.errors.UndefinedUnitError, pint.errors.DefinitionSyntaxError, ValueError):
        raise ValueError(
            f"tarnwell.{func}: {name} has units {str(source)!r}, which pint cannot read"
        ) from None


def apply_linear(values: Any, scale: float, offset: float) -> Any:
    """values * scale + offset, returning `values` itself when that is the identity."""
    if scale == 1.0 and offset == 0.0:
        return values
    if offset == 0.0:
        return values * scale
    return values * scale + offset


def is_angle_in_degrees(func: str, name: str, source: Any) -> bool:
    """Whether units `source` are an angle other than radians (degrees of lon/lat)."""
    try:
        scale, offset = conversion(func, name, source, "radian")
    except ValueError:
        return False
    return scale != 1.0 or offset != 0.0


def strip_quantity(func: str, name: str, value: Any) -> tuple[Any, Any]:
    """A pint Quantity as its magnitude in the kernel unit of `name`; other values unchanged.

    Also returns the Quantity's units (None for plain values).
    """
    if not is_quantity(value):
        return value, None
    target = KERNEL_UNITS[func].get(name)
    if target is None:
        return value.magnitude, value.units
    scale, offset = conversion(func, name, value.units, target)
    return apply_linear(value.magnitude, scale, offset), value.units


def quantity(values: Any, units: Any, reg: Any) -> Any:
    return reg.Quantity(values, units)
