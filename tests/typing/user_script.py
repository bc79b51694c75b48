"""A user's typed script: mypy --strict must accept it as it stands."""

import numpy as np
import numpy.typing as npt

import tarnwell


def layer_shear(z: npt.NDArray[np.float64], u: npt.NDArray[np.float64]) -> float:
    r: tarnwell.Profile = tarnwell.profile(
        z, u, u, ground=0.0, bottom=0.0, top=6000.0, cu=0.0, cv=0.0, axis=0, n_threads=None
    )
    shear = np.hypot(r.u_top - r.u_bottom, r.v_top - r.v_bottom)
    return float(np.nanmax(shear))


def theta_e(t: npt.NDArray[np.float64], p: float) -> npt.NDArray[np.float64]:
    fields: tarnwell.Thermo = tarnwell.thermo(t, p, t - 5.0, n_threads=2)
    out: npt.NDArray[np.float64] = np.asarray(fields.theta_e)
    return out


def fits(vr: npt.NDArray[np.float64], az: npt.NDArray[np.float64]) -> tarnwell.Vad:
    return tarnwell.vad(vr, az, cos_el=1.0, min_gates=10, min_spread=0.1)


g: tarnwell.Gradient = tarnwell.gradient(np.zeros((3, 4)), np.arange(4.0), np.arange(3.0))
c: tarnwell.ColdPool = tarnwell.cold_pool(
    np.arange(4.0), np.zeros(4), bottom=0.0, threshold=0.0, top=np.nan
)
version: str = tarnwell.__version__
