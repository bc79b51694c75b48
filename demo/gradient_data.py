"""Sample grid geometry for the gradient demo: horizontal coordinates of the
sample_data grid and an isolated mountain whose interior levels are missing."""

import numpy as np
from sample_data import NX, NY, heights

HALF_WIDTH_X = 1000e3  # m: the grid spans 2000 km west to east
HALF_WIDTH_Y = 750e3  # m: and 1500 km south to north


def grid_coordinates():
    """x (NX) and y (NY) in metres; y is stretched to be finer near the front
    at y = 0, as a regional model would nest it."""
    x = np.linspace(-HALF_WIDTH_X, HALF_WIDTH_X, NX)
    return x, stretched(np.linspace(-1.0, 1.0, NY))


def stretched(s):
    """y (m) of the sample grid's row coordinate s in [-1, 1]."""
    return HALF_WIDTH_Y * (0.6 * s + 0.4 * s**3)


def below_ground(x, y):
    """Mask (levels, y, x) of grid points inside a 1.6 km mountain south-west
    of the front: a model on height levels has no data there."""
    xx, yy = np.meshgrid(x, y)
    terrain = 1650.0 * np.exp(-(((xx + 450e3) / 150e3) ** 2 + ((yy + 380e3) / 120e3) ** 2)) - 50.0
    return heights()[:, None, None] < terrain[None, :, :]


def front_axis(x):
    """y (m) of the front's axis at each x: the sample front meanders."""
    return stretched(0.25 * np.sin(3.0 * x / HALF_WIDTH_X))
