"""From an atlas to tasks: one row per (cell, chromosome), the per-cell and
per-chromosome lambdas, and the distinct tasks (same values, same picked
lambdas) that are computed once each."""
from __future__ import annotations

import hashlib
import json
import math
import numbers
import os
import struct
from collections.abc import Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from .atlas import Atlas, dense_float64
from .errors import InputError
from .states import States

DEFAULT_EXP_LAMBDA = 1.0
EXP_LAMBDA_DEFAULT_NOTE = ("1.0 for every cell (the cut weights are normalised, so any positive scale gives "
                           "nearly the same backgrounds)")
DEFAULT_POSSION_LAMBDA = 20.0
POSSION_LAMBDA_DEFAULT_NOTE = ("20.0 for every chromosome (a background with 2 cuts or fewer scores +inf and "
                               "counts against the profile, so the mean cut count must be well above 2: at 20 "
                               "that happens in fewer than 1 in 10^6 backgrounds)")


@dataclass
class Plan:
    """`rows`: cell, chromosome, n_positions, status and the index of the
    row's task; `tasks`: for each distinct task, the (cell, chromosome)
    indexes of its first row; `exp_lambda` and `possion_lambda`: the values
    the module is handed, after the fallback; `fingerprint`: everything the
    results depend on, for resuming."""

    rows: pd.DataFrame
    tasks: list[tuple[int, int]]
    exp_lambda: np.ndarray
    possion_lambda: np.ndarray
    notes: dict[str, str]
    fingerprint: dict[str, Any]


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


def number_key(value: float) -> bytes:
    return struct.pack("<d", value)


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


@dataclass
class Panel:
    """What the plan needs of one panel, computed where its values are (in a
    worker, when the plan is made in parallel): each row's segment count,
    and one representative row, key and index per distinct profile."""

    chromosome: int
    cells: np.ndarray
    length: int
    changes: np.ndarray
    representatives: np.ndarray  # a row of each distinct profile
    keys: list[bytes]  # each distinct profile's digest (its bytes and its cell's exp_lambda)
    inverse: np.ndarray  # each row's distinct profile


def summarised_panel(j: int, cells: np.ndarray, values: np.ndarray, exp_cells: np.ndarray) -> Panel:
    length = values.shape[1]
    changes = np.count_nonzero(values[:, 1:] != values[:, :-1], axis=1)
    keyed = np.ascontiguousarray(np.column_stack([values, exp_cells]))
    # one representative row per distinct profile (its bytes, so -0.0 is
    # not 0.0); a constant profile is told apart by its value and lambda
    # alone, which most of an atlas is
    constant = changes == 0
    rows_of = np.empty(len(cells), dtype=np.int64)
    for chosen, columns_used in ((constant, [0, length] if length else [length]), (~constant, None)):
        where = np.flatnonzero(chosen)
        if not len(where):
            continue
        part = keyed[where] if columns_used is None else np.ascontiguousarray(keyed[where][:, columns_used])
        items = part.view(np.dtype((np.void, part.shape[1] * 8))).reshape(-1)
        _, first, inverse = np.unique(items, return_index=True, return_inverse=True)
        rows_of[where] = where[first][inverse.reshape(-1)]
    representatives, inverse = np.unique(rows_of, return_inverse=True)
    keys = [hashlib.blake2b(keyed[row], digest_size=16).digest() for row in representatives]
    return Panel(j, cells, length, changes, representatives, keys, inverse.reshape(-1))


def summarised_block(source: Any, low: int, high: int, first: int, ranges: list[tuple[int, int]],
                     states: States, exp_block: np.ndarray, dispatcher: int) -> list[Panel]:
    """The panels of cells first.. (rows low..high of `source`: a block of the
    matrix, or the matrix in its file), one per chromosome; run in a worker."""
    from .scoring import end_with_parent

    end_with_parent(dispatcher)
    block = source[low:high]
    dense = states.apply(dense_float64(block))
    cells = np.arange(first, first + high - low, dtype=np.int64)
    return [summarised_panel(j, cells, np.ascontiguousarray(dense[:, a:b]), exp_block) for j, (a, b) in
            enumerate(ranges)]


def panels(atlas: Atlas, states: States, exp: np.ndarray, n_jobs: int) -> Iterator[Panel]:
    """The atlas's panels in their fixed order, made by `n_jobs` processes
    where the atlas is a matrix of more than one block."""
    if atlas.matrix is None or n_jobs == 1 or len(atlas.cells) <= PLAN_ROWS:
        for j, cells, values in atlas.panels(states, PLAN_ROWS):
            yield summarised_panel(j, cells, values, exp[cells])
        return
    from joblib import Parallel, delayed

    blocks = range(0, len(atlas.cells), PLAN_ROWS)
    jobs = (delayed(summarised_block)(*atlas.block_source(first, min(first + PLAN_ROWS, len(atlas.cells))), first,
                                      atlas.ranges, states, exp[first:first + PLAN_ROWS], os.getpid())
            for first in blocks)
    # processes, in order (the digest follows the panels), a few blocks ahead
    for block in Parallel(n_jobs=n_jobs, backend="loky", return_as="generator", pre_dispatch="2*n_jobs")(jobs):
        yield from block


def plan_rows(atlas: Atlas, states: States, exp: np.ndarray, possion: np.ndarray,
              n_jobs: int = 1) -> tuple[pd.DataFrame, list[tuple[int, int]], str]:
    """One row per (cell, chromosome) with its task, the distinct tasks (the
    first (cell, chromosome) of each), and a digest of every profile. A task
    is the bits of its values and of the two lambdas its backgrounds use
    (the module is handed the lambdas after the fallback); equal profiles
    are found a panel at a time (np.unique over their bits), so the work
    here is per distinct profile, not per profile."""
    digest = hashlib.blake2b(json.dumps([atlas.cells, atlas.chromosomes]).encode(), digest_size=16)
    possion_keys = [number_key(v) for v in possion]
    task_of: dict[bytes, int] = {}
    tasks: list[tuple[int, int]] = []
    parts: dict[str, list[np.ndarray]] = {"cell": [], "chromosome": [], "n_positions": [], "task": [],
                                          "segments": []}
    for panel in panels(atlas, states, exp, n_jobs):
        j, cells = panel.chromosome, panel.cells
        ids = np.empty(len(panel.keys), dtype=np.int64)
        for u, key in enumerate(panel.keys):
            found = task_of.setdefault(key + possion_keys[j], len(tasks))
            if found == len(tasks):
                tasks.append((int(cells[panel.representatives[u]]), j))
            ids[u] = found
        # the profiles' digest from each row's key: any change of a value changes it
        digest.update(cells.astype("<i8").tobytes())
        digest.update(np.frombuffer(b"".join(panel.keys), dtype="V16")[panel.inverse].tobytes())
        parts["cell"].append(cells)
        parts["chromosome"].append(np.full(len(cells), j, dtype=np.int64))
        parts["n_positions"].append(np.full(len(cells), panel.length, dtype=np.int64))
        parts["task"].append(ids[panel.inverse])
        parts["segments"].append(panel.changes + 1 if panel.length else np.zeros(len(cells), dtype=np.int64))
    columns = {k: np.concatenate(v) if v else np.zeros(0, dtype=np.int64) for k, v in parts.items()}
    order = np.lexsort((columns["chromosome"], columns["cell"]))  # cell by cell, chromosomes in order
    columns = {k: v[order] for k, v in columns.items()}
    n_positions, segments = columns["n_positions"], columns["segments"]
    # codes into STATUSES; a few bytes a row, as an atlas has tens of millions
    status = np.where(n_positions < 3, TOO_SHORT, np.where(segments == 1, CONSTANT, OK)).astype(np.int8)
    empty = not len(order)
    rows = pd.DataFrame({
        "cell": [] if empty else pd.Categorical.from_codes(columns["cell"].astype(np.int32), atlas.cells),
        "chromosome": [] if empty else pd.Categorical.from_codes(columns["chromosome"].astype(np.int32),
                                                                 atlas.chromosomes),
        "n_positions": n_positions.astype(np.int32), "task": columns["task"],
        "status": pd.Categorical.from_codes(status, STATUSES),
    })
    return rows, tasks, digest.hexdigest()


def make_plan(atlas: Atlas, states: States, backgrounds: int, exp_lambda: Any, possion_lambda: Any,
              with_r: bool, ombrix_version: str = "", stop_after: int = 0, n_jobs: int = 1) -> Plan:
    exp_given = per_item(exp_lambda, atlas.cells, "exp_lambda", "cell",
                         np.full(len(atlas.cells), DEFAULT_EXP_LAMBDA))
    possion_given = per_item(possion_lambda, atlas.chromosomes, "possion_lambda", "chromosome",
                             np.full(len(atlas.chromosomes), DEFAULT_POSSION_LAMBDA))
    exp = with_fallback(exp_given, atlas.cells, "exp_lambda")
    possion = with_fallback(possion_given, atlas.chromosomes, "possion_lambda")
    notes = {
        "exp_lambda": lambda_note(exp_lambda, exp_given, exp, atlas.cells, EXP_LAMBDA_DEFAULT_NOTE),
        "possion_lambda": lambda_note(possion_lambda, possion_given, possion, atlas.chromosomes,
                                      POSSION_LAMBDA_DEFAULT_NOTE),
        "states": states.describe(),
    }
    if len(possion) and possion.min() < FEW_CUTS:
        notes["possion_lambda"] += (f" (below {FEW_CUTS:g} cuts on average most backgrounds have 2 cuts or fewer, "
                                    f"score +inf and count against every profile: expect p-values near 1)")
    rows, tasks, digest = plan_rows(atlas, states, exp, possion, n_jobs)
    # everything the kept results depend on, each under a name a user reads
    fingerprint = {
        "input": atlas.source, "profiles": digest, "tasks": len(tasks),
        "states": states.describe(), "backgrounds": backgrounds, "stop_after": stop_after,
        "with_r": with_r,
        "exp_lambda": summarised(exp, atlas.cells, per_name=False),
        "possion_lambda": summarised(possion, atlas.chromosomes, per_name=True),
        "ombrix_version": ombrix_version,
    }
    return Plan(rows, tasks, exp, possion, notes, fingerprint)
