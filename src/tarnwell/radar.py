"""The velocity-azimuth-display wind of rings of radar gates."""

from __future__ import annotations

from collections.abc import Hashable
from typing import TYPE_CHECKING, Any, cast, overload

import numpy as np
import numpy.typing as npt

from . import _core, _face
from ._declarations import VAD
from ._results import Vad

if TYPE_CHECKING:
    import dask.array
    import xarray

    from ._results import NumPyIn

FloatArray = npt.NDArray[np.float64]


@overload
def vad(
    vr: NumPyIn,
    az: NumPyIn,
    *,
    cos_el: Any,
    min_gates: int = ...,
    min_spread: float = ...,
    axis: int = ...,
    dim: Hashable | None = ...,
    n_threads: int | None = ...,
) -> Vad[FloatArray]: ...


@overload
def vad(
    vr: xarray.DataArray,
    az: Any,
    *,
    cos_el: Any,
    min_gates: int = ...,
    min_spread: float = ...,
    axis: int = ...,
    dim: Hashable | None = ...,
    n_threads: int | None = ...,
) -> Vad[xarray.DataArray]: ...


@overload
def vad(
    vr: dask.array.Array,
    az: Any,
    *,
    cos_el: Any,
    min_gates: int = ...,
    min_spread: float = ...,
    axis: int = ...,
    dim: Hashable | None = ...,
    n_threads: int | None = ...,
) -> Vad[dask.array.Array]: ...


@overload
def vad(
    vr: Any,
    az: Any,
    *,
    cos_el: Any,
    min_gates: int = ...,
    min_spread: float = ...,
    axis: int = ...,
    dim: Hashable | None = ...,
    n_threads: int | None = ...,
) -> Any: ...


def vad(
    vr: Any,
    az: Any,
    *,
    cos_el: Any,
    min_gates: int = 30,
    min_spread: float = 0.2,
    axis: int = -1,
    dim: Hashable | None = None,
    n_threads: int | None = None,
) -> Vad[Any]:
    r"""Velocity-azimuth-display wind of every ring of radar gates.

    For every ring (the gates of one range circle of one sweep) a least-squares
    fit of the radial velocity over its valid gates, first
    :math:`v_r = a_0 + B_s \sin\phi + B_c \cos\phi`, then with the second harmonic
    :math:`s_2 \sin 2\phi + c_2 \cos 2\phi` added (Browning and Wexler 1968).

    Parameters
    ----------
    vr : array_like, DataArray, dask array or pint Quantity
        Radial velocity, m s-1.
    az : array_like, DataArray, dask array or pint Quantity
        Azimuth :math:`\phi` of every gate, clockwise from north, radians
        (a DataArray or Quantity in degrees is converted; plain values beyond a
        full turn warn that they look like degrees); broadcasts against ``vr``
        (one azimuth per gate for all rings).
    cos_el : float or array_like
        Cosine of each ring's elevation; broadcasts against the non-gate shape. 0 or
        less (a vertical beam) gives NaN winds; beyond ±1 (an elevation) is refused.
    min_gates : int, default 30
        Fewest valid gates a fit accepts (at least 3 are always needed). 30 gates leave
        a fit over a full ring of 1° gates well determined when most of them are missing.
    min_spread : float, default 0.2
        Least coverage of the circle: the determinant of the covariance of
        (sin φ, cos φ) over n²; evenly spread gates reach 0.25, a half circle
        about 0.047, three quarters of it about 0.17; the default 0.2 asks for
        gates on most of the circle. 0 or less switches the test off.
    axis : int, default -1
        The gate axis of the broadcast data.
    dim : hashable, optional
        The gate dimension of DataArray inputs; by default ``azimuth``.
    n_threads : int, optional
        As in :func:`thermo`.

    Returns
    -------
    Vad
        Fields of the shape of the non-gate axes:

        - ``u``, ``v``: :math:`B_s/\cos\epsilon` and :math:`B_c/\cos\epsilon`, wind
          toward east and north, m s-1.
        - ``a0``: first-order intercept, m s-1.
        - ``rms``: rms residual of the first-order fit (over n), m s-1.
        - ``n``: number of valid gates.
        - ``a0_2``, ``s2``, ``c2``: second-order intercept and second-harmonic
          coefficients (deformation), m s-1.

    Notes
    -----
    A gate is valid when its velocity and azimuth are finite (masked gates
    are not). A fit needs at least 3 and at least ``min_gates`` valid gates and
    a coverage of at least ``min_spread``; the second-order fit also needs its
    normalised 4×4 determinant to reach ``min_spread * 0.25`` and not vanish.
    Rejected fits are NaN; the first-order fields survive a rejected
    second-order fit. ``n`` is always written.

    References
    ----------
    Browning, K. A. and R. Wexler, 1968: The determination of kinematic
    properties of a wind field using Doppler radar. *J. Appl. Meteor.*, 7,
    105-113.

    Examples
    --------
    >>> import numpy as np, tarnwell
    >>> az = 2 * np.pi * np.arange(36) / 36
    >>> vr = 3 + (10 * np.sin(az) + 5 * np.cos(az)) * np.cos(0.5) + 2 * np.sin(2 * az)
    >>> r = tarnwell.vad(vr, az, cos_el=np.cos(0.5), min_gates=3, min_spread=0.1)
    >>> round(float(r.u), 9), round(float(r.v), 9), int(r.n)
    (10.0, 5.0, 36)
    """
    return cast(
        Vad[Any],
        _face.run(
            VAD,
            _core.vad,
            {"vr": vr, "az": az, "cos_el": cos_el, "min_gates": min_gates}
            | {"min_spread": min_spread},
            {"axis": axis, "n_threads": n_threads},
            {"dim": dim},
        ),
    )
