"""From an atlas to tasks: one row per (cell, chromosome), the per-cell and
per-chromosome lambdas, and the distinct tasks (same values, same picked
lambdas) that are computed once each."""
from __future__ import annotations

import hashlib
import math
import numbers
import struct
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

from .atlas import Atlas
from .errors import InputError
from .states import States

DEFAULT_EXP_LAMBDA = 1.0
EXP_LAMBDA_DEFAULT_NOTE = "1.0 for every cell (the cut weights are normalised, so only 0, inf and NaN matter)"
DEFAULT_POSSION_LAMBDA = 20.0
POSSION_LAMBDA_DEFAULT_NOTE = ("20.0 for every chromosome (a background with 2 cuts or fewer scores +inf and "
                               "counts against the profile, so the mean cut count must be well above 2: at 20 "
                               "that happens in fewer than 1 in 10^6 backgrounds)")


@dataclass
class Plan:
    """`rows`: cell, chromosome, n_positions, status and the index of the
    row's task; `tasks`: for each distinct task, the (cell, chromosome)
    indexes of its first row; `digest`: the whole plan's fingerprint."""

    rows: pd.DataFrame
    tasks: list[tuple[int, int]]
    exp_lambda: np.ndarray
    possion_lambda: np.ndarray
    notes: dict[str, str]
    digest: str


def per_item(value: Any, names: list[str], what: str, kind: str, default: np.ndarray) -> np.ndarray:
    """A scalar, a vector with one entry per name, or a mapping from name to value
    (names left out are NaN, which the module replaces by the mean of the rest)."""
    if value is None:
        return default
    if isinstance(value, numbers.Real):
        return np.full(len(names), float(value))
    if isinstance(value, Mapping):
        unknown = set(map(str, value)) - set(names)
        if unknown:
            raise InputError(f"{what}: no {kind} named {sorted(unknown)[:5]}")
        by_name = {str(k): float(v) for k, v in value.items()}
        return np.array([by_name.get(n, math.nan) for n in names], dtype=np.float64)
    if isinstance(value, (Sequence, np.ndarray, pd.Series)):
        vector = np.asarray(value, dtype=np.float64).ravel()
        if vector.shape[0] != len(names):
            raise InputError(f"{what} has {vector.shape[0]} entries for {len(names)} items")
        return vector
    raise InputError(f"{what} must be a number, a sequence or a mapping, not {type(value).__name__}")


def number_key(value: float) -> bytes:
    # every NaN picks the same fallback, so all NaNs are one key
    return b"nan" if math.isnan(value) else struct.pack("<d", value)


def make_plan(atlas: Atlas, states: States, backgrounds: int, exp_lambda: Any, possion_lambda: Any,
              with_r: bool) -> Plan:
    cells, chromosomes = [], []
    positions, segments, hashes = [], [], []
    for i, profiles in atlas.cell_rows(states):
        for j, values in enumerate(profiles):
            cells.append(i)
            chromosomes.append(j)
            positions.append(len(values))
            segments.append(int(np.count_nonzero(values[1:] != values[:-1])) + 1 if len(values) else 0)
            hashes.append(hashlib.blake2b(memoryview(values), digest_size=16).digest())
    cell_index, chromosome_index = np.array(cells), np.array(chromosomes)
    segment_counts = np.array(segments, dtype=np.float64)
    exp = per_item(exp_lambda, atlas.cells, "exp_lambda", "cell", np.full(len(atlas.cells), DEFAULT_EXP_LAMBDA))
    possion = per_item(possion_lambda, atlas.chromosomes, "possion_lambda", "chromosome",
                       np.full(len(atlas.chromosomes), DEFAULT_POSSION_LAMBDA))
    notes = {
        "exp_lambda": EXP_LAMBDA_DEFAULT_NOTE if exp_lambda is None else "given",
        "possion_lambda": POSSION_LAMBDA_DEFAULT_NOTE if possion_lambda is None else "given",
        "states": states.describe(),
    }
    task_of: dict[bytes, int] = {}
    tasks, row_tasks = [], []
    whole = hashlib.blake2b(f"{backgrounds}|{with_r}|{states}".encode(), digest_size=16)
    exp_keys, possion_keys = [number_key(v) for v in exp], [number_key(v) for v in possion]
    for k, value_hash in enumerate(hashes):
        i, j = cells[k], chromosomes[k]
        key = value_hash + exp_keys[i] + possion_keys[j]
        if key not in task_of:
            task_of[key] = len(tasks)
            tasks.append((i, j))
            whole.update(key)
        row_tasks.append(task_of[key])
    n_positions = np.array(positions)
    status = np.where(n_positions < 3, "too short", np.where(segment_counts == 1, "constant", "ok"))
    rows = pd.DataFrame({
        "cell": pd.Categorical.from_codes(cell_index, atlas.cells) if len(cells) else [],
        "chromosome": pd.Categorical.from_codes(chromosome_index, atlas.chromosomes) if len(cells) else [],
        "n_positions": n_positions, "task": np.array(row_tasks, dtype=np.int64), "status": status,
    })
    return Plan(rows, tasks, exp, possion, notes, whole.hexdigest())
