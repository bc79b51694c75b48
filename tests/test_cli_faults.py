"""The command under faults: signals at chosen moments, full disks, damaged
inputs, concurrent writers. Each failure must be one line on stderr, leave no
partial output and touch nothing that was there before."""

from __future__ import annotations

import os
import resource
import select
import shutil
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest
from probes import one_line

xr = pytest.importorskip("xarray")
pytest.importorskip("dask")
pytest.importorskip("netCDF4")
pytest.importorskip("zarr")

from tarnwell import _sample_data  # noqa: E402
from tarnwell.cli import _io, main  # noqa: E402

EARLIER = b"an earlier output that must survive"


@pytest.fixture(autouse=True)
def local_scheduler():
    """The files these tests write go through dask's threads, whatever client
    an earlier test of the session left as the default scheduler."""
    import dask

    with dask.config.set(scheduler="threads"):
        yield


@pytest.fixture(scope="module")
def model(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, xr.Dataset]:
    ds = _sample_data.model_dataset(nt=4, nz=12, ny=30, nx=36, dx=10000.0, seed=2)
    path = tmp_path_factory.mktemp("model") / "model.nc"
    ds.to_netcdf(path)
    return path, ds


def contents(directory: Path) -> dict[str, bytes | None]:
    """Every entry of a directory (recursively), files with their bytes."""
    return {
        str(p.relative_to(directory)): (p.read_bytes() if p.is_file() else None)
        for p in sorted(directory.rglob("*"))
    }


# --- signals sent to a real process at a chosen moment ----------------------

# Runs the command with one library call slowed down so that the test can
# signal at a known moment: the call prints a marker, then dawdles. The read
# swallows KeyboardInterrupt as a library's clean-up can.
HARNESS = textwrap.dedent(
    """
    import sys, time
    moment = sys.argv[1]

    def announce():
        print(moment, flush=True)

    if moment == "reading":
        from xarray.backends import netCDF4_
        real = netCDF4_.NetCDF4ArrayWrapper.__getitem__
        def slow_read(self, key):
            announce()
            end = time.monotonic() + 30
            while time.monotonic() < end:
                try:
                    time.sleep(0.05)
                except KeyboardInterrupt:
                    pass
            return real(self, key)
        netCDF4_.NetCDF4ArrayWrapper.__getitem__ = slow_read
    elif moment == "computing":
        import tarnwell
        real = tarnwell.kernels.thermo
        def slow_thermo(*a, **k):
            announce()
            time.sleep(30)
            return real(*a, **k)
        tarnwell.kernels.thermo = slow_thermo
    elif moment == "writing-netcdf":
        from xarray.backends import netCDF4_
        real = netCDF4_.NetCDF4ArrayWrapper.__setitem__
        def slow_write(self, key, value):
            real(self, key, value)
            announce()
            time.sleep(30)
        netCDF4_.NetCDF4ArrayWrapper.__setitem__ = slow_write
    elif moment == "writing-zarr":
        import asyncio
        from zarr.storage import LocalStore
        real = LocalStore._set
        async def slow_set(self, key, value, exclusive=False):
            await real(self, key, value, exclusive=exclusive)
            if "/" in key and not key.rsplit("/", 1)[1].startswith("."):
                announce()  # a chunk, not metadata
                await asyncio.sleep(0.2)
        LocalStore._set = slow_set
    from tarnwell.cli import main
    sys.exit(main(sys.argv[2:]))
    """
)


def as_in_a_terminal() -> None:
    """SIGINT as a terminal's foreground job has it, however the tests were
    started (a background job of a script ignores SIGINT, and so, rightly,
    would the command)."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def signal_at(moment: str, signum: int, args: list[str], cwd: Path) -> tuple[int, str, float]:
    """Run the command, send ``signum`` when it reaches ``moment``; status, stderr, seconds."""
    proc = subprocess.Popen(
        [sys.executable, "-c", HARNESS, moment, *map(str, args)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        cwd=cwd,
        preexec_fn=as_in_a_terminal,
    )
    assert proc.stdout is not None
    ready, _, _ = select.select([proc.stdout], [], [], 120)
    if not ready:
        proc.kill()
        proc.communicate()
        pytest.fail(f"the run never reached {moment!r}")
    line = proc.stdout.readline()
    assert line.strip() == moment, (line, proc.stderr.read() if proc.stderr else "")
    sent = time.monotonic()
    proc.send_signal(signum)
    try:
        _, err = proc.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        raise
    return proc.returncode, err, time.monotonic() - sent


SIGNAL_CASES = [
    (signum, moment, chunks, suffix)
    for signum in (signal.SIGINT, signal.SIGTERM)
    for moment, chunks, suffix in [
        ("reading", None, ".nc"),
        ("reading", "time=1", ".zarr"),
        ("computing", None, ".nc"),
        ("computing", "time=1", ".zarr"),
        ("writing-netcdf", None, ".nc"),
        ("writing-netcdf", "time=1", ".nc"),
        ("writing-zarr", "time=1", ".zarr"),
        ("writing-zarr", None, ".zarr"),
    ]
]
# One case of each moment runs with every `make test`; the rest in .ci/run.
QUICK = {
    (signal.SIGINT, "reading", None, ".nc"),
    (signal.SIGTERM, "computing", "time=1", ".zarr"),
    (signal.SIGINT, "writing-netcdf", None, ".nc"),
    (signal.SIGTERM, "writing-zarr", "time=1", ".zarr"),
}


@pytest.mark.parametrize(
    "signum, moment, chunks, suffix",
    [pytest.param(*c, marks=[] if c in QUICK else [pytest.mark.slow]) for c in SIGNAL_CASES],
)
def test_a_signal_ends_the_run_and_removes_the_partial_output(
    model, tmp_path, moment, chunks, suffix, signum
):
    path, _ = model
    (tmp_path / "earlier.nc").write_bytes(EARLIER)
    before = contents(tmp_path)
    args = ["diagnose", path, "-o", tmp_path / f"diag{suffix}", "-q"]
    args += ["--chunks", chunks] if chunks else []
    status, err, seconds = signal_at(moment, signum, args, tmp_path)
    assert status == 128 + signum, err
    word = "interrupted" if signum == signal.SIGINT else "SIGTERM"
    one_line(err, "tarnwell diagnose:", word, "no output written")
    assert seconds < 10.0
    assert contents(tmp_path) == before


def test_an_existing_output_survives_an_interrupted_overwrite(model, tmp_path):
    path, _ = model
    out = tmp_path / "diag.nc"
    out.write_bytes(EARLIER)
    args = ["diagnose", path, "-o", out, "-q", "--overwrite"]
    status, err, _ = signal_at("writing-netcdf", signal.SIGTERM, args, tmp_path)
    assert status == 143, err
    assert out.read_bytes() == EARLIER
    assert sorted(os.listdir(tmp_path)) == ["diag.nc"]


def test_an_ignored_sigint_stays_ignored(model, tmp_path):
    """A background job of a non-interactive shell ignores SIGINT; so does the run."""
    path, _ = model
    out = tmp_path / "diag.nc"
    proc = subprocess.Popen(
        [sys.executable, "-c", HARNESS, "computing", "diagnose", path, "-o", out, "-q"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN),
    )
    assert proc.stdout is not None and proc.stdout.readline().strip() == "computing"
    proc.send_signal(signal.SIGINT)
    time.sleep(1.0)
    assert proc.poll() is None  # still running
    proc.send_signal(signal.SIGTERM)
    _, err = proc.communicate(timeout=30)
    assert proc.returncode == 143, err
    assert not out.exists()


# --- no clobbering ----------------------------------------------------------


def staged(directory: Path, zarr: bool) -> str:
    """A finished temporary output, as the writers leave it."""
    tmp = directory / (".out.partial.zarr" if zarr else ".out.partial")
    if zarr:
        tmp.mkdir()
        (tmp / ".zattrs").write_text('{"tarnwell_product": "diagnose"}')
        (tmp / "new").write_text("new")
    else:
        tmp.write_text("new")
    return str(tmp)


@pytest.mark.parametrize("zarr", [False, True])
def test_the_final_rename_never_replaces_what_appeared_meanwhile(tmp_path, zarr):
    for what in ("file", "directory", "empty directory"):
        target = tmp_path / f"out-{what.replace(' ', '-')}"
        if what == "file":
            target.write_bytes(EARLIER)
        else:
            target.mkdir()
            if what == "directory":
                (target / "theirs").write_bytes(EARLIER)
        tmp = staged(tmp_path, zarr)
        before = contents(tmp_path)
        with pytest.raises(_io.CommandError, match="appeared while this run was writing"):
            _io.publish(tmp, target, overwrite=False)
        assert contents(tmp_path) == before
        shutil.rmtree(tmp) if zarr else os.unlink(tmp)


def test_overwrite_replaces_files_and_our_stores_only(model, tmp_path, capsys):
    path, _ = model
    # An ordinary directory at the output path is never removed.
    ordinary = tmp_path / "results.zarr"
    ordinary.mkdir()
    (ordinary / "thesis.tex").write_bytes(EARLIER)
    assert main(["diagnose", str(path), "-o", str(ordinary), "--overwrite", "-q"]) == 1
    one_line(capsys.readouterr().err, "not a zarr store written by tarnwell")
    assert (ordinary / "thesis.tex").read_bytes() == EARLIER
    # Our own zarr store is replaced by a netCDF file and back.
    ours = tmp_path / "diag.zarr"
    assert main(["diagnose", str(path), "-o", str(ours), "-q"]) == 0
    assert _io.is_tarnwell_zarr(ours)
    assert main(["diagnose", str(path), "-o", str(ours), "-q", "--overwrite"]) == 0
    with xr.open_dataset(ours, engine="zarr") as got:
        assert "theta_e" in got
    # A symlink is replaced itself, never what it points to.
    precious = tmp_path / "precious.nc"
    precious.write_bytes(EARLIER)
    link = tmp_path / "link.nc"
    link.symlink_to(precious)
    assert main(["diagnose", str(path), "-o", str(link), "-q", "--overwrite"]) == 0
    assert precious.read_bytes() == EARLIER and not link.is_symlink()
    assert not [p for p in os.listdir(tmp_path) if p.startswith(".")]


@pytest.mark.parametrize("suffix", [".nc", pytest.param(".zarr", marks=pytest.mark.slow)])
def test_concurrent_runs_on_one_output_exactly_one_wins(model, tmp_path, suffix):
    path, _ = model
    out = tmp_path / f"diag{suffix}"
    # Every run is slowed down in its kernels, so all pass the start-up check
    # that the output does not exist and meet at the final rename.
    script = textwrap.dedent(
        """
        import sys, time, tarnwell
        real = tarnwell.kernels.thermo
        def slow(*a, **k):
            time.sleep(1.5)
            return real(*a, **k)
        tarnwell.kernels.thermo = slow
        from tarnwell.cli import main
        sys.exit(main(sys.argv[1:]))
        """
    )
    procs = [
        subprocess.Popen(
            [sys.executable, "-c", script, "diagnose", str(path), "-o", str(out), "-q"],
            stderr=subprocess.PIPE,
            text=True,
        )
        for _ in range(3)
    ]
    errors = [p.communicate(timeout=120)[1] for p in procs]
    outcomes = [(p.returncode, err) for p, err in zip(procs, errors, strict=True)]
    assert sorted(status for status, _ in outcomes) == [0, 1, 1], outcomes
    for status, err in outcomes:
        if status:
            # A run that started late meets the output at its start-up check.
            line = one_line(err, "tarnwell diagnose: error:")
            assert "appeared while this run was writing it" in line or "exists;" in line, line
    with xr.open_dataset(out, engine="zarr" if suffix == ".zarr" else None) as got:
        assert "theta_e" in got
    assert os.listdir(tmp_path) == [out.name]


# --- damaged inputs ---------------------------------------------------------


def refused(capsys, tmp_path: Path, *args: object) -> str:
    out_dir = tmp_path / "out"
    out_dir.mkdir(exist_ok=True)
    status = main(["diagnose", *map(str, args), "-o", str(out_dir / "diag.nc")])
    err = capsys.readouterr().err
    assert status == 1, err
    assert os.listdir(out_dir) == []
    return one_line(err, "tarnwell diagnose: error:")


@pytest.mark.parametrize("fmt", ["NETCDF3_CLASSIC", "NETCDF3_64BIT"])
@pytest.mark.parametrize("keep", [0.5, 0.97])
def test_a_cut_off_classic_netcdf_file_is_refused(model, tmp_path, capsys, fmt, keep):
    _, ds = model
    whole = tmp_path / "whole.nc"
    ds.to_netcdf(whole, format=fmt)
    data = whole.read_bytes()
    cut = tmp_path / "cut.nc"
    cut.write_bytes(data[: int(len(data) * keep)])
    line = refused(capsys, tmp_path, cut)
    assert "cut.nc" in line and "is cut off" in line
    # The variable named is the first whose data lies past the end of the file.
    with xr.open_dataset(whole) as full:
        names = list(full.variables)
    assert any(f"variable {name!r}" in line for name in names), line
    # The whole file passes the check.
    assert main(["diagnose", str(whole), "-o", str(tmp_path / "ok.nc"), "-q"]) == 0


def test_record_variables_of_a_cut_off_file_are_refused(model, tmp_path, capsys):
    """Time as the unlimited (record) dimension: the last record is missing."""
    _, ds = model
    whole = tmp_path / "records.nc"
    ds.to_netcdf(whole, format="NETCDF3_64BIT", unlimited_dims=["time"])
    data = whole.read_bytes()
    cut = tmp_path / "cut.nc"
    cut.write_bytes(data[:-100])
    line = refused(capsys, tmp_path, cut)
    assert "is cut off" in line


def test_a_cut_off_netcdf4_file_is_refused(model, tmp_path, capsys):
    _, ds = model
    whole = tmp_path / "whole.nc"
    ds.to_netcdf(whole, format="NETCDF4")
    data = whole.read_bytes()
    cut = tmp_path / "cut4.nc"
    cut.write_bytes(data[: len(data) // 2])
    line = refused(capsys, tmp_path, cut)
    assert "cut4.nc" in line and ("cut off" in line or "cannot read" in line)


def test_a_zarr_store_with_a_chunk_missing_is_refused(model, tmp_path, capsys):
    _, ds = model
    store = tmp_path / "model.zarr"
    ds.chunk({"time": 1}).to_zarr(store, zarr_format=2, consolidated=True)
    chunk = store / "T" / "2.0.0.0"
    assert chunk.exists()
    chunk.unlink()
    line = refused(capsys, tmp_path, store)
    assert "variable 'T'" in line and "1 of 4 chunks missing" in line


def test_a_corrupt_zarr_chunk_names_the_variable(model, tmp_path, capsys):
    _, ds = model
    store = tmp_path / "model.zarr"
    ds.chunk({"time": 1}).to_zarr(store, zarr_format=2, consolidated=True)
    (store / "U" / "1.0.0.0").write_bytes(b"\x00garbage" * 100)
    for chunks in (None, "time=1"):
        extra = ["--chunks", chunks] if chunks else []
        line = refused(capsys, tmp_path, store, *extra)
        assert "variable 'U' cannot be read" in line and "model.zarr" in line


def test_a_file_with_no_levels_is_refused(model, tmp_path, capsys):
    _, ds = model
    empty = tmp_path / "empty.nc"
    ds.isel(level=slice(0, 0)).to_netcdf(empty)
    line = refused(capsys, tmp_path, empty)
    assert "level (length 0)" in line


# --- one line for every failure --------------------------------------------


def limited(limit_bytes: int):
    def set_limit() -> None:
        # Without SIGXFSZ ignored the kernel kills the process at the limit;
        # ignored, the write fails with EFBIG as on a full disk.
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit_bytes, limit_bytes))

    return set_limit


@pytest.mark.parametrize("suffix", [".nc", ".zarr"])
@pytest.mark.parametrize("chunks", [None, "time=1"])
def test_a_file_size_limit_is_one_line_and_leaves_nothing(model, tmp_path, suffix, chunks):
    path, _ = model
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    (out_dir / "earlier.nc").write_bytes(EARLIER)
    args = [sys.executable, "-m", "tarnwell", "diagnose", str(path), "-o", "diag" + suffix, "-q"]
    args += ["--chunks", chunks] if chunks else []
    done = subprocess.run(
        args, cwd=out_dir, capture_output=True, text=True, timeout=120, preexec_fn=limited(60_000)
    )
    assert done.returncode == 1, done.stderr
    one_line(done.stderr, "file size limit exceeded")
    assert contents(out_dir) == {"earlier.nc": EARLIER}


def test_out_of_memory_says_to_use_chunks(model, tmp_path):
    """Under an address-space limit the in-memory run is refused up front; chunked it runs."""
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer reserves terabytes of address space for its shadow")
    path, _ = model
    big = tmp_path / "big.nc"
    _sample_data.model_dataset(nt=12, nz=30, ny=100, nx=120, seed=1).to_netcdf(big)
    limit = 1_600_000_000

    def set_limit() -> None:
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    base = [sys.executable, "-m", "tarnwell", "diagnose", str(big), "-q"]
    eager = subprocess.run(
        [*base, "-o", str(tmp_path / "a.nc")],
        capture_output=True,
        text=True,
        timeout=120,
        preexec_fn=set_limit,
    )
    assert eager.returncode == 1, eager.stderr
    one_line(eager.stderr, "--chunks time=1")
    chunked = subprocess.run(
        [*base, "-o", str(tmp_path / "b.nc"), "--chunks", "time=1"],
        capture_output=True,
        text=True,
        timeout=120,
        preexec_fn=set_limit,
    )
    assert chunked.returncode == 0, chunked.stderr
    assert sorted(os.listdir(tmp_path)) == ["b.nc", "big.nc"]


@pytest.mark.parametrize(
    "extra, words",
    [
        (["--chunks", "time=0"], ("--chunks", "1 or more", "'time=0'")),
        (["--chunks", "time=-5"], ("--chunks", "'time=-5'")),
        (["--scheduler", "not a scheduler::"], ("--scheduler", "cannot connect")),
    ],
)
def test_bad_options_are_one_line(model, tmp_path, capsys, extra, words):
    path, _ = model
    assert main(["diagnose", str(path), "-o", str(tmp_path / "d.nc"), *extra]) == 1
    one_line(capsys.readouterr().err, *words)
    assert os.listdir(tmp_path) == []


@pytest.mark.skipif(os.geteuid() == 0, reason="root writes into read-only directories")
def test_a_read_only_directory_is_one_line(model, tmp_path, capsys):
    path, _ = model
    locked = tmp_path / "locked"
    locked.mkdir()
    locked.chmod(0o555)
    try:
        assert main(["diagnose", str(path), "-o", str(locked / "d.nc")]) == 1
        one_line(capsys.readouterr().err, "permission denied")
    finally:
        locked.chmod(0o755)


def test_an_unexpected_failure_is_one_line_and_debug_adds_the_traceback(
    model, tmp_path, capsys, monkeypatch
):
    from tarnwell import kernels

    path, _ = model

    def broken(*args, **kwargs):
        raise ZeroDivisionError("a bug")

    monkeypatch.setattr(kernels, "thermo", broken)
    out = tmp_path / "d.nc"
    assert main(["diagnose", str(path), "-o", str(out)]) == 1
    one_line(capsys.readouterr().err, "ZeroDivisionError: a bug", "--debug")
    assert main(["diagnose", str(path), "-o", str(out), "--debug"]) == 1
    err = capsys.readouterr().err
    assert "Traceback (most recent call last)" in err
    assert err.strip().splitlines()[-1].startswith("tarnwell diagnose: error: ZeroDivisionError")
    assert os.listdir(tmp_path) == []


def test_damaged_read_in_the_middle_of_a_chunked_write_leaves_nothing(model, tmp_path, capsys):
    """A chunk that fails late (after others were written) still leaves no store behind."""
    _, ds = model
    store = tmp_path / "model.zarr"
    ds.chunk({"time": 1}).to_zarr(store, zarr_format=2, consolidated=True)
    (store / "V" / "3.0.0.0").write_bytes(b"\x01broken" * 50)
    out = tmp_path / "out"
    out.mkdir()
    status = main(["diagnose", str(store), "-o", str(out / "d.zarr"), "--chunks", "time=1", "-q"])
    assert status == 1
    one_line(capsys.readouterr().err, "variable 'V' cannot be read")
    assert os.listdir(out) == []


def test_plot_of_an_all_nan_output_is_one_line(model, tmp_path, capsys):
    path, _ = model
    diag = tmp_path / "diag.nc"
    assert main(["diagnose", str(path), "-o", str(diag), "-q"]) == 0
    with xr.open_dataset(diag) as got:
        nan = got.load().map(lambda v: v * np.nan if v.dtype.kind == "f" else v, keep_attrs=True)
    nan_path = tmp_path / "nan.nc"
    nan.to_netcdf(nan_path)
    status = main(["plot", str(nan_path), "-o", str(tmp_path / "nan.png"), "-q"])
    assert status == 1
    one_line(capsys.readouterr().err, "tarnwell plot: error:", "every field is NaN")
    assert sorted(os.listdir(tmp_path)) == ["diag.nc", "nan.nc"]


@pytest.fixture
def small_disk(tmp_path: Path):
    """A 3 MiB tmpfs (needs the right to mount: root in most containers)."""
    disk = tmp_path / "disk"
    disk.mkdir()
    mount, umount = shutil.which("mount"), shutil.which("umount")
    if mount is None or umount is None:  # a PATH without the system's tools
        pytest.skip("no mount command on PATH")
    done = subprocess.run(
        [mount, "-t", "tmpfs", "-o", "size=3m", "tmpfs", str(disk)], capture_output=True
    )
    if done.returncode != 0:
        pytest.skip("cannot mount a tmpfs here")
    try:
        yield disk
    finally:
        subprocess.run([umount, str(disk)], check=True)


@pytest.mark.parametrize("suffix", [".nc", ".zarr"])
@pytest.mark.parametrize("chunks", [None, "time=1"])
def test_a_full_disk_is_one_line_and_leaves_nothing(model, small_disk, suffix, chunks):
    path, _ = model
    (small_disk / "earlier.nc").write_bytes(EARLIER)
    args = [sys.executable, "-m", "tarnwell", "diagnose", str(path), "-o", "diag" + suffix, "-q"]
    args += ["--chunks", chunks] if chunks else []
    done = subprocess.run(args, cwd=small_disk, capture_output=True, text=True, timeout=120)
    assert done.returncode == 1, done.stderr
    one_line(done.stderr, "no space left on the device")
    assert contents(small_disk) == {"earlier.nc": EARLIER}


def test_a_grib_file_with_a_damaged_message_is_one_line(tmp_path, capsys):
    """cfgrib skips a message it cannot decode with a logged traceback; the
    command refuses the file instead of diagnosing what is left."""
    pytest.importorskip("cfgrib")
    from test_cli import write_grib

    grib = tmp_path / "model.grib2"
    write_grib(grib)
    data = bytearray(grib.read_bytes())
    starts = [i for i in range(len(data) - 4) if data[i : i + 4] == b"GRIB"]
    assert len(starts) > 3
    middle = starts[len(starts) // 2]
    data[middle + 16 : middle + 200] = bytes(184)  # the grid and product sections zeroed
    grib.write_bytes(bytes(data))
    out = tmp_path / "d.nc"
    assert main(["diagnose", str(grib), "-o", str(out)]) == 1
    one_line(capsys.readouterr().err, str(grib), "GRIB message", "damaged")
    assert not out.exists()


def test_a_signal_line_gets_out_while_a_library_is_being_captured(capfd):
    """ecCodes' output is kept from the terminal while a GRIB file opens; the
    main thread's line for a signal meanwhile must still reach it."""
    with _io._library_stderr() as printed:
        os.write(2, b"ECCODES ERROR   :  Failed to get section info\n")
        _io.restore_stderr()
        os.write(2, b"tarnwell diagnose: interrupted; no output written\n")
    assert printed == ["ECCODES ERROR   :  Failed to get section info"]
    assert capfd.readouterr().err == "tarnwell diagnose: interrupted; no output written\n"


def test_a_killed_dask_worker_is_one_line(model, tmp_path, capsys, monkeypatch):
    distributed = pytest.importorskip("distributed")
    from tarnwell import cli

    path, _ = model

    def dying(client, threads, progress, steps=None):
        def compute(delayed):
            worker = SimpleNamespace(address="tcp://127.0.0.1:40000")  # as the scheduler gives
            raise distributed.KilledWorker("diagnose-block", worker, 3)

        return compute

    monkeypatch.setattr(cli, "_computer", dying)
    out = tmp_path / "d.nc"
    assert main(["diagnose", str(path), "-o", str(out), "--chunks", "time=1"]) == 1
    one_line(capsys.readouterr().err, "dask worker died", "--chunks")
    assert os.listdir(tmp_path) == []
