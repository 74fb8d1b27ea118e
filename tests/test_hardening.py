"""Adversarial situations: threads still inside the module at exit, failed
allocations, changes made by callbacks in the middle of a call, MemoryError
inside the guarded blocks, and Ctrl-C during a huge permutation."""
import contextlib
import os
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import ombrix
from conftest import ombrix_entries, raiser, with_error_callback
from test_native_path import assert_paths_agree

UNDER_SANITIZER = "asan" in os.environ.get("LD_PRELOAD", "")


def run_python(code, timeout=60, **kwargs):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, **kwargs)


DAEMON_WORK = {
    "permutation_bg": "ombrix.permutation_bg(x, None, 1.0, 20.0, 0, 1)",
    "permutation_score": "ombrix.permutation_score(0, x, None, np.ones(1), np.array([20.0]), 0, 50, True)",
    "perm_cnv_pyx": "ombrix.perm_cnv_pyx(x, 1.0, 5.0, 50, 1)",
}


@pytest.mark.parametrize("function", sorted(DAEMON_WORK))
def test_a_daemon_thread_inside_the_module_at_exit_ends_cleanly(function):
    script = textwrap.dedent(f"""
        import threading, time, warnings, numpy as np, ombrix
        warnings.simplefilter("ignore")
        x = np.arange(10.0)
        def work():
            while True:
                {DAEMON_WORK[function]}
        threading.Thread(target=work, daemon=True).start()
        time.sleep(0.2)
    """)
    runs = [subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, text=True) for _ in range(20)]
    outcomes = [(run.wait(timeout=120), run.stderr.read()) for run in runs]
    for run in runs:
        run.stderr.close()
    assert [status for status, _ in outcomes] == [0] * 20, [err for _, err in outcomes if err][:1]


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer's allocator bypasses the hooks")
def test_a_failed_allocation_is_a_memory_error_never_a_system_error():
    # Each call runs with one allocation failing, the first, the second, ...
    # A SystemError raised inside NumPy's own Python code (its warnings about
    # an empty mean under a failed allocation) is NumPy's; one that surfaces
    # at the module's boundary would be the module's.
    # The profile and draws make no empty segment: NumPy 1.23's own reduction
    # crashes when an allocation fails inside np.mean of an empty array.
    result = run_python("""
        import traceback, warnings, _testcapi, numpy as np, ombrix
        warnings.simplefilter("ignore")
        x = np.repeat([1.0, 2.0, 3.0, 1.0, 7.0, 2.0], 40)
        calls = {
            "skew": lambda: ombrix.skew(x),
            "ombrix": lambda: ombrix.ombrix(x, None),
            "cal_limit": lambda: ombrix.cal_limit(x),
            "cal_R_pyx": lambda: ombrix.cal_R_pyx(x),
            "permutation_bg": lambda: ombrix.permutation_bg(x, None, 1.0, 6.0, 0, 3),
            "perm_cnv_pyx": lambda: ombrix.perm_cnv_pyx(x, 1.0, 4.0, 3, 1),
        }
        outcomes = set()
        for name, call in calls.items():
            call()
            for start in range(0, 160):
                _testcapi.set_nomemory(start, start + 1)
                try:
                    call()
                    outcome = "ok"
                except MemoryError:
                    outcome = "MemoryError"
                except BaseException as exc:
                    where = traceback.extract_tb(exc.__traceback__)[-1].filename
                    outcome = f"{type(exc).__name__} in {where}: {exc}"
                finally:
                    _testcapi.remove_mem_hooks()
                outcomes.add((name, outcome))
        ours = [o for o in outcomes if o[1].startswith(("SystemError in <string>",
                                                        "SystemError in ombrix.pyx"))]
        print(sorted(outcomes))
        assert not ours, ours
    """, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "MemoryError" in result.stdout


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer reserves more address space than the limit")
def test_a_failed_native_allocation_is_a_memory_error_with_message_and_entry():
    result = run_python("""
        import resource, traceback, numpy as np, ombrix
        pages = int(open("/proc/self/statm").read().split()[0])
        used = pages * resource.getpagesize()
        # room for NumPy's 400 MB of weights, not for the cut positions after them
        resource.setrlimit(resource.RLIMIT_AS, (used + 600 * 2**20, resource.RLIM_INFINITY))
        try:
            ombrix.permutation_bg(np.arange(1000.0), None, 1.0, 5e7, 0)
        except MemoryError as exc:
            entries = [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)
                       if f.filename == "ombrix.pyx"]
            print("MemoryError", str(exc), entries)
    """, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == ("MemoryError permutation_bg(): out of memory (a native "
                                     "allocation failed) [('ombrix.permutation_bg', 110)]")


@contextlib.contextmanager
def np_function(name, replacement):
    original = getattr(np, name)
    setattr(np, name, replacement)
    try:
        yield
    finally:
        setattr(np, name, original)


@pytest.mark.parametrize("call, entries", [
    (lambda: ombrix.ombrix(np.array([1.0, 1.0, 2.0, 5.0]), None),
     [("ombrix.ombrix", 26), ("ombrix.ombrix", 42)]),
    (lambda: ombrix.permutation_bg(np.array([1.0, 1.0, 2.0, 5.0, 5.0, 7.0] * 5), None, 1.0, 30.0, 0, 3),
     [("ombrix.permutation_bg", 110), ("ombrix.permutation_bg", 176)]),
])
@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # empty segments
def test_memory_error_inside_a_guarded_block_propagates(call, entries):
    # np.exp is not one of the functions whose replacement closes the native path
    with np_function("exp", raiser(MemoryError("no room for exp"))):
        with pytest.raises(MemoryError, match="^no room for exp$") as info:
            call()
    assert ombrix_entries(info.value) == entries
    with np_function("exp", raiser(ValueError("still a score"))):
        result = call()  # any other exception still gives the score 0.0
        assert (result["rearrange_score"] if isinstance(result, dict) else result) == 0.0


# --- callbacks that change what the native path relies on, mid-call --------

def delete_module_np():
    ombrix.__dict__.pop("np", None)


def replace_numpy_mean():
    np.mean = lambda *args, **kwargs: 42.0


def ignore_every_error():
    np.seterr(all="ignore")


HUGE = np.array([1e308, -1e308] * 5)
HIGH = np.array([1e308] * 40 + [1.0] * 40)

CALLBACK_CALLS = {
    "ombrix": lambda: ombrix.ombrix(HUGE, None),
    "cal_R_pyx": lambda: ombrix.cal_R_pyx(HUGE),
    "permutation_bg": lambda: ombrix.permutation_bg(HIGH, None, 1.0, 20.0, 0, 4),
    "perm_cnv_pyx": lambda: ombrix.perm_cnv_pyx(HIGH, 1.0, 6.0, 4, 2),
    "permutation_score": lambda: ombrix.permutation_score(0, HIGH, None, np.ones(1),
                                                          np.array([12.0]), 0, 3, True),
}


@pytest.mark.parametrize("change", [delete_module_np, replace_numpy_mean, ignore_every_error])
@pytest.mark.parametrize("name", sorted(CALLBACK_CALLS))
def test_a_change_made_by_an_error_callback_is_seen_on_both_paths(name, change):
    assert_paths_agree(with_error_callback(change, CALLBACK_CALLS[name]))


def test_a_deleted_np_mid_call_raises_name_error_on_the_native_path():
    with pytest.raises(NameError, match="^name 'np' is not defined$"):
        with_error_callback(delete_module_np, CALLBACK_CALLS["ombrix"])()


@pytest.mark.skipif(UNDER_SANITIZER, reason="too slow under the sanitizer to time")
def test_ctrl_c_stops_a_huge_permutation_in_its_segment_loop():
    # 3e7 cut positions over a million values: nearly every segment is empty,
    # and the first warning about an empty mean says the loop has begun.
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent("""
        import time, traceback, warnings, numpy as np, ombrix
        def first_warning(*args, **kwargs):
            warnings.showwarning = lambda *args, **kwargs: None
            print("in the segment loop", flush=True)
        warnings.showwarning = first_warning
        warnings.simplefilter("always")
        data = np.arange(1_000_000.0) % 5
        try:
            ombrix.permutation_bg(data, None, 1.0, 3e7, 0)
        except KeyboardInterrupt as exc:
            lines = [f.lineno for f in traceback.extract_tb(exc.__traceback__)
                     if f.name == "ombrix.permutation_bg"]
            print("interrupted", time.monotonic(), lines, flush=True)
    """)], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "in the segment loop"
        time.sleep(0.3)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=30)
    finally:
        child.kill()
    word, when, lines = out.split(" ", 2)
    assert word == "interrupted"
    assert float(when) - sent < 0.5
    assert eval(lines)[-1] in (139, 142)  # the segment loop: its bounds or a segment's mean
