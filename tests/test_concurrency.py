"""Calls of all five functions from several Python threads at once, each call
with its own thread count and some of them refused by the shape checks, give
the bits of the same calls made one at a time."""

import random
import threading

import numpy as np
from test_unaligned import ARRAY_NAMES, call, cases

import _tarnwell as tw

PYTHON_THREADS = 4
CALLS_PER_THREAD = 100
THREAD_COUNTS = [0, 1, 2, 3, 8, -1]


def refused(name, arrays, scalars):
    """The same call with the first array cut to a shape every entry refuses."""
    kwargs = dict(zip(ARRAY_NAMES[name], arrays, strict=True), **scalars)
    kwargs[ARRAY_NAMES[name][0]] = np.ones((2, 2, 2, 2))
    return lambda nt: getattr(tw, name)(**kwargs, n_threads=nt)


def test_concurrent_calls_of_every_function_agree_with_serial_calls():
    work = list(cases())
    expected = [
        call(name, arrays, scalars, n_threads=1).view(np.uint64) for name, arrays, scalars in work
    ]
    failures = []
    start = threading.Barrier(PYTHON_THREADS)

    def client(seed):
        rng = random.Random(seed)
        start.wait()
        for _ in range(CALLS_PER_THREAD):
            k = rng.randrange(len(work))
            name, arrays, scalars = work[k]
            nt = rng.choice(THREAD_COUNTS)
            if rng.random() < 0.2:
                try:
                    refused(name, arrays, scalars)(nt)
                except ValueError:
                    continue
                failures.append((name, nt, "bad shape accepted"))
                continue
            got = call(name, arrays, scalars, n_threads=nt).view(np.uint64)
            if not np.array_equal(got, expected[k]):
                failures.append((name, nt, "differs from the serial call"))

    threads = [threading.Thread(target=client, args=(s,)) for s in range(PYTHON_THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert failures == []
