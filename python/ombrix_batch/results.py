"""The results table: one row per (cell, chromosome), made from the results of
the distinct tasks; p- and q-values; written in batches of rows (a million
cells make tens of millions of rows, never held whole to be written) and
read back with its parameters."""
from __future__ import annotations

import csv
import functools
import hashlib
import json
import pathlib
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd

from .errors import BatchError, InputError
from .outputs import write_atomically, write_together
from .readers import TABLE_SUFFIXES
from .tasks import OK, STATUSES, UNDEFINED, Plan

OUTPUT_SUFFIXES = {suffix: TABLE_SUFFIXES[suffix] for suffix in (".parquet", ".tsv", ".csv")}
TABLE_DIGEST = "table_sha256"  # in a text table's parameters: the digest of the table they belong to
NAME_COLUMNS = ("cell", "chromosome")
BATCH_ROWS = 1 << 18  # rows made and written at once
ATTRS_KEY = b"PANDAS_ATTRS"  # where pandas keeps a frame's attrs in a Parquet file

# what the workers return for each task, and the width it is kept in: counts
# of backgrounds fit 32 bits, as the module counts them so
RESULT_TYPES = {"n_segments": np.int32, "rearrange_score": np.float64, "limit": np.float64,
                "num_greater": np.int32, "backgrounds": np.int32}
R_TYPES = {"R": np.float64, "R_num_greater": np.int32, "R_backgrounds": np.int32}
INTEGER_COLUMNS = ("n_positions", "n_segments", "num_greater", "backgrounds", "R_num_greater", "R_backgrounds")


class TaskResults:
    """Each distinct task's results, filled in as chunks finish (or are read back)."""

    def __init__(self, task_count: int, with_r: bool) -> None:
        types = {**RESULT_TYPES, **(R_TYPES if with_r else {})}
        self.columns = {name: np.zeros(task_count, dtype=kind) for name, kind in types.items()}
        self.filled = np.zeros(task_count, dtype=bool)

    def add(self, columns: dict[str, Any]) -> None:
        tasks = np.asarray(columns["task"], dtype=np.int64)
        for name, values in self.columns.items():
            values[tasks] = columns[name]
        self.filled[tasks] = True

    def missing(self) -> int:
        return int(np.count_nonzero(~self.filled))


@functools.cache
def status_dtype() -> pd.CategoricalDtype:
    """The status column's categories, made once."""
    return pd.CategoricalDtype(list(STATUSES))


def sequential_pvalues(reached: np.ndarray, run: np.ndarray, backgrounds: int, stop_after: int) -> np.ndarray:
    """Besag and Clifford's sequential p-values: h / n for a task stopped at
    its h-th reaching background after n of them, (k + 1) / (N + 1) for one
    that drew all N with k < h reaching (every task, when stop_after is 0)."""
    reached, run = reached.astype(np.int64), run.astype(np.int64)
    stopped = (stop_after > 0) & (reached == stop_after) & (run > 0)
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(stopped, reached / run, (reached + 1) / (backgrounds + 1))


def fdr_of_groups(pvalues: np.ndarray, counts: np.ndarray, method: str) -> np.ndarray:
    """The q-values scipy.stats.false_discovery_control gives a vector in which
    pvalues[k] appears counts[k] times, one per entry of `pvalues`, without
    making that vector (tens of millions of rows share a few million tasks).
    Equal p-values get equal q-values; after the sort, the last copy of
    pvalues[k] stands at rank R = counts up to it, and scipy's q there is
    min over later ranks of p * (m / R), clipped to 1: the same operations,
    so the same bits."""
    if not len(pvalues):
        return np.zeros(0)
    m = int(counts.sum())
    order = np.argsort(pvalues, kind="stable")
    ranks = np.cumsum(counts[order]).astype(np.float64)
    adjusted = pvalues[order] * (m / ranks)
    if method == "by":
        adjusted *= np.sum(1 / np.arange(1, m + 1, dtype=np.float64))
    np.minimum.accumulate(adjusted[::-1], out=adjusted[::-1])
    qvalues = np.empty(len(pvalues))
    qvalues[order] = np.clip(adjusted, 0.0, 1.0)
    return qvalues


@dataclass
class Scored:
    """A run's results: the plan's rows and, per distinct task, every column
    of the table but the names (`by_task`, the status as codes). The table is
    made from these, whole (`table`) or a batch of rows at a time."""

    plan: Plan
    by_task: dict[str, np.ndarray]
    columns: list[str]
    attrs: dict[str, Any] = field(default_factory=dict)
    row_counts: np.ndarray = field(default_factory=lambda: np.zeros(0, dtype=np.int64))

    def __post_init__(self) -> None:
        self.cell_type = pd.CategoricalDtype(self.plan.cells)
        self.chromosome_type = pd.CategoricalDtype(self.plan.chromosomes)
        self.status_type = status_dtype()

    def __len__(self) -> int:
        return len(self.plan.row_task)

    def rows_at(self, index: np.ndarray, cells: pd.CategoricalDtype | None = None, cell_offset: int = 0) -> \
            pd.DataFrame:
        """The table's rows at these positions (`cells`: the cell categories to
        use, the codes less `cell_offset`)."""
        width = max(1, len(self.plan.chromosomes))
        index = np.asarray(index, dtype=np.int64)
        task = self.plan.row_task[index]
        columns: dict[str, Any] = {
            "cell": pd.Categorical.from_codes(index // width - cell_offset, dtype=cells or self.cell_type),
            "chromosome": pd.Categorical.from_codes(index % width, dtype=self.chromosome_type)}
        for name in self.columns[2:]:
            values = self.by_task[name][task]
            if name == "status":
                columns[name] = pd.Categorical.from_codes(values, dtype=self.status_type)
            else:
                columns[name] = values.astype(np.int64) if name in INTEGER_COLUMNS else values
        return pd.DataFrame(columns, copy=False)  # one frame at once: inserting column by column costs more

    def table(self) -> pd.DataFrame:
        frame = self.rows_at(np.arange(len(self)))
        frame.attrs.update(self.attrs)
        return frame

    def batches(self, rows: int = BATCH_ROWS, compact: bool = False) -> Iterator[pd.DataFrame]:
        """The table a batch of rows at a time; `compact`: each batch's cell
        categories are its own cells alone (a Parquet row group stores them)."""
        width = max(1, len(self.plan.chromosomes))
        rows = max(width, rows - rows % width)  # whole cells
        for first in range(0, len(self), rows):
            index = np.arange(first, min(first + rows, len(self)))
            if not compact:
                yield self.rows_at(index)
                continue
            low, high = first // width, (index[-1] // width) + 1
            yield self.rows_at(index, pd.CategoricalDtype(self.plan.cells[low:high]), low)

    def best(self, tasks: np.ndarray, by: list[str], top: int) -> pd.DataFrame:
        """The `top` rows of these tasks (a mask) when sorted by `by` (ties in
        table order), as `table().sort_values(by).head(top)` gives them."""
        ids = np.flatnonzero(tasks)
        if not len(ids) or top <= 0:
            return self.rows_at(np.zeros(0, dtype=np.int64))
        keys = [self.by_task[name][ids] for name in by]
        order = np.lexsort(keys[::-1])
        enough = min(int(np.searchsorted(np.cumsum(self.row_counts[ids][order]), top)), len(order) - 1)
        # every task that sorts no later than the one that completes `top` rows
        last = [key[order[enough]] for key in keys]
        earlier = np.zeros(len(ids), dtype=bool)
        tied = np.ones(len(ids), dtype=bool)
        for key, bound in zip(keys, last):
            earlier |= tied & (key < bound)
            tied &= key == bound
        chosen = np.zeros(self.plan.task_count, dtype=bool)
        chosen[ids[earlier | tied]] = True
        rows = self.rows_at(np.flatnonzero(chosen[self.plan.row_task]))
        return rows.sort_values(by, kind="stable").head(top).reset_index(drop=True)

    def count_rows(self, tasks: np.ndarray) -> tuple[int, int]:
        """How many rows these tasks (a mask) have, and in how many cells."""
        if not tasks.any():
            return 0, 0
        rows = np.flatnonzero(tasks[self.plan.row_task])
        return len(rows), len(np.unique(rows // max(1, len(self.plan.chromosomes))))


def scored(plan: Plan, results: TaskResults, backgrounds: int, stop_after: int, with_r: bool,
           correction: str) -> tuple[Scored, dict[str, Any]]:
    """The table's columns per task, and what the backgrounds cost."""
    missing = results.missing()
    if missing:
        raise BatchError(f"{missing} tasks have no result")
    got = results.columns
    status = plan.task_status.copy()
    # a NaN score (two segments of one length, say) is reached by no
    # background: it is no evidence of anything
    status[(status == OK) & np.isnan(got["rearrange_score"])] = UNDEFINED
    counts = np.bincount(plan.row_task, minlength=plan.task_count)
    testable = status == OK
    pvalues = np.where(status == UNDEFINED, np.nan,
                       sequential_pvalues(got["num_greater"], got["backgrounds"], backgrounds, stop_after))
    qvalues = np.full(plan.task_count, np.nan)
    qvalues[testable] = fdr_of_groups(pvalues[testable], counts[testable], correction)
    by_task = {"n_positions": plan.task_positions, **{k: got[k] for k in RESULT_TYPES}, "pval": pvalues,
               "qval": qvalues}
    if with_r:
        r_pvalues = sequential_pvalues(got["R_num_greater"], got["R_backgrounds"], backgrounds, stop_after)
        by_task.update({k: got[k] for k in R_TYPES})
        by_task["R_pval"] = np.where(np.isnan(got["R"]), np.nan, r_pvalues)
    by_task["status"] = status
    run = got["backgrounds"].astype(np.int64)
    by_status = np.bincount(status, weights=counts, minlength=len(STATUSES)).astype(np.int64)
    spent = {"backgrounds_run": int(run.sum()),
             "backgrounds_per_task": round(float(run.mean()), 2) if len(run) else 0.0,
             "testable": int(counts[testable].sum()), "status_counts": dict(zip(STATUSES, map(int, by_status)))}
    return Scored(plan, by_task, [*NAME_COLUMNS, *by_task], row_counts=counts), spent


def table_files(path: pathlib.Path) -> dict[str, pathlib.Path]:
    """What a table output writes: the table and, for a text table, its parameters beside it."""
    files = {"the table": path}
    if OUTPUT_SUFFIXES.get(path.suffix) is not None:
        files["the table's parameters"] = path.with_name(path.name + ".json")
    return files


def write_parquet(results: Scored, temporary: str, rows: int) -> None:
    import pyarrow as pa
    import pyarrow.parquet as pq

    writer = None
    try:
        for batch in results.batches(rows, compact=True):
            table = pa.Table.from_pandas(batch, preserve_index=False)
            if writer is None:
                # cell codes in 32 bits in every row group, whatever its cells
                cell = pa.field("cell", pa.dictionary(pa.int32(), pa.string()))
                schema = table.schema.set(0, cell)
                schema = schema.with_metadata({**(schema.metadata or {}), ATTRS_KEY: json.dumps(results.attrs)})
                writer = pq.ParquetWriter(temporary, schema)
            writer.write_table(table.cast(writer.schema))
        if writer is None:  # no rows: the columns alone
            empty = results.rows_at(np.zeros(0, dtype=np.int64))
            empty.attrs.update(results.attrs)
            empty.to_parquet(temporary, index=False)
    finally:
        if writer is not None:
            writer.close()


def write_table(results: Scored, path: pathlib.Path, rows: int = BATCH_ROWS) -> None:
    """The table and its parameters written in full, then put in place together."""
    separator = OUTPUT_SUFFIXES[path.suffix]
    if separator is None:
        write_atomically(path, lambda temporary: write_parquet(results, temporary, rows))
        return
    sidecar = table_files(path)["the table's parameters"]
    digest = {}

    def write_text_table(temporary: str) -> None:
        with open(temporary, "w", newline="") as handle:
            written = False
            for batch in results.batches(rows):
                batch.to_csv(handle, sep=separator, index=False, header=not written)
                written = True
            if not written:
                results.rows_at(np.zeros(0, dtype=np.int64)).to_csv(handle, sep=separator, index=False)
        digest[TABLE_DIGEST] = file_sha256(temporary)

    def write_parameters(temporary: str) -> None:
        # the table's digest ties the two: a stop between the two renames is found on reading
        pathlib.Path(temporary).write_text(json.dumps({**results.attrs, **digest}, indent=1))

    write_together([(path, write_text_table), (sidecar, write_parameters)])


def file_sha256(path: str | pathlib.Path) -> str:
    with open(path, "rb") as handle:
        return hashlib.file_digest(handle, "sha256").hexdigest()


def read_results(path: str | pathlib.Path) -> pd.DataFrame:
    """A table written by `ombrix score`, with its parameters in `.attrs`."""
    path = pathlib.Path(path)
    if not path.exists():
        raise InputError(f"{path}: no such file")
    separator = TABLE_SUFFIXES.get(path.suffix, ",")  # another suffix: read as the CSV it most likely is
    if separator is None:
        return pd.read_parquet(path)
    with open(path, newline="") as handle:
        header = next(csv.reader(handle, delimiter=separator), [])
    # names as written ("0000", "NA" and "#" included); an empty number is
    # NaN; numbers to the last bit (pandas' default parser is not exact)
    table = pd.read_csv(path, sep=separator, dtype={c: str for c in NAME_COLUMNS}, keep_default_na=False,
                        na_values={c: [""] for c in header if c not in NAME_COLUMNS}, float_precision="round_trip")
    sidecar = path.with_name(path.name + ".json")
    if sidecar.exists():
        try:
            attrs = json.loads(sidecar.read_text())
        except (OSError, ValueError) as exc:
            raise InputError(f"{sidecar}: the table's parameters cannot be read ({exc})") from None
        belongs_to = attrs.pop(TABLE_DIGEST, None)
        if belongs_to is not None and belongs_to != file_sha256(path):
            raise InputError(f"{sidecar} holds the parameters of another version of {path} (a run was stopped "
                             f"while it wrote them): score again with --resume to write both")
        table.attrs = attrs
    return table
