"""Results written back into AnnData, in the manner of infercnvpy's `tl`
functions: cells x chromosomes tables in `.obsm`, a per-cell count in
`.obs`, the long table and the parameters in `.uns`; and read back from it."""
from __future__ import annotations

import io
import json
import os
import pathlib
from typing import Any

import numpy as np
import pandas as pd

from .errors import InputError
from .outputs import write_atomically


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
    """The parameters as .h5ad stores them: nested dicts of str, int, float,
    and arrays for lists (of numbers, or else of their text)."""
    if isinstance(value, dict):
        return {str(k): h5_safe(v) for k, v in value.items()}
    if isinstance(value, (bool, int, float, str)):
        return value
    if isinstance(value, (list, tuple)):
        if all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in value):
            return np.asarray(value, dtype=np.float64)
        return np.asarray([str(v) for v in value], dtype=object)
    return str(value)


def written_back(adata: Any, key_added: str = "ombrix") -> tuple[pd.DataFrame, dict[str, Any]]:
    """The table and parameters that `write_back` put into `adata`, the
    chromosomes in genomic order, as the plots take them."""
    entry = adata.uns.get(key_added) if hasattr(adata, "uns") else None
    if not isinstance(entry, dict) or "table" not in entry:
        raise InputError(f"the AnnData has no results in .uns[{key_added!r}]: run ombrix_batch.tl.score(adata"
                         f"{'' if key_added == 'ombrix' else f', key_added={key_added!r}'}) first")
    table = entry["table"].copy()
    params = dict(entry.get("params", {}))
    if isinstance(params.get("thresholds"), str):  # written as text by ombrix 0.1.0
        params["thresholds"] = json.loads(params["thresholds"])
    order = adata.obsm[f"{key_added}_qval"].columns if f"{key_added}_qval" in adata.obsm else None
    chromosomes = [str(c) for c in order] if order is not None else list(dict.fromkeys(table["chromosome"].astype(str)))
    table["chromosome"] = pd.Categorical(table["chromosome"].astype(str), categories=chromosomes)
    table["cell"] = table["cell"].astype(str)
    table.attrs = params
    return table, params


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
