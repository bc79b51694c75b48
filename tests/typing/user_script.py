"""A user's typed script: mypy --strict must accept it as it stands."""

from typing import assert_type

import numpy as np
import numpy.typing as npt
import xarray as xr

import _tarnwell
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


# Fields are typed by the kind of input: NumPy arrays in, float64 arrays out.
def typed_fields(t: npt.NDArray[np.float64], z: npt.NDArray[np.float64]) -> None:
    assert_type(tarnwell.thermo(t, 90000.0, t - 2.0).theta_e, npt.NDArray[np.float64])
    assert_type(tarnwell.profile(z, t, t, ground=0.0, bottom=0.0, top=1.0).helicity,
                npt.NDArray[np.float64])  # fmt: skip
    assert_type(tarnwell.gradient(t, z, z).dfdx, npt.NDArray[np.float64])
    assert_type(tarnwell.vad(t, z, cos_el=1.0).n, npt.NDArray[np.float64])
    assert_type(_tarnwell.gradient(t, z, z, n_threads=2), npt.NDArray[np.float64])


def labelled(t: xr.DataArray, p: xr.DataArray) -> xr.Dataset:
    fields = tarnwell.thermo(t, p, t)
    assert_type(fields.theta, xr.DataArray)
    return fields.to_dataset()
