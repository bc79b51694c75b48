import numpy as np
import numpy.typing as npt

MAX_TILE_LEVELS: int

def to_levels_last(
    src: npt.NDArray[np.float64],
    out: npt.NDArray[np.float64] | None = None,
    n_threads: int = 0,
) -> npt.NDArray[np.float64]: ...
def cold_pool_level_first(
    z: npt.NDArray[np.float64],
    b: npt.NDArray[np.float64],
    bottom: npt.NDArray[np.float64],
    threshold: float,
    top: npt.NDArray[np.float64],
    path: str = "auto",
    n_threads: int = 0,
) -> npt.NDArray[np.float64]: ...
def profile_level_first(
    z: npt.NDArray[np.float64],
    u: npt.NDArray[np.float64],
    v: npt.NDArray[np.float64],
    ground: npt.NDArray[np.float64],
    bottom: float,
    top: float,
    cu: npt.NDArray[np.float64],
    cv: npt.NDArray[np.float64],
    path: str = "auto",
    n_threads: int = 0,
) -> npt.NDArray[np.float64]: ...
