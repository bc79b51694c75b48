"""Long runs of the command under faults (run by .ci/run): a signal during a real,
unhurried write of a large output, and peak memory against the file's length."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("dask")
pytest.importorskip("netCDF4")
pytest.importorskip("zarr")

from tarnwell import _sample_data  # noqa: E402

pytestmark = pytest.mark.slow

GRID = {"nz": 30, "ny": 100, "nx": 120}


def compressed(ds: xr.Dataset, path: Path) -> Path:
    """``ds`` written as models write netCDF-4: compressed, one time step per chunk."""
    encoding = {
        name: {"zlib": True, "complevel": 1, "chunksizes": (1, *var.shape[1:])}
        for name, var in ds.data_vars.items()
        if var.ndim >= 3
    }
    ds.to_netcdf(path, encoding=encoding)
    return path


def model_file(directory: Path, nt: int) -> Path:
    """``nt`` time steps of the sample model, written one step at a time."""
    steps = [_sample_data.model_dataset(nt=1, seed=s, first_time=s, **GRID) for s in range(nt)]
    return compressed(xr.concat(steps, "time", data_vars="all"), directory / f"model_{nt}.nc")


def wrf_file(directory: Path, nt: int) -> Path:
    import test_models_wrf as wrf

    with pytest.MonkeyPatch.context() as patch:
        for name, n in {"NT": nt, "NZ": GRID["nz"], "NY": GRID["ny"], "NX": GRID["nx"]}.items():
            patch.setattr(wrf, name, n)
        return compressed(wrf.wrfout(), directory / f"wrfout_{nt}")


@pytest.fixture(scope="module")
def files(tmp_path_factory: pytest.TempPathFactory) -> dict[int, Path]:
    directory = tmp_path_factory.mktemp("long")
    return {nt: model_file(directory, nt) for nt in (2, 24)}


@pytest.fixture(scope="module")
def wrf_files(tmp_path_factory: pytest.TempPathFactory) -> dict[int, Path]:
    directory = tmp_path_factory.mktemp("wrf")
    return {nt: wrf_file(directory, nt) for nt in (2, 12)}


@pytest.mark.parametrize("suffix, chunks", [(".nc", None), (".nc", "time=1"), (".zarr", None)])
@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_a_signal_during_a_real_write(files, tmp_path, suffix, chunks, signum):
    """No slowed-down library: the signal goes when the partial output appears."""
    out = tmp_path / f"diag{suffix}"
    args = [sys.executable, "-m", "tarnwell", "diagnose", str(files[24]), "-o", str(out), "-q"]
    args += ["--chunks", chunks] if chunks else []
    proc = subprocess.Popen(
        args,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
        # SIGINT as a terminal's foreground job has it, however the tests were started.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL),
    )
    deadline = time.monotonic() + 120
    while not any(p.endswith(".partial") for p in os.listdir(tmp_path)):
        assert proc.poll() is None and time.monotonic() < deadline
        time.sleep(0.01)
    time.sleep(0.2)  # well into the write
    sent = time.monotonic()
    proc.send_signal(signum)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == 128 + signum, err
    assert len(err.strip().splitlines()) == 1, err
    assert time.monotonic() - sent < 10.0
    assert os.listdir(tmp_path) == []


# The peak resident size from /proc: getrusage's maximum survives exec, so a
# child of a large test process would report the parent's.
PEAK = textwrap.dedent(
    """
    import sys
    from tarnwell.cli import main
    status = main(sys.argv[1:])
    with open("/proc/self/status") as f:
        print(next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:")))
    sys.exit(status)
    """
)


def peak_rss(args: list[str]) -> int:
    done = subprocess.run(
        [sys.executable, "-c", PEAK, *args], capture_output=True, text=True, timeout=600
    )
    assert done.returncode == 0, done.stderr
    return int(done.stdout.strip().splitlines()[-1])


# One thread works one block of steps at a time, so its peak is the same from
# run to run; with two, how the blocks in flight overlap varies, and the peak
# with it, so the bound is looser. A file's results held whole, or the netCDF
# library's caches of every step read from the compressed input, would exceed
# it several times over (some 17 MB a step here, for each).
@pytest.mark.parametrize(
    "layout, threads, suffix, bound",
    [("cf", 1, ".nc", 1.10), ("cf", 2, ".nc", 1.25), ("wrf", 1, ".zarr", 1.10)],
)
def test_chunked_peak_memory_does_not_grow_with_the_file(
    request, tmp_path, layout, threads, suffix, bound
):
    inputs = request.getfixturevalue("files" if layout == "cf" else "wrf_files")
    peaks = {
        nt: peak_rss(
            ["diagnose", str(path), "-o", str(tmp_path / f"d{nt}{suffix}"), "-q"]
            + ["--chunks", "time=1", "--threads", str(threads)]
        )
        for nt, path in inputs.items()
    }
    print({nt: f"{peak / 2**20:.0f} MiB" for nt, peak in peaks.items()})
    assert peaks[max(peaks)] <= bound * peaks[2], peaks


def _worker_peak() -> int:
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))


def cluster_peaks(args: list[str]) -> list[int]:
    """Each worker's peak resident size over a run of the command on a fresh cluster of two."""
    distributed = pytest.importorskip("distributed")
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        done = subprocess.run(
            [sys.executable, "-m", "tarnwell", *args, "--scheduler", cluster.scheduler_address],
            capture_output=True,
            text=True,
            timeout=600,
        )
        assert done.returncode == 0, done.stderr
        return sorted(client.run(_worker_peak).values())


# Given the whole write at once, the scheduler held most steps' results on the
# workers, and each worker kept every output chunk it wrote in the netCDF
# library's cache: each worker's peak then more than doubled from 2 steps to
# 24. What is left, outside dask's managed memory, has risen by 20 to 40 %
# over those steps; the bound lies between the two.
def test_cluster_workers_peak_memory_does_not_grow_with_the_file(files, tmp_path):
    peaks = {
        nt: cluster_peaks(
            ["diagnose", str(path), "-o", str(tmp_path / f"d{nt}.nc"), "-q", "--chunks", "time=1"]
        )
        for nt, path in files.items()
    }
    print({nt: [f"{p / 2**20:.0f} MiB" for p in ps] for nt, ps in peaks.items()})
    assert max(peaks[max(peaks)]) <= 1.7 * max(peaks[2]), peaks
