"""`tarnwell plot` on diagnostics of lat/lon grids, other time dimensions and ensembles."""

from __future__ import annotations

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("matplotlib")
pytest.importorskip("netCDF4")

from test_diagnose_geo import lat_lon_fields  # noqa: E402

from tarnwell.cli import diagnose as diag  # noqa: E402
from tarnwell.cli import main, models, plotting  # noqa: E402


@pytest.fixture(scope="module")
def lat_lon_diagnostics() -> xr.Dataset:
    lat = np.arange(50.0, 19.0, -2.5)
    lon = np.arange(0.0, 31.0, 2.5)
    fields = lat_lon_fields(lat, lon, seed=3)
    original = models.read
    models.read = lambda ds, variables, level_dim: fields  # type: ignore[assignment]
    try:
        out = diag.diagnose(xr.Dataset({"t": fields.temperature}), {}, diag.Options())
    finally:
        models.read = original  # type: ignore[assignment]
    coords = {
        "time": np.array(["2024-05-01T00", "2024-05-01T01"], dtype="datetime64[ns]"),
        "latitude": ("latitude", lat, {"units": "degrees_north", "standard_name": "latitude"}),
        "longitude": ("longitude", lon, {"units": "degrees_east", "standard_name": "longitude"}),
    }
    return out.assign_coords(coords)


def texts(fig) -> list[str]:
    found = [fig._suptitle.get_text()] if fig._suptitle else []
    for ax in fig.axes:
        found += [ax.get_title(), ax.get_xlabel(), ax.get_ylabel()]
    return found


def test_lat_lon_axes_in_degrees(lat_lon_diagnostics):
    fig = plotting.figure_sheet([lat_lon_diagnostics], time_index=1)
    words = texts(fig)
    assert "longitude (°E)" in words and "latitude (°N)" in words
    assert not any("(km)" in w and "itude" in w for w in words)
    section = next(w for w in words if w.startswith("θe cross-section"))
    intensity = lat_lon_diagnostics["intensity"].isel(time=1).values
    row = np.unravel_index(np.nanargmax(intensity), intensity.shape)[0]
    latitude = float(lat_lon_diagnostics["latitude"][row])
    assert f"latitude {latitude:.2f}°" in section, section
    cold_pool = next(ax for ax in fig.axes if ax.get_title() == "Cold-pool intensity")
    x0, x1 = cold_pool.get_xlim()
    assert 0.0 - 2.5 <= x0 and x1 <= 30.0 + 2.5  # degrees, not degrees / 1000
    assert "2024-05-01T01:00" in fig._suptitle.get_text()


@pytest.mark.parametrize("time_name", ["Time", "valid_time"])
def test_any_time_dimension_and_an_ensemble(lat_lon_diagnostics, tmp_path, time_name):
    members = [lat_lon_diagnostics, lat_lon_diagnostics.copy(deep=True)]
    members[1]["intensity"] = members[1]["intensity"] + 100.0
    ens = xr.concat(members, dim="number").assign_coords(number=[0, 3])
    ens = ens.rename(time=time_name).transpose("number", time_name, ...)
    ens.attrs = dict(lat_lon_diagnostics.attrs)
    path = tmp_path / "ens.nc"
    ens.to_netcdf(path)
    assert main(["plot", str(path), "-o", str(tmp_path / "a.png"), "-q"]) == 0
    assert (tmp_path / "a.png").stat().st_size > 10_000
    with xr.open_dataset(path) as ds:
        fig = plotting.figure_sheet([ds], select={"number": 1})
        title = fig._suptitle.get_text()
        assert "number 3" in title
        cold_pool = next(ax for ax in fig.axes if ax.get_title() == "Cold-pool intensity")
        assert "max 1" in cold_pool.texts[0].get_text()  # the second member: +100 m/s
    assert main(["plot", str(path), "-o", str(tmp_path / "b.png"), "--select", "member=1"]) == 1


def test_scalar_time(lat_lon_diagnostics, tmp_path, capsys):
    one = lat_lon_diagnostics.isel(time=0)
    assert one["time"].ndim == 0
    path = tmp_path / "one.nc"
    one.to_netcdf(path)
    assert main(["plot", str(path), "-o", str(tmp_path / "one.png"), "-q"]) == 0
    with xr.open_dataset(path) as ds:
        fig = plotting.figure_sheet([ds])
        assert "2024-05-01T00:00" in fig._suptitle.get_text()
    assert main(["plot", str(path), "-o", str(tmp_path / "x.png"), "--time", "3"]) == 1
    assert "one time" in capsys.readouterr().err
