"""What a worker does with a chunk of tasks: the module's calls with
sequential backgrounds, and the NumPy warnings they issued, counted once per
task instead of printed."""
from __future__ import annotations

import math
import threading
import warnings
from collections import Counter
from dataclasses import dataclass

import numpy as np
import ombrix

from . import _native

# Every call seeds NumPy's global generator, and warnings filters are
# process-wide: a worker with several threads (a Dask worker, say) runs one
# chunk at a time.
ONE_CALL_AT_A_TIME = threading.Lock()

RESULT_COLUMNS = ["task", "n_segments", "rearrange_score", "limit", "num_greater", "backgrounds"]
R_COLUMNS = ["R", "R_num_greater", "R_backgrounds"]


@dataclass
class Chunk:
    """Tasks with their values: a worker gets these rows, never the atlas. The
    lambdas are the values used (no NaN left to fall back); each task draws
    at most `backgrounds` backgrounds and stops at the `stop_after`-th that
    reaches its score (0: never)."""

    number: int
    exp_lambda: np.ndarray
    possion_lambda: np.ndarray
    backgrounds: int
    stop_after: int
    with_r: bool
    tasks: list[tuple[int, int, int, np.ndarray]]  # (task, cell index, chromosome index, values)


def score_task(chunk: Chunk, cell: int, chromosome: int, values: np.ndarray) -> list[float | int]:
    # backgrounds in seed order 1, 2, ... as permutation_score draws them, so
    # the count after n of them is its num_greater for random_num = n
    judged = _native.sequential_score(cell, values, chunk.exp_lambda, chunk.possion_lambda, chromosome,
                                      chunk.backgrounds, chunk.stop_after)
    score = judged["dc"]
    row: list[float | int] = [len(score["smooth_segment"]), score["rearrange_score"], score["limit"],
                              judged["num_greater"], judged["backgrounds"]]
    if chunk.with_r:
        r_value = ombrix.cal_R_pyx(values)
        reached, run = 0, 0  # a NaN R is reached by no permutation: the count is 0 after any number
        if not math.isnan(r_value):
            # perm_cnv_pyx's permutations k = 0, 1, ... under seed 1, judged as drawn
            reached, run = _native.sequential_r(values, float(chunk.exp_lambda[cell]),
                                                float(chunk.possion_lambda[chromosome]), chunk.backgrounds,
                                                chunk.stop_after, r_value)
        row += [r_value, reached, run]
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
