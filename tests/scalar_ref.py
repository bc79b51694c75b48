"""Scalar building blocks for independent reference evaluations in tests.

The kernels promise results bit-identical to a plain scalar evaluation in a
stated order with the C library's maths functions. These helpers give Python
exactly that: IEEE double arithmetic one operation at a time (Python floats),
with the C library's functions called through ctypes so that NaN and infinity
flow through as they do in C instead of raising.
"""

import ctypes
import ctypes.util
import math
import struct

import numpy as np

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("exp", "log", "sqrt", "sin", "cos"):
    getattr(_libm, _name).restype = ctypes.c_double
    getattr(_libm, _name).argtypes = [ctypes.c_double]
_libm.pow.restype = ctypes.c_double
_libm.pow.argtypes = [ctypes.c_double, ctypes.c_double]

NAN = float("nan")
INF = float("inf")


def c_pow(x, y):
    return _libm.pow(x, y)


def c_exp(x):
    return _libm.exp(x)


def c_log(x):
    return _libm.log(x)


def c_sqrt(x):
    return _libm.sqrt(x)


def c_sin(x):
    return _libm.sin(x)


def c_cos(x):
    return _libm.cos(x)


def div(a, b):
    """IEEE division: x/0 gives a signed infinity or NaN instead of raising."""
    if b != 0.0:
        return a / b
    if math.isnan(a) or a == 0.0:
        return NAN
    return math.copysign(INF, a) * math.copysign(1.0, b)


def finite(x):
    return math.isfinite(x)


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def assert_bits(actual, expected):
    """Same shape and the same bits, NaN payloads and signs of zero included."""
    actual = np.asarray(actual, dtype=np.float64)
    expected = np.asarray(expected, dtype=np.float64)
    assert actual.shape == expected.shape
    np.testing.assert_array_equal(bits(actual), bits(expected))


def assert_same(actual, expected):
    """Bit-for-bit equality; any two NaNs count as equal (their payload and
    sign come from the hardware or the maths library, not from the formula)."""
    actual = np.asarray(actual, dtype=np.float64)
    expected = np.asarray(expected, dtype=np.float64)
    assert actual.shape == expected.shape
    nan_a, nan_e = np.isnan(actual), np.isnan(expected)
    mismatch = (nan_a != nan_e) | (~nan_a & ~nan_e & (bits(actual) != bits(expected)))
    if mismatch.any():
        idx = np.argwhere(mismatch)[:5]
        details = [(tuple(i), actual[tuple(i)], expected[tuple(i)]) for i in idx]
        raise AssertionError(f"{int(mismatch.sum())} elements differ, first: {details}")


QUIET_NAN_BITS = 0x7FF8000000000000


def struct_bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]
