"""
Model output with xarray, units and dask
========================================

The same diagnostics on labelled data: a dataset in °C and hPa, as a file
might hold it, chunked with dask one time step at a time. tarnwell reads the
units from the attributes, finds the vertical dimension by its CF
attributes, keeps everything lazy until asked, and returns DataArrays whose
CF attributes label the plots by themselves.
"""

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import xarray as xr

import tarnwell

# %%
# A small model dataset
# ---------------------
# Temperature and dew point in °C on pressure levels in hPa, over four
# hourly time steps of a 3 km grid; a warm, moist tongue moves north-east.

time = pd.date_range("2026-05-20T18:00", periods=4, freq="h")
pressure = np.arange(1000.0, 199.0, -50.0)  # hPa
x = np.arange(0.0, 240e3, 3e3)
y = np.arange(0.0, 180e3, 3e3)
T, P, Y, X = np.meshgrid(np.arange(4), pressure, y, x, indexing="ij")
height = 7.4e3 * np.log(1000.0 / P)
tongue = np.exp(-(((X - 60e3 - 25e3 * T) / 60e3) ** 2 + ((Y - 50e3 - 15e3 * T) / 45e3) ** 2))
temperature = 28.0 + 4.0 * tongue * np.exp(-height / 2000.0) - 6.5e-3 * height
dewpoint = temperature - 12.0 + 10.0 * tongue * np.exp(-height / 1500.0) - 2e-3 * height

ds = xr.Dataset(
    {
        "T": (("time", "pressure", "y", "x"), temperature, {"units": "degC"}),
        "Td": (("time", "pressure", "y", "x"), dewpoint, {"units": "degC"}),
    },
    coords={
        "time": time,
        "pressure": ("pressure", pressure, {"units": "hPa", "positive": "down"}),
        "y": ("y", y, {"units": "m", "axis": "Y", "long_name": "y"}),
        "x": ("x", x, {"units": "m", "axis": "X", "long_name": "x"}),
    },
).chunk(time=1)

# %%
# Lazy diagnostics
# ----------------
# The pressure coordinate (in hPa) broadcasts against the 4-D fields. Nothing
# is computed yet: the fields are dask-backed, chunked like the input.

th = tarnwell.thermo(ds.T, ds.pressure, ds.Td)
print(th.theta_e)

# %%
# Compute, then a tidy dataset of the four fields with CF attributes:

result = xr.Dataset(th._asdict()).compute()
print(result)

# %%
# θe at 850 hPa, one panel per time step
# --------------------------------------
# The colour bar's label comes from the result's ``long_name`` and ``units``.

grid = result.theta_e.sel(pressure=850.0).plot(
    col="time", col_wrap=2, cmap="turbo", figsize=(9, 6.5)
)
for ax in grid.axs.flat:
    ax.set_aspect("equal")
plt.show()
