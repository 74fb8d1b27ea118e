"""Every path of every function, called a thousand times, leaves nothing behind:
no traced memory, no allocated blocks, no references to its arguments."""
import gc
import math
import sys
import tracemalloc
import warnings

import numpy as np
import pytest

import ombrix
from conftest import NumpyProxy, raiser, with_error_callback

CALLS = 1000
PROFILE = np.array([2.0, 2.0, 2.0, 3.0, 2.0, 2.0, 3.0, 9.0, 9.0, 9.0, 1.0, math.nan])
MATRIX = np.zeros((2, 2))
LAMBDAS = np.array([1.0, math.nan])
POISSON = np.array([6.0, math.nan])
INTS = np.arange(4)
HUGE = np.array([1e308, -1e308] * 5)
HIGH = np.array([1e308] * 40 + [1.0] * 40)


def with_np(call, **overrides):
    """Runs `call` with ombrix.np replaced by a proxy carrying `overrides`."""
    def run():
        original = ombrix.np
        ombrix.np = NumpyProxy(**overrides)
        try:
            return call()
        finally:
            ombrix.np = original
    return run


def with_attribute(owner, name, replacement, call):
    """`call` with owner.<name> replaced for its duration."""
    def run():
        original = getattr(owner, name)
        setattr(owner, name, replacement)
        try:
            return call()
        finally:
            setattr(owner, name, original)
    return run


def with_cal_limit(call, replacement):
    return with_attribute(ombrix, "cal_limit", replacement, call)


def raising(call):
    with np.errstate(all="raise"):
        return call()


boom = raiser(ArithmeticError("boom"))
score = lambda random_num=1, x=0, chr_num=0, random=True, exp=LAMBDAS, poisson=POISSON: (
    lambda: ombrix.permutation_score(x, PROFILE, MATRIX, exp, poisson, chr_num, random_num, random))

PATHS = {
    # successes
    "skew": lambda: ombrix.skew(PROFILE[:-1]),
    "skew empty": lambda: ombrix.skew(PROFILE[:0]),
    "ombrix": lambda: ombrix.ombrix(PROFILE, MATRIX),
    "ombrix strided": lambda: ombrix.ombrix(PROFILE[::-2], None),
    "cal_limit": lambda: ombrix.cal_limit(PROFILE),
    "cal_limit -1": lambda: ombrix.cal_limit(PROFILE[:2], coverage_thr=1),
    "cal_R_pyx": lambda: ombrix.cal_R_pyx(PROFILE),
    "permutation_bg": lambda: ombrix.permutation_bg(PROFILE, MATRIX, 1.0, 8.0, 3, seed=4),
    "permutation_bg inf": lambda: ombrix.permutation_bg(PROFILE, None, 1.0, 0.0, 3),
    "permutation_score": score(),
    "permutation_score nan fallback": score(x=1, chr_num=1),
    "permutation_score not random": score(random=False),
    "permutation_score all nan": score(exp=np.array([math.nan])),
    "perm_cnv_pyx": lambda: ombrix.perm_cnv_pyx(PROFILE, 1.0, 3.0, 3, 2),
    "perm_cnv_pyx zeros": lambda: ombrix.perm_cnv_pyx(PROFILE, 1.0, 0.0, 3, 2),
    # the native path handing operations to NumPy
    "permutation_bg empty segments": lambda: ombrix.permutation_bg(PROFILE, None, 1.0, 30.0, 1, 3),
    "perm_cnv_pyx empty segments": lambda: ombrix.perm_cnv_pyx(PROFILE, 1.0, 30.0, 3, 2),
    "perm_cnv_pyx zero weights": lambda: ombrix.perm_cnv_pyx(PROFILE, 0.0, 3.0, 3, 2),
    "ombrix overflow": lambda: ombrix.ombrix(np.array([1e308, -1e308, 1e308]), None),
    "cal_R_pyx infinities": lambda: ombrix.cal_R_pyx(np.array([math.inf, math.inf, 1.0, 2.0, 1.0])),
    "perm_cnv_pyx raising": lambda: raising(lambda: ombrix.perm_cnv_pyx(PROFILE, 0.0, 3.0, 3, 2)),
    # a callback closing the native path in the middle of a unit
    "ombrix np deleted": with_error_callback(lambda: ombrix.__dict__.pop("np"),
                                             lambda: ombrix.ombrix(HUGE, None)),
    "permutation_bg mean replaced": with_error_callback(
        lambda: setattr(np, "mean", lambda *a, **k: 42.0),
        lambda: ombrix.permutation_bg(HIGH, None, 1.0, 20.0, 0, 4)),
    "perm_cnv_pyx np deleted": with_error_callback(lambda: ombrix.__dict__.pop("np", None),
                                                   lambda: ombrix.perm_cnv_pyx(HIGH, 1.0, 6.0, 4, 2)),
    "ombrix memory error": with_attribute(np, "exp", raiser(MemoryError("exp")),
                                          lambda: ombrix.ombrix(PROFILE, None)),
    # binding failures
    "count": lambda: ombrix.permutation_score(1, PROFILE),
    "keyword": lambda: ombrix.cal_limit(PROFILE, bogus=1),
    "multiple values": lambda: ombrix.ombrix(PROFILE, MATRIX, cnv_data=PROFILE),
    "dtype": lambda: ombrix.permutation_score(0, PROFILE, MATRIX, LAMBDAS, INTS, 0, 1, True),
    "dimensions": lambda: ombrix.ombrix(PROFILE, PROFILE),
    "overflow": lambda: ombrix.permutation_bg(PROFILE, MATRIX, 1.0, 1.0, 2**40),
    "float conversion": lambda: ombrix.perm_cnv_pyx(PROFILE, "a", 1.0, 1, 1),
    "truth": lambda: ombrix.permutation_score(0, PROFILE, MATRIX, LAMBDAS, POISSON, 0, 1,
                                              np.ones(2)),
    # failures inside the functions
    "skew numpy": with_np(lambda: ombrix.skew(PROFILE), std=boom),
    "ombrix numpy": with_np(lambda: ombrix.ombrix(PROFILE, None), concatenate=boom),
    "ombrix guarded": with_np(lambda: ombrix.ombrix(PROFILE, None), var=boom),
    "ombrix not an array": with_np(lambda: ombrix.ombrix(PROFILE, None), zeros=lambda s: [0]),
    "cal_limit none": lambda: ombrix.cal_limit(None),
    "cal_R_pyx numpy": with_np(lambda: ombrix.cal_R_pyx(PROFILE), abs=boom),
    "cal_R_pyx zero division": with_np(lambda: ombrix.cal_R_pyx(PROFILE), exp=lambda s: -1.0),
    "permutation_bg numpy": with_np(lambda: ombrix.permutation_bg(PROFILE, None, 1.0, 8.0, 1),
                                    repeat=boom),
    "permutation_bg guarded": with_np(lambda: ombrix.permutation_bg(PROFILE, None, 1.0, 8.0, 1),
                                      var=boom),
    "permutation_bg lbd": lambda: ombrix.permutation_bg(PROFILE, None, 0.0, 8.0, 1),
    "permutation_bg seed": lambda: ombrix.permutation_bg(PROFILE, None, 1.0, 8.0, 1, -1),
    "permutation_score index": score(x=5),
    "permutation_score numpy": with_np(score(x=1), isnan=boom),
    "permutation_score ombrix": with_np(score(), diff=boom),
    "permutation_score background": with_np(score(), round=boom),
    "permutation_score cal_limit": with_cal_limit(score(), boom),
    "permutation_score cal_limit type": with_cal_limit(score(), lambda x, t: "x"),
    "perm_cnv_pyx numpy": with_np(lambda: ombrix.perm_cnv_pyx(PROFILE, 1.0, 3.0, 3, 2),
                                  mean=boom),
    "perm_cnv_pyx negative": lambda: ombrix.perm_cnv_pyx(PROFILE, -1.0, 3.0, 3, 2),
    "perm_cnv_pyx r": with_np(lambda: ombrix.perm_cnv_pyx(PROFILE, 1.0, 3.0, 3, 2),
                              var=boom),
}

ARGUMENTS = [PROFILE, MATRIX, LAMBDAS, POISSON, INTS]


def run_quietly(call):
    try:
        call()
    except Exception:
        pass


def growth_per_round(call):
    """Traced bytes and allocated blocks added by CALLS calls."""
    gc.collect()
    memory_before = tracemalloc.get_traced_memory()[0]
    blocks_before = sys.getallocatedblocks()
    for _ in range(CALLS):
        run_quietly(call)
    gc.collect()
    return (tracemalloc.get_traced_memory()[0] - memory_before,
            sys.getallocatedblocks() - blocks_before)


@pytest.mark.parametrize("path", PATHS)
def test_no_growth(path):
    call = PATHS[path]
    refcounts = [sys.getrefcount(a) for a in ARGUMENTS]
    snapshot = [a.tobytes() for a in ARGUMENTS]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for _ in range(CALLS // 3):
            run_quietly(call)
        tracemalloc.start()
        try:
            # NumPy's and the interpreter's caches fill up and then stay; a
            # leak grows in every round. One leaked object per call is at
            # least 16 bytes and one block, CALLS times over.
            rounds = [growth_per_round(call) for _ in range(2)]
        finally:
            tracemalloc.stop()
    memory_growth = min(memory for memory, _ in rounds)
    block_growth = min(blocks for _, blocks in rounds)
    assert memory_growth < 8 * CALLS, f"{rounds}: traced bytes added per {CALLS} calls"
    assert block_growth < CALLS // 2, f"{rounds}: blocks added per {CALLS} calls"
    assert [sys.getrefcount(a) for a in ARGUMENTS] == refcounts
    assert [a.tobytes() for a in ARGUMENTS] == snapshot


@pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug interpreter")
@pytest.mark.parametrize("path", PATHS)
def test_total_refcount_stays(path):
    call = PATHS[path]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for _ in range(CALLS // 3):
            run_quietly(call)
        growth = []
        for _ in range(2):
            gc.collect()
            before = sys.gettotalrefcount()
            for _ in range(CALLS // 2):
                run_quietly(call)
            gc.collect()
            growth.append(sys.gettotalrefcount() - before)
    # one leaked reference per call would add CALLS // 2 in every round
    assert min(growth) < CALLS // 10, f"total reference count grew by {growth}"
