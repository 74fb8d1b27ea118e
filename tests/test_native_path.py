"""The native path against the NumPy-call path (forced by a forwarding proxy
for the module global `np`): identical bits, types, key order, exceptions,
warnings and generator state, under NumPy's default error state, under
np.seterr(all="raise") and others, and with changed ufunc buffer sizes."""
import contextlib
import math
import os
import pickle
import struct
import threading
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import ombrix
from conftest import NumpyProxy, numpy_code_entered, ombrix_entries

EXAMPLES = int(os.environ.get("OMBRIX_FUZZ_EXAMPLES", "500"))

def canonical(value):
    """A comparable form: floats by their bits, containers with their types
    and key order. A NaN is a NaN whatever its sign bit: which NaN operand an
    addition or multiplication passes on depends on the order in which a
    compiler puts the operands, in NumPy's loops as in the module."""
    if isinstance(value, float):
        return (type(value), "nan" if math.isnan(value) else struct.pack("<d", value))
    if isinstance(value, dict):
        return (dict, [(k, canonical(v)) for k, v in value.items()])
    if isinstance(value, list):
        return (list, [canonical(v) for v in value])
    return (type(value), value)


def observe(call):
    np.random.seed(987654)  # the same prior state for both paths,
    np.random.standard_normal()  # with a cached Gaussian that a reseed drops
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            outcome = ("returned", canonical(call()))
        except Exception as exc:  # compared, not hidden
            outcome = ("raised", type(exc), str(exc), ombrix_entries(exc))
    seen = [(w.category, str(w.message), w.filename, w.lineno) for w in caught]
    return outcome, seen, pickle.dumps(np.random.get_state())


def assert_paths_agree(call, expect_native=True):
    with numpy_code_entered() as native_entries:
        native = observe(call)
    original = ombrix.np
    ombrix.np = NumpyProxy()
    try:
        with numpy_code_entered() as numpy_entries:
            numpy_path = observe(call)
    finally:
        ombrix.np = original
    assert native[0] == numpy_path[0]
    assert native[1] == numpy_path[1], "warnings differ"
    assert native[2] == numpy_path[2], "generator states differ"
    if expect_native:
        # what the native path hands to NumPy (an empty mean, a flag the
        # error state reports) is NumPy's own call; it never calls more
        assert len(native_entries) <= len(numpy_entries)
    return native


ERROR_STATES = {
    "default": dict(),
    "raise": dict(all="raise"),
    "ignore": dict(all="ignore"),
    "warn-underflow": dict(all="warn"),
    "mixed": dict(divide="raise", over="ignore", under="warn", invalid="warn"),
}


@contextlib.contextmanager
def numpy_state(errors, bufsize):
    old = np.getbufsize()
    np.setbufsize(bufsize)
    try:
        with np.errstate(**ERROR_STATES[errors]):
            yield
    finally:
        np.setbufsize(old)


states = st.tuples(st.sampled_from(sorted(ERROR_STATES)), st.sampled_from([8192, 8192, 16, 1024]))

WILD = [0.0, -0.0, 1.0, 2.0, 2.0, 3.0, 4.0, 6.0, 2.5, 3.5, -1.0, math.nan, math.inf, -math.inf,
        1e308, -1e308, 1e200, 1e-310, 5e-324, 16777217.0]


@st.composite
def profiles(draw, max_size=300):
    """Mostly piecewise-constant copy numbers, sometimes wild values, viewed
    with unit, positive or negative strides."""
    if draw(st.booleans()):
        levels = draw(st.lists(st.sampled_from(WILD[:10]), min_size=1, max_size=12))
        widths = draw(st.lists(st.integers(1, 40), min_size=len(levels), max_size=len(levels)))
        base = np.repeat(np.array(levels), widths)[:max_size]
    else:
        base = draw(hnp.arrays(np.float64, st.integers(0, max_size // 3),
                               elements=st.sampled_from(WILD) | st.floats()))
    step = draw(st.sampled_from([1, 1, 1, 2, -1, -3]))
    return base[::step]


# NumPy refuses negative and NaN scales and lambdas and negative seeds: those
# draws are NumPy's calls on both paths, with NumPy's exceptions.
scales = st.sampled_from([1.0, 0.5, 3.0, 1e-300, 1e300, 0.0, 1e-320, -0.0, -1.0, math.nan, math.inf]) | \
    st.floats(0.01, 100)
poisson_means = st.floats(0.0, 60.0) | st.sampled_from([3.0, 20.0, 100.0, 0.0, 5e-324, 1e-12, 9.999999999999998,
                                                        10.0, 10.000000000000002, -1.0, math.nan, 400.0])
seeds = st.integers(0, 2**32 - 1).map(lambda s: s % (2**31)) | st.sampled_from([0, 1, 2**31 - 1, -1])

SETTINGS = dict(max_examples=EXAMPLES, deadline=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@settings(**SETTINGS)
@given(x=profiles(), state=states)
def test_scores_agree(x, state):
    with numpy_state(*state):
        assert_paths_agree(lambda: ombrix.skew(x))
        assert_paths_agree(lambda: ombrix.ombrix(x, None))
        assert_paths_agree(lambda: ombrix.cal_R_pyx(x))


@settings(**SETTINGS)
@given(x=profiles(), lbd=scales, mean=poisson_means, seed=seeds, state=states)
def test_permutation_bg_agrees(x, lbd, mean, seed, state):
    with numpy_state(*state):
        assert_paths_agree(lambda: ombrix.permutation_bg(x, None, lbd, mean, 0, seed),
                           expect_native=False)


@settings(**SETTINGS)
@given(x=profiles(), lam=scales, mean=poisson_means, count=st.integers(0, 6), seed=seeds,
       state=states)
def test_perm_cnv_agrees(x, lam, mean, count, seed, state):
    with numpy_state(*state):
        assert_paths_agree(lambda: ombrix.perm_cnv_pyx(x, lam, mean, count, seed),
                           expect_native=False)


@settings(**SETTINGS)
@given(x=profiles(max_size=120), exp=st.sampled_from([1.0, 0.3, math.nan]),
       mean=st.sampled_from([3.0, 8.0, 20.0, math.nan]), count=st.integers(0, 5), state=states)
def test_permutation_score_agrees(x, exp, mean, count, state):
    exp_lambda, possion_lambda = np.array([exp, 2.0]), np.array([mean, 6.0])
    with numpy_state(*state):
        assert_paths_agree(
            lambda: ombrix.permutation_score(0, x, None, exp_lambda, possion_lambda, 0, count, True))


class Draws:
    """Stands in for np.random with fixed draws; the replaced functions stay
    NumPy's own, so the native path stays open."""

    def __init__(self, d, weights):
        self.d, self.weights = d, weights

    def seed(self, s):
        pass

    def get_state(self):
        return "fixed draws"

    def standard_normal(self):
        return 0.0

    def poisson(self, lam, size=None):
        return self.d if size is None else np.full(size, self.d)

    def exponential(self, scale, size=None):
        return np.array(self.weights, dtype=float)


PROFILE = np.array([2.0, 2.0, 2.0, 3.0, 2.0, 2.0, 3.0, 9.0, 9.0, 9.0])

DRAWN_CASES = {
    "runs merge": (4, [1.0, 2.0, 4.0, 3.0]),
    "segment past the end": (3, [4.6, 4.6, 0.8]),
    "empty segments": (5, [0.01, 0.01, 5.0, 0.02, 4.0]),
    "zero weights": (4, [0.0, 0.0, 0.0, 0.0]),
    "one weight takes all": (6, [0.0, 0.0, 1.0, 0.0, 0.0, 0.0]),
    "huge and tiny weights": (4, [1e308, 1e308, 1.0, 5e-324]),
    "nan weight": (3, [1.0, math.nan, 1.0]),
    "infinite weight": (3, [1.0, math.inf, 2.0]),
    "negative weights": (5, [-1.0, 2.0, 3.0, -0.5, 4.0]),
}


@pytest.mark.parametrize("errors", sorted(ERROR_STATES))
@pytest.mark.parametrize("case", sorted(DRAWN_CASES))
@pytest.mark.parametrize("profile", [PROFILE, PROFILE[::-1], np.array([1e308, -1e308] * 5),
                                     np.array([math.inf] * 4 + [1.0] * 6), np.zeros(0)],
                         ids=["profile", "reversed", "huge", "infinite", "empty"])
def test_drawn_segmentations_agree(monkeypatch, profile, case, errors):
    d, weights = DRAWN_CASES[case]
    monkeypatch.setattr(np, "random", Draws(d, weights))
    with numpy_state(errors, 8192):
        assert_paths_agree(lambda: ombrix.permutation_bg(profile, None, 1.0, 4.0, 0))
        assert_paths_agree(lambda: ombrix.perm_cnv_pyx(profile, 1.0, 4.0, 2, 1))


LONG = np.repeat(np.arange(3000) % 7, 2).astype(np.float64)


@pytest.mark.parametrize("errors", ["default", "raise"])
@pytest.mark.parametrize("weights", [np.ones(3000), np.r_[np.ones(1500), 0.0, np.ones(1499)],
                                     np.r_[np.ones(1100), -3.0, np.ones(1899)], np.r_[np.ones(2000), [1e308] * 3]],
                         ids=["even", "one empty", "one backwards", "overflow"])
def test_thousands_of_segments_agree(monkeypatch, weights, errors):
    # segments of two positions, past the points where the loop checks for
    # signals (every 1024 segments), with an empty or backwards one among them
    monkeypatch.setattr(np, "random", Draws(len(weights), weights))
    with numpy_state(errors, 8192):
        assert_paths_agree(lambda: ombrix.permutation_bg(LONG, None, 1.0, 4.0, 0))
        assert_paths_agree(lambda: ombrix.perm_cnv_pyx(LONG, 1.0, 4.0, 2, 1))


def test_replaced_numpy_function_closes_the_native_path(monkeypatch):
    calls = []
    monkeypatch.setattr(np, "mean", lambda x: calls.append(x) or np.add.reduce(x) / len(x))
    ombrix.skew(np.array([1.0, 2.0, 4.0]))
    assert len(calls) == 1


def test_weights_that_numpy_code_keeps_are_left_alone(monkeypatch):
    """The backgrounds' weights arrays, drawn natively, are reused from one
    background to the next: never one that NumPy code still holds. A
    replaced np.sum closes the array operations' native path, not the draws'."""
    kept = []  # [array, its values once a later sum began]
    numpy_sum = np.sum

    def keeping_sum(a, *args, **kwargs):
        for entry in kept:  # np.sum(weights) comes once a background: the earlier ones are done
            if entry[1] is None:
                entry[1] = entry[0].copy()
        if isinstance(a, np.ndarray) and a.dtype == np.float64:
            kept.append([a, None])
        return numpy_sum(a, *args, **kwargs)

    profile = np.repeat(np.arange(8.0), 25)

    def call():
        return canonical(ombrix.permutation_score(0, profile, None, np.array([1.0]), np.array([3.0]), 0, 60, True))

    expected = call()
    monkeypatch.setattr(np, "sum", keeping_sum)
    assert call() == expected
    assert len(kept) > 20
    assert all(np.array_equal(a, done) for a, done in kept[:-1])


PLAIN_CALLS = {
    "skew": lambda: ombrix.skew(PROFILE),
    "ombrix": lambda: ombrix.ombrix(PROFILE, None),
    "cal_R_pyx": lambda: ombrix.cal_R_pyx(PROFILE),
    "permutation_bg": lambda: ombrix.permutation_bg(PROFILE, None, 1.0, 20.0, 0, 3),
    "permutation_score": lambda: ombrix.permutation_score(0, PROFILE, None, np.array([1.0]),
                                                          np.array([20.0]), 0, 20, True),
    "perm_cnv_pyx": lambda: ombrix.perm_cnv_pyx(PROFILE, 1.0, 5.0, 10, 3),
}


# NumPy functions the kernels stand in for; np.mean is left out, since the
# mean of an empty segment is NumPy's own call on both paths.
REPLACED = {"std", "var", "sum", "cumsum", "diff", "round", "around", "repeat"}


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("name", sorted(PLAIN_CALLS))
def test_native_path_is_taken_for_plain_calls(name, proxy_np):
    with numpy_code_entered() as numpy_calls:
        PLAIN_CALLS[name]()
    ombrix.np = np
    with numpy_code_entered() as native:
        PLAIN_CALLS[name]()
    assert set(numpy_calls) & REPLACED
    assert not set(native) & REPLACED


GENERATOR_CALLS = {
    "permutation_bg": lambda: ombrix.permutation_bg(PROFILE, None, 1.0, 20.0, 0, 3),
    "perm_cnv_pyx": lambda: ombrix.perm_cnv_pyx(PROFILE, 1.0, 12.0, 8, 3),
    "permutation_score": lambda: ombrix.permutation_score(0, PROFILE, None, np.array([1.0]), np.array([20.0]),
                                                          0, 30, True),
}


@pytest.mark.skipif(not hasattr(np.random, "set_bit_generator"), reason="NumPy 1.25 and later swap it")
@pytest.mark.parametrize("name", sorted(GENERATOR_CALLS))
def test_a_swapped_bit_generator_gets_numpys_draws(name):
    original = np.random.get_bit_generator()

    def on_pcg64():
        # a fresh one per run: reseeding a PCG64 keeps the cached Gaussian
        np.random.set_bit_generator(np.random.PCG64(5))
        return GENERATOR_CALLS[name]()

    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # get_state's legacy form is MT19937's
            assert_paths_agree(on_pcg64)
    finally:
        np.random.set_bit_generator(original)
    assert_paths_agree(GENERATOR_CALLS[name])  # and the native draws again once it is back


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("name", sorted(GENERATOR_CALLS))
def test_draws_wait_for_a_thread_that_holds_numpys_generator(name):
    expected = observe(GENERATOR_CALLS[name])
    lock = np.random.mtrand._rand._bit_generator.lock
    done = threading.Event()
    seen = []

    def worker():
        seen.append(observe(GENERATOR_CALLS[name]))
        done.set()

    with lock:
        thread = threading.Thread(target=worker)
        thread.start()
        assert not done.wait(0.3)  # the worker's draws wait for the lock
    thread.join(30)
    assert seen == [expected]


FRESH_INTERPRETER = """
import pickle, sys, warnings
import numpy as np
import ombrix
warnings.simplefilter("ignore")
assert "numpy.random" not in sys.modules or np.__version__ < "2"
x = np.array([2.0, 2.0, 2.0, 3.0, 2.0, 2.0, 3.0, 9.0, 9.0, 9.0])
results = [ombrix.perm_cnv_pyx(x, 1.0, 12.0, 8, 3) for _ in range(2)]
results += [ombrix.permutation_bg(x, None, 1.0, 20.0, 0, seed) for seed in (3, 4)]
sys.stdout.buffer.write(pickle.dumps((results, np.random.get_state())))
"""


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_draws_before_numpy_random_is_imported():
    """The first draws of a process import numpy.random through NumPy's own
    calls; the native generator takes over from there, with the same bits."""
    import pickle
    import subprocess
    import sys

    out = subprocess.run([sys.executable, "-c", FRESH_INTERPRETER], capture_output=True, check=True,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}).stdout
    results, state = pickle.loads(out)
    x = PROFILE
    expected = [ombrix.perm_cnv_pyx(x, 1.0, 12.0, 8, 3) for _ in range(2)]
    expected += [ombrix.permutation_bg(x, None, 1.0, 20.0, 0, seed) for seed in (3, 4)]
    assert canonical(results) == canonical(expected)
    assert pickle.dumps(state) == pickle.dumps(np.random.get_state())


# Long runs: the smoothed profile's variance is made from its runs.
LONG_PROFILE = np.repeat([2.0, 3.0, 1.0, 4.0, 2.5, math.nan, 7.0], [4000, 3000, 5000, 2000, 6000, 1, 3000])


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("errors", ["default", "raise"])
@pytest.mark.parametrize("seed", [1, 2, 3, 7, 11])
def test_long_smoothed_profiles_agree(seed, errors):
    finite = LONG_PROFILE[:-3001]
    with numpy_state(errors, 8192):
        assert_paths_agree(lambda: ombrix.permutation_bg(finite, None, 1.0, 3.0, 0, seed))
        assert_paths_agree(lambda: ombrix.permutation_bg(LONG_PROFILE, None, 1.0, 3.0, 0, seed))
        assert_paths_agree(lambda: ombrix.perm_cnv_pyx(finite, 1.0, 3.0, 3, seed))


@pytest.mark.parametrize("possion", [2.2e9, 1e12])
def test_poisson_draws_past_32_bits_agree(possion):
    # perm_cnv_pyx reads a native draw by index; one past int's range is
    # refused as converting the array's own element refuses it
    assert_paths_agree(lambda: ombrix.perm_cnv_pyx(PROFILE, 1.0, possion, 3, 1))


# Profiles of a few thousand positions in a few long runs: the variance is
# made from the runs from 60 positions a run on (256 once written out).
MEDIUM_PROFILE = np.repeat([2.0, 3.0, 1.0, 2.0], [700, 500, 300, 500])


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("errors, bufsize", [("default", 8192), ("raise", 8192), ("default", 16)])
@pytest.mark.parametrize("possion", [2.0, 5.0])
def test_medium_profiles_of_long_runs_agree(errors, bufsize, possion):
    with numpy_state(errors, bufsize):
        for seed in (1, 2, 3, 5, 8):
            assert_paths_agree(lambda: ombrix.permutation_bg(MEDIUM_PROFILE, None, 1.0, possion, 0, seed))
            assert_paths_agree(lambda: ombrix.perm_cnv_pyx(MEDIUM_PROFILE, 1.0, possion, 3, seed))
        assert_paths_agree(lambda: ombrix.permutation_score(0, MEDIUM_PROFILE, None, np.array([1.0]),
                                                            np.array([possion]), 0, 30, True))


def test_numpy_reads_the_whole_smoothed_profile(monkeypatch):
    """perm_cnv_pyx writes its smoothed profile out only when something reads
    its elements. Once Python code has replaced np.var mid-call, NumPy's own
    var reads the array: every value must be there, not the last call's."""
    profile = np.repeat([2.0, 7.0, 1.0, 4.0, 3.0], [600, 500, 300, 400, 200])
    expected = canonical(ombrix.perm_cnv_pyx(profile, 1.0, 12.0, 6, 3))
    ombrix.perm_cnv_pyx(profile[::-1].copy(), 1.0, 12.0, 6, 3)  # other values in the reused array
    numpy_exp, numpy_var = np.exp, np.var
    seen = []

    def recording_var(a, *args, **kwargs):
        seen.append(np.array(a))
        return numpy_var(a, *args, **kwargs)

    def replacing_exp(x):  # runs between the smoothing and the variance
        monkeypatch.setattr(np, "var", recording_var)
        return numpy_exp(x)

    monkeypatch.setattr(np, "exp", replacing_exp)
    assert canonical(ombrix.perm_cnv_pyx(profile, 1.0, 12.0, 6, 3)) == expected
    assert seen
    for smoothed in seen:  # each segment's mean over the whole profile
        assert len(smoothed) == len(profile)
        assert np.all((smoothed >= 1.0) & (smoothed <= 7.0))


@pytest.mark.parametrize("step", [1, -1, 2])
def test_a_profile_written_by_a_signal_handler_is_read_again(step):
    """A loop of backgrounds takes an integer profile's segment means from its
    running sums, made once; a signal handler that writes new copy states
    into the profile in the middle of the call must be seen by every
    permutation after it, as the NumPy port sees it: each result is the old
    profile's up to some permutation and the new one's from there (whatever
    the profile's stride: the sums are checked against its values)."""
    import signal

    rng = np.random.default_rng(5)
    stored_old = np.repeat(rng.integers(0, 7, 30), rng.integers(40, 90, 30)).astype(np.float64)
    stored_new = stored_old.copy()
    stored_new[len(stored_new) // 3:] = 6.0 - stored_new[len(stored_new) // 3:]
    old, new = stored_old[::step].copy(), stored_new[::step].copy()
    count = 20000
    expected_old = canonical(ombrix.perm_cnv_pyx(old, 1.0, 20.0, count, 1))[1]
    expected_new = canonical(ombrix.perm_cnv_pyx(new, 1.0, 20.0, count, 1))[1]
    stored = stored_old.copy()
    profile = stored[::step]

    def write_new(signum, frame):
        stored[:] = stored_new

    previous = signal.signal(signal.SIGALRM, write_new)
    signal.setitimer(signal.ITIMER_REAL, 0.01)
    try:
        got = canonical(ombrix.perm_cnv_pyx(profile, 1.0, 20.0, count, 1))[1]
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert np.array_equal(stored, stored_new), "the call ended before the handler ran: make it longer"
    switched = next(k for k in range(count + 1) if got[k:] == expected_new[k:])
    assert 0 < switched < count
    assert got[:switched] == expected_old[:switched]
