"""The `tarnwell` face on DataArrays and pint Quantities: dimensions, units, attributes."""

import numpy as np
import pytest
from scalar_ref import assert_bits

import tarnwell

xr = pytest.importorskip("xarray")
pint = pytest.importorskip("pint")

DIMS = ("time", "level", "y", "x")


@pytest.fixture(scope="module")
def grid():
    """A small level-first model grid with CF attributes, in SI units."""
    rng = np.random.default_rng(3)
    shape = (2, 6, 4, 5)
    coords = {
        "time": np.arange(2.0),
        "level": ("level", np.arange(6.0), {"axis": "Z", "positive": "up"}),
        "y": ("y", np.arange(4.0) * 2000.0, {"units": "m"}),
        "x": ("x", np.arange(5.0) * 3000.0, {"units": "m"}),
    }
    z = np.cumsum(rng.uniform(80.0, 400.0, shape), axis=1)
    t = rng.uniform(250.0, 305.0, shape)
    p = np.linspace(100000.0, 50000.0, 6)
    u, v = rng.normal(0.0, 10.0, (2, *shape))
    u[rng.random(shape) < 0.05] = np.nan

    def da(values, units, **extra):
        return xr.DataArray(values, dims=DIMS, coords=coords, attrs={"units": units, **extra})

    return {
        "z": da(z, "m"),
        "t": da(t, "K", long_name="air temperature", secret="do not leak"),
        "td": da(t - rng.uniform(0.0, 20.0, shape), "K"),
        "p": xr.DataArray(p, dims="level", attrs={"units": "Pa"}),
        "u": da(u, "m s-1"),
        "v": da(v, "m s-1"),
        "b": da(rng.normal(-0.02, 0.02, shape), "m s-2"),
    }


PROFILE_KW = dict(ground=np.nan, bottom=0.0, top=1000.0, cu=2.0, cv=-1.0)


def test_dataarray_results_match_numpy_in_any_dimension_order(grid):
    ref = tarnwell.profile(
        grid["z"].values, grid["u"].values, grid["v"].values, axis=1, **PROFILE_KW
    )
    for order in (DIMS, ("x", "level", "time", "y"), ("y", "x", "time", "level")):
        # the wind's order governs; the others are aligned by name
        z = grid["z"].transpose(*order[::-1])
        u = grid["u"].transpose(*order)
        r = tarnwell.profile(z, u, grid["v"].transpose(*order[::-1]), **PROFILE_KW)
        dims = tuple(d for d in order if d != "level")
        for field, expected in zip(r, ref, strict=True):
            assert field.dims == dims
            assert_bits(field.transpose("time", "y", "x"), expected)
        assert set(r.helicity.coords) == {"time", "y", "x"}


def test_attributes_are_cf_and_nothing_leaks(grid):
    r = tarnwell.thermo(grid["t"], grid["p"], grid["td"])
    assert r.theta.attrs == {
        "units": "K",
        "long_name": "potential temperature",
        "standard_name": "air_potential_temperature",
    }
    assert r.mixing_ratio.attrs["units"] == "kg kg-1"
    assert r.theta.dims == DIMS and r.theta.name == "theta"
    ds = xr.Dataset(r._asdict())
    assert list(ds.data_vars) == ["mixing_ratio", "theta", "theta_v", "theta_e"]
    # the pressure per level broadcast by name, like a NumPy (1, L, 1, 1) array
    expected = tarnwell.thermo(grid["t"].values, grid["p"].values[:, None, None], grid["td"].values)
    assert_bits(r.theta_e, expected.theta_e)
    cp = tarnwell.cold_pool(grid["z"], grid["b"], bottom=0.0, threshold=-0.01, top=np.nan)
    assert cp.intensity.attrs["units"] == "m s-1" and "secret" not in cp.intensity.attrs


def test_vertical_dimension_inferred_named_or_refused(grid):
    z = grid["z"].rename(level="lev").drop_vars("lev")
    b = grid["b"].rename(level="lev").drop_vars("lev")
    by_name = tarnwell.cold_pool(z, b, bottom=0.0, threshold=0.0, top=500.0)
    by_attr = tarnwell.cold_pool(grid["z"], grid["b"], bottom=0.0, threshold=0.0, top=500.0)
    assert_bits(by_name.intensity, by_attr.intensity)
    anon = {k: grid[k].rename(level="k").drop_vars("k") for k in ("z", "b")}
    with pytest.raises(ValueError, match=r"tarnwell\.cold_pool: cannot tell the vertical .*dim="):
        tarnwell.cold_pool(anon["z"], anon["b"], bottom=0.0, threshold=0.0, top=500.0)
    named = tarnwell.cold_pool(anon["z"], anon["b"], bottom=0.0, threshold=0.0, top=500.0, dim="k")
    assert_bits(named.intensity, by_attr.intensity)
    two = {k: a.rename(y="height", k="level").drop_vars("height") for k, a in anon.items()}
    with pytest.raises(ValueError, match=r"vertical dimension .* is ambiguous .*'level'"):
        tarnwell.cold_pool(two["z"], two["b"], bottom=0.0, threshold=0.0, top=500.0)
    with pytest.raises(ValueError, match=r"z with dimensions .* lacks the vertical dimension"):
        tarnwell.cold_pool(
            anon["z"].isel(k=0), anon["b"], bottom=0.0, threshold=0.0, top=500.0, dim="k"
        )


def test_gradient_uses_coordinates_with_units_and_refuses_degrees(grid):
    t = grid["t"]
    g = tarnwell.gradient(t)
    ref = tarnwell.gradient(t.values, t.x.values, t.y.values)
    assert_bits(g.dfdx, ref.dfdx)
    assert g.dfdx.dims == DIMS and g.dfdx.attrs["units"] == "K m-1"
    km = t.assign_coords(x=("x", t.x.values / 1000.0, {"units": "km"}))
    assert_bits(
        tarnwell.gradient(km.transpose("x", "y", "level", "time")).dfdx.transpose(*DIMS), ref.dfdx
    )
    lon = t.assign_coords(x=("x", np.arange(5.0), {"units": "degrees_east"}))
    with pytest.raises(ValueError, match=r"tarnwell\.gradient: x is in degrees.*metres"):
        tarnwell.gradient(lon)


def test_udunits_per_divides_the_factor_after_it():
    from tarnwell.units import cf_to_pint, registry

    ureg = registry()
    for text, expected in [
        ("meters per seconds", "m/s"),
        ("m per s", "m/s"),
        ("kg m per s2 K", "kg m K / s**2"),
        ("m s-1", "m/s"),
        ("m.s-1", "m/s"),
        ("kg·m-2 s-1", "kg / m**2 / s"),
    ]:
        assert ureg.parse_units(cf_to_pint(text)) == ureg.parse_units(expected), text
    vr = xr.DataArray(np.full((3, 40), 5.0), dims=("ring", "gate"), attrs={"units": "m per s"})
    az = np.linspace(0.0, 2 * np.pi, 40, endpoint=False)
    az = xr.DataArray(az, dims="gate")
    fit = tarnwell.vad(vr, az, cos_el=1.0, min_gates=10, min_spread=0.2, dim="gate")
    np.testing.assert_allclose(fit.a0.values, 5.0)


@pytest.mark.parametrize(
    ("spellings", "si", "one"),
    [
        (
            ("Kelvin", "degree_K", "degrees_K", "degK", "deg_K", "degreeK", "degree_Kelvin"),
            "K",
            1.0,
        ),
        (
            ("degC", "degree_C", "degrees_C", "deg_C", "Celsius", "celsius", "degreesC"),
            "K",
            274.15,
        ),
        (("Pascal", "Pascals", "pascal", "Pa"), "Pa", 1.0),
        (("hPa", "mb", "millibar", "hectopascal"), "Pa", 100.0),
        (("knots", "kt", "knot"), "m s-1", 1852.0 / 3600.0),
        (("m.s-1", "m s-1", "m/s", "meters per second"), "m s-1", 1.0),
    ],
)
def test_units_as_cf_files_spell_them(spellings, si, one):
    """The spellings UDUNITS accepts and CF files carry, each read as the unit it names."""
    from tarnwell.units import cf_to_pint, registry

    ureg = registry()
    for text in spellings:
        value = ureg.Quantity(1.0, cf_to_pint(text)).to(cf_to_pint(si)).magnitude
        assert value == pytest.approx(one, rel=1e-12), text


def test_units_converted_from_common_spellings(grid):
    t_c = grid["t"] - 273.15
    t_c.attrs["units"] = "degC"
    p_hpa = grid["p"] / 100.0
    p_hpa.attrs["units"] = "hPa"
    si = tarnwell.thermo(grid["t"], grid["p"], grid["td"])
    other = tarnwell.thermo(t_c, p_hpa, grid["td"])
    for a, b in zip(si, other, strict=True):
        np.testing.assert_allclose(a, b, rtol=1e-12)
    z_km = grid["z"] / 1000.0
    z_km.attrs["units"] = "km"
    u_kt = grid["u"] / 0.514444
    u_kt.attrs["units"] = "knots"
    v_kt = grid["v"] / 0.514444
    v_kt.attrs["units"] = "kt"
    a = tarnwell.profile(
        grid["z"],
        grid["u"] * (1852 / 3600 / 0.514444),
        grid["v"] * (1852 / 3600 / 0.514444),
        **PROFILE_KW,
    )
    b = tarnwell.profile(z_km, u_kt, v_kt, **PROFILE_KW)
    for x, y in zip(a, b, strict=True):
        np.testing.assert_allclose(x, y, rtol=1e-9, atol=1e-9)


@pytest.mark.parametrize(
    ("name", "units", "pattern"),
    [
        ("t", "m", r"tarnwell\.thermo: t has units 'm', which do not convert to 'K'"),
        ("p", "furlongs per blorg", r"tarnwell\.thermo: p has units .* pint cannot read"),
    ],
)
def test_incompatible_units_name_the_argument(grid, name, units, pattern):
    args = {"t": grid["t"], "p": grid["p"], "td": grid["td"]}
    args[name] = args[name].copy()
    args[name].attrs["units"] = units
    with pytest.raises(ValueError, match=pattern):
        tarnwell.thermo(**args)


def test_pint_quantities_in_and_out():
    ureg = pint.get_application_registry()
    t = np.array([300.0, 280.0])
    r = tarnwell.thermo(
        ureg.Quantity(t - 273.15, "degC"),
        ureg.Quantity(1000.0, "hPa"),
        ureg.Quantity(t - 10.0, "K"),
    )
    plain = tarnwell.thermo(t, 100000.0, t - 10.0)
    assert str(r.theta.units) == "kelvin"
    np.testing.assert_allclose(r.theta.magnitude, plain.theta, rtol=1e-14)
    g = tarnwell.gradient(
        ureg.Quantity(np.arange(12.0).reshape(3, 4), "K"),
        ureg.Quantity(np.arange(4.0), "km"),
        np.arange(3.0),
    )
    assert g.dfdx.units == ureg.K / ureg.m
    np.testing.assert_allclose(g.dfdx.magnitude, 1e-3)
    with pytest.raises(ValueError, match=r"tarnwell\.vad: az has units 'meter'"):
        tarnwell.vad(
            np.ones((2, 8)), ureg.Quantity(np.ones(8), "m"), cos_el=1.0, min_gates=3, min_spread=0.0
        )
    with pytest.raises(ValueError, match=r"x is in degrees"):
        tarnwell.gradient(np.ones((3, 4)), ureg.Quantity(np.arange(4.0), "degree"), np.arange(3.0))


def test_vad_on_a_sweep_with_azimuth_in_degrees():
    rng = np.random.default_rng(4)
    az_deg = np.arange(0.0, 360.0, 2.0)
    azr = np.radians(az_deg)
    rng_m = np.array([1000.0, 2000.0, 3000.0])
    vr = (4.0 * np.sin(azr) - 3.0 * np.cos(azr))[:, None] + rng.normal(0, 0.1, (180, 3))
    sweep = xr.DataArray(
        vr,
        dims=("azimuth", "range"),
        coords={"azimuth": ("azimuth", az_deg, {"units": "degrees"}), "range": rng_m},
        attrs={"units": "m s-1"},
    )
    r = tarnwell.vad(sweep, sweep.azimuth, cos_el=1.0, min_gates=10, min_spread=0.1)
    ref = tarnwell.vad(vr.T, azr, cos_el=1.0, min_gates=10, min_spread=0.1)
    assert r.u.dims == ("range",)
    np.testing.assert_allclose(r.u, ref.u, rtol=1e-12)
    assert r.u.attrs["standard_name"] == "eastward_wind"


def test_plain_arrays_among_dataarrays_and_positional_axes_are_refused(grid):
    with pytest.raises(TypeError, match=r"tarnwell\.profile: cu is a plain array"):
        tarnwell.profile(
            grid["z"],
            grid["u"],
            grid["v"],
            ground=0.0,
            bottom=0.0,
            top=1.0,
            cu=np.zeros((2, 4, 5)),
            cv=0.0,
        )
    with pytest.raises(ValueError, match=r"tarnwell\.profile: cu with dimensions .* varies along"):
        tarnwell.profile(grid["z"], grid["u"], grid["v"], **(PROFILE_KW | {"cu": grid["u"]}))
    with pytest.raises(TypeError, match="by dimension"):
        tarnwell.profile(grid["z"], grid["u"], grid["v"], axis=1, **PROFILE_KW)
