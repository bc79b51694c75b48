"""What the sheet's panels say: section titles and cells, colour scales, the time
shown and the hodographs' labels, on the model layouts the readers take."""

from __future__ import annotations

import itertools
from pathlib import Path

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("matplotlib")
pytest.importorskip("netCDF4")

from test_plot_grids import lat_lon_diagnostics  # noqa: E402, F401

from tarnwell.cli import main, plotting  # noqa: E402

SECTION = "θe cross-section"


@pytest.fixture(autouse=True)
def close_figures():
    """pyplot keeps every sheet; past 20 it warns, an error under the strict settings."""
    yield
    import matplotlib.pyplot as plt

    plt.close("all")


def axes_titled(fig, start: str):
    return next(ax for ax in fig.axes if ax.get_title().startswith(start))


def diagnosed(tmp_path: Path, model: Path) -> xr.Dataset:
    out = tmp_path / "diag.nc"
    assert main(["diagnose", str(model), "-o", str(out), "-q"]) == 0
    with xr.open_dataset(out) as ds:
        return ds.load()


@pytest.mark.parametrize("cold_pool", [True, False])
def test_section_through_the_cold_pool_only_where_there_is_one(lat_lon_diagnostics, cold_pool):  # noqa: F811
    ds = lat_lon_diagnostics.isel(time=1)
    # No depth in every other column: no cold pool there.
    ds = ds.assign(depth=ds["depth"] * (np.arange(ds.sizes["longitude"]) % 2))
    if not cold_pool:
        ds = ds.assign(intensity=ds["intensity"] * 0.0, depth=ds["depth"] * 0.0)
    ax = axes_titled(plotting.figure_sheet([ds]), SECTION)
    tops = [p for p in ax.patches if type(p).__name__ == "StepPatch"]
    if cold_pool:
        assert "through the strongest cold pool" in ax.get_title()
        row = np.unravel_index(np.nanargmax(ds["intensity"].values), ds["intensity"].shape)[0]
        depth = ds["depth"].values[row]
        (top,) = tops
        drawn = top.get_data().values
        # The top where the cold pool has depth, nothing where it has none.
        assert np.array_equal(np.isfinite(drawn), depth > 0) and (depth == 0).any()
        np.testing.assert_allclose(
            drawn[depth > 0], (ds["height_level_mean"].values[0] + depth[depth > 0]) / 1e3
        )
    else:
        assert "cold pool" in ax.get_title() and "strongest" not in ax.get_title()
        middle = ds["latitude"].values[ds.sizes["latitude"] // 2]
        assert f"latitude {middle:.2f}°" in ax.get_title()
        assert not tops and ax.get_legend() is None


def era5_diagnostics(tmp_path: Path) -> xr.Dataset:
    import test_models_ecmwf

    path = tmp_path / "era5.nc"
    test_models_ecmwf.era5().to_netcdf(path)
    return diagnosed(tmp_path, path)


@pytest.mark.parametrize("source", ["era5", "heights"])
def test_section_starts_at_the_lowest_level(tmp_path, lat_lon_diagnostics, source):  # noqa: F811
    """Eight pressure levels, the lowest 600 m below the next: half a spacing below it
    is under the ground."""
    ds = era5_diagnostics(tmp_path) if source == "era5" else lat_lon_diagnostics
    ax = axes_titled(plotting.figure_sheet([ds]), SECTION)
    edges = ax.collections[0].get_coordinates()[:, 0, 1]
    lowest = ds["height_level_mean"].values[0] / 1e3
    assert edges.min() == pytest.approx(lowest) and ax.get_ylim()[0] == pytest.approx(lowest)
    # The other edges lie midway between the levels.
    z = ds["height_level_mean"].values / 1e3
    np.testing.assert_allclose(edges[1:3], 0.5 * (z[:2] + z[1:3]))


def test_signed_helicity_diverges_from_zero(lat_lon_diagnostics):  # noqa: F811
    ds = lat_lon_diagnostics.isel(time=0)
    hel = ds["helicity_0_3km"]
    ds = ds.assign(helicity_0_3km=hel - float(hel.mean()))  # negative and positive
    mesh = axes_titled(plotting.figure_sheet([ds]), "0–3 km storm").collections[0]
    assert mesh.norm(0.0) == 0.5
    largest = float(np.nanmax(np.abs(ds["helicity_0_3km"].values)))
    assert mesh.norm(-largest) == pytest.approx(0.0) and mesh.norm(largest) == pytest.approx(1.0)
    low, middle, high = mesh.cmap([0.0, 0.5, 1.0])
    assert low[2] > low[0] and high[0] > high[2] and min(middle[:3]) > 0.9  # blue, white, red


@pytest.mark.parametrize(
    ("field", "title", "value"),
    [
        ("cape_ml", "Mixed-layer CAPE", 0.0),
        ("intensity", "Cold-pool intensity", 0.0),
        ("grad_theta", "Baroclinity", 0.0),
        ("cape_ml", "Mixed-layer CAPE", 850.0),
        ("helicity_0_3km", "0–3 km storm", 0.0),
    ],
)
def test_constant_field_colour_bars(lat_lon_diagnostics, field, title, value):  # noqa: F811
    ds = lat_lon_diagnostics.isel(time=0)
    ds = ds.assign({field: ds[field] * 0.0 + value})
    ax = axes_titled(plotting.figure_sheet([ds]), title)
    mesh = ax.collections[0]
    mesh.colorbar.ax.figure.canvas.draw()
    low, high = mesh.colorbar.ax.get_ylim()
    if field == "helicity_0_3km":
        assert low == -high and high > 0  # centred on 0
    else:
        assert low == 0.0 and high >= value and high > 0  # never a negative CAPE
    assert any(t.get_text() == f"{value:g} everywhere" for t in ax.texts)


def forecast_grib(path: Path, hours: tuple[int, ...]) -> None:
    """NCEP GRIB2 messages of one forecast at the steps ``hours``."""
    import test_models_ncep as ncep

    eccodes = pytest.importorskip("eccodes")
    with open(path, "wb") as f:
        for step in hours:
            fields = ncep.fields_of_a_column(np.random.default_rng(step))
            for ((category, number), kind, level), values in fields.items():
                h = eccodes.codes_grib_new_from_samples("GRIB2")
                keys = {"centre": 7, **ncep.regular_grid(), "discipline": 0}
                keys.update(parameterCategory=category, parameterNumber=number)
                keys.update(typeOfFirstFixedSurface=kind, scaleFactorOfFirstFixedSurface=0)
                keys.update(scaledValueOfFirstFixedSurface=level * (100 if kind == 100 else 1))
                keys.update(bitsPerValue=24, forecastTime=step)
                for key, value in keys.items():
                    eccodes.codes_set(h, key, value)
                eccodes.codes_set_values(h, values.reshape(-1))
                eccodes.codes_write(h, f)
                eccodes.codes_release(h)


@pytest.mark.parametrize(
    ("hours", "time_index", "title"),
    [((6,), None, "2007-03-23T18:00 (step +6 h)"), ((0, 3), 1, "2007-03-23T15:00 (step +3 h)")],
)
def test_forecast_time_is_the_valid_time(tmp_path, hours, time_index, title):
    """GRIB's reference time is ``time``, its forecast step ``step``: the map is valid
    at their sum."""
    pytest.importorskip("cfgrib")
    path = tmp_path / "gfs.t12z.pgrb2.1p00.grib2"
    forecast_grib(path, hours)
    ds = diagnosed(tmp_path, path)
    assert main(["plot", str(tmp_path / "diag.nc"), "-o", str(tmp_path / "s.png"), "-q"]) == 0
    suptitle = plotting.figure_sheet([ds], time_index=time_index)._suptitle.get_text()
    assert suptitle == f"tarnwell diagnostics, {title}"


def test_wrf_hodograph_labels_do_not_overprint(tmp_path):
    import test_models_wrf

    path = tmp_path / "wrfout_d01_2024-05-20_18:00:00"
    test_models_wrf.wrfout().to_netcdf(path, format="NETCDF4", unlimited_dims=["Time"])
    fig = plotting.figure_sheet([diagnosed(tmp_path, path)])
    fig.canvas.draw()  # laid out as saved
    renderer = fig.canvas.get_renderer()
    hodographs = [ax for ax in fig.axes if ax.get_title().startswith("Hodograph")]
    assert len(hodographs) == 3
    for ax in hodographs:
        labels = [(t.get_text(), t.get_window_extent(renderer)) for t in ax.texts]
        assert sorted(",".join(text for text, _ in labels).split(",")) == ["0", "1", "3", "6"]
        for (a, box_a), (b, box_b) in itertools.combinations(labels, 2):
            assert not box_a.overlaps(box_b), (ax.get_title(), a, b)
        # Inside the hodograph, and on none of its markers (the points, the storm).
        markers = [ax.transData.transform(xy) for line in ax.lines for xy in line.get_xydata()]
        for text, box in labels:
            assert ax.bbox.contains(*box.p0) and ax.bbox.contains(*box.p1), text
            assert not any(box.contains(*xy) for xy in markers if np.isfinite(xy).all()), text
