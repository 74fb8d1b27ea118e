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


def change_points(x):
    return np.where(np.diff(x) != 0)[0]


def ombrix(x):
    x = np.asarray(x, dtype=float)
    cp = change_points(x)
    table = np.zeros((len(cp) + 1, 3))
    table[:, 0] = np.concatenate(([0], cp))
    table[:, 1] = np.concatenate((cp, [len(x) - 1]))
    table[:, 2] = table[:, 1] - table[:, 0] + 1
    score = 0.0
    r = table.shape[0]
    if r >= 2:
        with np.errstate(all="ignore"):
            a = float(r / np.sum(table[:, 2]))
            s = skew(table[:, 2])
            b = float(1 / (1 + np.exp(s)))
            v = float(np.var(x))
            score = (a * b) * v
    return {"smooth_segment": table.tolist(), "rearrange_score": score}


def cal_limit(x):
    counter = {}
    for e in x:
        e = float(e)
        counter[e] = counter[e] + 1 if e in counter else 1
    if len(counter) <= 1:
        return -1
    top = sorted(counter.items(), key=lambda a: -a[1])[0][0]
    count = all_count = 0.0
    for e in x:
        d = float(e) - top
        if d != 0.0:
            all_count += 1.0
            if d in (1.0, -1.0):
                count += 1.0
    return count / all_count


def cal_R(x):
    x = np.asarray(x, dtype=float)
    cp = change_points(x).astype("double")
    n = len(cp)
    if n < 2:
        return 0.0
    with np.errstate(all="ignore"):
        gaps = np.abs(np.diff(cp))
        w = float(1.0 / (1.0 + np.exp(-skew(gaps))))
        v = float(np.var(x))
    return (n / len(x)) * w * v
