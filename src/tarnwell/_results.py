"""Named results of the diagnostics: fields of one kind of array, and a Dataset of them."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Generic, NamedTuple, TypeVar

if TYPE_CHECKING:
    from collections.abc import Sequence

    import numpy as np
    import typing_extensions
    import xarray

    # Inputs that give NumPy fields: numbers, nested sequences, ndarrays
    # (masked arrays among them). Other mixes (pint Quantities, a DataArray or
    # dask array in a later argument) are typed Any: a fallback typed as a
    # named tuple of Any makes mypy reject calls whose NumPy types hold an Any.
    NumPyIn = float | np.generic | Sequence[Any] | np.ndarray[Any, Any]

    #: The type of every field: the kind of array the inputs were (NumPy, DataArray,
    #: dask). Unparameterised (``tarnwell.Thermo``), the fields are Any. The
    #: default needs typing_extensions' TypeVar (or PEP 696 syntax of Python 3.13),
    #: hence Generic[F] and not the class Thermo[F] syntax.
    F = typing_extensions.TypeVar("F", default=Any)
else:
    F = TypeVar("F")


def _to_dataset(result: Any) -> xarray.Dataset:
    """The fields of `result`, DataArrays, as the variables of one Dataset."""
    import xarray as xr

    fields = result._asdict()
    if not all(isinstance(v, xr.DataArray) for v in fields.values()):
        raise TypeError(
            f"{type(result).__name__}.to_dataset: the fields are not DataArrays "
            "(the inputs were not); use xarray.Dataset with dimension names instead"
        )
    return xr.Dataset(fields)


class Thermo(NamedTuple, Generic[F]):  # noqa: UP046 (the default of F)
    """Moist-thermodynamic fields; see :func:`tarnwell.thermo`."""

    mixing_ratio: F
    theta: F
    theta_v: F
    theta_e: F

    def to_dataset(self) -> xarray.Dataset:
        """The fields, DataArrays, as one ``xarray.Dataset``."""
        return _to_dataset(self)


class ColdPool(NamedTuple, Generic[F]):  # noqa: UP046 (the default of F)
    """Cold-pool diagnostics of every column; see :func:`tarnwell.cold_pool`."""

    intensity: F
    depth: F
    open_top: F

    def to_dataset(self) -> xarray.Dataset:
        """The fields, DataArrays, as one ``xarray.Dataset``."""
        return _to_dataset(self)


class Profile(NamedTuple, Generic[F]):  # noqa: UP046 (the default of F)
    """Layer winds and storm-relative helicity of every column; see :func:`tarnwell.profile`."""

    u_bottom: F
    v_bottom: F
    u_top: F
    v_top: F
    helicity: F
    u_mean: F
    v_mean: F

    def to_dataset(self) -> xarray.Dataset:
        """The fields, DataArrays, as one ``xarray.Dataset``."""
        return _to_dataset(self)


class Gradient(NamedTuple, Generic[F]):  # noqa: UP046 (the default of F)
    """Horizontal gradient components; see :func:`tarnwell.gradient`."""

    dfdx: F
    dfdy: F

    def to_dataset(self) -> xarray.Dataset:
        """The fields, DataArrays, as one ``xarray.Dataset``."""
        return _to_dataset(self)


class Vad(NamedTuple, Generic[F]):  # noqa: UP046 (the default of F)
    """Velocity-azimuth-display fit of every ring; see :func:`tarnwell.vad`."""

    u: F
    v: F
    a0: F
    rms: F
    n: F
    a0_2: F
    s2: F
    c2: F

    def to_dataset(self) -> xarray.Dataset:
        """The fields, DataArrays, as one ``xarray.Dataset``."""
        return _to_dataset(self)


class Parcel(NamedTuple, Generic[F]):  # noqa: UP046 (the default of F)
    """CAPE, CIN and the parcel's LCL, LFC and EL; see :func:`tarnwell.parcel`."""

    cape: F
    cin: F
    lcl_pressure: F
    lcl_height: F
    lfc_pressure: F
    lfc_height: F
    el_pressure: F
    el_height: F

    def to_dataset(self) -> xarray.Dataset:
        """The fields, DataArrays, as one ``xarray.Dataset``."""
        return _to_dataset(self)


class EffectiveLayer(NamedTuple, Generic[F]):  # noqa: UP046 (the default of F)
    """The effective inflow layer of every column; see
    :func:`tarnwell.composites.effective_inflow_layer`."""

    bottom_height: F
    top_height: F
    bottom_pressure: F
    top_pressure: F

    def to_dataset(self) -> xarray.Dataset:
        """The fields, DataArrays, as one ``xarray.Dataset``."""
        return _to_dataset(self)


class StormMotion(NamedTuple, Generic[F]):  # noqa: UP046 (the default of F)
    """Bunkers right- and left-moving storm motion; see
    :func:`tarnwell.composites.bunkers_storm_motion`."""

    u_right: F
    v_right: F
    u_left: F
    v_left: F

    def to_dataset(self) -> xarray.Dataset:
        """The fields, DataArrays, as one ``xarray.Dataset``."""
        return _to_dataset(self)
