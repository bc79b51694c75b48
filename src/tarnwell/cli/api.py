"""The command's main job as two library calls, for notebooks: :func:`open_model`
reads model files as the command reads them, :func:`diagnose` computes what
``tarnwell diagnose`` writes."""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING

from . import _io, joined
from . import diagnose as diagnosis
from .errors import CommandError
from .thermo_fields import DEFAULT_COLD_POOL_THRESHOLD

if TYPE_CHECKING:
    import xarray as xr

Paths = str | os.PathLike[str] | Sequence[str | os.PathLike[str]]


def open_model(paths: Paths, *, chunks: Mapping[str, int] | str | None = None) -> xr.Dataset:
    """Model files as one Dataset, read as ``tarnwell diagnose`` reads them.

    Parameters
    ----------
    paths : str, path or sequence of them
        A netCDF file, a zarr store (a path ending in ``.zarr``) or a GRIB file
        (with the ``grib`` extra); several files of one run, or a glob such as
        ``"wrfout_d01_*"``, are joined along time in time order.
    chunks : mapping or "auto", optional
        Read lazily through dask in these chunks, e.g. ``{"time": 1}`` (``time``
        names the file's time dimension whatever the file calls it). Several
        files are read one step per chunk unless told otherwise.

    Returns
    -------
    xarray.Dataset
        The file's variables as stored (units, layout and staggering are
        resolved by :func:`diagnose`). Close it when done (or use ``with``).

    Raises
    ------
    ValueError
        A file that cannot be read, is damaged, or does not fit the others;
        the message names it.
    """
    names = [os.fspath(paths)] if isinstance(paths, (str, os.PathLike)) else list(paths)
    how = dict(chunks) if isinstance(chunks, Mapping) else chunks
    try:
        found = joined.expand([os.fspath(p) for p in names])
        if len(found) == 1:
            return _io.open_model(found[0], how)
        return joined.open_joined(found, how if how is not None else {"time": 1}, _io.open_model)
    except CommandError as err:
        raise ValueError(str(err)) from None


def diagnose(
    ds: xr.Dataset,
    *,
    fields: str | Sequence[str] | None = None,
    storm_motion: str | tuple[float, float] = "bunkers",
    cold_pool_threshold: float = DEFAULT_COLD_POOL_THRESHOLD,
    variables: Mapping[str, str] | None = None,
    level_dim: str | None = None,
    dtype: str | None = None,
    n_threads: int | None = None,
) -> xr.Dataset:
    """Every diagnostic a model Dataset allows, as ``tarnwell diagnose`` writes them.

    The same fields, attributes and values, bit for bit, as the command's
    output for the same file (see the command's documentation for what each
    field is). Lazy where ``ds`` is dask-backed: nothing is computed until the
    result is (``.compute()``, ``.to_zarr()``).

    Parameters
    ----------
    ds : xarray.Dataset
        A model file's Dataset, e.g. from :func:`open_model`: WRF, ERA5 and IFS,
        GFS/HRRR/NAM GRIB2 and CF layouts are recognised.
    fields : str or sequence of str, optional
        Only these fields or groups (``thermo``, ``cold_pool``, ``winds``,
        ``parcels``, ``composites``, ``gradients``); only what they need is
        computed. Default: every field the variables allow.
    storm_motion : "bunkers" or (u, v)
        The storm motion for helicity: the Bunkers right mover, or a fixed
        motion in m s-1.
    cold_pool_threshold : float
        Buoyancy (m s-2) at which the cold pool ends.
    variables : mapping, optional
        ``{role: variable name}`` where a role cannot be recognised, as the
        command's ``--var`` (``{"dewpoint": "d2m"}``).
    level_dim : str, optional
        The vertical dimension, where it cannot be recognised.
    dtype : "float32" or "float64", optional
        Stored precision; default that of the inputs each field comes from.
    n_threads : int, optional
        Threads of each kernel call on in-memory data (default: all CPUs). On
        dask-backed data each block's call uses one thread and dask runs the
        blocks in parallel, as the command does.

    Raises
    ------
    ValueError
        Variables that cannot be found or read, or a field asked for that the
        variables do not allow; the message says which and why.
    """
    from . import default_threads

    try:
        motion = None
        if isinstance(storm_motion, str):
            motion = diagnosis.parse_storm_motion(storm_motion)
        else:
            motion = (float(storm_motion[0]), float(storm_motion[1]))
        wanted = None
        if fields is not None:
            wanted = diagnosis.parse_fields(fields if isinstance(fields, str) else ",".join(fields))
        lazy = any(v.chunks is not None for v in ds.data_vars.values())
        options = diagnosis.Options(
            storm_motion=motion,
            cold_pool_threshold=cold_pool_threshold,
            level_dim=level_dim,
            n_threads=1 if lazy else (n_threads or default_threads()),
            dtype=dtype,
            fields=wanted,
        )
        return diagnosis.diagnose(ds, dict(variables or {}), options)
    except CommandError as err:
        raise ValueError(str(err)) from None
