"""Reading copy-number atlases: AnnData laid out as infercnvpy lays it out
(`h5ad.py`), wide tables (one column per cell, as CopyKAT writes them) and
long tables (cell, chromosome, position, value, as scDNA pipelines write
copy states)."""
from __future__ import annotations

import csv
import math
import os
import pathlib
from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pacsv
import pyarrow.parquet as pq

from .atlas import Atlas, check_source
from .errors import InputError
from .h5ad import atlas_from_anndata, atlas_from_h5ad_file, read_h5ad

# What a table file's suffix says of it: its separator (None: Parquet). Both
# the atlases read here and the results tables (results.py) go by it.
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
# a wide table's rows are put in order by the first of these that it has
WIDE_POSITIONS = ("start", "chrompos", "start_position", "position", "pos", "bin", "abspos")
MISSING_TEXT = set(pacsv.ConvertOptions().null_values)  # read as missing in a numeric column, as pyarrow does


def read_anndata_file(path: str | os.PathLike[str], *, use_rep: str = "X_cnv",
                      key: str = "cnv") -> tuple[Any, Atlas]:
    """The whole AnnData of an .h5ad file (to write back to) and its atlas."""
    adata = read_h5ad(path)
    return adata, atlas_from_anndata(adata, use_rep=use_rep, key=key, name=str(path))


def read_atlas(source: Any, *, use_rep: str = "X_cnv", key: str = "cnv", layout: str = "auto",
               chromosome_column: str | None = None) -> Atlas:
    """An Atlas from an AnnData object, an .h5ad file, or a table (.tsv, .txt,
    .csv, .parquet), wide or long (`layout`: "auto", "wide" or "long")."""
    if hasattr(source, "obsm") and hasattr(source, "uns"):
        return atlas_from_anndata(source, use_rep=use_rep, key=key, name="the AnnData object")
    check_source(source)
    path = pathlib.Path(os.fspath(source))
    if not path.exists():
        raise InputError(f"{path}: no such file")
    if path.suffix == ".h5ad":
        streamed = atlas_from_h5ad_file(path, use_rep=use_rep, key=key)
        if streamed is not None:
            return streamed
        return read_anndata_file(path, use_rep=use_rep, key=key)[1]
    if path.suffix not in TABLE_SUFFIXES:
        raise InputError(f"{path}: unknown file type {path.suffix!r}; give an .h5ad file or a table "
                         f"({', '.join(TABLE_SUFFIXES)})")
    if layout not in ("auto", "wide", "long"):
        raise InputError(f"layout must be 'auto', 'wide' or 'long', not {layout!r}")
    names = read_header(path)
    if layout == "auto":
        layout = "long" if find_index(names, VALUE_COLUMNS) is not None and find_index(names, CELL_COLUMNS) \
            is not None else "wide"
    chromosome = find_index(names, CHROMOSOME_COLUMNS, chromosome_column)
    if chromosome is None:
        raise InputError(f"{path}: no chromosome column (looked for {chromosome_column or CHROMOSOME_COLUMNS}); "
                         f"name it with chromosome_column / --chromosome-column" + transposed_hint(names))
    if layout == "wide":
        return atlas_from_wide_table(read_table(path, names, {chromosome}), str(path), chromosome)
    roles = {"chromosome": chromosome}
    for role, candidates in (("cell", CELL_COLUMNS), ("position", POSITION_COLUMNS), ("value", VALUE_COLUMNS)):
        found = find_index(names, candidates)
        if found is None:
            raise InputError(f"{path}: a long table needs a {role} column (one of {candidates})")
        roles[role] = found
    return atlas_from_long_table(read_table(path, names, {roles["cell"], chromosome}), str(path), roles)


@dataclass
class RawTable:
    """A table's columns under the names its header gives, exactly (duplicates
    and all), each a pyarrow array; `index` holds the columns that pandas
    stored as a Parquet file's index."""

    names: list[str]
    columns: list[pa.ChunkedArray]
    index: set[int]

    @property
    def rows(self) -> int:
        return len(self.columns[0]) if self.columns else 0


def read_header(path: pathlib.Path) -> list[str]:
    separator = TABLE_SUFFIXES[path.suffix]
    try:
        if separator is None:
            return [str(n) for n in pq.read_schema(path).names]
        with open(path, newline="", encoding="utf-8-sig") as handle:
            header = next(csv.reader(handle, delimiter=separator), None)
    except (OSError, ValueError, pa.ArrowException) as exc:
        raise InputError(f"{path}: not a readable table ({exc})") from None
    if header is None:
        raise InputError(f"{path}: the file is empty")
    return header


def read_table(path: pathlib.Path, names: list[str], text: set[int]) -> RawTable:
    """Every cell as the file holds it: no comment character, no names turned
    into numbers or missing values (`text`: the columns read as names)."""
    separator = TABLE_SUFFIXES[path.suffix]
    placeholders = [f"column{k}" for k in range(len(names))]  # the header's names may repeat
    try:
        if separator is None:
            with pq.ParquetFile(path) as handle:  # pq.read_table cannot read repeated column names
                table = handle.read()
            stored = (table.schema.pandas_metadata or {}).get("index_columns", [])
            index = {k for k, n in enumerate(names) if n in stored}
            table = table.rename_columns(placeholders)
        else:
            index = set()
            table = pacsv.read_csv(
                path, read_options=pacsv.ReadOptions(column_names=placeholders, skip_rows=1),
                parse_options=pacsv.ParseOptions(delimiter=separator),
                convert_options=pacsv.ConvertOptions(column_types={placeholders[k]: pa.string() for k in text},
                                                     strings_can_be_null=False))
    except (OSError, pa.ArrowException) as exc:
        raise InputError(f"{path}: not a readable table ({exc})") from None
    if table.num_rows == 0:
        raise InputError(f"{path}: the table has a header but no rows")
    return RawTable(names, list(table.columns), index)


def find_index(names: list[str], candidates: tuple[str, ...], chosen: str | None = None) -> int | None:
    """The first column named `chosen` or, without it, one of `candidates` in any case."""
    if chosen is not None:
        return names.index(chosen) if chosen in names else None
    lowered: dict[str, int] = {}
    for k, n in enumerate(names):
        lowered.setdefault(n.strip().lower(), k)
    return next((lowered[n] for n in candidates if n in lowered), None)


def names_of(table: RawTable, k: int, where: str) -> np.ndarray:
    """A column of names as strings, refusing empty ones with their row."""
    column = table.columns[k]
    if not pa.types.is_string(column.type) and not pa.types.is_large_string(column.type):
        column = pc.cast(column, pa.string())
    values = np.asarray(column.to_numpy(zero_copy_only=False), dtype=object)
    empty = np.flatnonzero(pd.isna(values) | (values == ""))
    if len(empty):
        raise InputError(f"{where}: column {table.names[k]!r} has no value in row {empty[0] + 1}")
    return values.astype(str)


def numbers_of(table: RawTable, k: int, where: str) -> np.ndarray:
    """A column as float64, missing entries NaN; non-numbers refused with their row."""
    column = table.columns[k]
    kind = column.type
    if pa.types.is_boolean(kind):
        raise InputError(f"{where}: column {table.names[k]!r} holds true/false values, not numbers")
    try:
        if pa.types.is_integer(kind) or pa.types.is_floating(kind) or pa.types.is_null(kind):
            return np.asarray(column.cast(pa.float64()).to_numpy(zero_copy_only=False), dtype=np.float64)
        if pa.types.is_string(kind) or pa.types.is_large_string(kind):
            return np.asarray(pc.cast(column, pa.float64()).to_numpy(zero_copy_only=False), dtype=np.float64)
    except pa.ArrowException:
        pass  # found row by row below, for the message
    values = column.to_pylist()
    out = np.empty(len(values))
    for row, value in enumerate(values):
        if value is None or (isinstance(value, str) and value.strip() in MISSING_TEXT):
            out[row] = math.nan
            continue
        try:
            if isinstance(value, bool) or (isinstance(value, str) and "_" in value):
                raise ValueError(value)  # Python's float() reads "1_0" as 10; a table means no number
            out[row] = float(value)
        except (TypeError, ValueError):
            raise InputError(f"{where}: column {table.names[k]!r} holds non-numeric values "
                             f"(row {row + 1}: {value!r})") from None
    return out


def positions_of(table: RawTable, k: int, where: str) -> np.ndarray:
    positions = numbers_of(table, k, where)
    missing = np.flatnonzero(~np.isfinite(positions))
    if len(missing):
        raise InputError(f"{where}: the position column {table.names[k]!r} has no number in row {missing[0] + 1}; "
                         f"every row needs its position")
    return positions


def transposed_hint(names: list[str]) -> str:
    """A table with cells as rows has no chromosome column but a nameless first
    one (the cell names) and positions for a header."""
    if (names and (not names[0].strip() or names[0].startswith("Unnamed"))) or \
            sum(name.strip().lstrip("-").isdigit() for name in names) > len(names) / 2:
        return ("; its first column has no name and most columns are numbered, as when cells are rows: ombrix "
                "reads cells as columns, one row per position (transpose it, e.g. pandas' DataFrame.T)")
    return ""


def atlas_from_wide_table(table: RawTable, name: str, chromosome: int) -> Atlas:
    names = table.names
    # the columns before the first cell that describe the positions (CopyKAT
    # writes chrom, chrompos, abspos, then the cells); from the first cell on,
    # every column is a cell, whatever its name
    metadata = set(table.index)
    for k, column in enumerate(names):
        if k == chromosome or k in metadata:
            continue
        if column.strip() == "" or column.strip().lower() in POSITION_METADATA:
            metadata.add(k)
            continue
        break
    cells = [k for k in range(len(names)) if k != chromosome and k not in metadata]
    if not cells:
        raise InputError(f"{name}: no cell columns beside {names[chromosome]!r}")
    seen: dict[str, int] = {}
    for k in cells:
        if not names[k].strip():
            raise InputError(f"{name}: column {k + 1} has no name; every cell needs one")
        if names[k] in seen:
            raise InputError(f"{name}: the cell {names[k]!r} has two columns ({seen[names[k]] + 1} and {k + 1}); "
                             f"cell names must be unique")
        seen[names[k]] = k
    labels = names_of(table, chromosome, name)
    chromosome_codes, chromosomes = pd.factorize(labels)  # genomic order: as the file lists them
    order = np.argsort(chromosome_codes, kind="stable")
    position = find_index([names[k] if k in metadata else "" for k in range(len(names))], WIDE_POSITIONS)
    if position is not None:
        positions = positions_of(table, position, name)
        absolute = find_index([names[k] if k in metadata else "" for k in range(len(names))], ("abspos",))
        if absolute is not None:  # chromosomes in the order of the genome, not of the rows
            starts = pd.Series(positions_of(table, absolute, name)).groupby(chromosome_codes).min()
            rank = np.argsort(np.argsort(starts.to_numpy(), kind="stable"), kind="stable")
            chromosome_codes, chromosomes = rank[chromosome_codes], chromosomes[np.argsort(rank)]
        order = np.lexsort((positions, chromosome_codes))
        same = np.flatnonzero((np.diff(chromosome_codes[order]) == 0) & (np.diff(positions[order]) == 0))
        if len(same):
            first, second = sorted(order[same[0]:same[0] + 2])
            raise InputError(f"{name}: rows {first + 1} and {second + 1} are both at {labels[first]}:"
                             f"{positions[first]:g} (column {names[position]!r}); each position once")
    values = np.column_stack([numbers_of(table, k, name) for k in cells])[order]
    counts = np.bincount(chromosome_codes, minlength=len(chromosomes))
    bounds = np.concatenate([[0], np.cumsum(counts)])
    ranges = [(int(bounds[k]), int(bounds[k + 1])) for k in range(len(chromosomes))]
    return Atlas(name, [names[k] for k in cells], [str(c) for c in chromosomes],
                 matrix=np.ascontiguousarray(values.T), ranges=ranges)


def atlas_from_long_table(table: RawTable, name: str, roles: dict[str, int]) -> Atlas:
    cell_names = names_of(table, roles["cell"], name)
    chromosome_names = names_of(table, roles["chromosome"], name)
    positions = positions_of(table, roles["position"], name)
    values = numbers_of(table, roles["value"], name)
    cell_codes, cells = pd.factorize(cell_names)
    chromosome_codes, chromosomes = pd.factorize(chromosome_names)
    order = np.lexsort((positions, chromosome_codes, cell_codes))
    same = np.flatnonzero((np.diff(cell_codes[order]) == 0) & (np.diff(chromosome_codes[order]) == 0)
                          & (np.diff(positions[order]) == 0))
    if len(same):
        row = order[same[0]]
        raise InputError(f"{name}: cell {str(cell_names[row])!r} has two values at "
                         f"{chromosome_names[row]}:{positions[row]:g}")
    # every cell needs a value at every position of a chromosome: a missing row
    # would join the positions around it into one run
    per_chromosome = pd.Series(positions).groupby(chromosome_codes).nunique().to_numpy()
    n_chromosomes = len(chromosomes)
    counts = np.bincount(cell_codes * n_chromosomes + chromosome_codes, minlength=len(cells) * n_chromosomes)
    short = np.flatnonzero(counts != np.tile(per_chromosome, len(cells)))
    if len(short):
        i, j = divmod(int(short[0]), n_chromosomes)
        everywhere = set(positions[chromosome_codes == j])
        held = set(positions[(chromosome_codes == j) & (cell_codes == i)])
        raise InputError(f"{name}: cell {str(cells[i])!r} has no value at {chromosomes[j]}:{min(everywhere - held):g}, "
                         f"where other cells have one; fill it, or drop that position from every cell")
    ordered = values[order]
    bounds = np.concatenate([[0], np.cumsum(counts)])
    profiles = {(int(k) // n_chromosomes, int(k) % n_chromosomes): ordered[bounds[k]:bounds[k + 1]].copy()
                for k in range(len(counts))}
    return Atlas(name, [str(c) for c in cells], [str(c) for c in chromosomes], profiles=profiles)
