import numpy as np
import numpy.typing as npt

FIELDS: tuple[str, ...]
SURFACE_BASED: int
MIXED_LAYER: int
MOST_UNSTABLE: int
MAX_TILE_LEVELS: int

def parcel(
    p: npt.ArrayLike,
    t: npt.ArrayLike,
    td: npt.ArrayLike,
    z: npt.ArrayLike,
    kind: int,
    n_threads: int = 0,
) -> npt.NDArray[np.float64]: ...
def parcel_level_first(
    p: npt.NDArray[np.float64],
    t: npt.NDArray[np.float64],
    td: npt.NDArray[np.float64],
    z: npt.NDArray[np.float64],
    kind: int,
    n_threads: int = 0,
) -> npt.NDArray[np.float64]: ...
def effective_layer(
    p: npt.ArrayLike,
    t: npt.ArrayLike,
    td: npt.ArrayLike,
    z: npt.ArrayLike,
    n_threads: int = 0,
) -> npt.NDArray[np.float64]: ...
def profile_per_column(
    z: npt.ArrayLike,
    u: npt.ArrayLike,
    v: npt.ArrayLike,
    ground: npt.ArrayLike,
    bottom: npt.ArrayLike,
    top: npt.ArrayLike,
    cu: npt.ArrayLike,
    cv: npt.ArrayLike,
    n_threads: int = 0,
) -> npt.NDArray[np.float64]: ...
