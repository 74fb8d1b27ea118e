"""The plan finds each distinct profile of a panel once: rows are the same
task exactly when their bytes and their exp_lambda's bytes are the same (a
constant row by its first value alone), the first such row stands for them,
and its key is the digest of those bytes."""
import hashlib
import itertools

import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
pytest.importorskip("pandas")  # the driver's own dependencies: absent where only the module is tested
pytest.importorskip("scipy")
from hypothesis import example, given, settings
from hypothesis import strategies as st

from ombrix_batch.tasks import CONSTANT, KEY, OK, TOO_SHORT, summarised_panel, summarised_panels

STATES = [0.0, -0.0, 1.0, 2.0, 3.0]


@st.composite
def panels(draw):
    count, length = draw(st.integers(1, 12)), draw(st.integers(0, 6))
    # few distinct rows and lambdas, so that rows repeat
    rows = draw(st.lists(st.lists(st.sampled_from(STATES), min_size=length, max_size=length), min_size=1, max_size=3))
    picked = draw(st.lists(st.integers(0, len(rows) - 1), min_size=count, max_size=count))
    values = np.array([rows[k] for k in picked], dtype=np.float64).reshape(count, length)
    exp = np.array(draw(st.lists(st.sampled_from([1.0, 2.5]), min_size=count, max_size=count)))
    dtype = draw(st.sampled_from([np.float64, np.int8]))
    return values if dtype is np.float64 else np.abs(values).astype(np.int8), exp


def expected_key(row, exp):
    constant = len(row) < 2 or bool(np.all(row[1:] == row[:-1]))
    return constant, (row[:1] if constant else row).tobytes() + exp.tobytes()


@settings(max_examples=300, deadline=None)
@given(panels(), st.booleans())
# constant by value, not by bytes: one task, as the first value tells it
@example((np.array([[0.0, -0.0, 0.0], [0.0, 0.0, 0.0], [-0.0, 0.0, 0.0]]), np.ones(3)), False)
def test_rows_are_one_task_exactly_when_their_keys_are_equal(panel, strided):
    values, exp = panel
    if strided:  # a panel as a slice of a wider block
        wide = np.zeros((values.shape[0], values.shape[1] + 3), dtype=values.dtype)
        wide[:, 1:-2] = values
        values = wide[:, 1:-2]
    got = summarised_panel(4, np.arange(len(values)), values, exp)
    keys = [expected_key(row, exp[i:i + 1]) for i, row in enumerate(values)]
    first_of = {}
    for i, key in enumerate(keys):
        first_of.setdefault(key, i)
    representatives = sorted(set(first_of.values()))
    np.testing.assert_array_equal(got.representatives, representatives)
    np.testing.assert_array_equal(got.representatives[got.inverse], [first_of[key] for key in keys])
    digests = [hashlib.blake2b(np.ascontiguousarray(values[r]).tobytes() + exp[r:r + 1].tobytes(),
                               digest_size=16).digest() for r in representatives]
    assert got.keys.dtype == KEY and got.keys.tobytes() == b"".join(digests)
    length = values.shape[1]
    status = [TOO_SHORT if length < 3 else CONSTANT if keys[r][0] else OK for r in representatives]
    np.testing.assert_array_equal(got.status, status)


@st.composite
def blocks(draw):
    """A block of rows cut into panels of 0 to 6 positions, rows repeating."""
    count = draw(st.integers(1, 10))
    lengths = draw(st.lists(st.integers(0, 6), min_size=1, max_size=5))
    width = sum(lengths)
    rows = draw(st.lists(st.lists(st.sampled_from(STATES), min_size=width, max_size=width), min_size=1, max_size=3))
    picked = draw(st.lists(st.integers(0, len(rows) - 1), min_size=count, max_size=count))
    values = np.array([rows[k] for k in picked], dtype=np.float64).reshape(count, width)
    if draw(st.booleans()):
        values = np.abs(values).astype(np.int8)
    exp = np.array(draw(st.lists(st.sampled_from([1.0, 2.5]), min_size=count, max_size=count)))
    bounds = np.cumsum([0, *lengths])
    return values, [(int(a), int(b)) for a, b in itertools.pairwise(bounds)], exp


@settings(max_examples=300, deadline=None)
@given(blocks())
def test_a_blocks_panels_are_each_panels_own(block):
    # the constant rows of all panels grouped at once give each panel's own summary
    values, ranges, exp = block
    cells = np.arange(len(values)) + 5
    together = summarised_panels(cells, values, ranges, exp)
    for j, (a, b) in enumerate(ranges):
        alone = summarised_panel(j, cells, values[:, a:b], exp)
        assert (together[j].chromosome, together[j].length) == (alone.chromosome, alone.length)
        for name in ("cells", "representatives", "status", "keys", "inverse"):
            got, want = getattr(together[j], name), getattr(alone, name)
            assert got.dtype == want.dtype and np.array_equal(got, want), name
