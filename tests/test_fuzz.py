"""Arbitrary values in every parameter of every function: each call returns or
raises an exception with a message, and the caller's buffers stay as they were.

OMBRIX_FUZZ_EXAMPLES sets the number of examples per function (default 150);
raise it for a soak run.
"""
import math
import os
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import ombrix
from test_binding import FUNCTIONS

EXAMPLES = int(os.environ.get("OMBRIX_FUZZ_EXAMPLES", "150"))

try:
    import _testbuffer
except ImportError:  # an interpreter built without CPython's test modules
    _testbuffer = None


def weird(method, result):
    """An object whose `method` returns `result` (or raises it)."""
    def impl(self):
        if isinstance(result, BaseException):
            raise type(result)(*result.args)
        return result
    return type(f"Weird_{method.strip('_')}", (), {method: impl})()


WEIRD = [
    weird("__index__", ValueError("index")), weird("__index__", 1.5),
    weird("__int__", ValueError("int")), weird("__int__", "1"), weird("__int__", 2**40),
    weird("__float__", ValueError("float")), weird("__float__", "1.0"),
    weird("__float__", 2.5), weird("__bool__", ValueError("bool")), weird("__bool__", 1),
    object(), np.float64(3.0), np.int32(2), np.bool_(True), 1 + 2j,
]

MEMORYVIEW_FORMATS = ["<d", ">d", "=d", "@d", "q", "2d"]


@st.composite
def odd_memoryviews(draw):
    fmt = draw(st.sampled_from(MEMORYVIEW_FORMATS))
    count = draw(st.integers(1, 5))  # the test exporter needs at least one item
    items = [(1.0, 2.0)] * count if fmt == "2d" else [draw(st.integers(0, 6)) for _ in range(count)]
    flags = _testbuffer.ND_WRITABLE | draw(st.sampled_from([0, _testbuffer.ND_PIL]))
    return _testbuffer.ndarray(items, shape=[count], format=fmt, flags=flags)


@st.composite
def odd_arrays(draw):
    dtype = draw(st.one_of(
        st.just(np.dtype(np.float64)), hnp.scalar_dtypes(),
        st.sampled_from([np.dtype(">f8"), np.dtype([("x", "<f8")]), np.dtype(np.complex128),
                         np.dtype(np.longlong), np.dtype("U2"), np.dtype(object)])))
    if draw(st.booleans()) and dtype.kind not in "OUSV":
        dtype = dtype.newbyteorder()
    shape = draw(hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=5))
    array = np.zeros(shape, dtype=dtype)
    if dtype.kind in "fiu":
        array[...] = draw(st.integers(0, 6))
    layout = draw(st.sampled_from(["plain", "step", "reverse", "zero", "readonly"]))
    if array.ndim >= 1 and layout == "step":
        array = array[::2]
    elif array.ndim >= 1 and layout == "reverse":
        array = array[::-1]
    elif array.ndim >= 1 and layout == "zero" and array.size:
        array = np.lib.stride_tricks.as_strided(array[:1], shape=(4,) + array.shape[1:],
                                                strides=(0,) + array.strides[1:], writeable=True)
    elif layout == "readonly":
        array.flags.writeable = False
    return array


profiles = hnp.arrays(np.float64, st.integers(0, 12), elements=st.sampled_from(
    [0.0, 1.0, 2.0, 3.0, 2.5, -0.0, math.nan, math.inf, -math.inf, 1e308, 5e-324]))

anything = st.one_of(
    st.integers(), st.integers(-(2**70), 2**70), st.floats(), st.text(max_size=3),
    st.binary(max_size=16), st.lists(st.floats(), max_size=3),
    st.dictionaries(st.text(max_size=2), st.integers(), max_size=2), st.none(), st.booleans(),
    st.sampled_from(WEIRD), odd_arrays(), profiles, profiles.map(lambda a: a[::-1]),
    *([odd_memoryviews()] if _testbuffer else []))

# Plausible values of each kind, so that calls get past binding; small counts
# and Poisson means keep every call short.
plausible = {
    "vector": st.one_of(profiles, st.none()),
    "matrix": st.one_of(st.none(), hnp.arrays(np.float64, hnp.array_shapes(min_dims=2, max_dims=2,
                                                                             min_side=0,
                                                                             max_side=3))),
    "double": st.one_of(st.floats(-3, 30), st.sampled_from([0.0, math.nan, math.inf, -1.0])),
    "int": st.integers(-3, 6),
    "truth": st.one_of(st.booleans(), st.sampled_from(WEIRD)),
}
# Parameters whose size decides the amount of work get no unbounded values.
BOUNDED = {"random_num", "possion_lam", "possion_lbd"}
bounded = st.one_of(st.integers(-3, 6), st.floats(-3, 30), st.none(), st.text(max_size=2),
                    st.sampled_from([math.nan, math.inf, -math.inf] + WEIRD))


def arguments(name):
    parts = []
    for param, kind, _, _ in FUNCTIONS[name][1]:
        wild = bounded if param in BOUNDED else anything
        parts.append(st.one_of(plausible[kind], plausible[kind], wild))
    return st.tuples(*parts)


def fingerprint(value):
    if isinstance(value, np.ndarray) and value.dtype.kind != "O":
        return value.tobytes()
    if _testbuffer and isinstance(value, _testbuffer.ndarray):
        return value.tobytes()
    return None


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_every_call_returns_or_raises_cleanly(name):
    function = getattr(ombrix, name)

    @settings(max_examples=EXAMPLES, deadline=None,
              suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
    @given(arguments(name))
    def check(args):
        before = [fingerprint(a) for a in args]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                function(*args)
            except Exception as error:
                assert str(error) or isinstance(error, (KeyError, MemoryError)), repr(error)
        assert [fingerprint(a) for a in args] == before

    state = np.random.get_state()
    try:
        check()
    finally:
        np.random.set_state(state)
