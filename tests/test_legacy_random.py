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
                                        ctypes.c_ssize_t, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_void_p,
                                        ctypes.c_void_p, ctypes.c_void_p, ctypes.POINTER(ctypes.c_int)]
library.ombrix_legacy_draws.restype = None


def native_draws(seed, lam, poisson_count, scale, exponential_count, handed_over=False, tabled=False,
                 one_by_one=False):
    poissons = np.zeros(poisson_count, dtype=np.int64)
    exponentials = np.zeros(exponential_count)
    key = np.zeros(624, dtype=np.uint32)
    pos = ctypes.c_int()
    library.ombrix_legacy_draws(seed, lam, poisson_count, scale, exponential_count, handed_over, tabled, one_by_one,
                                poissons.ctypes.data, exponentials.ctypes.data, key.ctypes.data, ctypes.byref(pos))
    return poissons, exponentials, key, pos.value


def numpy_draws(seed, lam, poisson_count, scale, exponential_count):
    np.random.seed(seed)
    poissons = np.random.poisson(lam, size=poisson_count)
    exponentials = np.random.exponential(scale, size=exponential_count)
    _, key, pos, _, _ = np.random.get_state()
    return poissons, exponentials, key, pos


def assert_same(seed, lam, poisson_count, scale, exponential_count, handed_over=False, tabled=False,
                one_by_one=False):
    native = native_draws(seed, lam, poisson_count, scale, exponential_count, handed_over, tabled, one_by_one)
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


@pytest.mark.parametrize("one_by_one", [False, True])
@pytest.mark.parametrize("tabled", [False, True])
@pytest.mark.parametrize("handed_over", [False, True])
# 311, 312 and 313 exponentials after no Poisson draw (two outputs each)
# end just before the first refill's end, on it, and past it
@pytest.mark.parametrize("poissons, exponentials", [(0, 0), (0, 1), (1, 0), (100, 13), (113, 100), (2000, 700),
                                                    (0, 311), (0, 312), (0, 313), (1, 400)])
def test_the_lazily_seeded_state_is_numpys_whenever_it_is_given_back(poissons, exponentials, handed_over, tabled,
                                                                     one_by_one):
    # a seed is taken word by word as the draws read it: the state given back
    # after no draw, inside the first refill (113 Poisson draws at 20 read
    # about 227 outputs, where the refill turns to refilled words) and past it
    # (2000: the key regenerated mid-draw) is NumPy's, also when it was given
    # back between the draws
    assert_same(4294967295, 20.0, poissons, 2.5, exponentials, handed_over, tabled, one_by_one)
    assert_same(1, 3.0, poissons, 1.0, exponentials, handed_over, tabled, one_by_one)


TABLE_SEEDS = 32  # consecutive seeds whose words one table holds


def test_seeds_in_and_out_of_one_table_are_numpys():
    # a table is filled for the seeds from one it does not hold: seeds in it
    # (its first and last), behind it, past it, and across 2**32 (its lanes
    # wrap to 0, 1, ...)
    last = TABLE_SEEDS - 1
    wrapped = TABLE_SEEDS - 3  # the last seed of the table from 2**32 - 2
    for seed in [5, 6, 5 + last, 5 + TABLE_SEEDS, 4, 4294967294, 4294967295, 0, wrapped, wrapped + 1, 2, 1000,
                 1000 + last, 1000 + TABLE_SEEDS, 999]:
        assert_same(seed, 20.0, 2, 1.0, 20, tabled=True)


@settings(max_examples=EXAMPLES, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), lam=st.floats(0, 1e4) | st.floats(8, 12),
       counts=st.tuples(st.integers(0, 40), st.integers(0, 40)),
       scale=st.floats(0, 1e300) | st.sampled_from([0.0, math.inf, 1e-320]), handed_over=st.booleans(),
       tabled=st.booleans(), one_by_one=st.booleans())
def test_random_sequences_are_numpys(seed, lam, counts, scale, handed_over, tabled, one_by_one):
    assert_same(seed, lam, counts[0], scale, counts[1], handed_over, tabled, one_by_one)
