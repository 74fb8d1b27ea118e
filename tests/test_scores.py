"""ombrix, cal_limit and cal_R_pyx: stated values, oracles, failures."""
import math
import struct
import sys
import warnings

import numpy as np
import numpy_port as reference
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import ombrix
from conftest import ombrix_entries, raiser

nan, inf = math.nan, math.inf


def bits(x):
    return struct.pack("<d", x)


def same(a, b):
    """Equal values with the same bits for floats. NaNs count as equal whatever
    their sign bit: which NaN operand a C multiplication keeps depends on the
    order in which the compiler puts its operands, in the port's interpreter
    as in the module."""
    if isinstance(a, float) and isinstance(b, float):
        return bits(a) == bits(b) or (math.isnan(a) and math.isnan(b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(p, q) for p, q in zip(a, b))
    return type(a) is type(b) and a == b


profiles = hnp.arrays(np.float64, st.integers(0, 40), elements=st.integers(0, 6).map(float))
wild_profiles = hnp.arrays(np.float64, st.integers(0, 30), elements=st.sampled_from(
    [0.0, -0.0, 1.0, 2.0, 2.5, nan, inf, -inf, 1e308, 5e-324, 3.0]))


# --- ombrix -----------------------------------------------------------------

@pytest.mark.parametrize("profile, table, score", [
    ([], [[0.0, -1.0, 0.0]], 0.0),
    ([5.0], [[0.0, 0.0, 1.0]], 0.0),
    ([3.0] * 7, [[0.0, 6.0, 7.0]], 0.0),
    ([0.0, 1.0], [[0.0, 0.0, 1.0], [0.0, 1.0, 2.0]], 1 / 12),
    ([1, 1, 2, 2, 2, 3], [[0, 1, 2], [1, 4, 4], [4, 5, 2]], 0.05847972564007117),
    ([0, 1, 0, 1], [[0, 0, 1], [0, 1, 2], [1, 2, 2], [2, 3, 2]], 0.10862406312257439),
    ([1.0, nan, 1.0], [[0, 0, 1], [0, 1, 2], [1, 2, 2]], nan),
    ([0.0, 0.0, 1.0], [[0, 1, 2], [1, 2, 2]], nan),
    ([0.0, 0.0, 0.0, 1.0, 1.0], [[0, 2, 3], [2, 4, 3]], nan),
    ([inf, inf], [[0, 0, 1], [0, 1, 2]], nan),  # inf - inf is a change
])
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_ombrix_stated_values(profile, table, score):
    result = ombrix.ombrix(np.array(profile, dtype=float), None)
    assert list(result) == ["smooth_segment", "rearrange_score"]
    assert result["smooth_segment"] == [[float(v) for v in row] for row in table]
    assert all(type(v) is float for row in result["smooth_segment"] for v in row)
    got = result["rearrange_score"]
    assert (math.isnan(got) and math.isnan(score)) or got == pytest.approx(score, rel=1e-15)


@settings(max_examples=200, deadline=None)
@given(st.one_of(profiles, wild_profiles))
def test_ombrix_bits_match_the_plain_statement(profile):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        assert same(ombrix.ombrix(profile, None), reference.ombrix(profile))


@pytest.mark.parametrize("chr_pos", [None, np.zeros((0, 0)), np.arange(12.0).reshape(3, 4),
                                     np.ones((4, 4))[::2, ::-1]])
def test_ombrix_chr_pos_has_no_effect(chr_pos):
    profile = np.array([1.0, 1.0, 2.0, 2.0, 2.0, 3.0])
    assert same(ombrix.ombrix(profile, chr_pos), ombrix.ombrix(profile, None))


def test_ombrix_one_dimensional_chr_pos_fails_at_line_27():
    with pytest.raises(ValueError) as info:
        ombrix.ombrix(np.zeros(3), np.zeros(3))
    assert str(info.value) == "Buffer has wrong number of dimensions (expected 2, got 1)"
    assert ombrix_entries(info.value) == [("ombrix.ombrix", 27)]


@pytest.mark.parametrize("function", ["ombrix", "cal_R_pyx", "cal_limit", "skew"])
def test_strided_profiles_read_exactly_their_elements(function):
    dense = np.array([0.0, 0.0, 1.0, 1.0, 1.0, 2.0, 2.0, 5.0, 5.0, 5.0, 5.0, 0.0])
    spaced = np.full(36, 99.0)
    spaced[::3] = dense
    args = (None,) if function == "ombrix" else ()
    f = getattr(ombrix, function)
    assert same(f(spaced[::3], *args), f(dense, *args))
    assert same(f(spaced[33::-3], *args), f(dense[::-1].copy(), *args))


def test_ombrix_guarded_block_gives_zero_with_the_full_table(proxy_np):
    proxy_np.var = raiser(ValueError("var failed"))
    result = ombrix.ombrix(np.array([1.0, 1.0, 2.0, 2.0, 2.0, 3.0]), None)
    assert result == {"smooth_segment": [[0.0, 1.0, 2.0], [1.0, 4.0, 4.0], [4.0, 5.0, 2.0]],
                      "rearrange_score": 0.0}


def test_ombrix_guarded_block_keeps_the_handled_exception(proxy_np):
    proxy_np.exp = raiser(ValueError("exp failed"))
    try:
        raise KeyError("outer")
    except KeyError as outer:
        assert ombrix.ombrix(np.array([0.0, 1.0]), None)["rearrange_score"] == 0.0
        assert sys.exc_info()[1] is outer


def test_ombrix_guarded_block_lets_keyboard_interrupt_through(proxy_np):
    proxy_np.var = raiser(KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        ombrix.ombrix(np.array([0.0, 1.0]), None)


@pytest.mark.parametrize("attribute, line", [
    ("diff", 35), ("where", 35), ("zeros", 37), ("concatenate", 38),
])
def test_ombrix_failures_outside_the_guard_propagate(proxy_np, attribute, line):
    setattr(proxy_np, attribute, raiser(ArithmeticError(attribute)))
    with pytest.raises(ArithmeticError, match=attribute) as info:
        ombrix.ombrix(np.array([0.0, 1.0]), None)
    assert ombrix_entries(info.value) == [("ombrix.ombrix", 26), ("ombrix.ombrix", line)]


def test_ombrix_non_array_change_points_are_refused(proxy_np):
    proxy_np.where = lambda mask: ([1, 2],)
    with pytest.raises(TypeError, match=r"^Cannot convert list to numpy\.ndarray$") as info:
        ombrix.ombrix(np.array([0.0, 1.0]), None)
    assert ombrix_entries(info.value) == [("ombrix.ombrix", 26), ("ombrix.ombrix", 35)]


def test_ombrix_none_profile_fails_in_numpy_at_line_35():
    with pytest.raises(Exception) as info:
        ombrix.ombrix(None, None)
    assert ombrix_entries(info.value) == [("ombrix.ombrix", 26), ("ombrix.ombrix", 35)]


def test_ombrix_skewness_failure_inside_the_guard_gives_zero(proxy_np):
    proxy_np.std = raiser(ValueError("std failed"))
    assert ombrix.ombrix(np.array([0.0, 1.0, 1.0]), None)["rearrange_score"] == 0.0


# --- cal_limit ----------------------------------------------------------------

@pytest.mark.parametrize("profile, expected", [
    ([], -1), ([2.0], -1), ([2.0, 2.0, 2.0], -1), ([0.0, -0.0], -1),
    ([2.0, 2.0, 3.0, 1.0, 5.0], 0.6666666666666666),
    ([1.0, 1.0, 2.0, 2.0, 2.0, 3.0], 1.0),
    ([1.0, 2.0], 1.0), ([2.0, 1.0], 1.0), ([1.0, 3.0], 0.0),
    ([2.0, 2.0, 2.5, 3.0], 0.5),
    ([1.2, 1.2, 2.2], 0.0),  # 2.2 - 1.2 is 1.0000000000000002
    ([1.0, nan], 0.0), ([nan, nan], 0.0), ([inf, inf, 5.0], 0.0),
    ([nan, 3.0, 3.0, 4.0], 0.5),
])
def test_cal_limit_stated_values(profile, expected):
    result = ombrix.cal_limit(np.array(profile, dtype=float))
    assert same(result, expected)


many_values = hnp.arrays(np.float64, st.integers(0, 300),
                         elements=st.floats() | st.integers(-3, 3).map(float))


@settings(max_examples=200, deadline=None)
@given(st.one_of(profiles, wild_profiles, many_values), st.sampled_from([1, 2, -1]))
def test_cal_limit_matches_the_plain_statement(profile, step):
    profile = profile[::step]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        assert same(ombrix.cal_limit(profile), reference.cal_limit(profile))


@pytest.mark.parametrize("threshold", [0.9, -3, 1e300, nan, True])
def test_cal_limit_threshold_takes_no_part(threshold):
    profile = np.array([2.0, 2.0, 3.0, 1.0, 5.0])
    assert ombrix.cal_limit(profile, threshold) == ombrix.cal_limit(profile)
    assert ombrix.cal_limit(profile, coverage_thr=threshold) == ombrix.cal_limit(profile)


def test_cal_limit_failures_have_one_entry():
    with pytest.raises(TypeError, match="must be real number, not str") as info:
        ombrix.cal_limit(np.zeros(2), "a")
    assert ombrix_entries(info.value) == [("ombrix.cal_limit", 70)]
    with pytest.raises(TypeError, match=r"^'NoneType' is not iterable$") as info:
        ombrix.cal_limit(None)
    assert ombrix_entries(info.value) == [("ombrix.cal_limit", 77)]


# --- cal_R_pyx ----------------------------------------------------------------

@pytest.mark.parametrize("profile, expected", [
    ([], 0.0), ([1.0], 0.0), ([4.0] * 5, 0.0), ([0.0, 0.0, 1.0, 1.0], 0.0),
    ([0.0, 1.0, 0.0, 0.0, 1.0], 0.072),
    ([0, 0, 1, 1, 1, 2, 2, 5, 5, 5, 5, 0], 0.6979166666666666),
    ([1.0, 1.0, 2.0, 2.0, 2.0, 3.0], nan),
    ([0.0, 1.0, 0.0, 1.0, 1.0], nan),
    ([0.0, nan, 2.0, 2.0, 3.0, 3.0, 3.0, 1.0], nan),
])
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_cal_r_stated_values(profile, expected):
    result = ombrix.cal_R_pyx(np.array(profile, dtype=float))
    assert type(result) is float
    assert (math.isnan(result) and math.isnan(expected)) or result == pytest.approx(expected,
                                                                                    rel=1e-15)


@settings(max_examples=200, deadline=None)
@given(st.one_of(profiles, wild_profiles))
def test_cal_r_bits_match_the_plain_statement(profile):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        assert same(ombrix.cal_R_pyx(profile), reference.cal_R(profile))


def test_cal_r_zero_divisor_raises(proxy_np):
    proxy_np.exp = lambda x: -1.0
    with pytest.raises(ZeroDivisionError, match="^float division by zero$") as info:
        ombrix.cal_R_pyx(np.array([0.0, 1.0, 0.0, 0.0, 1.0]))
    assert ombrix_entries(info.value) == [("ombrix.cal_R_pyx", 239), ("ombrix.cal_R_pyx", 252)]


@pytest.mark.parametrize("attribute, line, entries", [
    ("diff", 241, []), ("abs", 251, []), ("var", 255, []),
    ("std", 252, [("ombrix.skew", 11)]),
])
def test_cal_r_failures_carry_their_lines(proxy_np, attribute, line, entries):
    setattr(proxy_np, attribute, raiser(ArithmeticError(attribute)))
    with pytest.raises(ArithmeticError, match=attribute) as info:
        ombrix.cal_R_pyx(np.array([0.0, 1.0, 0.0, 0.0, 1.0]))
    assert ombrix_entries(info.value) == [("ombrix.cal_R_pyx", 239),
                                          ("ombrix.cal_R_pyx", line), *entries]
