"""The mean of an empty segment: the native path issues NumPy's two warnings
itself where that is exact and makes NumPy's call everywhere else. Either
way, what a caller sees is what the NumPy-call path gives: values,
exceptions with their tracebacks, warnings recorded and printed, and the
warning registries afterwards."""
import os
import struct
import subprocess
import sys
import textwrap
import traceback
import warnings

import numpy as np
import pytest

import ombrix
from conftest import NumpyProxy, numpy_code_entered

# many empty segments per background: lambda is large beside the length
PROFILE = np.repeat([2.0, 3.0, 4.0, 2.0, 5.0], 40)
CALLS = {
    "permutation_bg": lambda: ombrix.permutation_bg(PROFILE, None, 1.0, 100.0, 3, 2),
    "perm_cnv_pyx": lambda: ombrix.perm_cnv_pyx(PROFILE, 1.0, 100.0, 2, 3),
}

QUIET = ["always", "default", "once", "module", "ignore"]
FILTERS = {action: [(action,)] for action in QUIET + ["error"]}
FILTERS.update({
    "error on the empty slice": [("always",), ("error", "Mean of empty")],
    "error on the division": [("always",), ("error", "invalid value")],
    "error in NumPy's modules": [("always",), ("error", "", Warning, "numpy")],
})
ERROR_STATES = {"warn": dict(invalid="warn"), "ignore": dict(invalid="ignore"),
                "raise": dict(invalid="raise"), "raise others": dict(all="raise", invalid="warn")}


def numpy_modules():
    return [m for name, m in list(sys.modules.items()) if name == "numpy" or name.startswith("numpy.")]


def observe(call, filters, errors):
    for module in numpy_modules():
        vars(module).pop("__warningregistry__", None)
    warnings.onceregistry.clear()
    with warnings.catch_warnings(record=True) as caught:
        warnings.resetwarnings()
        for f in filters:
            warnings.filterwarnings(*f)
        with np.errstate(**errors):
            try:
                outcome = ("returned", struct.pack("<d", call()))
            except Exception as exc:  # compared, not hidden
                frames = [(f.filename, f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)]
                outcome = ("raised", type(exc), str(exc), frames)
    registries = {m.__name__: {k: v for k, v in vars(m).get("__warningregistry__", {}).items() if k != "version"}
                  for m in numpy_modules()}
    seen = [(w.category, str(w.message), w.filename, w.lineno, w.line) for w in caught]
    return outcome, seen, registries, dict(warnings.onceregistry)


@pytest.mark.parametrize("errors", sorted(ERROR_STATES))
@pytest.mark.parametrize("filters", sorted(FILTERS))
@pytest.mark.parametrize("name", sorted(CALLS))
def test_warnings_registries_and_errors_are_numpys(name, filters, errors):
    with numpy_code_entered() as native_entries:
        native = observe(CALLS[name], FILTERS[filters], ERROR_STATES[errors])
    original, ombrix.np = ombrix.np, NumpyProxy()
    try:
        numpy_path = observe(CALLS[name], FILTERS[filters], ERROR_STATES[errors])
    finally:
        ombrix.np = original
    assert native == numpy_path
    assert any(w[1].startswith("Mean of empty") for w in numpy_path[1]) or filters != "always"
    # issued natively exactly where nothing can tell: the invalid flag is
    # warned or ignored, and no filter makes a warning issued an error
    division_ignored = filters == "error on the division" and errors == "ignore"
    replayed = errors != "raise" and ("error" not in filters or division_ignored)
    assert ("_mean" not in native_entries) == replayed


PRINTED = textwrap.dedent("""
    import sys, numpy as np
    np.mean(np.empty(0))          # shown before the module is imported
    import ombrix
    if sys.argv[1] == "numpy":
        class Proxy:
            def __getattr__(self, name):
                return getattr(np, name)
        ombrix.np = Proxy()
    x = np.repeat([2.0, 3.0, 4.0, 2.0, 5.0], 40)
    for seed in range(3):
        ombrix.permutation_bg(x, None, 1.0, 100.0, seed, 1)
    np.mean(np.empty(0))
    print("done")
""")


def test_printed_warnings_are_numpys_and_import_forgets_nothing():
    """Under the default filters each warning prints once per place, as
    NumPy's calls print it; importing the module (which calls np.mean of an
    empty array to learn its warnings) neither prints nor makes the
    registries forget the warnings shown before."""
    runs = {path: subprocess.run([sys.executable, "-c", PRINTED, path], capture_output=True, text=True,
                                 env={**os.environ, "PYTHONWARNINGS": ""})
            for path in ("native", "numpy")}
    assert runs["native"].returncode == 0, runs["native"].stderr
    assert (runs["native"].stdout, runs["native"].stderr) == (runs["numpy"].stdout, runs["numpy"].stderr)
    assert runs["native"].stderr.count("RuntimeWarning") == 2


def test_a_display_that_looks_at_the_stack_sees_numpys_frames():
    def stack_seen(call):
        stacks = []
        original = warnings.showwarning

        def show(message, category, filename, lineno, file=None, line=None):
            stacks.append([f.name for f in traceback.extract_stack()[:-1]])

        with warnings.catch_warnings():
            warnings.simplefilter("always")
            warnings.showwarning = show
            try:
                call()
            finally:
                warnings.showwarning = original
        return stacks

    native = stack_seen(CALLS["permutation_bg"])
    original, ombrix.np = ombrix.np, NumpyProxy()
    try:
        numpy_path = stack_seen(CALLS["permutation_bg"])
    finally:
        ombrix.np = original
    assert native == numpy_path and native
    assert all("_mean" in stack for stack in native)


def test_a_filter_changed_in_the_middle_of_a_background_is_obeyed():
    """Once issued, the warnings of an empty mean are skipped while they would
    do nothing, but only until Python code runs: here an error callback,
    called for an overflowing segment mean, turns warnings into errors, and
    the next empty mean raises inside NumPy's code, as NumPy's calls do."""
    huge = np.tile([1e308, 1e308, 5.0, -1e308, -1e308], 40)

    def run():
        old_callback = np.seterrcall(lambda kind, flag: warnings.simplefilter("error"))
        try:
            with np.errstate(over="call"):
                return observe(lambda: ombrix.permutation_bg(huge, None, 1.0, 100.0, 3, 1), [("default",)], {})
        finally:
            np.seterrcall(old_callback)

    native = run()
    original, ombrix.np = ombrix.np, NumpyProxy()
    try:
        numpy_path = run()
    finally:
        ombrix.np = original
    assert native == numpy_path
    assert native[0][0] == "raised" and native[0][1] is RuntimeWarning
