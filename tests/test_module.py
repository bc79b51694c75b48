"""The module's face towards Python: signatures, argument conversion, error
mapping, lock release and concurrent use. `thermo` stands in for every kernel
here, since all five share the binding layer."""

import importlib
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
from probes import traced_peak
from scalar_ref import assert_same

import _tarnwell as tw


def test_module_docstring():
    assert tw.__doc__ == "Cold-pool, wind-profile and baroclinity kernel (multithreaded)."


def test_public_names_in_table_order():
    names = [k for k in vars(tw) if not k.startswith("__")]
    assert names == [
        n for n in ("thermo", "cold_pool", "profile", "gradient", "vad") if hasattr(tw, n)
    ]


def test_reimport_returns_cached_module():
    mod = sys.modules.pop("_tarnwell")
    try:
        again = importlib.import_module("_tarnwell")
        assert again is mod
    finally:
        sys.modules["_tarnwell"] = mod


def sample(n=10):
    rng = np.random.default_rng(5)
    t = rng.uniform(250.0, 305.0, n)
    return t, rng.uniform(60000.0, 101000.0, n), t - rng.uniform(0.0, 15.0, n)


def test_keywords_and_default():
    t, p, td = sample()
    ref = tw.thermo(t, p, td)
    assert_same(tw.thermo(t, p, td, 0), ref)
    assert_same(tw.thermo(td=td, n_threads=2, t=t, p=p), ref)
    assert_same(tw.thermo(t, p, td, n_threads=-3), ref)


@pytest.mark.parametrize(
    "convert",
    [
        lambda a: np.asfortranarray(np.tile(a, (3, 1))),  # column-major
        lambda a: np.tile(a, (3, 1))[:, ::-1][:, ::-1].T.copy().T,  # transposed view
        lambda a: np.tile(a, (3, 1)).tolist(),  # nested list
        lambda a: np.tile(a, (3, 1)).astype(np.float32),
        lambda a: np.tile(a, (3, 1)).astype(">f8"),  # byte-swapped
    ],
)
def test_conversions_read_as_c_ordered_float64(convert):
    t, p, td = sample()
    tt, pp, dd = (convert(a) for a in (t, p, td))
    expect = tw.thermo(
        *(np.ascontiguousarray(np.asarray(a), dtype=np.float64) for a in (tt, pp, dd))
    )
    assert_same(tw.thermo(tt, pp, dd), expect)


def test_integer_bool_and_readonly_inputs():
    t = np.array([300, 290, 280], dtype=np.int64)
    p = np.array([100000, 90000, 80000], dtype=np.int64)
    td = np.array([True, True, False])
    assert_same(tw.thermo(t, p, td), tw.thermo(t.astype(float), p.astype(float), td.astype(float)))
    tr, pr, dr = sample()
    ref = tw.thermo(tr, pr, dr)
    for a in (tr, pr, dr):
        a.setflags(write=False)
    assert_same(tw.thermo(tr, pr, dr), ref)


def test_none_and_zero_d_inputs():
    r = tw.thermo(None, 100000.0, 290.0)  # None is a 0-d NaN array
    assert r.shape == (4, 1) and np.isnan(r).all()
    assert tw.thermo(np.float64(300.0), np.array(1e5), 290).shape == (4, 1)


def test_inputs_are_not_written_and_result_is_fresh():
    t, p, td = sample(5000)
    copies = [a.copy() for a in (t, p, td)]
    r = tw.thermo(t, p, td, n_threads=2)
    for a, c in zip((t, p, td), copies, strict=True):
        assert_same(a, c)
    assert r.flags.c_contiguous and r.flags.writeable and r.flags.owndata and r.base is None
    assert r.dtype == np.float64
    assert not any(np.shares_memory(r, a) for a in (t, p, td))


@pytest.mark.parametrize(
    "kwargs, bad",
    [
        ({"n_threads": 2.0}, "float n_threads"),
        ({"n_threads": 2**31}, "n_threads beyond 32 bits"),
        ({"n_threads": None}, "None n_threads"),
        ({"nthreads": 2}, "unknown keyword"),
    ],
)
def test_type_errors_for_scalars(kwargs, bad):
    t, p, td = sample()
    with pytest.raises(TypeError, match="incompatible function arguments"):
        tw.thermo(t, p, td, **kwargs)


def test_type_errors_for_arguments():
    t, p, td = sample()
    with pytest.raises(TypeError, match="incompatible function arguments"):
        tw.thermo(t, p, ["a", "b"] * 5)  # NumPy cannot read these as float64
    with pytest.raises(TypeError):
        tw.thermo(t, p)  # missing argument
    with pytest.raises(TypeError):
        tw.thermo(t, p, td, 1, 2)  # surplus positional
    assert tw.thermo(t, p, td, n_threads=2**31 - 1).shape == (4, 10)


def test_column_major_input_is_copied():
    # The converse of the no-copy test of every kernel: the same probe sees
    # the copy that a transposed input needs.
    n = 1_000_000
    t, p, td = sample(n)
    tf = np.asfortranarray(t.reshape(1000, 1000))
    assert traced_peak(lambda: tw.thermo(tf, p, td)) >= 4 * n * 8 + n * 8


def test_lock_is_released_during_a_call():
    n = 6_000_000
    t, p, td = sample(n)
    stamps = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            stamps.append(time.perf_counter())

    th = threading.Thread(target=ticker)
    th.start()
    try:
        time.sleep(0.02)
        t0 = time.perf_counter()
        tw.thermo(t, p, td, n_threads=1)
        t1 = time.perf_counter()
    finally:
        stop.set()
        th.join()
    assert t1 - t0 > 0.08, "call too short to tell"
    # Holding the lock would freeze the ticker for the whole call.
    inside = [s for s in stamps if t0 + 0.03 < s < t1 - 0.03]
    assert len(inside) > 100


def test_concurrent_calls_agree():
    rng = np.random.default_rng(9)
    inputs = []
    for k in range(6):
        n = 50_000 + 977 * k
        t = rng.uniform(230.0, 310.0, n)
        inputs.append((t, rng.uniform(30000.0, 104000.0, n), t - rng.uniform(0, 20, n)))
    expected = [tw.thermo(*a, n_threads=1) for a in inputs]
    results = [None] * len(inputs)

    def call(k):
        for _ in range(3):
            results[k] = tw.thermo(*inputs[k], n_threads=(k % 3) + 1)

    threads = [threading.Thread(target=call, args=(k,)) for k in range(len(inputs))]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    for got, exp in zip(results, expected, strict=True):
        assert_same(got, exp)


def test_subinterpreter_is_refused():
    if sys.version_info >= (3, 13):
        # 3.13 renamed the module; run_string reports the exception instead of raising
        interpreters = pytest.importorskip("_interpreters")
        interp = interpreters.create()
        try:
            failure = interpreters.run_string(interp, "import _tarnwell")
            assert failure is not None and failure.type.__name__ == "ImportError"
        finally:
            interpreters.destroy(interp)
        return
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interp = interpreters.create()
    try:
        with pytest.raises(interpreters.RunFailedError, match="ImportError"):
            interpreters.run_string(interp, "import _tarnwell")
    finally:
        interpreters.destroy(interp)


def test_version_check_refuses_other_interpreters():
    built_for = "{}.{}".format(*sys.version_info[:2])  # the interpreter running the tests
    other = None
    root = (
        subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip()
        if any(
            os.access(os.path.join(d, "pyenv"), os.X_OK)
            for d in os.environ.get("PATH", "").split(":")
        )
        else ""
    )
    for cand in (
        os.path.join(root, "versions", v, "bin", "python3")
        for v in (sorted(os.listdir(os.path.join(root, "versions"))) if root else [])
    ):
        if os.access(cand, os.X_OK) and f"/{built_for}." not in cand:
            out = subprocess.run(
                [cand, "-c", "import sys; print(sys.version_info[:2] >= (3, 8))"],
                capture_output=True,
                text=True,
            )
            if out.stdout.strip() == "True":
                other = cand
                break
    if other is None:
        pytest.skip("no other CPython on this machine")
    code = (
        "import importlib.machinery as m, importlib.util as u, os, sys\n"
        "sys.setdlopenflags(os.RTLD_LAZY)\n"
        f"loader = m.ExtensionFileLoader('_tarnwell', {tw.__file__!r})\n"
        "found = u.spec_from_file_location('_tarnwell', loader.path, loader=loader)\n"
        "try:\n"
        "    u.module_from_spec(found)\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    out = subprocess.run([other, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.startswith(
        f"Python version mismatch: module was compiled for Python {built_for}, "
        "but the interpreter version is incompatible: "
    ), (out.stdout, out.stderr)
