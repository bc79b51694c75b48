"""Measurements on a call, and inputs, that tests share."""

import gc
import tracemalloc


def traced_peak(fn):
    """Peak bytes traced while fn runs (NumPy reports its array buffers to
    tracemalloc), so a test can tell a copy or an early allocation apart. A
    ValueError from fn is expected by the callers that probe refused calls."""
    gc.collect()
    tracemalloc.start()
    try:
        fn()
    except ValueError:
        pass
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    return peak


def one_line(err, *words):
    """The one line a failed command prints, holding every word of `words`."""
    lines = err.strip().splitlines()
    assert len(lines) == 1, err
    for word in words:
        assert word in lines[0], err
    return lines[0]


def model_stored_as_models_store(path, *, nt, seed):
    """The sample model as models store it: float32, zlib, one step per chunk."""
    from tarnwell import _sample_data

    ds = _sample_data.model_dataset(nt=nt, nz=12, ny=20, nx=24, dx=10000.0, seed=seed)
    chunks = (1, *ds["T"].shape[1:])
    stored = {"dtype": "float32", "zlib": True, "complevel": 1, "chunksizes": chunks}
    ds.to_netcdf(path, encoding={n: stored for n in ("T", "P", "TD", "Z", "U", "V")})
    return path
