"""What a radial velocity or a ring's wind can physically be, for ``tarnwell vad``.

Gates: a folded measurement lies within the Nyquist interval ±Vn, so a
velocity beyond it is not one (a wrong Nyquist velocity, a fill value the
file does not declare); a sweep whose every velocity is one value is a fill
too, not weather. ODIM's "undetect" word is no echo, whatever it decodes to.

Rings: a wind is compared with its neighbours in range, or, where quality
control left none of those, with the nearest accepted rings in height; and a
wind faster than any the atmosphere has been seen to blow is flagged.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    import xarray as xr

# The fastest horizontal winds measured in the free atmosphere are jet-stream
# cores of about 110 m/s; the fastest surface gust on record is 113 m/s. A
# ring's fit is a mean over a circle kilometres across, so a wind above
# 120 m/s is no wind but a fault of the data or of its unfolding.
MAX_PLAUSIBLE_WIND = 120.0  # m/s
# A velocity may lie beyond Vn by its packing's rounding (half of NEXRAD's
# 1 m/s step) or a Nyquist velocity written to fewer digits.
NYQUIST_SLACK_FRACTION = 0.02
NYQUIST_SLACK_LEAST = 0.5  # m/s
# An integer packing fixes the Nyquist velocity only when it spans ±Vn: its
# centre is zero within one step, and the sweep's velocities reach both ends
# (folded velocities fill the interval; a wider fixed packing leaves its
# ends empty).
ENCODING_FILLED_FRACTION = 0.9
# A ring's neighbours in range (up to JUMP_NEIGHBOURS on each side, in the
# same sweep: a few hundred metres of height at most). It jumps when it
# differs by more than shear there can explain (JUMP_FLOOR) plus JUMP_SIGMAS
# standard errors of its own fit. A ring with fewer than JUMP_LEAST_NEIGHBOURS
# usable neighbours is compared with the nearest accepted rings in height of
# the whole volume instead, within JUMP_HEIGHT_WINDOW of it.
JUMP_NEIGHBOURS = 4
JUMP_LEAST_NEIGHBOURS = 3
JUMP_FLOOR = 5.0  # m/s
JUMP_SIGMAS = 4.0
JUMP_HEIGHT_WINDOW = 500.0  # m


def beyond_nyquist(vr: np.ndarray, nyquist: float) -> np.ndarray:
    """Gates whose velocity lies beyond ±Vn by more than the packing explains."""
    slack = max(NYQUIST_SLACK_LEAST, NYQUIST_SLACK_FRACTION * nyquist)
    with np.errstate(invalid="ignore"):
        out: np.ndarray = np.abs(vr) > nyquist + slack
    return out


def constant_value(vr: np.ndarray) -> float | None:
    """The one value of a sweep whose valid velocities are all equal, else None."""
    # The extremes ignoring NaN, without gathering the valid gates: a sweep of
    # weather differs in them. Infinities and zeros (whose sign the first gate
    # decides) take the gathering path.
    if vr.size == 0:
        return None
    low, high = np.fmin.reduce(vr, axis=None), np.fmax.reduce(vr, axis=None)
    if np.isfinite(low) and np.isfinite(high) and low != 0.0:
        if low != high:
            return None
        return float(low) if np.count_nonzero(vr == low) >= 2 else None
    valid = vr[np.isfinite(vr)]
    if valid.size < 2 or not np.all(valid == valid[0]):
        return None
    return float(valid[0])


def _packing(var: xr.DataArray) -> tuple[float, float, np.dtype[Any]] | None:
    enc = var.encoding
    dtype = np.dtype(enc["dtype"]) if "dtype" in enc else None
    if dtype is None or dtype.kind not in "iu":
        return None
    return float(enc.get("scale_factor", 1.0)), float(enc.get("add_offset", 0.0)), dtype


def undetect_mask(var: xr.DataArray, values: np.ndarray) -> np.ndarray | None:
    """Gates holding ODIM's "undetect" word (no echo), which xradar decodes
    as a velocity: offset + gain x undetect."""
    packing = _packing(var)
    undetect = var.attrs.get("_Undetect")
    if packing is None or undetect is None:
        return None
    gain, offset, _ = packing
    with np.errstate(invalid="ignore"):
        words = np.round((values - offset) / gain)
    out: np.ndarray = words == float(undetect)
    return out


def encoded_nyquist(
    var: xr.DataArray, values: np.ndarray, to_metres_per_second: float
) -> tuple[float, str] | None:
    """The Nyquist velocity (m/s) fixed by an integer packing that spans ±Vn,
    with the note that says so; None when the packing does not fix it.
    ``values`` are the sweep's velocities in m/s, the packing's in the file's unit."""
    packing = _packing(var)
    if packing is None:
        return None
    gain, offset, dtype = packing
    info = np.iinfo(dtype)
    if not gain > 0.0:
        return None
    low, high = offset + gain * info.min, offset + gain * info.max
    half, centre = 0.5 * (high - low), 0.5 * (high + low)
    nyquist = half * to_metres_per_second
    finite = values[np.isfinite(values)]
    if abs(centre) > gain or finite.size == 0:
        return None
    filled = ENCODING_FILLED_FRACTION * nyquist
    if not (finite.max() >= filled and finite.min() <= -filled):
        return None
    note = (
        f"Nyquist velocity {nyquist:.4g} m/s from the packing of {var.name} "
        f"(gain {gain:g}, offset {offset:g} over {info.min}..{info.max}); the file gives none"
    )
    return nyquist, note


def neighbour_median(values: np.ndarray, usable: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Median of the usable values among each ring's neighbours in range, and their count."""
    n = values.size
    k = JUMP_NEIGHBOURS
    padded = np.full(n + 2 * k, np.nan)
    padded[k : k + n] = np.where(usable, values, np.nan)
    offsets = [o for o in range(-k, k + 1) if o != 0]
    window = np.stack([padded[k + o : k + o + n] for o in offsets])
    count = np.isfinite(window).sum(axis=0)
    ordered = np.sort(window, axis=0)  # NaN sorts last
    lo = np.clip((count - 1) // 2, 0, len(offsets) - 1)
    hi = np.clip(count // 2, 0, len(offsets) - 1)
    cols = np.arange(n)
    median = 0.5 * (ordered[lo, cols] + ordered[hi, cols])
    return np.where(count > 0, median, np.nan), count


def _fit_error(rms: np.ndarray, n: np.ndarray, cos_el: Any) -> np.ndarray:
    # Standard error of each wind component of a first-harmonic fit.
    with np.errstate(invalid="ignore", divide="ignore"):
        out: np.ndarray = rms * np.sqrt(2.0 / n) / cos_el
    return out


def jumps(
    u: np.ndarray,
    v: np.ndarray,
    rms: np.ndarray,
    n: np.ndarray,
    cos_el: float,
    usable: np.ndarray,
) -> np.ndarray:
    """Rings of one sweep whose wind differs from their neighbours' beyond their fit's error."""
    mu, count = neighbour_median(u, usable)
    mv, _ = neighbour_median(v, usable)
    with np.errstate(invalid="ignore"):
        out: np.ndarray = (
            usable
            & (count >= JUMP_LEAST_NEIGHBOURS)
            & (np.hypot(u - mu, v - mv) > JUMP_FLOOR + JUMP_SIGMAS * _fit_error(rms, n, cos_el))
        )
    return out


def isolated_jumps(
    fields: dict[str, np.ndarray],
    height: np.ndarray,
    cos_el: np.ndarray,
    usable: np.ndarray,
) -> np.ndarray:
    """Rings (sweep, range) with too few usable neighbours in range to be
    checked there, whose wind differs from that of the nearest accepted
    rings in height (any sweep, within JUMP_HEIGHT_WINDOW) beyond their
    fit's error. Accepted: usable rings checked against their own neighbours."""
    u, v = fields["u"], fields["v"]
    counts = np.stack([neighbour_median(u[i], usable[i])[1] for i in range(u.shape[0])]).reshape(
        u.shape
    )
    checked = usable & (counts >= JUMP_LEAST_NEIGHBOURS)
    lonely = np.argwhere(usable & ~checked)
    out = np.zeros(u.shape, dtype=bool)
    if lonely.size == 0 or not checked.any():
        return out
    ref_h, ref_u, ref_v = height[checked], u[checked], v[checked]
    nearest = 2 * JUMP_NEIGHBOURS
    for i, k in lonely:
        distance = np.abs(ref_h - height[i, k])
        take = np.argsort(distance, kind="stable")[:nearest]
        take = take[distance[take] <= JUMP_HEIGHT_WINDOW]
        if take.size < JUMP_LEAST_NEIGHBOURS:
            continue
        error = _fit_error(fields["rms"][i, k], fields["n"][i, k], cos_el[i])
        miss = np.hypot(u[i, k] - np.median(ref_u[take]), v[i, k] - np.median(ref_v[take]))
        out[i, k] = bool(miss > JUMP_FLOOR + JUMP_SIGMAS * error)
    return out


def implausible(u: np.ndarray, v: np.ndarray) -> np.ndarray:
    """Rings whose wind is faster than the atmosphere blows."""
    with np.errstate(invalid="ignore"):
        out: np.ndarray = np.hypot(u, v) > MAX_PLAUSIBLE_WIND
    return out


def sweep_list(indices: list[int]) -> str:
    return ", ".join(str(i) for i in indices)


def mask_impossible(vr: np.ndarray, nyquist: float | None, folded: bool) -> tuple[int, float]:
    """Mask, in place, the gates of one sweep that are no measurement: beyond
    ±Vn when the velocities are taken for folded ones (velocities unfolded
    by their producer may exceed it), and all of them when they are one
    value. The count beyond ±Vn, and the constant value (NaN if none)."""
    beyond = 0
    if folded and nyquist is not None:
        out = beyond_nyquist(vr, nyquist)
        beyond = int(np.count_nonzero(out))
        if beyond:
            vr[out] = np.nan
    constant = constant_value(vr)
    if constant is None:
        return beyond, np.nan
    vr[np.isfinite(vr)] = np.nan
    return beyond, constant


def noise_scale(vr: np.ndarray) -> float | None:
    """Without a Nyquist velocity, the largest speed of the sweep stands for
    it in the folded-noise check: folded noise fills ±Vn, so it is Vn, and
    velocities that never folded only raise it."""
    finite = np.abs(vr[np.isfinite(vr)])
    return float(finite.max()) if finite.size else None


def warnings_for(ds: xr.Dataset) -> list[str]:
    """Lines for the user: sweeps mostly beyond ±Vn or of one velocity, winds
    no atmosphere gives, and quality control leaving out most fitted rings."""
    lines = []
    sweeps = ds["sweep_number"].values
    beyond = ds["gates_beyond_nyquist"].values
    read = ds["gates_with_velocity"].values
    most = np.flatnonzero(2 * beyond > read)
    if most.size:
        lines.append(
            f"sweeps {sweep_list(list(sweeps[most]))}: {int(beyond[most].sum()):,} of "
            f"{int(read[most].sum()):,} velocities lie beyond the Nyquist velocity "
            f"(±{_values(ds['nyquist_velocity'].values[most])} m/s), which no folded "
            "measurement can, and were left out; check the Nyquist velocity (--nyquist), "
            "or fit velocities that are unfolded already with --no-unfold"
        )
    constant = ds["constant_velocity"].values
    same = np.flatnonzero(np.isfinite(constant))
    if same.size:
        lines.append(
            f"sweeps {sweep_list(list(sweeps[same]))}: every velocity is "
            f"{_values(constant[same])} m/s, a fill value and not weather: no winds from them"
        )
    wild = int(ds.attrs.get("tarnwell_rings_implausible_wind", 0))
    if wild:
        lines.append(
            f"{wild:,} rings fitted winds faster than {MAX_PLAUSIBLE_WIND:.0f} m/s, which no "
            "atmosphere gives, and were left out (quality_flag implausible_wind)"
        )
    fitted = int(ds.attrs.get("tarnwell_rings_fitted", 0))
    noise = int(ds.attrs.get("tarnwell_rings_folded_noise", 0))
    jump = int(ds.attrs.get("tarnwell_rings_jump", 0))
    if fitted and 2 * (noise + jump + wild) > fitted:
        hint = (
            "check the Nyquist velocity (--nyquist)"
            if ds.attrs.get("tarnwell_unfolded")
            else "the velocities may be folded: try without --no-unfold"
        )
        lines.append(
            f"{noise + jump + wild:,} of {fitted:,} fitted rings left out of the profile "
            f"({noise:,} no better than folded noise, {jump:,} jumping against their "
            f"neighbours, {wild:,} implausible); {hint} and the velocity variable (--velocity)"
        )
    return lines


def _values(values: np.ndarray) -> str:
    distinct = sorted({float(v) for v in values})
    return (
        distinct[0].__format__("g") if len(distinct) == 1 else "/".join(f"{v:g}" for v in distinct)
    )


def ring_summary(ds: xr.Dataset) -> str:
    a = ds.attrs
    text = (
        f"{a['tarnwell_rings_total']:,} rings: {a['tarnwell_rings_no_echo']:,} without echo, "
        f"{a['tarnwell_rings_too_few_gates_or_poor_coverage']:,} with too few gates or poor "
        f"coverage, {a['tarnwell_rings_folded_noise']:,} no better than folded noise, "
        f"{a['tarnwell_rings_jump']:,} jumping against their neighbours, "
        f"{a['tarnwell_rings_implausible_wind']:,} faster than any wind"
    )
    beyond = int(a.get("tarnwell_gates_beyond_nyquist", 0))
    if beyond:
        text += f"; {beyond:,} velocities beyond the Nyquist velocity left out"
    constant = ds["constant_velocity"].values
    if np.isfinite(constant).any():
        text += (
            f"; {int(np.isfinite(constant).sum())} sweeps of the single velocity "
            f"{_values(constant[np.isfinite(constant)])} m/s"
        )
    return text
