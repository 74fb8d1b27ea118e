"""The batch driver's own cost and its scaling, measured in one run.

    python batch.py [--cells 2000] [--genes 5000] [--backgrounds 1000]

For the sample atlas and for a synthetic cells x genes matrix of integer
copy states (every cell diploid but for zero to three random changes, so
that most profiles are distinct), it times:

- `module`: the module's own calls for the distinct tasks, made directly in
  a plain loop, with the driver's stop rule (`_native.sequential_score`,
  permutation_score's routine that stops at the 10th background reaching
  the score): the least any driver must spend;
- `1 process`: `ombrix_batch.score(..., n_jobs=1)` from the in-memory
  AnnData, reading, planning, calls, table and q-values included;
- `2 processes`: the same with `n_jobs=2` (loky).

`overhead` is (1 process - module) / 1 process; `scaling` is
1 process / 2 processes; with `--dask`, `dask 2` is the same on a LocalCluster
of two one-thread worker processes (started once, before the timings) and
`vs pool` is dask 2 / 2 processes; each a median of interleaved runs.
"""
import argparse
import pathlib
import time
import warnings

import anndata
import numpy as np
import pandas as pd
import scipy.sparse as sp

import ombrix_batch
from ombrix_batch import _native
from ombrix_batch.defaults import DEFAULT_STOP_AFTER
from ombrix_batch.readers import read_atlas
from ombrix_batch.states import States
from ombrix_batch.tasks import make_plan

SAMPLE = pathlib.Path(__file__).resolve().parents[1] / "examples" / "sample_atlas.h5ad"


def synthetic(cells: int, genes: int, seed: int = 5) -> anndata.AnnData:
    rng = np.random.default_rng(seed)
    bounds = np.linspace(0, genes, 23).astype(int)
    matrix = np.full((cells, genes), 2.0)
    for i in range(cells):
        for _ in range(int(rng.integers(0, 4))):
            j = int(rng.integers(0, 22))
            a = int(rng.integers(bounds[j], bounds[j + 1] - 1))
            matrix[i, a:min(bounds[j + 1], a + int(rng.integers(5, 120)))] = rng.choice([0.0, 1.0, 3.0, 4.0])
    chr_pos = {f"chr{j + 1}": int(bounds[j]) for j in range(22)}
    obs = pd.DataFrame(index=[f"cell{i}" for i in range(cells)])
    return anndata.AnnData(obs=obs, obsm={"X_cnv": sp.csr_matrix(matrix)}, uns={"cnv": {"chr_pos": chr_pos}})


def module_alone(adata: anndata.AnnData, states: str, backgrounds: int) -> float:
    atlas = read_atlas(adata)
    chosen = States(states)
    plan = make_plan(atlas, chosen, backgrounds, None, None, False)
    profiles = [(i, j, np.ascontiguousarray(chosen.apply(atlas.profile(i, j)))) for i, j in
                zip(plan.task_cell.tolist(), plan.task_chromosome.tolist())]
    started = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for i, j, values in profiles:
            # permutation_score's routine under the driver's stop rule: the backgrounds it draws
            _native.sequential_score(i, values, plan.exp_lambda, plan.possion_lambda, j, backgrounds,
                                     DEFAULT_STOP_AFTER)
    return time.perf_counter() - started


def driver(adata: anndata.AnnData, states: str, backgrounds: int, n_jobs: int) -> float:
    started = time.perf_counter()
    ombrix_batch.score(adata, states=states, backgrounds=backgrounds, n_jobs=n_jobs, progress=False)
    return time.perf_counter() - started


def on_dask(adata: anndata.AnnData, states: str, backgrounds: int, client: object) -> float:
    started = time.perf_counter()
    ombrix_batch.score(adata, states=states, backgrounds=backgrounds, client=client, progress=False)
    return time.perf_counter() - started


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cells", type=int, default=2000)
    parser.add_argument("--genes", type=int, default=5000)
    parser.add_argument("--backgrounds", type=int, default=1000)
    parser.add_argument("--repeats", type=int, default=3, help="medians of this many interleaved runs")
    parser.add_argument("--dask", action="store_true",
                        help="also a LocalCluster of 2 one-thread worker processes, started once")
    args = parser.parse_args()
    cases = [("sample atlas", anndata.read_h5ad(SAMPLE), "thresholds"),
             (f"{args.cells} x {args.genes}", synthetic(args.cells, args.genes), "integer")]
    client = None
    if args.dask:
        import distributed

        started = time.perf_counter()
        client = distributed.Client(distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                                             dashboard_address=":0"))
        print(f"LocalCluster of 2 workers started in {time.perf_counter() - started:.1f} s")
    print(f"{'atlas':<16}{'profiles':>9}{'distinct':>9}{'module s':>10}{'1 process s':>12}{'overhead':>9}"
          f"{'2 processes s':>14}{'scaling':>8}" + (f"{'dask 2 s':>10}{'vs pool':>8}" if client else ""))
    for name, adata, states in cases:
        plan = make_plan(read_atlas(adata), States(states), args.backgrounds, None, None, False)
        driver(adata, states, 10, 1)  # first-use costs (imports) out of the timings
        runs: dict[str, list[float]] = {"alone": [], "one": [], "two": [], "dask": []}
        for _ in range(args.repeats):  # interleaved, so that a slow spell of the machine hits them all
            runs["alone"].append(module_alone(adata, states, args.backgrounds))
            runs["one"].append(driver(adata, states, args.backgrounds, 1))
            runs["two"].append(driver(adata, states, args.backgrounds, 2))
            if client is not None:
                runs["dask"].append(on_dask(adata, states, args.backgrounds, client))
        alone, one, two = (float(np.median(runs[k])) for k in ("alone", "one", "two"))
        line = (f"{name:<16}{len(plan.row_task):>9}{plan.task_count:>9}{alone:>10.2f}{one:>12.2f}"
                f"{(one - alone) / one:>9.1%}{two:>14.2f}{one / two:>8.2f}")
        if client is not None:
            dask = float(np.median(runs["dask"]))
            line += f"{dask:>10.2f}{dask / two:>8.2f}"
        print(line, flush=True)


if __name__ == "__main__":
    main()
