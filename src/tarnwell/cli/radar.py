"""Velocity-azimuth-display wind profiles from radar volume scans.

A ring is one range gate of one sweep followed round all the sweep's rays:
the radial velocities at constant range and elevation, against azimuth.
Each ring's fit gives the horizontal wind at the beam's height there, so a
volume of several elevations yields a wind profile.

Before the fit, velocities that no folded measurement can be are masked
(:mod:`.radar_quality`) and those folded at the Nyquist velocity are unfolded
ring by ring (``tarnwell._native.unfold``); after it, rings whose fit is no better
than folded noise, whose wind no atmosphere gives, or whose wind jumps
against its neighbours, are flagged and left out of the profile.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from tarnwell import units
from tarnwell._native.unfold import unfold
from tarnwell._results import Vad
from tarnwell._version import __version__
from tarnwell.radar import vad

from . import radar_quality as quality
from .errors import CommandError, first_line
from .radar_quality import JUMP_LEAST_NEIGHBOURS, jumps, neighbour_median
from .roles import unit_conversion

if TYPE_CHECKING:
    import xarray as xr

VELOCITY_STANDARD_NAME = "radial_velocity_of_scatterers_away_from_instrument"
VELOCITY_NAMES = ("VRADH", "VRAD", "VRADV", "VEL", "velocity", "corrected_velocity", "VR")
EARTH_RADIUS = 6371000.0  # m
EFFECTIVE_RADIUS_FACTOR = 4.0 / 3.0  # standard atmospheric refraction
DEFAULT_MIN_GATES = 30
DEFAULT_MIN_SPREAD = 0.2  # of the 0.25 that rays spread evenly round the circle reach
NYQUIST_NAMES = ("nyquist_velocity", "NI")
# How radar files spell metres per second (CfRadial, ODIM as xradar labels it,
# NEXRAD): read without loading a unit registry, which costs more than
# fitting a whole volume.
METRES_PER_SECOND = frozenset(
    {
        "m s-1",
        "m/s",
        "m s^-1",
        "m.s-1",
        "meters per second",
        "meters per seconds",
        "metres per second",
        "meter/second",
        "meters/second",
    }
)
# Velocities spread evenly over [-Vn, Vn), which is what folded noise looks
# like, have an rms of Vn / sqrt(3) about any harmonic. A ring whose fit is
# within a quarter of that is taken for noise: a real wind with measurement
# noise of a third of Vn or less (the most that unfolding can see through)
# stays well below it.
NOISE_RMS_FRACTION = 0.75
# Weather ends at the tropopause; velocities fitted above this height mean
# the gate ranges of the file are wrong.
MAX_BEAM_HEIGHT = 25000.0  # m

FLAG_GOOD, FLAG_NO_ECHO, FLAG_SPARSE, FLAG_NOISE, FLAG_JUMP, FLAG_IMPLAUSIBLE = range(6)
FLAG_MEANINGS = (
    "in_profile no_echo too_few_gates_or_poor_coverage folded_noise jump implausible_wind"
)


def open_volume(path: str) -> list[xr.Dataset]:
    """The sweeps of a radar volume, in memory.

    CfRadial 1 and 2, ODIM_H5 and the other formats xradar reads; NEXRAD
    Level II through :mod:`.radar_nexrad`. A whole file compressed with gzip
    or bzip2 (as NEXRAD archives are distributed) is decompressed first, into
    a temporary file, and refused when it is no radar volume or too large for
    one (:mod:`.radar_archive`).
    """
    import os
    import tempfile

    from . import radar_archive, radar_nexrad

    if not os.path.exists(path):
        raise CommandError(f"{path}: no such file or directory")
    if os.path.isdir(path):
        raise CommandError(f"{path}: is a directory, not a radar volume")
    with tempfile.TemporaryDirectory(prefix="tarnwell-") as tmp:
        inner = radar_archive.decompress_into(path, tmp)
        source = path if inner is None else inner
        if radar_nexrad.is_level2(radar_archive.head(source)):
            records = radar_nexrad.unpacked(source, tmp, path)
            if inner is not None and records != inner:
                os.remove(inner)  # the disk need not hold both copies
            return radar_nexrad.read_sweeps(records, path)
        return _open_with_xradar(_xradar(), source, path)


def _xradar() -> Any:
    import importlib

    try:
        return importlib.import_module("xradar")
    except ImportError:
        raise CommandError(
            "reading radar volumes needs the Python package 'xradar': pip install 'tarnwell[cli]'"
        ) from None


def _open_with_xradar(xradar: Any, path: str, shown: str) -> list[xr.Dataset]:
    try:
        tree = xradar.io.open_datatree(path)
        sweeps = [
            tree[name].to_dataset(inherit="all_coords").load()
            for name in sorted(tree.children, key=_sweep_order)
            if name.startswith("sweep")
        ]
    except Exception as err:  # each format's reader fails in its own way
        raise CommandError(
            f"{shown}: cannot read as a radar volume ({first_line(err)}); formats read: "
            "CfRadial 1 and 2, ODIM_H5, NEXRAD Level II and the others xradar reads"
        ) from None
    if not sweeps:
        raise CommandError(f"{shown}: no sweeps in the radar volume")
    return sweeps


def _sweep_order(name: str) -> tuple[int, str]:
    digits = "".join(c for c in name if c.isdigit())
    return (int(digits) if digits else -1, name)


def velocity_or_none(sweep: xr.Dataset, name: str | None) -> xr.DataArray | None:
    """The sweep's radial velocity; None when it has none (the surveillance
    sweep of a split cut carries reflectivity only)."""
    if name is not None:
        return sweep[name] if name in sweep.data_vars else None
    for var in sweep.data_vars.values():
        if var.attrs.get("standard_name") == VELOCITY_STANDARD_NAME:
            return var
    for candidate in VELOCITY_NAMES:
        if candidate in sweep.data_vars:
            return sweep[candidate]
    return None


def find_velocity(sweep: xr.Dataset, name: str | None) -> xr.DataArray:
    found = velocity_or_none(sweep, name)
    if found is not None:
        return found
    if name is not None:
        raise CommandError(f"--velocity {name}: the sweep has no variable {name!r}")
    raise CommandError(
        "no radial velocity in the sweep (a variable with standard_name "
        f"{VELOCITY_STANDARD_NAME!r}); name it with --velocity NAME"
    )


def beam_height(range_m: np.ndarray, elevation_rad: np.ndarray) -> np.ndarray:
    """Height (m) of the beam centre above the antenna: 4/3 effective earth (Doviak, Zrnić)."""
    ae = EFFECTIVE_RADIUS_FACTOR * EARTH_RADIUS
    height: np.ndarray = (
        np.sqrt(range_m**2 + ae**2 + 2.0 * range_m * ae * np.sin(elevation_rad)) - ae
    )
    return height


def nyquist_of(sweep: xr.Dataset) -> float | None:
    """The sweep's Nyquist velocity (m/s) as the file records it, or None.

    CfRadial stores ``nyquist_velocity`` per ray; xradar's ODIM reader gives
    the ``NI`` of the dataset's ``how`` group as a scalar ``nyquist_velocity``;
    the NEXRAD reader here stores the radial header's value.
    """
    for name in NYQUIST_NAMES:
        if name not in sweep.variables:
            continue
        var = sweep[name]
        try:
            values = np.asarray(var.values, dtype=np.float64)
        except (TypeError, ValueError):  # xradar's placeholder object when the file has none
            continue
        values = values[np.isfinite(values) & (values > 0.0)]
        if values.size == 0:
            continue
        scale, offset = _to_metres_per_second(name, var.attrs.get("units", "m s-1"))
        return float(np.median(values)) * scale + offset
    return None


def _to_metres_per_second(name: str, text: Any) -> tuple[float, float]:
    if str(text).strip() in METRES_PER_SECOND:
        return 1.0, 0.0
    try:
        return unit_conversion(name, text, "m s-1")
    except ValueError as err:
        raise CommandError(str(err)) from None


def sweep_rings(sweep: xr.Dataset, velocity: str | None) -> dict[str, Any]:
    """One sweep as rings for ``tarnwell.vad``: vr (range, ray), ray azimuths, cos(elevation).

    The velocity is in m/s (converted from its ``units``), the azimuth in
    radians; the elevation is the median of the rays' elevations.
    """
    vr_da = find_velocity(sweep, velocity).transpose(..., "range")
    scale, offset = _to_metres_per_second(str(vr_da.name), vr_da.attrs.get("units", "m s-1"))
    ray_dim = vr_da.dims[0]
    # Transposed and widened in one pass, into an array of the command's own
    # (the masking below writes to it; the sweep's data stays as read).
    as_read = np.asarray(vr_da.values)
    rings = np.empty(as_read.shape[::-1], dtype=np.float64)
    rings[...] = as_read.T
    vr = units.apply_linear(rings, scale, offset)
    undetect = quality.undetect_mask(vr_da, rings)
    if undetect is not None:
        vr[undetect] = np.nan
    nyquist, note = nyquist_of(sweep), None
    if nyquist is None and (packed := quality.encoded_nyquist(vr_da, vr, scale)) is not None:
        nyquist, note = packed
    az = np.deg2rad(np.asarray(sweep["azimuth"].values, dtype=np.float64))
    elevation = float(np.nanmedian(np.asarray(sweep["elevation"].values, dtype=np.float64)))
    range_m = np.asarray(sweep["range"].values, dtype=np.float64)
    return {
        "vr": vr,  # (range, ray): one ring per row
        "az_ray": az,
        "cos_el": np.cos(np.deg2rad(elevation)),
        "elevation": elevation,
        "range": range_m,
        "ray_dim": ray_dim,
        "name": str(vr_da.name),
        "nyquist": nyquist,
        "nyquist_note": note,
    }


def doppler_sweeps(sweeps: list[xr.Dataset], velocity: str | None) -> list[int]:
    """Indices of the sweeps that carry radial velocity.

    A split cut scans the lowest elevations twice, once for reflectivity
    alone and once for Doppler moments; only the second gives rings.
    """
    found = [i for i, s in enumerate(sweeps) if velocity_or_none(s, velocity) is not None]
    if not found:
        find_velocity(sweeps[0], velocity)  # raises the message that says what is missing
    return found


def check_ranges(range_m: np.ndarray, where: str) -> None:
    if range_m.size == 0:
        return
    steps = np.diff(range_m)
    if not np.all(np.isfinite(range_m)) or (steps.size and not np.all(steps > 0.0)):
        raise CommandError(f"{where}: the gate ranges are not finite and increasing")


class SweepFit:
    """The rings of one sweep: unfolded (when a Nyquist velocity is given), fitted, flagged."""

    def __init__(
        self,
        ring: dict[str, Any],
        nyquist: float | None,
        min_gates: int,
        min_spread: float,
        n_threads: int,
    ) -> None:
        self.ring = ring
        self.nyquist = nyquist
        self.min_gates = min_gates
        self.min_spread = min_spread
        self.n_threads = n_threads
        self.folds = np.zeros(ring["range"].size, dtype=np.int32)
        self.result: dict[str, np.ndarray] = {}

    def _fit(
        self, rows: np.ndarray | None, seed: tuple[np.ndarray, np.ndarray] | None
    ) -> tuple[dict[str, np.ndarray], np.ndarray]:
        vr = self.ring["vr"] if rows is None else self.ring["vr"][rows]
        # The rays' azimuths, shared by every ring of the sweep: the fit
        # broadcasts them, which costs it nothing and spares a copy per gate.
        az = self.ring["az_ray"]
        folds = np.zeros(vr.shape[0], dtype=np.int32)
        if self.nyquist is None:
            return self._vad(vr, az), folds
        seed_bs, seed_bc = seed if seed is not None else (None, None)
        unfolded, info = unfold(
            vr,
            self.ring["az_ray"],
            self.nyquist,
            seed_bs=seed_bs,
            seed_bc=seed_bc,
            n_threads=self.n_threads,
        )
        res = self._vad(unfolded, az)
        folds[:] = info[3]
        # A sparse ring with wide gaps can be unfolded into a worse fit (a
        # harmonic of hundreds of m/s through a few gates). Unfolded right, a
        # ring fits to its measurement noise; where a moved ring leaves a
        # residual of a quarter of Vn or more, the velocities as read are
        # fitted too and kept if they explain the ring better.
        doubtful = np.flatnonzero((folds > 0) & (res["rms"] >= 0.25 * self.nyquist))
        if doubtful.size:
            raw = self._vad(vr[doubtful], az)
            better = raw["rms"] < res["rms"][doubtful]
            as_read = doubtful[better]
            for name in res:
                res[name][as_read] = raw[name][better]
            folds[as_read] = 0
        return res, folds

    def _vad(self, vr: np.ndarray, az: np.ndarray) -> dict[str, np.ndarray]:
        res = vad(
            vr,
            az,
            cos_el=self.ring["cos_el"],
            min_gates=self.min_gates,
            min_spread=self.min_spread,
            n_threads=self.n_threads,
        )
        return {name: np.array(res[k]) for k, name in enumerate(Vad._fields)}

    def run(self) -> None:
        self.result, self.folds = self._fit(None, None)

    def flags(self, nyquist: float | None) -> np.ndarray:
        r = self.result
        fitted = np.isfinite(r["u"]) & np.isfinite(r["v"])
        flag = np.full(r["u"].size, FLAG_NO_ECHO, dtype=np.int8)
        flag[r["n"] > 0] = FLAG_SPARSE
        flag[fitted] = FLAG_GOOD
        if nyquist is not None:
            flag[fitted & (r["rms"] >= NOISE_RMS_FRACTION * nyquist / np.sqrt(3.0))] = FLAG_NOISE
        flag[(flag == FLAG_GOOD) & quality.implausible(r["u"], r["v"])] = FLAG_IMPLAUSIBLE
        usable = flag == FLAG_GOOD
        flag[jumps(r["u"], r["v"], r["rms"], r["n"], self.ring["cos_el"], usable)] = FLAG_JUMP
        return flag

    def retry_from_neighbours(self, flag: np.ndarray) -> None:
        """Unfold the flagged rings again from the wind of their neighbours in
        range, keeping the new fit where it explains the ring better."""
        usable = flag == FLAG_GOOD
        mu, count = neighbour_median(self.result["u"], usable)
        mv, _ = neighbour_median(self.result["v"], usable)
        redo = np.flatnonzero(
            np.isin(flag, (FLAG_NOISE, FLAG_JUMP, FLAG_IMPLAUSIBLE))
            & (count >= JUMP_LEAST_NEIGHBOURS)
        )
        if redo.size == 0:
            return
        cos_el = self.ring["cos_el"]
        new, folds = self._fit(redo, (mu[redo] * cos_el, mv[redo] * cos_el))
        old_rms = self.result["rms"][redo]
        better = np.isfinite(new["rms"]) & ~(new["rms"] >= old_rms)
        rows = redo[better]
        for name, values in new.items():
            self.result[name][rows] = values[better]
        self.folds[rows] = folds[better]


def vad_dataset(
    sweeps: list[xr.Dataset],
    *,
    velocity: str | None = None,
    min_gates: int = DEFAULT_MIN_GATES,
    min_spread: float = DEFAULT_MIN_SPREAD,
    n_threads: int = 1,
    nyquist: float | None = None,
    unfold: bool = True,
) -> xr.Dataset:
    """The VAD fit of every ring of every Doppler sweep as a (sweep, range) Dataset.

    ``nyquist`` (m/s) overrides the files' Nyquist velocities; ``unfold``
    False fits the velocities as they were read.
    """
    import xarray as xr

    if nyquist is not None and not (np.isfinite(nyquist) and nyquist > 0.0):
        raise CommandError(f"--nyquist {nyquist}: expected a positive velocity in m/s")
    used = doppler_sweeps(sweeps, velocity)
    rings = [sweep_rings(sweeps[i], velocity) for i in used]
    n_range = max(r["range"].size for r in rings)
    n_sweep = len(rings)

    def padded() -> np.ndarray:
        return np.full((n_sweep, n_range), np.nan)

    fields = {name: padded() for name in Vad._fields}
    range_m = padded()
    folds = np.zeros((n_sweep, n_range), dtype=np.int32)
    nyquists = np.full(n_sweep, np.nan)
    with_velocity = np.array([np.count_nonzero(np.isfinite(r["vr"])) for r in rings])
    beyond = np.zeros(n_sweep, dtype=np.int64)
    constant = np.full(n_sweep, np.nan)
    notes: list[str] = []
    flag = np.full((n_sweep, n_range), FLAG_NO_ECHO, dtype=np.int8)
    for i, ring in enumerate(rings):
        where = f"sweep {used[i]}"
        check_ranges(ring["range"], where)
        vn = nyquist if nyquist is not None else ring["nyquist"]
        if vn is not None:
            nyquists[i] = vn
        if unfold and vn is None:
            raise CommandError(
                f"{where}: the file gives no Nyquist velocity (CfRadial nyquist_velocity, "
                "ODIM how/NI, or a velocity packing spanning it), so folded velocities cannot "
                "be unfolded: give it with --nyquist M/S, or fit the velocities as they are "
                "with --no-unfold"
            )
        if nyquist is None and ring["nyquist_note"] and ring["nyquist_note"] not in notes:
            notes.append(ring["nyquist_note"])
        beyond[i], constant[i] = quality.mask_impossible(ring["vr"], vn, unfold)
        noise_vn = vn if vn is not None else quality.noise_scale(ring["vr"])
        fit = SweepFit(ring, vn if unfold else None, min_gates, min_spread, n_threads)
        fit.run()
        ring_flags = fit.flags(noise_vn)
        if unfold:
            fit.retry_from_neighbours(ring_flags)
            ring_flags = fit.flags(noise_vn)
        m = ring["range"].size
        for name in Vad._fields:
            fields[name][i, :m] = fit.result[name]
        folds[i, :m] = fit.folds
        flag[i, :m] = ring_flags
        range_m[i, :m] = ring["range"]

    elevation = np.array([r["elevation"] for r in rings])
    height = beam_height(range_m, np.deg2rad(elevation)[:, None])
    u_fit, v_fit = fields["u"], fields["v"]
    fitted = np.isfinite(u_fit) & np.isfinite(v_fit)
    flag[fields["n"] != fields["n"]] = FLAG_NO_ECHO  # padding of shorter sweeps
    cos_el = np.array([r["cos_el"] for r in rings])
    flag[quality.isolated_jumps(fields, height, cos_el, flag == FLAG_GOOD)] = FLAG_JUMP
    too_high = fitted & (height > MAX_BEAM_HEIGHT)
    if too_high.any():
        worst = np.unravel_index(int(np.argmax(np.where(too_high, height, -np.inf))), height.shape)
        i, k = int(worst[0]), int(worst[1])
        raise CommandError(
            f"sweep {used[i]}: velocities fitted at beam heights up to "
            f"{height[i, k] / 1000:.0f} km "
            f"(gate at {range_m[i, k] / 1000:.0f} km, elevation {elevation[i]:.1f} deg); above "
            f"{MAX_BEAM_HEIGHT / 1000:.0f} km there is no weather, so the file's gate ranges "
            "cannot be right"
        )

    keep = flag == FLAG_GOOD
    u = np.where(keep, u_fit, np.nan)
    v = np.where(keep, v_fit, np.nan)
    speed = np.hypot(u, v)
    # Meteorological convention: the direction the wind blows from, clockwise from north.
    direction = np.mod(np.rad2deg(np.arctan2(-u, -v)), 360.0)

    def var(data: np.ndarray, units_: str, long_name: str, standard: str | None = None) -> Any:
        attrs = {"units": units_, "long_name": long_name}
        if standard:
            attrs["standard_name"] = standard
        return (("sweep", "range"), data, attrs)

    first = sweeps[used[0]]
    coords: dict[str, Any] = {
        "sweep": ("sweep", np.arange(n_sweep, dtype=np.int32), {"long_name": "sweep index"}),
        "sweep_number": (
            "sweep",
            np.array(used, dtype=np.int32),
            {"long_name": "index of the sweep in the radar file (sweeps without velocity skipped)"},
        ),
        "elevation": ("sweep", elevation, {"units": "degrees", "long_name": "sweep elevation"}),
        "range": (("sweep", "range"), range_m, {"units": "m", "long_name": "range to gate"}),
        "height": (
            ("sweep", "range"),
            height,
            {"units": "m", "long_name": "beam height above the radar (4/3 earth radius)"},
        ),
    }
    for name in ("latitude", "longitude", "altitude"):
        if name in first.coords or name in first.data_vars:
            coords[name] = ((), float(first[name].values), dict(first[name].attrs))
    counts = {
        "total": int(flag.size),
        "no_echo": int((flag == FLAG_NO_ECHO).sum()),
        "too_few_gates_or_poor_coverage": int((flag == FLAG_SPARSE).sum()),
        "fitted": int(fitted.sum()),
        "folded_noise": int((flag == FLAG_NOISE).sum()),
        "jump": int((flag == FLAG_JUMP).sum()),
        "implausible_wind": int((flag == FLAG_IMPLAUSIBLE).sum()),
        "in_profile": int(keep.sum()),
    }
    ds = xr.Dataset(
        {
            "u": var(u, "m s-1", "eastward wind", "eastward_wind"),
            "v": var(v, "m s-1", "northward wind", "northward_wind"),
            "speed": var(speed, "m s-1", "wind speed", "wind_speed"),
            "direction": var(direction, "degree", "wind from direction", "wind_from_direction"),
            "a0": var(fields["a0"], "m s-1", "intercept of the first-order fit"),
            "rms": var(fields["rms"], "m s-1", "rms residual of the first-order fit"),
            "n": var(fields["n"], "1", "valid gates in the ring"),
            "a0_2": var(fields["a0_2"], "m s-1", "intercept of the second-order fit"),
            "s2": var(fields["s2"], "m s-1", "sin(2 azimuth) coefficient of the second-order fit"),
            "c2": var(fields["c2"], "m s-1", "cos(2 azimuth) coefficient of the second-order fit"),
            "u_fitted": var(u_fit, "m s-1", "eastward wind of every fitted ring, flagged or not"),
            "v_fitted": var(v_fit, "m s-1", "northward wind of every fitted ring, flagged or not"),
            "quality_flag": (
                ("sweep", "range"),
                flag,
                {
                    "long_name": "why a ring is or is not in the profile",
                    "flag_values": np.arange(6, dtype=np.int8),
                    "flag_meanings": FLAG_MEANINGS,
                },
            ),
            "unfolded_gates": (
                ("sweep", "range"),
                folds,
                {
                    "units": "1",
                    "long_name": "gates moved by a multiple of twice the Nyquist velocity",
                },
            ),
            "nyquist_velocity": (
                "sweep",
                nyquists,
                {"units": "m s-1", "long_name": "Nyquist velocity of the sweep"},
            ),
            "gates_with_velocity": (
                "sweep",
                with_velocity,
                {"units": "1", "long_name": "gates of the sweep with a velocity, as read"},
            ),
            "gates_beyond_nyquist": (
                "sweep",
                beyond,
                {
                    "units": "1",
                    "long_name": "gates left out for a velocity beyond the Nyquist velocity",
                },
            ),
            "constant_velocity": (
                "sweep",
                constant,
                {
                    "units": "m s-1",
                    "long_name": "the one velocity of a sweep whose every gate has it (no winds)",
                },
            ),
        },
        coords=coords,
        attrs={
            "Conventions": "CF-1.8",
            "title": "tarnwell VAD wind profile",
            "source": f"tarnwell {__version__}",
            "tarnwell_product": "vad",
            "tarnwell_velocity": rings[0]["name"],
            "tarnwell_min_gates": min_gates,
            "tarnwell_min_spread": min_spread,
            "tarnwell_unfolded": int(unfold),
            **{f"tarnwell_rings_{key}": value for key, value in counts.items()},
            "tarnwell_gates_beyond_nyquist": int(beyond.sum()),
            "tarnwell_max_plausible_wind": quality.MAX_PLAUSIBLE_WIND,
            **({"tarnwell_nyquist_note": "; ".join(notes)} if notes else {}),
        },
    )
    if "altitude" in ds.coords:
        ds = ds.assign_coords(
            altitude_of_beam=(
                ("sweep", "range"),
                height + float(ds["altitude"]),
                {"units": "m", "long_name": "beam height above mean sea level"},
            )
        )
    return ds
