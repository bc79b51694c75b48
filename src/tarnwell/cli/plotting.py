"""The figure sheet of ``tarnwell plot``: maps, a cross-section, hodographs and a VAD profile.

The maps: cold-pool intensity, 0-3 km helicity over three hodographs,
mixed-layer CAPE with helicity contours (when the diagnostics have CAPE) and
baroclinity.

matplotlib is imported lazily with the non-interactive Agg backend unless a
window is asked for, so plotting works on servers and in batch jobs.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from . import plot_axes
from .errors import CommandError

if TYPE_CHECKING:
    import xarray as xr
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

DPI = 100
HODOGRAPH_LAYERS = ("0_1km", "0_3km", "0_6km")
VAD_BIN = 250.0  # m: height bins of the VAD profile
# The mixed-layer parcel: the air a surface-based storm ingests, less sensitive
# than the lowest level's to the superadiabatic film over heated ground, and the
# parcel of the significant tornado parameter.
CAPE_FIELD = "cape_ml"
HELICITY_CONTOURS = (100.0, 200.0, 300.0, 400.0, 600.0)  # m2 s-2


def open_product(path: str) -> xr.Dataset:
    """A ``diagnose`` or ``vad`` output."""
    import os

    import xarray as xr

    if not os.path.exists(path):
        raise CommandError(f"{path}: no such file or directory")
    try:
        engine = "zarr" if path.rstrip("/").endswith(".zarr") else None
        ds = xr.open_dataset(path, engine=engine)
    except Exception as err:  # every backend fails in its own way
        raise CommandError(f"{path}: cannot read ({str(err).splitlines()[0]})") from None
    if ds.attrs.get("tarnwell_product") not in ("diagnose", "vad"):
        ds.close()
        raise CommandError(f"{path}: not an output of 'tarnwell diagnose' or 'tarnwell vad'")
    return ds


def _pyplot(interactive: bool) -> Any:
    import matplotlib

    if not interactive:
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def figure_sheet(
    datasets: list[xr.Dataset],
    *,
    time_index: int | None = None,
    interactive: bool = False,
    select: dict[str, int] | None = None,
) -> Figure:
    """The sheet for one ``diagnose`` output and/or one ``vad`` output.

    The maps show one time (``time_index``, else the strongest cold pool) of
    one member of every other outer dimension (an ensemble's ``number``): the
    index ``select`` gives, else the first.
    """
    diag = next((d for d in datasets if d.attrs["tarnwell_product"] == "diagnose"), None)
    vad = next((d for d in datasets if d.attrs["tarnwell_product"] == "vad"), None)
    plt = _pyplot(interactive)
    if diag is None:
        assert vad is not None
        single: Figure = plt.figure(figsize=(6.0, 7.5), layout="constrained")
        vad_profile(single.add_subplot(), vad)
        return single
    diag, chosen = _one_member(diag, select or {})
    wide = vad is not None
    # With parcel fields the top row gains the CAPE map and the cross-section
    # below it spans two columns.
    cape = CAPE_FIELD in diag
    maps = 3 if cape else 2
    width = (17.5 if cape else 12.5) + ((5.5 if cape else 5.0) if wide else 0.0)
    fig: Figure = plt.figure(figsize=(width, 10.0), layout="constrained")
    ratios = [1.0] * maps + ([0.8 if cape else 0.7] if wide else [])
    grid = fig.add_gridspec(2, maps + (1 if wide else 0), width_ratios=ratios)
    t = _time_index(diag, time_index)
    when = _time_label(diag, t) + chosen
    diag = _at_time(diag, t)
    fig.suptitle(f"tarnwell diagnostics{when}", fontsize=14)
    # The helicity map sits over a row of three hodographs.
    helicity_grid = grid[0, 1].subgridspec(2, 3, height_ratios=[3.2, 1], hspace=0.02)
    panels = {
        "cold_pool": fig.add_subplot(grid[0, 0]),
        "helicity": fig.add_subplot(helicity_grid[0, :]),
        "theta_e": fig.add_subplot(grid[1, : maps - 1]),
        "baroclinity": fig.add_subplot(grid[1, maps - 1]),
    }
    hodographs = [fig.add_subplot(helicity_grid[1, k]) for k in range(3)]
    cold_pool_map(panels["cold_pool"], diag, 0)
    drawn = helicity_map(panels["helicity"], diag, 0, hodographs)
    if cape:
        cape_map(fig.add_subplot(grid[0, 2]), diag, 0)
    theta_e_section(panels["theta_e"], diag, 0)
    baroclinity_map(panels["baroclinity"], diag, 0)
    if vad is not None:
        vad_profile(fig.add_subplot(grid[:, maps]), vad)
    fig.get_layout_engine().execute(fig)  # type: ignore[union-attr]
    for hodo, us, vs, storm in drawn:
        plot_axes.label_hodograph(hodo, us, vs, ("0", "1", "3", "6"), storm)
    return fig


def parse_select(items: list[str] | None) -> dict[str, int]:
    """``["number=3", ...]`` (``--select``) as a dict of indices."""
    chosen: dict[str, int] = {}
    for item in items or []:
        name, sep, index = item.partition("=")
        try:
            if not sep or not name.strip():
                raise ValueError
            chosen[name.strip()] = int(index)
        except ValueError:
            raise CommandError(f"--select: expected DIM=INDEX, got {item!r}") from None
    return chosen


def _time_dim(ds: xr.Dataset) -> str | None:
    found = plot_axes.time_dims(ds)
    return str(found[0]) if found else None


def _one_member(ds: xr.Dataset, select: dict[str, int]) -> tuple[xr.Dataset, str]:
    """``ds`` at one index of every dimension that is not time, a level or the grid."""
    grid: set[Any] = set()
    for name in ("theta_e", "grad_theta"):
        if name in ds and ds[name].ndim >= 3:
            grid |= set(ds[name].dims[-3:])
    for name in ("intensity", "helicity_0_3km"):
        if name in ds and ds[name].ndim >= 2:
            grid |= set(ds[name].dims[-2:])
    time = _time_dim(ds)
    used = {d for v in ds.data_vars.values() for d in v.dims}
    outer = [str(d) for d in ds.dims if d in used and d not in grid and d != time]
    unknown = sorted(set(select) - set(outer))
    if unknown:
        raise CommandError(
            f"--select: {', '.join(map(repr, unknown))} is not a dimension to choose a "
            f"member of (those of the file: {', '.join(outer) or 'none'}; times: --time)"
        )
    index: dict[str, int] = {}
    for dim in outer:
        n = ds.sizes[dim]
        k = select.get(dim, 0)
        if not -n <= k < n:
            raise CommandError(f"--select {dim}={k}: the file has {n} along {dim!r}")
        index[dim] = k % n
    label = "".join(f", {d} {_coordinate_text(ds, d, k)}" for d, k in index.items())
    return ds.isel(index), label


def _coordinate_text(ds: xr.Dataset, dim: str, k: int) -> str:
    if dim in ds.coords and ds[dim].ndim == 1:
        return plot_axes.value_text(ds[dim].values[k])
    return f"{k}"


def _time_index(ds: xr.Dataset, requested: int | None) -> int:
    time = _time_dim(ds)
    if time is None:
        if requested not in (None, 0, -1):
            raise CommandError(f"--time {requested}: the file has one time")
        return 0
    n = ds.sizes[time]
    if requested is not None:
        if not -n <= requested < n:
            raise CommandError(f"--time {requested}: the file has {n} times")
        return requested % n
    if "intensity" in ds and time in ds["intensity"].dims:
        strongest = ds["intensity"].max([d for d in ds["intensity"].dims if d != time])
        values = np.nan_to_num(strongest.values, nan=-np.inf)
        return int(np.argmax(values))
    return 0


def _time_label(ds: xr.Dataset, t: int) -> str:
    """The time shown: of the time dimension at ``t``, or a scalar time coordinate."""
    return plot_axes.time_text(ds, _time_dim(ds), t)


def _at_time(obj: Any, t: int) -> Any:
    """``obj`` (a Dataset or DataArray) at time index ``t``, if it has a time dimension."""
    found = plot_axes.time_dims(obj)
    return obj.isel({found[0]: t}) if found else obj


def _is_degrees(coord: xr.DataArray) -> bool:
    units = str(coord.attrs.get("units", "")).lower()
    standard = str(coord.attrs.get("standard_name", ""))
    return "degree" in units or standard in ("latitude", "longitude")


def _axis(obj: Any, dim: str) -> tuple[np.ndarray, str, bool]:
    """Values and label of a horizontal axis: degrees as they are, metres in km."""
    if dim not in obj.coords or obj[dim].ndim != 1:
        return np.arange(obj.sizes[dim]), f"{dim} (grid index)", False
    coord = obj[dim]
    if _is_degrees(coord):
        standard = str(coord.attrs.get("standard_name", ""))
        is_lat = standard == "latitude" or "north" in str(coord.attrs.get("units", "")).lower()
        name = "latitude (°N)" if is_lat else "longitude (°E)"
        return np.asarray(coord.values, dtype=np.float64), name, True
    return np.asarray(coord.values, dtype=np.float64) / 1000.0, f"{dim} (km)", False


def _grid_km(da: xr.DataArray) -> tuple[np.ndarray, np.ndarray, str, str]:
    """x and y values and their axis labels (km on projected grids, degrees on lat/lon)."""
    y_dim, x_dim = str(da.dims[-2]), str(da.dims[-1])
    x, x_label, _ = _axis(da, x_dim)
    y, y_label, _ = _axis(da, y_dim)
    return x, y, x_label, y_label


def _map(
    ax: Axes,
    da: xr.DataArray,
    title: str,
    units: str,
    *,
    floor: float | None = None,
    centred: bool = False,
    **style: Any,
) -> Any:
    """A map of ``da``; ``floor`` and ``centred`` as :func:`plot_axes.colour_range` takes them."""
    x, y, x_label, y_label = _grid_km(da)
    scale = plot_axes.colour_range(da.values, floor=floor, centred=centred)
    mesh = ax.pcolormesh(x, y, da.values, shading="auto", **scale, **style)
    ax.figure.colorbar(mesh, ax=ax, label=units, shrink=0.9)
    constant = plot_axes.constant_value(da.values)
    if constant is not None:
        ax.text(
            0.5,
            0.5,
            f"{constant:g} everywhere",
            ha="center",
            va="center",
            transform=ax.transAxes,
            bbox={"boxstyle": "round", "fc": "white", "alpha": 0.8},
        )
    ax.set_title(title)
    ax.set_xlabel(x_label)
    ax.set_ylabel(y_label)
    if _axis(da, str(da.dims[-2]))[2]:
        # A degree of longitude is cos(latitude) of a degree of latitude.
        middle = float(np.nanmean(y)) if y.size else 0.0
        ax.set_aspect(1.0 / max(np.cos(np.deg2rad(middle)), 0.1))
    else:
        ax.set_aspect("equal")
    return mesh


def _missing(ax: Axes, title: str, what: str) -> None:
    ax.set_title(title)
    ax.text(0.5, 0.5, f"no {what} in the file", ha="center", va="center", transform=ax.transAxes)
    ax.set_axis_off()


def _argmax2d(values: np.ndarray) -> tuple[int, int]:
    flat = np.nan_to_num(values, nan=-np.inf)
    j, i = np.unravel_index(int(np.argmax(flat)), flat.shape)
    return int(j), int(i)


def cold_pool_map(ax: Axes, ds: xr.Dataset, t: int) -> None:
    title = "Cold-pool intensity"
    if "intensity" not in ds:
        _missing(ax, title, "cold-pool intensity")
        return
    da = _at_time(ds["intensity"], t)
    _map(ax, da, title, "intensity (m s$^{-1}$)", cmap="Blues", floor=0.0)
    x, y, _, _ = _grid_km(da)
    if _strongest_cold_pool(ds, t) is None:
        return
    j, i = _argmax2d(da.values)
    depth = float(_at_time(ds["depth"], t).values[j, i]) if "depth" in ds else np.nan
    ax.plot(x[i], y[j], marker="x", color="k", ms=9, mew=2)
    ax.annotate(
        f"max {float(da.values[j, i]):.1f} m s$^{{-1}}$\ndepth {depth / 1000:.1f} km",
        (x[i], y[j]),
        xytext=(8, 8),
        textcoords="offset points",
        fontsize=9,
        bbox={"boxstyle": "round", "fc": "white", "alpha": 0.8},
    )


def helicity_map(
    ax: Axes, ds: xr.Dataset, t: int, hodographs: list[Axes]
) -> list[tuple[Axes, list[float], list[float], tuple[float, float]]]:
    """The 0-3 km helicity map, with hodographs at three marked points in ``hodographs``
    (returned with their points)."""
    title = "0–3 km storm-relative helicity, hodographs at A, B, C"
    if "helicity_0_3km" not in ds:
        _missing(ax, "0–3 km storm-relative helicity", "helicity")
        for hodo in hodographs:
            hodo.set_axis_off()
        return []
    da = _at_time(ds["helicity_0_3km"], t)
    # Signed: negative helicity (left-moving storms' inflow) must not read as weak positive.
    _map(ax, da, title, "helicity (m$^2$ s$^{-2}$)", cmap="RdBu_r", centred=True)
    x, y, _, _ = _grid_km(da)
    points = _hodograph_points(da)
    drawn = []
    for (label, (j, i)), hodo in zip(points.items(), hodographs, strict=True):
        ax.plot(x[i], y[j], marker="o", ms=7, mfc="none", mec="k", mew=1.5)
        ax.annotate(
            label,
            (x[i], y[j]),
            xytext=(5, -12 if j == da.shape[0] - 1 else 5),
            textcoords="offset points",
            fontweight="bold",
        )
        drawn.append(_hodograph(hodo, ds, t, j, i, label))
    return drawn


def _hodograph_points(hel: xr.DataArray) -> dict[str, tuple[int, int]]:
    """A: the largest helicity; B: the helicity nearest the median; C: the smallest.

    Points are taken away from the domain's edge (a twentieth of each side), so
    that their markers and labels stay inside the map.
    """
    values = np.array(hel.values, dtype=float)
    ny, nx = values.shape
    my, mx = ny // 20, nx // 20
    inner = np.full_like(values, np.nan)
    inner[my : ny - my, mx : nx - mx] = values[my : ny - my, mx : nx - mx]
    if np.isfinite(inner).any():
        values = inner
    median = np.nanmedian(values)
    return {
        "A": _argmax2d(values),
        "B": _argmax2d(-np.abs(values - median)),
        "C": _argmax2d(-values),
    }


def _hodograph(
    ax: Axes, ds: xr.Dataset, t: int, j: int, i: int, label: str
) -> tuple[Axes, list[float], list[float], tuple[float, float]]:
    """Ground-relative winds at the ground, 1, 3 and 6 km above it, and the storm
    motion; the points, to be labelled in km once the sheet is laid out."""

    def at(name: str) -> float:
        return float(_at_time(ds[name], t).values[j, i]) if name in ds else np.nan

    us = [at("u_bottom_0_1km")] + [at(f"u_top_{layer}") for layer in HODOGRAPH_LAYERS]
    vs = [at("v_bottom_0_1km")] + [at(f"v_top_{layer}") for layer in HODOGRAPH_LAYERS]
    ax.axhline(0, color="0.7", lw=0.6)
    ax.axvline(0, color="0.7", lw=0.6)
    ax.plot(us, vs, "-o", color="tab:blue", ms=3, lw=1.5)
    ax.plot(at("u_storm"), at("v_storm"), marker="*", color="tab:red", ms=9)
    ax.set_title(f"Hodograph {label} (★ storm)", fontsize=8, pad=2)
    ax.tick_params(labelsize=7, pad=1)
    ax.set_xlabel("u (m s$^{-1}$)", fontsize=7, labelpad=0)
    ax.set_ylabel("v (m s$^{-1}$)", fontsize=7, labelpad=0)
    box = plot_axes.hodograph_box([*us, at("u_storm")], [*vs, at("v_storm")])
    if box is not None:
        ax.set_xlim(box[0], box[1])
        ax.set_ylim(box[2], box[3])
    ax.set_aspect("equal", adjustable="box")
    return ax, us, vs, (at("u_storm"), at("v_storm"))


def cape_map(ax: Axes, ds: xr.Dataset, t: int) -> None:
    """Mixed-layer CAPE, with 0-3 km helicity contoured over it: where the two overlap
    is where rotating storms find their fuel."""
    da = _at_time(ds[CAPE_FIELD], t)
    title = "Mixed-layer CAPE, 0–3 km helicity (contours)"
    _map(ax, da, title, "MLCAPE (J kg$^{-1}$)", cmap="magma_r", floor=0.0)
    if "helicity_0_3km" not in ds:
        return
    helicity = _at_time(ds["helicity_0_3km"], t)
    values = np.asarray(helicity.values, dtype=np.float64)
    levels = [h for h in HELICITY_CONTOURS if np.nanmax(values, initial=-np.inf) >= h]
    if not levels:
        return
    x, y, _, _ = _grid_km(helicity)
    lines = ax.contour(x, y, values, levels=levels, colors="tab:cyan", linewidths=1.2)
    ax.clabel(lines, fmt="%.0f", fontsize=7)


def _strongest_cold_pool(ds: xr.Dataset, t: int) -> tuple[int, int] | None:
    """Row and column of the strongest cold pool; None where there is none."""
    if "intensity" not in ds:
        return None
    intensity = np.asarray(_at_time(ds["intensity"], t).values, dtype=np.float64)
    if not np.nanmax(intensity, initial=0.0) > 0.0:
        return None
    return _argmax2d(intensity)


def theta_e_section(ax: Axes, ds: xr.Dataset, t: int) -> None:
    """θe along the row of the strongest cold pool (the middle row without one), from
    the lowest level up to 10 km, with the cold pool's top where there is one."""
    title = "θe cross-section"
    if "theta_e" not in ds:
        _missing(ax, title, "theta_e")
        return
    da = _at_time(ds["theta_e"], t)
    level_dim, y_dim, x_dim = da.dims[-3], da.dims[-2], da.dims[-1]
    strongest = _strongest_cold_pool(ds, t)
    j = strongest[0] if strongest is not None else da.sizes[y_dim] // 2
    section = da.isel({y_dim: j})
    x, x_label, _ = _axis(section, str(x_dim))
    heights = "height_level_mean" in ds.coords and ds["height_level_mean"].ndim == 1
    if heights:
        z = ds["height_level_mean"].values / 1000.0
        keep = z <= 10.0
        edges = plot_axes.level_edges(z[keep])
        ylabel = "mean height of level (km)"
    else:
        z = np.arange(section.sizes[level_dim], dtype=np.float64)
        keep = np.ones(z.size, dtype=bool)
        edges = plot_axes.cell_edges(z)
        ylabel = str(level_dim)
    values = section.values[keep]
    mesh = ax.pcolormesh(plot_axes.cell_edges(x), edges, values, shading="flat", cmap="turbo")
    ax.figure.colorbar(mesh, ax=ax, label="θe (K)", shrink=0.9)
    ax.set_ylim(edges[0], edges[-1])
    y_values, _, y_degrees = _axis(ds, str(y_dim))
    if y_degrees:
        at = f"latitude {float(y_values[j]):.2f}°"
    elif y_dim in ds.coords:
        at = f"{y_dim} = {float(y_values[j]):.0f} km"
    else:
        at = f"{y_dim} index {j}"
    if strongest is not None and "depth" in ds and heights:
        depth = _at_time(ds["depth"], t).isel({y_dim: j}).values / 1000.0
        from matplotlib import patheffects

        # Only over the cold pool (a depth of 0 is no cold pool, not a top at the
        # ground), across each column's cell, so that a one-column cold pool shows.
        top = np.where(depth > 0.0, z[0] + depth, np.nan)
        outline = [patheffects.withStroke(linewidth=3.5, foreground="black")]
        ax.stairs(
            top,
            plot_axes.cell_edges(x),
            baseline=None,
            color="white",
            lw=1.8,
            path_effects=outline,
        )
        from matplotlib.lines import Line2D

        line = Line2D([], [], color="white", lw=1.8, path_effects=outline)
        ax.legend([line], ["cold-pool top"], loc="upper right", fontsize=8)
    through = "the strongest cold pool" if strongest is not None else "the middle row: no cold pool"
    ax.set_title(f"{title} at {at} (through {through})")
    ax.set_xlabel(x_label)
    ax.set_ylabel(ylabel)


def baroclinity_map(ax: Axes, ds: xr.Dataset, t: int) -> None:
    title = "Baroclinity |∇θ|, lowest level"
    if "grad_theta" not in ds:
        _missing(ax, title, "theta gradient")
        return
    da = _at_time(ds["grad_theta"], t)
    da = da.isel({da.dims[0]: 0}) if da.ndim == 3 else da
    _map(ax, da * 1.0e5, title, "|∇θ| (K per 100 km)", cmap="viridis", floor=0.0)


def vad_profile(ax: Axes, ds: xr.Dataset) -> None:
    """Wind speed and direction against beam height (medians in 250 m bins),
    the rms and gate count of the fits, wind barbs, and the rings that
    quality control left out marked where their fits put them (on the
    axis's right edge when faster than it reaches)."""
    height = ds["height"].values.ravel()
    u = ds["u"].values.ravel()
    v = ds["v"].values.ravel()
    rms = ds["rms"].values.ravel()
    gates = ds["n"].values.ravel()
    ax.set_title("VAD wind profile")
    flagged = _flagged_rings(ds)
    ok = np.isfinite(u) & np.isfinite(v) & np.isfinite(height)
    if not ok.any():
        ax.text(0.5, 0.5, "no ring was fitted", ha="center", va="center", transform=ax.transAxes)
        return
    height, u, v, rms, gates = height[ok], u[ok], v[ok], rms[ok], gates[ok]
    speed = np.hypot(u, v)
    ax.scatter(speed, height / 1000.0, s=2, color="tab:blue", alpha=0.15, lw=0)
    edges = np.arange(0.0, height.max() + VAD_BIN, VAD_BIN)
    which = np.digitize(height, edges) - 1
    centre, mu, mv, mr, mn = [], [], [], [], []
    for k in range(edges.size - 1):
        sel = which == k
        if sel.sum() >= 3:
            centre.append((edges[k] + edges[k + 1]) / 2000.0)
            mu.append(np.median(u[sel]))
            mv.append(np.median(v[sel]))
            mr.append(np.median(rms[sel]))
            mn.append(np.median(gates[sel]))
    centre_a, mu_a, mv_a, mr_a, mn_a = map(np.asarray, (centre, mu, mv, mr, mn))
    speed_a = np.hypot(mu_a, mv_a)
    # Meteorological convention: the direction the wind blows from.
    direction_a = np.mod(np.rad2deg(np.arctan2(-mu_a, -mv_a)), 360.0)
    handles: list[Any] = [
        ax.plot(speed_a, centre_a, color="tab:blue", lw=2, label="speed")[0],
        ax.plot(mr_a, centre_a, color="0.3", lw=1.2, ls="--", label="rms of the fit")[0],
    ]
    right = np.nanmax(np.concatenate([speed_a, mr_a])) + 6.0
    edge = right + 6.0
    if flagged is not None:
        f_speed, f_height = flagged
        inside = f_speed <= edge
        handles.append(
            ax.scatter(
                f_speed[inside],
                f_height[inside] / 1000.0,
                marker="x",
                s=14,
                lw=0.8,
                color="tab:red",
                label=f"left out ({f_speed.size:,} rings)",
            )
        )
    # Rings faster than the axis (the ones no atmosphere gives among them)
    # sit on its right edge, so that none is silently off the picture.
    off_speed, off_height = speed[speed > edge], height[speed > edge]
    if flagged is not None:
        far = f_speed > edge
        off_speed = np.concatenate([off_speed, f_speed[far]])
        off_height = np.concatenate([off_height, f_height[far]])
    if off_speed.size:
        handles.append(
            ax.scatter(
                np.full(off_speed.size, edge),
                off_height / 1000.0,
                marker=">",
                s=30,
                color="tab:purple",
                clip_on=False,
                zorder=5,
                label=f"off scale: {off_speed.size:,} rings up to {off_speed.max():,.0f} m/s",
            )
        )
    top = ax.twiny()
    handles.append(
        top.plot(
            direction_a, centre_a, ".", color="tab:orange", ms=5, label="direction (top axis)"
        )[0]
    )
    top.set_xlim(0.0, 360.0)
    top.set_xticks([0, 90, 180, 270, 360])
    top.set_xlabel("direction the wind blows from (degrees)")
    step = max(1, centre_a.size // 16)
    ax.barbs(
        np.full(centre_a[::step].size, right),
        centre_a[::step],
        mu_a[::step],
        mv_a[::step],
        length=6,
        color="k",
    )
    for c, n in zip(centre_a[::step], mn_a[::step], strict=True):
        ax.annotate(f"{n:.0f}", (right, c), xytext=(14, -3), textcoords="offset points", fontsize=6)
    ax.set_xlim(0.0, edge)
    # Two lines: one would run past the sheet's right edge in the narrow panel.
    ax.set_xlabel("speed, rms (m s$^{-1}$)\nbarbs: 5, 10 m s$^{-1}$; numbers: gates per ring")
    ax.set_ylabel("beam height above the radar (km)")
    ax.legend(handles=handles, loc="upper left", fontsize=8)
    ax.grid(alpha=0.3)


def _flagged_rings(ds: xr.Dataset) -> tuple[np.ndarray, np.ndarray] | None:
    """Speeds and heights of the fitted rings that quality control left out."""
    if not {"u_fitted", "v_fitted", "quality_flag"} <= set(ds.variables):
        return None
    u = ds["u_fitted"].values.ravel()
    v = ds["v_fitted"].values.ravel()
    height = ds["height"].values.ravel()
    out = np.isfinite(u) & np.isfinite(v) & np.isfinite(height) & np.isnan(ds["u"].values.ravel())
    return np.hypot(u[out], v[out]), height[out]
