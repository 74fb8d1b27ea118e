from collections.abc import Callable
from typing import Any, NotRequired, TypedDict

import numpy as np
import numpy.typing as npt

class _Score(TypedDict):
    smooth_segment: list[list[float]]
    rearrange_score: float
    limit: float

class _Judged(TypedDict):
    dc: _Score
    num_greater: int
    x: int
    backgrounds: int
    background_scores: NotRequired[list[float]]

def sequential_score(x: int, cnv: npt.NDArray[np.float64], exp_lambda: npt.NDArray[np.float64],
                     possion_lambda: npt.NDArray[np.float64], chr_num: int, backgrounds: int,
                     stop_after: int, keep_scores: bool = False, /) -> _Judged: ...
def score_chunk(values: npt.NDArray[np.float64], starts: npt.NDArray[np.int64],
                exp_lambda: npt.NDArray[np.float64], possion_lambda: npt.NDArray[np.float64], backgrounds: int,
                stop_after: int, with_r: bool, before_task: Callable[[], object] | None = None,
                /) -> tuple[npt.NDArray[Any], ...]: ...
def row_changes(dense: npt.NDArray[np.float64 | np.int8 | np.int64], starts: npt.NDArray[np.int64],
                stops: npt.NDArray[np.int64], /) -> npt.NDArray[np.bool_]: ...
def stored_bounds(indptr: npt.NDArray[np.int32 | np.int64], indices: npt.NDArray[np.int32 | np.int64],
                  columns: npt.NDArray[np.int64], /) -> npt.NDArray[np.int64]: ...
