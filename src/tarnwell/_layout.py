"""Contiguous copies for the kernels' row layout."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt


def c_contiguous(a: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """`a` itself when already C-contiguous, else a C-ordered copy."""
    return np.ascontiguousarray(a)
