"""Cold-pool, wind-profile and baroclinity kernel (multithreaded)."""

# Types of the compiled module as its bindings declare them: every array argument
# is anything NumPy converts to float64, every result a new float64 array.
from typing import SupportsFloat, SupportsIndex, SupportsInt

import numpy as np
import numpy.typing as npt

def thermo(
    t: npt.ArrayLike,
    p: npt.ArrayLike,
    td: npt.ArrayLike,
    n_threads: SupportsInt | SupportsIndex = 0,
) -> npt.NDArray[np.float64]: ...
def cold_pool(
    z: npt.ArrayLike,
    b: npt.ArrayLike,
    bottom: npt.ArrayLike,
    threshold: SupportsFloat | SupportsIndex,
    top: npt.ArrayLike,
    n_threads: SupportsInt | SupportsIndex = 0,
) -> npt.NDArray[np.float64]: ...
def profile(
    z: npt.ArrayLike,
    u: npt.ArrayLike,
    v: npt.ArrayLike,
    ground: npt.ArrayLike,
    bottom: SupportsFloat | SupportsIndex,
    top: SupportsFloat | SupportsIndex,
    cu: npt.ArrayLike,
    cv: npt.ArrayLike,
    n_threads: SupportsInt | SupportsIndex = 0,
) -> npt.NDArray[np.float64]: ...
def gradient(
    f: npt.ArrayLike,
    x: npt.ArrayLike,
    y: npt.ArrayLike,
    n_threads: SupportsInt | SupportsIndex = 0,
) -> npt.NDArray[np.float64]: ...
def vad(
    vr: npt.ArrayLike,
    az: npt.ArrayLike,
    cos_el: npt.ArrayLike,
    min_gates: SupportsInt | SupportsIndex,
    min_spread: SupportsFloat | SupportsIndex,
    n_threads: SupportsInt | SupportsIndex = 0,
) -> npt.NDArray[np.float64]: ...
