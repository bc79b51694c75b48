"""The demo runs to the end on its built-in sample data, every kernel's
section included."""

import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_demo_runs_every_section(kernel_names):
    run = subprocess.run(
        [sys.executable, os.path.join(ROOT, "demo", "demo.py")],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert run.returncode == 0, run.stderr[-4000:]
    headers = [line for line in run.stdout.splitlines() if line.startswith("== ")]
    assert [h.split(":")[0][3:] for h in headers] == kernel_names
    assert f"demo: all {len(kernel_names)} sections ran" in run.stdout
    assert "nan" not in run.stdout.lower()  # every summary figure is defined


def test_sample_environment_is_one_a_forecaster_believes():
    """The demo's model sample at a coarser spacing over the same domain: CAPE of a
    moist warm sector (judged by its bulk: a few columns may be outliers of the
    ascent), and a storm's cold pool that no other air in the domain rivals (the
    post-frontal air is colder than the domain mean, the cold-pool reference)."""
    import numpy as np

    from tarnwell import _sample_data
    from tarnwell.cli import diagnose

    ds = _sample_data.model_dataset(ny=60, nx=80, dx=6000.0)
    out = diagnose.diagnose(ds, {}, diagnose.Options()).compute()
    cape = out["cape_sb"].values
    assert 2500.0 < np.percentile(cape, 99) < 5000.0
    assert 1000.0 < np.percentile(out["cape_ml"].values, 99) < 3500.0
    x, y = np.meshgrid(ds["x"].values, ds["y"].values)
    for intensity in out["intensity"].values:
        j, i = np.unravel_index(np.nanargmax(intensity), intensity.shape)
        far = np.hypot(x - x[j, i], y - y[j, i]) > 150e3
        assert np.nanmax(intensity[far]) < 0.5 * intensity[j, i]
