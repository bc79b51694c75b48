"""The canonical fields every model family's reader fills."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import numpy as np
    import xarray as xr


@dataclass
class ModelFields:
    """A model file's fields in the units and layout the diagnostics need.

    Every 3-D field has the dimensions ``dims`` (levels along ``level_dim``,
    bottom-up); per-column fields have ``dims`` without ``level_dim``. A field
    the file does not provide is None.
    """

    family: str
    dims: tuple[str, ...]
    level_dim: str
    y_dim: str
    x_dim: str
    temperature: xr.DataArray | None = None  # K
    pressure: xr.DataArray | None = None  # Pa
    dewpoint: xr.DataArray | None = None  # K
    height: xr.DataArray | None = None  # m, level heights (above sea level, or above ground)
    ground: xr.DataArray | None = None  # m, surface height in the frame of `height`
    u: xr.DataArray | None = None  # m s-1, eastward
    v: xr.DataArray | None = None  # m s-1, northward
    u10: xr.DataArray | None = None  # m s-1, eastward wind 10 m above ground
    v10: xr.DataArray | None = None  # m s-1, northward wind 10 m above ground
    # The grid for gradients: projected coordinates in metres, or (geographic)
    # longitude and latitude in degrees; None with the reason in `grid_note`.
    x: np.ndarray | None = None
    y: np.ndarray | None = None
    geographic: bool = False
    grid_note: str | None = None
    notes: list[str] = field(default_factory=list)
    # The dimension that holds time (WRF's "Time", ERA5's "valid_time"), if any.
    time_dim: str | None = None
    # The floating type the file stores the input fields in (float32 for most
    # model output); the fields above are float64 whatever the file holds.
    input_dtype: np.dtype[np.floating] | None = None
    # Map scale factor on the mass grid (projected WRF grids): a distance dx on
    # the projection plane is dx / map_factor on the earth, so a true horizontal
    # gradient is map_factor times the gradient on the plane. None: 1 (or geographic).
    map_factor: xr.DataArray | None = None
    # The file's own potential temperature (K), where the file gives θ and the
    # temperature is derived from it: written as θ, with what it is
    # (`theta_source`) and the constants that gave the temperature.
    theta: xr.DataArray | None = None
    theta_source: str = ""
    theta_constants: str = ""
