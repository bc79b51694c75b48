"""Units of the kernels' arguments and results, converted with pint.

The kernels compute in SI: K, Pa, m, m s-1, m s-2 and radians. Values that
carry units (a pint Quantity, or a DataArray with a ``units`` attribute in
CF/UDUNITS spelling such as ``"hPa"``, ``"degC"`` or ``"m s-1"``) are
converted to these before the call; plain numbers are taken as already in
them. pint is imported only when units are met.
"""

from __future__ import annotations

import math
import re
import warnings
from collections.abc import Mapping
from functools import lru_cache
from typing import Any

import numpy as np

from ._declarations import Diagnostic

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
    "Celsius": "degC",
    "degree_C": "degC",
    "degrees_C": "degC",
    "degreeC": "degC",
    "degreesC": "degC",
    "deg_C": "degC",
    "Kelvin": "K",
    "Kelvins": "K",
    "kelvins": "K",
    "degree_K": "K",
    "degrees_K": "K",
    "degreeK": "K",
    "degreesK": "K",
    "deg_K": "K",
    "degree_Kelvin": "K",
    "degrees_Kelvin": "K",
    "degree_F": "degF",
    "degrees_F": "degF",
    "deg_F": "degF",
    "Fahrenheit": "degF",
    "Pascal": "Pa",
    "Pascals": "Pa",
    "pascals": "Pa",
    "kts": "knot",
    "kt": "knot",
    "meters": "m",
    "metres": "m",
    "gpm": "m",
    # UDUNITS reads "mb" as millibar (pint: millibarn, an area).
    "mb": "millibar",
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
    for word in _words(text):
        if word.lower() == "per" and expression:
            operator = " / "
            continue
        expression += operator + _POWER.sub(r"**\1", _ALIASES.get(word, word))
        operator = " * "
    return expression or "dimensionless"


def _words(text: str) -> list[str]:
    """The factors of a UDUNITS product: separated by spaces, or by "." or "·"
    between names ("m.s-1", "kg·m-2"); a number such as "0.01" stays whole."""
    words = []
    for word in text.strip().replace("·", " ").split():
        try:
            float(word)
        except ValueError:
            words += [part for part in word.split(".") if part] if "." in word else [word]
        else:
            words.append(word)
    return words


def is_instance_of(value: Any, package: str, class_names: tuple[str, ...]) -> bool:
    """Whether `value` is an instance of a class of `package` named one of `class_names`.

    Decided from the value's own class hierarchy, never from the package's module:
    while another thread imports the package for the first time, ``sys.modules``
    holds it half initialised (its attributes missing), and plain NumPy values
    must not depend on it. Holding an instance implies the import has finished.
    """
    for cls in type(value).__mro__:
        module = cls.__module__
        if cls.__name__ in class_names and (module == package or module.startswith(package + ".")):
            return True
    return False


def is_quantity(value: Any) -> bool:
    return is_instance_of(value, "pint", ("Quantity", "PlainQuantity"))


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


def is_lazy_quantity(value: Any) -> bool:
    """A dask array whose blocks are pint Quantities (``.chunk()`` of quantified data)."""
    return is_instance_of(value, "dask", ("Array",)) and is_quantity(getattr(value, "_meta", None))


def _magnitude(block: Any) -> Any:
    return block.magnitude if is_quantity(block) else block


def strip_quantity(func: str, name: str, value: Any, target: str | None) -> tuple[Any, Any]:
    """A pint Quantity (or dask blocks of them) as its magnitude in units `target`
    (None: in its own units); other values unchanged.

    Also returns the Quantity's units (None for plain values).
    """
    if is_quantity(value):
        magnitude, source = value.magnitude, value.units
    elif is_lazy_quantity(value):
        # The units are stripped block by block, so no worker ever sees a Quantity
        # handed to NumPy (and pint's warning about it).
        source = value._meta.units
        meta = np.empty((0,) * value.ndim, dtype=np.asarray(value._meta.magnitude).dtype)
        magnitude = value.map_blocks(_magnitude, meta=meta)
    else:
        return value, None
    if target is None:
        return magnitude, source
    scale, offset = conversion(func, name, source, target)
    return apply_linear(magnitude, scale, offset), source


def quantity(values: Any, units: Any, reg: Any) -> Any:
    return reg.Quantity(values, units)


# What a plain value that fails its plausibility rule most likely is.
_FULL_TURN = 2.0 * math.pi + 0.01
_LIKELY: dict[str, tuple[str, str]] = {
    "pressure": ("below", "hPa (multiply by 100 for Pa)"),
    "temperature": ("cold", "degC (add 273.15 for K)"),
    "azimuth": ("turn", "degrees (numpy.deg2rad gives radians)"),
}


def _looks_wrong(test: str, values: Any) -> bool:
    if isinstance(values, np.ma.MaskedArray):
        values = np.ma.filled(values.astype(np.float64), np.nan)
    a = np.asarray(values, dtype=np.float64)
    if a.size == 0:
        return False
    # Vectorised reductions without a temporary the size of the data; the
    # NaN-ignoring ones (several times slower) only where NaN is present.
    high = float(np.max(a))
    if math.isnan(high):
        high = float(np.fmax.reduce(a, axis=None))
    if test == "below":
        return high < 1100.0
    if test == "cold":
        return high < 100.0
    low = float(np.min(a))
    if math.isnan(low):
        low = float(np.fmin.reduce(a, axis=None))
    return any(math.isfinite(v) and abs(v) > _FULL_TURN for v in (low, high))


def warn_implausible(decl: Diagnostic, plain: Mapping[str, Any], stacklevel: int) -> None:
    """One UserWarning for the plain (unit-less) arguments of `decl` whose values
    cannot be SI, naming each and the unit it is likely in."""
    suspects = []
    for name, value in plain.items():
        declared = [i.plausible for i in decl.inputs if i.name == name and i.plausible]
        rule = _LIKELY[declared[0]] if declared else None
        if rule is not None and value is not None and _looks_wrong(rule[0], value):
            suspects.append(f"{name} looks like {rule[1]}")
    if suspects:
        warnings.warn(
            f"tarnwell.{decl.name}: {'; '.join(suspects)}; plain values are taken as SI "
            f"(K, Pa, radians). Attach units (pint, or a CF units attribute) or convert",
            UserWarning,
            stacklevel=stacklevel + 1,
        )
