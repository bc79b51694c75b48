"""`tarnwell diagnose --significant-digits N`: fields rounded to N digits, the rest untouched."""

from __future__ import annotations

import os

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("dask")
pytest.importorskip("netCDF4")
pytest.importorskip("zarr")

from probes import model_stored_as_models_store  # noqa: E402

from tarnwell.cli import main  # noqa: E402

ROUNDING_ATTR = "_QuantizeBitRoundNumberOfSignificantBits"


@pytest.fixture(scope="module")
def model(tmp_path_factory: pytest.TempPathFactory):
    path = tmp_path_factory.mktemp("digits") / "model.nc"
    return model_stored_as_models_store(path, nt=2, seed=3)


def run(*args: object) -> int:
    return main([str(a) for a in args])


def stored_bytes(path) -> int:
    if os.path.isfile(path):
        return os.path.getsize(path)
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(path) for f in fs)


def bit_round(x: np.ndarray, bits: int, ties: str) -> np.ndarray:
    """``x`` rounded to ``bits`` mantissa bits after the leading one, ties to
    even (numcodecs) or away from zero (netCDF-C)."""
    m, e = np.frexp(x)  # x = m 2**e, 0.5 <= |m| < 1: m holds bits + 1 bits
    scaled = m * x.dtype.type(2.0 ** (bits + 1))
    whole = np.round(scaled)
    if ties == "away":
        tie = np.abs(scaled - np.trunc(scaled)) == 0.5
        whole = np.where(tie, np.trunc(scaled) + np.sign(scaled), whole)
    return np.ldexp(whole / x.dtype.type(2.0 ** (bits + 1)), e).astype(x.dtype)


@pytest.mark.parametrize(
    ("suffix", "digits", "bits", "extra", "shrink"),
    [
        (".nc", 3, 10, [], 0.8),
        (".zarr", 2, 7, ["--chunks", "time=1"], 0.8),
        # 40 of float64's 52 bits: 12 zero bits in each 64 at best.
        (".nc", 12, 40, ["--dtype", "float64"], 0.95),
    ],
    ids=["netcdf-3", "zarr-2-chunked", "netcdf-float64-12"],
)
def test_fields_rounded_to_n_digits_and_nothing_else(
    model, tmp_path, suffix, digits, bits, extra, shrink
):
    """Each rounded value is the lossless one rounded to ``bits`` mantissa bits (a
    plain frexp evaluation), and so within half a unit of its N-th digit; NaNs,
    coordinates and flags are as in the lossless output, bit for bit."""
    exact, rounded = tmp_path / f"exact{suffix}", tmp_path / f"rounded{suffix}"
    assert run("diagnose", model, "-o", exact, "-q", *extra) == 0
    assert run("diagnose", model, "-o", rounded, "-q", "--significant-digits", digits, *extra) == 0
    with xr.open_dataset(exact) as a, xr.open_dataset(rounded) as b:
        assert set(a.variables) == set(b.variables)
        seen = 0
        for name in a.variables:
            x, q = a[name].values, b[name].values
            if name in a.coords or "flag_values" in a[name].attrs or x.dtype.kind != "f":
                assert np.array_equal(q, x, equal_nan=True), name
                assert ROUNDING_ATTR not in b[name].attrs, name
                continue
            seen += 1
            assert b[name].attrs[ROUNDING_ATTR] == bits, name
            assert q.dtype == x.dtype, name
            ties = "even" if suffix == ".zarr" else "away"
            np.testing.assert_array_equal(q, bit_round(x, bits, ties), err_msg=name)
            finite = np.isfinite(x) & (x != 0)
            digit = np.floor(np.log10(np.abs(x[finite].astype(np.float64))))
            error = np.abs(q[finite].astype(np.float64) - x[finite])
            assert (error <= 0.5 * 10.0 ** (digit - digits + 1)).all(), name
            assert np.array_equal(q[~finite], x[~finite], equal_nan=True), name
        assert seen > 40  # thermo, winds, parcels, composites, gradients
        assert "open_top" in a  # the flag was there to be left alone
    assert stored_bytes(rounded) < shrink * stored_bytes(exact)


@pytest.mark.parametrize(
    ("value", "status", "message"),
    [
        ("0", 2, "expected 1 to 15"),
        ("16", 2, "expected 1 to 15"),
        ("2.5", 2, "expected 1 to 15"),
        ("8", 1, "stored as float32, which holds at most 7 significant digits, not 8"),
    ],
)
def test_digits_a_field_cannot_hold_are_refused(model, tmp_path, capsys, value, status, message):
    out = tmp_path / "out.nc"
    if status == 2:
        with pytest.raises(SystemExit) as stop:
            run("diagnose", model, "-o", out, "--significant-digits", value)
        assert stop.value.code == 2
    else:
        assert run("diagnose", model, "-o", out, "-q", "--significant-digits", value) == 1
    lines = capsys.readouterr().err.strip().splitlines()
    assert message in lines[-1]
    assert not out.exists()
