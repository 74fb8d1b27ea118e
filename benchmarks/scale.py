"""The driver at scale: reading + planning, and scoring, of synthetic atlases
written by make_scale_atlas.py, with a small fixed background count so that
the numbers are about the driver, not the module.

    python scale.py ATLAS.h5ad [ATLAS.h5ad ...] [--n-jobs 2 | --n-jobs 1,2] [--backgrounds 20]

Reading and planning are timed alone (with --n-jobs processes), then each
atlas is scored by `ombrix score` in a child process; the parent's and
each worker's peak RSS come from /proc (sampled every 0.2 s) and from
getrusage for the parent. With several --n-jobs, each atlas is run with
each in turn, and `plan x` / `score x` are the speed-ups over the first.
"""
from __future__ import annotations

import argparse
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time

PLAN = """
import json, resource, sys, time
from ombrix_batch.readers import read_atlas
from ombrix_batch.states import States
from ombrix_batch.tasks import make_plan
started = time.perf_counter()
atlas = read_atlas(sys.argv[1])
plan = make_plan(atlas, States("thresholds"), 20, None, None, False, n_jobs=int(sys.argv[2]))
print(json.dumps({"cells": len(atlas.cells), "profiles": len(plan.row_task), "tasks": plan.task_count,
                  "plan_s": time.perf_counter() - started,
                  "plan_rss_gb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1e6}))
"""


def rss_gb(pid: int) -> float:
    try:
        for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1e6
    except (FileNotFoundError, ProcessLookupError):
        pass
    return 0.0


def descendants(pid: int) -> list[int]:
    found, stack = [], [pid]
    while stack:
        parent = stack.pop()
        children = pathlib.Path(f"/proc/{parent}/task/{parent}/children")
        try:
            kids = [int(c) for c in children.read_text().split()]
        except (FileNotFoundError, ProcessLookupError):
            kids = []
        found += kids
        stack += kids
    return found


def score(path: str, n_jobs: int, backgrounds: int) -> dict[str, float]:
    with tempfile.TemporaryDirectory() as folder:
        command = [sys.executable, "-m", "ombrix_batch.cli", "score", path, "--states", "thresholds",
                   "--backgrounds", str(backgrounds), "--stop-after", "0", "--n-jobs", str(n_jobs),
                   "--oversubscribe", "--quiet", "-o", os.path.join(folder, "t.parquet")]
        started = time.perf_counter()
        process = subprocess.Popen(command)
        parent_peak, worker_peak = 0.0, 0.0
        while process.poll() is None:
            parent_peak = max(parent_peak, rss_gb(process.pid))
            worker_peak = max([worker_peak] + [rss_gb(c) for c in descendants(process.pid)])
            time.sleep(0.2)
        if process.returncode:
            raise SystemExit(f"ombrix score failed on {path} ({process.returncode})")
        return {"score_s": time.perf_counter() - started, "parent_gb": parent_peak, "worker_gb": worker_peak}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("atlases", nargs="+")
    parser.add_argument("--n-jobs", default="2", help="processes, or several separated by commas")
    parser.add_argument("--backgrounds", type=int, default=20)
    args = parser.parse_args()
    counts = [int(n) for n in args.n_jobs.split(",")]
    print(f"{'cells':>9}{'profiles':>11}{'tasks':>10}{'procs':>6}{'read+plan s':>13}{'plan GB':>9}"
          f"{'whole run s':>13}{'scoring s':>11}{'parent GB':>11}{'worker GB':>11}"
          + (f"{'plan x':>8}{'score x':>9}" if len(counts) > 1 else ""))
    for path in args.atlases:
        first: tuple[float, float] | None = None
        for n_jobs in counts:
            planned = json.loads(subprocess.run([sys.executable, "-c", PLAN, path, str(n_jobs)],
                                                capture_output=True, text=True, check=True).stdout)
            run = score(path, n_jobs, args.backgrounds)
            scoring = run["score_s"] - planned["plan_s"]
            first = first or (planned["plan_s"], scoring)
            ratios = f"{first[0] / planned['plan_s']:>8.2f}{first[1] / scoring:>9.2f}" if len(counts) > 1 else ""
            print(f"{planned['cells']:>9}{planned['profiles']:>11}{planned['tasks']:>10}{n_jobs:>6}"
                  f"{planned['plan_s']:>13.1f}{planned['plan_rss_gb']:>9.2f}{run['score_s']:>13.1f}{scoring:>11.1f}"
                  f"{run['parent_gb']:>11.2f}{run['worker_gb']:>11.2f}{ratios}", flush=True)
    print(f"{args.backgrounds} backgrounds per profile (--stop-after 0)")


if __name__ == "__main__":
    main()
