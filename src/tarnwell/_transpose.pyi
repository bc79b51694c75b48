import numpy as np
import numpy.typing as npt

def to_levels_last(
    src: npt.NDArray[np.float64],
    out: npt.NDArray[np.float64] | None = None,
    n_threads: int = 0,
) -> npt.NDArray[np.float64]: ...
