"""Plain statements of the scoring arithmetic, used as test oracles."""
import ctypes
import ctypes.util

import numpy as np

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.pow.restype = ctypes.c_double
_libm.pow.argtypes = [ctypes.c_double, ctypes.c_double]
c_pow = _libm.pow


def skew(data):
    data = np.asarray(data, dtype=float)
    mean = np.float64(np.mean(data))
    std = np.float64(np.std(data, ddof=0))
    acc = 0.0
    with np.errstate(all="ignore"):
        for value in data:
            acc = acc + c_pow(float((value - mean) / std), 3.0)
        return float(np.float64(1.0) / np.float64(len(data)) * np.float64(acc))
