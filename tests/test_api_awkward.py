"""Inputs as they really arrive: top-down columns, lat/lon grids, ±inf, values in the
wrong unit, pint inside dask and xarray, mixed chunks, unknown chunk sizes, and a
first import of the optional stack racing plain NumPy calls. Each is compared with
the plain NumPy call on SI inputs laid out by hand, or refused by name."""

import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest
from scalar_ref import assert_bits

import _tarnwell as tw
import tarnwell
from tarnwell import _sphere

R = 6371000.0


def assert_fields(result, ref):
    for field, expected in zip(result, ref, strict=True):
        assert_bits(np.asarray(field), np.asarray(expected))


@pytest.fixture(scope="module")
def columns():
    """Level-first columns (time, level, y, x) rising with the index, and the same
    columns stored top-down, as ERA5 stores its levels."""
    rng = np.random.default_rng(31)
    shape = (2, 12, 9, 70)  # 1,260 columns: several kernel blocks
    z = np.cumsum(rng.uniform(50.0, 400.0, shape), axis=1)
    z[rng.random(shape) < 0.03] = np.nan
    u, v = rng.normal(0.0, 10.0, (2, *shape))
    b = rng.normal(-0.02, 0.02, shape)
    return {"z": z, "u": u, "v": v, "b": b}


# Top-down columns ------------------------------------------------------------------


def test_cold_pool_on_the_issue_column_read_from_the_top():
    z = np.array([3000.0, 2000.0, 1000.0, 0.0])
    b = np.array([0.01, -0.01, -0.02, -0.03])
    r = tarnwell.cold_pool(z, b, bottom=0.0, threshold=0.0)
    # by hand, bottom up: trapezoids of -b over 0..1000..2000, then to the crossing at 2500
    integral = 0.025 * 1000 + 0.015 * 1000 + 0.5 * 0.01 * 500
    assert float(r.depth) == 2500.0
    np.testing.assert_allclose(float(r.intensity), np.sqrt(2 * integral), rtol=1e-14)


@pytest.mark.parametrize("threads", [1, 2])
def test_top_down_columns_equal_the_flipped_call_bit_for_bit(columns, threads):
    z, u, v, b = (columns[k] for k in "zuvb")
    flip = {k: np.flip(a, 1) for k, a in columns.items()}
    kw = dict(ground=np.nan, bottom=0.0, top=1500.0, cu=1.0, cv=-2.0, axis=1, n_threads=threads)
    ref = tarnwell.profile(z, u, v, **kw)
    assert np.isfinite(ref.helicity).mean() > 0.9
    assert_fields(tarnwell.profile(flip["z"], flip["u"], flip["v"], **kw), ref)
    pool = dict(bottom=0.0, threshold=0.0, axis=1, n_threads=threads)
    ref = tarnwell.cold_pool(z, b, **pool)
    assert_fields(tarnwell.cold_pool(flip["z"], flip["b"], **pool), ref)
    # a height per level (broadcast) and the level axis last
    zl = np.cumsum(np.full(12, 250.0))
    last = np.moveaxis(u, 1, -1)
    ref = tarnwell.profile(zl, last, last, **(kw | {"axis": -1}))
    got = tarnwell.profile(zl[::-1], last[..., ::-1], last[..., ::-1], **(kw | {"axis": -1}))
    assert_fields(got, ref)


def test_top_down_detected_past_missing_ends_and_mixed_columns_kept_in_order():
    z = np.array([[np.nan, 2000.0, 1000.0, 0.0], [3000.0, 2000.0, 1000.0, np.nan]])
    b = np.tile([0.01, -0.01, -0.02, -0.03], (2, 1))
    r = tarnwell.cold_pool(z, b, bottom=0.0, threshold=0.0)
    ref = tarnwell.cold_pool(z[:, ::-1], b[:, ::-1], bottom=0.0, threshold=0.0)
    assert_fields(r, ref)
    # a column rising among falling ones: every column is read as stored
    mixed = np.array([[0.0, 1000.0, 2000.0, 3000.0], [3000.0, 2000.0, 1000.0, 0.0]])
    got = tarnwell.cold_pool(mixed, b, bottom=0.0, threshold=0.0)
    rows = np.ascontiguousarray(mixed), np.ascontiguousarray(b)
    assert_fields(got, tw.cold_pool(*rows, np.zeros(2), 0.0, np.full(2, np.nan)))


def test_era5_like_pressure_levels_stored_top_down():
    xr = pytest.importorskip("xarray")
    rng = np.random.default_rng(32)
    # ERA5 on pressure levels: level in hPa rising with the index (top-down), lat
    # falling, geopotential height decreasing with the index.
    level = np.array([500.0, 700.0, 850.0, 925.0, 1000.0])
    heights = np.array([5500.0, 3000.0, 1450.0, 750.0, 100.0])
    shape = (2, 5, 3, 4)
    zz = heights[None, :, None, None] + rng.normal(0, 20, shape)
    dims = ("time", "level", "latitude", "longitude")
    coords = {
        "level": ("level", level, {"units": "millibars", "positive": "down", "axis": "Z"}),
        "latitude": ("latitude", [50.0, 49.75, 49.5], {"units": "degrees_north"}),
        "longitude": ("longitude", [0.0, 0.25, 0.5, 0.75], {"units": "degrees_east"}),
    }
    u, v = rng.normal(0, 10, (2, *shape))
    z = xr.DataArray(zz, dims=dims, coords=coords, attrs={"units": "m"})
    ua = xr.DataArray(u, dims=dims, coords=coords, attrs={"units": "m s-1"})
    va = xr.DataArray(v, dims=dims, coords=coords, attrs={"units": "m s-1"})
    r = tarnwell.profile(z, ua, va, ground=np.nan, bottom=0.0, top=3000.0, cu=0.0, cv=0.0)
    ref = tarnwell.profile(
        zz[:, ::-1], u[:, ::-1], v[:, ::-1], ground=np.nan, bottom=0.0, top=3000.0, cu=0.0,
        cv=0.0, axis=1,
    )  # fmt: skip
    assert np.isfinite(ref.helicity).all()
    assert_fields([f.values for f in r], ref)


# Latitude/longitude grids ----------------------------------------------------------


def sphere_by_hand(f, lon, lat):
    """Centred differences in radians on a uniform grid, one-sided at the edges, then
    the metric factors of the sphere."""
    dlam = np.gradient(f, np.deg2rad(lon), axis=-1, edge_order=1)
    dphi = np.gradient(f, np.deg2rad(lat), axis=-2, edge_order=1)
    return dlam / (R * np.cos(np.deg2rad(lat)))[:, None], dphi / R


@pytest.fixture(scope="module")
def latlon():
    rng = np.random.default_rng(33)
    lat = np.linspace(60.0, 20.0, 17)  # falling, as ERA5 stores it
    lon = np.arange(0.0, 30.0, 1.5)
    f = 280.0 + rng.normal(0, 2, (2, lat.size, lon.size))
    return f, lon, lat


@pytest.mark.parametrize(
    "describe",
    [
        "names",  # lat/lon dimensions, coordinates without attributes
        "units",  # other names, CF units
        "standard_name",  # other names, no units
    ],
)
def test_dataarray_on_a_latlon_grid_takes_the_gradient_on_the_sphere(latlon, describe):
    xr = pytest.importorskip("xarray")
    f, lon, lat = latlon
    if describe == "names":
        dims = ("time", "lat", "lon")
        coords = {"lat": lat, "lon": lon}
        kw = {}
    elif describe == "units":
        dims = ("time", "y", "x")
        coords = {
            "y": ("y", lat, {"units": "degrees_north"}),
            "x": ("x", lon, {"units": "degrees_east"}),
        }
        kw = {}
    else:
        dims = ("time", "j", "i")
        coords = {
            "j": ("j", lat, {"standard_name": "latitude", "axis": "Y"}),
            "i": ("i", lon, {"standard_name": "longitude", "axis": "X"}),
        }
        kw = {}
    fa = xr.DataArray(f, dims=dims, coords=coords, attrs={"units": "K"})
    g = tarnwell.gradient(fa, **kw)
    dfdx, dfdy = sphere_by_hand(f, lon, lat)
    # numpy.gradient orders its arithmetic otherwise: agreement to rounding of the
    # differences, which cancel where the field is flat
    for got, hand in ((g.dfdx, dfdx), (g.dfdy, dfdy)):
        np.testing.assert_allclose(got.values, hand, rtol=1e-12, atol=1e-12 * abs(hand).max())
    assert g.dfdx.attrs["units"] == "K m-1"
    ref = _sphere.gradient(f, lon, lat)
    assert_bits(g.dfdx.values, ref[0])
    assert_bits(g.dfdy.values, ref[1])
    # lazily, in chunks along time: the same bits
    lazy = tarnwell.gradient(fa.chunk({dims[0]: 1}), **kw)
    assert_bits(lazy.dfdx.values, ref[0])


def test_quantities_in_degrees_take_the_sphere_and_mixed_grids_are_refused(latlon):
    pint = pytest.importorskip("pint")
    ureg = pint.get_application_registry()
    f, lon, lat = latlon
    g = tarnwell.gradient(
        ureg.Quantity(f, "K"), ureg.Quantity(lon, "degree"), ureg.Quantity(lat, "degree")
    )
    ref = _sphere.gradient(f, lon, lat)
    assert_bits(g.dfdx.magnitude, ref[0])
    assert g.dfdy.units == ureg.K / ureg.m
    with pytest.raises(ValueError, match=r"tarnwell\.gradient: y is in degrees but x is not"):
        tarnwell.gradient(f, np.arange(lon.size) * 1e3, ureg.Quantity(lat, "degree"))
    with pytest.raises(ValueError, match=r"latitudes \(y\) reach beyond ±90 degrees"):
        tarnwell.gradient(f, ureg.Quantity(lon, "degree"), ureg.Quantity(lat * 2, "degree"))


def test_pint_xarray_coordinates_are_converted(latlon):
    xr = pytest.importorskip("xarray")
    pytest.importorskip("pint_xarray")
    f, lon, lat = latlon
    x_km = np.arange(lon.size) * 3.0
    y_km = np.arange(lat.size) * 2.0
    plain = xr.DataArray(
        f,
        dims=("time", "y", "x"),
        coords={"y": ("y", y_km, {"units": "km"}), "x": ("x", x_km, {"units": "km"})},
        attrs={"units": "K"},
    )
    g = tarnwell.gradient(plain.pint.quantify())
    ref = tarnwell.gradient(f, x_km * 1000.0, y_km * 1000.0)
    assert_bits(g.dfdx.values, ref.dfdx)
    assert_bits(g.dfdy.values, ref.dfdy)
    deg = xr.DataArray(
        f,
        dims=("time", "y", "x"),
        coords={"y": ("y", lat, {"units": "degree"}), "x": ("x", lon, {"units": "degree"})},
        attrs={"units": "K"},
    ).pint.quantify()
    assert_bits(tarnwell.gradient(deg).dfdx.values, _sphere.gradient(f, lon, lat)[0])


# pint and dask together ------------------------------------------------------------


def test_dask_blocks_of_quantities_are_converted_without_warnings():
    xr = pytest.importorskip("xarray")
    pytest.importorskip("dask.array")
    pytest.importorskip("pint_xarray")
    rng = np.random.default_rng(34)
    t_c = rng.uniform(-10, 30, (4, 6))
    td_c = t_c - rng.uniform(0, 10, (4, 6))
    p_hpa = np.linspace(1000.0, 700.0, 6)
    ds = xr.Dataset(
        {
            "t": (("time", "x"), t_c, {"units": "degC"}),
            "td": (("time", "x"), td_c, {"units": "degC"}),
            "p": (("x",), p_hpa, {"units": "hPa"}),
        }
    )
    lazy = ds.pint.quantify().chunk(time=1)
    r = tarnwell.thermo(lazy.t, lazy.p, lazy.td)
    assert r.theta.chunks is not None
    # by hand in SI: the same conversion, one multiplication or addition per value
    ref = tarnwell.thermo(t_c + 273.15, p_hpa * 100.0, td_c + 273.15)
    for field, expected in zip(r, ref, strict=True):
        assert_bits(field.values, expected)


def test_quantity_array_among_dataarrays_is_refused():
    xr = pytest.importorskip("xarray")
    pint = pytest.importorskip("pint")
    ureg = pint.get_application_registry()
    t = xr.DataArray(np.full((4, 4), 290.0), dims=("level", "x"), attrs={"units": "K"})
    with pytest.raises(TypeError, match=r"tarnwell\.thermo: p is a Quantity array"):
        tarnwell.thermo(t, ureg.Quantity(np.linspace(1000, 700, 4), "hPa"), t)
    # a scalar Quantity has no dimension to confuse
    r = tarnwell.thermo(t, ureg.Quantity(1000.0, "hPa"), t)
    assert_bits(r.theta.values, tarnwell.thermo(t.values, 100000.0, t.values).theta)


# dask chunks -----------------------------------------------------------------------


def test_thermo_on_dask_arguments_chunked_differently():
    xr = pytest.importorskip("xarray")
    da = pytest.importorskip("dask.array")
    rng = np.random.default_rng(35)
    t = rng.uniform(250, 300, (3, 8, 10))
    td = t - 4.0
    p = np.linspace(100000.0, 30000.0, 8)[:, None]
    # per-level storage chunks for t, another layout for td, p in memory
    r = tarnwell.thermo(da.from_array(t, chunks=(1, 1, 10)), p, da.from_array(td, chunks=(3, 4, 5)))
    ref = tarnwell.thermo(t, p, td)
    assert_fields([f.compute() for f in r], ref)
    dims = ("time", "level", "x")
    ta = xr.DataArray(t, dims=dims, attrs={"units": "K"}).chunk({"level": 1})
    tda = xr.DataArray(td, dims=dims, attrs={"units": "K"}).chunk({"time": 1, "x": 5})
    pa = xr.DataArray(p[:, 0], dims="level", attrs={"units": "Pa"})
    assert_fields([f.values for f in tarnwell.thermo(ta, pa, tda)], ref)


def test_unknown_chunk_sizes_are_refused_with_the_fix():
    da = pytest.importorskip("dask.array")
    values = np.linspace(250.0, 300.0, 40)
    x = da.from_array(values, chunks=10)
    unknown = x[x > 270.0]
    assert np.isnan(unknown.shape[0])
    with pytest.raises(ValueError, match=r"tarnwell\.thermo: t is a dask array of unknown chunk"):
        tarnwell.thermo(unknown, 1e5, unknown)
    with pytest.raises(ValueError, match=r"compute_chunk_sizes"):
        tarnwell.vad(unknown[None, :], unknown, cos_el=1.0)
    known = unknown.compute_chunk_sizes()
    kept = values[values > 270.0]
    assert_fields([f.compute() for f in tarnwell.thermo(known, 1e5, known)],
                  tarnwell.thermo(kept, 1e5, kept))  # fmt: skip


# Dimension order of column results -------------------------------------------------


def test_column_results_follow_the_data_arguments_dimensions():
    xr = pytest.importorskip("xarray")
    rng = np.random.default_rng(36)
    z = np.cumsum(rng.uniform(100, 400, (10, 6)), axis=0)  # (level, x), fixed in time
    u, v = rng.normal(0, 10, (2, 4, 10, 6))  # (time, level, x)
    za = xr.DataArray(z, dims=("level", "x"), attrs={"units": "m"})
    ua = xr.DataArray(u, dims=("time", "level", "x"), attrs={"units": "m s-1"})
    va = xr.DataArray(v, dims=("time", "level", "x"), attrs={"units": "m s-1"})
    r = tarnwell.profile(za, ua, va, ground=0.0, bottom=0.0, top=2000.0, cu=1.0, cv=1.0)
    assert r.helicity.dims == ("time", "x")
    ref = tarnwell.profile(z, u, v, ground=0.0, bottom=0.0, top=2000.0, cu=1.0, cv=1.0, axis=1)
    assert_fields([f.values for f in r], ref)
    b = xr.DataArray(rng.normal(-0.02, 0.01, (4, 10, 6)), dims=("time", "level", "x"))
    pool = tarnwell.cold_pool(za, b, bottom=0.0, threshold=0.0)
    assert pool.depth.dims == ("time", "x")


# Missing values ----------------------------------------------------------------------


@pytest.mark.parametrize("which", ["t", "p", "td"])
@pytest.mark.parametrize("inf", [np.inf, -np.inf])
def test_infinite_thermo_inputs_are_missing_like_nan(which, inf):
    args = {
        "t": np.array([280.0, 290.0]),
        "p": np.array([9e4, 8e4]),
        "td": np.array([270.0, 275.0]),
    }
    with_inf = dict(args, **{which: np.array([inf, args[which][1]])})
    with_nan = dict(args, **{which: np.array([np.nan, args[which][1]])})
    got = tarnwell.thermo(**with_inf)
    assert_fields(got, tarnwell.thermo(**with_nan))
    assert np.isnan(got.theta_e[0])
    # the caller's array is not written
    assert np.isinf(with_inf[which][0])
    # both infinities at once, and finite values whose sum overflows
    both = dict(args, **{which: np.array([inf, -inf])})
    assert np.isnan(tarnwell.thermo(**both).theta_e).all()
    huge = np.array([1.7e308, 1.7e308, 290.0])
    assert_fields(tarnwell.thermo(huge, 9e4, 280.0), _tarnwell_direct(huge, 9e4, 280.0))


def _tarnwell_direct(t, p, td):
    out = tw.thermo(*np.broadcast_arrays(t, p, td))
    return list(out.reshape(4, -1))


# Values in the wrong unit ------------------------------------------------------------


def caught(call):
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        call()
    return [w for w in seen if issubclass(w.category, UserWarning)]


def test_implausible_plain_values_warn_once_naming_argument_and_unit():
    hpa = caught(lambda: tarnwell.thermo(300.0, 1000.0, 290.0))
    assert len(hpa) == 1 and "p looks like hPa" in str(hpa[0].message)
    assert hpa[0].filename == __file__  # points at the caller's line
    celsius = caught(lambda: tarnwell.thermo(np.array([20.0, 25.0]), 1e5, np.array([10.0, 5.0])))
    assert len(celsius) == 1
    text = str(celsius[0].message)
    assert "t looks like degC" in text and "td looks like degC" in text
    az_deg = np.arange(0.0, 360.0, 5.0)
    deg = caught(lambda: tarnwell.vad(np.ones((2, az_deg.size)), az_deg, cos_el=1.0))
    assert len(deg) == 1 and "az looks like degrees" in str(deg[0].message)


def test_valid_si_values_never_warn(columns):
    rng = np.random.default_rng(37)
    t = rng.uniform(190.0, 320.0, (20, 30))
    p = np.geomspace(100000.0, 1000.0, 20)[:, None]  # up to 10 hPa, as Pa
    cold = t - 80.0  # dew points far below the temperature still K
    az = np.linspace(-np.pi, 2 * np.pi, 60)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        tarnwell.thermo(t, p, cold)
        tarnwell.thermo(t, np.full((20, 30), np.nan), cold)  # all missing: nothing to judge
        tarnwell.vad(np.ones((3, 60)), az, cos_el=1.0)
        z, u, v, b = (columns[k] for k in "zuvb")
        tarnwell.profile(z, u, v, ground=0.0, bottom=0.0, top=1000.0, axis=1)
        tarnwell.cold_pool(z, b, bottom=0.0, threshold=0.0, axis=1)


def test_dataarray_without_units_is_judged_and_cf_mb_is_millibar():
    xr = pytest.importorskip("xarray")
    t = xr.DataArray(np.full((3, 2), 290.0), dims=("level", "x"), attrs={"units": "K"})
    level = xr.DataArray([1000.0, 850.0, 700.0], dims="level")  # hPa, no units attribute
    found = caught(lambda: tarnwell.thermo(t, level, t - 5.0))
    assert len(found) == 1 and "p looks like hPa" in str(found[0].message)
    mb = level.assign_attrs(units="mb")
    r = tarnwell.thermo(t, mb, t - 5.0)
    p_pa = np.array([1000.0, 850.0, 700.0])[:, None] * 100.0
    assert_bits(r.theta.values, tarnwell.thermo(t.values, p_pa, t.values - 5.0).theta)


# Defaults and combining results ------------------------------------------------------


def test_defaults_are_the_documented_ones(columns):
    z, u, v, b = (columns[k] for k in "zuvb")
    kw = dict(ground=np.nan, bottom=0.0, top=1000.0, axis=1)
    no_motion = tarnwell.profile(z, u, v, **kw)
    explicit = tarnwell.profile(z, u, v, cu=np.nan, cv=np.nan, **kw)
    assert_fields(no_motion, explicit)
    assert np.isnan(no_motion.helicity).all() and np.isfinite(no_motion.u_mean).any()
    pool = dict(bottom=0.0, threshold=0.0, axis=1)
    assert_fields(tarnwell.cold_pool(z, b, **pool), tarnwell.cold_pool(z, b, top=np.nan, **pool))
    rng = np.random.default_rng(38)
    az = np.sort(rng.uniform(0, 2 * np.pi, (6, 40)), axis=-1)
    az[0, 20:] = np.nan  # half a ring: too few gates and too little spread
    vr = 5 * np.sin(az) + rng.normal(0, 0.5, az.shape)
    default = tarnwell.vad(vr, az, cos_el=1.0)
    assert_fields(default, tarnwell.vad(vr, az, cos_el=1.0, min_gates=30, min_spread=0.2))
    assert np.isnan(default.u[0]) and np.isfinite(default.u[1:]).all()


def test_dataarray_results_combine_into_a_dataset():
    xr = pytest.importorskip("xarray")
    t = xr.DataArray(np.full((2, 3), 290.0), dims=("y", "x"), attrs={"units": "K"})
    p = xr.DataArray(np.full((2, 3), 9e4), dims=("y", "x"), attrs={"units": "Pa"})
    ds = tarnwell.thermo(t, p, t - 3.0).to_dataset()
    assert list(ds.data_vars) == list(tarnwell.Thermo._fields)
    assert ds.theta.attrs["units"] == "K" and ds.theta.dims == ("y", "x")
    with pytest.raises(TypeError, match=r"Thermo\.to_dataset: the fields are not DataArrays"):
        tarnwell.thermo(290.0, 9e4, 287.0).to_dataset()


# The first import of the optional stack, racing plain calls ---------------------------

CALLS = """
import numpy as np, tarnwell
z = np.cumsum(np.full((50, 8), 100.0), axis=-1)
az = np.linspace(0, 2 * np.pi, 40, endpoint=False)
def calls():
    tarnwell.thermo(np.full(64, 290.0), 9e4, 280.0, n_threads=None)
    tarnwell.cold_pool(z, -z / 1e5, bottom=0.0, threshold=0.0)
    tarnwell.profile(z, z, z, ground=0.0, bottom=0.0, top=300.0, cu=1.0, cv=1.0)
    tarnwell.gradient(np.ones((6, 7)), np.arange(7.0), np.arange(6.0))
    tarnwell.vad(np.ones((3, 40)), az, cos_el=1.0, min_gates=3)
"""


def run_python(code):
    out = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert out.returncode == 0, out.stderr
    return out.stdout


def test_half_imported_modules_are_never_read():
    # Each module as another thread's first import leaves it in sys.modules: present,
    # marked as initialising, its attributes not yet set.
    run_python(
        CALLS
        + """
import importlib.machinery, sys, types
for name in ("xarray", "dask", "dask.array", "dask.threaded", "pint", "distributed"):
    half = types.ModuleType(name)
    half.__spec__ = importlib.machinery.ModuleSpec(name, None)
    half.__spec__._initializing = True
    sys.modules[name] = half
calls()
"""
    )


def test_plain_calls_while_another_thread_imports_the_optional_stack():
    pytest.importorskip("xarray")
    pytest.importorskip("distributed")
    out = run_python(
        CALLS
        + """
import sys, threading
calls()
assert "xarray" not in sys.modules and "dask" not in sys.modules
def first_import():
    import xarray, dask.array, pint, distributed  # noqa: F401
importer = threading.Thread(target=first_import)
importer.start()
n = 0
while importer.is_alive() or n == 0:
    calls()
    n += 1
importer.join()
print(n)
"""
    )
    assert int(out) >= 1
