"""AnnData atlases, laid out as infercnvpy lays them out: from memory, or
from an .h5ad file read in blocks of rows (the cell names, .uns[key] and
.obsm[use_rep]; never .X)."""
from __future__ import annotations

import os
import pathlib
from collections.abc import Mapping
from typing import Any

import numpy as np
import pandas as pd
import scipy.sparse as sp

from .atlas import Atlas, check_source, csr_float64
from .errors import InputError


def read_h5ad(source: Any) -> Any:
    """The AnnData in an .h5ad file, or an InputError naming the file."""
    import anndata

    check_source(source)
    path = pathlib.Path(os.fspath(source))
    if not path.exists():
        raise InputError(f"{path}: no such file")
    try:
        return anndata.read_h5ad(path, backed=None)
    except Exception as exc:  # the reader's own message, with the file named
        raise InputError(f"{path}: not a readable .h5ad file ({exc})") from exc


def atlas_from_anndata(adata: Any, *, use_rep: str, key: str, name: str) -> Atlas:
    if use_rep not in adata.obsm:
        raise InputError(f"{name}: .obsm has no {use_rep!r} (it has {sorted(adata.obsm.keys())}); "
                         f"choose the copy-number matrix with use_rep / --use-rep")
    matrix = adata.obsm[use_rep]
    if sp.issparse(matrix):
        matrix = sp.csr_matrix(matrix)
    elif isinstance(matrix, pd.DataFrame):
        matrix = matrix.to_numpy()
    matrix = matrix if sp.issparse(matrix) else np.asarray(matrix)
    return atlas_from_parts(name, matrix, adata.uns.get(key), pd.Index(adata.obs_names), use_rep, key)


def atlas_from_parts(name: str, matrix: Any, entry: Any, obs_names: pd.Index, use_rep: str, key: str) -> Atlas:
    """The checks of an AnnData's parts, read from memory or from the file."""
    if matrix.ndim != 2 or not np.issubdtype(matrix.dtype, np.number) or \
            np.issubdtype(matrix.dtype, np.complexfloating):
        raise InputError(f"{name}: .obsm[{use_rep!r}] must be a numeric cells x genes matrix, "
                         f"not {matrix.dtype} of shape {matrix.shape}")
    if not isinstance(entry, Mapping) or "chr_pos" not in entry:
        found = "" if entry is None or isinstance(entry, Mapping) else f" (.uns[{key!r}] is a {type(entry).__name__})"
        raise InputError(f"{name}: .uns[{key!r}]['chr_pos'] is missing{found}: it maps each chromosome to its "
                         f"first column of .obsm[{use_rep!r}] (infercnvpy writes it); choose the key with key / --key")
    if not isinstance(entry["chr_pos"], Mapping):
        raise InputError(f"{name}: .uns[{key!r}]['chr_pos'] is a {type(entry['chr_pos']).__name__}, not a mapping "
                         f"from each chromosome to its first column of .obsm[{use_rep!r}] (like {{'chr1': 0, "
                         f"'chr2': 1520}})")
    if not obs_names.is_unique:
        repeated = obs_names[obs_names.duplicated()][0]
        raise InputError(f"{name}: the cell name {repeated!r} is used more than once; make them unique "
                         f"(adata.obs_names_make_unique())")
    if len(obs_names) != matrix.shape[0]:
        raise InputError(f"{name}: .obsm[{use_rep!r}] has {matrix.shape[0]} rows for {len(obs_names)} cells")
    chromosomes, ranges = chromosome_ranges(dict(entry["chr_pos"]), matrix.shape[1],
                                            f"{name}: .uns[{key!r}]['chr_pos']")
    if sp.issparse(matrix):
        matrix = csr_float64(matrix)
    # a dense matrix keeps its dtype: rows are made float64 as they are read
    return Atlas(name, [str(c) for c in obs_names], chromosomes, matrix=matrix, ranges=ranges)


def atlas_from_h5ad_file(path: pathlib.Path, *, use_rep: str, key: str) -> Atlas | None:
    """The atlas of an .h5ad file read in blocks of rows straight from it: the
    cell names, .uns[key] and .obsm[use_rep], never .X. None when the matrix
    is stored in a way only anndata reads whole (a data frame, say)."""
    import h5py

    read_elem, _ = element_readers()
    try:
        handle = h5py.File(path, "r")
    except OSError as exc:
        raise InputError(f"{path}: not a readable .h5ad file ({exc})") from exc
    obsm = handle.get("obsm")
    stored = obsm.get(use_rep) if obsm is not None else None
    if stored is None or "obs" not in handle:
        handle.close()
        return None
    kind = stored.attrs.get("encoding-type", "array" if isinstance(stored, h5py.Dataset) else "")
    if kind not in ("array", "csr_matrix"):
        handle.close()
        return None
    obs = handle["obs"]
    index_name = obs.attrs.get("_index", "_index")
    obs_names = pd.Index(read_elem(obs[index_name]) if index_name in obs else [])
    entry = read_elem(handle["uns"][key]) if "uns" in handle and key in handle["uns"] else None
    matrix = FileRows(handle, stored.name, kind == "csr_matrix")
    return atlas_from_parts(str(path), matrix, entry, obs_names, use_rep, key)


def element_readers() -> tuple[Any, Any]:
    """anndata's readers of one stored element: (read_elem, sparse_dataset)."""
    try:
        from anndata.io import read_elem, sparse_dataset
    except ImportError:  # anndata < 0.11
        from anndata.experimental import read_elem, sparse_dataset
    return read_elem, sparse_dataset


def read_obs(path: pathlib.Path) -> pd.DataFrame:
    """An .h5ad file's .obs alone."""
    import h5py

    read_elem, _ = element_readers()
    try:
        with h5py.File(path, "r") as handle:
            return read_elem(handle["obs"])
    except (OSError, KeyError) as exc:
        raise InputError(f"{path}: its .obs cannot be read ({exc})") from None


def stored_matrix(handle: Any, name: str, sparse: bool) -> Any:
    return element_readers()[1](handle[name]) if sparse else handle[name]


class FileRows:
    """A matrix in an open .h5ad file, read a block of rows at a time (the
    file stays open while the atlas is in use)."""

    ndim = 2

    def __init__(self, handle: Any, name: str, sparse: bool) -> None:
        self.open(handle, name, sparse)

    def open(self, handle: Any, name: str, sparse: bool) -> None:
        self.handle, self.name, self.sparse = handle, name, sparse
        self.stored = stored_matrix(handle, name, sparse)
        self.shape = tuple(self.stored.shape)
        self.dtype = np.dtype(self.stored.dtype)

    # a worker that plans a block opens the file itself: only its name travels
    def __getstate__(self) -> dict[str, Any]:
        return {"path": self.handle.filename, "name": self.name, "sparse": self.sparse}

    def __setstate__(self, state: dict[str, Any]) -> None:
        import h5py

        self.open(h5py.File(state["path"], "r"), state["name"], state["sparse"])

    def __getitem__(self, rows: slice) -> Any:
        block = self.stored[rows]
        if sp.issparse(block):
            block = csr_float64(block)
        return block


def chromosome_ranges(chr_pos: dict[Any, Any], width: int, where: str) -> tuple[list[str], list[tuple[int, int]]]:
    """Chromosomes sorted by their first column, and their column ranges."""
    starts = []
    for chromosome, start in chr_pos.items():
        if isinstance(start, (bool, np.bool_)) or not isinstance(start, (int, np.integer)):
            raise InputError(f"{where}: the first column of {chromosome!r} is {start!r}, not an integer")
        starts.append((int(start), str(chromosome)))
    starts.sort()
    if not starts or starts[0][0] != 0:
        raise InputError(f"{where} does not fit the matrix: the first chromosome must start at column 0 "
                         f"(got {starts[:1]})")
    chromosomes, ranges = [], []
    for k, (start, chromosome) in enumerate(starts):
        stop = starts[k + 1][0] if k + 1 < len(starts) else width
        if stop > width or start >= width:
            raise InputError(f"{where} does not fit the matrix: {chromosome!r} starts at column {start}, "
                             f"but the matrix has {width} columns")
        if stop == start:
            raise InputError(f"{where}: chromosome {chromosome!r} is empty (it starts where "
                             f"{starts[k + 1][1]!r} starts, at column {start})")
        chromosomes.append(chromosome)
        ranges.append((start, stop))
    return chromosomes, ranges
