"""The horizontal gradient of gridded fields, projected or on the sphere."""

from __future__ import annotations

from collections.abc import Hashable
from typing import TYPE_CHECKING, Any, cast, overload

import numpy as np
import numpy.typing as npt

from . import _core, _face
from ._declarations import GRADIENT
from ._results import Gradient

if TYPE_CHECKING:
    import dask.array
    import xarray

    from ._results import NumPyIn

FloatArray = npt.NDArray[np.float64]


@overload
def gradient(
    f: NumPyIn,
    x: Any = ...,
    y: Any = ...,
    *,
    axes: tuple[int, int] = ...,
    x_dim: Hashable | None = ...,
    y_dim: Hashable | None = ...,
    n_threads: int | None = ...,
) -> Gradient[FloatArray]: ...


@overload
def gradient(
    f: xarray.DataArray,
    x: Any = ...,
    y: Any = ...,
    *,
    axes: tuple[int, int] = ...,
    x_dim: Hashable | None = ...,
    y_dim: Hashable | None = ...,
    n_threads: int | None = ...,
) -> Gradient[xarray.DataArray]: ...


@overload
def gradient(
    f: dask.array.Array,
    x: Any = ...,
    y: Any = ...,
    *,
    axes: tuple[int, int] = ...,
    x_dim: Hashable | None = ...,
    y_dim: Hashable | None = ...,
    n_threads: int | None = ...,
) -> Gradient[dask.array.Array]: ...


@overload
def gradient(
    f: Any,
    x: Any = ...,
    y: Any = ...,
    *,
    axes: tuple[int, int] = ...,
    x_dim: Hashable | None = ...,
    y_dim: Hashable | None = ...,
    n_threads: int | None = ...,
) -> Any: ...


def gradient(
    f: Any,
    x: Any = None,
    y: Any = None,
    *,
    axes: tuple[int, int] = (-2, -1),
    x_dim: Hashable | None = None,
    y_dim: Hashable | None = None,
    n_threads: int | None = None,
) -> Gradient[Any]:
    r"""Horizontal gradient of fields on a rectilinear grid, skipping missing values.

    Along each grid axis a point takes the centred difference
    :math:`(f_{q+1} - f_{q-1})/(c_{q+1} - c_{q-1})`; next to a missing value or
    an edge, the one-sided difference to its other neighbour; NaN where it has
    no usable neighbour or is missing itself. Spacing may be non-uniform and
    coordinates may decrease.

    Parameters
    ----------
    f : array_like, DataArray, dask array or pint Quantity
        The fields, any units; every axis but the two grid axes is batched.
    x, y : array_like, optional
        Coordinates of the x and y grid axes, m, one value per grid point.
        Required for NumPy input; for a DataArray they default to its
        coordinates along ``x_dim`` and ``y_dim`` (with their ``units``).
        Longitude and latitude in degrees (pint Quantities, or coordinates
        recognised by their units, names or ``standard_name``) give the
        gradient on the sphere; one in degrees and the other not is refused.
    axes : (int, int), default (-2, -1)
        The y and x axes of ``f``.
    x_dim, y_dim : hashable, optional
        The x and y dimensions of a DataArray; by default those marked
        ``axis="X"``/``"Y"`` or named ``x``/``y`` (or ``lon``/``lat``).
    n_threads : int, optional
        As in :func:`thermo`.

    Returns
    -------
    Gradient
        Fields of the shape of ``f``:

        - ``dfdx``: :math:`\partial f/\partial x`, units of ``f`` per m.
        - ``dfdy``: :math:`\partial f/\partial y`, units of ``f`` per m.

    Notes
    -----
    On a uniform grid without missing values the result is that of ``numpy.gradient``
    with first-order edges. Masked elements count as missing; zero spacing gives NaN.

    On a longitude/latitude grid the derivatives along the grid axes are taken with
    the coordinates in radians (longitudes unwrapped across the date line), then
    :math:`\partial f/\partial x = (R\cos\phi)^{-1}\,\partial f/\partial\lambda` and
    :math:`\partial f/\partial y = R^{-1}\,\partial f/\partial\phi`, with the Earth's
    mean radius R = 6,371,000 m; at a pole ``dfdx`` is NaN. Longitudes round the globe
    (the step from the last back to the first no wider than the widest) are periodic.

    Examples
    --------
    >>> import numpy as np, tarnwell
    >>> f = np.array([[0.0, 1.0, 4.0, 9.0], [1.0, np.nan, 5.0, 11.0]])
    >>> g = tarnwell.gradient(f, x=[0.0, 1.0, 2.0, 3.0], y=[0.0, 2.0])
    >>> g.dfdx
    array([[ 1.,  2.,  4.,  5.],
           [nan, nan,  6.,  6.]])
    """
    return cast(
        Gradient[Any],
        _face.run(
            GRADIENT,
            _core.gradient,
            {"f": f, "x": x, "y": y},
            {"axes": axes, "n_threads": n_threads},
            {"x_dim": x_dim, "y_dim": y_dim},
        ),
    )
