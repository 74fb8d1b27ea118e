"""The draws of a call keep NumPy's generator (its state, taken lazily after a
seed, and its lock) natively from one background to the next; Python code
that runs in the middle of a call (a warning's display, a signal handler)
must find NumPy's generator as NumPy's own calls leave it at that point, and
free to draw from. Each case runs in a fresh interpreter, with the warnings
machinery as a program has it, and a time limit: a draw that waited for a
lock the call still held would never end."""
import pathlib
import subprocess
import sys
import textwrap

import pytest

REFERENCE = pathlib.Path(__file__).resolve().parent / "reference"

PRELUDE = f"""
import signal, sys, warnings
import numpy as np
sys.path.insert(0, {str(REFERENCE)!r})
import numpy_port as reference
import ombrix

def state():
    _, key, pos, _, _ = np.random.get_state()
    return key.tobytes(), pos

class Recorder:
    # Python code at each warning: NumPy's own display writing to this
    # stream, or a display of one's own; it also draws
    def __init__(self):
        self.seen, self.left, self.busy = [], [], False
    def note(self):
        if self.busy:  # a signal that arrives while the handler runs
            return
        self.busy = True
        self.seen.append(state())
        np.random.random(3)
        self.left.append(state())
        self.busy = False
    def write(self, text):
        if text.strip():
            self.note()
    def flush(self):
        pass
    def show(self, message, category, filename, lineno, file=None, line=None):
        self.note()
"""

WARNINGS_CASE = """
# a short profile: most backgrounds at 20 cuts have an empty segment, whose
# mean warns in the middle of the background, after its draws
SHORT = np.array([2.0, 2.0, 3.0, 3.0, 1.0, 2.0, 2.0, 4.0, 4.0, 4.0, 2.0, 0.0, 2.0, 2.0, 3.0, 3.0, 2.0, 2.0])
ONE, TWENTY = np.array([1.0]), np.array([20.0])
calls = {
    "permutation_score": (lambda: ombrix.permutation_score(0, SHORT, None, ONE, TWENTY, 0, 60, True)["num_greater"],
                          lambda: reference.permutation_score(0, SHORT, ONE, TWENTY, 0, 60, True)["num_greater"]),
    "perm_cnv_pyx": (lambda: ombrix.perm_cnv_pyx(SHORT, 1.0, 20.0, 60, 1),
                     lambda: reference.perm_cnv(SHORT, 1.0, 20.0, 60, 1)),
}

def observed(call, how):
    recorder = Recorder()
    with warnings.catch_warnings():
        warnings.simplefilter("always")
        if how == "display":
            warnings.showwarning = recorder.show
        stderr, sys.stderr = sys.stderr, recorder if how == "stream" else sys.stderr
        try:
            result = call()
        finally:
            sys.stderr = stderr
    return result, recorder.seen, state()

ours, port = calls[sys.argv[1]]
result, seen, after = observed(ours, sys.argv[2])
expected, expected_seen, expected_after = observed(port, sys.argv[2])
assert len(seen) > 10, len(seen)
assert seen == expected_seen, [i for i, (a, b) in enumerate(zip(seen, expected_seen)) if a != b][:3]
assert after == expected_after and result == expected
print("ok", len(seen))
"""

SIGNAL_CASE = """
# the handler runs where the loop checks for signals: before the first
# background, then every 2**18 positions of work, between two backgrounds;
# NumPy's state is then the one the last background's draws left (or the
# caller's, before the first), never one left from earlier; and the handler
# may draw: a run of the handler with no background since the one before it
# (before or after the call, or two at one check) sees what that one's draws
# left
def after_background(seed, lam):
    np.random.seed(seed)
    d = np.random.poisson(lam)
    np.random.exponential(1.0, size=d if d > 1 else 1)
    return state()

rng = np.random.default_rng(3)
profile = np.repeat(rng.integers(0, 7, 40), rng.integers(20, 80, 40)).astype(np.float64)
count, ONE, TWENTY = 3000, np.array([1.0]), np.array([20.0])
period = -(-2**18 // (len(profile) + 1))
drawn_by = {after_background(i, 20.0): i for i in range(1, count + 1)}
np.random.seed(99)
drawn_by[state()] = 0
recorder = Recorder()
signal.signal(signal.SIGALRM, lambda signum, frame: recorder.note())
warnings.simplefilter("ignore")
signal.setitimer(signal.ITIMER_REAL, 0.002, 0.002)
result = ombrix.permutation_score(0, profile, None, ONE, TWENTY, 0, count, True)
signal.setitimer(signal.ITIMER_REAL, 0)
undisturbed = ombrix.permutation_score(0, profile, None, ONE, TWENTY, 0, count, True)
at = [drawn_by.get(s, "again" if k and s == recorder.left[k - 1] else -1) for k, s in enumerate(recorder.seen)]
between = [i for i in at if i != "again"]
# (and after the call, when the interpreter runs the handler itself)
assert len([i for i in between if 0 < i < count]) >= 3, (at, period)
assert all(i >= 0 and (i % period == 0 or i == count) for i in between), (at, period)
assert result["num_greater"] == undisturbed["num_greater"]
print("ok", at)
"""


FILTER_CASE = """
# empty segments' warnings ignored: found silent once, they stay silent from
# one background to the next; a handler that changes the filter in the
# middle of the call ends that, and the warnings after it are shown
SHORT = np.array([2.0, 2.0, 3.0, 3.0, 1.0, 2.0, 2.0, 4.0, 4.0, 4.0, 2.0, 0.0, 2.0, 2.0, 3.0, 3.0, 2.0, 2.0])
class Shown(Exception):
    pass

def show(message, *args, **kwargs):
    raise Shown(str(message))  # ends the call: the first one is enough

def show_all(signum, frame):
    warnings.simplefilter("always")
    warnings.showwarning = show

warnings.simplefilter("ignore")
signal.signal(signal.SIGALRM, show_all)
signal.setitimer(signal.ITIMER_REAL, 0.05)
try:
    ombrix.permutation_score(0, SHORT, None, np.array([1.0]), np.array([20.0]), 0, 400000, True)
except Shown as shown:
    print("ok", shown)
else:
    raise AssertionError("no warning shown after the filter changed")
finally:
    signal.setitimer(signal.ITIMER_REAL, 0)
"""


def run_case(case, *args):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(PRELUDE) + textwrap.dedent(case), *args],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stdout.startswith("ok"), done.stderr[-3000:]


@pytest.mark.parametrize("how", ["stream", "display"])
@pytest.mark.parametrize("name", ["permutation_score", "perm_cnv_pyx"])
def test_a_warning_shown_in_the_middle_of_a_call_sees_numpys_state(name, how):
    run_case(WARNINGS_CASE, name, how)


def test_a_signal_handler_in_the_middle_of_a_long_call_sees_a_whole_state_and_may_draw():
    run_case(SIGNAL_CASE)


def test_a_filter_changed_in_the_middle_of_a_call_is_obeyed_from_there():
    run_case(FILTER_CASE)
