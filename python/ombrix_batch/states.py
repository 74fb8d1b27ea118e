"""Copy states: ombrix scores integer copy numbers. Integer-valued data are
scored as they are; continuous values (log ratios) only after a chosen
discretisation, or raw on purpose."""
from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np

from .atlas import Atlas, Vector
from .defaults import CNVKIT_THRESHOLDS, METHODS
from .errors import InputError

# CNVkit's default log2-ratio cut points for a diploid genome: below -1.1 is
# 0 copies, then 1, 2 (neutral, -0.25 to 0.2), 3, and 4 from 0.7 on.


@dataclass(frozen=True)
class States:
    """`method`: "integer" (refuse anything else), "round" (to the nearest
    integer, halves to even), "thresholds" (state = how many cut points lie at
    or below the value), or "none" (raw values)."""

    method: str = "integer"
    thresholds: tuple[float, ...] = CNVKIT_THRESHOLDS

    def __post_init__(self) -> None:
        if self.method not in METHODS:
            raise InputError(f"states must be one of {METHODS}, not {self.method!r}")
        if self.method == "thresholds":
            try:
                cuts = np.asarray(self.thresholds, dtype=np.float64)
            except (TypeError, ValueError):
                cuts = np.array([np.nan])
            if cuts.ndim != 1 or not len(cuts) or not np.isfinite(cuts).all() or (np.diff(cuts) <= 0).any():
                raise InputError(f"thresholds must be finite cut points in increasing order, each once, like "
                                 f"{','.join(map(str, CNVKIT_THRESHOLDS))}; got {list(self.thresholds)!r}")

    def apply(self, values: Vector) -> Vector:
        if self.method == "round":
            return np.round(values)
        if self.method == "thresholds":
            return self.compact(values).astype(np.float64)
        return values

    def compact(self, values: Any) -> np.ndarray:
        """The copy states in the fewest bytes that hold them exactly: for
        thresholds, how many cut points lie at or below each value (as
        searchsorted's side="right" counts them, NaN above them all) in one
        byte; float64 otherwise."""
        if self.method != "thresholds":
            return np.asarray(self.apply(values), dtype=np.float64)
        values = np.asarray(values, dtype=np.float64)
        counts = np.zeros(values.shape, dtype=np.int8 if len(self.thresholds) < 127 else np.int64)
        at_or_above = np.empty(values.shape, dtype=bool)
        # one comparison per cut point: a few times faster than a binary search per value
        for cut in self.thresholds:
            counts += np.greater_equal(values, np.float64(cut), out=at_or_above)
        counts[np.isnan(values)] = len(self.thresholds)
        return counts

    def describe(self) -> str:
        if self.method == "thresholds":
            return f"thresholds {list(self.thresholds)} (state = number of cut points at or below the value)"
        return {"integer": "integer copy states, as given", "round": "rounded to the nearest integer",
                "none": "raw values, scored as they are"}[self.method]


def not_finite_error(source: str, cell: str, chromosome: str, position: int, value: float) -> InputError:
    return InputError(f"{source}: the copy numbers hold NaN or infinite values (the first: {value} for cell "
                      f"{cell!r} on {chromosome}, position {position} of the chromosome); fill or drop them "
                      f"before scoring")


def not_integer_error(source: str, example: float) -> InputError:
    return InputError(
        f"{source}: the values are not integer copy states (for example {example:g}). "
        f"ombrix scores copy-number states, and log ratios (as infercnvpy and CopyKAT write them) "
        f"must be made into states first. Choose a discretisation: 'thresholds' (log2 ratios cut at "
        f"{list(CNVKIT_THRESHOLDS)}, CNVkit's defaults for ploidy 2, or your own cut points), "
        f"'round' (the nearest integer, for copy numbers that carry noise), or 'none' to score the "
        f"raw values on purpose (--states / states=)")


def check_values(atlas: Atlas, states: States) -> None:
    """For per-profile arrays (a matrix is checked a block at a time as it is
    planned): refuses missing or infinite values, and continuous values unless a
    discretisation is chosen, with the reason and the choices."""
    for block in atlas.profiles.values():
        if not np.isfinite(block).all():
            raise not_finite_error(atlas.source, *atlas.first_not_finite())
        if states.method == "integer" and (block != np.round(block)).any():
            raise not_integer_error(atlas.source, block[block != np.round(block)][0])
