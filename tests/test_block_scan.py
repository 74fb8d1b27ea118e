"""The plan's native passes over a block against the NumPy statements they
stand for: which rows of each chromosome change value (by value: -0.0 is
0.0, NaN differs from all), and where each row's chromosomes begin among a
CSR block's stored values; bad arguments are refused, never read past."""
import numpy as np
import pytest

pytest.importorskip("scipy")
from hypothesis import example, given, settings
from hypothesis import strategies as st

from ombrix_batch import _native
from ombrix_batch.tasks import changing

FLOATS = [0.0, -0.0, 1.0, 2.0, np.nan, np.inf]


def numpy_changes(dense, ranges):
    return np.array([np.count_nonzero(dense[:, a:b][:, 1:] != dense[:, a:b][:, :-1], axis=1) > 0
                     for a, b in ranges], dtype=bool).reshape(len(ranges), dense.shape[0])


@st.composite
def blocks(draw):
    rows, width = draw(st.integers(0, 5)), draw(st.integers(0, 300))
    # rows of long constant stretches with a few changes, so that both the
    # vector blocks (64 elements) and their tails meet a first difference
    base = draw(st.sampled_from(FLOATS))
    dense = np.full((rows, width), base)
    for _ in range(draw(st.integers(0, 6))):
        if rows and width:
            r, c = draw(st.integers(0, rows - 1)), draw(st.integers(0, width - 1))
            dense[r, c] = draw(st.sampled_from(FLOATS))
    cuts = sorted(draw(st.lists(st.integers(0, width), max_size=6)))
    ranges = list(zip([0, *cuts], [*cuts, width]))
    return dense, ranges


@settings(max_examples=300, deadline=None)
@given(blocks(), st.sampled_from(["float64", "int8", "int64", "float32", "strided"]))
@example((np.array([[0.0] * 70 + [-0.0] * 70]), [(0, 140), (65, 70)]), "float64")
@example((np.array([[np.nan] * 2, [1.0, 1.0]]), [(0, 2), (0, 1)]), "float64")
def test_which_rows_change_is_numpys(block, layout):
    dense, ranges = block
    if layout in ("int8", "int64"):
        dense = np.nan_to_num(dense, nan=3.0, posinf=4.0).astype(layout)
    elif layout == "float32":
        dense = dense.astype(np.float32)
    elif layout == "strided":
        dense = np.asfortranarray(dense)
    got = changing(dense, ranges)
    assert got.dtype == bool
    np.testing.assert_array_equal(got, numpy_changes(dense, ranges))


@st.composite
def csr_blocks(draw):
    rows, width = draw(st.integers(0, 6)), draw(st.integers(1, 40))
    kept = draw(st.lists(st.lists(st.booleans(), min_size=width, max_size=width), min_size=rows, max_size=rows))
    dense = np.array(kept, dtype=np.float64).reshape(rows, width)
    return dense, draw(st.lists(st.integers(-2, width + 2), max_size=8))


@settings(max_examples=200, deadline=None)
@given(csr_blocks(), st.sampled_from([np.int32, np.int64]), st.sampled_from([np.int32, np.int64]))
def test_where_each_rows_columns_begin_is_searchsorteds(block, indptr_type, index_type):
    import scipy.sparse as sp

    dense, columns = block
    matrix = sp.csr_matrix(dense)
    indptr, indices = matrix.indptr.astype(indptr_type), matrix.indices.astype(index_type)
    wanted = np.array(columns, dtype=np.int64)
    expected = np.array([indptr[r] + np.searchsorted(indices[indptr[r]:indptr[r + 1]], wanted)
                         for r in range(dense.shape[0])], dtype=np.int64).reshape(dense.shape[0], len(wanted))
    np.testing.assert_array_equal(_native.stored_bounds(indptr, indices, wanted), expected)


ONE = np.array([0], dtype=np.int64)


@pytest.mark.parametrize("args, error", [
    ((np.zeros((2, 3), dtype=np.float32), ONE, ONE), TypeError),  # a dtype it does not read
    ((np.zeros(3), ONE, ONE), TypeError),  # 1-D
    ((np.zeros((3, 3))[:, ::2], ONE, ONE), TypeError),  # not contiguous
    ((np.zeros((2, 3)).astype(">f8"), ONE, ONE), TypeError),  # swapped bytes
    ((np.zeros((2, 3)), ONE.astype(np.int32), ONE), TypeError),
    ((np.zeros((2, 3)), ONE, np.array([4])), ValueError),  # past the columns
    ((np.zeros((2, 3)), np.array([2]), np.array([1])), ValueError),  # backwards
    ((np.zeros((2, 3)), np.array([-1]), np.array([1])), ValueError),
    ((np.zeros((2, 3)), ONE, np.array([1, 2])), ValueError),
    (([[0.0]], ONE, ONE), TypeError),
])
def test_row_changes_refuses_what_it_cannot_read(args, error):
    with pytest.raises(error, match="row_changes"):
        _native.row_changes(*args)


@pytest.mark.parametrize("indptr, indices, error", [
    (np.array([0, 2, 1]), np.arange(3), ValueError),  # falling
    (np.array([0, 4]), np.arange(3), ValueError),  # past the stored values
    (np.array([-1, 0]), np.arange(3), ValueError),
    (np.zeros(0, dtype=np.int64), np.arange(3), ValueError),  # no rows' end
    (np.array([0, 1], dtype=np.uint64), np.arange(3), TypeError),
    (np.array([0, 1]), np.arange(3, dtype=np.float64), TypeError),
])
def test_stored_bounds_refuses_what_it_cannot_read(indptr, indices, error):
    with pytest.raises(error, match="stored_bounds"):
        _native.stored_bounds(indptr, indices, ONE)


def test_changes_of_copy_states_float64_cannot_hold_are_refused():
    with pytest.raises(TypeError, match="uint64"):
        changing(np.zeros((1, 2), dtype=np.uint64), [(0, 2)])
