"""What a worker does with a chunk of tasks: the module's calls with
sequential backgrounds, and the NumPy warnings they issued, counted once per
task instead of printed."""
from __future__ import annotations

import math
import os
import threading
import time
import warnings
from collections import Counter
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any

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
    """Tasks with their values: a worker gets these rows, never the atlas. Each
    task carries the two lambdas it uses (no NaN left to fall back), not the
    per-cell vector, which a million cells make 8 MB a chunk; each task draws
    at most `backgrounds` backgrounds and stops at the `stop_after`-th that
    reaches its score (0: never). The values of all its tasks travel as one
    array (task k's are values[starts[k]:starts[k + 1]]): one buffer to send,
    not thousands of small ones."""

    number: int
    backgrounds: int
    stop_after: int
    with_r: bool
    tasks: np.ndarray
    exp_lambda: np.ndarray
    possion_lambda: np.ndarray
    starts: np.ndarray
    values: np.ndarray
    dispatcher: int = field(default_factory=os.getpid)  # the process that sent it

    def profiles(self) -> Iterator[tuple[int, float, float, np.ndarray]]:
        """(task, exp_lambda, possion_lambda, values) of each task."""
        # the module reads writable float64 buffers; a transport may hand out
        # read-only ones (joblib maps large arrays read-only): one copy here
        values = np.require(self.values, np.float64, ["C", "W"])
        bounds = self.starts.tolist()
        for k, (task, exp_lambda, possion_lambda) in enumerate(zip(self.tasks.tolist(), self.exp_lambda.tolist(),
                                                                    self.possion_lambda.tolist())):
            yield task, exp_lambda, possion_lambda, values[bounds[k]:bounds[k + 1]]


def judge(values: np.ndarray, exp_lambda: float, possion_lambda: float, backgrounds: int, stop_after: int,
          keep_scores: bool = False) -> Any:
    """A profile's score judged against its backgrounds, as the table counts
    them: the one place where they are drawn (the scoring and the profile
    figure, which asks for their scores too, both call this)."""
    # backgrounds in seed order 1, 2, ... as permutation_score draws them, so
    # the count after n of them is its num_greater for random_num = n; the
    # lambdas as one-element vectors (x = chr_num = 0) give the same values
    return _native.sequential_score(0, values, np.array([exp_lambda]), np.array([possion_lambda]), 0,
                                    backgrounds, stop_after, keep_scores)


def score_task(chunk: Chunk, exp_lambda: float, possion_lambda: float, values: np.ndarray) -> list[float | int]:
    judged = judge(values, exp_lambda, possion_lambda, chunk.backgrounds, chunk.stop_after)
    score = judged["dc"]
    row: list[float | int] = [len(score["smooth_segment"]), score["rearrange_score"], score["limit"],
                              judged["num_greater"], judged["backgrounds"]]
    if chunk.with_r:
        r_value = ombrix.cal_R_pyx(values)
        reached, run = 0, 0  # a NaN R is reached by no permutation: the count is 0 after any number
        if not math.isnan(r_value):
            # perm_cnv_pyx's permutations k = 0, 1, ... under seed 1, judged as drawn
            reached, run = _native.sequential_r(values, exp_lambda, possion_lambda, chunk.backgrounds,
                                                chunk.stop_after, r_value)
        row += [r_value, reached, run]
    return row


WATCH_SECONDS = 1.0
watching: list[int] = []  # the parent this worker process watches, once started


def end_with_parent(dispatcher: int) -> None:
    """In a worker process, a thread that ends the process once its parent is
    gone: a parent killed outright (SIGKILL) cannot stop its pool, whose
    workers would otherwise compute and wait for ever. The process that sent
    the work (`dispatcher`: n_jobs=1) is the user's own and is never watched."""
    if watching or os.getpid() == dispatcher:
        return
    parent = os.getppid()
    watching.append(parent)

    def watch() -> None:
        while os.getppid() == parent:
            time.sleep(WATCH_SECONDS)
        os._exit(1)

    threading.Thread(target=watch, name="ombrix-parent-watch", daemon=True).start()


def score_chunk(chunk: Chunk) -> tuple[int, dict[str, np.ndarray], Counter[str]]:
    """The chunk's results by column, and how many tasks issued each warning."""
    columns = RESULT_COLUMNS + (R_COLUMNS if chunk.with_r else [])
    results: dict[str, list[float | int]] = {c: [] for c in columns}
    warned: Counter[str] = Counter()
    end_with_parent(chunk.dispatcher)
    with ONE_CALL_AT_A_TIME:
        for task, exp_lambda, possion_lambda, values in chunk.profiles():
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("default")  # each distinct warning once per task
                row = score_task(chunk, exp_lambda, possion_lambda, values)
            warned.update({f"{w.category.__name__}: {w.message}" for w in caught})
            for column, value in zip(columns, [task] + row):
                results[column].append(value)
    return chunk.number, {column: np.asarray(values) for column, values in results.items()}, warned
