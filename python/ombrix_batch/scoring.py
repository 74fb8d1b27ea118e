"""What a worker does with a chunk of tasks: the module's calls, and the
NumPy warnings they issued, counted once per task instead of printed."""
from __future__ import annotations

import threading
import warnings
from collections import Counter
from dataclasses import dataclass

import numpy as np

import ombrix

# Every call seeds NumPy's global generator, and warnings filters are
# process-wide: a worker with several threads (a Dask worker, say) runs one
# chunk at a time.
ONE_CALL_AT_A_TIME = threading.Lock()

RESULT_COLUMNS = ["task", "n_segments", "rearrange_score", "limit", "num_greater"]
R_COLUMNS = ["R", "R_num_greater"]


@dataclass
class Chunk:
    """Tasks with their values: a worker gets these rows, never the atlas. The
    lambdas are the values used (no NaN left to fall back)."""

    number: int
    exp_lambda: np.ndarray
    possion_lambda: np.ndarray
    backgrounds: int
    with_r: bool
    tasks: list[tuple[int, int, int, np.ndarray]]  # (task, cell index, chromosome index, values)


def score_task(chunk: Chunk, cell: int, chromosome: int, values: np.ndarray) -> list[float | int]:
    judged = ombrix.permutation_score(cell, values, None, chunk.exp_lambda, chunk.possion_lambda, chromosome,
                                      chunk.backgrounds, True)
    score = judged["dc"]
    row: list[float | int] = [len(score["smooth_segment"]), score["rearrange_score"], score["limit"],
                              judged["num_greater"]]
    if chunk.with_r:
        r_value = ombrix.cal_R_pyx(values)
        background = ombrix.perm_cnv_pyx(values, float(chunk.exp_lambda[cell]),
                                         float(chunk.possion_lambda[chromosome]), chunk.backgrounds, 1)
        row += [r_value, sum(1 for b in background if b >= r_value)]
    return row


def score_chunk(chunk: Chunk) -> tuple[int, dict[str, list[float | int]], Counter[str]]:
    """The chunk's results by column, and how many tasks issued each warning."""
    columns = RESULT_COLUMNS + (R_COLUMNS if chunk.with_r else [])
    results: dict[str, list[float | int]] = {c: [] for c in columns}
    warned: Counter[str] = Counter()
    with ONE_CALL_AT_A_TIME:
        for task, cell, chromosome, values in chunk.tasks:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("default")  # each distinct warning once per task
                row = score_task(chunk, cell, chromosome, values)
            warned.update({f"{w.category.__name__}: {w.message}" for w in caught})
            for column, value in zip(columns, [task] + row):
                results[column].append(value)
    return chunk.number, results, warned
