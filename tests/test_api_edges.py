"""The functions at the edges of their domains: plain values in the wrong unit,
vapour pressure at the pressure, vertical or mistaken beam elevations, grids
across the date line, round the globe or with zero spacing, unknown composite
inputs, and single columns without a usable height. Each case is compared with
a computation by hand or the same call laid out another way."""

import math
import warnings

import numpy as np
import pytest
from scalar_ref import assert_bits

import _tarnwell as tw
import tarnwell
from tarnwell import composites as cp

R = 6371000.0
P = np.array([1000.0, 925, 850, 700, 500, 400, 300, 250, 200, 150, 100]) * 100
T = np.array([303.0, 297, 293, 283, 265, 254, 240, 231, 221, 215, 210])
TD = np.array([296.0, 292, 287, 273, 250, 235, 220, 210, 200, 190, 185])
Z = np.array([0.0, 700, 1450, 3000, 5600, 7200, 9200, 10400, 11800, 13600, 16200])


def user_warnings(call):
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        call()
    return [w for w in seen if issubclass(w.category, UserWarning)]


def _levels(*columns):
    """Columns as DataArrays without a units attribute, as many files store hPa."""
    xr = pytest.importorskip("xarray")
    return [xr.DataArray(c, dims="level") for c in columns]


@pytest.mark.parametrize(
    "call, names",
    [
        (lambda: tarnwell.parcel(P / 100, T, TD, Z), ["p looks like hPa"]),
        (lambda: tarnwell.parcel(P, T - 273.15, TD - 273.15, Z), ["t looks like", "td looks"]),
        (lambda: cp.effective_inflow_layer(P / 100, T, TD, Z), ["p looks like hPa"]),
        (lambda: cp.effective_inflow_layer(P, T, TD - 273.15, Z), ["td looks like degC"]),
        (lambda: tarnwell.parcel(*_levels(P / 100, T, TD, Z)), ["p looks like hPa"]),
    ],
    ids=["parcel-hPa", "parcel-degC", "layer-hPa", "layer-degC", "parcel-DataArray-hPa"],
)
def test_pressures_and_temperatures_in_other_units_warn_once(call, names):
    found = user_warnings(call)
    assert len(found) == 1 and found[0].filename == __file__
    assert all(name in str(found[0].message) for name in names)


def _vapour_pressure(td):
    """Bolton's saturation vapour pressure as the kernel evaluates it."""
    tc = td - 273.15
    return math.exp((tc * 17.67) / (tc + 243.5)) * 611.2


E_373 = _vapour_pressure(373.0)


@pytest.mark.parametrize(
    "t, p, td",
    [
        (380.0, 50000.0, 373.0),  # e > p
        (380.0, E_373, 373.0),  # e = p
        (373.0, 80000.0, 380.0),  # clamped to saturation, e > p
        (300.0, -5.0e4, 290.0),  # no air
    ],
)
def test_no_mixing_ratio_where_vapour_pressure_reaches_pressure(t, p, td):
    t_in = np.array([t, 300.0, 380.0])
    p_in = np.array([p, 1.0e5, math.nextafter(E_373, math.inf)])  # e just below p
    td_in = np.array([td, 290.0, 373.0])
    direct = tw.thermo(t_in, p_in, td_in)
    assert not direct[0, 0] >= 0.0 or direct[0, 0] == math.inf  # the kernel's number
    for masked in (False, True):
        args = [np.ma.MaskedArray(a) if masked else a for a in (t_in, p_in, td_in)]
        r = tarnwell.thermo(*args)
        assert np.isnan(np.ma.getdata(r.mixing_ratio)[0])
        assert np.isnan(np.ma.getdata(r.theta_v)[0]) and np.isnan(np.ma.getdata(r.theta_e)[0])
        if masked:
            assert r.theta_e.mask.tolist() == [True, False, False]
        assert_bits(np.ma.getdata(r.theta), direct[1])  # θ needs no vapour
        for got, want in zip(r, direct, strict=True):
            assert_bits(np.ma.getdata(got)[1:], want[1:])  # e < p: untouched
    assert direct[0, 2] > 1e6  # e just below p: huge, and kept
    lazy = tarnwell.thermo(pytest.importorskip("dask.array").from_array(t_in, 1), p_in, td_in)
    for got, want in zip(lazy, tarnwell.thermo(t_in, p_in, td_in), strict=True):
        assert_bits(got.compute(), want)


AZ = 2 * np.pi * np.arange(36) / 36
VR = 3 + (10 * np.sin(AZ) + 5 * np.cos(AZ)) * math.cos(0.5) + 2 * np.sin(2 * AZ)


@pytest.mark.parametrize("cos_el", [0.0, -0.0, -0.5, -1.0, np.nan])
def test_vad_vertical_beam_has_no_horizontal_wind(cos_el):
    rings = np.stack([VR, VR])
    r = tarnwell.vad(rings, AZ, cos_el=[math.cos(0.5), cos_el], min_gates=3, min_spread=0.1)
    az = np.ascontiguousarray(np.broadcast_to(AZ, rings.shape))
    direct = tw.vad(rings, az, np.array([math.cos(0.5), math.cos(0.5)]), 3, 0.1)
    assert (r.u[0], r.v[0]) == pytest.approx((10.0, 5.0), rel=1e-14)
    assert np.isnan(r.u[1]) and np.isnan(r.v[1])
    for name, got, want in zip(r._fields, r, direct, strict=True):
        if name not in ("u", "v"):  # the fit itself does not need the elevation
            assert_bits(got, want)


@pytest.mark.parametrize("cos_el", [2.0, 1.0000001, -1.5, np.inf, [0.9, 45.0]])
def test_vad_refuses_an_elevation_for_its_cosine(cos_el):
    with pytest.raises(ValueError, match=r"cos_el .* cosine of each ring's elevation"):
        tarnwell.vad(np.stack([VR, VR]), AZ, cos_el=cos_el)


def _by_hand_dfdx(f, lon, lat, periodic):
    """Eastward derivative from the arc along each parallel, R cos(lat) dlon, with
    longitude differences taken the short way round."""
    n = len(lon)
    out = np.empty_like(f)
    for j, phi in enumerate(np.deg2rad(lat)):
        for i in range(n):
            lo, up = i - 1, i + 1
            if not periodic:
                lo, up = max(lo, 0), min(up, n - 1)
            dlon = ((lon[up % n] - lon[lo] + 180.0) % 360.0) - 180.0
            out[j, i] = (f[j, up % n] - f[j, lo]) / (R * math.cos(phi) * math.radians(dlon))
    return out


@pytest.mark.parametrize(
    "lon, periodic",
    [
        (np.array([170.0, 175.0, 180.0, -175.0, -170.0]), False),
        (np.arange(0.0, 360.0, 2.5), True),
        (np.arange(-180.0, 180.0, 2.5), True),
        (np.arange(357.5, -1.0, -2.5), True),
        (np.roll(np.arange(0.0, 360.0, 2.5), 30), True),  # the seam inside the grid
        (np.arange(0.0, 355.0, 2.5), False),  # one column short of the globe
    ],
    ids=["date-line", "0-357.5", "-180-177.5", "descending", "rolled", "regional"],
)
@pytest.mark.parametrize("face", ["pint", "xarray"])
def test_gradient_across_the_seam_against_hand_computation(lon, periodic, face):
    lat = np.array([-30.0, 0.0, 45.0])
    f = 280.0 + 10.0 * np.sin(np.deg2rad(lon))[None, :] * np.cos(np.deg2rad(lat))[:, None]
    if face == "pint":
        deg = pytest.importorskip("pint").get_application_registry().degree
        got = tarnwell.gradient(f, lon * deg, lat * deg).dfdx
    else:
        xr = pytest.importorskip("xarray")
        da = xr.DataArray(f, dims=("lat", "lon"), coords={"lat": lat, "lon": lon})
        got = tarnwell.gradient(da).dfdx.values
    np.testing.assert_allclose(got, _by_hand_dfdx(f, lon, lat, periodic), rtol=1e-9)


@pytest.mark.parametrize(
    "x, y",
    [([0.0, 0.0, 1.0, 2.0], [0.0, 1.0, 2.0]), ([0.0, 1.0, 2.0, 3.0], [5.0, 5.0, 6.0])],
    ids=["x", "y"],
)
def test_gradient_zero_spacing_is_nan_there_only(x, y):
    f = np.arange(12.0).reshape(3, 4) ** 2
    g = tarnwell.gradient(f, x=x, y=y)
    direct = tw.gradient(f[None], np.array(x), np.array(y))[:, 0]
    assert np.isinf(direct).any()  # what the kernel gives there
    for got, want in zip(g, direct, strict=True):
        inf = np.isinf(want)
        assert np.isnan(got[inf]).all()
        assert_bits(got[~inf], want[~inf])


@pytest.mark.parametrize("shape", [(3, 0), (0, 4), (2, 3, 0), (0, 0)])
def test_gradient_empty_fields_in_empty_fields_out(shape):
    g = tarnwell.gradient(np.empty(shape), x=np.arange(shape[-1]), y=np.arange(shape[-2]))
    assert g.dfdx.shape == g.dfdy.shape == shape


@pytest.mark.parametrize("unknown", range(5))
def test_stp_is_nan_for_an_unknown_input(unknown):
    args = [3000.0, -10.0, 800.0, 300.0, 25.0]
    args[unknown] = np.nan
    for bottom in (0.0, 250.0, np.nan):  # grounded, elevated, no layer
        assert np.isnan(cp.significant_tornado_parameter(*args, bottom))


@pytest.mark.parametrize("unknown", range(4))
def test_scp_is_nan_for_an_unknown_input(unknown):
    args = [2000.0, 100.0, 30.0, -80.0]
    args[unknown] = np.nan
    assert np.isnan(cp.supercell_composite_parameter(*args))


def test_no_effective_layer_is_zero_helicity_and_shear_unknown_storm_motion_nan():
    z = np.array([[0.0, 500.0, 1000.0, 2000.0]] * 2)
    u, v = np.array([[0.0, 5.0, 10.0, 10.0]] * 2), np.array([[0.0, 5.0, 5.0, 0.0]] * 2)
    layer = cp.EffectiveLayer(np.array([np.nan, 0.0]), np.array([np.nan, 1000.0]), None, None)
    esrh = cp.effective_srh(z, u, v, layer, cu=np.nan, cv=np.nan)
    ebwd = cp.effective_bulk_wind_difference(z, u, v, layer, np.array([np.nan, 2000.0]))
    assert esrh[0] == 0.0 and np.isnan(esrh[1])
    assert ebwd[0] == 0.0 and ebwd[1] == pytest.approx(math.hypot(10.0, 5.0), rel=1e-14)
    scp = cp.supercell_composite_parameter(2000.0, esrh, ebwd, -10.0)
    stp = cp.significant_tornado_parameter(2000.0, -10.0, 800.0, esrh, ebwd, layer.bottom_height)
    assert scp[0] == 0.0 and stp[0] == 0.0 and np.isnan(scp[1]) and np.isnan(stp[1])


COLUMN_CALLS = {
    "profile": lambda z: tarnwell.profile(z, T - 280, TD - 280, ground=0.0, bottom=0.0, top=1e3),
    "cold_pool": lambda z: tarnwell.cold_pool(z, (T - 290.0) / 100.0, bottom=0.0, threshold=0.0),
    "parcel": lambda z: tarnwell.parcel(P, T, TD, z),
}


@pytest.mark.parametrize("func", list(COLUMN_CALLS))
@pytest.mark.parametrize("heights", [np.full(11, np.nan), np.full(11, 500.0), Z[::-1]])
def test_single_column_is_the_batch_of_one(func, heights):
    call = COLUMN_CALLS[func]
    for got, batch in zip(call(heights), call(heights[None, :]), strict=True):
        assert got.shape == ()
        assert_bits(got, batch[0])
