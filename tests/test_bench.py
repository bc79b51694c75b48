"""The benchmarks: a quick run of every benchmark file, and the pieces whose
faults would make docs/benchmarks.md wrong without anything failing (the
sounding reader, the difference measure of the agreement table and the NumPy
implementations timed against the kernels)."""

import importlib.util
import math
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

BENCH = Path(__file__).resolve().parent.parent / "bench"
sys.path.insert(0, str(BENCH))

import bench_cold_pool  # noqa: E402
import bench_vad  # noqa: E402
import data  # noqa: E402
import numba_ports  # noqa: E402
import report  # noqa: E402
from cold_pool_ref import cold_pool_ref  # noqa: E402
from scalar_ref import assert_same  # noqa: E402


def test_quick_run_of_every_benchmark_file(kernel_names):
    """Every kernel's benchmark runs at tiny sizes (its answer checks
    included) and every kernel gets its section; peers that are not installed
    are named, not silently dropped."""
    run = subprocess.run(
        [sys.executable, str(BENCH / "run.py"), "--quick"],
        capture_output=True,
        text=True,
        timeout=600,
        env={**os.environ, "OPENBLAS_NUM_THREADS": "1"},
    )
    assert run.returncode == 0, run.stderr[-4000:]
    for name in kernel_names:
        assert f"[bench] {name} done" in run.stdout
    goals = [line for line in run.stdout.splitlines() if "[met]" in line or "NOT MET" in line]
    assert goals, run.stdout
    if importlib.util.find_spec("metpy") is None:
        assert "MetPy does not import here" in run.stdout


SARS_TEXT = """%TITLE%
  OUN 990503/2300

   LEVEL       HGHT       TEMP       DWPT       WDIR       WSPD
-------------------------------------------------------------------
%RAW%
  965.00,    345.00,     28.20,     20.40,      0.00,     10.00
  950.00,    480.00,   -999.00,     19.00,     90.00,     20.00
  900.00,    935.00,     21.00,   -9999.00,    180.00,      0.00
%END%
"""


def test_sars_reader_units_missing_values_and_wind_convention(tmp_path):
    path = tmp_path / "99050323.oun"
    path.write_text(SARS_TEXT)
    s = data.read_sars(str(path))
    assert s["name"] == "99050323.oun"
    np.testing.assert_array_equal(s["p"], [96500.0, 95000.0, 90000.0])
    np.testing.assert_array_equal(s["z"], [345.0, 480.0, 935.0])
    assert s["t"][0] == 28.2 + 273.15 and math.isnan(s["t"][1])
    assert s["td"][1] == 19.0 + 273.15 and math.isnan(s["td"][2])
    # A 10 kt wind from the north blows towards the south; 20 kt from the
    # east blows towards the west.
    np.testing.assert_allclose(s["u"], [0.0, -20 * 0.514444, 0.0], atol=1e-12)
    np.testing.assert_allclose(s["v"], [-10 * 0.514444, 0.0, 0.0], atol=1e-12)


def test_compare_counts_one_sided_points_and_ignores_relative_noise_near_zero():
    rep = report.Report("unused")
    expected = np.array([1.0, 2.0, np.nan, 4.0, 1e-12, np.nan])
    actual = np.array([1.0, 2.5, 3.0, np.nan, 2e-12, np.nan])
    mabs, mrel = rep.compare("k", "what", expected, actual, "why")
    _, _, points, one_sided, a, r, _ = rep.comparisons[0]
    assert (points, one_sided) == (3, 2)  # NaN on both sides is agreement, not a point
    assert (a, r) == (mabs, mrel) == (0.5, 0.25)  # 1e-12 vs 2e-12 is below the relative floor
    rep.compare(
        "k", "masked", expected, actual, "why", mask=[True, False, False, False, False, False]
    )
    assert rep.comparisons[1][2:6] == (1, 0, 0.0, 0.0)


@pytest.mark.parametrize("threshold", [0.0, -0.01, 0.05])
def test_numpy_cold_pool_peer_matches_a_scalar_evaluation(threshold):
    z, b = data.synthetic_cold_pools(300, 12, seed=11)
    b[0, 0] = threshold  # a column whose start level is not cold
    b[1, 1] = threshold  # a crossing at the first level above the start
    b[2, :] = -0.05  # a column that never reaches the threshold
    got = bench_cold_pool.numpy_cold_pool(z, b, threshold)
    unbounded = np.full(len(z), np.nan)  # no bottom height, threshold mode everywhere
    want = cold_pool_ref(z, b, unbounded, threshold, unbounded)
    assert_same(got, want)
    assert got[2, 2] == 1.0 and got[0, 0] == 0.0


def test_lstsq_peer_recovers_the_wind_of_a_partial_ring():
    az = np.deg2rad(np.arange(0.0, 200.0, 5.0))[None, :]
    cos_el = np.array([math.cos(math.radians(2.5))])
    vr = 1.5 + (7.0 * np.sin(az) - 3.0 * np.cos(az)) * cos_el + 0.5 * np.sin(2 * az)
    vr[0, 4] = np.nan  # missing gates are left out of the fit
    got = bench_vad.numpy_vad(vr, az, cos_el, min_gates=3)
    assert got[4, 0] == az.size - 1
    # The first-order fit leaves the second harmonic in its residual; the
    # second-order fit recovers it exactly.
    np.testing.assert_allclose(got[[5, 6, 7], 0], [1.5, 0.5, 0.0], atol=1e-12)
    assert got[0, 0] != pytest.approx(7.0, abs=1e-6)
    exact = bench_vad.numpy_vad(vr - 0.5 * np.sin(2 * az), az, cos_el, min_gates=3)
    np.testing.assert_allclose(exact[[0, 1, 2, 3], 0], [7.0, -3.0, 1.5, 0.0], atol=1e-12)
    assert np.isnan(bench_vad.numpy_vad(vr[:, :2], az[:, :2], cos_el, min_gates=3)[0, 0])


def test_two_halves_control_covers_every_item_once(kernel_names):
    """The control timed beside the 2-thread call cuts each kernel's inputs
    at the item axis only: the two halves' results, side by side, are the
    whole call's result, bit for bit."""
    import _tarnwell as tw

    for name in kernel_names:
        _, _, _, args = numba_ports.inputs(name, quick=True)
        first, second = numba_ports.halves(args)
        kernel = getattr(tw, name)
        whole = kernel(*args, n_threads=1)
        parts = [kernel(*half, n_threads=1) for half in (first, second)]
        assert min(p.shape[1] for p in parts) > 0, name
        assert np.concatenate(parts, axis=1).tobytes() == whole.tobytes(), name


def test_split_counts_each_call_without_the_wrapped_calls_it_makes():
    """The command's split: a public function's time less the kernels it calls
    is its layout work, and a kernel called outside any public function still
    counts as kernel time; the parts add up to no more than the whole."""
    import time

    import bench_cli

    meter = bench_cli.Meter()
    kernel = meter.wrap("kernels", lambda: time.sleep(0.2))
    face = meter.wrap("face", lambda: (kernel(), time.sleep(0.02)))
    start = time.perf_counter()
    face()
    kernel()
    whole = time.perf_counter() - start
    assert meter.seconds["kernels"] >= 0.4
    assert 0.02 <= meter.seconds["face"] < 0.15
    assert sum(meter.seconds.values()) <= whole
