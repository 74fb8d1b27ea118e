"""The native kernels held against NumPy itself: bits, and the floating-point
flags that make NumPy warn or raise, over values, strides and buffer sizes."""
import ctypes
import math
import os

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from conftest import kernel_checks

EXAMPLES = int(os.environ.get("OMBRIX_FUZZ_EXAMPLES", "150"))

library = ctypes.CDLL(kernel_checks().__file__)
ssize, flag_p, double_p = ctypes.c_ssize_t, ctypes.POINTER(ctypes.c_uint), ctypes.POINTER(ctypes.c_double)
for name in ("sum", "mean", "var", "std"):
    fn = getattr(library, f"ombrix_kernel_{name}")
    fn.argtypes = [ctypes.c_void_p, ssize, ssize, ssize, flag_p]
    fn.restype = ctypes.c_double
library.ombrix_kernel_variance_of_runs.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ssize, ssize, flag_p]
library.ombrix_kernel_variance_of_runs.restype = ctypes.c_double
library.ombrix_kernel_variance_with_runs.argtypes = [ctypes.c_void_p, ssize, ctypes.c_void_p, ctypes.c_void_p, ssize,
                                                     ssize, flag_p]
library.ombrix_kernel_variance_with_runs.restype = ctypes.c_double
library.ombrix_kernel_exact_stretch_means.argtypes = [ctypes.c_void_p, ssize, ssize, ctypes.c_void_p, ctypes.c_void_p,
                                                     ssize, double_p, flag_p]
library.ombrix_kernel_exact_stretch_means.restype = ctypes.c_int
library.ombrix_kernel_logistic.argtypes = [ctypes.c_double, flag_p]
library.ombrix_kernel_logistic.restype = ctypes.c_double
library.ombrix_kernel_scaled_running_sum.argtypes = [ctypes.c_void_p, ssize, ssize, ctypes.c_double, ssize, double_p]
library.ombrix_kernel_scaled_running_sum.restype = ctypes.c_uint
library.ombrix_kernel_change_points.argtypes = [ctypes.c_void_p, ssize, ssize, double_p, flag_p]
library.ombrix_kernel_change_points.restype = ssize

VALUES = [0.0, -0.0, 1.0, 2.0, 3.0, 6.0, 2.5, -7.25, 1e-3, 1e300, -1e300, 1.7e308, 5e-324,
          2.2e-308, 1e-160, math.inf, -math.inf, math.nan]
values = st.one_of(st.sampled_from(VALUES), st.floats(allow_nan=True, allow_infinity=True))
BUFSIZES = [16, 32, 1024, 8192, 65536]
HAND_OVER = 16
# NumPy up to 2.2 sums a 1-D float64 array in chunks of the buffer size, 2.3
# and later in one pass: the kernels take the chunk that the running NumPy uses.
CHUNKED_BY_BUFSIZE = tuple(int(p) for p in np.__version__.split(".")[:2]) < (2, 3)


def chunk_of(bufsize):
    return bufsize if CHUNKED_BY_BUFSIZE else 2**62


@st.composite
def strided(draw, max_size=3000, elements=values):
    """A 1-D float64 view with a positive, negative or unit stride."""
    step = draw(st.sampled_from([1, 1, 2, 3, -1, -2]))
    base = draw(hnp.arrays(np.float64, st.integers(0, max_size), elements=elements))
    return base[::step]


def call(kernel, x, bufsize):
    flags = ctypes.c_uint()
    value = kernel(x.ctypes.data, len(x), x.strides[0], chunk_of(bufsize), ctypes.byref(flags))
    return value, flags.value


def bits(value):
    return float(value).hex() if not math.isnan(value) else "nan"


def raises_under_numpy(operation):
    with np.errstate(all="raise"):
        try:
            operation()
        except FloatingPointError:
            return True
    return False


def numpy_value(operation, bufsize):
    old = np.getbufsize()
    np.setbufsize(bufsize)
    try:
        with np.errstate(all="ignore"):
            return float(operation())
    finally:
        np.setbufsize(old)


REDUCTIONS = {
    "sum": np.sum,
    "mean": np.mean,
    "var": np.var,
    "std": np.std,
}


@pytest.mark.parametrize("name", REDUCTIONS)
@settings(max_examples=EXAMPLES, deadline=None)
@given(x=strided(), bufsize=st.sampled_from(BUFSIZES))
def test_reductions_give_numpys_bits_and_flags(name, x, bufsize):
    if name != "sum" and len(x) == 0:
        return  # NumPy warns without a flag there; the kernels are never asked
    reduce = REDUCTIONS[name]
    value, flags = call(getattr(library, f"ombrix_kernel_{name}"), x, bufsize)
    assert bits(value) == bits(numpy_value(lambda: reduce(x), bufsize))
    old = np.getbufsize()
    np.setbufsize(bufsize)
    try:
        assert bool(flags) == raises_under_numpy(lambda: reduce(x))
    finally:
        np.setbufsize(old)


@settings(max_examples=EXAMPLES, deadline=None)
@given(x=strided(max_size=400, elements=st.floats(0, 1e6) | st.sampled_from([0.0, 1e-310, math.inf])),
       scale=st.integers(0, 30000), bufsize=st.sampled_from(BUFSIZES))
def test_scaled_running_sum_is_numpys(x, scale, bufsize):
    out = np.zeros(len(x))
    flags = library.ombrix_kernel_scaled_running_sum(
        x.ctypes.data, len(x), x.strides[0], float(scale), chunk_of(bufsize), out.ctypes.data_as(double_p))

    def numpy_steps():
        w = x.copy()
        w /= np.sum(w)
        return np.cumsum(np.round(w * scale))

    old = np.getbufsize()
    np.setbufsize(bufsize)
    try:
        with np.errstate(all="ignore"):
            expected = numpy_steps()
        assert [bits(v) for v in out] == [bits(v) for v in expected]
        if not flags & HAND_OVER:  # NumPy's own warnings there differ by release
            assert bool(flags) == raises_under_numpy(numpy_steps)
    finally:
        np.setbufsize(old)


@settings(max_examples=EXAMPLES, deadline=None)
@given(x=strided())
def test_change_points_are_numpys(x):
    out = np.zeros(len(x))
    flags = ctypes.c_uint()
    count = library.ombrix_kernel_change_points(
        x.ctypes.data, len(x), x.strides[0], out.ctypes.data_as(double_p), ctypes.byref(flags))
    with np.errstate(all="ignore"):
        expected = np.where(np.diff(x) != 0)[0]
    assert list(out[:count]) == list(expected.astype(float))
    assert bool(flags.value) == raises_under_numpy(lambda: np.diff(x))


@pytest.mark.parametrize("e", [0.0, 1.0, 2.5, 1e300, 1.7e308, math.inf, math.nan, 5e-324, 0.1])
def test_logistic_is_numpys_scalar_arithmetic(e):
    flags = ctypes.c_uint()
    value = library.ombrix_kernel_logistic(e, ctypes.byref(flags))
    with np.errstate(all="ignore"):
        expected = 1 / (1 + np.float64(e))
    assert bits(value) == bits(expected)
    assert bool(flags.value) == raises_under_numpy(lambda: 1 / (1 + np.float64(e)))


@settings(max_examples=EXAMPLES, deadline=None)
@given(runs=st.lists(st.tuples(values, st.integers(0, 400) | st.sampled_from([1, 7, 8, 9, 127, 128, 129])),
                     min_size=1, max_size=30),
       bufsize=st.sampled_from(BUFSIZES))
def test_variance_of_runs_is_the_variance_of_their_values(runs, bufsize):
    assert_run_variances_are_the_variance(runs, bufsize)


def assert_run_variances_are_the_variance(runs, bufsize):
    run_values = np.array([v for v, _ in runs], dtype=np.float64)
    lengths = np.array([n for _, n in runs], dtype=np.intp)
    x = np.repeat(run_values, lengths)
    if len(x) == 0:
        return
    expected, expected_flags = call(library.ombrix_kernel_var, x, bufsize)
    flags = ctypes.c_uint()
    value = library.ombrix_kernel_variance_of_runs(run_values.ctypes.data, lengths.ctypes.data, len(runs),
                                                   chunk_of(bufsize), ctypes.byref(flags))
    assert (bits(value), flags.value) == (bits(expected), expected_flags)
    value = library.ombrix_kernel_variance_with_runs(x.ctypes.data, len(x), run_values.ctypes.data,
                                                     lengths.ctypes.data, len(runs), chunk_of(bufsize),
                                                     ctypes.byref(flags))
    assert (bits(value), flags.value) == (bits(expected), expected_flags)


@pytest.mark.parametrize("seed", range(4))
def test_variances_of_many_runs(seed):
    # more runs than the passes hold inline, short ones (a group of eight
    # across three runs and more) among long ones
    rng = np.random.default_rng(seed)
    lengths = rng.integers(0, 12, 150)
    lengths[::17] = rng.integers(100, 300, len(lengths[::17]))
    runs = list(zip(rng.normal(size=150) * 10.0 ** rng.integers(-3, 4, 150), lengths))
    for bufsize in BUFSIZES:
        assert_run_variances_are_the_variance(runs, bufsize)


# Integers whose sum no order of additions rounds take a shortcut; near 2**53
# (and with one value that is not an integer) they must not.
integral = st.one_of(st.integers(-6, 6), st.integers(-2**53, 2**53), st.sampled_from([2**52, 2**53 - 1, -2**52]),
                     st.just(-0.0), st.just(0.5)).map(float)


@settings(max_examples=EXAMPLES, deadline=None)
@given(runs=st.lists(st.tuples(integral, st.integers(0, 300) | st.sampled_from([1, 8, 129, 4096])),
                     min_size=1, max_size=30),
       bufsize=st.sampled_from(BUFSIZES))
def test_integer_run_variances_are_the_variance(runs, bufsize):
    assert_run_variances_are_the_variance(runs, bufsize)


@pytest.mark.parametrize("runs", [
    [(-0.0, 5)],  # the sum of negative zeros is +0.0
    [(3.0, 1), (-3.0, 1)],
    [(2.0**52, 1), (2.0**52, 1), (1.0, 1)],  # the magnitude reaches 2**53: element by element
    [(2.0**53 - 1, 1), (1.0, 1), (-1.0, 1)],
    [(1.0, 1000), (math.nan, 1)],
])
def test_integer_run_variance_edges(runs):
    for bufsize in BUFSIZES:
        assert_run_variances_are_the_variance(runs, bufsize)


# A profile of integers whose sum no order rounds: each stretch's mean from
# running sums taken every eight elements is np.mean's, under any buffer size.
whole_values = st.one_of(st.integers(-6, 6), st.integers(-2**40, 2**40),
                         st.sampled_from([2**52 - 1, -(2**52 - 1), 2**52, 2**53 - 1])).map(float) | \
    st.sampled_from([-0.0, 0.5, math.nan, math.inf, 1e300])


@settings(max_examples=EXAMPLES, deadline=None)
@given(x=strided(max_size=400, elements=whole_values), data=st.data(), bufsize=st.sampled_from([16, 8192]))
def test_stretch_means_from_running_sums_are_numpys(x, data, bufsize):
    stretches = data.draw(st.lists(st.tuples(st.integers(0, max(len(x) - 1, 0)), st.integers(1, 40)), max_size=20)) \
        if len(x) else []
    lows = np.array([low for low, _ in stretches], dtype=np.intp)
    highs = np.array([min(low + width, len(x)) for low, width in stretches], dtype=np.intp)
    out = np.zeros(len(stretches))
    raised = ctypes.c_uint()
    accepted = library.ombrix_kernel_exact_stretch_means(x.ctypes.data, len(x), x.strides[0], lows.ctypes.data,
                                                         highs.ctypes.data, len(stretches),
                                                         out.ctypes.data_as(double_p), ctypes.byref(raised))
    assert raised.value == 0  # whatever x holds, NaN included
    finite = np.isfinite(x).all()
    whole = finite and bool(np.all(x == np.round(x)))
    # exact in any order: accepted whenever every value is under 2**52 and
    # their magnitudes add up to less than 2**53 (from 2**52 on it may refuse)
    if whole and np.all(np.abs(x) < 2.0**52) and math.fsum(np.abs(x)) < 2.0**53:
        assert accepted == 1
    if accepted == 1:
        assert whole and math.fsum(np.abs(x)) < 2.0**53
        for k, (low, high) in enumerate(zip(lows, highs)):
            assert bits(out[k]) == bits(numpy_value(lambda: np.mean(x[low:high]), bufsize))
