"""Times each published function against the faithful NumPy port, interleaved
in one run, on realistic profiles, and prints medians and ratios. The module
is timed twice: as it runs (the native path) and with its global `np`
replaced by a forwarding proxy, which makes it take the NumPy-call path.

    python benchmarks/run.py [--quick]

The floor (`floor.cpp`, built here with the C++ compiler) is the least work
of a background as native code: a lazy seed, the draws, one read of the
profile in NumPy's summation order, and the statistic from the runs; it
times itself, in the same run, interleaved with the others.

With --instructions (valgrind on PATH), the permutation rows also give the
instructions per background of the module, the port and the floor, counted
by callgrind (they repeat exactly, unlike times): the difference between a
run with many backgrounds and one with few, over their number.
"""
import argparse
import math
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


def interleaved(calls, repeats, self_timed=None):
    """Medians of each call, timed in turns so that drift hits all alike;
    `self_timed` calls return their own time."""
    self_timed = self_timed or {}
    samples = {name: [] for name in [*calls, *self_timed]}
    for _ in range(repeats):
        for name, call in calls.items():
            samples[name].append(median_time(call, 1))
        for name, call in self_timed.items():
            samples[name].append(call())
    return {name: statistics.median(values) for name, values in samples.items()}


FLOOR_SOURCES = ["benchmarks/floor.cpp", "src/kernels/legacy_random.cpp", "src/kernels/float64.cpp",
                 "src/kernels/run_variance.cpp"]


def build_floor(folder):
    """The floor program, or None without a C++ compiler."""
    compiler = shutil.which(os.environ.get("CXX", "c++")) or shutil.which("g++")
    if not compiler:
        return None
    root = pathlib.Path(__file__).resolve().parent.parent
    program = os.path.join(folder, "floor")
    subprocess.run([compiler, "-O3", "-std=c++20", "-ffp-contract=off", "-o", program,
                    *(str(root / source) for source in FLOOR_SOURCES)], check=True)
    return program


def floor_command(program, raw_path, function, lam, count, repeats=1):
    return [program, raw_path, repr(float(lam)), str(count), str(repeats),
            "score" if function == "permutation_score" else "perm"]


def floor_seconds(program, raw_path, function, lam, count):
    """Seconds per background, as the floor program times itself."""
    done = subprocess.run(floor_command(program, raw_path, function, lam, count), capture_output=True, text=True,
                          check=True)
    return float(done.stdout.split()[0]) * 1e-9


# What one run under callgrind does: `kind` (ombrix or port) of `function`
# with `count` backgrounds on the profile saved in `path`.
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
                 port=lambda: port.permutation_score(0, cnv, exp, poi, 0, count, True))
else:
    calls = dict(ombrix=lambda: ombrix.perm_cnv_pyx(cnv, 1.0, lam, count, 1),
                 port=lambda: port.perm_cnv(cnv, 1.0, lam, count, 1))
calls[kind]()
"""


def instructions(path, function, kind, lam, count, floor=None):
    script = CALLGRIND_RUN.format(reference=str(pathlib.Path(port.__file__).parent),
                                  benchmarks=str(pathlib.Path(__file__).parent), path=path, lam=float(lam),
                                  count=count, function=function, kind=kind)
    command = floor_command(floor, path[:-4] + ".f64", function, lam, count) if kind == "floor" else \
        [sys.executable, "-c", script]
    result = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *command],
                            capture_output=True, text=True, env={**os.environ, "PYTHONHASHSEED": "0",
                                                                   # idle BLAS threads spin and would be counted
                                                                   "OPENBLAS_NUM_THREADS": "1"})
    found = re.search(r"Collected : (\d+)", result.stderr)
    if result.returncode != 0 or not found:
        raise RuntimeError(result.stderr[-2000:])
    return int(found.group(1))


def instructions_per_background(path, function, kind, lam, floor=None):
    # many backgrounds against some: one-time costs (first draws, allocator warm-up) cancel
    if kind == "floor" and floor is None:
        return math.nan
    few, many = (2, 12) if kind == "port" else (200, 1200)
    return (instructions(path, function, kind, lam, many, floor)
            - instructions(path, function, kind, lam, few, floor)) / (many - few)


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
          f"{'speed-up':>9}{'vs path':>8}{'us/bg':>8}{'floor us':>9}{'/floor':>7}"
          + (f"{'Ir/bg':>9}{'port Ir/bg':>12}{'floor Ir/bg':>12}" if args.instructions else ""))
    saved = tempfile.mkdtemp()
    floor = build_floor(saved)
    for n in sizes:
        cnv = profile(n, rng)
        path = os.path.join(saved, f"profile{n}.npy")
        np.save(path, cnv)
        cnv.tofile(path[:-4] + ".f64")  # the floor reads raw doubles
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
                    lambda: ombrix.permutation_score(0, cnv, None, exp, poi, 0, backgrounds, True)),
                "perm_cnv_pyx": (
                    lambda: port.perm_cnv(cnv, 1.0, float(lam), backgrounds, 1),
                    lambda: ombrix.perm_cnv_pyx(cnv, 1.0, float(lam), backgrounds, 1)),
            }
            for name, (peer, ours) in runs.items():
                own = {"floor": lambda: floor_seconds(floor, path[:-4] + ".f64", name, lam, backgrounds)} if floor \
                    else {}
                t = interleaved({"port": peer, "path": numpy_call_path(ours), "ombrix": ours}, repeats, own)
                per_background = t["ombrix"] / backgrounds
                floor_us = t["floor"] * 1e6 if floor else math.nan
                counts = ""
                if args.instructions:
                    counts = "".join(f"{instructions_per_background(path, name, kind, lam, floor):>{width}.0f}"
                                     for kind, width in (("ombrix", 9), ("port", 12), ("floor", 12)))
                print(f"{name:<18}{n:>6}{lam:>7g}{t['port'] * 1e3:>10.1f}{t['path'] * 1e3:>11.1f}"
                      f"{t['ombrix'] * 1e3:>11.1f}{t['port'] / t['ombrix']:>9.1f}"
                      f"{t['path'] / t['ombrix']:>8.1f}{per_background * 1e6:>8.1f}{floor_us:>9.2f}"
                      f"{per_background * 1e6 / floor_us:>7.1f}" + counts)
        sys.stdout.flush()
    print(f"permutation rows: {backgrounds} backgrounds per call; times are medians of "
          f"{repeats} interleaved runs.")


if __name__ == "__main__":
    main()
