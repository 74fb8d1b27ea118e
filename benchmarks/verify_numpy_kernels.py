"""Checks, on the NumPy in use, the facts a native path that reproduces NumPy's
bits would rely on: pairwise summation (8 accumulators, 128-element blocks,
from 0.0, in chunks of the ufunc buffer size up to NumPy 2.2 and over the
whole array from 2.3 on), mean = sum / n, var as the
mean of squared deviations from that mean, round = rint, cumsum sequential.

    python benchmarks/verify_numpy_kernels.py
"""
import struct

import numpy as np


def pairwise(a, lo, n):
    if n < 8:
        res = 0.0  # check: starts at 0? or -0.0?
        for i in range(n): res += a[lo+i]
        return res
    if n <= 128:
        r = [a[lo+j] for j in range(8)]
        i = 8
        while i < n - (n % 8):
            for j in range(8): r[j] += a[lo+i+j]
            i += 8
        res = ((r[0]+r[1])+(r[2]+r[3])) + ((r[4]+r[5])+(r[6]+r[7]))
        while i < n: res += a[lo+i]; i += 1
        return res
    n2 = n // 2; n2 -= n2 % 8
    return pairwise(a, lo, n2) + pairwise(a, lo+n2, n - n2)
CHUNKED = tuple(int(p) for p in np.__version__.split(".")[:2]) < (2, 3)
def npsum(a, buf=8192):
    a = [float(x) for x in a]
    if not CHUNKED: buf = max(len(a), 1)
    total = 0.0
    for start in range(0, len(a), buf):
        total += pairwise(a, start, min(buf, len(a)-start))
    return total
rng = np.random.default_rng(1)
bad = 0
for trial in range(300):
    n = int(rng.integers(0, 30000)); x = rng.standard_normal(n) * 10**rng.uniform(-5, 5, n)
    s1 = float(np.sum(x)); s2 = npsum(x)
    m1 = float(np.mean(x)) if n else None
    bad += struct.pack('<d', s1) != struct.pack('<d', s2)
print(f"numpy {np.__version__}: sums {'in chunks of the buffer size' if CHUNKED else 'in one pass'}")
print("sum mismatches:", bad)
# strided view
x = rng.standard_normal(20001)
print("strided:", float(np.sum(x[::3])) == npsum(x[::3]), float(np.sum(x[::-1])) == npsum(x[::-1]))
# mean = sum / n
bad = 0
for trial in range(300):
    n = int(rng.integers(1, 30000)); x = rng.standard_normal(n)
    bad += float(np.mean(x)) != npsum(x) / n
print("mean mismatches:", bad)
# var = sum((x-mean)^2)/n with mean = sum/n
bad = 0
for trial in range(200):
    n = int(rng.integers(1, 30000)); x = rng.standard_normal(n) + 3
    m = npsum(x) / n
    d = [(float(v) - m) * (float(v) - m) for v in x]
    bad += float(np.var(x)) != npsum(d) / n
print("var mismatches:", bad)
np.setbufsize(1024)
x = rng.standard_normal(5000)
print("bufsize 1024 as expected:", float(np.sum(x)) == npsum(x, 1024))
np.setbufsize(8192)
y = np.array([0.5, 1.5, 2.5, -0.5, -2.5, 3.4999999, 1e300, np.nan])
print("round is rint:", all((np.round(y) == np.rint(y)) | np.isnan(y)))
z = rng.standard_normal(3000)
c = 0.0; ok = True
for v, w in zip(z, np.cumsum(z)):
    c += float(v); ok &= c == w
print("cumsum sequential:", ok)
print("sum of empty:", struct.pack('<d', float(np.sum(np.zeros(0)))).hex(), "sum of [-0.0]:", float(np.sum(np.array([-0.0]))))
