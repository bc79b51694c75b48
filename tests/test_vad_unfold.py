"""Unfolding of aliased velocities before the VAD fit, and the quality flags
of `tarnwell vad`: synthetic rings folded at several Nyquist velocities with
known winds, gaps and noise, and volumes written as CfRadial and ODIM_H5."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

import tarnwell
from tarnwell._native import unfold as _unfold

MIN_GATES = 30
MIN_SPREAD = 0.1  # lets the rings with a 90-degree sector gap be fitted


def fold(v, nyquist):
    """What the radar measures: v brought into [-Vn, Vn) by multiples of 2 Vn."""
    return v - 2.0 * nyquist * np.floor((v + nyquist) / (2.0 * nyquist))


def rings(rng, n_rings, n_rays, noise, max_wind=40.0, sector_gap_every=3):
    """True radial velocities (R, M) of rings of known wind, with random gaps,
    a 90-degree sector without echo on every third ring, and noise."""
    az = np.deg2rad((np.arange(n_rays) + 0.5) * 360.0 / n_rays + rng.normal(0, 0.05, n_rays))
    u = rng.uniform(-max_wind, max_wind, n_rings)
    v = rng.uniform(-max_wind, max_wind, n_rings)
    a0 = rng.uniform(-3.0, 3.0, n_rings)
    cos_el = np.cos(np.deg2rad(rng.uniform(0.5, 10.0, n_rings)))
    true = a0[:, None] + (u[:, None] * np.sin(az) + v[:, None] * np.cos(az)) * cos_el[:, None]
    true = true + rng.normal(0.0, noise, true.shape)
    true[rng.random(true.shape) < 0.15] = np.nan
    start = rng.integers(0, n_rays, n_rings)
    for i in range(0, n_rings, sector_gap_every):
        true[i, (start[i] + np.arange(n_rays // 4)) % n_rays] = np.nan
    return true, az, cos_el, u, v


def fit(vr, az, cos_el):
    return tarnwell.vad(
        vr,
        np.broadcast_to(az, vr.shape),
        cos_el=cos_el,
        min_gates=MIN_GATES,
        min_spread=MIN_SPREAD,
    )


@pytest.mark.parametrize("nyquist", [5.0, 8.0, 12.5, 27.0])
@pytest.mark.parametrize("n_rays", [360, 720])
def test_folded_rings_give_the_fit_of_the_true_velocities(nyquist, n_rays):
    """Winds up to 40 m/s (folding up to four times at 5 m/s), noise a fifth
    of Vn: the unfolded rings fit as the true velocities do, within 1 m/s
    (bit for bit where every gate is restored), where the folded ones are off
    by more than 10 m/s whenever the wind is strong against Vn."""
    rng = np.random.default_rng(int(nyquist * 10) + n_rays)
    true, az, cos_el, u, v = rings(rng, 300, n_rays, noise=0.2 * nyquist)
    measured = fold(true, nyquist)
    out, info = _unfold.unfold(measured, az, nyquist)
    got, want = fit(out, az, cos_el), fit(true, az, cos_el)
    both = np.isfinite(got.u) & np.isfinite(want.u)
    assert both.mean() > 0.95
    assert np.all(np.hypot(got.u - want.u, got.v - want.v)[both] < 1.0)
    assert np.mean(got.u[both] == want.u[both]) > 0.9
    # Every gate is the measured one plus a whole number of 2 Vn.
    ok = np.isfinite(measured)
    turns = (out[ok] - measured[ok]) / (2.0 * nyquist)
    np.testing.assert_allclose(turns, np.round(turns), atol=1e-9)
    assert np.array_equal(np.isnan(out), np.isnan(measured))
    np.testing.assert_array_equal(info[3], ((out != measured) & ok).sum(axis=1))
    assert np.all(got.rms[both] < 0.75 * nyquist / np.sqrt(3.0))
    if nyquist <= 8.0:
        raw = fit(measured, az, cos_el)
        strong = np.hypot(u, v) > 2.5 * nyquist
        err = np.hypot(raw.u - u, raw.v - v)[strong & np.isfinite(raw.u)]
        assert np.median(err) > 10.0


def test_rings_that_never_folded_are_left_bit_for_bit():
    rng = np.random.default_rng(5)
    true, az, _, _, _ = rings(rng, 100, 360, noise=1.0, max_wind=15.0)
    out, info = _unfold.unfold(true, az, 30.0)
    np.testing.assert_array_equal(out, true)
    assert not info[3].any()


def test_folded_noise_has_no_unique_answer_and_is_flagged():
    """Velocities spread evenly over [-Vn, Vn) fit with rms near Vn / sqrt(3),
    at or above the noise limit; so do rings far noisier than Vn allows."""
    rng = np.random.default_rng(6)
    nyquist = 8.0
    for measured in (
        rng.uniform(-nyquist, nyquist, (200, 360)),
        fold(rings(rng, 200, 360, noise=0.7 * nyquist)[0], nyquist),
    ):
        az = np.deg2rad(np.arange(360) + 0.5)
        out, _ = _unfold.unfold(measured, az, nyquist)
        got = fit(out, az, np.ones(200))
        assert np.all(got.rms[np.isfinite(got.u)] >= 0.75 * nyquist / np.sqrt(3.0))


def test_thread_count_and_seeds():
    rng = np.random.default_rng(7)
    true, az, _, _, _ = rings(rng, 500, 360, noise=1.0)  # 32 chunks of 16 rings
    measured = fold(true, 6.0)
    one = _unfold.unfold(measured, az, 6.0, n_threads=1)
    for threads in (2, 3):
        other = _unfold.unfold(measured, az, 6.0, n_threads=threads)
        np.testing.assert_array_equal(other[0], one[0])
        np.testing.assert_array_equal(other[1], one[1])
    # Seeded with the ring's own harmonic, the unfolding lands where it did.
    seeded = _unfold.unfold(measured, az, 6.0, seed_bs=one[1][1], seed_bc=one[1][2])
    same = np.isfinite(one[1][1])
    np.testing.assert_array_equal(seeded[0][same], one[0][same])
    with pytest.raises(ValueError, match="nyquist"):
        _unfold.unfold(measured, az, 0.0)
    with pytest.raises(ValueError, match="one azimuth per ray"):
        _unfold.unfold(measured, az[:-1], 6.0)


# ---------------------------------------------------------------- the command

xr = pytest.importorskip("xarray")
xradar = pytest.importorskip("xradar")

from tarnwell import _sample_data  # noqa: E402
from tarnwell.cli import main  # noqa: E402

NYQUIST = 8.0


def strong_wind(height):
    """A low-level jet: 15 to 28 m/s, folding two or three times at 8 m/s."""
    u = 15.0 + 13.0 * np.exp(-(((height - 1500.0) / 1200.0) ** 2))
    v = 8.0 * np.tanh(height / 2000.0) - 4.0
    return u, v


def run(*args: object) -> int:
    return main([str(a) for a in args])


@pytest.fixture(scope="module")
def folded_volume(tmp_path_factory) -> Path:
    path = tmp_path_factory.mktemp("folded") / "folded.nc"
    _sample_data.write_radar_volume(
        str(path), n_azimuth=360, n_range=80, noise=1.0, nyquist=NYQUIST, wind=strong_wind
    )
    return path


def test_cfradial_and_odim_give_the_same_unfolded_profile(folded_volume, tmp_path):
    pytest.importorskip("h5py")
    import h5py

    odim = tmp_path / "folded.h5"
    xradar.io.to_odim(xradar.io.open_datatree(str(folded_volume)), str(odim), source="RAD:XX")
    with h5py.File(odim, "r+") as h5:
        for name in h5:
            if name.startswith("dataset"):
                h5[name].require_group("how").attrs["NI"] = NYQUIST
    outs = {}
    for label, path in (("cf", folded_volume), ("odim", odim)):
        outs[label] = tmp_path / f"{label}.nc"
        assert run("vad", path, "-o", outs[label], "-q") == 0
    with xr.open_dataset(outs["cf"]) as a, xr.open_dataset(outs["odim"]) as b:
        np.testing.assert_array_equal(a["n"].values, b["n"].values)
        np.testing.assert_array_equal(a["quality_flag"].values, b["quality_flag"].values)
        for name in ("u", "v", "rms"):
            np.testing.assert_allclose(b[name].values, a[name].values, atol=0.01, err_msg=name)
        np.testing.assert_array_equal(a["nyquist_velocity"].values, NYQUIST)
        u_true, v_true = strong_wind(a["height"].values)
        err = np.hypot(a["u"].values - u_true, a["v"].values - v_true)
        assert np.isfinite(err).mean() > 0.95
        assert np.nanmax(err) < 1.0
        assert a["unfolded_gates"].values.sum() > 0.3 * np.nansum(a["n"].values)
        assert a.attrs["tarnwell_rings_in_profile"] == int(np.isfinite(a["u"].values).sum())


def test_no_unfold_fits_the_folded_values_and_flags_them(folded_volume, tmp_path, capsys):
    """Fitted as they are, the folded rings are no better than folded noise:
    every one is flagged, and a profile of none is an error, not a file."""
    out = tmp_path / "raw.nc"
    assert run("vad", folded_volume, "-o", out, "--no-unfold") == 1
    err = capsys.readouterr().err
    assert "no ring gave a wind" in err and "no better than folded noise" in err
    assert not out.exists()


def test_no_unfold_without_a_nyquist_velocity_still_checks_for_folded_noise(tmp_path, capsys):
    """Without a Nyquist velocity the sweep's largest speed stands for it:
    the folded rings fitted as they are stay out of the profile."""
    path, out = tmp_path / "folded_no_nyquist.nc", tmp_path / "out.nc"
    sweeps = _sample_data.radar_sweeps(n_azimuth=180, n_range=40, nyquist=NYQUIST, wind=strong_wind)
    _write_sweeps(path, [s.drop_vars("nyquist_velocity") for s in sweeps])
    assert run("vad", path, "-o", out, "--no-unfold") == 1
    assert "no ring gave a wind" in capsys.readouterr().err
    assert not out.exists()


def test_no_unfold_changes_nothing_where_nothing_folds(tmp_path):
    path = tmp_path / "calm.nc"
    _sample_data.write_radar_volume(str(path), n_azimuth=180, n_range=40)
    a, b = tmp_path / "a.nc", tmp_path / "b.nc"
    assert run("vad", path, "-o", a, "-q") == 0
    assert run("vad", path, "-o", b, "-q", "--no-unfold") == 0
    with xr.open_dataset(a) as da, xr.open_dataset(b) as db:
        for name in tarnwell.Vad._fields:
            np.testing.assert_array_equal(da[name].values, db[name].values, err_msg=name)
        assert da.attrs["tarnwell_unfolded"] == 1 and db.attrs["tarnwell_unfolded"] == 0
        assert not da["unfolded_gates"].values.any()


def test_nyquist_is_required_to_unfold(tmp_path, capsys):
    path = tmp_path / "no_nyquist.nc"
    _sample_data.write_radar_volume(
        str(path), n_azimuth=180, n_range=40, nyquist=None, wind=strong_wind
    )
    out = tmp_path / "out.nc"
    assert run("vad", path, "-o", out) == 1
    err = capsys.readouterr().err
    assert "Nyquist" in err and "--nyquist" in err and len(err.strip().splitlines()) == 1
    assert not out.exists()
    assert run("vad", path, "-o", out, "-q", "--nyquist", "30") == 0
    with xr.open_dataset(out) as ds:
        u_true, v_true = strong_wind(ds["height"].values)
        assert np.nanmax(np.hypot(ds["u"].values - u_true, ds["v"].values - v_true)) < 1.0
        np.testing.assert_array_equal(ds["nyquist_velocity"].values, 30.0)
    assert run("vad", path, "-o", out, "--nyquist", "-3", "--overwrite") == 1
    assert "--nyquist" in capsys.readouterr().err


def test_noise_only_volume_is_refused_and_mostly_noise_warns(tmp_path, capsys):
    noisy = tmp_path / "noisy.nc"
    # Measurement noise far above Vn: the folded values are noise on [-Vn, Vn).
    _sample_data.write_radar_volume(
        str(noisy), n_azimuth=180, n_range=40, noise=40.0, nyquist=NYQUIST
    )
    out = tmp_path / "out.nc"
    assert run("vad", noisy, "-o", out) == 1
    err = capsys.readouterr().err
    assert "no ring gave a wind" in err and "folded noise" in err
    assert not out.exists()
    # Four sweeps of noise and three good: most rings dropped, with a warning.
    mixed = tmp_path / "mixed.nc"
    good = _sample_data.radar_sweeps(n_azimuth=180, n_range=40, nyquist=NYQUIST)
    bad = _sample_data.radar_sweeps(n_azimuth=180, n_range=40, noise=40.0, nyquist=NYQUIST)
    _write_sweeps(mixed, good[:3] + bad[3:])
    assert run("vad", mixed, "-o", out, "-q") == 0
    err = capsys.readouterr().err
    assert err.startswith("tarnwell vad: warning:") and "folded noise" in err
    with xr.open_dataset(out) as ds:
        flags = ds["quality_flag"].values
        assert np.all(flags[3:][ds["n"].values[3:] >= MIN_GATES] == 3)
        assert np.all(np.isnan(ds["u"].values[3:]))
        assert ds.attrs["tarnwell_rings_folded_noise"] == int((flags == 3).sum())
        assert ds.attrs["tarnwell_rings_in_profile"] == int((flags == 0).sum()) > 0
        counted = ("no_echo", "too_few_gates_or_poor_coverage", "fitted")
        assert (
            ds.attrs["tarnwell_rings_total"]
            == flags.size
            == sum(ds.attrs[f"tarnwell_rings_{key}"] for key in counted)
        )
        left_out = int((flags >= 3).sum())
    # The picture marks the rings left out.
    pytest.importorskip("matplotlib")
    from tarnwell.cli import plotting

    product = plotting.open_product(str(out))
    fig = plotting.figure_sheet([product])
    labels = [t.get_text() for t in fig.axes[0].get_legend().get_texts()]
    assert f"left out ({left_out:,} rings)" in labels
    product.close()
    import matplotlib.pyplot as plt

    plt.close(fig)


def _write_sweeps(path: Path, sweeps) -> None:
    root = xr.Dataset(
        {
            "volume_number": ((), np.int32(0)),
            "time_coverage_start": ((), "2026-05-20T21:00:00Z"),
            "time_coverage_end": ((), "2026-05-20T21:03:00Z"),
            "sweep_group_name": ("sweep", [f"sweep_{i}" for i in range(len(sweeps))]),
            "sweep_fixed_angle": ("sweep", [float(s["sweep_fixed_angle"]) for s in sweeps]),
        },
        coords={"latitude": 36.0, "longitude": -97.0, "altitude": 350.0},
        attrs={"Conventions": "Cf/Radial"},
    )
    for i, s in enumerate(sweeps):
        s["sweep_number"] = np.int32(i)
    tree = xr.DataTree.from_dict({"/": root, **{f"/sweep_{i}": s for i, s in enumerate(sweeps)}})
    xradar.io.to_cfradial1(tree, str(path), calibs=False)


def test_beam_heights_above_25_km_are_refused(tmp_path, capsys):
    far = tmp_path / "far.nc"
    # 5 km gates to 400 km: the upper sweeps' beams pass 25 km with echo on them.
    _sample_data.write_radar_volume(
        str(far), n_azimuth=90, n_range=80, gate_spacing=5000.0, nyquist=NYQUIST
    )
    out = tmp_path / "out.nc"
    assert run("vad", far, "-o", out, "--min-gates", "20") == 1
    err = capsys.readouterr().err
    assert "25 km" in err and "gate ranges" in err
    assert not out.exists()


def test_jumps_against_neighbours_in_range():
    """A ring whose wind differs from the median of its neighbours by more
    than 5 m/s plus four standard errors of its fit is flagged; a smaller
    step, or a ring whose own fit is too uncertain to tell, is not."""
    from tarnwell.cli import radar

    n = 40
    u = np.linspace(10.0, 14.0, n)
    v = np.full(n, -3.0)
    rms = np.full(n, 1.0)
    gates = np.full(n, 360.0)
    u[10] += 8.0  # a jump: 8 > 5 + 4 * 1 * sqrt(2 / 360)
    u[20] += 4.0  # within what shear allows
    u[30] += 8.0
    rms[30] = 8.0  # standard error 0.6 m/s: 8 > 5 + 4 * 0.6, still a jump
    rms[31:33] = np.nan
    usable = np.isfinite(rms)
    flagged = radar.jumps(u, v, rms, gates, 1.0, usable)
    assert list(np.flatnonzero(flagged)) == [10, 30]
    rms[30] = 20.0  # standard error 1.5 m/s: 8 < 5 + 6
    assert list(np.flatnonzero(radar.jumps(u, v, rms, gates, 1.0, usable))) == [10]
    # Too few usable neighbours: nothing to compare with.
    lonely = np.zeros(n, dtype=bool)
    lonely[[10, 12, 14]] = True
    assert not radar.jumps(u, v, rms, gates, 1.0, lonely).any()


# Two sparse rings of the KLOT message 1 archive (elevation 2.46 deg, Nyquist
# velocity 28.34 m/s, 6.6 and 19.4 km): the azimuths (degrees) and velocities
# of their gates as the archive holds them. Unfolded, they fit 222 and 503 m/s.
KLOT_VN = 28.34
KLOT_RINGS = (
    (
        [282.44, 283.4, 327.96, 328.97, 330.95, 344.75, 350.73, 352.71, 353.72, 4.57, 5.54]
        + [8.53, 9.54, 10.55, 13.49, 26.37, 27.38, 28.34, 29.31, 48.12, 61.0, 94.66, 138.21]
        + [139.22, 140.23, 143.17, 155.04, 156.05, 157.06, 177.8, 199.6, 200.57, 201.58]
        + [203.55, 206.54, 207.55, 208.52, 209.53, 210.54, 242.18, 252.07, 253.04, 261.96]
        + [263.94, 265.96, 267.93, 268.95, 269.91, 270.92],
        [0.5, -0.5, -12.0, 10.0, 9.5, 10.0, -2.0, -0.5, -1.5, 4.0, 1.0, -4.5, -8.0, -7.0]
        + [-1.0, -13.0, 0.0, -14.0, -2.5, -1.5, 1.0, -24.5, -1.0, -2.0, -3.0, -27.0, -9.5]
        + [-8.0, 14.0, 0.0, -10.5, -5.0, -9.0, -9.5, 4.5, 4.0, 3.5, 12.0, 9.0, -1.0, 9.5]
        + [6.0, -2.5, -1.0, -1.5, 0.5, 1.0, 0.0, 0.5],
    ),
    (
        [274.79, 324.98, 4.57, 9.54, 11.51, 15.47, 16.48, 17.45, 18.41, 21.4, 22.41, 23.38]
        + [27.38, 46.14, 121.38, 137.24, 138.21, 139.22, 140.23, 141.15, 153.06, 166.95]
        + [226.36, 234.27, 235.28, 237.22, 243.15, 259.01, 272.86, 273.87, 274.88],
        [0.0, -15.5, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, -0.5, -9.0, -0.5, 0.0]
        + [0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 20.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0],
    ),
)


@pytest.mark.parametrize("ring", KLOT_RINGS, ids=["6.6km", "19.4km"])
def test_unfolding_that_fits_worse_is_not_kept(ring):
    """A ring of a few gates with wide gaps, between rings without echo: its
    velocities never folded (all within Vn), but unfolded they fit hundreds
    of m/s. The fit kept is that of the velocities as read, bit for bit."""
    from tarnwell.cli import radar, radar_quality

    sweeps = _sample_data.radar_sweeps(n_azimuth=366, n_range=30, nyquist=KLOT_VN)
    k = 20
    az_deg, vr = np.asarray(ring[0]), np.asarray(ring[1])
    # The archive's 366 rays, about 0.99 degrees apart from 274.79 degrees; each
    # gate of the ring on the ray nearest its azimuth.
    azimuth = np.mod(274.79 + 0.98907 * np.arange(366), 360.0)
    slots = np.argmin(np.abs((azimuth[None, :] - az_deg[:, None] + 180.0) % 360.0 - 180.0), 1)
    azimuth[slots] = az_deg
    sweep = sweeps[2] = sweeps[2].assign_coords(azimuth=("azimuth", azimuth, {"units": "degrees"}))
    sweep["VRADH"].values[:, k - 4 : k + 5] = np.nan
    sweep["VRADH"].values[slots, k] = vr
    ds = radar.vad_dataset(sweeps)
    rings = radar.sweep_rings(sweep, None)
    row = rings["vr"][k]
    assert np.all(np.abs(row[np.isfinite(row)]) < KLOT_VN) and np.isfinite(row).sum() == vr.size
    want = tarnwell.vad(row, rings["az_ray"], cos_el=rings["cos_el"], min_gates=30, min_spread=0.2)
    assert ds["u_fitted"].values[2, k] == want.u and ds["v_fitted"].values[2, k] == want.v
    assert ds["unfolded_gates"].values[2, k] == 0 and np.hypot(want.u, want.v) < 10.0
    assert np.nanmax(ds["speed"].values) < radar_quality.MAX_PLAUSIBLE_WIND


def test_a_ring_without_neighbours_in_range_is_checked_in_height():
    """Two neighbouring rings between rings without echo: the jump check in
    range has nothing to compare them with, so the nearest accepted rings in
    height (other sweeps) are the reference: a wind 15 m/s off it is a jump,
    the right one beside it stays."""
    from tarnwell.cli import radar

    sweeps = _sample_data.radar_sweeps(n_azimuth=360, n_range=60, nyquist=27.0)
    vr = sweeps[1]["VRADH"].values
    k = 30
    vr[:, k - 4 : k] = np.nan
    vr[:, k + 2 : k + 6] = np.nan
    az = np.deg2rad(sweeps[1]["azimuth"].values)
    cos_el = np.cos(np.deg2rad(sweeps[1]["elevation"].values))
    vr[:, k + 1] += 15.0 * np.sin(az) * cos_el  # 15 m/s more westerly wind
    ds = radar.vad_dataset(sweeps)
    flags = ds["quality_flag"].values[1]
    assert flags[k] == radar.FLAG_GOOD and flags[k + 1] == radar.FLAG_JUMP
    u_true, _ = _sample_data.radar_wind(ds["height"].values[1, k + 1])
    assert abs(ds["u_fitted"].values[1, k + 1] - u_true - 15.0) < 0.5
    assert ds.attrs["tarnwell_rings_jump"] == int((ds["quality_flag"].values == 4).sum()) >= 1


def pack_odim_velocities(path: Path, gain: float, offset: float) -> None:
    """Velocities stored as ODIM writes them: 8-bit words of gain and offset,
    0 "undetect" where there is no echo, 255 "nodata", and no NI."""
    import h5py

    with h5py.File(path, "r+") as h5:
        for name in h5:
            if not name.startswith("dataset"):
                continue
            data = h5[name]["data1"]
            values = data["data"][...]
            words = np.zeros(values.shape, dtype=np.uint8)
            echo = np.isfinite(values)
            words[echo] = np.clip(np.round((values[echo] - offset) / gain), 1, 254)
            del data["data"]
            data.create_dataset("data", data=words)
            for key, value in (("gain", gain), ("offset", offset), ("nodata", 255.0)):
                data["what"].attrs[key] = value
            data["what"].attrs["undetect"] = 0.0
            if "how" in h5[name] and "NI" in h5[name]["how"].attrs:
                del h5[name]["how"].attrs["NI"]


def test_odim_packing_that_spans_the_nyquist_interval_gives_it(folded_volume, tmp_path, capsys):
    """ODIM without NI, velocities packed in 8 bits over exactly ±Vn: the
    packing gives Vn (with a note), undetect words are no echo, and the
    folded-noise check runs with --no-unfold too. A packing wider than the
    velocities reach fixes nothing: the one-line refusal stays."""
    pytest.importorskip("h5py")
    odim, wide = tmp_path / "packed.h5", tmp_path / "wide.h5"
    for path in (odim, wide):
        tree = xradar.io.open_datatree(str(folded_volume))
        xradar.io.to_odim(tree, str(path), source="RAD:XX")
    pack_odim_velocities(odim, 2.0 * NYQUIST / 255.0, -NYQUIST)
    pack_odim_velocities(wide, 200.0 / 255.0, -100.0)
    out = tmp_path / "out.nc"
    assert run("vad", odim, "-o", out) == 0
    assert f"Nyquist velocity {NYQUIST:g} m/s from the packing of VRADH" in capsys.readouterr().err
    with xr.open_dataset(out) as ds, xr.open_dataset(folded_volume) as cf:
        np.testing.assert_allclose(ds["nyquist_velocity"].values, NYQUIST, rtol=1e-12)
        # Every gate without echo (NaN in the CfRadial file) is left out, none with.
        echo = np.isfinite(cf["VRADH"].values).reshape(ds.sizes["sweep"], -1, ds.sizes["range"])
        np.testing.assert_array_equal(ds["n"].values, echo.sum(axis=1))
        u_true, v_true = strong_wind(ds["height"].values)
        err = np.hypot(ds["u"].values - u_true, ds["v"].values - v_true)
        assert np.isfinite(err).mean() > 0.95 and np.nanmax(err) < 1.0
    assert run("vad", odim, "-o", out, "--no-unfold", "--overwrite") == 1
    assert "no better than folded noise" in capsys.readouterr().err
    assert run("vad", wide, "-o", out, "--overwrite") == 1
    err = capsys.readouterr().err.strip()
    assert "--nyquist" in err and len(err.splitlines()) == 1


def test_command_fits_are_those_of_rings_laid_out_by_hand(tmp_path):
    """Where nothing folds and no ring is flagged, every field of every ring
    the command writes is that of one tarnwell.vad call on the rings laid out
    by hand from the CfRadial1 file, bit for bit, whatever the thread count
    (80 rings a sweep: several chunks)."""
    netCDF4 = pytest.importorskip("netCDF4")
    path = tmp_path / "unfolded.nc"
    _sample_data.write_radar_volume(str(path), n_azimuth=360, n_range=80, nyquist=60.0)
    with netCDF4.Dataset(path) as nc:
        vel, az, el, starts, ends = (
            np.ma.filled(nc[name][:].astype(np.float64), np.nan)
            for name in ("VRADH", "azimuth", "elevation")
            + ("sweep_start_ray_index", "sweep_end_ray_index")
        )
    az = np.deg2rad(az)
    want = []
    for first, last in zip(starts, ends, strict=True):
        rays = slice(int(first), int(last) + 1)
        cos_el = np.cos(np.deg2rad(np.median(el[rays])))
        fit = tarnwell.vad(vel[rays].T, az[rays], cos_el=cos_el, min_gates=30, min_spread=0.2)
        want.append(fit)
    names = {"u_fitted": "u", "v_fitted": "v", "a0": "a0", "rms": "rms", "n": "n"}
    names |= {"a0_2": "a0_2", "s2": "s2", "c2": "c2"}
    for threads in (1, 3):
        out = tmp_path / f"vad{threads}.nc"
        assert run("vad", path, "-o", out, "-q", "--threads", threads) == 0
        with xr.open_dataset(out) as got:
            assert got["unfolded_gates"].values.sum() == 0
            assert set(np.unique(got["quality_flag"].values)) <= {0, 1}
            assert np.isfinite(got["u_fitted"].values).mean() > 0.8
            for written, field in names.items():
                expected = np.stack([getattr(fit, field) for fit in want])
                np.testing.assert_array_equal(got[written].values, expected, err_msg=written)


@pytest.mark.parametrize(
    "values",
    [
        [],
        [np.nan] * 3,
        [2.5],
        [2.5, np.nan, 2.5],
        [2.5, 2.5, 2.6],
        [0.0, -0.0, np.nan],
        [-0.0, 0.0],
        [np.inf, np.inf],
        [np.inf, 3.0, 3.0],
        [-1.0, -1.0, np.nan],
    ],  # fmt: skip
)
def test_constant_sweep_against_the_gathered_valid_gates(values):
    from tarnwell.cli.radar_quality import constant_value

    vr = np.array(values, dtype=np.float64).reshape(-1, 1)
    valid = vr[np.isfinite(vr)]
    want = float(valid[0]) if valid.size >= 2 and np.all(valid == valid[0]) else None
    got = constant_value(vr)
    assert (got is None) == (want is None)
    if want is not None:
        assert np.float64(got).tobytes() == np.float64(want).tobytes()
