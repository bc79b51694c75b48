"""What the figure sheet's axes say: the time shown, colour ranges, the section's
cells and the hodographs' height labels."""

from __future__ import annotations

from collections.abc import Hashable
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    import xarray as xr
    from matplotlib.axes import Axes

# Hodograph points nearer each other on the sheet than half a label's height share
# one label ("3,6"): the sheet's hodographs are a few tens of pixels across.
HODOGRAPH_LABEL_FONT = 7.0  # points
HODOGRAPH_LABEL_MARGIN = 1.5  # pixels clear around each label
HODOGRAPH_LABEL_ROOM = 0.2  # of the hodograph's extent, around it for the labels
# Where a label may go from its point, in points, nearest first.
HODOGRAPH_LABEL_OFFSETS = [
    (dx * r, dy * r)
    for r in (5.0, 9.0, 13.0)
    for dx, dy in ((1, 1), (-1, 1), (1, -1), (-1, -1), (0, 1.2), (0, -1.2), (1.3, 0), (-1.3, 0))
]


def time_dims(ds: xr.Dataset | xr.DataArray) -> list[Hashable]:
    """Time dimensions of ``ds`` in its order: dates, and forecast steps (GRIB's ``step``)."""
    from .output import time_dims as dated

    found = dated(ds)
    for dim in ds.dims:
        if dim in ds.coords and (
            np.issubdtype(ds[dim].dtype, np.timedelta64)
            or ds[dim].attrs.get("standard_name") == "forecast_period"
        ):
            found.add(dim)
    return [d for d in ds.dims if d in found]


def _minutes(value: Any) -> str:
    return str(np.datetime_as_string(np.datetime64(value, "m"), unit="m"))


def _hours(step: Any) -> str:
    hours = float(np.timedelta64(step, "s") / np.timedelta64(3600, "s"))
    return f"{hours:+g} h"


def value_text(value: Any) -> str:
    """A coordinate value as a reader writes it: dates to the minute, steps in hours."""
    if isinstance(value, np.datetime64):
        return _minutes(value)
    if isinstance(value, np.timedelta64):
        return f"step {_hours(value)}"
    return f"{value}"


def time_text(ds: xr.Dataset, dim: Hashable | None, t: int) -> str:
    """The time the sheet shows (``, 2024-05-01T03:00`` with a ``step +3 h`` of a
    forecast), from the time dimension ``dim`` at ``t`` or the scalar coordinates.

    GRIB files hold the reference time as ``time``, the forecast step as ``step``
    and their sum as ``valid_time``: the valid time is the one a map shows.
    """

    def at(name: str) -> Any:
        if name not in ds.coords:
            return None
        coord = ds[name]
        if coord.ndim == 0:
            return coord.values[()]
        if coord.ndim == 1 and coord.dims[0] == dim:
            return coord.values[t]
        return None

    named = at(str(dim)) if dim is not None else None
    step = next(
        (v for v in (named, at("step")) if isinstance(v, np.timedelta64)),
        None,
    )
    valid = next(
        (
            v
            for v in (at("valid_time"), named, at("Time"), at("time"))
            if isinstance(v, np.datetime64)
        ),
        None,
    )
    if valid is not None and step is not None and at("valid_time") is None:
        valid = valid + step  # a reference time and a step
    if valid is not None:
        return f", {_minutes(valid)}" + (f" (step {_hours(step)})" if step is not None else "")
    if step is not None:
        return f", step {_hours(step)}"
    if named is not None:
        return f", {dim} {named}"
    return ""


def colour_range(values: np.ndarray, *, floor: float | None = None, centred: bool = False) -> Any:
    """``pcolormesh`` keywords for the colour range of ``values``.

    ``floor``: the field's least possible value (0 for CAPE, an intensity, a
    gradient), where its colour bar starts. ``centred``: a signed field, whose
    colours are symmetric about 0. A constant field gets a range around its
    value rather than matplotlib's ±0.1 about it, which would show a quantity
    that cannot be negative running to −0.1.
    """
    from matplotlib.colors import CenteredNorm

    finite = np.asarray(values, dtype=np.float64)
    finite = finite[np.isfinite(finite)]
    if finite.size == 0:
        return {"vmin": floor} if floor is not None and not centred else {}
    if centred:
        half = float(np.max(np.abs(finite)))
        return {"norm": CenteredNorm(vcenter=0.0, halfrange=half if half > 0 else 1.0)}
    low = float(finite.min()) if floor is None else floor
    high = float(finite.max())
    if high <= low:
        spread = 0.05 * abs(high) if high != 0 else 1.0
        low, high = (low, high + spread) if floor is not None else (high - spread, high + spread)
    return {"vmin": low, "vmax": high}


def constant_value(values: np.ndarray) -> float | None:
    """The value of a field that has one value wherever it is defined, else None."""
    finite = np.asarray(values, dtype=np.float64)
    finite = finite[np.isfinite(finite)]
    if finite.size and finite.min() == finite.max():
        return float(finite[0])
    return None


def cell_edges(centres: np.ndarray) -> np.ndarray:
    """Edges of cells around ``centres``: midway between neighbours, the end cells as
    wide as their neighbours' spacing."""
    c = np.asarray(centres, dtype=np.float64)
    if c.size < 2:
        return np.array([c[0] - 0.5, c[0] + 0.5]) if c.size else np.array([0.0, 1.0])
    middle = 0.5 * (c[:-1] + c[1:])
    return np.concatenate([[c[0] - (middle[0] - c[0])], middle, [c[-1] + (c[-1] - middle[-1])]])


def level_edges(heights: np.ndarray) -> np.ndarray:
    """Edges of the section's layers, the lowest starting at the lowest level.

    A block reaching half a level spacing below the lowest level would draw air
    under the ground: with pressure levels hundreds of metres apart, far under it.
    """
    edges = cell_edges(heights)
    edges[0] = float(heights[0])
    return edges


def label_hodograph(
    ax: Axes, us: list[float], vs: list[float], names: tuple[str, ...], storm: tuple[float, float]
) -> None:
    """Label the hodograph's points so that no label overprints another or a marker.

    Run once the sheet is laid out, in the pixels it is drawn in: points closer
    than half a label's height share one label; each label takes the nearest
    place around its point, on the side away from the hodograph's middle first,
    that is clear of the markers (the storm's star too) and of the labels
    already placed, inside the axes where there is room. The labels stay out of
    the layout, which is therefore the same when the sheet is saved.
    """
    from matplotlib.transforms import Bbox

    renderer = ax.figure.canvas.get_renderer()  # type: ignore[attr-defined]
    ax.apply_aspect()
    points = [
        (name, u, v)
        for name, u, v in zip(names, us, vs, strict=True)
        if np.isfinite(u) and np.isfinite(v)
    ]
    if not points:
        return
    pixels = np.array([ax.transData.transform((u, v)) for _, u, v in points])
    pixel = ax.figure.dpi / 72.0
    groups: list[list[int]] = []
    for k, xy in enumerate(pixels):
        near = next(
            (
                g
                for g in groups
                if np.hypot(*(xy - pixels[g[0]])) < 0.6 * HODOGRAPH_LABEL_FONT * pixel
            ),
            None,
        )
        if near is None:
            groups.append([k])
        else:
            near.append(k)
    # Markers as obstacles: the points' dots and the storm's larger star.
    obstacles = [
        Bbox.from_bounds(x - 3 * pixel, y - 3 * pixel, 6 * pixel, 6 * pixel) for x, y in pixels
    ]
    if np.isfinite(storm).all():
        x, y = ax.transData.transform(storm)
        obstacles.append(Bbox.from_bounds(x - 5 * pixel, y - 5 * pixel, 10 * pixel, 10 * pixel))
    middle = pixels.mean(axis=0)
    for group in groups:
        text = ",".join(points[k][0] for k in group)
        u = float(np.mean([points[k][1] for k in group]))
        v = float(np.mean([points[k][2] for k in group]))
        outward = pixels[group].mean(axis=0) - middle
        outward = outward / max(float(np.hypot(*outward)), 1e-9)
        order = sorted(
            HODOGRAPH_LABEL_OFFSETS,
            key=lambda o: (round(float(np.hypot(*o))), -float(np.dot(o, outward))),
        )
        label = None
        # Inside the axes if there is room, else beside them: never on another label.
        for offset, need_inside in [(o, True) for o in order] + [(o, False) for o in order]:
            if label is not None:
                label.remove()
            label = ax.annotate(
                text,
                (u, v),
                xytext=offset,
                textcoords="offset points",
                fontsize=HODOGRAPH_LABEL_FONT,
                ha="center",
                va="center",
                annotation_clip=False,
            )
            label.set_in_layout(False)
            # A margin of pixels: saving the sheet lays it out again, a pixel or so apart.
            box = label.get_window_extent(renderer).padded(HODOGRAPH_LABEL_MARGIN)
            inside = ax.bbox.contains(*box.p0) and ax.bbox.contains(*box.p1)
            if (inside or not need_inside) and not any(box.overlaps(o) for o in obstacles):
                break
        assert label is not None
        obstacles.append(label.get_window_extent(renderer).padded(HODOGRAPH_LABEL_MARGIN))


def hodograph_box(us: list[float], vs: list[float]) -> tuple[float, float, float, float] | None:
    """Square limits around the hodograph's points with room for their labels
    (``HODOGRAPH_LABEL_ROOM`` of the extent on every side); None without points."""
    u = np.asarray(us, dtype=np.float64)
    v = np.asarray(vs, dtype=np.float64)
    ok = np.isfinite(u) & np.isfinite(v)
    if not ok.any():
        return None
    # Axes through the origin stay in view: speeds are read against them.
    u_low, u_high = min(float(u[ok].min()), 0.0), max(float(u[ok].max()), 0.0)
    v_low, v_high = min(float(v[ok].min()), 0.0), max(float(v[ok].max()), 0.0)
    side = max(u_high - u_low, v_high - v_low, 1.0) * (1.0 + 2.0 * HODOGRAPH_LABEL_ROOM)
    mid_u, mid_v = 0.5 * (u_low + u_high), 0.5 * (v_low + v_high)
    return mid_u - side / 2, mid_u + side / 2, mid_v - side / 2, mid_v + side / 2
