"""What every kernel of the registry (conftest.py) shares: results that do
not depend on the thread count, signatures, allocations and empty inputs."""

import os

import numpy as np
import pytest
from conftest import REGISTRY, functions_of_the_module
from probes import traced_peak
from scalar_ref import assert_same

# Odd counts, more threads than chunks, and the values that mean "decide".
THREAD_COUNTS = (1, 2, 3, 5, 16, 0, -1)
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def test_every_function_has_its_row_demo_section_and_benchmark():
    names = functions_of_the_module()
    assert names == list(REGISTRY)  # also the module's registration order
    for name in names:
        assert os.path.isfile(os.path.join(ROOT, "demo", f"{name}_demo.py")), name
        assert os.path.isfile(os.path.join(ROOT, "bench", f"bench_{name}.py")), name


@pytest.mark.parametrize("chunks", [4, 37])
def test_thread_count_invariance(kernel, chunks):
    # A last chunk that is not full, and inputs of every awkward kind.
    n = (chunks - 1) * kernel.grain + 5
    args = kernel.awkward(np.random.default_rng(chunks), n)
    copies = [np.copy(a) for a in args]
    serial = kernel.fn(*args, n_threads=1)
    for n_threads in THREAD_COUNTS[1:]:
        assert_same(kernel.fn(*args, n_threads=n_threads), serial)
    for a, c in zip(args, copies, strict=True):
        assert_same(a, c)  # inputs are only read
    if chunks == 4:  # the scalar reference is slow on the larger input
        assert_same(serial, kernel.reference(*args))


def test_signature_and_keywords(kernel):
    assert kernel.fn.__doc__ == kernel.signature()
    args = kernel.plain(10)
    by_keyword = dict(zip((p for p, _ in kernel.params), args, strict=True))
    assert_same(kernel.fn(**by_keyword, n_threads=2), kernel.fn(*args))


def test_refused_call_allocates_nothing(kernel):
    args = kernel.refuse(kernel.plain(100_000))
    with pytest.raises(ValueError):
        kernel.fn(*args)
    assert traced_peak(lambda: kernel.fn(*args)) < 100_000


def test_float64_inputs_are_not_copied(kernel):
    args = kernel.plain(100_000)
    result = kernel.fn(*args)
    # Only the result is allocated: a copy of any input of 100 kB or more
    # (every array but gradient's x, here) would show.
    peak = traced_peak(lambda: kernel.fn(*args))
    assert result.nbytes <= peak < result.nbytes + 50_000


def test_empty_inputs(kernel):
    for n_threads in (1, 2):
        r = kernel.fn(*kernel.empty(), n_threads=n_threads)
        assert r.shape[0] == kernel.rows and r.size == 0 and r.dtype == np.float64
        assert r.flags.c_contiguous and r.flags.writeable


def test_results_are_fresh_and_of_the_registered_rows(kernel):
    args = kernel.plain(300)
    r = kernel.fn(*args, n_threads=2)
    assert r.shape[0] == kernel.rows and r.flags.owndata and r.base is None
    assert not any(np.shares_memory(r, a) for a in args if isinstance(a, np.ndarray))
