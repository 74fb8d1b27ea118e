"""Results written back into AnnData, in the manner of infercnvpy's `tl`
functions: cells x chromosomes tables in `.obsm`, a per-cell count in
`.obs`, the long table and the parameters in `.uns`."""
from __future__ import annotations

import io
import os
import pathlib
from typing import Any

import pandas as pd

from .errors import InputError
from .outputs import write_atomically
from .run import score


def score_anndata(adata: Any, *, inplace: bool = True, key_added: str = "ombrix", alpha: float = 0.05,
                  **options: Any) -> pd.DataFrame | None:
    """Scores `adata` (see `score` for the options) and, with `inplace`, adds
    `.obsm[key_added + "_score"]` and `.obsm[key_added + "_qval"]` (cells x
    chromosomes, chromosomes in genomic order), `.obs[key_added +
    "_n_significant"]` (chromosomes with q < alpha) and `.uns[key_added]`
    ({"table": the long table, "params": its parameters}); returns None.
    Without `inplace`, returns the long table and changes nothing."""
    table = score(adata, **options)
    if not inplace:
        return table
    write_back(adata, table, key_added=key_added, alpha=alpha)
    return None


def wide(table: pd.DataFrame, column: str, cells: pd.Index) -> pd.DataFrame:
    chromosomes = list(table["chromosome"].cat.categories) if hasattr(table["chromosome"], "cat") \
        else list(dict.fromkeys(table["chromosome"]))
    frame = table.pivot(index="cell", columns="chromosome", values=column)
    frame = frame.reindex(index=cells.astype(str), columns=chromosomes)
    frame.columns = [str(c) for c in frame.columns]
    frame.index = cells
    return frame


def write_back(adata: Any, table: pd.DataFrame, *, key_added: str = "ombrix", alpha: float = 0.05) -> None:
    if not set(table["cell"].astype(str)) <= set(adata.obs_names.astype(str)):
        raise InputError("the table's cells are not the AnnData's cells")
    scores = wide(table, "rearrange_score", adata.obs_names)
    qvalues = wide(table, "qval", adata.obs_names)
    adata.obsm[f"{key_added}_score"] = scores
    adata.obsm[f"{key_added}_qval"] = qvalues
    adata.obs[f"{key_added}_n_significant"] = (qvalues < alpha).sum(axis=1).astype("int64").to_numpy()
    long = table.copy()
    long["cell"] = long["cell"].astype(str)
    long["chromosome"] = long["chromosome"].astype(str)
    long.attrs = {}
    adata.uns[key_added] = {"table": long, "params": {**h5_safe(table.attrs), "alpha": alpha}}


def h5_safe(value: Any) -> Any:
    """The parameters as .h5ad stores them: nested dicts of str, int, float."""
    if isinstance(value, dict):
        return {str(k): h5_safe(v) for k, v in value.items()}
    if isinstance(value, (bool, int, float, str)):
        return value
    return str(value)


def write_h5ad(adata: Any, path: str | os.PathLike[str]) -> None:
    """Written in full beside its place, then renamed: a kill or a full disk
    leaves the file that was there (or none), never a broken one. The file is
    laid out in memory first and written by plain file I/O: HDF5 that meets a
    full disk leaves its library broken, and the process crashes at exit."""
    check_names_storable(adata)
    image = h5ad_image(adata)
    write_atomically(pathlib.Path(path), lambda p: pathlib.Path(p).write_bytes(image))


def check_names_storable(adata: Any) -> None:
    """HDF5 takes "/" in a name for a group path: a chromosome named so would
    be split (or refused) in the results' tables."""
    for key in adata.obsm:
        frame = adata.obsm[key]
        bad = [c for c in getattr(frame, "columns", []) if "/" in str(c)]
        if bad:
            raise InputError(f".obsm[{key!r}] has the column {bad[0]!r}: a name with '/' cannot be written to "
                             f".h5ad (HDF5 reads it as a path); rename the chromosome before scoring")


def h5ad_image(adata: Any) -> memoryview:
    """The bytes that AnnData.write_h5ad would write (anndata's own encoder)."""
    import h5py

    try:
        from anndata.io import write_elem
    except ImportError:  # anndata < 0.11
        from anndata.experimental import write_elem

    adata.strings_to_categoricals()  # as write_h5ad does
    image = io.BytesIO()
    with h5py.File(image, "w") as handle:
        write_elem(handle, "/", adata)
        if adata.raw is None and "raw" in handle:  # write_h5ad leaves an absent .raw out
            del handle["raw"]
    return image.getbuffer()
