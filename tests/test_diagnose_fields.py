"""`--fields`: only the named fields are written, only what they need is computed, and
each is bit for bit the field of the full run."""

from __future__ import annotations

import numpy as np
import pytest

xr = pytest.importorskip("xarray")

from tarnwell import _sample_data, composites, horizontal, kernels  # noqa: E402
from tarnwell._native import lifts  # noqa: E402
from tarnwell.cli import diagnose as diag  # noqa: E402
from tarnwell.cli import main  # noqa: E402
from tarnwell.cli.errors import CommandError  # noqa: E402


@pytest.fixture(scope="module")
def model():
    return _sample_data.model_dataset(nt=2, nz=12, ny=14, nx=16, dx=10000.0, seed=4)


@pytest.fixture(scope="module")
def full(model):
    return diag.diagnose(model, {}, diag.Options(n_threads=2))


def fields_of(ds):
    """The diagnosed fields (the grid mapping carried over is a scalar)."""
    return [name for name in ds.data_vars if ds[name].ndim]


def test_the_catalogue_is_what_a_full_run_writes(full):
    assert fields_of(full) == list(diag.GROUP_OF)


def _refuse(*_args, **_kwargs):
    raise AssertionError("computed a field no requested field needs")


# Each selection, and the computations it must not run.
SELECTIONS = {
    "theta_e,helicity_0_3km": [(lifts, "parcels_and_layer"), (kernels, "cold_pool")],
    "cold_pool,grad_theta": [(lifts, "parcels_and_layer"), (kernels, "profile")],
    "parcels": [(kernels, "profile"), (composites, "significant_tornado_parameter")],
    "stp,scp": [(kernels, "cold_pool"), (horizontal, "gradient")],
    "cape_mu,u_storm,dfdy_theta_v": [(composites, "supercell_composite_parameter")],
}


@pytest.mark.parametrize("text", SELECTIONS)
def test_a_selection_is_the_full_run_on_its_fields(model, full, monkeypatch, text):
    for module, name in SELECTIONS[text]:
        monkeypatch.setattr(module, name, _refuse)
    wanted = diag.parse_fields(text)
    part = diag.diagnose(model, {}, diag.Options(n_threads=2, fields=wanted))
    assert fields_of(part) == [n for n in fields_of(full) if n in wanted]
    for name in wanted:
        assert part[name].identical(full[name]), name
        assert part[name].encoding["dtype"] == full[name].encoding["dtype"]


SB, ML, MU = lifts.SURFACE_BASED, lifts.MIXED_LAYER, lifts.MOST_UNSTABLE
LAYER = lifts.EFFECTIVE_LAYER
# Each parcel or composite selection, and the only lifts it may ask for.
LIFTS = {
    "cape_sb": SB,
    "lcl_height_ml,el_pressure_mu": ML | MU,
    "top_height_effective,helicity_effective": LAYER,
    "bulk_wind_difference_effective": LAYER | MU,
    "stp": LAYER | MU | ML,
    "scp": LAYER | MU,
}


@pytest.mark.parametrize("text", LIFTS)
def test_a_parcel_selection_lifts_only_what_it_reads(model, full, monkeypatch, text):
    asked = []
    compute = lifts.parcels_and_layer

    def spy(p, t, td, z, parts, n_threads):
        asked.append(parts)
        return compute(p, t, td, z, parts, n_threads=n_threads)

    monkeypatch.setattr(lifts, "parcels_and_layer", spy)
    if not LIFTS[text] & MU:
        monkeypatch.setattr(composites, "effective_bulk_wind_difference", _refuse)
    wanted = diag.parse_fields(text)
    part = diag.diagnose(model, {}, diag.Options(n_threads=2, fields=wanted))
    assert set(asked) == {LIFTS[text]}
    assert fields_of(part) == [n for n in fields_of(full) if n in wanted]
    for name in wanted:
        assert part[name].identical(full[name]), name


def test_names_that_are_not_fields_and_fields_the_file_cannot_give(model):
    with pytest.raises(CommandError, match="no field or group 'cape'; the groups are thermo"):
        diag.parse_fields("theta_e,cape")
    no_wind = model.drop_vars(["U", "V"])
    with pytest.raises(CommandError, match="cannot write stp: .*no eastward and northward wind"):
        diag.diagnose(no_wind, {}, diag.Options(fields=diag.parse_fields("theta,stp")))


def test_the_command_writes_only_the_fields_asked_for(model, full, tmp_path):
    source, out = tmp_path / "m.nc", tmp_path / "d.nc"
    model.to_netcdf(source)
    assert main([
        "diagnose", str(source), "-o", str(out), "-q", "--fields", "scp, theta_e", "--threads", "2"
    ]) == 0  # fmt: skip
    with xr.open_dataset(out) as written:
        assert sorted(fields_of(written)) == ["scp", "theta_e"]
        for name in ("scp", "theta_e"):
            stored = full[name].astype(written[name].dtype)
            np.testing.assert_array_equal(written[name].values, stored.values)
