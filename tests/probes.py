"""Measurements on a call that tests share."""

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
