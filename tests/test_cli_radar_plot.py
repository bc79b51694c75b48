"""`tarnwell vad`, `tarnwell plot` and `tarnwell diagnose --scheduler`."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
xradar = pytest.importorskip("xradar")
pytest.importorskip("matplotlib")

import tarnwell  # noqa: E402
from tarnwell import _sample_data  # noqa: E402
from tarnwell.cli import main  # noqa: E402

NOISE = 1.0  # m/s, standard deviation of the synthetic radial velocities


def run(*args: object) -> int:
    return main([str(a) for a in args])


@pytest.fixture(scope="module")
def radar(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("radar") / "volume.nc"
    _sample_data.write_radar_volume(str(path), n_azimuth=180, n_range=60, noise=NOISE)
    return path


@pytest.fixture(scope="module")
def vad_file(radar: Path, tmp_path_factory: pytest.TempPathFactory) -> Path:
    out = tmp_path_factory.mktemp("vad") / "vad.nc"
    assert run("vad", radar, "-o", out, "-q") == 0
    return out


def test_vad_recovers_the_known_wind_profile(vad_file):
    with xr.open_dataset(vad_file) as ds:
        u, v, n = ds["u"].values, ds["v"].values, ds["n"].values
        height = ds["height"].values
        assert ds["u"].dims == ("sweep", "range")
        assert ds["height"].attrs["units"] == "m"
    u_true, v_true = _sample_data.radar_wind(height)
    fitted = np.isfinite(u)
    assert fitted.mean() > 0.95
    # About 90 % of 180 rays are valid: the fit's standard error is near
    # NOISE * sqrt(2 / 160) = 0.11 m/s; beam-height spread adds a little.
    err_u = np.abs(u - u_true)[fitted]
    err_v = np.abs(v - v_true)[fitted]
    assert np.median(err_u) < 0.15 and np.median(err_v) < 0.15
    assert err_u.max() < 0.8 and err_v.max() < 0.8
    assert np.all((n[fitted] > 140) & (n[fitted] <= 180))


def test_vad_equals_the_function_on_the_same_rings(radar, vad_file):
    tree = xradar.io.open_datatree(str(radar))
    with xr.open_dataset(vad_file) as ds:
        got = ds.load()
    for i in range(got.sizes["sweep"]):
        sweep = tree[f"sweep_{i}"].to_dataset()
        vr = sweep["VRADH"].values.astype(np.float64).T  # rings: one range gate, all rays
        az = np.deg2rad(sweep["azimuth"].values)[None, :] * np.ones((vr.shape[0], 1))
        cos_el = np.cos(np.deg2rad(np.median(sweep["elevation"].values)))
        res = tarnwell.vad(vr, az, cos_el=cos_el, min_gates=30, min_spread=0.2)
        for name in tarnwell.Vad._fields:
            np.testing.assert_array_equal(got[name].values[i], getattr(res, name), err_msg=name)


def add_odim_nyquist(path: Path, nyquist: float) -> None:
    """ODIM_H5 keeps the Nyquist velocity as the attribute NI of each
    dataset's ``how`` group; xradar's ODIM writer leaves it out."""
    import h5py

    with h5py.File(path, "r+") as h5:
        for name in h5:
            if name.startswith("dataset"):
                h5[name].require_group("how").attrs["NI"] = nyquist


def test_vad_reads_odim_as_written_by_xradar(radar, vad_file, tmp_path):
    """The same volume exported to ODIM_H5: xradar's ODIM reader labels the
    velocity "meters per seconds" (UDUNITS' "per"). ODIM stores velocities
    packed as integers and one elevation per sweep (CfRadial: one per ray), so
    the fits agree with the CfRadial run's to the packing step (about 1e-3
    m/s) over the same gates, and beam heights to the elevation's spread."""
    pytest.importorskip("h5py")
    odim = tmp_path / "volume.h5"
    xradar.io.to_odim(xradar.io.open_datatree(str(radar)), str(odim), source="RAD:XX")
    add_odim_nyquist(odim, _sample_data.RADAR_NYQUIST)
    units = xradar.io.open_datatree(str(odim))["sweep_0"].to_dataset()["VRADH"].attrs["units"]
    assert "per" in units.split()
    out = tmp_path / "vad_odim.nc"
    assert run("vad", odim, "-o", out, "-q") == 0
    with xr.open_dataset(vad_file) as a, xr.open_dataset(out) as b:
        assert a["u"].shape == b["u"].shape
        np.testing.assert_array_equal(b["n"].values, a["n"].values)
        np.testing.assert_allclose(b["height"].values, a["height"].values, rtol=0.01)
        for name in ("u", "v", "a0", "rms"):
            np.testing.assert_allclose(b[name].values, a[name].values, atol=0.01, err_msg=name)


def test_vad_bad_input(tmp_path, capsys, radar):
    junk = tmp_path / "junk.bin"
    junk.write_bytes(b"\x00\x01junk" * 100)
    out = tmp_path / "out.nc"
    assert run("vad", junk, "-o", out) == 1
    err = capsys.readouterr().err.strip()
    assert err.startswith("tarnwell vad: error:") and "cannot read" in err
    assert len(err.splitlines()) == 1
    assert run("vad", radar, "-o", out, "--velocity", "NOPE") == 1
    assert "NOPE" in capsys.readouterr().err
    assert not out.exists()


@pytest.fixture(scope="module")
def diag_file(tmp_path_factory: pytest.TempPathFactory) -> Path:
    d = tmp_path_factory.mktemp("diag")
    model = d / "model.nc"
    _sample_data.model_dataset(nt=2, nz=16, ny=30, nx=36, dx=8000.0).to_netcdf(model)
    out = d / "diag.nc"
    assert run("diagnose", model, "-o", out, "-q") == 0
    return out


def test_plot_sheet_has_the_expected_panels(diag_file, vad_file, tmp_path):
    import matplotlib.image

    from tarnwell.cli import plotting

    png = tmp_path / "sheet.png"
    assert run("plot", diag_file, vad_file, "-o", png, "-q") == 0
    pixels = matplotlib.image.imread(png)
    assert pixels.shape[0] > 500 and pixels.std() > 0.05  # a picture, not a blank page

    datasets = [plotting.open_product(str(p)) for p in (diag_file, vad_file)]
    fig = plotting.figure_sheet(datasets)
    every_axes = [*fig.axes, *(child for ax in fig.axes for child in ax.child_axes)]
    titles = [ax.get_title() for ax in every_axes]
    for expected in (
        "Cold-pool intensity",
        "0–3 km storm-relative helicity",
        "θe cross-section",
        "Baroclinity",
        "VAD wind profile",
    ):
        assert any(t.startswith(expected) for t in titles), (expected, titles)
    hodographs = [t for t in titles if t.startswith("Hodograph")]
    assert len(hodographs) == 3
    colorbars = [ax.get_ylabel() for ax in fig.axes]
    for unit_label in ("intensity (m s$^{-1}$)", "helicity (m$^2$ s$^{-2}$)", "θe (K)"):
        assert unit_label in colorbars
    vad_ax = next(ax for ax in fig.axes if ax.get_title() == "VAD wind profile")
    assert "height" in vad_ax.get_ylabel()
    labels = [t.get_text() for t in vad_ax.get_legend().get_texts()]
    assert labels[:2] == ["speed", "rms of the fit"] and labels[-1] == "direction (top axis)"
    assert any(ax.get_xlabel().startswith("direction") for ax in fig.axes)
    for ds in datasets:
        ds.close()
    import matplotlib.pyplot as plt

    plt.close(fig)


def test_plot_refuses_other_files(tmp_path, capsys, radar):
    assert run("plot", radar, "-o", tmp_path / "x.png") == 1
    err = capsys.readouterr().err
    assert "not an output of" in err
    assert not (tmp_path / "x.png").exists()


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        processes=True, n_workers=2, threads_per_worker=1, dashboard_address=":0"
    ) as cluster:
        yield cluster


@pytest.mark.parametrize("suffix", [".nc", ".zarr"])
def test_scheduler_gives_the_same_file(cluster, diag_file, tmp_path, suffix):
    model = diag_file.parent / "model.nc"
    out = tmp_path / f"remote{suffix}"
    assert (
        run(
            "diagnose",
            model,
            "-o",
            out,
            "-q",
            "--scheduler",
            cluster.scheduler_address,
            "--chunks",
            "time=1",
        )
        == 0
    )
    opened = xr.open_zarr(out) if suffix == ".zarr" else xr.open_dataset(out)
    with opened as remote, xr.open_dataset(diag_file) as local:
        assert set(remote.data_vars) == set(local.data_vars)
        for name in local.data_vars:
            if local[name].dtype.kind == "f":
                np.testing.assert_array_equal(remote[name].values, local[name].values, name)


def jet_of_no_atmosphere(height):
    """10 m/s below 2 km, 150 m/s above: faster than any wind measured."""
    u = np.where(height < 2000.0, 10.0, 150.0)
    return u, np.zeros_like(height)


def test_winds_no_atmosphere_gives_are_flagged_and_drawn_off_scale(tmp_path, capsys):
    """Rings fitting 150 m/s are left out as implausible_wind, with a warning;
    the picture draws them on the speed axis's right edge with their count
    and top speed in the legend, not beyond the picture."""
    from tarnwell.cli import plotting, radar_quality

    path, out = tmp_path / "jet.nc", tmp_path / "vad.nc"
    _sample_data.write_radar_volume(
        str(path), n_azimuth=180, n_range=60, nyquist=None, wind=jet_of_no_atmosphere
    )
    assert run("vad", path, "-o", out, "-q", "--no-unfold") == 0
    assert "faster than 120 m/s" in capsys.readouterr().err
    with xr.open_dataset(out) as ds:
        flags, height = ds["quality_flag"].values, ds["height"].values
        fast = np.hypot(ds["u_fitted"].values, ds["v_fitted"].values) > 120.0
        assert ds.attrs["tarnwell_rings_implausible_wind"] == int((flags == 5).sum()) > 0
        np.testing.assert_array_equal(flags == 5, fast & (flags != 4))
        assert np.all(height[flags == 5] > 1500.0) and np.nanmax(ds["speed"].values) < 20.0
        assert ds["quality_flag"].attrs["flag_meanings"].split()[5] == "implausible_wind"
        left_out = int((flags >= 3).sum())
        top = float(np.nanmax(np.hypot(ds["u_fitted"].values, ds["v_fitted"].values)[flags >= 3]))
    product = plotting.open_product(str(out))
    fig = plotting.figure_sheet([product])
    ax = fig.axes[0]
    edge = ax.get_xlim()[1]
    assert edge < radar_quality.MAX_PLAUSIBLE_WIND
    labels = [t.get_text() for t in ax.get_legend().get_texts()]
    off = next(c for c in ax.collections if c.get_label().startswith("off scale"))
    assert off.get_label() == f"off scale: {left_out:,} rings up to {top:,.0f} m/s"
    assert off.get_label() in labels and f"left out ({left_out:,} rings)" in labels
    np.testing.assert_array_equal(off.get_offsets()[:, 0], edge)
    product.close()
    import matplotlib.pyplot as plt

    plt.close(fig)
