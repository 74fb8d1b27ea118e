"""Tools that take an AnnData, in scanpy's manner: `tl.score`."""
from __future__ import annotations

import os
from collections.abc import Sequence
from typing import Any

import pandas as pd

from .anndata_io import write_back
from .defaults import CNVKIT_THRESHOLDS, DEFAULT_BACKGROUNDS, DEFAULT_STOP_AFTER
from .errors import InputError
from .options import Options, documented_options
from .run import run_scoring


@documented_options
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
    {run_options}
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
