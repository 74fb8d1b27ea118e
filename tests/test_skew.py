import gc
import math
import struct
import warnings

import numpy as np
import numpy_port as reference
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import ombrix
from conftest import ombrix_entries, raiser


def bits(x):
    return struct.pack("<d", x)


@pytest.mark.parametrize("values, expected", [
    ([1.0, 2.0, 3.0], 0.0),
    ([1.0, 2.0, 2.0], -0.7071067811865479),
    ([2.0, 4.0, 2.0], 0.7071067811865479),
    ([1.0, 2.0, 3.0, 10.0], 1.0182337649086284),
    ([0.1, 0.1, 0.1], -1.0),  # mean is one ulp above 0.1: tiny std, z == -1 everywhere
])
def test_stated_values(values, expected):
    result = ombrix.skew(np.array(values))
    assert type(result) is float
    assert bits(result) == bits(expected)


@pytest.mark.parametrize("values", [[], [5.0, 5.0], [1.0, math.nan, 2.0], [math.inf, 1.0, 2.0]])
def test_degenerate_vectors_give_nan_without_raising(values):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        assert math.isnan(ombrix.skew(np.array(values, dtype=float)))


def test_strided_and_reversed_views_read_exactly_their_elements():
    base = np.array([1.0, 100.0, 2.0, -50.0, 3.0, 7.0, 10.0, 0.5])
    assert ombrix.skew(base[::2]) == ombrix.skew(np.array([1.0, 2.0, 3.0, 10.0]))
    assert ombrix.skew(base[::-3]) == ombrix.skew(np.ascontiguousarray(base[::-3]))


def test_masks_and_subclasses_play_no_part():
    data = np.array([1.0, 2.0, 3.0, 10.0])
    masked = np.ma.masked_array(data, mask=[False, False, False, True])
    assert ombrix.skew(masked) == ombrix.skew(data)


@settings(max_examples=300, deadline=None)
@given(hnp.arrays(np.float64, st.integers(1, 60),
                  elements=st.floats(-1e6, 1e6, allow_nan=False, allow_infinity=False)))
def test_bits_match_the_plain_statement(data):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        assert bits(ombrix.skew(data)) == bits(reference.skew(data))


def test_numpy_receives_a_fresh_view_over_the_callers_memory(proxy_np):
    seen = []

    def mean(x):
        seen.append(x)
        return np.mean(x)

    def std(x, **kwargs):
        seen.append((x, kwargs))
        return np.std(x, **kwargs)

    proxy_np.mean, proxy_np.std = mean, std
    data = np.arange(12.0)[::3]
    ombrix.skew(data)
    view, (std_view, kwargs) = seen
    assert kwargs == {"ddof": 0} and type(kwargs["ddof"]) is int
    assert view is not std_view
    for v in (view, std_view):
        assert v is not data and type(v) is np.ndarray
        arr = np.asarray(v)
        assert np.shares_memory(arr, data) and arr.strides == data.strides
        assert memoryview(v).format == "d" and list(arr) == list(data)


def test_a_kept_view_holds_the_exporter(proxy_np):
    kept = []
    proxy_np.mean = lambda x: (kept.append(x), np.mean(x))[1]
    buffer = bytearray(struct.pack("<3d", 1.0, 2.0, 4.0))
    view_of_buffer = memoryview(buffer).cast("d")
    ombrix.skew(view_of_buffer)
    del view_of_buffer
    gc.collect()
    with pytest.raises(BufferError):
        buffer.extend(b"x" * 64)  # still exported through the kept view
    assert list(np.asarray(kept[0])) == [1.0, 2.0, 4.0]
    del kept[:]
    buffer.extend(b"x" * 64)


@pytest.mark.parametrize("attribute, line", [("mean", 10), ("std", 11)])
def test_numpy_failures_carry_both_entries(proxy_np, attribute, line):
    setattr(proxy_np, attribute, raiser(ArithmeticError("boom")))
    data = np.array([1.0, 2.0])
    with pytest.raises(ArithmeticError, match="boom") as info:
        ombrix.skew(data)
    assert ombrix_entries(info.value) == [("ombrix.skew", 8), ("ombrix.skew", line)]


@pytest.mark.parametrize("attribute, line", [("mean", 10), ("std", 11)])
def test_unconvertible_numpy_results_fail_at_their_line(proxy_np, attribute, line):
    setattr(proxy_np, attribute, lambda *a, **k: "not a number")
    with pytest.raises(TypeError, match="must be real number, not str") as info:
        ombrix.skew(np.array([1.0, 2.0]))
    assert ombrix_entries(info.value) == [("ombrix.skew", 8), ("ombrix.skew", line)]


def test_missing_np_is_a_name_error():
    saved = ombrix.np
    del ombrix.np
    try:
        with pytest.raises(NameError, match="^name 'np' is not defined$") as info:
            ombrix.skew(np.array([1.0]))
    finally:
        ombrix.np = saved
    assert ombrix_entries(info.value) == [("ombrix.skew", 8), ("ombrix.skew", 10)]


def test_none_reaches_numpy_and_fails_at_line_10():
    with pytest.raises(TypeError) as info:
        ombrix.skew(None)
    assert ombrix_entries(info.value) == [("ombrix.skew", 8), ("ombrix.skew", 10)]
