"""Tools that take an AnnData, in scanpy's manner: `tl.score`."""
from __future__ import annotations

import os
from collections.abc import Sequence
from typing import Any

import pandas as pd

from .anndata_io import write_back
from .defaults import CNVKIT_THRESHOLDS, DEFAULT_BACKGROUNDS, DEFAULT_STOP_AFTER
from .errors import InputError
from .options import Options
from .run import run_scoring


def score(adata: Any, *, use_rep: str = "X_cnv", key: str = "cnv", states: str = "integer",
          thresholds: Sequence[float] = CNVKIT_THRESHOLDS, backgrounds: int = DEFAULT_BACKGROUNDS,
          stop_after: int = DEFAULT_STOP_AFTER, exp_lambda: Any = None, possion_lambda: Any = None,
          with_r: bool = False, correction: str = "bh", n_jobs: int = -1, oversubscribe: bool = False,
          chunk_size: int | None = None, output: str | os.PathLike[str] | None = None, resume: bool = False,
          progress: bool = True, scheduler: str | None = None, client: Any = None, dask_local: int | None = None,
          cells: Sequence[str] | None = None, groupby: str | None = None, groups: Sequence[str] | None = None,
          key_added: str = "ombrix", alpha: float = 0.05, inplace: bool = True,
          copy: bool = False) -> Any:
    """Score every cell and chromosome of an AnnData and write the results into it.

    The copy numbers are ``adata.obsm[use_rep]`` (cells x positions, dense or
    sparse), laid out as :func:`infercnvpy.tl.infercnv` lays them out, with
    ``adata.uns[key]["chr_pos"]`` mapping each chromosome to its first column.

    Parameters
    ----------
    adata
        The annotated data matrix.
    use_rep
        The ``.obsm`` matrix of copy numbers.
    key
        The ``.uns`` entry whose ``"chr_pos"`` maps each chromosome to its first column.
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
        Distinct profiles per chunk sent to a process; chosen from the work when None.
    output
        Also write the table here (``.parquet``, ``.tsv`` or ``.csv``);
        finished chunks are kept beside it for a resume.
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
    key_added
        The prefix of what is written into ``adata``.
    alpha
        The q-value under which a chromosome counts as significant in
        ``.obs[key_added + "_n_significant"]``.
    inplace
        Write the results into ``adata`` (or its copy, with ``copy``);
        otherwise return the table and leave ``adata`` as it is.
    copy
        Work on a copy of ``adata`` and return it.

    Returns
    -------
    With ``inplace`` (the default), None, or the copy with ``copy``; it writes

    ``.obsm[key_added + "_score"]``
        The rearrangement score (cells x chromosomes, in genomic order), a DataFrame.
    ``.obsm[key_added + "_qval"]``
        The q-values, NaN where a profile is not testable.
    ``.obs[key_added + "_n_significant"]``
        The chromosomes of each cell with q < ``alpha``.
    ``.uns[key_added]``
        ``{"table": the long table, "params": its parameters}``, read by the
        :mod:`ombrix_batch.pl` functions.

    Without ``inplace``, the long table (one row per cell and chromosome), as
    :func:`ombrix_batch.score` returns it.
    """
    if not (hasattr(adata, "obsm") and hasattr(adata, "uns")):
        raise InputError(f"tl.score takes an AnnData (use ombrix_batch.score for a path or a table), not "
                         f"{type(adata).__name__}")
    if copy and not inplace:
        raise InputError("copy=True writes the results into a copy, inplace=False writes nothing: give one")
    table = run_scoring(adata, Options.of(locals())).table()
    if not inplace:
        return table
    target = adata.copy() if copy else adata
    write_back(target, table, key_added=key_added, alpha=alpha)
    return target if copy else None


def score_anndata(adata: Any, *, inplace: bool = True, key_added: str = "ombrix", alpha: float = 0.05,
                  **options: Any) -> pd.DataFrame | None:
    """The earlier name of :func:`score`, kept for the scripts that call it."""
    result: pd.DataFrame | None = score(adata, inplace=inplace, key_added=key_added, alpha=alpha, **options)
    return result
