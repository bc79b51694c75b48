"""What every public diagnostic takes and gives: the one place its facts live.

A declaration names each input with its role in the computation, the SI unit
the compiled code works in and how a plain number that cannot be in that unit
is recognised; each output with its unit and CF name; the named tuple the
fields come in; and how columns are laid out. The NumPy, pint, xarray and
dask layers read nothing else, so a new diagnostic is one declaration, its
NumPy-level compute and its tests.
"""

from __future__ import annotations

from typing import Any, Literal, NamedTuple

from ._results import ColdPool, EffectiveLayer, Gradient, Parcel, Profile, StormMotion, Thermo, Vad

#: How an input enters the computation:
#: "element": elementwise, broadcast with the other element inputs;
#: "level": one value per level (or gate) of every column, the core axis among its axes;
#: "column": one value per column, broadcast against the non-core axes;
#: "grid": fields on a horizontal grid (the two core axes);
#: "coordinate": the grid's coordinates along one core axis;
#: "scalar": one number for the whole call.
Role = Literal["element", "level", "column", "grid", "coordinate", "scalar"]

#: The axes a diagnostic consumes: none (elementwise), the vertical of columns,
#: the gates of radar rings, or the two axes of a horizontal grid.
Core = Literal["none", "vertical", "gate", "grid"]

#: Plain numbers that cannot be in SI, with what they most likely are: pressures all
#: below 1,100 Pa (no air near the ground or in the troposphere) are hPa,
#: temperatures all below 100 K are °C, azimuths past a full turn are degrees.
Plausibility = Literal["pressure", "temperature", "azimuth"]


class Input(NamedTuple):
    #: As the caller passes it: a parameter, or a field of one ("layer.bottom_height").
    name: str
    role: Role
    #: The SI unit the compiled code wants; None: any units, used as given (and
    #: the units of the gradient's result).
    unit: str | None
    plausible: Plausibility | None = None


class Output(NamedTuple):
    """CF metadata of one result field. `unit` None: the unit of the input `f` per metre."""

    name: str
    unit: str | None
    long_name: str
    standard_name: str | None = None


class Diagnostic(NamedTuple):
    #: The public name after ``tarnwell.``, as messages and warnings spell it.
    name: str
    inputs: tuple[Input, ...]
    outputs: tuple[Output, ...]
    #: The named tuple of the fields; None for a diagnostic of one field, returned bare.
    result: type[Any] | None
    core: Core
    #: The input whose dimension order the results of DataArray inputs follow.
    main: str
    #: The input whose direction along the core axis tells columns stored top-down.
    heights: str | None = None

    def role_names(self, *roles: Role) -> tuple[str, ...]:
        return tuple(i.name for i in self.inputs if i.role in roles)

    def input(self, name: str) -> Input:
        return next(i for i in self.inputs if i.name == name)

    def unit(self, name: str) -> str | None:
        found = [i.unit for i in self.inputs if i.name == name]
        return found[0] if found else None

    def build(self, fields: Any) -> Any:
        """The fields as the diagnostic returns them."""
        values = list(fields)
        return values[0] if self.result is None else self.result(*values)


WIND = "m s-1"
ENERGY = "J kg-1"

THERMO = Diagnostic(
    "thermo",
    (
        Input("t", "element", "K", "temperature"),
        Input("p", "element", "Pa", "pressure"),
        Input("td", "element", "K", "temperature"),
    ),
    (
        Output("mixing_ratio", "kg kg-1", "water vapour mixing ratio", "humidity_mixing_ratio"),
        Output("theta", "K", "potential temperature", "air_potential_temperature"),
        Output("theta_v", "K", "virtual potential temperature"),
        Output(
            "theta_e", "K", "equivalent potential temperature", "equivalent_potential_temperature"
        ),
    ),
    Thermo,
    "none",
    main="t",
)

COLD_POOL = Diagnostic(
    "cold_pool",
    (
        Input("z", "level", "m"),
        Input("b", "level", "m s-2"),
        Input("bottom", "column", "m"),
        Input("top", "column", "m"),
        Input("threshold", "scalar", "m s-2"),
    ),
    (
        Output("intensity", WIND, "cold pool intensity"),
        Output("depth", "m", "cold pool depth"),
        Output("open_top", "1", "cold pool still open at the top of the column"),
    ),
    ColdPool,
    "vertical",
    main="b",
    heights="z",
)

PROFILE = Diagnostic(
    "profile",
    (
        Input("z", "level", "m"),
        Input("u", "level", WIND),
        Input("v", "level", WIND),
        Input("ground", "column", "m"),
        Input("cu", "column", WIND),
        Input("cv", "column", WIND),
        Input("bottom", "scalar", "m"),
        Input("top", "scalar", "m"),
    ),
    (
        Output("u_bottom", WIND, "u at the bottom of the layer"),
        Output("v_bottom", WIND, "v at the bottom of the layer"),
        Output("u_top", WIND, "u at the top of the layer"),
        Output("v_top", WIND, "v at the top of the layer"),
        Output("helicity", "m2 s-2", "storm relative helicity"),
        Output("u_mean", WIND, "layer mean u"),
        Output("v_mean", WIND, "layer mean v"),
    ),
    Profile,
    "vertical",
    main="u",
    heights="z",
)

GRADIENT = Diagnostic(
    "gradient",
    (Input("f", "grid", None), Input("x", "coordinate", "m"), Input("y", "coordinate", "m")),
    (Output("dfdx", None, "derivative along x"), Output("dfdy", None, "derivative along y")),
    Gradient,
    "grid",
    main="f",
)

VAD = Diagnostic(
    "vad",
    (
        Input("vr", "level", WIND),
        Input("az", "level", "radian", "azimuth"),
        Input("cos_el", "column", "1"),
        Input("min_gates", "scalar", None),
        Input("min_spread", "scalar", "1"),
    ),
    (
        Output("u", WIND, "eastward wind from the VAD fit", "eastward_wind"),
        Output("v", WIND, "northward wind from the VAD fit", "northward_wind"),
        Output("a0", WIND, "intercept of the first-order VAD fit"),
        Output("rms", WIND, "rms residual of the first-order VAD fit"),
        Output("n", "1", "number of valid gates"),
        Output("a0_2", WIND, "intercept of the second-order VAD fit"),
        Output("s2", WIND, "coefficient of sin 2 az in the second-order VAD fit"),
        Output("c2", WIND, "coefficient of cos 2 az in the second-order VAD fit"),
    ),
    Vad,
    "gate",
    main="vr",
)

_SOUNDING = (
    Input("p", "level", "Pa", "pressure"),
    Input("t", "level", "K", "temperature"),
    Input("td", "level", "K", "temperature"),
    Input("z", "level", "m"),
)

PARCEL = Diagnostic(
    "parcel",
    _SOUNDING,
    (
        Output(
            "cape",
            ENERGY,
            "convective available potential energy",
            "atmosphere_convective_available_potential_energy",
        ),
        Output("cin", ENERGY, "convective inhibition", "atmosphere_convective_inhibition"),
        Output("lcl_pressure", "Pa", "pressure at the lifting condensation level"),
        Output("lcl_height", "m", "height of the lifting condensation level above ground"),
        Output("lfc_pressure", "Pa", "pressure at the level of free convection"),
        Output("lfc_height", "m", "height of the level of free convection above ground"),
        Output("el_pressure", "Pa", "pressure at the equilibrium level"),
        Output("el_height", "m", "height of the equilibrium level above ground"),
    ),
    Parcel,
    "vertical",
    main="t",
    heights="z",
)

EFFECTIVE_INFLOW_LAYER = Diagnostic(
    "composites.effective_inflow_layer",
    _SOUNDING,
    (
        Output("bottom_height", "m", "height of the bottom of the effective inflow layer"),
        Output("top_height", "m", "height of the top of the effective inflow layer"),
        Output("bottom_pressure", "Pa", "pressure at the bottom of the effective inflow layer"),
        Output("top_pressure", "Pa", "pressure at the top of the effective inflow layer"),
    ),
    EffectiveLayer,
    "vertical",
    main="t",
    heights="z",
)

_WIND_COLUMNS = (Input("z", "level", "m"), Input("u", "level", WIND), Input("v", "level", WIND))

EFFECTIVE_SRH = Diagnostic(
    "composites.effective_srh",
    (
        *_WIND_COLUMNS,
        Input("layer.bottom_height", "column", "m"),
        Input("layer.top_height", "column", "m"),
        Input("cu", "column", WIND),
        Input("cv", "column", WIND),
    ),
    (Output("effective_srh", "m2 s-2", "effective storm relative helicity"),),
    None,
    "vertical",
    main="u",
    heights="z",
)

EFFECTIVE_BULK_WIND_DIFFERENCE = Diagnostic(
    "composites.effective_bulk_wind_difference",
    (
        *_WIND_COLUMNS,
        Input("layer.bottom_height", "column", "m"),
        Input("el_height", "column", "m"),
    ),
    (Output("effective_bulk_wind_difference", WIND, "effective bulk wind difference"),),
    None,
    "vertical",
    main="u",
    heights="z",
)

BUNKERS_STORM_MOTION = Diagnostic(
    "composites.bunkers_storm_motion",
    _WIND_COLUMNS,
    (
        Output("u_right", WIND, "eastward component of the right-moving supercell motion"),
        Output("v_right", WIND, "northward component of the right-moving supercell motion"),
        Output("u_left", WIND, "eastward component of the left-moving supercell motion"),
        Output("v_left", WIND, "northward component of the left-moving supercell motion"),
    ),
    StormMotion,
    "vertical",
    main="u",
    heights="z",
)

SIGNIFICANT_TORNADO_PARAMETER = Diagnostic(
    "composites.significant_tornado_parameter",
    (
        Input("mlcape", "element", ENERGY),
        Input("mlcin", "element", ENERGY),
        Input("ml_lcl_height", "element", "m"),
        Input("esrh", "element", "m2 s-2"),
        Input("ebwd", "element", WIND),
        Input("effective_bottom", "element", "m"),
    ),
    (Output("significant_tornado_parameter", "1", "significant tornado parameter"),),
    None,
    "none",
    main="mlcape",
)

SUPERCELL_COMPOSITE_PARAMETER = Diagnostic(
    "composites.supercell_composite_parameter",
    (
        Input("mucape", "element", ENERGY),
        Input("esrh", "element", "m2 s-2"),
        Input("ebwd", "element", WIND),
        Input("mucin", "element", ENERGY),
    ),
    (Output("supercell_composite_parameter", "1", "supercell composite parameter"),),
    None,
    "none",
    main="mucape",
)

#: Every public diagnostic, in the order of the reference.
DIAGNOSTICS: tuple[Diagnostic, ...] = (
    THERMO,
    COLD_POOL,
    PROFILE,
    GRADIENT,
    VAD,
    PARCEL,
    EFFECTIVE_INFLOW_LAYER,
    EFFECTIVE_SRH,
    EFFECTIVE_BULK_WIND_DIFFERENCE,
    BUNKERS_STORM_MOTION,
    SIGNIFICANT_TORNADO_PARAMETER,
    SUPERCELL_COMPOSITE_PARAMETER,
)


def declaration_of(result_type: type[Any]) -> Diagnostic | None:
    """The diagnostic whose result is `result_type` (for the reference's field lists)."""
    return next((d for d in DIAGNOSTICS if d.result is result_type), None)
