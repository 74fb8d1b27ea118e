"""The native replica of NumPy's legacy global generator held against NumPy's
compiled code: seeding, Poisson draws on both sides of the method switch at
10, exponential draws, and the generator's state afterwards."""
import ctypes
import math
import os

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import kernel_checks

EXAMPLES = int(os.environ.get("OMBRIX_FUZZ_EXAMPLES", "150"))

library = ctypes.CDLL(kernel_checks().__file__)
library.ombrix_legacy_draws.argtypes = [ctypes.c_uint32, ctypes.c_double, ctypes.c_ssize_t, ctypes.c_double,
                                        ctypes.c_ssize_t, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p,
                                        ctypes.POINTER(ctypes.c_int)]
library.ombrix_legacy_draws.restype = None


def native_draws(seed, lam, poisson_count, scale, exponential_count):
    poissons = np.zeros(poisson_count, dtype=np.int64)
    exponentials = np.zeros(exponential_count)
    key = np.zeros(624, dtype=np.uint32)
    pos = ctypes.c_int()
    library.ombrix_legacy_draws(seed, lam, poisson_count, scale, exponential_count, poissons.ctypes.data,
                                exponentials.ctypes.data, key.ctypes.data, ctypes.byref(pos))
    return poissons, exponentials, key, pos.value


def numpy_draws(seed, lam, poisson_count, scale, exponential_count):
    np.random.seed(seed)
    poissons = np.random.poisson(lam, size=poisson_count)
    exponentials = np.random.exponential(scale, size=exponential_count)
    _, key, pos, _, _ = np.random.get_state()
    return poissons, exponentials, key, pos


def assert_same(seed, lam, poisson_count, scale, exponential_count):
    native = native_draws(seed, lam, poisson_count, scale, exponential_count)
    expected = numpy_draws(seed, lam, poisson_count, scale, exponential_count)
    assert native[0].tolist() == expected[0].tolist()
    assert [v.hex() for v in native[1].tolist()] == [v.hex() for v in expected[1].tolist()]
    assert native[2].tolist() == expected[2].tolist()
    assert native[3] == expected[3]


LAMBDAS = [0.0, 5e-324, 1e-12, 0.5, 1.0, 5.0, 9.999999999999998, 10.0, 10.000000000000002, 20.0, 30.0,
           100.0, 1234.5, 1e6, 1e12]


@pytest.mark.parametrize("lam", LAMBDAS)
def test_poisson_and_exponential_draws_are_numpys(lam):
    for seed in range(0, 4000, 37):
        assert_same(seed, lam, 25, 1.0, 25)


def test_the_state_refills_as_numpys():
    # more than 624 outputs: the key is regenerated mid-draw
    assert_same(4294967295, 20.0, 2000, 2.5, 700)


@settings(max_examples=EXAMPLES, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), lam=st.floats(0, 1e4) | st.floats(8, 12),
       counts=st.tuples(st.integers(0, 40), st.integers(0, 40)),
       scale=st.floats(0, 1e300) | st.sampled_from([0.0, math.inf, 1e-320]))
def test_random_sequences_are_numpys(seed, lam, counts, scale):
    assert_same(seed, lam, counts[0], scale, counts[1])
