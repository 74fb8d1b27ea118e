"""Copy-number rearrangement scores and their seeded permutation backgrounds.

Profiles are 1-D, writable float64 buffers (NumPy arrays, any stride); they
are read in place and never written.
"""
from typing import TypedDict

import numpy as _np
import numpy.typing as _npt

_FloatVector = _npt.NDArray[_np.float64] | None
_FloatMatrix = _npt.NDArray[_np.float64] | None

np = _np

# The result dictionaries. These classes exist for type checkers only: import
# them under ``typing.TYPE_CHECKING`` (``from ombrix import ScoreResult``).

class ScoreResult(TypedDict):
    """What ``ombrix`` returns."""

    smooth_segment: list[list[float]]
    rearrange_score: float

class JudgedScore(ScoreResult):
    """The ``"dc"`` entry of ``permutation_score``: the score with its limit."""

    limit: float

class PermutationScoreResult(TypedDict):
    """What ``permutation_score`` returns."""

    dc: JudgedScore
    num_greater: int
    x: int

def skew(data: _FloatVector) -> float:
    """Moment skewness (biased Fisher-Pearson g1) of ``data``.

    The mean of the cubed standardised deviations, with the population
    standard deviation (``ddof=0``). NaN for an empty or constant vector.
    """

def ombrix(cnv_data: _FloatVector, chr_pos: _FloatMatrix) -> ScoreResult:
    """Rearrangement score of a copy-number profile, with its segment table.

    Returns ``{"smooth_segment": rows, "rearrange_score": score}``. The rows
    are ``[start, end, length]`` floats, one per run of equal consecutive
    values: ``start`` is the last index of the preceding run (0 for the first
    row), ``end`` the last index of the run, ``length = end - start + 1``.
    For r >= 2 rows the score is ``r / sum(lengths) * 1 / (1 + exp(s)) * v``
    with ``s`` the skewness of the lengths and ``v`` the population variance
    of the profile; a profile with one run scores 0.0, and so does one whose
    score computation raises. ``chr_pos`` is validated and otherwise unused.
    """

def cal_limit(x: _FloatVector, coverage_thr: float = 0.6) -> float | int:
    """Share of the non-modal elements that lie exactly one unit from the mode.

    The modal value is the most frequent one (ties: the first seen). Returns
    the integer -1 when ``x`` has fewer than two distinct values.
    ``coverage_thr`` is converted and otherwise unused.
    """

def cal_R_pyx(cnv_data: _FloatVector) -> float:
    """R statistic: change-point density times a logistic weight of the gap
    skewness, ``1 / (1 + exp(-s))``, times the population variance.

    0.0 for a profile with fewer than two change points.
    """

def permutation_bg(
    data: _FloatVector,
    chr_pos: _FloatMatrix,
    lbd: float,
    possion_lbd: float,
    size: int,
    seed: int = 1,
) -> float:
    """One seeded background value for the rearrangement score.

    Seeds NumPy's global generator with ``seed``, draws d ~ Poisson(
    ``possion_lbd``) and max(1, d) exponential weights of scale ``lbd``, cuts
    ``data`` at the rounded running sums of the normalised weights, replaces
    every segment by its rounded mean (single precision), merges equal
    neighbours into runs and scores the result like ``ombrix``. Returns +inf
    when d <= 2 and 0.0 for fewer than two runs. ``chr_pos`` and ``size`` are
    validated and otherwise unused. Raises ValueError for an ``lbd`` (0, inf,
    NaN) whose weights give no cut positions.
    """

def permutation_score(
    x: int,
    cnv: _FloatVector,
    gene_loc: _FloatMatrix,
    exp_lambda: _FloatVector,
    possion_lambda: _FloatVector,
    chr_num: int,
    random_num: int,
    random: object,
) -> PermutationScoreResult:
    """Judge one profile against ``random_num`` seeded backgrounds.

    Returns ``{"dc": score, "num_greater": count, "x": x}`` where ``score`` is
    the ``ombrix`` dictionary with ``"limit"`` (``cal_limit``, single
    precision) added, and ``count`` the number of backgrounds
    ``permutation_bg(cnv, gene_loc, exp_lambda[x], possion_lambda[chr_num],
    ..., seed=i)``, i = 1 .. ``random_num``, that, rounded to single
    precision, are at least the observed score. A NaN lambda falls back to
    the mean of its vector's other entries; if it stays NaN every background
    counts. With ``random`` false no background is drawn. Raises IndexError
    when ``x`` or ``chr_num`` is outside its vector.
    """

def perm_cnv_pyx(
    cnv_data: _FloatVector,
    exp_lam: float,
    possion_lam: float,
    random_num: int,
    seed: int,
) -> list[float | int]:
    """Background of R statistics over seeded re-segmentations of a profile.

    Draws ``random_num`` Poisson(``possion_lam``) cut counts under ``seed``;
    entry k is the integer 0 for a zero draw d, otherwise ``cal_R_pyx`` of
    the profile smoothed to segment means over d + 1 exponential spacings of
    scale ``exp_lam`` drawn under seed k.
    """
