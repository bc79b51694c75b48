import numpy as np
import numpy.typing as npt

SURFACE_BASED: int
MIXED_LAYER: int
MOST_UNSTABLE: int
EFFECTIVE_LAYER: int
ALL: int
ROWS: int

def parcels_and_layer(
    p: npt.ArrayLike,
    t: npt.ArrayLike,
    td: npt.ArrayLike,
    z: npt.ArrayLike,
    parts: int,
    n_threads: int = 0,
) -> npt.NDArray[np.float64]: ...
