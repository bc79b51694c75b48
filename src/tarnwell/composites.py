"""Severe-weather composites from parcel and wind diagnostics: the effective
inflow layer, effective storm-relative helicity and bulk wind difference,
Bunkers storm motion, and the significant tornado and supercell composite
parameters.

Each takes what :func:`tarnwell.profile` takes: NumPy (or masked) arrays
with the vertical axis at `axis`, pint Quantities in any units, DataArrays
(dimensions by name, CF units) and dask arrays (lazily); columns stored
top-down are read from the bottom up. The composite parameters are
elementwise.
"""

from __future__ import annotations

from collections.abc import Hashable
from typing import Any, cast

import numpy as np
import numpy.typing as npt

from . import _composite_columns, _core, _face
from ._declarations import (
    BUNKERS_STORM_MOTION,
    EFFECTIVE_BULK_WIND_DIFFERENCE,
    EFFECTIVE_INFLOW_LAYER,
    EFFECTIVE_SRH,
    SIGNIFICANT_TORNADO_PARAMETER,
    SUPERCELL_COMPOSITE_PARAMETER,
)
from ._results import EffectiveLayer, Profile, StormMotion

FloatArray = npt.NDArray[np.float64]

__all__ = [
    "EffectiveLayer",
    "StormMotion",
    "bunkers_storm_motion",
    "effective_bulk_wind_difference",
    "effective_inflow_layer",
    "effective_srh",
    "significant_tornado_parameter",
    "supercell_composite_parameter",
]

#: Thompson et al. (2007): the parcels of the effective inflow layer.
EFFECTIVE_CAPE = 100.0  # J kg-1, at least
EFFECTIVE_CIN = -250.0  # J kg-1, at least
#: Depth above the ground searched for the effective inflow layer, Pa.
EFFECTIVE_SEARCH_DEPTH = 30000.0


def effective_inflow_layer(
    p: Any,
    t: Any,
    td: Any,
    z: Any,
    *,
    axis: int = -1,
    dim: Hashable | None = None,
    n_threads: int | None = None,
) -> EffectiveLayer[Any]:
    r"""The effective inflow layer of every column (Thompson et al. 2007).

    The layer of air that feeds a storm: the contiguous run of levels, from
    the lowest one whose parcel has :math:`\mathrm{CAPE} \geq 100` J kg-1 and
    :math:`\mathrm{CIN} \geq -250` J kg-1 upward, ending at the last level
    before one whose parcel fails either test.

    Parameters
    ----------
    p, t, td, z : array_like, DataArray, dask array or pint Quantity
        Pressure (Pa), temperature (K), dew point (K) and height (m) of every
        level, as for :func:`tarnwell.parcel`. Values that cannot be SI (hPa, °C)
        warn as in :func:`tarnwell.thermo`.
    axis : int, default -1
        The vertical axis of the broadcast data.
    dim : hashable, optional
        The vertical dimension of DataArray inputs (see :func:`tarnwell.cold_pool`).
    n_threads : int, optional
        As in :func:`tarnwell.thermo`.

    Returns
    -------
    EffectiveLayer
        ``bottom_height`` and ``top_height`` (m above the lowest usable level)
        and ``bottom_pressure`` and ``top_pressure`` (Pa); NaN in all four where
        no level qualifies.

    Notes
    -----
    Every level within the lowest 300 hPa lifts its own parcel exactly as
    :func:`tarnwell.parcel` lifts the surface-based one from it, on the
    levels from it upward. A level whose pressure, temperature, height or
    dew point is missing does not qualify. A one-level layer has equal bottom
    and top.

    References
    ----------
    Thompson, R. L., C. M. Mead and R. Edwards, 2007: Effective storm-relative
    helicity and bulk shear in supercell thunderstorm environments. *Wea.
    Forecasting*, 22, 102-115.
    """
    return cast(
        EffectiveLayer[Any],
        _face.run(
            EFFECTIVE_INFLOW_LAYER,
            _effective_inflow_layer_numpy,
            {"p": p, "t": t, "td": td, "z": z},
            {"axis": axis, "n_threads": n_threads},
            {"dim": dim},
        ),
    )


def _effective_inflow_layer_rows(
    P: FloatArray, T: FloatArray, D: FloatArray, Z: FloatArray, *, n_threads: int | None
) -> tuple[FloatArray, ...]:
    return tuple(_composite_columns.effective_layer_rows(P, T, D, Z, n_threads))


_effective_inflow_layer_numpy = _core.OnRows(EFFECTIVE_INFLOW_LAYER, _effective_inflow_layer_rows)


def _wind_at(zagl: FloatArray, u: FloatArray, h: FloatArray) -> FloatArray:
    """u at height h per row, linear between the levels around it; NaN outside."""
    z0, z1 = zagl[:, :-1], zagl[:, 1:]
    inside = (z0 <= h[:, None]) & (h[:, None] <= z1) & (z1 > z0)
    k = np.argmax(inside, axis=1)
    rows = np.arange(len(h))
    a, b = z0[rows, k], z1[rows, k]
    f = (h - a) / (b - a)
    out = (u[rows, k + 1] - u[rows, k]) * f + u[rows, k]
    return np.where(inside.any(axis=1), out, np.nan)


def effective_srh(
    z: Any,
    u: Any,
    v: Any,
    layer: EffectiveLayer[Any],
    *,
    cu: Any,
    cv: Any,
    axis: int = -1,
    dim: Hashable | None = None,
) -> Any:
    r"""Effective storm-relative helicity (Thompson et al. 2007), m2 s-2.

    .. math:: H = \sum_k (u_k - c_u)(v_{k-1} - c_v) - (u_{k-1} - c_u)(v_k - c_v)

    over the effective inflow layer from ``layer.bottom_height`` to
    ``layer.top_height``, the ends interpolated linearly in height (the sum
    of :func:`tarnwell.profile`, positive for a veering storm-relative wind).

    Parameters
    ----------
    z : array_like, DataArray, dask array or pint Quantity
        Height of every level, m, rising with the level index (columns stored
        top-down are read from the bottom up); heights of the
        layer are measured from the lowest level with a height (levels below
        the ground may be missing, NaN).
    u, v : array_like, DataArray, dask array or pint Quantity
        Wind components, m s-1.
    layer : EffectiveLayer
        From :func:`effective_inflow_layer` on the same columns (DataArrays
        when the data are: its fields take one value per column).
    cu, cv : float or array_like
        Storm motion per column, m s-1 (for example the right mover of
        :func:`bunkers_storm_motion`).
    axis : int, default -1
        The vertical axis.
    dim : hashable, optional
        The vertical dimension of DataArray inputs (see :func:`tarnwell.cold_pool`).

    Returns
    -------
    ndarray, DataArray, dask array or Quantity
        0 where the layer is a single level or there is no layer
        (``layer.bottom_height`` NaN: no air feeds a storm, so there is no
        inflow to turn); NaN where a wind or the storm motion is missing inside
        a layer.

    References
    ----------
    Thompson, R. L., C. M. Mead and R. Edwards, 2007: Effective storm-relative
    helicity and bulk shear in supercell thunderstorm environments. *Wea.
    Forecasting*, 22, 102-115.
    """
    return _face.run(
        EFFECTIVE_SRH,
        _effective_srh_numpy,
        {"z": z, "u": u, "v": v, "layer.bottom_height": layer.bottom_height}
        | {"layer.top_height": layer.top_height, "cu": cu, "cv": cv},
        {"axis": axis},
        {"dim": dim},
    )


def _effective_srh_rows(
    Z: FloatArray,
    U: FloatArray,
    V: FloatArray,
    zb: FloatArray,
    zt: FloatArray,
    cu: FloatArray,
    cv: FloatArray,
    *,
    n_threads: int | None,
) -> tuple[FloatArray]:
    helicity = _composite_columns.layer_helicity_rows(Z, U, V, zb, zt, cu, cv)
    return (np.where(np.isnan(zb), 0.0, helicity),)


_effective_srh_numpy = _core.OnRows(EFFECTIVE_SRH, _effective_srh_rows)


def effective_bulk_wind_difference(
    z: Any,
    u: Any,
    v: Any,
    layer: EffectiveLayer[Any],
    el_height: Any,
    *,
    axis: int = -1,
    dim: Hashable | None = None,
) -> Any:
    r"""Effective bulk wind difference (Thompson et al. 2007), m s-1.

    The magnitude of the vector wind difference from the bottom of the
    effective inflow layer, :math:`z_b`, to half the way from there to the
    equilibrium level of the most unstable parcel,
    :math:`z_b + (z_{EL} - z_b)/2`, winds interpolated linearly in height.

    Parameters
    ----------
    z, u, v : array_like, DataArray, dask array or pint Quantity
        Heights (m, rising with the level index; levels below the ground may
        be missing, NaN) and wind components (m s-1).
    layer : EffectiveLayer
        From :func:`effective_inflow_layer`.
    el_height : array_like, DataArray, dask array or pint Quantity
        Height of the most unstable parcel's equilibrium level above the
        lowest level with a height, m (``tarnwell.parcel(..., parcel="most_unstable").el_height``).
    axis : int, default -1
        The vertical axis.
    dim : hashable, optional
        The vertical dimension of DataArray inputs (see :func:`tarnwell.cold_pool`).

    Returns
    -------
    ndarray, DataArray, dask array or Quantity
        0 where there is no effective layer (``layer.bottom_height`` NaN), as
        for :func:`effective_srh`; NaN where there is a layer but no EL, or a
        wind is missing.

    References
    ----------
    Thompson, R. L., C. M. Mead and R. Edwards, 2007: Effective storm-relative
    helicity and bulk shear in supercell thunderstorm environments. *Wea.
    Forecasting*, 22, 102-115.
    """
    return _face.run(
        EFFECTIVE_BULK_WIND_DIFFERENCE,
        _effective_bulk_wind_difference_numpy,
        {
            "z": z,
            "u": u,
            "v": v,
            "layer.bottom_height": layer.bottom_height,
            "el_height": el_height,
        },
        {"axis": axis},
        {"dim": dim},
    )


def _effective_bulk_wind_difference_rows(
    Z: FloatArray,
    U: FloatArray,
    V: FloatArray,
    zb: FloatArray,
    el: FloatArray,
    *,
    n_threads: int | None,
) -> tuple[FloatArray]:
    zagl = Z - _composite_columns.lowest_height(Z)[:, None]
    zt = zb + (el - zb) * 0.5
    du = _wind_at(zagl, U, zt) - _wind_at(zagl, U, zb)
    dv = _wind_at(zagl, V, zt) - _wind_at(zagl, V, zb)
    return (np.where(np.isnan(zb), 0.0, np.hypot(du, dv)),)


_effective_bulk_wind_difference_numpy = _core.OnRows(
    EFFECTIVE_BULK_WIND_DIFFERENCE, _effective_bulk_wind_difference_rows
)


def bunkers_storm_motion(
    z: Any,
    u: Any,
    v: Any,
    *,
    axis: int = -1,
    dim: Hashable | None = None,
    n_threads: int | None = None,
) -> StormMotion[Any]:
    r"""Right- and left-moving supercell motion (Bunkers et al. 2000), m s-1.

    .. math:: \mathbf{V}_{RM,LM} = \overline{\mathbf{V}}_{0-6}
              \pm D\,\frac{\mathbf{S} \times \hat{\mathbf{k}}}{|\mathbf{S}|}

    with :math:`\overline{\mathbf{V}}_{0-6}` the height-weighted 0-6 km mean
    wind, :math:`\mathbf{S}` the difference of the 5.5-6 km and 0-0.5 km mean
    winds and :math:`D` = 7.5 m s-1; heights above the lowest usable level.
    The means are those of :func:`tarnwell.profile`.

    Parameters
    ----------
    z, u, v : array_like, DataArray, dask array or pint Quantity
        Height of every level (m) and wind components (m s-1), as for
        :func:`tarnwell.profile`.
    axis : int, default -1
        The vertical axis.
    dim : hashable, optional
        The vertical dimension of DataArray inputs (see :func:`tarnwell.cold_pool`).
    n_threads : int, optional
        As in :func:`tarnwell.thermo`.

    Returns
    -------
    StormMotion
        ``u_right``, ``v_right``, ``u_left`` and ``v_left``, m s-1, of the
        shape of the non-vertical axes.

    References
    ----------
    Bunkers, M. J., B. A. Klimowski, J. W. Zeitler, R. L. Thompson and M. L.
    Weisman, 2000: Predicting supercell motion using a new hodograph
    technique. *Wea. Forecasting*, 15, 61-79.
    """
    return cast(
        StormMotion[Any],
        _face.run(
            BUNKERS_STORM_MOTION,
            _bunkers_storm_motion_numpy,
            {"z": z, "u": u, "v": v},
            {"axis": axis, "n_threads": n_threads},
            {"dim": dim},
        ),
    )


def _bunkers_storm_motion_rows(
    z: FloatArray, u: FloatArray, v: FloatArray, *, n_threads: int | None
) -> tuple[FloatArray, ...]:
    kw: dict[str, Any] = dict(ground=np.nan, cu=0.0, cv=0.0, axis=-1, n_threads=n_threads)
    mean = Profile(*_core.profile(z, u, v, bottom=0.0, top=6000.0, **kw))
    low = Profile(*_core.profile(z, u, v, bottom=0.0, top=500.0, **kw))
    high = Profile(*_core.profile(z, u, v, bottom=5500.0, top=6000.0, **kw))
    su, sv = high.u_mean - low.u_mean, high.v_mean - low.v_mean
    shear = np.hypot(su, sv)
    # 7.5 m/s to the right of the shear: the shear turned clockwise.
    du, dv = 7.5 * sv / shear, 7.5 * su / shear
    return mean.u_mean + du, mean.v_mean - dv, mean.u_mean - du, mean.v_mean + dv


_bunkers_storm_motion_numpy = _core.OnRows(BUNKERS_STORM_MOTION, _bunkers_storm_motion_rows)


def significant_tornado_parameter(
    mlcape: Any, mlcin: Any, ml_lcl_height: Any, esrh: Any, ebwd: Any, effective_bottom: Any
) -> Any:
    r"""Significant tornado parameter, effective-layer form (Thompson et al. 2012).

    .. math:: \mathrm{STP} = \frac{\mathrm{MLCAPE}}{1500}\;
              \frac{2000 - \mathrm{MLLCL}}{1000}\;
              \frac{\mathrm{ESRH}}{150}\;
              \frac{\mathrm{EBWD}}{20}\;
              \frac{200 + \mathrm{MLCIN}}{150}

    with MLCAPE and MLCIN (J kg-1) and the LCL height MLLCL (m above ground)
    of the 100 hPa mixed-layer parcel, ESRH (m2 s-2) and EBWD (m s-1). As
    the SPC defines its terms: the LCL term is 1 below 1000 m and 0 above
    2000 m; the EBWD term is 0 below 12.5 m s-1 and 1.5 above 30 m s-1; the
    CIN term is 1 above -50 J kg-1 and 0 below -200 J kg-1. STP is 0 where
    the effective inflow layer does not reach the ground
    (``effective_bottom`` > 0) or there is none (``effective_bottom`` NaN;
    there :func:`effective_srh` and :func:`effective_bulk_wind_difference`
    are 0). An unknown input (NaN: a parcel field, or ESRH where the storm
    motion is missing) gives NaN, never 0: the product is unknown.

    Parameters
    ----------
    mlcape, mlcin, ml_lcl_height : array_like, DataArray, dask array or pint Quantity
        From ``tarnwell.parcel(..., parcel="mixed_layer")``.
    esrh, ebwd : array_like, DataArray, dask array or pint Quantity
        From :func:`effective_srh` and :func:`effective_bulk_wind_difference`.
    effective_bottom : array_like, DataArray, dask array or pint Quantity
        ``bottom_height`` of :func:`effective_inflow_layer`, m.

    References
    ----------
    Thompson, R. L., B. T. Smith, J. S. Grams, A. R. Dean and C. Broyles,
    2012: Convective modes for significant severe thunderstorms in the
    contiguous United States. Part II: Supercell and QLCS tornado
    environments. *Wea. Forecasting*, 27, 1136-1154.
    """
    return _face.run(
        SIGNIFICANT_TORNADO_PARAMETER,
        _significant_tornado_parameter_numpy,
        {"mlcape": mlcape, "mlcin": mlcin, "ml_lcl_height": ml_lcl_height}
        | {"esrh": esrh, "ebwd": ebwd, "effective_bottom": effective_bottom},
        {},
        {},
    )


def _significant_tornado_parameter_formula(
    mlcape: FloatArray,
    mlcin: FloatArray,
    ml_lcl_height: FloatArray,
    esrh: FloatArray,
    ebwd: FloatArray,
    effective_bottom: FloatArray,
) -> FloatArray:
    cape_term = mlcape / 1500.0
    lcl_term = np.minimum(np.maximum((2000.0 - ml_lcl_height) / 1000.0, 0.0), 1.0)
    srh_term = esrh / 150.0
    shear_term = (np.minimum(ebwd, 30.0) / 20.0) * (ebwd >= 12.5)
    cin_term = np.minimum(np.maximum((200.0 + mlcin) / 150.0, 0.0), 1.0)
    stp = cape_term * lcl_term * srh_term * shear_term * cin_term
    # NaN == 0 is False: no layer at all counts as an elevated one. An unknown
    # term keeps the product NaN.
    return np.where((effective_bottom == 0.0) | (stp != stp), stp, 0.0)


_significant_tornado_parameter_numpy = _core.Elementwise(
    SIGNIFICANT_TORNADO_PARAMETER, _significant_tornado_parameter_formula
)


def supercell_composite_parameter(mucape: Any, esrh: Any, ebwd: Any, mucin: Any) -> Any:
    r"""Supercell composite parameter (Thompson et al. 2004, as the SPC computes it).

    .. math:: \mathrm{SCP} = \frac{\mathrm{MUCAPE}}{1000}\;
              \frac{\mathrm{ESRH}}{50}\;
              \frac{\mathrm{EBWD}}{20}\;
              \frac{-40}{\mathrm{MUCIN}}

    with MUCAPE and MUCIN (J kg-1) of the most unstable parcel, ESRH
    (m2 s-2) and EBWD (m s-1). The EBWD term is 0 below 10 m s-1 and 1
    above 20 m s-1; the CIN term is 1 above -40 J kg-1. SCP is 0 where there
    is no effective inflow layer, as ESRH and EBWD are 0 there
    (:func:`effective_srh`, :func:`effective_bulk_wind_difference`); an
    unknown input (NaN: MUCAPE, MUCIN, or ESRH where the storm motion is
    missing) gives NaN, never 0.

    References
    ----------
    Thompson, R. L., R. Edwards and C. M. Mead, 2004: An update to the
    supercell composite and significant tornado parameters. Preprints, 22nd
    Conf. on Severe Local Storms, Hyannis, MA, Amer. Meteor. Soc., P8.1.
    """
    return _face.run(
        SUPERCELL_COMPOSITE_PARAMETER,
        _supercell_composite_parameter_numpy,
        {"mucape": mucape, "esrh": esrh, "ebwd": ebwd, "mucin": mucin},
        {},
        {},
    )


def _supercell_composite_parameter_formula(
    mucape: FloatArray, esrh: FloatArray, ebwd: FloatArray, mucin: FloatArray
) -> FloatArray:
    shear_term = (np.minimum(ebwd, 20.0) / 20.0) * (ebwd >= 10.0)
    cin_term = -40.0 / np.minimum(mucin, -40.0)
    return (mucape / 1000.0) * (esrh / 50.0) * shear_term * cin_term


_supercell_composite_parameter_numpy = _core.Elementwise(
    SUPERCELL_COMPOSITE_PARAMETER, _supercell_composite_parameter_formula
)
