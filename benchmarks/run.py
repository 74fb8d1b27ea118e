"""Times each published function against the faithful NumPy port, interleaved
in one run, on realistic profiles, and prints medians and ratios. The module
is timed twice: as it runs (the native path) and with its global `np`
replaced by a forwarding proxy, which makes it take the NumPy-call path.

    python benchmarks/run.py [--quick]

The floor is the time of the random generator's calls alone (the seeds and
draws that the backgrounds make), made through NumPy from Python.

With --instructions (valgrind on PATH), the permutation rows also give the
instructions per background of the module, the port and the floor, counted
by callgrind (they repeat exactly, unlike times): the difference between a
run with many backgrounds and one with few, over their number.
"""
import argparse
import os
import pathlib
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np

import ombrix

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "reference"))
import numpy_port as port


def profile(n, rng):
    """Integer copy numbers 0..6, piecewise constant with about n / 100 segments."""
    cuts = np.sort(rng.choice(np.arange(1, n), size=max(1, n // 100), replace=False))
    levels = rng.integers(0, 7, size=len(cuts) + 1)
    return np.repeat(levels, np.diff(np.concatenate(([0], cuts, [n])))).astype(np.float64)


class ForwardingNumpy:
    """Forwards to NumPy; as the module's `np` it closes the native path."""

    def __getattr__(self, name):
        return getattr(np, name)


def numpy_call_path(call):
    def run():
        original = ombrix.np
        ombrix.np = ForwardingNumpy()
        try:
            return call()
        finally:
            ombrix.np = original
    return run


def median_time(call, repeats):
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        call()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def interleaved(calls, repeats):
    """Medians of each call, timed in turns so that drift hits all alike."""
    samples = {name: [] for name in calls}
    for _ in range(repeats):
        for name, call in calls.items():
            samples[name].append(median_time(call, 1))
    return {name: statistics.median(values) for name, values in samples.items()}


def score_floor(lam, backgrounds):
    def run():
        for i in range(1, backgrounds + 1):
            np.random.seed(i)
            d = np.random.poisson(lam)
            np.random.exponential(1.0, size=d if d > 1 else 1)
    return run


def perm_floor(lam, backgrounds):
    def run():
        np.random.seed(1)
        draws = np.random.poisson(lam, size=backgrounds).astype("double")
        for k, d in enumerate(draws):
            if d:
                np.random.seed(k)
                np.random.exponential(1.0, size=int(d) + 1)
    return run


# What one run under callgrind does: `kind` (ombrix, port or floor) of
# `function` with `count` backgrounds on the profile saved in `path`.
CALLGRIND_RUN = """
import sys, warnings
import numpy as np
sys.path.insert(0, {reference!r})
sys.path.insert(0, {benchmarks!r})
import ombrix, numpy_port as port, run as bench
warnings.simplefilter("ignore")
cnv = np.load({path!r})
lam, count, function, kind = {lam!r}, {count!r}, {function!r}, {kind!r}
exp, poi = np.array([1.0]), np.array([lam])
if function == "permutation_score":
    calls = dict(ombrix=lambda: ombrix.permutation_score(0, cnv, None, exp, poi, 0, count, True),
                 port=lambda: port.permutation_score(0, cnv, exp, poi, 0, count, True),
                 floor=bench.score_floor(lam, count))
else:
    calls = dict(ombrix=lambda: ombrix.perm_cnv_pyx(cnv, 1.0, lam, count, 1),
                 port=lambda: port.perm_cnv(cnv, 1.0, lam, count, 1),
                 floor=bench.perm_floor(lam, count))
calls[kind]()
"""


def instructions(path, function, kind, lam, count):
    script = CALLGRIND_RUN.format(reference=str(pathlib.Path(port.__file__).parent),
                                  benchmarks=str(pathlib.Path(__file__).parent), path=path, lam=float(lam),
                                  count=count, function=function, kind=kind)
    result = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
                             "-c", script], capture_output=True, text=True, env={**os.environ, "PYTHONHASHSEED": "0",
                                                                   # idle BLAS threads spin and would be counted
                                                                   "OPENBLAS_NUM_THREADS": "1"})
    found = re.search(r"Collected : (\d+)", result.stderr)
    if result.returncode != 0 or not found:
        raise RuntimeError(result.stderr[-2000:])
    return int(found.group(1))


def instructions_per_background(path, function, kind, lam):
    # many backgrounds against some: one-time costs (first draws, allocator warm-up) cancel
    few, many = (2, 12) if kind == "port" else (200, 1200)
    return (instructions(path, function, kind, lam, many) - instructions(path, function, kind, lam, few)) / (many - few)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a smoke run: few sizes and repeats")
    parser.add_argument("--sizes", type=int, nargs="+", help="profile lengths (default 200 2000 20000)")
    parser.add_argument("--lambdas", type=float, nargs="+", help="Poisson means (default 5 20 100)")
    parser.add_argument("--instructions", action="store_true",
                        help="instructions per background under callgrind (valgrind needed)")
    args = parser.parse_args()
    if args.instructions and not shutil.which("valgrind"):
        parser.error("--instructions needs valgrind on PATH")
    sizes = args.sizes or ([200, 2000] if args.quick else [200, 2000, 20000])
    lambdas = args.lambdas or ([20] if args.quick else [5, 20, 100])
    backgrounds = 20 if args.quick else 1000
    repeats = 3 if args.quick else 5
    warnings.simplefilter("ignore", RuntimeWarning)
    rng = np.random.default_rng(7)
    print(f"python {platform.python_version()}, numpy {np.__version__}, {platform.machine()}, "
          f"{platform.processor() or 'unknown cpu'}")
    print(f"{'function':<18}{'n':>6}{'lambda':>7}{'port ms':>10}{'np-path ms':>11}{'ombrix ms':>11}"
          f"{'speed-up':>9}{'vs path':>8}{'floor ms':>10}{'/floor':>8}{'us/bg':>8}"
          + (f"{'Ir/bg':>9}{'port Ir/bg':>12}{'floor Ir/bg':>12}" if args.instructions else ""))
    saved = tempfile.mkdtemp()
    for n in sizes:
        cnv = profile(n, rng)
        path = os.path.join(saved, f"profile{n}.npy")
        np.save(path, cnv)
        singles = {
            "skew": (lambda: port.skew(cnv), lambda: ombrix.skew(cnv)),
            "ombrix": (lambda: port.ombrix(cnv), lambda: ombrix.ombrix(cnv, None)),
            "cal_limit": (lambda: port.cal_limit(cnv), lambda: ombrix.cal_limit(cnv)),
            "cal_R_pyx": (lambda: port.cal_R(cnv), lambda: ombrix.cal_R_pyx(cnv)),
        }
        for name, (peer, ours) in singles.items():
            t = interleaved({"port": peer, "path": numpy_call_path(ours), "ombrix": ours}, repeats * 3)
            print(f"{name:<18}{n:>6}{'':>7}{t['port'] * 1e3:>10.3f}{t['path'] * 1e3:>11.3f}"
                  f"{t['ombrix'] * 1e3:>11.3f}{t['port'] / t['ombrix']:>9.1f}"
                  f"{t['path'] / t['ombrix']:>8.1f}")
        for lam in lambdas:
            exp, poi = np.array([1.0]), np.array([float(lam)])
            runs = {
                "permutation_score": (
                    lambda: port.permutation_score(0, cnv, exp, poi, 0, backgrounds, True),
                    lambda: ombrix.permutation_score(0, cnv, None, exp, poi, 0, backgrounds, True),
                    score_floor(lam, backgrounds)),
                "perm_cnv_pyx": (
                    lambda: port.perm_cnv(cnv, 1.0, float(lam), backgrounds, 1),
                    lambda: ombrix.perm_cnv_pyx(cnv, 1.0, float(lam), backgrounds, 1),
                    perm_floor(lam, backgrounds)),
            }
            for name, (peer, ours, floor) in runs.items():
                t = interleaved({"port": peer, "path": numpy_call_path(ours), "ombrix": ours,
                                 "floor": floor}, repeats)
                counts = ""
                if args.instructions:
                    counts = "".join(f"{instructions_per_background(path, name, kind, lam):>{width}.0f}"
                                     for kind, width in (("ombrix", 9), ("port", 12), ("floor", 12)))
                print(f"{name:<18}{n:>6}{lam:>7g}{t['port'] * 1e3:>10.1f}{t['path'] * 1e3:>11.1f}"
                      f"{t['ombrix'] * 1e3:>11.1f}{t['port'] / t['ombrix']:>9.1f}"
                      f"{t['path'] / t['ombrix']:>8.1f}{t['floor'] * 1e3:>10.1f}"
                      f"{t['ombrix'] / t['floor']:>8.1f}{t['ombrix'] / backgrounds * 1e6:>8.1f}" + counts)
        sys.stdout.flush()
    print(f"permutation rows: {backgrounds} backgrounds per call; times are medians of "
          f"{repeats} interleaved runs.")


if __name__ == "__main__":
    main()
