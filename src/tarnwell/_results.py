"""Named results of the five functions and the metadata of their fields."""

from __future__ import annotations

from typing import Any, NamedTuple


class Thermo(NamedTuple):
    """Moist-thermodynamic fields; see :func:`tarnwell.thermo`."""

    mixing_ratio: Any
    theta: Any
    theta_v: Any
    theta_e: Any


class ColdPool(NamedTuple):
    """Cold-pool diagnostics of every column; see :func:`tarnwell.cold_pool`."""

    intensity: Any
    depth: Any
    open_top: Any


class Profile(NamedTuple):
    """Layer winds and storm-relative helicity of every column; see :func:`tarnwell.profile`."""

    u_bottom: Any
    v_bottom: Any
    u_top: Any
    v_top: Any
    helicity: Any
    u_mean: Any
    v_mean: Any


class Gradient(NamedTuple):
    """Horizontal gradient components; see :func:`tarnwell.gradient`."""

    dfdx: Any
    dfdy: Any


class Vad(NamedTuple):
    """Velocity-azimuth-display fit of every ring; see :func:`tarnwell.vad`."""

    u: Any
    v: Any
    a0: Any
    rms: Any
    n: Any
    a0_2: Any
    s2: Any
    c2: Any


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
