"""From an atlas to tasks: one row per (cell, chromosome), the per-cell and
per-chromosome lambdas, and the distinct tasks (same values, same picked
lambdas) that are computed once each."""
from __future__ import annotations

import hashlib
import json
import math
import numbers
import os
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd
import scipy.sparse as sp

from . import _native
from .atlas import Atlas, canonical, csr_rows, dense_float64
from .errors import InputError
from .states import States, check_values, not_finite_error, not_integer_error

DEFAULT_EXP_LAMBDA = 1.0
EXP_LAMBDA_DEFAULT_NOTE = ("1.0 for every cell (the cut weights are normalised, so any positive scale gives "
                           "nearly the same backgrounds)")
DEFAULT_POSSION_LAMBDA = 20.0
POSSION_LAMBDA_DEFAULT_NOTE = ("20.0 for every chromosome (a background with 2 cuts or fewer scores +inf and "
                               "counts against the profile, so the mean cut count must be well above 2: at 20 "
                               "that happens in fewer than 1 in 10^6 backgrounds)")


@dataclass
class Plan:
    """Rows go cell by cell, chromosomes in order within a cell (row r is cell
    r // C, chromosome r % C), so a row is its task alone: `row_task`. Each
    distinct task has the (cell, chromosome) of its first row, its length
    and status; `exp_lambda` and `possion_lambda`: the values the module is
    handed, after the fallback; `fingerprint`: everything the results depend
    on, for resuming. A few bytes a row: an atlas has tens of millions."""

    cells: list[str]
    chromosomes: list[str]
    row_task: np.ndarray
    task_cell: np.ndarray
    task_chromosome: np.ndarray
    task_positions: np.ndarray
    task_status: np.ndarray  # codes into STATUSES
    exp_lambda: np.ndarray
    possion_lambda: np.ndarray
    notes: dict[str, str]
    fingerprint: dict[str, Any]

    @property
    def task_count(self) -> int:
        return len(self.task_cell)

    def rows(self, first: int = 0, stop: int | None = None) -> pd.DataFrame:
        """Rows first..stop-1: cell, chromosome, n_positions, task and status."""
        stop = len(self.row_task) if stop is None else stop
        index = np.arange(first, stop, dtype=np.int64)
        task = self.row_task[first:stop]
        width = max(1, len(self.chromosomes))
        return pd.DataFrame({
            "cell": pd.Categorical.from_codes(index // width, self.cells),
            "chromosome": pd.Categorical.from_codes(index % width, self.chromosomes),
            "n_positions": self.task_positions[task], "task": task.astype(np.int64),
            "status": pd.Categorical.from_codes(self.task_status[task], STATUSES),
        })

    ARRAYS = ("row_task", "task_cell", "task_chromosome", "task_positions", "task_status", "exp_lambda",
              "possion_lambda")

    def save(self, path: Any) -> None:
        """The plan in one .npz (names and notes as JSON beside the arrays)."""
        described = json.dumps({"cells": self.cells, "chromosomes": self.chromosomes, "notes": self.notes,
                                "fingerprint": self.fingerprint})
        with open(path, "wb") as handle:
            np.savez(handle, described=np.frombuffer(described.encode(), dtype=np.uint8),
                     **{name: getattr(self, name) for name in self.ARRAYS})

    @classmethod
    def load(cls, path: Any) -> Plan:
        with np.load(path, allow_pickle=False) as stored:
            described = json.loads(stored["described"].tobytes())
            return cls(described["cells"], described["chromosomes"],
                       **{name: stored[name] for name in cls.ARRAYS},
                       notes=described["notes"], fingerprint=described["fingerprint"])


# What the module's backgrounds can use: a positive scale for the cut weights
# (normalised, but they must neither vanish nor overflow when summed) and a
# positive mean cut count (NumPy's Poisson draw refuses huge means, and each
# background draws that many weights).
LAMBDA_RANGES = {"exp_lambda": (1e-300, 1e300), "possion_lambda": (1e-300, 1e7)}
FEW_CUTS = 3.0  # a mean cut count below this makes most backgrounds score +inf


def check_scalar(value: Any, what: str) -> None:
    """A number given for every item, checked before the atlas is read."""
    if value is None or not isinstance(value, numbers.Real) or isinstance(value, bool):
        return
    low, high = LAMBDA_RANGES[what]
    if not low <= float(value) <= high:
        raise InputError(f"{what} must be a positive finite number ({low:g} to {high:g}), not {value!r}")


def per_item(value: Any, names: list[str], what: str, kind: str, default: np.ndarray) -> np.ndarray:
    """A scalar, a vector with one entry per name, or a mapping from name to value
    (names left out are NaN, which the module replaces by the mean of the rest)."""
    if value is None:
        return default
    if isinstance(value, bool):
        raise InputError(f"{what} must be a number, a sequence or a mapping, not {value!r}")
    if isinstance(value, numbers.Real):
        return np.full(len(names), float(value))
    if isinstance(value, Mapping):
        unknown = set(map(str, value)) - set(names)
        if unknown:
            raise InputError(f"{what}: no {kind} named {sorted(unknown)[:5]}")
        try:
            by_name = {str(k): float(v) for k, v in value.items()}
        except (TypeError, ValueError) as exc:
            raise InputError(f"{what}: every value must be a number ({exc})") from None
        return np.array([by_name.get(n, math.nan) for n in names], dtype=np.float64)
    if isinstance(value, (Sequence, np.ndarray, pd.Series)) and not isinstance(value, (str, bytes)):
        try:
            vector = np.asarray(value, dtype=np.float64).ravel()
        except (TypeError, ValueError) as exc:
            raise InputError(f"{what}: every entry must be a number ({exc})") from None
        if vector.shape[0] != len(names):
            raise InputError(f"{what} has {vector.shape[0]} entries for {len(names)} items")
        return vector
    raise InputError(f"{what} must be a number, a sequence or a mapping, not {type(value).__name__}")


def with_fallback(vector: np.ndarray, names: list[str], what: str) -> np.ndarray:
    """The values the module uses: a NaN entry is the mean of the others, by the
    module's own statement (so passing these gives the module's numbers), and
    every value must lie in the range the backgrounds can use."""
    missing = np.isnan(vector)
    if len(vector) and missing.all():
        raise InputError(f"{what}: no entry is a number, so there is nothing to fall back to; give at least one")
    if missing.any():
        vector = np.where(missing, np.mean(vector, where=~missing), vector)
    low, high = LAMBDA_RANGES[what]
    bad = np.flatnonzero(~((vector >= low) & (vector <= high)))
    if len(bad):
        raise InputError(f"{what} must be positive finite numbers ({low:g} to {high:g}); "
                         f"{names[bad[0]]!r} has {float(vector[bad[0]])!r}")
    return vector


def summarised(values: np.ndarray, names: list[str], per_name: bool) -> Any:
    """The lambdas used, for the fingerprint and the table's parameters: one
    number when they are all equal, else by name (chromosomes) or as a digest
    with their range (cells, which can be millions)."""
    if len(values) and (values == values[0]).all():
        return float(values[0])
    if per_name:
        return dict(zip(names, map(float, values)))
    digest = hashlib.blake2b(np.ascontiguousarray(values).tobytes(), digest_size=16).hexdigest()
    return {"min": float(values.min()), "max": float(values.max()), "digest": digest}


def lambda_note(given: Any, vector: np.ndarray, used: np.ndarray, names: list[str], default_note: str) -> str:
    if given is None:
        return default_note
    missing = [n for n, v in zip(names, vector) if math.isnan(v)]
    if not missing:
        return "given"
    listed = ", ".join(missing[:5]) + (f" and {len(missing) - 5} more" if len(missing) > 5 else "")
    return f"given; {listed} fall back to the mean of the others, {used[names.index(missing[0])]:.6g}"


STATUSES = ("ok", "constant", "too short", "undefined")
OK, CONSTANT, TOO_SHORT, UNDEFINED = range(len(STATUSES))
PLAN_ROWS = 2048  # cells planned at once: fixed, as the profiles' digest follows the panels
KEY = np.dtype("V16")  # a distinct profile's digest (its bytes and its cell's exp_lambda)


@dataclass
class Panel:
    """What the plan needs of one panel, computed where its values are (in a
    worker, when the plan is made in parallel): one representative row, key
    and status per distinct profile, and each row's distinct profile."""

    chromosome: int
    cells: np.ndarray
    length: int
    representatives: np.ndarray  # a row of each distinct profile
    status: np.ndarray  # each distinct profile's status
    keys: np.ndarray  # each distinct profile's KEY
    inverse: np.ndarray  # each row's distinct profile


@dataclass
class BadValue:
    """The first value of a block that cannot be scored: not finite, or not
    an integer where integer copy states are asked for."""

    cell: int
    column: int
    value: float
    finite: bool


def key_bytes(rows: np.ndarray, exp_rows: np.ndarray) -> np.ndarray:
    """Each row's values and then its exp_lambda, as bytes (one row each)."""
    count, length = rows.shape
    width = rows.dtype.itemsize
    keyed = np.empty((count, length * width + 8), dtype=np.uint8)
    keyed[:, :length * width].view(rows.dtype)[...] = rows
    keyed[:, length * width:].view(np.float64)[:, 0] = exp_rows
    return keyed


def digests(keyed: np.ndarray) -> np.ndarray:
    """Each row's KEY: the digest of its bytes."""
    return np.frombuffer(b"".join(hashlib.blake2b(row, digest_size=16).digest() for row in keyed), dtype=KEY)


def first_of_each(keys: np.ndarray) -> np.ndarray:
    """For each row of `keys` (bytes, one row each), the index of the first
    row with the same bytes."""
    items = keys.view(np.dtype((np.void, keys.shape[1]))).reshape(-1)
    _, first, inverse = np.unique(items, return_index=True, return_inverse=True)
    return np.asarray(first[inverse.reshape(-1)])


SCANNED_TYPES = (np.dtype(np.float64), np.dtype(np.int8), np.dtype(np.int64))  # the copy states' dtypes


def changing(dense: np.ndarray, ranges: list[tuple[int, int]]) -> np.ndarray:
    """Whether each row of each panel (a range of the columns) changes value
    somewhere, by value (NaN differs from all): (panels, rows) bools, from one
    native pass over the block in its order instead of a temporary per panel."""
    if dense.dtype not in SCANNED_TYPES:
        if dense.dtype.kind not in "biuf" or dense.dtype.itemsize > 4:
            raise TypeError(f"copy states of dtype {dense.dtype} are not compared exactly as float64")
        dense = dense.astype(np.float64)  # the same values (up to 32 bits), so the same changes
    starts = np.array([a for a, _ in ranges], dtype=np.int64)
    stops = np.array([b for _, b in ranges], dtype=np.int64)
    return np.asarray(_native.row_changes(np.ascontiguousarray(dense), starts, stops))


def summarised_panel(j: int, cells: np.ndarray, values: np.ndarray, exp_cells: np.ndarray) -> Panel:
    """`values`: the panel's copy states, one row per cell (any 2-D layout), in
    any dtype that holds them exactly (a row's bytes and its cell's
    exp_lambda are its key). One representative row per distinct profile
    (its bytes, so -0.0 is not 0.0); a constant profile is told apart by its
    first value and lambda alone, which most of an atlas is, so only the
    others' rows are compared whole."""
    panel = summarised_panels(cells, values, [(0, values.shape[1])], exp_cells)[0]
    panel.chromosome = j
    return panel


def summarised_panels(cells: np.ndarray, dense: np.ndarray, ranges: list[tuple[int, int]],
                      exp_cells: np.ndarray) -> list[Panel]:
    """summarised_panel for each chromosome of a block, made for all its
    panels at once where that can be (the constant rows grouped with each
    key led by its panel's number, the representatives numbered and their
    statuses set): a small atlas's panels cost a few calls each, not a dozen.
    `dense` may be any 2-D layout."""
    exp_cells = np.asarray(exp_cells, dtype=np.float64)
    count, width, panels = dense.shape[0], dense.dtype.itemsize, len(ranges)
    constant = ~changing(dense, ranges)
    panel_of, row_of = np.nonzero(constant)  # panel by panel, rows in order
    rows_of = np.empty((panels, count), dtype=np.int64)
    if len(panel_of):
        keyed = np.zeros((len(panel_of), 8 + width + 8), dtype=np.uint8)
        keyed[:, :8].view(np.int64)[:, 0] = panel_of
        # each row's first value; an empty panel has none, and its rows are told apart by their lambda
        firsts = np.array([a if b > a else -1 for a, b in ranges], dtype=np.int64)[panel_of]
        has_first = firsts >= 0
        keyed[has_first, 8:8 + width] = dense[row_of[has_first], firsts[has_first]].reshape(-1, 1).view(np.uint8)
        keyed[:, 8 + width:].view(np.float64)[:, 0] = exp_cells[row_of]
        rows_of[panel_of, row_of] = row_of[first_of_each(keyed)]
    for j in np.flatnonzero(~constant.all(axis=1)).tolist():  # the others compared whole, panel by panel
        a, b = ranges[j]
        varying = np.flatnonzero(~constant[j])
        rows_of[j, varying] = varying[first_of_each(key_bytes(dense[varying, a:b], exp_cells[varying]))]
    # the representatives in row order and each row's among them: np.unique's
    # result, without its sort (the rows are numbers below `count`)
    chosen = np.zeros((panels, count), dtype=bool)
    chosen[np.arange(panels)[:, None], rows_of] = True
    representative_panel, representatives = np.nonzero(chosen)
    inverse = np.take_along_axis(np.cumsum(chosen, axis=1) - 1, rows_of, axis=1)
    lengths = np.array([b - a for a, b in ranges], dtype=np.int64)
    status = np.where(lengths[representative_panel] < 3, TOO_SHORT,
                      np.where(constant[representative_panel, representatives], CONSTANT, OK)).astype(np.int8)
    bounds = np.r_[0, np.cumsum(chosen.sum(axis=1))].tolist()
    made = []
    for j, (a, b) in enumerate(ranges):
        rows = representatives[bounds[j]:bounds[j + 1]]
        keys = digests(key_bytes(dense[rows, a:b], exp_cells[rows]))
        made.append(Panel(j, cells, b - a, rows, status[bounds[j]:bounds[j + 1]], keys, inverse[j]))
    return made


CHECKED_AT_ONCE = 1 << 16  # values checked per pass: a buffer that stays in cache


def all_good(values: np.ndarray, integer: bool) -> bool:
    """Whether every value is finite (and an integer, if asked), a stretch at
    a time: x - rint(x) is 0 for a finite integer and nonzero or NaN for
    anything else, one pass for both checks without a block-sized temporary."""
    flat = values.reshape(-1)
    buffer = np.empty(min(len(flat), CHECKED_AT_ONCE))
    for at in range(0, len(flat), CHECKED_AT_ONCE):
        part = flat[at:at + CHECKED_AT_ONCE]
        room = buffer[:len(part)]
        if integer:
            np.rint(part, out=room)
            np.subtract(part, room, out=room)
        else:
            np.subtract(part, part, out=room)  # 0 for a finite value, NaN otherwise
        if room.any():
            return False
    return True


def first_bad_value(block: Any, states: States, first: int) -> BadValue | None:
    """Where a block's values (dense, or CSR with its columns in order) first
    fail the checks, row by row; a sparse block's unstored zeros pass them,
    so only its stored values are read."""
    values = block.data if sp.issparse(block) else np.asarray(block)
    integer = states.method == "integer"
    with np.errstate(invalid="ignore"):
        if all_good(values, integer):
            return None
    for finite, bad in ((False, ~np.isfinite(values)), (True, (values != np.round(values)) if integer else None)):
        if bad is None or not bad.any():
            continue
        at = int(np.flatnonzero(bad)[0])
        if sp.issparse(block):
            row = int(np.searchsorted(block.indptr, at, side="right")) - 1
            return BadValue(first + row, int(block.indices[at]), float(values[at]), finite)
        row, column = divmod(at, block.shape[1])
        return BadValue(first + row, column, float(block[row, column]), finite)
    return None


def summarised_block(source: Any, low: int, high: int, first: int, ranges: list[tuple[int, int]],
                     states: States, exp_block: np.ndarray, dispatcher: int) -> list[Panel] | BadValue:
    """The panels of cells first.. (rows low..high of `source`: a block of the
    matrix, or the matrix in its file), one per chromosome, once its values
    are checked; run in a worker."""
    from .scoring import end_with_parent

    end_with_parent(dispatcher)
    block = csr_rows(source, low, high) if isinstance(source, sp.csr_matrix) else source[low:high]
    if sp.issparse(block):
        block = canonical(block)
    bad = first_bad_value(block, states, first)
    if bad is not None:
        return bad
    dense = states.compact(dense_float64(block))
    del block
    cells = np.arange(first, first + high - low, dtype=np.int64)
    return summarised_panels(cells, dense, ranges, exp_block)


def bad_value_error(atlas: Atlas, bad: BadValue) -> InputError:
    j = next(k for k, (start, stop) in enumerate(atlas.ranges) if start <= bad.column < stop)
    cell, chromosome, position = atlas.cells[bad.cell], atlas.chromosomes[j], bad.column - atlas.ranges[j][0]
    if not bad.finite:
        return not_finite_error(atlas.source, cell, chromosome, position, bad.value)
    return not_integer_error(atlas.source, bad.value)


def panels(atlas: Atlas, states: States, exp: np.ndarray, n_jobs: int) -> Iterator[Panel]:
    """The atlas's panels in their fixed order, its values checked on the
    way; a matrix of more than one block is read and summarised by `n_jobs`
    processes, each reading its own blocks."""
    if atlas.matrix is None:
        check_values(atlas, states)
        for j, cells, values in atlas.panels(states):
            yield summarised_panel(j, cells, values, exp[cells])
        return
    count = len(atlas.cells)
    jobs = ((*atlas.block_source(first, min(first + PLAN_ROWS, count)), first, atlas.ranges, states,
             exp[first:first + PLAN_ROWS], os.getpid()) for first in range(0, count, PLAN_ROWS))
    if n_jobs == 1 or count <= PLAN_ROWS:
        blocks: Iterator[list[Panel] | BadValue] = (summarised_block(*job) for job in jobs)
    else:
        from joblib import Parallel, delayed

        # processes, in order (the digest follows the panels), a few blocks ahead
        blocks = Parallel(n_jobs=n_jobs, backend="loky", return_as="generator", pre_dispatch="2*n_jobs")(
            delayed(summarised_block)(*job) for job in jobs)
    for block in blocks:
        if isinstance(block, BadValue):
            raise bad_value_error(atlas, block)
        yield from block


def plan_rows(atlas: Atlas, states: States, exp: np.ndarray, possion: np.ndarray,
              n_jobs: int = 1) -> tuple[dict[str, np.ndarray], str]:
    """Each row's task and each task's first (cell, chromosome), length and
    status, and a digest of every profile. A task is the bits of its values
    and of the two lambdas its backgrounds use (the module is handed the
    lambdas after the fallback). Equal profiles are found a panel at a time,
    then across panels, by np.unique over their keys: the work here is per
    distinct profile, and tasks are numbered as they are first met."""
    width = len(atlas.chromosomes)
    digest = hashlib.blake2b(json.dumps([atlas.cells, atlas.chromosomes]).encode(), digest_size=16)
    possion_keys = np.frombuffer(np.asarray(possion, dtype="<f8").tobytes(), dtype="V8")
    rows = len(atlas.cells) * width
    index_type = np.int32 if rows < 2**31 else np.int64
    # first each row's place among the panels' keys, then its task
    row_key: npt.NDArray[np.signedinteger[Any]] = np.empty(rows, dtype=index_type)
    keys, cells_of, chromosomes_of, positions_of, status_of = [], [], [], [], []
    offset = 0
    for panel in panels(atlas, states, exp, n_jobs):
        j, cells, distinct = panel.chromosome, panel.cells, len(panel.keys)
        # the profiles' digest from each row's key: any change of a value changes it
        digest.update(cells.astype("<i8").tobytes())
        digest.update(panel.keys[panel.inverse].tobytes())
        combined = np.empty((distinct, 24), dtype=np.uint8)
        combined[:, :16] = panel.keys.view(np.uint8).reshape(distinct, 16)
        combined[:, 16:] = np.frombuffer(possion_keys[j].tobytes(), dtype=np.uint8)
        keys.append(combined.view("V24").reshape(-1))
        cells_of.append(cells[panel.representatives])
        chromosomes_of.append(np.full(distinct, j, dtype=np.int32))
        positions_of.append(np.full(distinct, panel.length, dtype=np.int32))
        status_of.append(panel.status)
        row_key[cells * width + j] = offset + panel.inverse
        offset += distinct
    every = np.concatenate(keys) if keys else np.zeros(0, dtype="V24")
    _, first, inverse = np.unique(every, return_index=True, return_inverse=True)
    del every, keys
    # tasks numbered in the order they are first met
    order = np.argsort(first, kind="stable")
    number = np.empty(len(first), dtype=index_type)
    number[order] = np.arange(len(first), dtype=index_type)
    task_of_key = number[inverse.reshape(-1)]
    np.take(task_of_key, row_key, out=row_key)
    chosen = first[order]
    columns = {"row_task": row_key}
    for name, parts, kind in (("task_cell", cells_of, np.int64), ("task_chromosome", chromosomes_of, np.int32),
                              ("task_positions", positions_of, np.int32), ("task_status", status_of, np.int8)):
        columns[name] = np.concatenate(parts)[chosen] if parts else np.zeros(0, dtype=kind)
    return columns, digest.hexdigest()


@dataclass
class Settings:
    """What a plan uses besides the values: the lambdas the module is handed,
    the notes on them, and the fingerprint of the parameters."""

    exp_lambda: np.ndarray
    possion_lambda: np.ndarray
    notes: dict[str, str]
    fingerprint: dict[str, Any]


@dataclass
class Lambdas:
    """The lambdas as given (NaN where a mapping left an item out) and as the
    module is handed them, after its fallback: one per cell (exp_lambda) and
    one per chromosome (possion_lambda)."""

    exp_given: np.ndarray
    possion_given: np.ndarray
    exp: np.ndarray
    possion: np.ndarray


def pick_lambdas(atlas: Atlas, exp_lambda: Any, possion_lambda: Any) -> Lambdas:
    """The one place where a task's lambdas are picked: the scoring and the
    profile figure both take theirs from here."""
    exp_given = per_item(exp_lambda, atlas.cells, "exp_lambda", "cell",
                         np.full(len(atlas.cells), DEFAULT_EXP_LAMBDA))
    possion_given = per_item(possion_lambda, atlas.chromosomes, "possion_lambda", "chromosome",
                             np.full(len(atlas.chromosomes), DEFAULT_POSSION_LAMBDA))
    return Lambdas(exp_given, possion_given, with_fallback(exp_given, atlas.cells, "exp_lambda"),
                   with_fallback(possion_given, atlas.chromosomes, "possion_lambda"))


def recorded_lambdas(atlas: Atlas, attrs: dict[str, Any], exp_lambda: Any = None) -> Lambdas:
    """The lambdas that a results table was scored with, from its parameters
    (`exp_lambda_values`, `possion_lambda_values`; the defaults where a table
    has none). Per-cell exp_lambda values are kept as a digest only: the same
    `exp_lambda` must be given again, and is checked against it."""
    recorded_exp = attrs.get("exp_lambda_values")
    if isinstance(recorded_exp, dict):
        if exp_lambda is None:
            raise InputError("the table was scored with an exp_lambda per cell, which it keeps as a digest only: "
                             "give the same exp_lambda again")
        lambdas = pick_lambdas(atlas, exp_lambda, attrs.get("possion_lambda_values"))
        if summarised(lambdas.exp, atlas.cells, per_name=False) != recorded_exp:
            raise InputError("exp_lambda is not the one the table was scored with (its digest differs)")
        return lambdas
    return pick_lambdas(atlas, recorded_exp if exp_lambda is None else exp_lambda,
                        attrs.get("possion_lambda_values"))


def plan_settings(atlas: Atlas, states: States, backgrounds: int, exp_lambda: Any, possion_lambda: Any,
                  with_r: bool, ombrix_version: str = "", stop_after: int = 0) -> Settings:
    lambdas = pick_lambdas(atlas, exp_lambda, possion_lambda)
    exp_given, possion_given, exp, possion = lambdas.exp_given, lambdas.possion_given, lambdas.exp, lambdas.possion
    notes = {
        "exp_lambda": lambda_note(exp_lambda, exp_given, exp, atlas.cells, EXP_LAMBDA_DEFAULT_NOTE),
        "possion_lambda": lambda_note(possion_lambda, possion_given, possion, atlas.chromosomes,
                                      POSSION_LAMBDA_DEFAULT_NOTE),
        "states": states.describe(),
    }
    if len(possion) and possion.min() < FEW_CUTS:
        notes["possion_lambda"] += (f" (below {FEW_CUTS:g} cuts on average most backgrounds have 2 cuts or fewer, "
                                    f"score +inf and count against every profile: expect p-values near 1)")
    # everything the kept results depend on, each under a name a user reads
    fingerprint = {
        "input": atlas.source, "states": states.describe(), "backgrounds": backgrounds, "stop_after": stop_after,
        "with_r": with_r,
        "exp_lambda": summarised(exp, atlas.cells, per_name=False),
        "possion_lambda": summarised(possion, atlas.chromosomes, per_name=True),
        "ombrix_version": ombrix_version,
    }
    return Settings(exp, possion, notes, fingerprint)


def make_plan(atlas: Atlas, states: States, backgrounds: int, exp_lambda: Any, possion_lambda: Any,
              with_r: bool, ombrix_version: str = "", stop_after: int = 0, n_jobs: int = 1,
              settings: Settings | None = None) -> Plan:
    if settings is None:
        settings = plan_settings(atlas, states, backgrounds, exp_lambda, possion_lambda, with_r, ombrix_version,
                                 stop_after)
    columns, digest = plan_rows(atlas, states, settings.exp_lambda, settings.possion_lambda, n_jobs)
    fingerprint = {**settings.fingerprint, "profiles": digest, "tasks": len(columns["task_cell"])}
    return Plan(atlas.cells, atlas.chromosomes, **columns, exp_lambda=settings.exp_lambda,
                possion_lambda=settings.possion_lambda, notes=settings.notes, fingerprint=fingerprint)
