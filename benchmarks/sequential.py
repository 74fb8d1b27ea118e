"""Sequential backgrounds against a fixed count, on a synthetic atlas with
many null profiles and a few shattered ones; and the native stop-rule loop's
speed per background against permutation_score's, in the same run.

    python sequential.py [--cells 1000] [--shattered 0.01] [--n-jobs -1] [--quick]

Prints, for fixed 1 000 backgrounds and for the sequential rule (h = 10,
N = 10^4 and 10^5): wall time, backgrounds drawn per distinct task (null and
shattered apart), and the hits at q < 0.05; then backgrounds per second of
both loops and their ratio.
"""
from __future__ import annotations

import argparse
import statistics
import time
import warnings

import numpy as np

import ombrix
import ombrix_batch
from ombrix_batch import Atlas, _native

CHROMOSOMES = [f"chr{i}" for i in range(1, 23)]


def null_profile(rng: np.random.Generator) -> np.ndarray:
    """A few broad copy changes at random places: what most of an atlas looks like."""
    length = int(rng.integers(60, 200))
    cuts = np.sort(rng.choice(np.arange(5, length - 5), size=int(rng.integers(1, 4)), replace=False))
    states = rng.integers(1, 5, size=len(cuts) + 1)
    return np.repeat(states, np.diff(np.r_[0, cuts, length])).astype(np.float64)


def shattered_profile(rng: np.random.Generator) -> np.ndarray:
    """Many short segments oscillating between two or three states."""
    length = int(rng.integers(80, 200))
    pieces = rng.integers(2, 6, size=length)
    states = np.tile(rng.permutation([1.0, 2.0, 3.0]), length)[:length]
    return np.repeat(states, pieces)[:length]


def atlas(cells: int, shattered: float, seed: int = 7) -> tuple[Atlas, set[tuple[int, int]]]:
    rng = np.random.default_rng(seed)
    profiles, planted = {}, set()
    for i in range(cells):
        for j in range(len(CHROMOSOMES)):
            if rng.random() < shattered:
                profiles[(i, j)] = shattered_profile(rng)
                planted.add((i, j))
            else:
                profiles[(i, j)] = null_profile(rng)
    return Atlas("synthetic", [f"c{i}" for i in range(cells)], CHROMOSOMES, profiles=profiles), planted


def scored(source: Atlas, planted: set[tuple[int, int]], backgrounds: int, stop_after: int, n_jobs: int) -> dict:
    started = time.perf_counter()
    table = ombrix_batch.score(source, backgrounds=backgrounds, stop_after=stop_after, n_jobs=n_jobs,
                               progress=False)
    seconds = time.perf_counter() - started
    cell = table["cell"].cat.codes.to_numpy()
    chromosome = table["chromosome"].cat.codes.to_numpy()
    is_planted = np.array([(int(i), int(j)) in planted for i, j in zip(cell, chromosome)])
    hits = table["qval"].to_numpy() < 0.05
    return {"seconds": seconds, "per_task": table.attrs["backgrounds_per_task"],
            "null": float(table.loc[~is_planted, "backgrounds"].mean()),
            "shattered": float(table.loc[is_planted, "backgrounds"].mean()),
            "found": int((hits & is_planted).sum()), "false": int((hits & ~is_planted).sum()),
            "tasks": table.attrs["distinct_tasks"]}


def per_background(repeats: int, count: int) -> tuple[float, float]:
    """Backgrounds per second of permutation_score and of the native stop-rule
    loop (never stopping), interleaved on the same profiles."""
    rng = np.random.default_rng(3)
    profiles = [null_profile(rng) for _ in range(4)] + [shattered_profile(rng) for _ in range(4)]
    exp, possion = np.ones(1), np.full(1, 20.0)
    module, native = [], []
    for _ in range(repeats):
        for values in profiles:
            t = time.perf_counter()
            ombrix.permutation_score(0, values, None, exp, possion, 0, count, True)
            module.append(time.perf_counter() - t)
            t = time.perf_counter()
            _native.sequential_score(0, values, exp, possion, 0, count, 0)
            native.append(time.perf_counter() - t)
    return count / statistics.median(module), count / statistics.median(native)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cells", type=int, default=1000)
    parser.add_argument("--shattered", type=float, default=0.01)
    parser.add_argument("--n-jobs", type=int, default=-1)
    parser.add_argument("--quick", action="store_true", help="50 cells, N up to 10^4: a smoke run")
    args = parser.parse_args()
    warnings.simplefilter("ignore", RuntimeWarning)  # empty segments
    cells = 50 if args.quick else args.cells
    source, planted = atlas(cells, args.shattered)
    print(f"{cells * len(CHROMOSOMES)} profiles, {len(planted)} shattered; n_jobs {args.n_jobs}")
    runs = [("fixed 1000", 1000, 0), ("sequential N=10^4, h=10", 10_000, 10)]
    if not args.quick:
        runs.append(("sequential N=10^5, h=10", 100_000, 10))
    print(f"{'rule':<26}{'seconds':>9}{'bg/task':>9}{'bg/null':>9}{'bg/shat':>10}{'found':>7}{'false':>7}")
    baseline = None
    for name, backgrounds, stop_after in runs:
        r = scored(source, planted, backgrounds, stop_after, args.n_jobs)
        baseline = baseline or r["seconds"]
        print(f"{name:<26}{r['seconds']:>9.1f}{r['per_task']:>9.0f}{r['null']:>9.1f}{r['shattered']:>10.0f}"
              f"{r['found']:>7}{r['false']:>7}   time / fixed 1000: {r['seconds'] / baseline:.2f}")
    module, native = per_background(3 if args.quick else 15, 300 if args.quick else 2000)
    print(f"backgrounds per second: permutation_score {module:,.0f}, native stop-rule loop {native:,.0f}; "
          f"ratio native / module {native / module:.3f}")


if __name__ == "__main__":
    main()
