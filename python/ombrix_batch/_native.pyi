from typing import NotRequired, TypedDict

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
def sequential_r(cnv: npt.NDArray[np.float64], exp_lam: float, possion_lam: float, backgrounds: int,
                 stop_after: int, observed: float, /) -> tuple[int, int]: ...
