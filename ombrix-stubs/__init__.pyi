"""Copy-number rearrangement scores and their seeded permutation backgrounds.

Profiles are 1-D, writable float64 buffers (NumPy arrays, any stride); they
are read in place and never written.
"""
import numpy as _np
import numpy.typing as _npt

_FloatVector = _npt.NDArray[_np.float64] | None
_FloatMatrix = _npt.NDArray[_np.float64] | None

np = _np

def skew(data: _FloatVector) -> float:
    """Moment skewness (biased Fisher-Pearson g1) of ``data``.

    The mean of the cubed standardised deviations, with the population
    standard deviation (``ddof=0``). NaN for an empty or constant vector.
    """

def ombrix(cnv_data: _FloatVector, chr_pos: _FloatMatrix) -> dict[str, object]:
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
