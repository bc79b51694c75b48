"""Parcel diagnostics of every column: CAPE, CIN, LCL, LFC and EL."""

from __future__ import annotations

from collections.abc import Hashable
from typing import Any, cast

import numpy as np
import numpy.typing as npt

from . import _core
from ._layout import run_rows
from ._native import parcel as _parcel
from ._results import Parcel
from ._threads import resolve_threads

FloatArray = npt.NDArray[np.float64]

#: The parcels `parcel=` selects, by name.
PARCELS: dict[str, int] = {
    "surface_based": _parcel.SURFACE_BASED,
    "mixed_layer": _parcel.MIXED_LAYER,
    "most_unstable": _parcel.MOST_UNSTABLE,
}

#: Depth of the mixed layer, and of the layer searched for the most unstable parcel, Pa.
MIXED_LAYER_DEPTH = 10000.0
MOST_UNSTABLE_DEPTH = 30000.0


def parcel_kind(value: Any) -> int:
    """The kernel's code of a parcel name; ValueError naming the choices otherwise."""
    if isinstance(value, str) and value in PARCELS:
        return PARCELS[value]
    choices = ", ".join(repr(k) for k in PARCELS)
    raise ValueError(f"tarnwell.parcel: parcel={value!r} is not one of {choices}")


def parcel_numpy(
    p: Any,
    t: Any,
    td: Any,
    z: Any,
    *,
    parcel: str = "surface_based",
    axis: int = -1,
    n_threads: int | None = None,
) -> Any:
    """The NumPy face of :func:`parcel` (plain arrays and masked arrays)."""
    func = "parcel"
    kind = parcel_kind(parcel)
    threads = resolve_threads(n_threads)
    c = _core.columns(func, {"p": p, "t": t, "td": td, "z": z}, {}, axis, heights="z")
    n_fields = len(Parcel._fields)

    def call(rows: list[FloatArray], vec: list[FloatArray]) -> FloatArray:
        p, t, td, z = rows
        return _parcel.parcel(p, t, td, z, kind, n_threads=threads)

    def level_first(grids: list[FloatArray], vec: list[FloatArray]) -> FloatArray:
        p, t, td, z = grids
        return _parcel.parcel_level_first(p, t, td, z, kind, n_threads=threads)

    out = run_rows(c.arrays, c.axis, c.vectors, n_fields, threads, call, level_first)
    return _core.finish(func, out.reshape((n_fields, *c.batch)), c.masked)


def parcel(
    p: Any,
    t: Any,
    td: Any,
    z: Any,
    *,
    parcel: str = "surface_based",
    axis: int = -1,
    dim: Hashable | None = None,
    n_threads: int | None = None,
) -> Parcel:
    r"""CAPE, CIN and the LCL, LFC and EL of a lifted parcel, in every column.

    A parcel rises from near the ground dry-adiabatically to its lifting
    condensation level (LCL) and above it pseudo-adiabatically, at constant
    equivalent potential temperature; its buoyancy against the environment
    is integrated into the convective available potential energy (CAPE) and
    the convective inhibition (CIN).

    Parameters
    ----------
    p : array_like, DataArray, dask array or pint Quantity
        Pressure :math:`p` of every level, Pa, falling with height (columns
        whose heights fall with the index are read from the top down, as a view);
        broadcasts against ``t`` (one pressure per level for pressure-level
        data: shape ``(nlev,)`` level-last or ``(nlev, 1, 1)`` level-first).
    t : array_like, DataArray, dask array or pint Quantity
        Air temperature :math:`T`, K.
    td : array_like, DataArray, dask array or pint Quantity
        Dew point :math:`T_d`, K. A dew point above the temperature is taken as
        the temperature (saturation).
    z : array_like, DataArray, dask array or pint Quantity
        Height of every level, m, in any frame (geopotential height above sea
        level, or above ground); only differences from the lowest usable level
        are used.
    parcel : {'surface_based', 'mixed_layer', 'most_unstable'}, default 'surface_based'
        Which parcel rises:

        - ``'surface_based'``: the air of the lowest usable level.
        - ``'mixed_layer'``: the mean potential temperature and mean mixing
          ratio of the lowest 100 hPa (pressure-weighted, trapezoids in
          :math:`p`, the top of the layer interpolated linearly in
          :math:`\ln p`), lifted from the lowest level's pressure.
        - ``'most_unstable'``: the level of highest :math:`\theta_e` (as
          :func:`thermo` computes it) within the lowest 300 hPa, lifted from
          there; the lowest such level on a tie.
    axis : int, default -1
        The vertical axis of the broadcast data (0 for level-first data).
    dim : hashable, optional
        The vertical dimension of DataArray inputs (see :func:`cold_pool`).
    n_threads : int, optional
        As in :func:`thermo`.

    Returns
    -------
    Parcel
        Fields of the shape of the non-vertical axes:

        - ``cape``: CAPE, J kg-1, :math:`\geq 0`.
        - ``cin``: CIN, J kg-1, :math:`\leq 0`.
        - ``lcl_pressure``, ``lcl_height``: the LCL, Pa and m above ground.
        - ``lfc_pressure``, ``lfc_height``: the level of free convection.
        - ``el_pressure``, ``el_height``: the equilibrium level.

        Heights are above the column's lowest usable level (the ground).

    Notes
    -----
    **Start.** A level is usable when its pressure (positive), temperature
    and height are finite and its pressure is below that of the last usable
    level beneath it; other levels are skipped and their neighbours joined.
    The parcel starts with temperature :math:`T_0`, pressure :math:`p_0` and
    mixing ratio :math:`w_0 = \varepsilon e/(p_0 - e)`, with
    :math:`e = 611.2\exp(17.67\,T_c/(T_c + 243.5))` Pa at its dew point
    :math:`T_c` in °C (Bolton 1980, eq. 10). A mixed-layer parcel's dew point
    comes from inverting that equation at the mean mixing ratio.

    **Dry ascent.** Up to the LCL the parcel keeps its potential temperature
    and mixing ratio, :math:`T = T_0 (p/p_0)^\kappa`. The LCL temperature is
    Bolton's (1980) eq. 15,

    .. math:: T_L = \frac{1}{1/(T_d - 56) + \ln(T/T_d)/800} + 56,

    and the LCL pressure :math:`p_L = p_0 (T_L/T_0)^{1/\kappa}`. A saturated
    parcel is at its LCL from the start. The LCL is a node of the profile of
    its own, its environment interpolated linearly in :math:`\ln p` between
    the levels around it. The LCL pressure is given even when it lies above
    the data; its height is then NaN.

    **Moist ascent.** Above the LCL the parcel follows the pseudo-adiabat of
    constant equivalent potential temperature, Bolton's (1980) eq. 43 with
    the constants of :func:`thermo`,

    .. math:: \theta_e = T\left(\frac{p_0}{p}\right)^{0.2854(1 - 0.00028 r)}
              \exp\left[\left(\frac{3.376}{T_L} - 0.00254\right) r (1 + 0.00081 r)\right],

    :math:`r` in g kg-1, conserved from the start. At the LCL and every level
    above it the saturated parcel's temperature (for which :math:`T_L = T`
    and :math:`r` is the saturation mixing ratio) is solved from
    :math:`\ln\theta_e` by Newton's method with the analytic derivative,
    starting from the straight line in :math:`\ln p` through the parcel's
    temperatures at the two nodes below (from :math:`T_L` at the LCL; from the
    last one alone when the two are closer than 1e-4 in :math:`\ln p`),
    until a step is below 1e-6 K; convergence is quadratic, so the
    temperature is then exact far below that. The root is bracketed between
    the pole of the vapour-pressure formula (:math:`T_c = -243.5` °C) and the
    boiling point (:math:`e_s = p`), between which saturated
    :math:`\theta_e` rises monotonically with :math:`T`: every evaluation
    narrows the bracket, and a step that would leave it is replaced by
    bisection, so no first guess can reach the false root above the boiling
    point. At the LCL the parcel's temperature is thus the inverted
    :math:`\theta_e`, not :math:`T_L`: Bolton's eqs. 15 and 43 are separate
    fits that differ there by a few hundredths of a kelvin, and the parcel
    is kept continuous above its LCL, so that a data level lying a pascal
    above the LCL or not changes nothing. A parcel saturated at its start
    keeps its level's temperature there. Condensate leaves the parcel at
    once (pseudo-adiabatic, no water loading).

    **Buoyancy and areas.** Buoyancy is measured by virtual temperatures
    (Doswell and Rasmussen 1994), :math:`T_v = T (1 + w/\varepsilon)/(1 + w)`,
    of the parcel (saturation mixing ratio above the LCL) and of the
    environment (the mixing ratio at its dew point; a level with a missing
    dew point counts as dry). Between nodes :math:`B = T_{v,p} - T_{v,e}`
    is taken linear in :math:`\ln p`, and areas are its trapezoids,

    .. math:: A = R_d \int B \; d(-\ln p),

    :math:`R_d` = 287.04749097718457 J kg-1 K-1, split at the zero of the
    linear piece where :math:`B` changes sign. Levels between data levels
    are never invented: only the LCL and the zero crossings are added.

    - The LFC is the bottom of the lowest positive area at or above the LCL:
      the LCL itself when the parcel is already buoyant there, else the first
      crossing from :math:`B \leq 0` to :math:`B > 0` above it.
    - The EL is the top of the highest positive area: the last crossing from
      :math:`B > 0` to :math:`B \leq 0`. A parcel still buoyant at the top of
      the data has no EL (NaN) and its CAPE is integrated to the top.
    - CAPE is the net area from the LFC to the EL: with several positive
      areas, the negative areas between them count against them (as in
      MetPy's ``cape_cin``); a net negative result is 0.
    - CIN is the negative area from the parcel's start to the LFC; positive
      areas below the LFC (a superadiabatic surface layer) do not offset it.
    - A parcel that has no LFC (stable, or never saturating within the data)
      has CAPE = CIN = 0 and NaN at the LFC and EL.

    Heights of the LCL, LFC and EL are interpolated linearly in :math:`\ln p`
    between the nodes around them and measured from the lowest usable level.

    **Units.** Plain values (without units) that cannot be SI give one
    ``UserWarning`` naming the argument, as in :func:`thermo`: pressures all
    below 1,100 (likely hPa), temperatures or dew points all below 100
    (likely °C).

    **Missing data.** A column without a usable lowest level, without a dew
    point at the start (at every level of the lowest 300 hPa for the most
    unstable parcel), or too shallow to cover the mixed layer, is NaN in
    every field. A dew point whose vapour pressure reaches the level's
    pressure (no air holds that vapour: there is no mixing ratio) counts as
    missing. Masked elements count as missing, and with a masked input
    every field comes back masked where it is NaN. Levels need not be
    regular; a column may end with NaN levels (soundings of different
    lengths in one array).

    **Compared with MetPy.** MetPy 1.6's ``cape_cin`` integrates the same
    areas in :math:`\ln p` between the same LFC (``which='bottom'``) and EL
    (``which='top'``), but (1) takes its parcel's mixing ratio above the LCL
    at the environment's temperature rather than the parcel's (corrected
    upstream after 1.6), which makes a buoyant parcel's virtual temperature
    too low, and (2) follows a pseudo-adiabat integrated from its own moist
    lapse rate, from an iterative LCL, with :math:`\kappa = 2/7`. On
    observed soundings CAPE here is a few per cent higher, most of it from
    (1); parcel temperatures differ by a tenth of a kelvin or so in the
    middle troposphere. The benchmark pages of this package give the
    measured spread.

    References
    ----------
    Bolton, D., 1980: The computation of equivalent potential temperature.
    *Mon. Wea. Rev.*, 108, 1046-1053.

    Doswell, C. A. and E. N. Rasmussen, 1994: The effect of neglecting the
    virtual temperature correction on CAPE calculations. *Wea. Forecasting*,
    9, 625-629.

    Examples
    --------
    >>> import numpy as np, tarnwell
    >>> p = np.array([1000., 925, 850, 700, 500, 400, 300, 250, 200, 150, 100]) * 100
    >>> t = np.array([303., 297, 293, 283, 265, 254, 240, 231, 221, 215, 210])
    >>> td = np.array([296., 292, 287, 273, 250, 235, 220, 210, 200, 190, 185])
    >>> z = np.array([0., 700, 1450, 3000, 5600, 7200, 9200, 10400, 11800, 13600, 16200])
    >>> r = tarnwell.parcel(p, t, td, z)
    >>> round(float(r.cape)), round(float(r.cin), 1), round(float(r.lcl_height))
    (2680, -13.2, 911)
    >>> round(float(tarnwell.parcel(p, t, td, z, parcel="mixed_layer").cape))
    1759
    """
    from .kernels import _run

    parcel_kind(parcel)
    return cast(
        Parcel,
        _run(
            "parcel",
            {"p": p, "t": t, "td": td, "z": z},
            {"parcel": parcel},
            {"axis": axis, "n_threads": n_threads},
            {"dim": dim},
        ),
    )
