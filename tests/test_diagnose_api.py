"""`tarnwell.open_model` and `tarnwell.diagnose`: the command's main job in a notebook,
the same bits as the command's output."""

from __future__ import annotations

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("dask")

import tarnwell  # noqa: E402
from tarnwell import _sample_data  # noqa: E402
from tarnwell.cli import main  # noqa: E402


@pytest.fixture(scope="module")
def model_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("api") / "model.nc"
    _sample_data.model_dataset(nt=2, nz=10, ny=12, nx=13, dx=10000.0, seed=8).to_netcdf(path)
    return path


@pytest.mark.parametrize("chunks", [None, {"time": 1}], ids=["eager", "lazy"])
def test_the_library_call_is_the_command_bit_for_bit(model_file, tmp_path, chunks):
    out = tmp_path / "diag.nc"
    extra = ["--chunks", "time=1"] if chunks else []
    assert main(["diagnose", str(model_file), "-o", str(out), "-q", "--threads", "2", *extra]) == 0
    with tarnwell.open_model(model_file, chunks=chunks) as ds:
        result = tarnwell.diagnose(ds, n_threads=2)
        fields = [v for v in result.data_vars.values() if v.ndim]
        assert all((v.chunks is not None) == bool(chunks) for v in fields)
        result = result.compute()
    with xr.open_dataset(out) as written:
        assert sorted(written.variables) == sorted(result.variables)
        for name in result.variables:
            stored = result[name].astype(written[name].dtype)
            np.testing.assert_array_equal(written[name].values, stored.values, err_msg=str(name))
        assert {k: v for k, v in written.attrs.items() if k != "history"} == result.attrs


def test_fields_and_errors_as_a_library_user_meets_them(model_file, tmp_path):
    # Tab completion and help() see the lazily loaded functions too.
    listed = [name for name in dir(tarnwell) if not name.startswith("_")]
    assert {"diagnose", "open_model"} <= set(listed) and "Any" not in listed
    with tarnwell.open_model(str(model_file)) as ds:
        some = tarnwell.diagnose(ds, fields=["theta_e", "winds"], storm_motion=(10.0, 5.0))
        assert list(some.data_vars)[:3] == ["theta_e", "u_storm", "v_storm"]
        np.testing.assert_array_equal(some["u_storm"].values, 10.0)
        with pytest.raises(ValueError, match="no field or group 'cape'"):
            tarnwell.diagnose(ds, fields="cape")
    with pytest.raises(ValueError, match="no file matches"):
        tarnwell.open_model(tmp_path / "nothing_*.nc")
