"""The driver's compiled helper against the published functions: after the
backgrounds it drew, its count is permutation_score's (perm_cnv_pyx's for R),
and it stops exactly at the stop_after-th background that reaches the score;
a chunk of tasks gives each task's own calls."""
import math
import warnings

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import ombrix
from ombrix_batch import _native

pytestmark = pytest.mark.filterwarnings("ignore:Mean of empty slice", "ignore:invalid value encountered")

EXP = np.array([1.0, np.nan, 2.5])  # index 1 falls back to the mean of the others
POSSION = np.array([np.nan, 20.0, 6.0])
SHATTERED = [2.0, 3.0, 1.0, 2.0, 4.0, 2.0, 3.0, 1.0, 2.0, 3.0, 2.0, 4.0, 1.0, 2.0, 3.0, 2.0] * 3
NAN_SCORE = [3.0] * 8 + [2.0] * 7  # two segments of one length in the segment table: the score is NaN

profiles = st.lists(st.integers(0, 4), min_size=3, max_size=60).map(lambda v: np.repeat(np.array(v, float), 2))


@settings(max_examples=40, deadline=None)
@given(values=profiles, x=st.integers(0, 2), chr_num=st.integers(0, 2), stop_after=st.integers(0, 6),
       backgrounds=st.integers(0, 120))
def test_the_count_is_permutation_scores_at_the_stop_point(values, x, chr_num, stop_after, backgrounds):
    judged = _native.sequential_score(x, values, EXP, POSSION, chr_num, backgrounds, stop_after)
    run = judged["backgrounds"]
    reference = ombrix.permutation_score(x, values, None, EXP, POSSION, chr_num, run, True)
    assert judged["num_greater"] == reference["num_greater"]
    assert judged["dc"] == reference["dc"] and judged["x"] == x
    if math.isnan(judged["dc"]["rearrange_score"]):
        assert (run, judged["num_greater"]) == (0, 0)  # no background reaches NaN
    elif run < backgrounds:  # stopped: at the stop_after-th background that reached the score
        assert judged["num_greater"] == stop_after > 0
        before = ombrix.permutation_score(x, values, None, EXP, POSSION, chr_num, run - 1, True)
        assert before["num_greater"] == stop_after - 1
    else:
        assert run == backgrounds and (stop_after == 0 or judged["num_greater"] <= stop_after)


def chunk_of(profiles, exp, possion):
    starts = np.r_[0, np.cumsum([len(p) for p in profiles])].astype(np.int64)
    values = np.concatenate(profiles) if profiles else np.zeros(0)
    return values, starts, np.array(exp, dtype=np.float64), np.array(possion, dtype=np.float64)


@settings(max_examples=40, deadline=None)
@given(tasks=st.lists(st.tuples(profiles, st.sampled_from([1.0, 2.5]), st.sampled_from([0.0, 1.5, 8.0, 20.0])),
                      max_size=4),
       stop_after=st.integers(0, 6), backgrounds=st.integers(0, 80), with_r=st.booleans())
def test_a_chunk_gives_each_tasks_own_calls(tasks, stop_after, backgrounds, with_r):
    chunk = chunk_of(*zip(*tasks)) if tasks else chunk_of([], [], [])
    columns = _native.score_chunk(*chunk, backgrounds, stop_after, with_r)
    assert len(columns) == (8 if with_r else 5) and all(len(c) == len(tasks) for c in columns)
    for k, (values, exp, possion) in enumerate(tasks):
        judged = _native.sequential_score(0, values, np.array([exp]), np.array([possion]), 0, backgrounds, stop_after)
        score = judged["dc"]
        expected = [len(score["smooth_segment"]), score["rearrange_score"], score["limit"], judged["num_greater"],
                    judged["backgrounds"]]
        np.testing.assert_array_equal([c[k] for c in columns[:5]], expected)
        if not with_r:
            continue
        observed, reached, run = columns[5][k], columns[6][k], columns[7][k]
        np.testing.assert_array_equal(observed, ombrix.cal_R_pyx(values))
        if math.isnan(observed):  # reached by no permutation: none drawn
            assert (reached, run) == (0, 0)
            continue
        drawn = ombrix.perm_cnv_pyx(values, exp, possion, backgrounds, 1)
        assert reached == sum(1 for b in drawn[:run] if b >= observed)
        assert run == backgrounds or (reached == stop_after > 0 and drawn[run - 1] >= observed)
    assert [c.dtype for c in columns] == [np.int64, np.float64, np.float64, np.int64, np.int64,
                                         np.float64, np.int64, np.int64][:len(columns)]


def test_a_chunks_warnings_are_counted_once_for_each_task_that_issued_them():
    from ombrix_batch.scoring import Chunk, score_chunk

    short = np.array([2.0, 2.0, 3.0, 3.0, 1.0, 2.0, 2.0, 4.0])  # empty segments at 20 cuts: warnings
    quiet = np.array([2.0] * 300 + [3.0] * 300)  # and at 1.5 cuts on average, no segments: no warnings
    profiles = [short, quiet, short, short * 2, quiet]
    values, starts, exp, possion = chunk_of(profiles, [1.0] * 5, [20.0, 1.5, 20.0, 20.0, 1.5])
    calls = []
    expected = {}
    for k, values_k in enumerate(profiles):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("default")
            _native.sequential_score(0, values_k, exp[k:k + 1], possion[k:k + 1], 0, 50, 0)
        for text in {f"{w.category.__name__}: {w.message}" for w in caught}:
            expected[text] = expected.get(text, 0) + 1
    assert expected and max(expected.values()) == 3
    number, columns, warned = score_chunk(Chunk(7, 50, 0, False, np.arange(5), exp, possion, starts, values))
    assert number == 7 and dict(warned) == expected
    np.testing.assert_array_equal(columns["task"], np.arange(5))
    _native.score_chunk(values, starts, exp, possion, 5, 0, False, lambda: calls.append(1))
    assert len(calls) == 5


def test_a_nan_score_draws_nothing_and_stop_after_zero_draws_all():
    nan = _native.sequential_score(0, np.array(NAN_SCORE), EXP, POSSION, 1, 500, 3)
    assert math.isnan(nan["dc"]["rearrange_score"]) and (nan["num_greater"], nan["backgrounds"]) == (0, 0)
    assert ombrix.permutation_score(0, np.array(NAN_SCORE), None, EXP, POSSION, 1, 500, True)["num_greater"] == 0
    values = np.array(SHATTERED)
    every = _native.sequential_score(2, values, EXP, POSSION, 2, 400, 0)
    assert every["backgrounds"] == 400
    assert every == {**ombrix.permutation_score(2, values, None, EXP, POSSION, 2, 400, True), "backgrounds": 400}


def test_the_native_loop_refuses_what_it_cannot_run():
    values = np.array(SHATTERED)
    with pytest.raises(ValueError, match="must not be negative"):
        _native.sequential_score(0, values, EXP, POSSION, 0, 10, -1)
    with pytest.raises(IndexError, match="out of range"):
        _native.sequential_score(5, values, EXP, POSSION, 0, 10, 1)
    read_only = values.copy()
    read_only.flags.writeable = False
    with pytest.raises(ValueError):  # read-only profiles are refused as the module refuses them
        _native.sequential_score(0, read_only, EXP, POSSION, 0, 10, 1)
    chunk = chunk_of([values, values], [1.0, 1.0], [20.0, 20.0])
    for bad, error, message in [
        ((None, *chunk[1:]), TypeError, "not None"),
        ((read_only, *chunk[1:]), ValueError, None),
        ((chunk[0], chunk[1], chunk[2][:1], chunk[3]), ValueError, "do not describe the same tasks"),
        ((chunk[0], np.array([0, 60, 10], dtype=np.int64), *chunk[2:]), ValueError, "must rise"),
        ((chunk[0], np.array([0, 10, 97], dtype=np.int64), *chunk[2:]), ValueError, "at most the 96 values"),
        ((chunk[0], np.array([1, 10, 20], dtype=np.int64), *chunk[2:]), ValueError, "from 0"),
        ((chunk[0], chunk[1].astype(np.float64), *chunk[2:]), ValueError, None),
    ]:
        with pytest.raises(error, match=message):
            _native.score_chunk(*bad, 10, 1, False)
    with pytest.raises(TypeError, match="callable"):
        _native.score_chunk(*chunk, 10, 1, False, 3)
    with pytest.raises(ZeroDivisionError):  # the hook's own exception ends the chunk
        _native.score_chunk(*chunk, 10, 1, False, lambda: 1 / 0)
