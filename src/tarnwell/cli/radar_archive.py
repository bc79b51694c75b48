"""Radar volumes compressed whole with gzip or bzip2, opened without trusting them.

A compressed stream says nothing reliable about its size: a few kilobytes of
bzip2 can hold gigabytes of zeros. The stream is therefore decompressed a
piece at a time into a file on disk, never whole in memory, and refused as
soon as it stops looking like a radar volume or grows past any real one.
"""

from __future__ import annotations

import os
from typing import IO, cast

from .errors import CommandError, first_line

GZIP_MAGIC = b"\x1f\x8b"
BZIP2_MAGIC = b"BZh"

# A WSR-88D super-resolution volume is 100-200 MB once its records are
# decompressed; dense ODIM or CfRadial volumes of research radars reach a few
# hundred. Ten times the largest of them is still no real volume.
MAX_VOLUME_BYTES = 2 * 2**30
PIECE_BYTES = 2**20

# What the readers behind the command accept, as their first bytes: NEXRAD
# Level II's volume header, HDF5's signature (ODIM_H5, CfRadial 2, netCDF-4)
# and the classic and 64-bit netCDF headers (CfRadial 1).
RADAR_SIGNATURES = (b"AR2V", b"ARCHIVE2", b"\x89HDF\r\n\x1a\n", b"CDF\x01", b"CDF\x02", b"CDF\x05")
SIGNATURE_NAMES = "a NEXRAD Level II header (AR2V/ARCHIVE2), an HDF5 signature or a netCDF header"


def head(path: str) -> bytes:
    with open(path, "rb") as fh:
        return fh.read(12)


def compression_of(path: str) -> str | None:
    """ "gzip" or "bzip2" for a file compressed whole; None for any other file."""
    start = head(path)
    if start.startswith(GZIP_MAGIC):
        return "gzip"
    if start.startswith(BZIP2_MAGIC) and start[3:4].isdigit():
        return "bzip2"
    return None


def decompress_into(path: str, directory: str) -> str | None:
    """The path of ``path`` decompressed into ``directory``; None when it is
    not compressed. At most PIECE_BYTES of the stream are in memory at once."""
    kind = compression_of(path)
    if kind is None:
        return None
    inner = os.path.join(directory, os.path.splitext(os.path.basename(path))[0] or "volume")
    try:
        with _open_stream(path, kind) as source, open(inner, "wb") as sink:
            _copy_bounded(source, sink, path, kind)
    except (EOFError, ValueError) as err:
        raise CommandError(f"{path}: cannot decompress ({first_line(err)})") from None
    except OSError as err:  # a damaged stream, or no room for the copy
        raise CommandError(f"{path}: cannot decompress ({first_line(err)})") from None
    return inner


def _open_stream(path: str, kind: str) -> IO[bytes]:
    if kind == "gzip":
        import gzip

        return cast(IO[bytes], gzip.open(path, "rb"))
    import bz2

    return bz2.open(path, "rb")


def _copy_bounded(source: IO[bytes], sink: IO[bytes], path: str, kind: str) -> None:
    written = 0
    while piece := source.read(PIECE_BYTES):
        if written == 0 and not piece.startswith(RADAR_SIGNATURES):
            raise CommandError(
                f"{path}: its {kind} content is not a radar volume (it does not start with "
                f"{SIGNATURE_NAMES})"
            )
        written += len(piece)
        if written > MAX_VOLUME_BYTES:
            raise CommandError(
                f"{path}: its {kind} content grows past {MAX_VOLUME_BYTES / 2**30:g} GiB, "
                "more than any radar volume; refused as damaged or hostile"
            )
        sink.write(piece)
