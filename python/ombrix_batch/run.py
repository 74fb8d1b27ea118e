"""Scoring a whole atlas: plan the distinct tasks, run them in chunks on a
process pool (or in this process), keep each finished chunk where a resumed
run finds it, and assemble the table with p- and q-values."""
from __future__ import annotations

import contextlib
import hashlib
import json
import math
import os
import pathlib
import sys
import time
import warnings
from collections import Counter
from collections.abc import Iterator, Sequence
from typing import Any

import numpy as np
import pandas as pd
from scipy.stats import false_discovery_control

from .atlas import Atlas, check_source
from .cluster import dask_client, describe, run_on_dask
from .errors import BatchError, BatchNote, InputError
from .outputs import (
    check_writable_place,
    exclusive,
    refuse_input_as_output,
    remove_leftovers,
    write_atomically,
    write_together,
)
from .readers import read_atlas
from .scoring import Chunk, score_chunk
from .states import CNVKIT_THRESHOLDS, States, check_values
from .store import PartStore, parts_folder
from .subset import check_choice, chosen_cells, subset
from .tasks import OK, PLAN_ROWS, STATUSES, UNDEFINED, Plan, check_scalar, make_plan

DEFAULT_BACKGROUNDS = 10_000
DEFAULT_STOP_AFTER = 10
MAX_COUNT = 2**31 - 1  # the module counts backgrounds in signed 32 bits
CORRECTIONS = {"bh": "Benjamini-Hochberg", "by": "Benjamini-Yekutieli"}
OUTPUT_SUFFIXES = {".parquet": None, ".tsv": "\t", ".csv": ","}
TABLE_DIGEST = "table_sha256"  # in a text table's parameters: the digest of the table they belong to


MAX_CHUNKS = 2000  # chunk files a run writes at most


def default_chunk_size(task_count: int) -> int:
    # some tens to hundreds of chunks for a small atlas (fine-grained progress
    # and resume, little overhead), never more than MAX_CHUNKS files for a
    # large one; it depends on the tasks alone, so a resumed run cuts them alike
    return max(1, min(64, math.ceil(task_count / 64)), math.ceil(task_count / MAX_CHUNKS))


def chunks_of(atlas: Atlas, plan: Plan, states: States, backgrounds: int, stop_after: int, with_r: bool,
              size: int, skip: set[int]) -> Iterator[Chunk]:
    """The chunks not finished yet, their values read from the atlas as they are dispatched."""
    for number, first in enumerate(range(0, len(plan.tasks), size)):
        if number in skip:
            continue
        # the module reads writable float64 buffers (pandas 3 hands out read-only ones)
        tasks = [(task, float(plan.exp_lambda[i]), float(plan.possion_lambda[j]),
                  np.require(states.apply(atlas.profile(i, j)), np.float64, ["C", "W"]))
                 for task, (i, j) in enumerate(plan.tasks[first:first + size], start=first)]
        yield Chunk(number, backgrounds, stop_after, with_r, tasks)


def run_chunks(chunks: Iterator[Chunk], n_jobs: int) -> Iterator[tuple[int, dict[str, list[Any]], Counter[str]]]:
    if n_jobs == 1:
        for chunk in chunks:
            yield score_chunk(chunk)
        return
    from joblib import Parallel, delayed
    from joblib.externals.loky.process_executor import TerminatedWorkerError

    # processes, never threads: every call seeds NumPy's global generator
    parallel = Parallel(n_jobs=n_jobs, backend="loky", return_as="generator_unordered", pre_dispatch="2*n_jobs")
    try:
        yield from parallel(delayed(score_chunk)(chunk) for chunk in chunks)
    except TerminatedWorkerError as exc:
        raise BatchError(f"a worker process died ({str(exc).splitlines()[0]})") from exc


def task_counts(plan: Plan, size: int) -> np.ndarray:
    """How many distinct profiles each chunk holds. The progress bar counts
    these, the work itself: the chunk that holds the constant profiles stands
    for most rows of an atlas but costs no more than any other."""
    first = np.arange(0, len(plan.tasks), size)
    return np.minimum(size, len(plan.tasks) - first)


def check_n_jobs(n_jobs: Any) -> None:
    if n_jobs is not None and n_jobs != -1 and (isinstance(n_jobs, bool) or not isinstance(n_jobs, int) or n_jobs < 1):
        raise InputError(f"n_jobs must be a positive integer or -1 (every core), not {n_jobs!r}")


def worker_count(n_jobs: int | None, chunks: int, oversubscribe: bool) -> tuple[int, str | None]:
    """Processes to start, and a note when fewer than asked: never more than
    the chunks, nor (unless `oversubscribe`) than the cores this process may use."""
    check_n_jobs(n_jobs)
    from joblib import cpu_count

    cores = cpu_count()
    asked = cores if n_jobs in (-1, None) else n_jobs
    workers, note = asked, None
    if asked > cores and not oversubscribe:
        workers = cores
        note = (f"n_jobs {asked} capped at the {cores} cores here (oversubscribe=True / --oversubscribe "
                f"starts them all)")
    return max(1, min(workers, chunks)), note


def score(source: Any, *, use_rep: str = "X_cnv", key: str = "cnv", layout: str = "auto",
          chromosome_column: str | None = None, states: str = "integer",
          thresholds: tuple[float, ...] = CNVKIT_THRESHOLDS, backgrounds: int = DEFAULT_BACKGROUNDS,
          stop_after: int = DEFAULT_STOP_AFTER, exp_lambda: Any = None, possion_lambda: Any = None, with_r: bool = False, correction: str = "bh",
          n_jobs: int = -1, oversubscribe: bool = False, chunk_size: int | None = None,
          output: str | os.PathLike[str] | None = None, resume: bool = False, progress: bool = True,
          scheduler: str | None = None, client: Any = None, dask_local: int | None = None,
          cells: Sequence[str] | None = None, groupby: str | None = None,
          groups: Sequence[str] | None = None) -> pd.DataFrame:
    """Scores every (cell, chromosome) profile of an atlas against its
    permutation backgrounds, drawn in seed order until `stop_after` of them
    reach the profile's score or `backgrounds` are drawn (`stop_after=0`:
    always `backgrounds`); see the README for the columns and the p-values.
    With `output`, finished work is kept beside it and `resume=True` picks it up.
    On a Dask cluster: `scheduler` (an address), `client` (a distributed.Client)
    or `dask_local` (workers of a LocalCluster started for the run). Only some
    cells: `cells` (their names), or `groupby` (an .obs column of an AnnData
    or .h5ad) with `groups` (the values to keep)."""
    if sum(x is not None for x in (scheduler, client, dask_local)) > 1:
        raise InputError("give one of scheduler, client and dask_local")
    on_dask = scheduler is not None or client is not None or dask_local is not None
    if correction not in CORRECTIONS:
        raise InputError(f"correction must be one of {sorted(CORRECTIONS)}, not {correction!r}")
    check_source(source)
    check_choice(cells, groupby, groups)
    check_n_jobs(n_jobs)  # also on Dask, where it is not used: a mistake is named before any work
    if isinstance(backgrounds, bool) or not isinstance(backgrounds, int) or not 1 <= backgrounds <= MAX_COUNT:
        raise InputError(f"backgrounds must be a positive integer up to {MAX_COUNT} (the module's 32-bit count), "
                         f"not {backgrounds!r}")
    if isinstance(stop_after, bool) or not isinstance(stop_after, int) or not 0 <= stop_after <= MAX_COUNT:
        raise InputError(f"stop_after must be a whole number of backgrounds, 0 to never stop early, not "
                         f"{stop_after!r}")
    if dask_local is not None and (isinstance(dask_local, bool) or not isinstance(dask_local, int)
                                   or dask_local < 1):
        raise InputError(f"dask_local must be a positive number of workers, not {dask_local!r}")
    if chunk_size is not None and (isinstance(chunk_size, bool) or not isinstance(chunk_size, int) or chunk_size < 1):
        raise InputError(f"chunk_size must be a positive integer (distinct profiles per chunk), not {chunk_size!r}")
    check_scalar(exp_lambda, "exp_lambda")
    check_scalar(possion_lambda, "possion_lambda")
    chosen_states = States(states, tuple(thresholds))
    output_path = pathlib.Path(output) if output is not None else None
    with claimed(source, output_path):
        started = time.perf_counter()
        chosen = chosen_cells(source, cells, groupby, groups)
        atlas = source if isinstance(source, Atlas) else read_atlas(
            source, use_rep=use_rep, key=key, layout=layout, chromosome_column=chromosome_column)
        if chosen is not None:
            atlas = subset(atlas, chosen)
        check_values(atlas, chosen_states)
        version = ombrix_version()
        blocks = math.ceil(len(atlas.cells) / PLAN_ROWS)
        planners, _ = worker_count(-1 if on_dask else n_jobs, blocks, oversubscribe)
        plan = make_plan(atlas, chosen_states, backgrounds, exp_lambda, possion_lambda, with_r, version, stop_after,
                         planners)
        size = chunk_size or default_chunk_size(len(plan.tasks))
        chunk_count = math.ceil(len(plan.tasks) / size)
        workers, workers_capped = (1, None) if on_dask else worker_count(n_jobs, chunk_count, oversubscribe)
        notes = [workers_capped] if workers_capped else []
        short = float((plan.rows["status"] == "too short").mean()) if len(plan.rows) else 0.0
        if short > 0.5:
            notes.append(f"{short:.0%} of the profiles have fewer than 3 positions and cannot be tested; are the "
                         f"chromosomes and positions read as meant (a transposed table, the wrong "
                         f"--chromosome-column)?")
        for note in notes:
            warnings.warn(note, BatchNote, stacklevel=2)
        store = None
        if output_path is not None:
            store = PartStore(output_path, {**plan.fingerprint, "chunk_size": size}, resume)
        done = store.finished() if store else set()
        counts = task_counts(plan, size)
        results: dict[int, dict[str, list[Any]]] = {}
        warned: Counter[str] = Counter()
        for number in done:
            assert store is not None
            results[number], kept_warnings = store.read(number)
            warned.update(kept_warnings)
        from tqdm.auto import tqdm

        with contextlib.ExitStack() as resources:
            pending = chunks_of(atlas, plan, chosen_states, backgrounds, stop_after, with_r, size, done)
            if on_dask:
                dask = resources.enter_context(dask_client(scheduler, client, dask_local))
                finished = run_on_dask(pending, dask, in_flight=2 * max(1, sum(dask.nthreads().values())))
                workers_note = describe(dask)
            else:
                finished = run_chunks(pending, workers)
                workers_note = f"{workers} process(es)"
            # without a terminal (a log file), a line every 10 seconds at most
            quiet_log = {} if sys.stderr.isatty() else {"mininterval": 10.0}
            bar = resources.enter_context(tqdm(total=len(plan.tasks), initial=int(sum(counts[n] for n in done)),
                                               unit=" distinct profiles", disable=not progress, desc="ombrix",
                                               dynamic_ncols=True, **quiet_log))
            try:
                for number, columns, chunk_warned in finished:
                    if store:
                        store.keep(number, columns, dict(chunk_warned))
                    results[number] = columns
                    warned.update(chunk_warned)
                    bar.update(int(counts[number]))
            except BatchError as exc:
                kept = f"; the {len(results)} finished chunks are kept in {store.folder}, run again with --resume " \
                       f"(resume=True) to compute the rest" if store else ""
                raise BatchError(f"{exc}{kept}") from exc.__cause__
        table, spent = assemble(plan, results, backgrounds, stop_after, with_r, correction)
        table.attrs.update({
            "source": atlas.source, "backgrounds": backgrounds, "stop_after": stop_after, **spent,
            "correction": CORRECTIONS[correction],
            "exp_lambda": plan.notes["exp_lambda"], "possion_lambda": plan.notes["possion_lambda"],
            "exp_lambda_values": plan.fingerprint["exp_lambda"],
            "possion_lambda_values": dict(zip(atlas.chromosomes, map(float, plan.possion_lambda))),
            "states": plan.notes["states"], "states_method": chosen_states.method,
            "thresholds": list(chosen_states.thresholds), "distinct_tasks": len(plan.tasks), "warnings": dict(warned),
            "ombrix_version": version, "numpy_version": np.__version__,
            "seconds": round(time.perf_counter() - started, 3), "workers": workers_note, "notes": notes,
        })
        if output_path is not None:
            assert store is not None
            try:
                write_table(table, output_path)
            except BatchError as exc:
                raise BatchError(f"{exc}; every chunk is kept in {store.folder}: run again with --resume "
                                 f"(resume=True) to write the table without computing anything") from None
            store.remove()
        return table


@contextlib.contextmanager
def claimed(source: Any, output: pathlib.Path | None) -> Iterator[None]:
    """An output for this run alone: not the input, locked, and cleared of what
    a killed run left half-written."""
    if output is None:
        yield
        return
    if output.suffix not in OUTPUT_SUFFIXES:
        raise InputError(f"{output}: the table is written as {', '.join(OUTPUT_SUFFIXES)} (by its suffix)")
    check_writable_place(output, "the table")
    refuse_input_as_output(source, table_files(output), {"the output's parts folder": parts_folder(output)})
    with exclusive(output):
        for path in table_files(output).values():
            remove_leftovers(path)
        yield


def sequential_pvalues(reached: np.ndarray, run: np.ndarray, backgrounds: int, stop_after: int) -> np.ndarray:
    """Besag and Clifford's sequential p-values: h / n for a task stopped at
    its h-th reaching background after n of them, (k + 1) / (N + 1) for one
    that drew all N with k < h reaching (every task, when stop_after is 0)."""
    stopped = (stop_after > 0) & (reached == stop_after) & (run > 0)
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(stopped, reached / run, (reached + 1) / (backgrounds + 1))


def corrected(pvalues: np.ndarray, testable: np.ndarray, correction: str) -> np.ndarray:
    """q-values over the testable rows alone; NaN for the others."""
    qvalues = np.full(len(pvalues), np.nan)
    if testable.any():
        qvalues[testable] = false_discovery_control(pvalues[testable], method=correction)
    return qvalues


def assemble(plan: Plan, results: dict[int, dict[str, list[Any]]], backgrounds: int, stop_after: int,
             with_r: bool, correction: str) -> tuple[pd.DataFrame, dict[str, Any]]:
    """The table, and what its backgrounds cost (over the distinct tasks)."""
    chunks = sorted(results)
    task_ids = np.concatenate([np.asarray(results[n]["task"], dtype=np.int64) for n in chunks]) if chunks \
        else np.zeros(0, dtype=np.int64)
    if len(np.unique(task_ids)) != len(plan.tasks):
        raise BatchError(f"{len(plan.tasks) - len(np.unique(task_ids))} tasks have no result")
    # where each task's result sits among the chunks' results, and so each row's
    where = np.empty(len(plan.tasks), dtype=np.int64)
    where[task_ids] = np.arange(len(task_ids))
    rows = plan.rows
    of_rows = where[rows["task"].to_numpy()]

    def by_task(column: str, dtype: type) -> np.ndarray:
        return np.concatenate([np.asarray(results[n][column], dtype=dtype) for n in chunks]) if chunks \
            else np.zeros(0, dtype=dtype)

    table = pd.DataFrame({"cell": rows["cell"], "chromosome": rows["chromosome"],
                          "n_positions": rows["n_positions"].to_numpy(dtype=np.int64)})
    for column, dtype in (("n_segments", np.int64), ("rearrange_score", np.float64), ("limit", np.float64),
                          ("num_greater", np.int64), ("backgrounds", np.int64)):
        table[column] = by_task(column, dtype)[of_rows]
    status = rows["status"].cat.codes.to_numpy().copy()
    # a NaN score (two segments of one length, say) is reached by no
    # background: it is no evidence of anything
    status[(status == OK) & np.isnan(table["rearrange_score"].to_numpy())] = UNDEFINED
    testable = status == OK
    pvalues = sequential_pvalues(table["num_greater"].to_numpy(), table["backgrounds"].to_numpy(), backgrounds,
                                 stop_after)
    table["pval"] = np.where(status == UNDEFINED, np.nan, pvalues)
    table["qval"] = corrected(table["pval"].to_numpy(), testable, correction)
    if with_r:
        for column, dtype in (("R", np.float64), ("R_num_greater", np.int64), ("R_backgrounds", np.int64)):
            table[column] = by_task(column, dtype)[of_rows]
        r_pvalues = sequential_pvalues(table["R_num_greater"].to_numpy(), table["R_backgrounds"].to_numpy(),
                                       backgrounds, stop_after)
        table["R_pval"] = np.where(np.isnan(table["R"].to_numpy()), np.nan, r_pvalues)
    table["status"] = pd.Categorical.from_codes(status, STATUSES)
    run = by_task("backgrounds", np.int64)
    by_status = np.bincount(status, minlength=len(STATUSES))
    spent = {"backgrounds_run": int(run.sum()), "backgrounds_per_task": round(float(run.mean()), 2) if len(run) else 0.0,
             "testable": int(testable.sum()), "status_counts": dict(zip(STATUSES, map(int, by_status)))}
    return table, spent


def table_files(path: pathlib.Path) -> dict[str, pathlib.Path]:
    """What a table output writes: the table and, for a text table, its parameters beside it."""
    files = {"the table": path}
    if OUTPUT_SUFFIXES.get(path.suffix) is not None:
        files["the table's parameters"] = path.with_name(path.name + ".json")
    return files


def write_table(table: pd.DataFrame, path: pathlib.Path) -> None:
    """The table and its parameters written in full, then put in place together."""
    separator = OUTPUT_SUFFIXES[path.suffix]
    if separator is None:
        write_atomically(path, lambda p: table.to_parquet(p, index=False))
        return
    sidecar = table_files(path)["the table's parameters"]
    digest = {}

    def write_text_table(temporary: str) -> None:
        table.to_csv(temporary, sep=separator, index=False)
        digest[TABLE_DIGEST] = file_sha256(temporary)

    def write_parameters(temporary: str) -> None:
        # the table's digest ties the two: a stop between the two renames is found on reading
        pathlib.Path(temporary).write_text(json.dumps({**table.attrs, **digest}, indent=1))

    write_together([(path, write_text_table), (sidecar, write_parameters)])


def file_sha256(path: str | pathlib.Path) -> str:
    with open(path, "rb") as handle:
        return hashlib.file_digest(handle, "sha256").hexdigest()


def ombrix_version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("ombrix")
    except PackageNotFoundError:
        return "unknown"
