"""The driver's compiled helper against the published functions: after the
backgrounds it drew, its count is permutation_score's (perm_cnv_pyx's for R),
and it stops exactly at the stop_after-th background that reaches the score."""
import math

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


@settings(max_examples=30, deadline=None)
@given(values=profiles, stop_after=st.integers(0, 6), backgrounds=st.integers(0, 80),
       possion=st.sampled_from([0.0, 1.5, 8.0]))
def test_the_r_count_is_perm_cnv_pyxs_prefix(values, stop_after, backgrounds, possion):
    observed = ombrix.cal_R_pyx(values)
    reached, run = _native.sequential_r(values, 1.0, possion, backgrounds, stop_after, observed)
    drawn = ombrix.perm_cnv_pyx(values, 1.0, possion, backgrounds, 1)
    assert reached == sum(1 for b in drawn[:run] if b >= observed)
    assert run == backgrounds or (reached == stop_after > 0 and drawn[run - 1] >= observed)


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
    with pytest.raises(TypeError, match="not None"):
        _native.sequential_r(None, 1.0, 20.0, 10, 1, 0.5)
    with pytest.raises(IndexError, match="out of range"):
        _native.sequential_score(5, values, EXP, POSSION, 0, 10, 1)
    with pytest.raises(ValueError):  # read-only profiles are refused as the module refuses them
        read_only = values.copy()
        read_only.flags.writeable = False
        _native.sequential_score(0, read_only, EXP, POSSION, 0, 10, 1)
