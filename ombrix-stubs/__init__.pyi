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
