"""What a worker does with a chunk of tasks: the module's calls with
sequential backgrounds (one native call for the chunk), and the NumPy
warnings they issued, counted once per task instead of printed."""
from __future__ import annotations

import os
import threading
import time
import warnings
from collections import Counter
from dataclasses import dataclass, field
from typing import Any

import numpy as np

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


def judge(values: np.ndarray, exp_lambda: float, possion_lambda: float, backgrounds: int, stop_after: int,
          keep_scores: bool = False) -> Any:
    """A profile's score judged against its backgrounds, as the table counts
    them (a chunk's native call judges each of its tasks so): for the profile
    figure, which asks for their scores too."""
    # backgrounds in seed order 1, 2, ... as permutation_score draws them, so
    # the count after n of them is its num_greater for random_num = n; the
    # lambdas as one-element vectors (x = chr_num = 0) give the same values
    return _native.sequential_score(0, values, np.array([exp_lambda]), np.array([possion_lambda]), 0,
                                    backgrounds, stop_after, keep_scores)


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
    end_with_parent(chunk.dispatcher)
    # the module reads writable float64 buffers; a transport may hand out
    # read-only ones (joblib maps large arrays read-only): one copy here
    values = np.require(chunk.values, np.float64, ["C", "W"])
    with ONE_CALL_AT_A_TIME, warnings.catch_warnings(record=True) as caught:
        begun: list[int] = []

        def before_task() -> None:
            begun.append(len(caught))
            warnings.simplefilter("default")  # anew for each task: each distinct warning once per task

        results = _native.score_chunk(values, np.asarray(chunk.starts, dtype=np.int64),
                                      np.asarray(chunk.exp_lambda, dtype=np.float64),
                                      np.asarray(chunk.possion_lambda, dtype=np.float64), chunk.backgrounds,
                                      chunk.stop_after, chunk.with_r, before_task)
    warned: Counter[str] = Counter()
    for first, stop in zip(begun, [*begun[1:], len(caught)]):
        if stop > first:
            warned.update({f"{w.category.__name__}: {w.message}" for w in caught[first:stop]})
    return chunk.number, {"task": np.asarray(chunk.tasks, dtype=np.int64), **dict(zip(columns[1:], results))}, warned
