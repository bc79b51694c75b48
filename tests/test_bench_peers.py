"""The pieces of the peer benchmarks whose faults would make docs/benchmarks.md
wrong without anything failing: the sounding reader, the difference measure
of the agreement table and the NumPy implementations timed against the
kernels."""

import math
import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench", "peers"))

from cold_pool_ref import cold_pool_ref  # noqa: E402
from scalar_ref import assert_same  # noqa: E402

import cold_pool_peers  # noqa: E402
import data  # noqa: E402
import report  # noqa: E402
import vad_peers  # noqa: E402

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
    rep.compare("k", "masked", expected, actual, "why", mask=[True, False, False, False, False, False])
    assert rep.comparisons[1][2:6] == (1, 0, 0.0, 0.0)


@pytest.mark.parametrize("threshold", [0.0, -0.01, 0.05])
def test_numpy_cold_pool_peer_matches_a_scalar_evaluation(threshold):
    z, b = data.synthetic_cold_pools(300, 12, seed=11)
    b[0, 0] = threshold  # a column whose start level is not cold
    b[1, 1] = threshold  # a crossing at the first level above the start
    b[2, :] = -0.05  # a column that never reaches the threshold
    got = cold_pool_peers.numpy_cold_pool(z, b, threshold)
    unbounded = np.full(len(z), np.nan)  # no bottom height, threshold mode everywhere
    want = cold_pool_ref(z, b, unbounded, threshold, unbounded)
    assert_same(got, want)
    assert got[2, 2] == 1.0 and got[0, 0] == 0.0


def test_lstsq_peer_recovers_the_wind_of_a_partial_ring():
    az = np.deg2rad(np.arange(0.0, 200.0, 5.0))
    cos_el = math.cos(math.radians(2.5))
    vr = 1.5 + (7.0 * np.sin(az) - 3.0 * np.cos(az)) * cos_el
    vr[4] = np.nan  # missing gates are left out of the fit
    u, v = vad_peers.lstsq_ring(vr, az, cos_el)
    assert u == pytest.approx(7.0, abs=1e-12) and v == pytest.approx(-3.0, abs=1e-12)
    assert all(math.isnan(x) for x in vad_peers.lstsq_ring(vr[:2], az[:2], cos_el))
