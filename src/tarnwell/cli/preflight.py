"""Checks made before a run reads any data: what it may write over, and what its
options and declared sizes can mean.

Each failure here is a :class:`CommandError` naming what to change; none of
these checks reads more than a file's metadata.
"""

from __future__ import annotations

import os
from collections.abc import Iterable

from ._io import CommandError


def _contains(directory: str, path: str) -> bool:
    """Whether ``path`` lies inside ``directory`` (both resolved)."""
    return os.path.commonpath([directory, path]) == directory and path != directory


def check_output_is_no_input(output: str, inputs: Iterable[str]) -> None:
    """Refuse an output that is one of the run's inputs, whatever the flags.

    Publishing an output replaces what is at its path (with ``--overwrite``),
    and the input is still open for reading until the end: an output that is
    the input under another name (the same path, a symlink to it, a hard link
    of it) or a directory holding it (a zarr store) would destroy the data
    the run reads. The same inode, or resolved paths that coincide or nest,
    are refused.
    """
    if not os.path.lexists(output):
        target = os.path.realpath(output)
        for path in inputs:
            if _contains(os.path.realpath(path), target):
                raise CommandError(f"{output} lies inside the input {path}; write elsewhere")
        return
    target = os.path.realpath(output)
    for path in inputs:
        if not os.path.exists(path):
            continue
        source = os.path.realpath(path)
        try:
            same = source == target or os.path.samefile(path, output)
        except OSError:  # a dangling symlink at the output: nothing read through it
            same = False
        if same or _contains(target, source) or _contains(source, target):
            how = "is" if same else "holds" if _contains(target, source) else "lies inside"
            raise CommandError(
                f"{output} {how} the input {path}: this run reads it, so it is never "
                "replaced, whatever the flags; write the output elsewhere"
            )
