"""Inputs of the benchmarks: the synthetic fields of the speed runs, and real
data that ships inside the peers' packages (nothing is downloaded): SHARPpy's
SARS soundings and Py-ART's example WSR-88D volume."""

import contextlib
import glob
import io
import os
import warnings

import numpy as np

KNOT = 0.514444  # m/s


def sars_files():
    """Paths of SHARPpy's SARS supercell and hail sounding files, sorted."""
    import importlib.util

    found = importlib.util.find_spec("sharppy")
    if found is None or not found.submodule_search_locations:
        raise ImportError("sharppy is not installed")
    root = os.path.join(list(found.submodule_search_locations)[0], "databases", "sars")
    files = sorted(
        glob.glob(os.path.join(root, "supercell", "*")) + glob.glob(os.path.join(root, "hail", "*"))
    )
    if not files:
        raise FileNotFoundError(f"no SARS sounding files under {root}")
    return files


def read_sars(path):
    """One SARS sounding: pressure (Pa), height (m above sea level),
    temperature and dew point (K), u and v (m/s), levels in file order.
    Missing values (-999 or -9999 in these files) become NaN."""
    rows = []
    inside = False
    with open(path, encoding="latin-1") as fh:
        for line in fh:
            if line.startswith("%RAW%"):
                inside = True
                continue
            if line.startswith("%END%"):
                break
            if inside:
                parts = [s for s in line.replace(",", " ").split() if s]
                if len(parts) == 6:
                    rows.append([float(s) for s in parts])
    a = np.array(rows, dtype=float).reshape(-1, 6)
    a[a <= -998.0] = np.nan
    p, z, t, td, wdir, wspd = a.T
    spd = wspd * KNOT
    rad = np.deg2rad(wdir)
    # Meteorological convention: the direction the wind blows from.
    u = -spd * np.sin(rad)
    v = -spd * np.cos(rad)
    return {
        "name": os.path.basename(path),
        "p": p * 100.0,
        "z": z,
        "t": t + 273.15,
        "td": td + 273.15,
        "u": u,
        "v": v,
    }


def sars_soundings():
    return [read_sars(f) for f in sars_files()]


def nexrad_radar():
    """Py-ART's real WSR-88D archive (message 1) volume, read with Py-ART."""
    import pyart

    path = os.path.join(
        os.path.dirname(pyart.__file__), "testing", "data", "example_nexrad_archive_msg1.bz2"
    )
    # The reader's deprecation and format notices are Py-ART's own affair.
    with contextlib.redirect_stdout(io.StringIO()), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return pyart.io.read_nexrad_archive(path)


def sweep_rings(radar, sweep, field="velocity"):
    """The rings of one sweep as the VAD kernel takes them: one ring per range
    gate, the rays of the sweep as its gates. Returns (vr, az_rad, cos_el),
    vr and az of shape (ngates, nrays), masked velocities as NaN."""
    sl = radar.get_slice(sweep)
    vel = radar.fields[field]["data"][sl]
    vr = np.ma.filled(vel.astype(float), np.nan).T.copy()
    az = np.deg2rad(np.asarray(radar.azimuth["data"][sl], dtype=float))
    az2 = np.broadcast_to(az, vr.shape).copy()
    el = float(radar.fixed_angle["data"][sweep])
    cos_el = np.full(vr.shape[0], np.cos(np.deg2rad(el)))
    return vr, az2, cos_el


# A WSR-88D volume of VCP 212: its 14 elevations, 0.5-degree rays and 250 m gates
# to 458 km (1,832 gates), in a strong low-level jet that folds at its Nyquist
# velocity; echo up to 12 km above the radar, as in widespread precipitation.
VCP212_ELEVATIONS = (0.5, 0.9, 1.3, 1.8, 2.4, 3.1, 4.0, 5.1, 6.4, 8.0, 10.0, 12.5, 15.6, 19.5)
RADAR_NYQUIST = 8.0  # m/s
RADAR_ECHO_TOP = 12000.0  # m


def jet_wind(height):
    """Wind (m/s) of the benchmark volume: a 30 m/s jet near 1.5 km, veering."""
    u = 12.0 + 18.0 * np.exp(-(((height - 1500.0) / 1500.0) ** 2))
    v = 10.0 * np.tanh(height / 3000.0) - 5.0
    return u, v


def write_radar_volume(path, n_sweeps=14, n_rays=720, n_gates=1832):
    """A CfRadial1 volume of n_sweeps VCP 212 elevations with folded velocities."""
    from tarnwell import _sample_data

    _sample_data.write_radar_volume(
        str(path),
        n_azimuth=n_rays,
        n_range=n_gates,
        elevations=(VCP212_ELEVATIONS * 2)[:n_sweeps],
        nyquist=RADAR_NYQUIST,
        wind=jet_wind,
        echo_top=RADAR_ECHO_TOP,
        noise=1.0,
    )


def synthetic_air(n, seed=0):
    """n parcels of temperature (K), pressure (Pa) and dew point (K) from the
    surface to the upper troposphere, a few with the dew point above the
    temperature (thermo clamps them to saturation)."""
    rng = np.random.default_rng(seed)
    t = rng.uniform(220.0, 310.0, n)
    p = rng.uniform(20000.0, 103000.0, n)
    td = t - rng.exponential(6.0, n)
    return t, p, td


def synthetic_columns(n, levels, seed=1):
    """n columns of increasing heights (m) with a veering, strengthening
    wind: the shape of a model's lower troposphere, jittered per column."""
    rng = np.random.default_rng(seed)
    # Levels closer together near the ground, as in a model's vertical grid.
    base = 12000.0 * np.linspace(0.0, 1.0, levels) ** 1.5
    z = base[None, :] + rng.uniform(-20.0, 20.0, (n, levels))
    z[:, 0] = rng.uniform(0.0, 500.0, n)
    z.sort(axis=1)
    speed = 5.0 + z * (25.0 / 12000.0) + rng.normal(0.0, 1.0, (n, levels))
    turn = np.deg2rad(180.0 + z * (90.0 / 6000.0))
    u = -speed * np.sin(turn)
    v = -speed * np.cos(turn)
    return z, u, v


def synthetic_cold_pools(n, levels, seed=2):
    """n columns of heights (m) and buoyancy (m/s^2): a cold layer of random
    depth and strength under a slightly buoyant environment."""
    rng = np.random.default_rng(seed)
    z = np.linspace(0.0, 4000.0, levels)[None, :] + rng.uniform(0.0, 5.0, (n, levels))
    z.sort(axis=1)
    depth = rng.uniform(300.0, 2500.0, (n, 1))
    strength = rng.uniform(0.02, 0.15, (n, 1))
    b = strength * (z / depth - 1.0) + 0.002
    return z, b


def synthetic_fields(b, ny, nx, seed=3, missing=0.0):
    """A batch of smooth fields on a uniform 3 km grid (exact coordinates),
    with a fraction `missing` of the points NaN."""
    rng = np.random.default_rng(seed)
    x = np.arange(nx) * 3000.0
    y = np.arange(ny) * 3000.0
    kx = rng.uniform(1.0, 4.0, (b, 1, 1)) * 2.0 * np.pi / max(x[-1], 1.0)
    ky = rng.uniform(1.0, 4.0, (b, 1, 1)) * 2.0 * np.pi / max(y[-1], 1.0)
    f = 280.0 + 5.0 * np.sin(kx * x[None, None, :]) * np.cos(ky * y[None, :, None])
    f = np.ascontiguousarray(f)
    if missing:
        f.reshape(-1)[rng.choice(f.size, int(f.size * missing), replace=False)] = np.nan
    return f, x, y


def full_rings(r, m, seed=4, missing=0.0):
    """r full rings of m evenly spaced gates with a uniform wind, a second
    harmonic and noise, a fraction `missing` of the gates NaN; returns vr, az
    (radians), cos_el and the true winds."""
    rng = np.random.default_rng(seed)
    az = np.broadcast_to(np.arange(m) * (2.0 * np.pi / m), (r, m)).copy()
    cos_el = np.cos(np.deg2rad(rng.uniform(0.5, 4.5, r)))
    u = rng.uniform(-20.0, 20.0, (r, 1))
    v = rng.uniform(-20.0, 20.0, (r, 1))
    vr = (
        (u * np.sin(az) + v * np.cos(az)) * cos_el[:, None]
        + rng.uniform(-2.0, 2.0, (r, 1))
        + 1.5 * np.sin(2.0 * az)
        + rng.normal(0.0, 1.0, (r, m))
    )
    vr[rng.random(vr.shape) < missing] = np.nan
    return vr, az, cos_el, u[:, 0], v[:, 0]
