"""`tarnwell vad` on compressed volumes that lie about what they hold: streams
of zeros a thousand times their size, and LDM records that expand without end."""

from __future__ import annotations

import bz2
import os
import struct
import subprocess
import sys
import tracemalloc
import zlib

import pytest

pytest.importorskip("xarray")
pytest.importorskip("xradar")

from tarnwell import _sample_data  # noqa: E402
from tarnwell.cli import (
    CommandError,  # noqa: E402
    radar_archive,  # noqa: E402
)
from tarnwell.cli import radar as _radar  # noqa: E402

ZEROS = bytes(2**22)


def compressed(kind: str, start: bytes, total: int) -> bytes:
    """``start`` then zeros up to ``total`` bytes, compressed a piece at a time."""
    packer = bz2.BZ2Compressor(9) if kind == "bz2" else zlib.compressobj(9, zlib.DEFLATED, 31)
    parts = [packer.compress(start)]
    parts += [packer.compress(ZEROS) for _ in range((total - len(start)) // len(ZEROS))]
    return b"".join(parts) + packer.flush()


def peak_rss_of_command(*args: object) -> tuple[int, str, int]:
    """Exit status, stderr and peak resident memory (bytes) of one run of the command."""
    proc = subprocess.Popen(
        [sys.executable, "-m", "tarnwell", *map(str, args)],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
    )
    assert proc.stderr is not None
    with proc.stderr:
        err = proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    return proc.returncode, err, usage.ru_maxrss * 1024


@pytest.mark.parametrize("kind", ["bz2", "gz"])
def test_a_stream_of_zeros_is_refused_at_its_first_bytes(tmp_path, kind):
    """384 MiB of zeros in a few hundred kB: refused as no radar volume with
    no more memory than refusing a small one takes."""
    small = tmp_path / f"small.{kind}"
    small.write_bytes(compressed(kind, b"", len(ZEROS)))
    bomb = tmp_path / f"KTLX_V06.{kind}"
    bomb.write_bytes(compressed(kind, b"", 384 * 2**20))
    assert bomb.stat().st_size < 2**20
    status, err, baseline = peak_rss_of_command("vad", small, "-o", tmp_path / "s.nc")
    assert status == 1 and "not a radar volume" in err
    status, err, peak = peak_rss_of_command("vad", bomb, "-o", tmp_path / "b.nc")
    assert status == 1
    assert err.strip().splitlines() == [
        f"tarnwell vad: error: {bomb}: its {'bzip2' if kind == 'bz2' else 'gzip'} content is "
        f"not a radar volume (it does not start with {radar_archive.SIGNATURE_NAMES})"
    ]
    assert peak < baseline + 64 * 2**20
    assert not (tmp_path / "b.nc").exists()


def ldm_archive(records: list[bytes]) -> bytes:
    header = b"AR2V0006.001" + struct.pack(">II4s", 20600, 75_600_000, b"KTLX")
    return header + b"".join(struct.pack(">i", len(c)) + c for c in map(bz2.compress, records))


@pytest.mark.parametrize(
    "layout",
    [
        ("bz2", lambda: compressed("bz2", b"CDF\x01", 48 * 2**20)),
        ("gz", lambda: compressed("gz", b"\x89HDF\r\n\x1a\n", 48 * 2**20)),
        ("records", lambda: ldm_archive([bytes(2432 * 134), bytes(48 * 2**20)])),
        ("bz2", lambda: bz2.compress(ldm_archive([bytes(2432 * 134), bytes(48 * 2**20)]))),
    ],
    ids=["netcdf.bz2", "hdf5.gz", "ldm-records", "ldm-records.bz2"],
)
def test_growth_past_the_bound_is_refused_a_piece_at_a_time(tmp_path, monkeypatch, layout):
    """The whole-file stream and the sum of the LDM records alike stop at the
    bound, having held no more than a few pieces in memory."""
    suffix, make = layout
    path = tmp_path / f"volume.{suffix}"
    path.write_bytes(make())
    monkeypatch.setattr(radar_archive, "MAX_VOLUME_BYTES", 32 * 2**20)
    tracemalloc.start()
    try:
        with pytest.raises(CommandError, match=r"grow(s)? past 0\.03125 GiB, more than any radar"):
            _radar.open_volume(str(path))
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < 8 * radar_archive.PIECE_BYTES


def test_a_units_attribute_too_long_for_a_unit_is_refused(tmp_path):
    """A megabyte of units on the radial velocity: one line, not an hour in
    pint's parser."""
    import netCDF4

    path = tmp_path / "volume.nc"
    _sample_data.write_radar_volume(str(path), n_azimuth=90, n_range=20)
    with netCDF4.Dataset(path, "a") as ds:
        ds["VRADH"].units = "m s-1 " + "(" * 2**20
    proc = subprocess.run(
        [sys.executable, "-m", "tarnwell", "vad", path, "-o", tmp_path / "v.nc"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert proc.returncode == 1
    (line,) = proc.stderr.strip().splitlines()
    assert "'VRADH' has a units attribute of 1,048,582 characters; no unit is longer" in line
