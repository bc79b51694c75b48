import numpy as np
import numpy.typing as npt

ROWS: tuple[str, str, str, str]

def unfold(
    vr: npt.ArrayLike,
    az: npt.ArrayLike,
    nyquist: float,
    seed_bs: npt.ArrayLike | None = None,
    seed_bc: npt.ArrayLike | None = None,
    n_threads: int = 0,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]: ...
