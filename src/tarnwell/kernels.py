"""Moist thermodynamics, cold pools and layer winds (thermo, cold_pool, profile),
for NumPy, pint, xarray and dask inputs."""

from __future__ import annotations

import math
from collections.abc import Hashable
from typing import TYPE_CHECKING, Any, cast, overload

import numpy as np
import numpy.typing as npt

from . import _core, _face
from ._declarations import COLD_POOL, PROFILE, THERMO
from ._results import ColdPool, Profile, Thermo

if TYPE_CHECKING:
    import dask.array
    import xarray

    from ._results import NumPyIn

FloatArray = npt.NDArray[np.float64]


@overload
def thermo(
    t: NumPyIn,
    p: NumPyIn,
    td: NumPyIn,
    *,
    n_threads: int | None = ...,
) -> Thermo[FloatArray]: ...


@overload
def thermo(
    t: xarray.DataArray,
    p: Any,
    td: Any,
    *,
    n_threads: int | None = ...,
) -> Thermo[xarray.DataArray]: ...


@overload
def thermo(
    t: dask.array.Array,
    p: Any,
    td: Any,
    *,
    n_threads: int | None = ...,
) -> Thermo[dask.array.Array]: ...


@overload
def thermo(
    t: Any,
    p: Any,
    td: Any,
    *,
    n_threads: int | None = ...,
) -> Any: ...


def thermo(t: Any, p: Any, td: Any, *, n_threads: int | None = None) -> Thermo[Any]:
    r"""Mixing ratio, potential, virtual potential and equivalent potential temperature.

    Every element is computed on its own from the temperature, pressure and
    dew point at the same place, after NumPy broadcasting of the three inputs.

    Parameters
    ----------
    t : array_like, DataArray, dask array or pint Quantity
        Air temperature :math:`T`, K.
    p : array_like, DataArray, dask array or pint Quantity
        Pressure :math:`P`, Pa. A pressure per level broadcasts against a
        4-D temperature (shape ``(nlev, 1, 1)`` for level-first data).
    td : array_like, DataArray, dask array or pint Quantity
        Dew point :math:`T_d`, K. A dew point above the temperature is taken as
        the temperature (saturation).
    n_threads : int, optional
        Threads to use. None (default): the CPUs this process may run on, or 1
        inside a dask task. 0 or less: the machine's hardware concurrency.

    Returns
    -------
    Thermo
        Fields of the broadcast shape, views of one result array:

        - ``mixing_ratio``: water-vapour mixing ratio :math:`w = \varepsilon e/(P - e)`,
          kg kg-1, with :math:`e = 611.2\,\exp(17.67\,T_c/(T_c + 243.5))` Pa at the dew
          point :math:`T_c` in °C (Bolton 1980, eq. 10).
        - ``theta``: potential temperature :math:`\theta = T (P_0/P)^\kappa`, K.
        - ``theta_v``: virtual potential temperature
          :math:`\theta (1 + w/\varepsilon)/(1 + w)`, K.
        - ``theta_e``: equivalent potential temperature, K, by Bolton (1980)
          eq. 43 with the lifting-condensation temperature of eq. 15.

    Notes
    -----
    :math:`P_0` = 1000 hPa, :math:`\kappa` = 0.28542059262205427 and
    :math:`\varepsilon` = 0.6219569156569429 (:math:`M_w/M_d`). MetPy's ε is
    the same, but its :math:`\kappa = R_d/c_{pd}` is 2/7 ≈ 0.2857143, so its θ
    and θv are larger by the factor :math:`(P_0/P)^{0.000294}` (0.02 % at
    500 hPa). MetPy's θe follows Bolton's eq. 39 (θ of the dry-air pressure
    with κ = 2/7) where this one uses eq. 43 with the exponent
    :math:`0.2854(1 - 0.00028 r)`: they differ by up to a few tenths of a
    kelvin at pressures of 100 hPa or more.

    Plain values (without units) that cannot be SI give one ``UserWarning`` naming the
    argument: pressures all below 1,100 (likely hPa), temperatures all below 100 (likely °C).

    Missing values (NaN, ±inf, masked elements) give NaN in the fields that
    depend on them: a missing dew point leaves ``theta`` intact. Where the vapour
    pressure :math:`e` reaches :math:`P` (or :math:`P \leq 0`) there is no mixing
    ratio: it, ``theta_v`` and ``theta_e`` are NaN. Masked inputs give fields masked where NaN.

    References
    ----------
    Bolton, D., 1980: The computation of equivalent potential temperature.
    *Mon. Wea. Rev.*, 108, 1046-1053.

    Examples
    --------
    >>> import numpy as np, tarnwell
    >>> r = tarnwell.thermo(300.0, 100000.0, 290.0)
    >>> round(float(r.theta_e), 3), round(float(r.mixing_ratio), 7)
    (335.865, 0.0121624)

    Level-first data (level, y, x) with one pressure per level:

    >>> t = np.array([[[300.0, 301.0]], [[290.0, 291.0]]])      # (2 levels, 1, 2)
    >>> p = np.array([100000.0, 85000.0]).reshape(2, 1, 1)
    >>> tarnwell.thermo(t, p, t - 10.0).theta.round(2)
    array([[[300.  , 301.  ]],
    <BLANKLINE>
           [[303.77, 304.82]]])
    """
    return cast(
        Thermo[Any],
        _face.run(THERMO, _core.thermo, {"t": t, "p": p, "td": td}, {"n_threads": n_threads}, {}),
    )


@overload
def cold_pool(
    z: NumPyIn,
    b: NumPyIn,
    *,
    bottom: Any,
    threshold: Any,
    top: Any = ...,
    axis: int = ...,
    dim: Hashable | None = ...,
    n_threads: int | None = ...,
) -> ColdPool[FloatArray]: ...


@overload
def cold_pool(
    z: xarray.DataArray,
    b: Any,
    *,
    bottom: Any,
    threshold: Any,
    top: Any = ...,
    axis: int = ...,
    dim: Hashable | None = ...,
    n_threads: int | None = ...,
) -> ColdPool[xarray.DataArray]: ...


@overload
def cold_pool(
    z: dask.array.Array,
    b: Any,
    *,
    bottom: Any,
    threshold: Any,
    top: Any = ...,
    axis: int = ...,
    dim: Hashable | None = ...,
    n_threads: int | None = ...,
) -> ColdPool[dask.array.Array]: ...


@overload
def cold_pool(
    z: Any,
    b: Any,
    *,
    bottom: Any,
    threshold: Any,
    top: Any = ...,
    axis: int = ...,
    dim: Hashable | None = ...,
    n_threads: int | None = ...,
) -> Any: ...


def cold_pool(
    z: Any,
    b: Any,
    *,
    bottom: Any,
    threshold: Any,
    top: Any = math.nan,
    axis: int = -1,
    dim: Hashable | None = None,
    n_threads: int | None = None,
) -> ColdPool[Any]:
    r"""Intensity, depth and open-top flag of the cold pool of every column.

    The layer starts at the first usable level at or above ``bottom`` and ends
    ``top`` metres above it (fixed-depth mode, where ``top`` is finite), or
    where the buoyancy first rises to ``threshold`` (threshold mode, where
    ``top`` is NaN). Its intensity is :math:`I = \sqrt{2\int -b\,dz}` by
    trapezoids (0 when the integral is negative), the usual scale of a cold
    pool's propagation speed (Rotunno, Klemp and Weisman 1988).

    Parameters
    ----------
    z : array_like, DataArray, dask array or pint Quantity
        Height of every level, m; broadcasts against ``b`` (a time-invariant
        height field, or one height per level).
    b : array_like, DataArray, dask array or pint Quantity
        Buoyancy, m s-2.
    bottom : float or array_like
        Lowest height of the layer, m, per column (broadcasts against the
        non-vertical shape). NaN sets no lower bound.
    threshold : float
        Buoyancy at which the layer ends in threshold mode, m s-2.
    top : float or array_like, default NaN
        Depth of the layer, m, per column; NaN (the default) selects threshold
        mode.
    axis : int, default -1
        The vertical axis of the broadcast data (0 for level-first data).
    dim : hashable, optional
        The vertical dimension of DataArray inputs; by default the one marked
        ``axis="Z"`` or ``positive`` in its coordinate attributes, or named
        ``level``, ``lev``, ``z``, ``height``, ``pressure`` and the like.
    n_threads : int, optional
        As in :func:`thermo`.

    Returns
    -------
    ColdPool
        Fields of the shape of the non-vertical axes:

        - ``intensity``: :math:`I`, m s-1.
        - ``depth``: layer depth, m (``top`` in fixed-depth mode, the height of
          the crossing above the start level in threshold mode).
        - ``open_top``: 1 where threshold mode ran out of levels while still
          colder than ``threshold``, else 0.

    Notes
    -----
    Levels are used in index order and never sorted, except that columns
    stored top-down (heights falling with the index in some columns and rising
    in none, judged from each column's first and last usable heights) are read
    from the bottom up, as a reversed view: bit for bit the call on the
    flipped arrays. A column that is not monotonic is read as stored. A level
    whose height or buoyancy is missing (NaN, ±inf, masked) is skipped: the trapezoid spans its
    neighbours. A column with no usable level at or above ``bottom``, or too
    short for the fixed depth, is NaN in every field; in threshold mode a start
    level not colder than ``threshold`` gives 0, 0, 0.

    References
    ----------
    Rotunno, R., J. B. Klemp and M. L. Weisman, 1988: A theory for strong,
    long-lived squall lines. *J. Atmos. Sci.*, 45, 463-485.

    Examples
    --------
    >>> import numpy as np, tarnwell
    >>> z = np.array([0.0, 100.0, 200.0, 300.0])
    >>> b = np.array([[-0.03, -0.02, -0.01, 0.01]] * 2)
    >>> r = tarnwell.cold_pool(z, b, bottom=0.0, threshold=0.0, top=[np.nan, 150.0])
    >>> r.intensity.round(6), r.depth
    (array([2.915476, 2.598076]), array([250., 150.]))
    """
    return cast(
        ColdPool[Any],
        _face.run(
            COLD_POOL,
            _core.cold_pool,
            {"z": z, "b": b, "bottom": bottom, "top": top, "threshold": threshold},
            {"axis": axis, "n_threads": n_threads},
            {"dim": dim},
        ),
    )


@overload
def profile(
    z: NumPyIn,
    u: NumPyIn,
    v: NumPyIn,
    *,
    ground: Any,
    bottom: Any,
    top: Any,
    cu: Any = ...,
    cv: Any = ...,
    axis: int = ...,
    dim: Hashable | None = ...,
    n_threads: int | None = ...,
) -> Profile[FloatArray]: ...


@overload
def profile(
    z: xarray.DataArray,
    u: Any,
    v: Any,
    *,
    ground: Any,
    bottom: Any,
    top: Any,
    cu: Any = ...,
    cv: Any = ...,
    axis: int = ...,
    dim: Hashable | None = ...,
    n_threads: int | None = ...,
) -> Profile[xarray.DataArray]: ...


@overload
def profile(
    z: dask.array.Array,
    u: Any,
    v: Any,
    *,
    ground: Any,
    bottom: Any,
    top: Any,
    cu: Any = ...,
    cv: Any = ...,
    axis: int = ...,
    dim: Hashable | None = ...,
    n_threads: int | None = ...,
) -> Profile[dask.array.Array]: ...


@overload
def profile(
    z: Any,
    u: Any,
    v: Any,
    *,
    ground: Any,
    bottom: Any,
    top: Any,
    cu: Any = ...,
    cv: Any = ...,
    axis: int = ...,
    dim: Hashable | None = ...,
    n_threads: int | None = ...,
) -> Any: ...


def profile(
    z: Any,
    u: Any,
    v: Any,
    *,
    ground: Any,
    bottom: Any,
    top: Any,
    cu: Any = math.nan,
    cv: Any = math.nan,
    axis: int = -1,
    dim: Hashable | None = None,
    n_threads: int | None = None,
) -> Profile[Any]:
    r"""Winds at the ends of a height layer, its storm-relative helicity and mean wind.

    The layer runs from ``ground + bottom`` to ``ground + top`` in every column.
    Helicity is the sum over the layer's bottom point, interior levels and top
    point of :math:`(u_k - c_u)(v_{k-1} - c_v) - (u_{k-1} - c_u)(v_k - c_v)`,
    positive for a storm-relative wind veering with height (Davies-Jones,
    Burgess and Foster 1990).

    Parameters
    ----------
    z : array_like, DataArray, dask array or pint Quantity
        Height of every level, m, rising (or, top-down, falling) with the level
        index; broadcasts against ``u`` and ``v``.
    u, v : array_like, DataArray, dask array or pint Quantity
        Wind components, m s-1.
    ground : float or array_like
        Ground height per column in the frame of ``z``, m. NaN measures the
        layer from the column's lowest usable level.
    bottom, top : float
        Heights of the layer's ends above ground, m.
    cu, cv : float or array_like, default NaN
        Storm motion per column, m s-1. Without it (the default, NaN) the
        helicity is NaN and the other fields are computed.
    axis : int, default -1
        The vertical axis of the broadcast data (0 for level-first data).
    dim : hashable, optional
        The vertical dimension of DataArray inputs (see :func:`cold_pool`).
    n_threads : int, optional
        As in :func:`thermo`.

    Returns
    -------
    Profile
        Fields of the shape of the non-vertical axes, all NaN for a column
        whose layer lies outside its usable levels:

        - ``u_bottom``, ``v_bottom``: wind at the layer's bottom, m s-1.
        - ``u_top``, ``v_top``: wind at the layer's top, m s-1. The bulk shear
          is ``u_top - u_bottom``, ``v_top - v_bottom``.
        - ``helicity``: storm-relative helicity, m2 s-2 (NaN alone where the
          storm motion is missing).
        - ``u_mean``, ``v_mean``: height-weighted (trapezoid) mean wind, m s-1.

    Notes
    -----
    End winds are interpolated linearly in height; an end up to 1e-6 m outside
    the usable levels takes the nearest level's wind, one further out makes the
    column all NaN. A level with a missing height or wind (NaN, ±inf, masked) is
    skipped and its neighbours joined. Levels are used in index order and
    should rise with it; columns stored top-down are read from the bottom up
    as in :func:`cold_pool`. When ``top <= bottom``, ``helicity`` is the single step
    from bottom to top and the mean wind is the bottom wind.

    References
    ----------
    Davies-Jones, R., D. Burgess and M. Foster, 1990: Test of helicity as a
    tornado forecast parameter. Preprints, 16th Conf. on Severe Local Storms,
    Kananaskis Park, Amer. Meteor. Soc., 588-592.

    Examples
    --------
    >>> import numpy as np, tarnwell
    >>> z = np.array([0.0, 1000.0, 2000.0, 3000.0])
    >>> r = tarnwell.profile(z, [0.0, 0.0, 10.0, 10.0], [0.0, 10.0, 10.0, 0.0],
    ...                      ground=0.0, bottom=0.0, top=2500.0, cu=5.0, cv=5.0)
    >>> float(r.helicity), float(r.u_top), float(r.v_mean)
    (125.0, 10.0, 7.5)
    """
    return cast(
        Profile[Any],
        _face.run(
            PROFILE,
            _core.profile,
            {"z": z, "u": u, "v": v, "ground": ground, "cu": cu, "cv": cv}
            | {"bottom": bottom, "top": top},
            {"axis": axis, "n_threads": n_threads},
            {"dim": dim},
        ),
    )
