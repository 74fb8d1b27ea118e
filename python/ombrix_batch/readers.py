"""Reading copy-number atlases: AnnData laid out as infercnvpy lays it out,
wide tables (one column per cell, as CopyKAT writes them) and long tables
(cell, chromosome, position, value, as scDNA pipelines write copy states)."""
from __future__ import annotations

import os
import pathlib
from typing import Any

import numpy as np
import pandas as pd
import scipy.sparse as sp

from .atlas import Atlas
from .errors import InputError

TABLE_SUFFIXES = {".tsv": "\t", ".txt": "\t", ".csv": ",", ".parquet": None}
CHROMOSOME_COLUMNS = ("chromosome", "chrom", "chr", "chromosome_name", "seqnames")
CELL_COLUMNS = ("cell", "cell_id", "barcode")
POSITION_COLUMNS = ("position", "start", "pos", "bin", "start_position")
VALUE_COLUMNS = ("value", "copy_number", "state", "cn", "copy")
# Columns of a wide table that describe the positions rather than a cell
# (CopyKAT writes chrompos and abspos; gene tables often carry ids and bands).
POSITION_METADATA = {"chrompos", "abspos", "start", "end", "pos", "position", "start_position",
                     "end_position", "ensembl_gene_id", "hgnc_symbol", "gene", "gene_id", "gene_name",
                     "band", "arm", "bin"}


def read_atlas(source: Any, *, use_rep: str = "X_cnv", key: str = "cnv", layout: str = "auto",
               chromosome_column: str | None = None) -> Atlas:
    """An Atlas from an AnnData object, an .h5ad file, or a table (.tsv, .txt,
    .csv, .parquet), wide or long (`layout`: "auto", "wide" or "long")."""
    if hasattr(source, "obsm") and hasattr(source, "uns"):
        return atlas_from_anndata(source, use_rep=use_rep, key=key, name="the AnnData object")
    path = pathlib.Path(os.fspath(source))
    if not path.exists():
        raise InputError(f"{path}: no such file")
    if path.suffix == ".h5ad":
        import anndata

        try:
            adata = anndata.read_h5ad(path, backed=None)
        except Exception as exc:  # the reader's own message, with the file named
            raise InputError(f"{path}: not a readable .h5ad file ({exc})") from exc
        return atlas_from_anndata(adata, use_rep=use_rep, key=key, name=str(path))
    if path.suffix not in TABLE_SUFFIXES:
        raise InputError(f"{path}: unknown file type {path.suffix!r}; give an .h5ad file or a table "
                         f"({', '.join(TABLE_SUFFIXES)})")
    table = read_table(path)
    if layout == "auto":
        layout = "long" if find_column(table, VALUE_COLUMNS) and find_column(table, CELL_COLUMNS) else "wide"
    if layout == "long":
        return atlas_from_long_table(table, str(path), chromosome_column)
    if layout == "wide":
        return atlas_from_wide_table(table, str(path), chromosome_column)
    raise InputError(f"layout must be 'auto', 'wide' or 'long', not {layout!r}")


def read_table(path: pathlib.Path) -> pd.DataFrame:
    separator = TABLE_SUFFIXES[path.suffix]
    try:
        if separator is None:
            return pd.read_parquet(path)
        return pd.read_csv(path, sep=separator, comment="#")
    except Exception as exc:
        raise InputError(f"{path}: not a readable table ({exc})") from exc


def find_column(table: pd.DataFrame, names: tuple[str, ...], chosen: str | None = None) -> str | None:
    if chosen is not None:
        return chosen if chosen in table.columns else None
    lowered = {str(c).lower(): c for c in table.columns}
    return next((lowered[n] for n in names if n in lowered), None)


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
    if matrix.ndim != 2 or not np.issubdtype(matrix.dtype, np.number) or np.issubdtype(matrix.dtype, np.complexfloating):
        raise InputError(f"{name}: .obsm[{use_rep!r}] must be a numeric cells x genes matrix, "
                         f"not {matrix.dtype} of shape {matrix.shape}")
    if key not in adata.uns or "chr_pos" not in adata.uns[key]:
        raise InputError(f"{name}: .uns[{key!r}]['chr_pos'] is missing: it maps each chromosome to its first "
                         f"column of .obsm[{use_rep!r}] (infercnvpy writes it); choose the key with key / --key")
    chr_pos = dict(adata.uns[key]["chr_pos"])
    chromosomes, ranges = chromosome_ranges(chr_pos, matrix.shape[1], f"{name}: .uns[{key!r}]['chr_pos']")
    if sp.issparse(matrix):
        matrix = sp.csr_matrix(matrix, dtype=np.float64)
        matrix.sum_duplicates()  # one stored value per position
    else:
        matrix = np.asarray(matrix, dtype=np.float64)
    return Atlas(name, [str(c) for c in adata.obs_names], chromosomes, matrix=matrix, ranges=ranges)


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


def numeric_column(table: pd.DataFrame, column: Any, where: str) -> np.ndarray:
    values = pd.to_numeric(table[column], errors="coerce").to_numpy(dtype=np.float64)
    bad = np.isnan(values) & table[column].notna().to_numpy()
    if bad.any():
        row = int(np.flatnonzero(bad)[0])
        raise InputError(f"{where}: column {column!r} holds non-numeric values "
                         f"(row {row + 1}: {table[column].iloc[row]!r})")
    return values


def atlas_from_wide_table(table: pd.DataFrame, name: str, chromosome_column: str | None) -> Atlas:
    chromosome = find_column(table, CHROMOSOME_COLUMNS, chromosome_column)
    if chromosome is None:
        raise InputError(f"{name}: no chromosome column (looked for {chromosome_column or CHROMOSOME_COLUMNS}); "
                         f"name it with chromosome_column / --chromosome-column")
    cells = [c for c in table.columns if c != chromosome and str(c).lower() not in POSITION_METADATA]
    if not cells:
        raise InputError(f"{name}: no cell columns beside {chromosome!r}")
    labels = table[chromosome].astype(str).to_numpy()
    chromosomes = list(dict.fromkeys(labels))  # genomic order: as the file lists them
    # rows of one chromosome together, in the file's order
    order = np.concatenate([np.flatnonzero(labels == c) for c in chromosomes])
    values = np.column_stack([numeric_column(table, c, name) for c in cells])[order]
    counts = [int((labels == c).sum()) for c in chromosomes]
    bounds = np.concatenate([[0], np.cumsum(counts)])
    ranges = [(int(bounds[k]), int(bounds[k + 1])) for k in range(len(chromosomes))]
    return Atlas(name, [str(c) for c in cells], chromosomes, matrix=np.ascontiguousarray(values.T), ranges=ranges)


def atlas_from_long_table(table: pd.DataFrame, name: str, chromosome_column: str | None) -> Atlas:
    columns = {}
    for role, names in (("cell", CELL_COLUMNS), ("position", POSITION_COLUMNS), ("value", VALUE_COLUMNS)):
        columns[role] = find_column(table, names)
        if columns[role] is None:
            raise InputError(f"{name}: a long table needs a {role} column (one of {names})")
    columns["chromosome"] = find_column(table, CHROMOSOME_COLUMNS, chromosome_column)
    if columns["chromosome"] is None:
        raise InputError(f"{name}: no chromosome column (looked for {chromosome_column or CHROMOSOME_COLUMNS})")
    frame = pd.DataFrame({
        "cell": table[columns["cell"]].astype(str),
        "chromosome": table[columns["chromosome"]].astype(str),
        "position": numeric_column(table, columns["position"], name),
        "value": numeric_column(table, columns["value"], name),
    })
    if frame.duplicated(["cell", "chromosome", "position"]).any():
        row = frame[frame.duplicated(["cell", "chromosome", "position"])].iloc[0]
        raise InputError(f"{name}: cell {row.cell!r} has two values at {row.chromosome}:{row.position:g}")
    cells = list(dict.fromkeys(frame["cell"]))
    chromosomes = list(dict.fromkeys(frame["chromosome"]))
    cell_index = {c: i for i, c in enumerate(cells)}
    chromosome_index = {c: j for j, c in enumerate(chromosomes)}
    profiles = {}
    for (cell, chromosome), group in frame.sort_values("position", kind="stable").groupby(
            ["cell", "chromosome"], sort=False):
        values = np.ascontiguousarray(group["value"].to_numpy(dtype=np.float64))
        profiles[cell_index[cell], chromosome_index[chromosome]] = values
    return Atlas(name, cells, chromosomes, profiles=profiles)
