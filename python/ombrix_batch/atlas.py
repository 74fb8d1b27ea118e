"""A copy-number atlas as the driver reads it: cells, chromosomes in genomic
order, and each cell's profile on each chromosome, read from one matrix (AnnData,
wide tables) or from per-profile arrays (long tables)."""
from __future__ import annotations

import os
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt
import scipy.sparse as sp

from .errors import InputError

Vector = npt.NDArray[np.float64]
FILE_BLOCK_ROWS = 2048  # rows read from a file at once


@dataclass
class Atlas:
    """`source` names where the values came from (for messages). Either
    `matrix` (cells x positions, dense or CSR) with `ranges`, the columns of each
    chromosome, or `profiles`, an array per (cell index, chromosome index)."""

    source: str
    cells: list[str]
    chromosomes: list[str]
    matrix: Any = None  # a NumPy array, a CSR matrix, or rows in a file (h5ad.FileRows)
    ranges: list[tuple[int, int]] = field(default_factory=list)
    profiles: dict[tuple[int, int], Vector] = field(default_factory=dict)

    cached: tuple[int, Vector] | None = field(default=None, repr=False, compare=False)

    def dense_block(self, first: int, stop: int) -> Vector:
        """Rows first..stop-1 as dense float64 (a matrix in a file is read here)."""
        return dense_float64(self.raw_block(first, stop))

    def raw_block(self, first: int, stop: int) -> Any:
        """Rows first..stop-1 as the matrix holds them (dense in its dtype, or
        CSR sharing the matrix's values)."""
        assert self.matrix is not None
        if isinstance(self.matrix, sp.csr_matrix):
            return csr_rows(self.matrix, first, stop)
        return self.matrix[first:stop]

    def block_source(self, first: int, stop: int) -> tuple[Any, int, int]:
        """What a worker reads rows first..stop-1 from, and where: a matrix in
        a file travels as its place and is read there; one in memory goes as
        the block itself."""
        if hasattr(self.matrix, "handle"):
            return self.matrix, first, stop
        return self.raw_block(first, stop), 0, stop - first

    def dense_row(self, i: int) -> Vector:
        matrix = self.matrix
        assert matrix is not None
        if isinstance(matrix, sp.csr_matrix):  # straight from the CSR arrays: scipy's indexing costs more
            row = np.zeros(matrix.shape[1])
            low, high = matrix.indptr[i], matrix.indptr[i + 1]
            row[matrix.indices[low:high]] = matrix.data[low:high]
            return row
        if isinstance(matrix, np.ndarray):
            return np.ascontiguousarray(matrix[i], dtype=np.float64)
        # a matrix in a file: a block of rows at a time, since the rows are
        # asked for in order (tasks are numbered as the panels find them)
        first = i - i % FILE_BLOCK_ROWS
        if self.cached is None or self.cached[0] != first:
            self.cached = (first, self.dense_block(first, min(first + FILE_BLOCK_ROWS, len(self.cells))))
        cached_row: Vector = self.cached[1][i - first]
        return cached_row

    def profile(self, i: int, j: int) -> Vector:
        """Cell i's profile on chromosome j, as contiguous float64."""
        if self.matrix is None:
            return self.profiles.get((i, j), np.zeros(0))
        start, stop = self.ranges[j]
        return np.ascontiguousarray(self.dense_row(i)[start:stop])

    def cell_rows(self, states: Any = None) -> Iterator[tuple[int, list[Vector]]]:
        """Each cell's profiles (as copy states, when `states` is given), one
        row of the matrix densified at a time."""
        apply = states.apply if states is not None else (lambda values: values)
        for i in range(len(self.cells)):
            if self.matrix is None:
                yield i, [np.ascontiguousarray(apply(self.profiles.get((i, j), np.zeros(0))))
                          for j in range(len(self.chromosomes))]
                continue
            dense = np.ascontiguousarray(apply(self.dense_row(i)), dtype=np.float64)
            yield i, [dense[start:stop] for start, stop in self.ranges]

    def panels(self, states: Any) -> Iterator[tuple[int, npt.NDArray[np.int64], Vector]]:
        """Per-profile arrays as panels of equal length, (chromosome index,
        cell indexes, values as copy states, one row per cell): the profiles
        of a chromosome grouped by their length, always in the same order.
        (A matrix is read in blocks of rows by the plan's workers.)"""
        for j in range(len(self.chromosomes)):
            by_length: dict[int, list[int]] = {}
            for i in range(len(self.cells)):
                by_length.setdefault(len(self.profiles.get((i, j), ())), []).append(i)
            for length in sorted(by_length):
                cells = np.array(by_length[length], dtype=np.int64)
                values = np.array([self.profiles.get((int(i), j), np.zeros(0)) for i in cells],
                                  dtype=np.float64).reshape(len(cells), length)
                yield j, cells, states.apply(values)

    def first_not_finite(self) -> tuple[str, str, int, float]:
        """Where the first NaN or infinite value is: cell, chromosome, position
        within the chromosome, and the value (for the error that names it)."""
        for i, profiles in self.cell_rows():
            for j, values in enumerate(profiles):
                bad = np.flatnonzero(~np.isfinite(values))
                if len(bad):
                    return self.cells[i], self.chromosomes[j], int(bad[0]), float(values[bad[0]])
        raise ValueError("every value is finite")


def dense_float64(block: Any) -> Vector:
    """A block of rows (dense, or sparse) as a dense float64 array."""
    return np.asarray(block.toarray() if sp.issparse(block) else block, dtype=np.float64)


def csr_rows(matrix: sp.csr_matrix, first: int, stop: int) -> sp.csr_matrix:
    """Rows first..stop-1 of a CSR matrix as views of its arrays: scipy's
    slice copies them, which for a block of a large atlas costs more than
    all the planning of it."""
    if first == 0 and stop == matrix.shape[0]:  # a small atlas is one block: the matrix itself
        return matrix
    low, high = int(matrix.indptr[first]), int(matrix.indptr[stop])
    rows = sp.csr_matrix((matrix.data[low:high], matrix.indices[low:high], matrix.indptr[first:stop + 1] - low),
                         shape=(stop - first, matrix.shape[1]), copy=False)
    if matrix.has_canonical_format:  # known for the matrix once, so not counted again for each block
        rows.has_canonical_format = True
    return rows


def canonical(block: sp.csr_matrix) -> sp.csr_matrix:
    """A CSR block with its columns in order and one stored value per
    position (the sum of a file's duplicates, as toarray() makes it)."""
    if block.has_canonical_format:
        return block
    block = block.copy()
    block.sum_duplicates()
    return block


def csr_float64(matrix: Any) -> sp.csr_matrix:
    """A sparse matrix as float64 CSR with one stored value per position."""
    matrix = sp.csr_matrix(matrix, dtype=np.float64)
    matrix.sum_duplicates()
    return matrix


def check_source(source: Any) -> None:
    """A path, an AnnData or an Atlas; anything else is named before any work."""
    if isinstance(source, (str, os.PathLike, Atlas)):
        return
    # asked of an AnnData's class first, which defines both: its properties are not run
    if not all(hasattr(type(source), name) or hasattr(source, name) for name in ("obsm", "uns")):
        raise InputError(f"the atlas must be a path (str or os.PathLike), an AnnData or an Atlas, not "
                         f"{type(source).__name__}")
