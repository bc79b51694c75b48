"""Named results of the five functions and the metadata of their fields."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Generic, NamedTuple, TypeVar

if TYPE_CHECKING:
    import xarray

if TYPE_CHECKING:
    import typing_extensions

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


class Parcel(NamedTuple):
    """CAPE, CIN and the parcel's LCL, LFC and EL; see :func:`tarnwell.parcel`."""

    cape: Any
    cin: Any
    lcl_pressure: Any
    lcl_height: Any
    lfc_pressure: Any
    lfc_height: Any
    el_pressure: Any
    el_height: Any


class Field(NamedTuple):
    """CF metadata of one result field. `units` None: the units of the input `f`."""

    units: str | None
    long_name: str
    standard_name: str | None = None


FIELDS: dict[str, dict[str, Field]] = {
    "thermo": {
        "mixing_ratio": Field("kg kg-1", "water vapour mixing ratio", "humidity_mixing_ratio"),
        "theta": Field("K", "potential temperature", "air_potential_temperature"),
        "theta_v": Field("K", "virtual potential temperature"),
        "theta_e": Field(
            "K", "equivalent potential temperature", "equivalent_potential_temperature"
        ),
    },
    "cold_pool": {
        "intensity": Field("m s-1", "cold pool intensity"),
        "depth": Field("m", "cold pool depth"),
        "open_top": Field("1", "cold pool still open at the top of the column"),
    },
    "profile": {
        "u_bottom": Field("m s-1", "u at the bottom of the layer"),
        "v_bottom": Field("m s-1", "v at the bottom of the layer"),
        "u_top": Field("m s-1", "u at the top of the layer"),
        "v_top": Field("m s-1", "v at the top of the layer"),
        "helicity": Field("m2 s-2", "storm relative helicity"),
        "u_mean": Field("m s-1", "layer mean u"),
        "v_mean": Field("m s-1", "layer mean v"),
    },
    "gradient": {
        "dfdx": Field(None, "derivative along x"),
        "dfdy": Field(None, "derivative along y"),
    },
    "vad": {
        "u": Field("m s-1", "eastward wind from the VAD fit", "eastward_wind"),
        "v": Field("m s-1", "northward wind from the VAD fit", "northward_wind"),
        "a0": Field("m s-1", "intercept of the first-order VAD fit"),
        "rms": Field("m s-1", "rms residual of the first-order VAD fit"),
        "n": Field("1", "number of valid gates"),
        "a0_2": Field("m s-1", "intercept of the second-order VAD fit"),
        "s2": Field("m s-1", "coefficient of sin 2 az in the second-order VAD fit"),
        "c2": Field("m s-1", "coefficient of cos 2 az in the second-order VAD fit"),
    },
    "parcel": {
        "cape": Field(
            "J kg-1",
            "convective available potential energy",
            "atmosphere_convective_available_potential_energy",
        ),
        "cin": Field("J kg-1", "convective inhibition", "atmosphere_convective_inhibition"),
        "lcl_pressure": Field("Pa", "pressure at the lifting condensation level"),
        "lcl_height": Field("m", "height of the lifting condensation level above ground"),
        "lfc_pressure": Field("Pa", "pressure at the level of free convection"),
        "lfc_height": Field("m", "height of the level of free convection above ground"),
        "el_pressure": Field("Pa", "pressure at the equilibrium level"),
        "el_height": Field("m", "height of the equilibrium level above ground"),
    },
}

RESULTS: dict[str, type[Any]] = {
    "thermo": Thermo,
    "cold_pool": ColdPool,
    "profile": Profile,
    "gradient": Gradient,
    "vad": Vad,
    "parcel": Parcel,
}
