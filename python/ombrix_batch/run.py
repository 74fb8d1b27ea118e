"""Scoring a whole atlas: plan the distinct tasks (or take the plan a
stopped run kept), run them in chunks on a process pool (or in this
process, or on Dask), keep each finished chunk where a resumed run finds
it, and write the table from the per-task results."""
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
import scipy.sparse as sp

from . import __version__, _native
from .atlas import FILE_BLOCK_ROWS, Atlas, canonical, check_source
from .cluster import dask_client, describe, run_on_dask
from .defaults import CNVKIT_THRESHOLDS, CORRECTIONS, DEFAULT_BACKGROUNDS, DEFAULT_STOP_AFTER
from .errors import BatchError, BatchNote, InputError
from .options import Options, documented_options
from .outputs import check_writable_place, exclusive, refuse_input_as_output, remove_leftovers
from .readers import read_atlas
from .results import OUTPUT_SUFFIXES, Scored, TaskResults, scored, table_files, write_table
from .scoring import Chunk, score_chunk
from .states import States
from .store import INPUT_FILE, PartStore, parts_folder
from .subset import check_choice, chosen_cells, subset
from .tasks import PLAN_ROWS, TOO_SHORT, Plan, check_scalar, make_plan, plan_settings

MAX_COUNT = 2**31 - 1  # the module counts backgrounds in signed 32 bits
MAX_CHUNKS = 2000  # chunk files a run writes at most


MIN_CHUNK = 16  # distinct profiles a chunk holds at least, where there are as many


def default_chunk_size(task_count: int) -> int:
    # some tens to hundreds of chunks for a small atlas (fine-grained progress
    # and resume), each of at least MIN_CHUNK tasks, so that a chunk's own
    # cost (its values gathered, its results stored: about 0.3 ms) stays
    # small beside its work; never more than MAX_CHUNKS files for a large
    # one; it depends on the tasks alone, so a resumed run cuts them alike
    return max(1, min(64, max(MIN_CHUNK, math.ceil(task_count / 64))), math.ceil(task_count / MAX_CHUNKS))


class ChunkValues:
    """The values of a chunk's tasks as copy states, in one array: each task's
    stretch of its row gathered at once for all the chunk's tasks of a block
    (from a CSR block, only its stored values, found through where each
    row's chromosomes begin and end among them), then made states at once. A
    block is read from a file once (the tasks are numbered as the plan met
    them, block by block)."""

    def __init__(self, atlas: Atlas, states: States) -> None:
        self.atlas, self.states = atlas, states
        self.first, self.bounds = -1, np.zeros((0, 0), dtype=np.int64)
        self.block: Any = None
        self.lengths = np.array([stop - start for start, stop in atlas.ranges], dtype=np.int64)
        self.range_starts = np.array([start for start, _ in atlas.ranges], dtype=np.int64)

    def rows(self, first: int) -> Any:
        if first != self.first:
            block = self.atlas.raw_block(first, min(first + FILE_BLOCK_ROWS, len(self.atlas.cells)))
            self.first, self.block = first, canonical(block) if sp.issparse(block) else np.ascontiguousarray(block)
            if sp.issparse(block):
                # for each row, where each chromosome's stored values begin and end
                columns = np.r_[self.range_starts, self.range_starts + self.lengths]
                self.bounds = _native.stored_bounds(np.ascontiguousarray(self.block.indptr),
                                                    np.ascontiguousarray(self.block.indices), columns)
        return self.block

    def of(self, cells: np.ndarray, chromosomes: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The order the tasks are sent in, where each one's values start, and the values."""
        atlas, apply = self.atlas, self.states.apply
        starts = np.zeros(len(cells) + 1, dtype=np.int64)
        if atlas.matrix is None:
            profiles = [np.asarray(apply(atlas.profile(i, j)), dtype=np.float64)
                        for i, j in zip(cells.tolist(), chromosomes.tolist())]
            np.cumsum([len(p) for p in profiles], out=starts[1:])
            return np.arange(len(cells)), starts, np.concatenate(profiles) if profiles else np.zeros(0)
        order = np.lexsort((chromosomes, cells))
        cells, chromosomes = cells[order], chromosomes[order]
        lengths = self.lengths[chromosomes]
        np.cumsum(lengths, out=starts[1:])
        values = np.zeros(int(starts[-1]))
        blocks = cells // FILE_BLOCK_ROWS
        for group in np.split(np.arange(len(cells)), np.flatnonzero(np.diff(blocks)) + 1) if len(cells) else []:
            first = int(blocks[group[0]]) * FILE_BLOCK_ROWS
            block, rows, j = self.rows(first), cells[group] - first, chromosomes[group]
            if sp.issparse(block):
                begin = self.bounds[rows, j]
                count = self.bounds[rows, j + len(self.lengths)] - begin
                taken = np.repeat(begin - np.cumsum(count) + count, count) + np.arange(int(count.sum()))
                # each stored value to its task's start plus its column's offset in the chromosome
                shift = np.repeat(starts[group] - self.range_starts[j], count)
                values[shift + block.indices[taken]] = block.data[taken]
            else:
                low, high = int(starts[group[0]]), int(starts[group[-1] + 1])
                offsets = rows * block.shape[1] + self.range_starts[j] - starts[group]
                values[low:high] = block.reshape(-1)[np.repeat(offsets, lengths[group]) + np.arange(low, high)]
        return order, starts, np.asarray(apply(values), dtype=np.float64)


def chunks_of(atlas: Atlas, plan: Plan, states: States, backgrounds: int, stop_after: int, with_r: bool,
              size: int, skip: set[int]) -> Iterator[Chunk]:
    """The chunks not finished yet, their values read from the atlas as they are dispatched."""
    values_of = ChunkValues(atlas, states)
    for number, first in enumerate(range(0, plan.task_count, size)):
        if number in skip:
            continue
        stop = min(first + size, plan.task_count)
        cells, chromosomes = plan.task_cell[first:stop], plan.task_chromosome[first:stop]
        order, starts, values = values_of.of(cells, chromosomes)
        yield Chunk(number, backgrounds, stop_after, with_r, np.arange(first, stop, dtype=np.int64)[order],
                    plan.exp_lambda[cells[order]], plan.possion_lambda[chromosomes[order]], starts, values)


def run_chunks(chunks: Iterator[Chunk], n_jobs: int) -> Iterator[tuple[int, dict[str, Any], Counter[str]]]:
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
    first = np.arange(0, plan.task_count, size)
    return np.minimum(size, plan.task_count - first)


def check_n_jobs(n_jobs: Any) -> None:
    if n_jobs is not None and n_jobs != -1 and (isinstance(n_jobs, bool) or not isinstance(n_jobs, int) or n_jobs < 1):
        raise InputError(f"n_jobs must be a positive integer or -1 (every core), not {n_jobs!r}")


def worker_count(n_jobs: int | None, chunks: int, oversubscribe: bool) -> tuple[int, str | None]:
    """Processes to start, and a note when fewer than asked: never more than
    the chunks, nor (unless `oversubscribe`) than the cores this process may use."""
    check_n_jobs(n_jobs)
    if n_jobs == 1:
        return 1, None  # one is never more than the cores: no need to count them (about 0.3 ms)
    from joblib import cpu_count

    cores = cpu_count()
    asked = cores if n_jobs in (-1, None) else n_jobs
    workers, note = asked, None
    if asked > cores and not oversubscribe:
        workers = cores
        note = (f"n_jobs {asked} capped at the {cores} cores here (oversubscribe=True / --oversubscribe "
                f"starts them all)")
    return max(1, min(workers, chunks)), note


@documented_options
def score(source: Any, *, use_rep: str = "X_cnv", key: str = "cnv", layout: str = "auto",
          chromosome_column: str | None = None, states: str = "integer",
          thresholds: Sequence[float] = CNVKIT_THRESHOLDS, backgrounds: int = DEFAULT_BACKGROUNDS,
          stop_after: int = DEFAULT_STOP_AFTER, exp_lambda: Any = None, possion_lambda: Any = None,
          with_r: bool = False, correction: str = "bh", n_jobs: int = -1, oversubscribe: bool = False,
          chunk_size: int | None = None, output: str | os.PathLike[str] | None = None, resume: bool = False,
          progress: bool = True, scheduler: str | None = None, client: Any = None, dask_local: int | None = None,
          cells: Sequence[str] | None = None, groupby: str | None = None,
          groups: Sequence[str] | None = None) -> pd.DataFrame:
    """Score every (cell, chromosome) profile of an atlas against its permutation backgrounds.

    Parameters
    ----------
    source
        An AnnData object, an ``.h5ad`` file (read in blocks of rows), a wide
        or long table (``.tsv``, ``.txt``, ``.csv``, ``.parquet``) or an
        :class:`~ombrix_batch.Atlas`.
    use_rep
        The ``.obsm`` matrix of copy numbers (cells x positions) of an AnnData.
    key
        The ``.uns`` entry whose ``"chr_pos"`` maps each chromosome to its first column.
    layout
        A table's layout: ``"auto"``, ``"wide"`` (a column per cell) or ``"long"``.
    chromosome_column
        A table's chromosome column; found by name when None.
    {run_options}
    Returns
    -------
    One row per (cell, chromosome); the columns and p-values are described in
    the documentation's statistics page. ``table.attrs`` holds the parameters
    and the run's counts.
    """
    return run_scoring(source, Options.of(locals())).table()


def check_options(backgrounds: Any, stop_after: Any, dask_local: Any, chunk_size: Any, correction: Any) -> None:
    if correction not in CORRECTIONS:
        raise InputError(f"correction must be one of {sorted(CORRECTIONS)}, not {correction!r}")
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


def input_identity(source: Any, atlas: Atlas, reading: list[Any]) -> dict[str, Any] | None:
    """An input file as it is now: its place, size and time, the names read
    from it and how it was read. A resume whose input is unchanged reuses the
    kept plan instead of reading every value again."""
    if not isinstance(source, (str, os.PathLike)):
        return None
    info = os.stat(source)
    names = hashlib.blake2b(json.dumps([atlas.cells, atlas.chromosomes]).encode(), digest_size=16).hexdigest()
    identity = {"path": os.path.abspath(source), "size": info.st_size, "modified_ns": info.st_mtime_ns,
                "names": names, "read": reading}
    return dict(json.loads(json.dumps(identity)))  # as run.json gives it back


def run_scoring(source: Any, options: Options) -> Scored:
    """`score`, whose results stay per task: with `output`, the table is
    written a batch of rows at a time and never made whole."""
    use_rep, key, layout, chromosome_column = options.use_rep, options.key, options.layout, options.chromosome_column
    backgrounds, stop_after, with_r, correction = options.backgrounds, options.stop_after, options.with_r, \
        options.correction
    exp_lambda, possion_lambda = options.exp_lambda, options.possion_lambda
    n_jobs, oversubscribe, chunk_size, resume = options.n_jobs, options.oversubscribe, options.chunk_size, \
        options.resume
    scheduler, client, dask_local = options.scheduler, options.client, options.dask_local
    cells, groupby, groups = options.cells, options.groupby, options.groups
    if sum(x is not None for x in (scheduler, client, dask_local)) > 1:
        raise InputError("give one of scheduler, client and dask_local")
    on_dask = scheduler is not None or client is not None or dask_local is not None
    check_source(source)
    check_choice(cells, groupby, groups)
    check_n_jobs(n_jobs)  # also on Dask, where it is not used: a mistake is named before any work
    check_options(backgrounds, stop_after, dask_local, chunk_size, correction)
    check_scalar(exp_lambda, "exp_lambda")
    check_scalar(possion_lambda, "possion_lambda")
    chosen_states = States(options.states, tuple(options.thresholds))
    output_path = pathlib.Path(options.output) if options.output is not None else None
    with claimed(source, output_path):
        started = time.perf_counter()
        chosen = chosen_cells(source, cells, groupby, groups)
        atlas = source if isinstance(source, Atlas) else read_atlas(
            source, use_rep=use_rep, key=key, layout=layout, chromosome_column=chromosome_column)
        if chosen is not None:
            atlas = subset(atlas, chosen)
        version = __version__
        settings = plan_settings(atlas, chosen_states, backgrounds, exp_lambda, possion_lambda, with_r, version,
                                 stop_after)
        store = PartStore(output_path, resume) if output_path is not None else None
        identity = input_identity(source, atlas, [use_rep, key, layout, chromosome_column])
        plan = store.kept_plan(identity) if store else None
        planned = "kept from the unfinished run" if plan is not None else "made"
        if plan is None:
            blocks = math.ceil(len(atlas.cells) / PLAN_ROWS)
            planners, _ = worker_count(-1 if on_dask else n_jobs, blocks, oversubscribe)
            plan = make_plan(atlas, chosen_states, backgrounds, exp_lambda, possion_lambda, with_r, version,
                             stop_after, planners, settings)
        # a resume cuts the tasks as the unfinished run did, unless told otherwise
        kept_size = store.kept.get("chunk_size") if store and store.kept else None
        size = chunk_size or (kept_size if isinstance(kept_size, int) and kept_size >= 1 else None) or \
            default_chunk_size(plan.task_count)
        chunk_count = math.ceil(plan.task_count / size)
        workers, workers_capped = (1, None) if on_dask else worker_count(n_jobs, chunk_count, oversubscribe)
        notes = [workers_capped] if workers_capped else []
        rows = np.bincount(plan.row_task, minlength=plan.task_count)
        short = float(rows[plan.task_status == TOO_SHORT].sum() / len(plan.row_task)) if len(plan.row_task) else 0.0
        if short > 0.5:
            notes.append(f"{short:.0%} of the profiles have fewer than 3 positions and cannot be tested; are the "
                         f"chromosomes and positions read as meant (a transposed table, the wrong "
                         f"--chromosome-column)?")
        for note in notes:
            warnings.warn(note, BatchNote, stacklevel=3)
        fingerprint = {**settings.fingerprint, "profiles": plan.fingerprint["profiles"], "tasks": plan.task_count,
                       "chunk_size": size, INPUT_FILE: identity}
        if store:
            store.start(fingerprint, plan)
        done = store.finished() if store else set()
        counts = task_counts(plan, size)
        results = TaskResults(plan.task_count, with_r)
        warned: Counter[str] = Counter()
        for number in done:
            assert store is not None
            kept_columns, kept_warnings = store.read(number)
            results.add(kept_columns)
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
            bar = resources.enter_context(tqdm(total=plan.task_count, initial=int(sum(counts[n] for n in done)),
                                               unit=" distinct profiles", disable=not options.progress, desc="ombrix",
                                               dynamic_ncols=True, **quiet_log))
            finished_chunks = len(done)
            try:
                for number, columns, chunk_warned in finished:
                    if store:
                        store.keep(number, columns, dict(chunk_warned))
                    results.add(columns)
                    finished_chunks += 1
                    warned.update(chunk_warned)
                    bar.update(int(counts[number]))
            except BatchError as exc:
                kept = f"; the {finished_chunks} finished chunks are kept in {store.folder}, run again with " \
                       f"--resume (resume=True) to compute the rest" if store else ""
                raise BatchError(f"{exc}{kept}") from exc.__cause__
        outcome, spent = scored(plan, results, backgrounds, stop_after, with_r, correction)
        del results
        outcome.attrs.update({
            "source": atlas.source, "backgrounds": backgrounds, "stop_after": stop_after, **spent,
            "correction": CORRECTIONS[correction],
            "exp_lambda": plan.notes["exp_lambda"], "possion_lambda": plan.notes["possion_lambda"],
            "exp_lambda_values": settings.fingerprint["exp_lambda"],
            "possion_lambda_values": dict(zip(atlas.chromosomes, map(float, plan.possion_lambda))),
            "states": plan.notes["states"], "states_method": chosen_states.method,
            "thresholds": list(chosen_states.thresholds), "distinct_tasks": plan.task_count,
            "warnings": dict(warned), "ombrix_version": version, "numpy_version": np.__version__,
            "seconds": round(time.perf_counter() - started, 3), "workers": workers_note, "notes": notes,
            "plan": planned, "chunks_kept": len(done),
        })
        if output_path is not None:
            assert store is not None
            try:
                write_table(outcome, output_path)
            except BatchError as exc:
                raise BatchError(f"{exc}; every chunk is kept in {store.folder}: run again with --resume "
                                 f"(resume=True) to write the table without computing anything") from None
            store.remove()
        return outcome


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
