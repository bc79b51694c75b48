"""Repeated calls keep memory flat: every function, on small inputs (used in
place or converted from lists), with worker threads, and through every error
path (failed shape checks, and arguments that fail to convert after others
were converted). tracemalloc sees every Python and NumPy allocation, so a
thousand calls tell exactly; the process's resident size is coarser and gets
10^5 calls for a small input and for each failed shape check. Calls that
start a worker thread (~1 ms) and conversion failures (whose TypeError message
formats every argument, ~0.2 ms) get fewer."""

import gc
import tracemalloc

import numpy as np
import pytest

import _tarnwell as tw

RSS_CALLS = {"small": 100_000, "workers": 1_000, ValueError: 100_000, TypeError: 2_000}
TRACED_CALLS = 1_000
# A leak of one Python object or one array buffer per call (>= 16 bytes) shows
# as >= 16 kB over the traced calls; the resident size may grow by a page or
# two of allocator bookkeeping, but not by a leak of >= 16 bytes per call over
# 10^5 calls.
RSS_BOUND = 1 << 20
TRACED_BOUND = 2048


def small(*shape):
    return np.linspace(0.5, 1.5, int(np.prod(shape))).reshape(shape)


Z = np.cumsum(np.full((3, 6), 200.0), axis=1)
B = np.tile(np.array([-0.05, -0.04, -0.02, 0.0, 0.01, 0.02]), (3, 1))
MANY_Z = np.tile(Z[:1], (130, 1))  # three chunks of columns
MANY_B = np.tile(B[:1], (130, 1))
AZ = np.tile(np.linspace(0.0, 6.0, 12), (3, 1))
VR = np.sin(AZ) * 5.0
NOT_A_NUMBER = ["a", "b", "c"]

# (function, valid calls, calls that must raise (exception type, args)).
PATHS = {
    "thermo": (
        [
            (small(4) + 290.0, small(4) * 9e4, [280.0, 281.0, 282.0, 283.0]),
            (small(4100) + 290.0, small(4100) * 9e4, small(4100) + 280.0, 2),
        ],
        [
            (ValueError, (small(4), small(3), small(4))),
            (TypeError, ([1.0], small(1), NOT_A_NUMBER)),
            (TypeError, ([1.0], small(1), small(1), 2.0)),
        ],
    ),
    "cold_pool": (
        [
            (Z, B.tolist(), [0.0, 0.0, 0.0], -0.01, np.full(3, np.nan)),
            (MANY_Z, MANY_B, np.zeros(130), -0.01, np.full(130, 500.0), 2),
        ],
        [
            (ValueError, (Z[0], B[0], [0.0], 0.0, [1.0])),
            (ValueError, (Z, B[:2], [0.0, 0.0], 0.0, [1.0, 1.0])),
            (TypeError, ([[0.0]], small(1, 1), [0.0], 0.0, NOT_A_NUMBER)),
        ],
    ),
    "profile": (
        [
            (Z.tolist(), np.sin(Z), np.cos(Z), np.zeros(3), 0.0, 600.0, [1.0] * 3, np.ones(3)),
            (
                MANY_Z,
                np.sin(MANY_Z),
                np.cos(MANY_Z),
                np.zeros(130),
                0.0,
                900.0,
                np.ones(130),
                np.ones(130),
                2,
            ),
        ],
        [
            (ValueError, (Z[0], Z[0], Z[0], [0.0], 0.0, 1.0, [0.0], [0.0])),
            (ValueError, (Z, Z, Z[:2], np.zeros(3), 0.0, 1.0, np.ones(3), np.ones(3))),
            (TypeError, ([[0.0]], small(1, 1), [1.0], [0.0], 0.0, 1.0, [1.0], NOT_A_NUMBER)),
        ],
    ),
    "gradient": (
        [
            (small(2, 4, 5).tolist(), np.arange(5.0), [0.0, 1.0, 3.0, 4.0]),
            (small(4, 40, 6), np.arange(6.0), np.arange(40.0), 2),
        ],
        [
            (ValueError, (small(4, 5), np.arange(5.0), np.arange(4.0))),
            (ValueError, (small(1, 4, 5), np.arange(4.0), np.arange(4.0))),
            (TypeError, ([[[1.0]]], small(1), NOT_A_NUMBER)),
        ],
    ),
    "vad": (
        [
            (VR.tolist(), AZ, [1.0, 0.9, 0.8], 3, 0.1),
            (np.tile(VR[:1], (130, 1)), np.tile(AZ[:1], (130, 1)), np.ones(130), 3, 0.1, 2),
        ],
        [
            (ValueError, (VR[0], AZ, [1.0], 3, 0.1)),
            (ValueError, (VR, AZ[:, :5], [1.0] * 3, 3, 0.1)),
            (TypeError, ([[1.0]], small(1, 1), NOT_A_NUMBER, 3, 0.1)),
            (TypeError, ([[1.0]], small(1, 1), [1.0], 3.0, 0.1)),
        ],
    ),
}


def resident_bytes():
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * 4096


def under_sanitizer():
    # ASan holds freed memory in quarantine and TSan keeps shadow state for
    # every thread started, so the resident size only grows under either.
    with open("/proc/self/maps") as f:
        maps = f.read()
    return "libasan" in maps or "libtsan" in maps


def repeat(fn, args, expect, calls):
    if expect is None:
        for _ in range(calls):
            fn(*args)
    else:
        for _ in range(calls):
            try:
                fn(*args)
            except expect:
                pass
            else:
                raise AssertionError(f"{fn.__name__}{args!r} did not raise {expect.__name__}")


def cases():
    for name, ((small_call, threaded_call), failing) in PATHS.items():
        yield pytest.param(name, None, small_call, "small", id=f"{name}-small")
        yield pytest.param(name, None, threaded_call, "workers", id=f"{name}-workers")
        for k, (exc, args) in enumerate(failing):
            yield pytest.param(name, exc, args, exc, id=f"{name}-{exc.__name__}{k}")


@pytest.mark.parametrize("name, expect, args, kind", list(cases()))
def test_repeated_calls_keep_memory_flat(name, expect, args, kind):
    fn = getattr(tw, name)
    repeat(fn, args, expect, 500)
    gc.collect()

    tracemalloc.start()
    try:
        repeat(fn, args, expect, 200)
        gc.collect()
        before, _ = tracemalloc.get_traced_memory()
        repeat(fn, args, expect, TRACED_CALLS)
        gc.collect()
        after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert after - before < TRACED_BOUND, f"{after - before} bytes over {TRACED_CALLS} calls"

    if under_sanitizer():
        return
    calls = RSS_CALLS[kind]
    rss = resident_bytes()
    repeat(fn, args, expect, calls)
    gc.collect()
    grown = resident_bytes() - rss
    assert grown < RSS_BOUND, f"resident size grew {grown} bytes over {calls} calls"
