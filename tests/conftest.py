import contextlib
import importlib
import os
import pathlib
import sys
import types

import numpy as np
import pytest

import ombrix

SOURCE_FILE = "ombrix.pyx"

# The NumPy port in reference/ is the oracle of the differential tests.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "reference"))

NUMPY_DIR = os.path.dirname(np.__file__)


def kernel_checks():
    """The test-only module that reaches the kernels (the test command builds it)."""
    try:
        return importlib.import_module("_ombrix_testing")
    except ImportError:
        pytest.fail("the test-only module _ombrix_testing is missing: install with the README's test "
                    "command (pip install '.[test]' -C cmake.define.OMBRIX_TEST_MODULES=ON)", pytrace=False)


@contextlib.contextmanager
def numpy_code_entered():
    """Collects the names of NumPy's Python functions entered in the block.
    The native path enters none of those it stands in for, so a call that
    takes it enters fewer than the same call made with NumPy's calls."""
    entered = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_filename.startswith(NUMPY_DIR):
            entered.append(frame.f_code.co_name)

    previous = sys.getprofile()
    sys.setprofile(profile)
    try:
        yield entered
    finally:
        sys.setprofile(previous)


def ombrix_entries(exc):
    """(function name, line) of the module's own traceback entries, outermost first."""
    entries = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == SOURCE_FILE:
            entries.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return entries


class NumpyProxy(types.SimpleNamespace):
    """Stands in for the module global `np`: forwards to NumPy unless overridden."""

    def __getattr__(self, name):
        return getattr(np, name)


@pytest.fixture
def proxy_np():
    """Replaces ombrix.np with a forwarding proxy for one test."""
    original = ombrix.np
    proxy = NumpyProxy()
    ombrix.np = proxy
    try:
        yield proxy
    finally:
        ombrix.np = original


@pytest.fixture(autouse=True, scope="session")
def generator_found():
    """The module examines NumPy's global generator once per process, at the
    first draw after numpy.random is imported (it makes a RandomState of its
    own for that); done here, before the tests count NumPy's code entered."""
    state = np.random.get_state()
    for _ in range(2):
        ombrix.permutation_bg(np.arange(4.0), None, 1.0, 5.0, 0, 1)
    np.random.set_state(state)


def raiser(exc):
    """A callable that raises a fresh copy of `exc` on every call."""
    def fail(*args, **kwargs):
        raise type(exc)(*exc.args)

    return fail


def with_error_callback(change, call):
    """`call` under np.errstate(all="call") with an error callback that makes
    `change` in the middle of it; `ombrix.np` and `np.mean`, which the changes
    touch, are put back afterwards."""
    def run():
        module_np, numpy_mean = ombrix.np, np.mean
        old_callback = np.seterrcall(lambda kind, flag: change())
        try:
            with np.errstate(all="call"):
                return call()
        finally:
            np.seterrcall(old_callback)
            ombrix.np, np.mean = module_np, numpy_mean
    return run
