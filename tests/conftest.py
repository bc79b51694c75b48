"""The kernel registry: one row per function of _tarnwell, with what the
shared tests need (test_kernels.py: thread-count invariance, signatures,
allocations, empty inputs; test_demo.py and test_bench.py: every kernel has
its demo section and benchmark file). A new kernel needs one row here."""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np
import pytest

import _tarnwell as tw

# How pybind11 shows each kind of parameter in a signature.
ARRAY = "typing.Annotated[numpy.typing.ArrayLike, numpy.float64]"
FLOAT = "typing.SupportsFloat | typing.SupportsIndex"
INT = "typing.SupportsInt | typing.SupportsIndex"
RESULT = "numpy.typing.NDArray[numpy.float64]"


@dataclass(frozen=True)
class Kernel:
    name: str
    params: tuple[tuple[str, str], ...]  # (name, kind) before n_threads
    rows: int  # extent of the result's leading axis
    grain: int  # work items per chunk
    awkward: Callable  # (rng, n) -> args: n work items with every awkward value mixed in
    reference: Callable  # args -> the result, by an independent scalar evaluation
    plain: Callable  # n -> args: n work items, C-contiguous float64 arrays, ordinary values
    refuse: Callable  # args -> the same with one array one element short
    empty: Callable  # () -> args of no work items

    @property
    def fn(self):
        return getattr(tw, self.name)

    def signature(self):
        params = ", ".join(f"{p}: {kind}" for p, kind in self.params)
        return f"{self.name}({params}, n_threads: {INT} = 0) -> {RESULT}\n"


def _thermo():
    from test_thermo import awkward_inputs, thermo_ref_array

    def plain(n):
        rng = np.random.default_rng(n)
        t = rng.uniform(250.0, 300.0, n)
        return t, rng.uniform(50000.0, 100000.0, n), t - 5.0

    return Kernel(
        "thermo",
        (("t", ARRAY), ("p", ARRAY), ("td", ARRAY)),
        4,
        4096,
        awkward=awkward_inputs,
        reference=thermo_ref_array,
        plain=plain,
        refuse=lambda a: (a[0], a[1], a[2][:-1]),
        empty=lambda: ([], [], []),
    )


def _cold_pool():
    from cold_pool_ref import cold_pool_ref
    from test_cold_pool import random_columns

    def awkward(rng, n):
        z, b, bottom, top = random_columns(rng, n, 11)
        return z, b, bottom, 0.0, top

    def reference(z, b, bottom, threshold, top):
        return cold_pool_ref(z, b, bottom, threshold, top)

    def plain(n):
        z = np.tile(np.arange(4, dtype=float) * 100.0, (n, 1))
        return z, np.full((n, 4), -0.01), np.zeros(n), 0.0, np.full(n, np.nan)

    return Kernel(
        "cold_pool",
        (("z", ARRAY), ("b", ARRAY), ("bottom", ARRAY), ("threshold", FLOAT), ("top", ARRAY)),
        3,
        64,
        awkward=awkward,
        reference=reference,
        plain=plain,
        refuse=lambda a: (*a[:4], a[4][:-1]),
        empty=lambda: (np.empty((0, 5)), np.empty((0, 5)), [], 0.0, []),
    )


def _profile():
    from test_profile import profile_ref, random_columns

    def awkward(rng, n):
        z, u, v, ground, cu, cv = random_columns(rng, n, 13)
        return z, u, v, ground, 0.0, 2000.0, cu, cv

    def plain(n):
        z = np.tile(np.arange(4, dtype=float) * 500.0, (n, 1))
        col = np.zeros(n)
        return z, np.ones((n, 4)), np.ones((n, 4)), col, 0.0, 1000.0, col, col

    return Kernel(
        "profile",
        (
            ("z", ARRAY),
            ("u", ARRAY),
            ("v", ARRAY),
            ("ground", ARRAY),
            ("bottom", FLOAT),
            ("top", FLOAT),
            ("cu", ARRAY),
            ("cv", ARRAY),
        ),
        7,
        64,
        awkward=awkward,
        reference=profile_ref,
        plain=plain,
        refuse=lambda a: (*a[:7], a[7][:-1]),
        empty=lambda: (
            np.empty(0),
            np.empty((0, 12)),
            np.empty(0),
            np.empty(0),
            0.0,
            1.0,
            np.empty(0),
            np.empty(0),
        ),
    )


def _gradient():
    from test_gradient import coords, gradient_ref, sprinkle

    # A work item is one row of one field: n items are 3 fields of ceil(n/3) rows.
    def awkward(rng, n):
        shape = (3, math.ceil(n / 3), 41)
        f = sprinkle(rng.normal(0.0, 3.0, shape), rng, 0.05)
        return f, coords("non-uniform", shape[2], rng), coords("decreasing", shape[1], rng)

    def plain(n):
        ny = math.ceil(n / 4)
        return np.ones((4, ny, 16)), np.arange(16.0), np.arange(float(ny))

    return Kernel(
        "gradient",
        (("f", ARRAY), ("x", ARRAY), ("y", ARRAY)),
        2,
        8,
        awkward=awkward,
        reference=gradient_ref,
        plain=plain,
        refuse=lambda a: (a[0], a[1][:-1], a[2]),
        empty=lambda: (np.empty((0, 3, 4)), np.zeros(4), np.zeros(3)),
    )


def _vad():
    from test_vad import random_rings, vad_ref

    def awkward(rng, n):
        return (*random_rings(rng, n, 23), 3, 0.01)

    def plain(n):
        az = np.tile(np.linspace(0.0, 2.0 * np.pi, 8, endpoint=False), (n, 1))
        return np.sin(az) * 10.0, az, np.ones(n), 3, 0.1

    return Kernel(
        "vad",
        (
            ("vr", ARRAY),
            ("az", ARRAY),
            ("cos_el", ARRAY),
            ("min_gates", INT),
            ("min_spread", FLOAT),
        ),
        8,
        64,
        awkward=awkward,
        reference=vad_ref,
        plain=plain,
        refuse=lambda a: (a[0], a[1], a[2][:-1], *a[3:]),
        empty=lambda: (np.ones((0, 5)), np.ones((0, 5)), [], 3, 0.1),
    )


REGISTRY = {k.name: k for k in (_thermo(), _cold_pool(), _profile(), _gradient(), _vad())}


def functions_of_the_module():
    """The functions _tarnwell registers, in its order."""
    return [k for k, v in vars(tw).items() if not k.startswith("_") and callable(v)]


@pytest.fixture(params=list(REGISTRY), ids=list(REGISTRY))
def kernel(request):
    return REGISTRY[request.param]


@pytest.fixture
def kernel_names():
    return functions_of_the_module()
