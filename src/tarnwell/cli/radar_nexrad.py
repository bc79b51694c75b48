"""NEXRAD Level II archives (WSR-88D) as sweeps for the VAD.

xradar walks the archive's records (uncompressed, or in bzip2-compressed LDM
blocks) and we take its headers and raw moment words, but decode them here,
because xradar 0.13's own decoding of this format is wrong for a VAD in
three ways:

- the range of every moment of a sweep is built from the first moment's
  first gate and gate spacing (reflectivity) and the largest gate count of
  any moment, so velocities of message 1 archives (reflectivity at 1 km,
  velocity at 250 m) land at four times their true range;
- message 1's range to the first gate is a signed count of metres (the
  Doppler gates start at -375 m) but is read unsigned;
- the codes 0 ("below threshold") and 1 ("range folded") are left in the
  data with no fill value, so they decode to -64.5 and -64.0 m/s.

Each moment here gets its own range from its own block, and both codes
become NaN.
"""

from __future__ import annotations

import os
import warnings
from typing import TYPE_CHECKING, Any

import numpy as np

from .errors import CommandError, first_line

if TYPE_CHECKING:
    import xarray as xr

LEVEL2_MAGIC = (b"AR2V", b"ARCHIVE2")
VOLUME_HEADER_BYTES = 24
BELOW_THRESHOLD = 0
RANGE_FOLDED = 1
NYQUIST_SCALE = 0.01  # m/s per count of the radial headers' Nyquist velocity
MESSAGE_1_ANGLE = 180.0 / 32768.0  # degrees per count of message 1's angles
VELOCITY = "VEL"
STANDARD_NAME = "radial_velocity_of_scatterers_away_from_instrument"


def is_level2(head: bytes) -> bool:
    return head.startswith(LEVEL2_MAGIC)


def unpacked(path: str, directory: str, shown: str) -> str:
    """An archive of bzip2-compressed LDM records rewritten into ``directory``
    in the older uncompressed layout (the volume header, then the records'
    contents one after another), which the reader maps rather than holds;
    ``path`` itself when its records are not compressed.

    Each record is a 4-byte size (negative for the last) and a bzip2 stream
    whose size it does not declare, so the records are decompressed a piece at
    a time and their sum is held to the bound of any whole volume.
    """
    import bz2
    import struct

    from .radar_archive import MAX_VOLUME_BYTES, PIECE_BYTES

    with open(path, "rb") as fh:
        header = fh.read(VOLUME_HEADER_BYTES)
        first = fh.read(7)
        if len(first) < 7 or first[:4] == bytes(4) or not first[4:].startswith(b"BZh"):
            return path
        inner = os.path.join(directory, "records")
        written = len(header)
        fh.seek(VOLUME_HEADER_BYTES)
        with open(inner, "wb") as sink:
            sink.write(header)
            while len(size_word := fh.read(4)) == 4:
                left = abs(struct.unpack(">i", size_word)[0])
                decompressor = bz2.BZ2Decompressor()
                while left > 0 and not decompressor.eof:
                    compressed = fh.read(min(left, PIECE_BYTES))
                    if not compressed:
                        break  # the archive ends inside this record
                    left -= len(compressed)
                    try:
                        piece = decompressor.decompress(compressed, PIECE_BYTES)
                        while True:
                            written += len(piece)
                            if written > MAX_VOLUME_BYTES:
                                raise CommandError(
                                    f"{shown}: its compressed records grow past "
                                    f"{MAX_VOLUME_BYTES / 2**30:g} GiB, more than any radar "
                                    "volume; refused as damaged or hostile"
                                )
                            sink.write(piece)
                            if decompressor.eof or decompressor.needs_input:
                                break
                            piece = decompressor.decompress(b"", PIECE_BYTES)
                    except (OSError, EOFError) as err:
                        raise CommandError(
                            f"{shown}: cannot read as a NEXRAD Level II archive ({first_line(err)})"
                        ) from None
                fh.seek(left, os.SEEK_CUR)
    return inner


def _signed16(value: int) -> int:
    return value - 65536 if value >= 32768 else value


def read_sweeps(source: str, shown: str) -> list[xr.Dataset]:
    """Every sweep of the archive: velocity sweeps with ``VEL`` (m/s), the
    others (surveillance scans of split cuts) with their angles only."""
    import importlib

    try:
        level2: Any = importlib.import_module("xradar.io.backends.nexrad_level2")
    except ImportError:
        raise CommandError(
            "reading NEXRAD Level II needs the Python package 'xradar': pip install 'tarnwell[cli]'"
        ) from None
    try:
        with warnings.catch_warnings():
            # The reader's notices about chunk files are about files we do not read.
            warnings.simplefilter("ignore")
            archive = level2.NEXRADLevel2File(source)
            numbers = sorted(archive.data_header and archive.data)
            sweeps = [_sweep(archive, position, number) for position, number in enumerate(numbers)]
    except CommandError:
        raise
    except Exception as err:  # a truncated or corrupt archive fails anywhere in the walk
        raise CommandError(
            f"{shown}: cannot read as a NEXRAD Level II archive ({first_line(err)})"
        ) from None
    finally:
        if "archive" in locals():
            archive.close()
    complete = [s for s in sweeps if s is not None]
    if not complete:
        raise CommandError(f"{shown}: no complete sweeps in the NEXRAD Level II archive")
    return complete


def _sweep(archive: Any, position: int, number: int) -> xr.Dataset | None:
    import xarray as xr

    sweep = archive.data[number]
    if not sweep.get("complete", True):
        return None  # the archive ends inside this sweep
    rays = archive.msg_31_header[position]
    message_1 = sweep["msg_type"] == 1
    angle_scale = MESSAGE_1_ANGLE if message_1 else 1.0
    azimuth = np.array([r["azimuth_angle"] for r in rays], dtype=np.float64) * angle_scale
    elevation = np.array([r["elevation_angle"] for r in rays], dtype=np.float64) * angle_scale
    coords: dict[str, Any] = {
        "azimuth": ("azimuth", azimuth, {"units": "degrees"}),
        "elevation": ("azimuth", elevation, {"units": "degrees"}),
    }
    archive.get_sweep(number)
    constants = sweep.get("sweep_constant_data", {})
    volume = constants.get("VOL")
    if volume is not None and not message_1:  # message 1 carries no site position
        coords["latitude"] = ((), float(volume["lat"]), {"units": "degrees_north"})
        coords["longitude"] = ((), float(volume["lon"]), {"units": "degrees_east"})
        height = float(volume["height"]) + float(volume["feedhorn_height"])
        coords["altitude"] = ((), height, {"units": "m"})
    moments = sweep.get("sweep_data", {})
    if VELOCITY not in moments:
        return xr.Dataset(coords=coords)
    block = moments[VELOCITY]
    archive.get_data(number, VELOCITY)
    words = np.vstack(block["data"]).astype(np.int64)
    if words.shape[0] != azimuth.size:
        raise CommandError(
            f"sweep {number}: {words.shape[0]} velocity radials for {azimuth.size} radial headers"
        )
    if message_1:
        first_gate = _signed16(int(block["first_gate"]))
        nyquist = _signed16(int(rays[0]["nyquist_vel"])) * NYQUIST_SCALE
    else:
        first_gate = int(block["first_gate"])
        radial = constants.get("RAD")
        nyquist = radial["nyquist_vel"] * NYQUIST_SCALE if radial is not None else np.nan
    spacing = int(block["gate_spacing"])
    scale, offset = float(block["scale"]), float(block["offset"])
    if not (spacing > 0 and scale > 0.0):
        raise CommandError(
            f"sweep {number}: velocity gate spacing {spacing} m and scale {scale} are not usable"
        )
    velocity = (words - offset) / scale
    velocity[(words == BELOW_THRESHOLD) | (words == RANGE_FOLDED)] = np.nan
    coords["range"] = (
        "range",
        first_gate + spacing * np.arange(words.shape[1], dtype=np.float64),
        {"units": "m", "long_name": "range to the centre of the gate"},
    )
    return xr.Dataset(
        {
            VELOCITY: (
                ("azimuth", "range"),
                velocity,
                {"units": "m s-1", "standard_name": STANDARD_NAME},
            ),
            "nyquist_velocity": ((), nyquist if nyquist > 0 else np.nan, {"units": "m s-1"}),
        },
        coords=coords,
    )
