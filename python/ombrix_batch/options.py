"""The options of a scoring run, with their defaults, in one place. The
public functions (`ombrix_batch.score`, `tl.score`) list them by name for
their users and their documentation, and hand them on as one `Options`."""
from __future__ import annotations

import dataclasses
import os
from collections.abc import Callable, Mapping, Sequence
from typing import Any, TypeVar

from .defaults import CNVKIT_THRESHOLDS, DEFAULT_BACKGROUNDS, DEFAULT_STOP_AFTER


@dataclasses.dataclass(frozen=True)
class Options:
    use_rep: str = "X_cnv"
    key: str = "cnv"
    layout: str = "auto"
    chromosome_column: str | None = None
    states: str = "integer"
    thresholds: Sequence[float] = CNVKIT_THRESHOLDS
    backgrounds: int = DEFAULT_BACKGROUNDS
    stop_after: int = DEFAULT_STOP_AFTER
    exp_lambda: Any = None
    possion_lambda: Any = None
    with_r: bool = False
    correction: str = "bh"
    n_jobs: int = -1
    oversubscribe: bool = False
    chunk_size: int | None = None
    output: str | os.PathLike[str] | None = None
    resume: bool = False
    progress: bool = True
    scheduler: str | None = None
    client: Any = None
    dask_local: int | None = None
    cells: Sequence[str] | None = None
    groupby: str | None = None
    groups: Sequence[str] | None = None

    @classmethod
    def of(cls, values: Mapping[str, Any]) -> Options:
        """The options among `values` (a function's `locals()`, the command
        line's arguments); the others keep their defaults."""
        return cls(**{field.name: values[field.name] for field in dataclasses.fields(cls) if field.name in values})


def defaults() -> dict[str, Any]:
    return {field.name: field.default for field in dataclasses.fields(Options)}


# The numpydoc entries of the options that every scoring function takes, in
# one place: `{run_options}` in a docstring stands for them.
RUN_OPTIONS_DOC = """\
    states
        How values become copy states: ``"integer"`` (refuse anything else),
        ``"round"``, ``"thresholds"`` (cut points, see ``thresholds``) or
        ``"none"`` (the raw values, each distinct value its own state).
    thresholds
        The strictly increasing cut points for ``states="thresholds"``; a
        value at or above a cut point is in the state above it. The default
        is CNVkit's for log2 ratios of ploidy 2; infercnvpy's values need
        their own (see the inputs page).
    backgrounds
        The most backgrounds drawn per profile (N); the smallest p-value is 1/(N+1).
    stop_after
        Stop a profile's backgrounds at the h-th that reaches its score (0:
        draw all N for every profile).
    exp_lambda
        The exponential parameter of the cut weights: one number, a vector per
        cell or a mapping from cell name (default 1.0).
    possion_lambda
        The mean cut count of the backgrounds: one number, a vector per
        chromosome or a mapping from chromosome name (default 20.0).
    with_r
        Also compute the R statistic and its own background.
    correction
        The q-values: ``"bh"`` (Benjamini-Hochberg) or ``"by"`` (Benjamini-Yekutieli).
    n_jobs
        Processes to score on; -1 for every core.
    oversubscribe
        Start ``n_jobs`` processes even beyond the cores this process may use.
    chunk_size
        Distinct profiles per chunk sent to a process; chosen from the work when None
        (a resume keeps the unfinished run's).
    output
        Write the table here (``.parquet``, ``.tsv`` or ``.csv``); finished
        chunks are kept beside it for a resume.
    resume
        Finish a stopped run into the same ``output``.
    progress
        Show a progress bar.
    scheduler
        Run on the Dask cluster at this address (``tcp://host:8786``).
    client
        Run on this :class:`distributed.Client`.
    dask_local
        Run on a Dask ``LocalCluster`` of this many workers, started for the run.
    cells
        Score only these cells (their names).
    groupby
        With ``groups``: score only the cells whose value in this ``.obs``
        column is one of ``groups`` (the tumour cells, say, without the reference).
    groups
        The values of ``groupby`` to keep.
"""

Documented = TypeVar("Documented", bound=Callable[..., Any])


def documented_options(function: Documented) -> Documented:
    function.__doc__ = (function.__doc__ or "").replace("    {run_options}\n", RUN_OPTIONS_DOC)
    return function
