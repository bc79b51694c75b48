"""The command against hostile, huge and wrong inputs and careless command lines:
each is refused by one line on stderr, quickly, with the inputs untouched."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("dask")
pytest.importorskip("netCDF4")
pytest.importorskip("zarr")

from tarnwell import _sample_data  # noqa: E402


@pytest.fixture(scope="module")
def model(tmp_path_factory: pytest.TempPathFactory) -> xr.Dataset:
    return _sample_data.model_dataset(nt=2, nz=8, ny=12, nx=14, dx=10000.0, seed=3)


def run(*args: object, timeout: float = 60, **kwargs) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "tarnwell", *map(str, args)],
        capture_output=True,
        text=True,
        timeout=timeout,
        **kwargs,
    )


def one_line(err: str, *words: str) -> str:
    lines = err.strip().splitlines()
    assert len(lines) == 1, err
    for word in words:
        assert word in lines[0], err
    return lines[0]


def snapshot(directory: Path) -> dict[str, tuple[int, bytes | None]]:
    return {
        str(p.relative_to(directory)): (p.lstat().st_ino, p.read_bytes() if p.is_file() else None)
        for p in sorted(directory.rglob("*"))
    }


# --- the output is never the input ------------------------------------------


@pytest.mark.parametrize("chunks", [None, "time=1"])
@pytest.mark.parametrize("alias", ["same path", "symlink", "hard link", "zarr store"])
def test_overwrite_never_replaces_the_input(model, tmp_path, chunks, alias):
    if alias == "zarr store":
        # A store this command wrote is one --overwrite may replace.
        source = tmp_path / "m.zarr"
        model.assign_attrs(tarnwell_product="diagnose").to_zarr(source, zarr_format=2)
    else:
        source = tmp_path / "m.nc"
        model.to_netcdf(source)
    output = source
    if alias == "symlink":
        output = tmp_path / "link.nc"
        output.symlink_to(source)
    elif alias == "hard link":
        output = tmp_path / "twin.nc"
        os.link(source, output)
    before = snapshot(tmp_path)
    extra = ["--chunks", chunks] if chunks else []
    done = run("diagnose", source, "-o", output, "--overwrite", "-q", *extra)
    assert done.returncode == 1, done.stderr
    one_line(done.stderr, "tarnwell diagnose: error:", "the input", "never replaced")
    assert snapshot(tmp_path) == before
