"""The CAPE map of `tarnwell plot`: drawn when the diagnostics have CAPE, on any grid."""

from __future__ import annotations

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("matplotlib")
pytest.importorskip("netCDF4")

from test_plot_grids import lat_lon_diagnostics, texts  # noqa: E402, F401

from tarnwell import _sample_data  # noqa: E402
from tarnwell.cli import main, plotting  # noqa: E402

TITLE = "Mixed-layer CAPE, 0–3 km helicity (contours)"


def cape_axes(fig):
    return next(ax for ax in fig.axes if ax.get_title() == TITLE)


def test_cape_map_on_lat_lon(lat_lon_diagnostics):  # noqa: F811
    ds = lat_lon_diagnostics
    assert "cape_ml" in ds
    fig = plotting.figure_sheet([ds], time_index=1)
    ax = cape_axes(fig)
    assert ax.get_xlabel() == "longitude (°E)" and ax.get_ylabel() == "latitude (°N)"
    mesh = ax.collections[0]
    np.testing.assert_array_equal(
        np.ma.filled(mesh.get_array(), np.nan).ravel(),
        ds["cape_ml"].isel(time=1).values.ravel(),
    )
    x0, x1 = ax.get_xlim()
    assert -2.5 <= x0 and x1 <= 32.5  # degrees, not metres


def test_cape_map_on_a_projected_grid_with_helicity_contours(tmp_path):
    ds = _sample_data.model_dataset(nt=2, nz=20, ny=40, nx=50, dx=8000.0, seed=2)
    path, out = tmp_path / "model.nc", tmp_path / "diag.nc"
    ds.to_netcdf(path)
    assert main(["diagnose", str(path), "-o", str(out), "-q"]) == 0
    assert main(["plot", str(out), "-o", str(tmp_path / "sheet.png"), "-q"]) == 0
    assert (tmp_path / "sheet.png").stat().st_size > 20_000
    with xr.open_dataset(out) as diag:
        fig = plotting.figure_sheet([diag])
        ax = cape_axes(fig)
        assert ax.get_xlabel() == "x (km)"
        # The contours are of the helicity shown in the helicity map, at its levels.
        contours = [c for c in ax.collections if hasattr(c, "levels")]
        assert len(contours) == 1
        levels = list(contours[0].levels)
        assert levels and set(levels) <= set(plotting.HELICITY_CONTOURS)
        assert max(levels) <= np.nanmax(diag["helicity_0_3km"].values)
        # Without parcel fields: the sheet as before, no CAPE map.
        bare = diag.drop_vars([v for v in diag.data_vars if v.startswith("cape")])
        words = texts(plotting.figure_sheet([bare]))
        assert TITLE not in words and "Cold-pool intensity" in words
