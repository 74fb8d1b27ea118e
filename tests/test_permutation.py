"""permutation_bg, permutation_score and perm_cnv_pyx."""
import math
import pickle
import signal
import time
import warnings

import numpy as np
import numpy_port as reference
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import ombrix
from conftest import ombrix_entries, raiser
from test_scores import same

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")

PROFILE = np.array([2.0, 2.0, 2.0, 3.0, 2.0, 2.0, 3.0, 9.0, 9.0, 9.0])
SCORE_PROFILE = np.array([1.0, 1.0, 2.0, 2.0, 2.0, 3.0])

profiles = hnp.arrays(np.float64, st.integers(0, 60), elements=st.sampled_from(
    [0.0, 1.0, 2.0, 2.0, 2.0, 3.0, 4.0, 6.0, 2.5, math.nan, math.inf]))
lambdas = st.floats(0.05, 40.0)


def generator_state():
    return pickle.dumps(np.random.get_state())


def scramble_generator():
    np.random.seed(None)
    np.random.random(17)


def with_drawn(proxy_np, d, weights):
    """Makes the next draws return `d` and the given weights."""
    random = type("Random", (), {})()
    random.seed = lambda s: None
    random.poisson = lambda lam, size=None: d
    random.exponential = lambda scale, size=None: np.array(weights, dtype=float)
    proxy_np.random = random


# --- permutation_bg -------------------------------------------------------------

def test_worked_example_merges_runs(proxy_np):
    with_drawn(proxy_np, 4, [1.0, 2.0, 4.0, 3.0])
    assert ombrix.permutation_bg(PROFILE, None, 1.0, 4.0, 0) == pytest.approx(1.029, rel=1e-12)


def test_worked_example_segment_past_the_end_keeps_its_length(proxy_np):
    with_drawn(proxy_np, 3, [4.6, 4.6, 0.8])
    smoothed = []
    proxy_np.var = lambda x: (smoothed.append(np.asarray(x).copy()), np.var(x))[1]
    ombrix.permutation_bg(PROFILE, None, 1.0, 3.0, 0)
    assert len(smoothed[0]) == 11
    assert list(smoothed[0]) == [2.0] * 5 + [6.0] * 6  # mean of 2,3,9,9,9 is 6.4 -> 6


@pytest.mark.parametrize("weights, expected_runs", [
    ([2.5, 2.5, 5.0], 1),          # means 2, 2, 2 -> one run -> 0.0 (2.25 rounds to 2)
    ([0.0, 5.0, 5.0], 2),          # an empty leading segment: first cut 0 is dropped
])
def test_chosen_weights_against_the_plain_statement(proxy_np, weights, expected_runs):
    with_drawn(proxy_np, len(weights), weights)
    got = ombrix.permutation_bg(PROFILE, None, 1.0, 3.0, 0)
    ombrix.np = np
    np_random = np.random
    try:
        np.random = proxy_np.random
        want = reference.permutation_bg(PROFILE, 1.0, 3.0, 1)
    finally:
        np.random = np_random
    assert same(got, want)


def test_rounded_means_merge_in_single_precision(proxy_np):
    big = 2.0**24
    with_drawn(proxy_np, 3, [1.0, 1.0, 1.0])
    data = np.array([big, big, big + 1, big + 1, 7.0, 7.0])
    proxy_np.var = lambda x: float(len(x))
    # segments 0-2, 2-4, 4-6: the first two merge, so two runs of lengths 4 and 2
    assert ombrix.permutation_bg(data, None, 1.0, 3.0, 0) == pytest.approx(1 / 6 * 6)


@pytest.mark.parametrize("possion_lbd", [0.0, 0.5, 1e-9])
def test_small_draws_give_inf_after_three_generator_uses(possion_lbd):
    scramble_generator()
    result = ombrix.permutation_bg(PROFILE, None, 1.0, possion_lbd, 0, 9)
    assert result == math.inf and type(result) is float
    after = generator_state()
    np.random.seed(9)
    d = np.random.poisson(possion_lbd)
    np.random.exponential(1.0, size=max(1, d))
    assert d <= 2 and generator_state() == after


@settings(max_examples=150, deadline=None)
@given(profiles, lambdas, st.floats(0.0, 30.0), st.integers(0, 2**31 - 1))
def test_permutation_bg_bits_and_generator_state_match_the_plain_statement(data, lbd, lam, seed):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        scramble_generator()
        got = ombrix.permutation_bg(data, None, lbd, lam, 5, seed)
        state = generator_state()
        scramble_generator()
        want = reference.permutation_bg(data, lbd, lam, seed)
    assert same(got, float(want))
    assert state == generator_state()


@pytest.mark.parametrize("chr_pos, size", [(np.zeros((0, 0)), 0), (np.ones((3, 2)), -7),
                                           (np.ones((4, 4))[::2], 2**31 - 1)])
def test_chr_pos_and_size_take_no_part(chr_pos, size):
    base = ombrix.permutation_bg(PROFILE, None, 2.0, 6.0, 1, 4)
    assert same(ombrix.permutation_bg(PROFILE, chr_pos, 2.0, 6.0, size, 4), base)


def test_keywords_default_seed_to_one():
    kwargs = dict(data=PROFILE, chr_pos=None, lbd=1.0, possion_lbd=8.0, size=1)
    assert same(ombrix.permutation_bg(**kwargs), ombrix.permutation_bg(PROFILE, None, 1.0, 8.0, 1, 1))
    with pytest.raises(TypeError, match="unexpected keyword argument 'poisson_lbd'"):
        ombrix.permutation_bg(PROFILE, None, 1.0, 8.0, 1, poisson_lbd=8.0)


@pytest.mark.parametrize("lbd", [0.0, math.inf, math.nan])
def test_lbd_without_cut_positions_is_refused(lbd):
    with pytest.raises(ValueError, match="lbd must be a positive finite number") as info:
        ombrix.permutation_bg(PROFILE, None, lbd, 20.0, 1)
    assert ombrix_entries(info.value)[0] == ("ombrix.permutation_bg", 110)
    assert ombrix.permutation_bg(PROFILE, None, lbd, 0.0, 1) == math.inf  # d <= 2 draws nothing


def test_empty_profile_with_cuts_scores_zero():
    assert ombrix.permutation_bg(np.zeros(0), None, 1.0, 20.0, 1) == 0.0


@pytest.mark.parametrize("args, line", [
    ((PROFILE, None, 1.0, 5.0, 1, -1), 123),
    ((PROFILE, None, 1.0, -5.0, 1, 1), 124),
    ((PROFILE, None, -1.0, 5.0, 1, 1), 125),
    ((None, None, 1.0, 20.0, 1, 1), 142),
])
def test_permutation_bg_failures_carry_their_lines(args, line):
    with pytest.raises((ValueError, TypeError)) as info:
        ombrix.permutation_bg(*args)
    assert ombrix_entries(info.value) == [("ombrix.permutation_bg", 110),
                                          ("ombrix.permutation_bg", line)]


def test_permutation_bg_guard_gives_zero_but_lets_interrupts_through(proxy_np):
    proxy_np.var = raiser(ValueError("var failed"))
    assert ombrix.permutation_bg(PROFILE, None, 1.0, 20.0, 1) == 0.0
    proxy_np.var = raiser(KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        ombrix.permutation_bg(PROFILE, None, 1.0, 20.0, 1)


# --- permutation_score -------------------------------------------------------------

def test_worked_example_without_backgrounds():
    state = generator_state()
    result = ombrix.permutation_score(7, SCORE_PROFILE, None, np.full(8, math.nan),
                                      np.array([math.nan]), 0, 10, False)
    assert generator_state() == state
    assert list(result) == ["dc", "num_greater", "x"]
    assert list(result["dc"]) == ["smooth_segment", "rearrange_score", "limit"]
    assert result == {"dc": {"smooth_segment": [[0.0, 1.0, 2.0], [1.0, 4.0, 4.0], [4.0, 5.0, 2.0]],
                             "rearrange_score": 0.05847972564007117, "limit": 1.0},
                      "num_greater": 0, "x": 7}


@pytest.mark.parametrize("profile, limit", [
    ([], -1.0), ([4.0, 4.0], -1.0), ([2.0, 2.0, 3.0, 1.0, 5.0], 0.6666666865348816),
])
def test_limit_is_stored_in_single_precision(profile, limit):
    result = ombrix.permutation_score(0, np.array(profile), None, np.ones(1), np.ones(1), 0, 0, False)
    assert same(result["dc"]["limit"], limit)


def test_cal_limit_is_looked_up_in_the_namespace_at_each_call():
    original = ombrix.cal_limit
    seen = []
    try:
        ombrix.cal_limit = lambda x, thr: (seen.append((np.asarray(x).copy(), thr)), 0.3)[1]
        result = ombrix.permutation_score(0, SCORE_PROFILE, None, np.ones(1), np.ones(1), 0, 0, 0)
        assert same(result["dc"]["limit"], 0.30000001192092896)
        assert list(seen[0][0]) == list(SCORE_PROFILE) and same(seen[0][1], 0.6)
        ombrix.cal_limit = lambda x, thr: "not a number"
        with pytest.raises(TypeError) as info:
            ombrix.permutation_score(0, SCORE_PROFILE, None, np.ones(1), np.ones(1), 0, 0, 0)
        assert ombrix_entries(info.value) == [("ombrix.permutation_score", 186),
                                              ("ombrix.permutation_score", 199)]
    finally:
        ombrix.cal_limit = original


@settings(max_examples=40, deadline=None)
@given(profiles, lambdas, st.floats(0.0, 25.0), st.integers(-2, 12))
def test_permutation_score_matches_the_plain_statement(cnv, lbd, lam, random_num):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        scramble_generator()
        got = ombrix.permutation_score(1, cnv, None, np.array([9.0, lbd]), np.array([lam]), 0,
                                       random_num, True)
        state = generator_state()
        scramble_generator()
        want = reference.permutation_score(1, cnv, np.array([9.0, lbd]), np.array([lam]), 0,
                                           random_num, True)
    assert same(got, want)
    if random_num >= 1:
        assert generator_state() == state


@pytest.mark.parametrize("random_num", [5, 0, -3])
def test_all_nan_lambdas_count_every_background(random_num):
    state = generator_state()
    result = ombrix.permutation_score(0, SCORE_PROFILE, None, np.array([math.nan, math.nan]),
                                      np.ones(1), 0, random_num, True)
    assert result["num_greater"] == random_num
    assert generator_state() == state


def test_nan_lambdas_fall_back_to_the_mean_of_the_numbers():
    fallback = ombrix.permutation_score(0, PROFILE, None, np.array([math.nan, 1.0, 3.0]),
                                        np.array([math.nan, 20.0]), 0, 30, True)
    direct = ombrix.permutation_score(0, PROFILE, None, np.array([2.0]), np.array([20.0]), 0, 30,
                                      True)
    assert fallback == direct


@pytest.mark.parametrize("observed, counted", [(0.7, 0), (0.3, 4)])
def test_backgrounds_compare_in_single_precision(proxy_np, observed, counted):
    # Observed and background scores are made equal in double precision: the
    # background is rounded to single precision before the comparison.
    profile = np.array([0.0, 0.0, 5.0, 5.0])
    with_drawn(proxy_np, 3, [1.0, 1.0, 2.0])  # segments 0-1, 1-2, 2-4: two runs
    proxy_np.sum = lambda x: 2.0 if x.base is not None else np.sum(x)  # a = 1 for the table
    proxy_np.exp = lambda s: 1.0  # both logistic weights 0.5
    # observed = (1.0 * 0.5) * 2v; background = (0.5 * 2/4) * 4v
    # the profile reaches np.var as a view (with a base), the smoothed profile as its own array
    proxy_np.var = lambda x: 4 * observed if x.base is None else 2 * observed
    result = ombrix.permutation_score(0, profile, None, np.ones(1), np.ones(1), 0, 4, True)
    assert result["dc"]["rearrange_score"] == observed
    assert result["num_greater"] == counted


def test_inf_backgrounds_reach_every_score_but_nan():
    result = ombrix.permutation_score(0, SCORE_PROFILE, None, np.ones(1), np.zeros(1), 0, 3, True)
    assert result["num_greater"] == 3
    nan_score = np.array([0.0, 0.0, 1.0])
    result = ombrix.permutation_score(0, nan_score, None, np.ones(1), np.zeros(1), 0, 3, True)
    assert math.isnan(result["dc"]["rearrange_score"]) and result["num_greater"] == 0


@pytest.mark.parametrize("x, chr_num, message", [
    (2, 0, "x=2 is out of range for exp_lambda of length 2"),
    (-1, 0, "x=-1 is out of range for exp_lambda of length 2"),
    (0, 1, "chr_num=1 is out of range for possion_lambda of length 1"),
    (0, -5, "chr_num=-5 is out of range for possion_lambda of length 1"),
])
@pytest.mark.parametrize("random", [True, False])
def test_indices_outside_the_lambdas_raise_index_error(x, chr_num, message, random):
    with pytest.raises(IndexError, match=message) as info:
        ombrix.permutation_score(x, SCORE_PROFILE, None, np.ones(2), np.ones(1), chr_num, 1, random)
    assert ombrix_entries(info.value) == [("ombrix.permutation_score", 186),
                                          ("ombrix.permutation_score", 203)]


def test_none_lambdas_are_empty_vectors():
    with pytest.raises(IndexError, match="length 0"):
        ombrix.permutation_score(0, SCORE_PROFILE, None, None, np.ones(1), 0, 1, True)


def test_permutation_score_failure_chain(proxy_np):
    proxy_np.isnan = raiser(ArithmeticError("isnan"))
    with pytest.raises(ArithmeticError) as info:
        ombrix.permutation_score(0, SCORE_PROFILE, None, np.ones(1), np.ones(1), 0, 1, True)
    assert ombrix_entries(info.value) == [("ombrix.permutation_score", 186),
                                          ("ombrix.permutation_score", 209)]


@pytest.mark.parametrize("call", [
    lambda: ombrix.permutation_score(0, PROFILE, None, np.ones(1), np.array([20.0]), 0, 10**7, 1),
    lambda: ombrix.perm_cnv_pyx(PROFILE, 1.0, 20.0, 10**7, 1),
])
def test_a_signal_stops_a_long_run(call):
    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        started = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            call()
        assert time.monotonic() - started < 30
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


# --- perm_cnv_pyx ---------------------------------------------------------------

def test_no_permutations_give_an_empty_list():
    assert ombrix.perm_cnv_pyx(PROFILE, 1.0, 5.0, 0, 3) == []


def test_zero_draws_give_integer_zeros_without_reseeding():
    result = ombrix.perm_cnv_pyx(PROFILE, 1.0, 0.0, 4, 3)
    assert result == [0, 0, 0, 0] and all(type(v) is int for v in result)
    state = generator_state()
    np.random.seed(3)
    np.random.poisson(0.0, size=4)
    assert generator_state() == state


def test_negative_exp_lam_fails_only_when_a_draw_is_not_zero():
    assert ombrix.perm_cnv_pyx(PROFILE, -1.0, 0.0, 3, 1) == [0, 0, 0]
    with pytest.raises(ValueError) as info:
        ombrix.perm_cnv_pyx(PROFILE, -1.0, 5.0, 3, 1)
    assert ombrix_entries(info.value) == [("ombrix.perm_cnv_pyx", 263),
                                          ("ombrix.perm_cnv_pyx", 279)]


def test_permutation_k_depends_on_k_not_on_seed():
    a = ombrix.perm_cnv_pyx(PROFILE, 1.0, 4.0, 12, 1)
    b = ombrix.perm_cnv_pyx(PROFILE, 1.0, 4.0, 12, 2)
    draws_a = (np.random.seed(1), np.random.poisson(4.0, size=12))[1]
    draws_b = (np.random.seed(2), np.random.poisson(4.0, size=12))[1]
    for k in np.flatnonzero(draws_a == draws_b):
        assert same(a[k], b[k])


@settings(max_examples=100, deadline=None)
@given(profiles, st.floats(0.0, 30.0), st.floats(0.0, 15.0), st.integers(0, 8),
       st.integers(0, 2**31 - 1))
def test_perm_cnv_bits_and_generator_state_match_the_plain_statement(cnv, exp_lam, lam, count,
                                                                     seed):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        scramble_generator()
        try:
            got = ombrix.perm_cnv_pyx(cnv, exp_lam, lam, count, seed)
        except ZeroDivisionError:
            got = "ZeroDivisionError"
        state = generator_state()
        scramble_generator()
        try:
            want = reference.perm_cnv(cnv, exp_lam, lam, count, seed)
        except ZeroDivisionError:
            want = "ZeroDivisionError"
    assert same(got, want)
    assert state == generator_state()


def test_none_profile_fails_at_the_first_non_zero_draw():
    assert ombrix.perm_cnv_pyx(None, 1.0, 0.0, 2, 1) == [0, 0]
    with pytest.raises(TypeError) as info:
        ombrix.perm_cnv_pyx(None, 1.0, 5.0, 2, 1)
    assert ombrix_entries(info.value) == [("ombrix.perm_cnv_pyx", 263),
                                          ("ombrix.perm_cnv_pyx", 289)]
