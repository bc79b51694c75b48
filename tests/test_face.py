"""Every declared diagnostic through every kind of input, against its SI NumPy answer.

The inputs are built from the declarations: a plausible SI value per declared
input, then recast as DataArrays in other units, transposed, top-down, pint
Quantities, dask chunked along columns or levels, masked, or one column. A
new diagnostic is tested here by being declared.
"""

import inspect

import numpy as np
import pytest
from parcel_ref import synthetic_soundings

import tarnwell
from tarnwell._declarations import DIAGNOSTICS

xr = pytest.importorskip("xarray")
da = pytest.importorskip("dask.array")
pint = pytest.importorskip("pint")
ureg = tarnwell.units.registry()

# Units a user is as likely to hand over: hPa, °C, km, knots, degrees.
OTHER_UNITS = {
    "Pa": "hPa",
    "K": "degC",
    "m": "km",
    "m s-1": "knot",
    "radian": "degree",
    "m s-2": "cm s-2",
    "m2 s-2": "m2 s-2",
    "J kg-1": "J g-1",
}
# The same units as pint spells them, for the test's own conversions.
PINT = {
    "m s-1": "m/s", "m s-2": "m/s**2", "cm s-2": "cm/s**2", "m2 s-2": "m**2/s**2",
    "J kg-1": "J/kg", "J g-1": "J/g", "kg kg-1": "kg/kg", "1": "dimensionless",
}  # fmt: skip
N_COLUMNS = 4


def _environment():
    """Four soundings (a capped one, unstable ones) with veering winds, rings of
    radar gates and a small grid, all SI."""
    p, t, td, z = synthetic_soundings(N_COLUMNS, 32, seed=21)
    h = z - z[:, :1]
    rng = np.random.default_rng(22)
    u = rng.uniform(0.0, 5.0, (N_COLUMNS, 1)) + h * rng.uniform(2.0, 5.0, (N_COLUMNS, 1)) / 1e3
    v = 8.0 * np.sin(h / rng.uniform(1500.0, 4000.0, (N_COLUMNS, 1)))
    az = np.broadcast_to(2 * np.pi * np.arange(36) / 36, (N_COLUMNS, 36))
    cos_el = np.cos([0.01, 0.1, 0.3, 0.5])
    wind = rng.uniform(-15.0, 15.0, (N_COLUMNS, 2, 1))
    vr = (wind[:, 0] * np.sin(az) + wind[:, 1] * np.cos(az)) * cos_el[:, None] + np.sin(2 * az)
    y, x = np.linspace(0.0, 3000.0, 4), np.linspace(0.0, 8000.0, 5)
    column = np.array
    return {
        "p": p, "t": t, "td": td, "z": z, "u": u, "v": v,
        "b": 0.02 * (h / 1000.0 - 1.2) + 0.002 * np.arange(N_COLUMNS)[:, None],
        "bottom": z[:, 0], "top": column([np.nan, 500.0, np.nan, 800.0]),
        "threshold": 0.0, "ground": z[:, 0] + 50.0,
        "cu": column([3.0, -2.0, 6.0, 0.5]), "cv": column([-2.0, 4.0, 1.0, 7.0]),
        "layer.bottom_height": column([0.0, 250.0, np.nan, 0.0]),
        "layer.top_height": column([1500.0, 1000.0, np.nan, 0.0]),
        "el_height": column([11000.0, 9000.0, 12000.0, np.nan]),
        "vr": vr, "az": az, "cos_el": cos_el, "min_gates": 3, "min_spread": 0.1,
        "f": np.add.outer(y**1.5, np.sqrt(x)) / 100.0, "x": x, "y": y,
        "mlcape": column([1500.0, 3000.0, 2500.0, 800.0]),
        "mlcin": column([0.0, -125.0, -10.0, -300.0]),
        "ml_lcl_height": column([500.0, 1500.0, 800.0, 2500.0]),
        "mucape": column([1000.0, 2000.0, 3500.0, 0.0]),
        "mucin": column([0.0, -80.0, -10.0, -5.0]),
        "esrh": column([150.0, 300.0, 80.0, 0.0]),
        "ebwd": column([20.0, 40.0, 11.0, 0.0]),
        "effective_bottom": column([0.0, 0.0, 250.0, np.nan]),
    }  # fmt: skip


ENV = _environment()
# A layer's ends for the whole call (profile's), where others take them per column.
SCALARS = {"bottom": 0.0, "top": 3000.0}


def function(decl):
    target = tarnwell
    for part in decl.name.split("."):
        target = getattr(target, part)
    return target


def call(decl, values, **options):
    """The public function on declared inputs by name."""
    params = inspect.signature(function(decl)).parameters
    kwargs = {n: v for n, v in values.items() if n in params}
    # Inputs declared as fields of one parameter ("layer.bottom_height"): the
    # effective layer, its other fields missing.
    bundled = {n.split(".")[1]: v for n, v in values.items() if "." in n}
    if bundled:
        fields = tarnwell.composites.EffectiveLayer._fields
        kwargs["layer"] = tarnwell.composites.EffectiveLayer(
            *(bundled.get(f, np.nan) for f in fields)
        )
    return function(decl)(**kwargs, **options)


def si_values(decl):
    return {
        i.name: SCALARS[i.name] if i.role == "scalar" and i.name in SCALARS else ENV[i.name]
        for i in decl.inputs
    }


def core_dim(decl):
    return {"vertical": "level", "gate": "azimuth"}.get(decl.core)


def dims_of(decl, inp, value):
    if inp.role == "grid":
        return ("y", "x")
    if inp.role in ("level", "element") and np.ndim(value) == 2:
        return ("col", core_dim(decl) or "level")
    return ("col",)


def other_unit(unit):
    return OTHER_UNITS.get(unit, unit)


def convert(values, source, target):
    source, target = PINT.get(source, source), PINT.get(target, target)
    return ureg.Quantity(np.asarray(values, dtype=np.float64), source).to(target).magnitude


def as_dataarrays(decl, values, units=None, transpose=False, chunks=None):
    """DataArrays named by dimension; in `units` (SI unit -> unit) with a units
    attribute; the level axis first when `transpose`; dask-backed with `chunks`."""
    out = {}
    for inp in decl.inputs:
        value = values[inp.name]
        if inp.role in ("scalar", "coordinate"):
            out[inp.name] = None if inp.role == "coordinate" else value
            continue
        attrs = {}
        if units is not None and inp.unit is not None:
            attrs["units"] = units(inp.unit)
            value = convert(value, inp.unit, attrs["units"])
        coords = {}
        if inp.role == "grid":
            for name in ("x", "y"):
                c = values[name] if units is None else convert(values[name], "m", "km")
                coords[name] = (name, c, {"units": "km" if units else "m"})
        a = xr.DataArray(value, dims=dims_of(decl, inp, value), coords=coords, attrs=attrs)
        if transpose:
            a = a.transpose(*reversed(a.dims))
        if chunks is not None:
            a = a.chunk({d: c for d, c in chunks.items() if d in a.dims})
        out[inp.name] = a
    return out


def top_down(decl, values):
    return {
        i.name: values[i.name][..., ::-1] if i.role == "level" else values[i.name]
        for i in decl.inputs
    }


def quantities(decl, values):
    """pint Quantities in other units; the gradient's field in kelvin."""
    out = {}
    for i in decl.inputs:
        value = values[i.name]
        if i.unit is not None:
            unit = other_unit(i.unit)
            out[i.name] = ureg.Quantity(convert(value, i.unit, unit), PINT.get(unit, unit))
        else:
            out[i.name] = ureg.Quantity(value, "K") if i.role == "grid" else value
    return out


def dask_arrays(decl, values):
    """Plain dask arrays chunked a column at a time."""
    return {
        i.name: da.from_array(values[i.name], chunks=1)
        if i.role in ("level", "element", "grid") and np.ndim(values[i.name]) >= 1
        else values[i.name]
        for i in decl.inputs
    }


def with_hole(decl, values):
    """One element of every level or element input masked (a masked array), and
    the same inputs with NaN there: masked means missing."""
    masked, nan = {}, {}
    for i in decl.inputs:
        value = values[i.name]
        if i.role in ("level", "element", "grid") and np.ndim(value) >= 1:
            mask = np.zeros(np.shape(value), dtype=bool)
            mask[(1,) + (np.ndim(value) - 1) * (min(5, np.shape(value)[-1] - 1),)] = True
            masked[i.name] = np.ma.MaskedArray(value, mask=mask)
            nan[i.name] = np.where(mask, np.nan, value)
        else:
            masked[i.name] = nan[i.name] = value
    return masked, nan


def one_column(decl, values):
    return {
        i.name: values[i.name][1]
        if i.role in ("level", "element", "column") and np.ndim(values[i.name]) >= 1
        else values[i.name]
        for i in decl.inputs
    }


def fields_of(decl, result):
    return [result] if decl.result is None else list(result)


def expected_dims(decl):
    if decl.core == "grid":
        return ("y", "x")
    values = si_values(decl)
    shapes = [dims_of(decl, i, values[i.name]) for i in decl.inputs if i.role == "element"]
    return max(shapes, key=len) if shapes else ("col",)


def check_dataarrays(decl, result, reference, rtol):
    """Fields named by the dimensions of the columns, in their declared units and CF
    names, equal to the SI answer; a Dataset of them for a named tuple."""
    for output, field, want in zip(decl.outputs, fields_of(decl, result), reference, strict=True):
        assert isinstance(field, xr.DataArray), output.name
        assert set(field.dims) == set(expected_dims(decl)), (output.name, field.dims)
        assert field.attrs["long_name"] == output.long_name
        if output.standard_name:
            assert field.attrs["standard_name"] == output.standard_name
        got = field.transpose(*expected_dims(decl)).values
        if output.unit is not None:
            assert field.attrs["units"] == output.unit
        compare(got, want, rtol)
    if decl.result is not None:
        assert set(result.to_dataset().data_vars) == set(decl.result._fields)


def compare(got, want, rtol):
    if rtol == 0.0:
        np.testing.assert_array_equal(got, want)
    else:
        np.testing.assert_allclose(got, want, rtol=rtol, atol=1e-9)


KINDS = [
    "dataarray_other_units",
    "dataarray_transposed",
    "top_down",
    "pint",
    "dask_columns",
    "dataarray_dask_levels",
    "masked",
    "one_column",
]
# hPa to Pa, °C to K, km to m, knots and degrees are not exact in binary.
CONVERTED = 1e-9


@pytest.fixture(scope="module")
def references():
    cache = {}

    def reference(decl):
        if decl.name not in cache:
            cache[decl.name] = [np.asarray(f) for f in fields_of(decl, call(decl, si_values(decl)))]
        return cache[decl.name]

    return reference


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("decl", DIAGNOSTICS, ids=lambda d: d.name)
def test_every_input_kind_gives_the_si_answer(decl, kind, references):
    reference = references(decl)
    # Not a comparison of NaN with NaN or 0 with 0 alone.
    assert any((np.isfinite(r) & (r != 0.0)).any() for r in reference)
    values = si_values(decl)
    if kind == "dataarray_other_units":
        got = call(decl, as_dataarrays(decl, values, units=other_unit))
        check_dataarrays(decl, got, reference, CONVERTED)
    elif kind == "dataarray_transposed":
        got = call(decl, as_dataarrays(decl, values, transpose=True))
        check_dataarrays(decl, got, reference, 0.0)
    elif kind == "top_down":
        if decl.heights is None:
            pytest.skip("no heights tell the direction of the columns")
        got = call(decl, top_down(decl, values))
        for field, want in zip(fields_of(decl, got), reference, strict=True):
            compare(field, want, 0.0)
    elif kind == "pint":
        got = call(decl, quantities(decl, values))
        for output, field, want in zip(decl.outputs, fields_of(decl, got), reference, strict=True):
            unit = PINT.get(output.unit, output.unit) if output.unit else "K / m"
            compare(field.to(unit).magnitude, want, CONVERTED)
    elif kind in ("dask_columns", "dataarray_dask_levels"):
        if kind == "dask_columns":
            got = call(decl, dask_arrays(decl, values))
            lazy = fields_of(decl, got)
        else:
            chunks = {"level": 7, "azimuth": 10, "col": 2, "x": 2}
            got = call(decl, as_dataarrays(decl, values, chunks=chunks))
            lazy = [f.data for f in fields_of(decl, got)]
        assert all(isinstance(f, da.Array) for f in lazy), "computed eagerly"
        for field, want in zip(lazy, reference, strict=True):
            compare(field.compute(), want, 0.0)
    elif kind == "masked":
        masked, nan = with_hole(decl, values)
        got = call(decl, masked)
        for field, want in zip(fields_of(decl, got), fields_of(decl, call(decl, nan)), strict=True):
            assert isinstance(field, np.ma.MaskedArray)
            compare(np.ma.filled(field, np.nan), want, 0.0)
            np.testing.assert_array_equal(np.ma.getmaskarray(field), np.isnan(want))
    elif kind == "one_column":
        if decl.core == "grid":
            pytest.skip("a gradient needs a grid")
        got = call(decl, one_column(decl, values))
        for field, want in zip(fields_of(decl, got), reference, strict=True):
            compare(field, want[1], 0.0)


@pytest.mark.parametrize(
    "decl", [d for d in DIAGNOSTICS if any(i.plausible for i in d.inputs)], ids=lambda d: d.name
)
def test_plain_numbers_in_the_wrong_units_warn(decl):
    """Pressures in hPa, temperatures in °C and azimuths in degrees, as plain numbers."""
    values = si_values(decl)
    suspects = [i for i in decl.inputs if i.plausible]
    for i in suspects:
        values[i.name] = convert(values[i.name], i.unit, other_unit(i.unit))
    with pytest.warns(UserWarning) as caught:
        call(decl, values)
    message = str(caught[0].message)
    assert message.startswith(f"tarnwell.{decl.name}: ")
    assert all(f"{i.name} looks like" in message for i in suspects)


@pytest.mark.parametrize(
    "decl",
    [d for d in DIAGNOSTICS if "n_threads" in inspect.signature(function(d)).parameters],
    ids=lambda d: d.name,
)
def test_results_do_not_depend_on_the_thread_count(decl):
    """Hundreds of columns (or elements, or grid rows), so that several threads
    each take several chunks of them."""
    tiles = 150
    values = {}
    for i in decl.inputs:
        value = si_values(decl)[i.name]
        if i.role in ("level", "element", "column") and np.ndim(value) >= 1:
            value = np.concatenate([value] * tiles)
        elif i.role == "grid":
            value = np.stack([value] * tiles)
        values[i.name] = value
    one = fields_of(decl, call(decl, values, n_threads=1))
    for n_threads in (2, 5):
        for a, b in zip(one, fields_of(decl, call(decl, values, n_threads=n_threads)), strict=True):
            np.testing.assert_array_equal(a, b)
