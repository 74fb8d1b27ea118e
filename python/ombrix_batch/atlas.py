"""A copy-number atlas as the driver reads it: cells, chromosomes in genomic
order, and each cell's profile on each chromosome, read from one matrix (AnnData,
wide tables) or from per-profile arrays (long tables)."""
from __future__ import annotations

from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt
import scipy.sparse as sp

Vector = npt.NDArray[np.float64]


@dataclass
class Atlas:
    """`source` names where the values came from (for messages). Either
    `matrix` (cells x positions, dense or CSR) with `ranges`, the columns of each
    chromosome, or `profiles`, an array per (cell index, chromosome index)."""

    source: str
    cells: list[str]
    chromosomes: list[str]
    matrix: npt.NDArray[np.float64] | sp.csr_matrix | None = None
    ranges: list[tuple[int, int]] = field(default_factory=list)
    profiles: dict[tuple[int, int], Vector] = field(default_factory=dict)

    def dense_row(self, i: int) -> Vector:
        matrix = self.matrix
        assert matrix is not None
        if sp.issparse(matrix):  # straight from the CSR arrays: scipy's indexing costs more than the row
            row = np.zeros(matrix.shape[1])
            low, high = matrix.indptr[i], matrix.indptr[i + 1]
            row[matrix.indices[low:high]] = matrix.data[low:high]
            return row
        return np.ascontiguousarray(matrix[i], dtype=np.float64)

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

    def stored_values(self) -> Iterator[Vector]:
        """Every value held, in blocks (implicit zeros of a sparse matrix aside)."""
        if self.matrix is None:
            yield from self.profiles.values()
        elif sp.issparse(self.matrix):
            yield np.asarray(self.matrix.data, dtype=np.float64)
        else:
            yield np.asarray(self.matrix, dtype=np.float64).ravel()

    def first_not_finite(self) -> tuple[str, str, int, float]:
        """Where the first NaN or infinite value is: cell, chromosome, position
        within the chromosome, and the value (for the error that names it)."""
        for i, profiles in self.cell_rows():
            for j, values in enumerate(profiles):
                bad = np.flatnonzero(~np.isfinite(values))
                if len(bad):
                    return self.cells[i], self.chromosomes[j], int(bad[0]), float(values[bad[0]])
        raise ValueError("every value is finite")

