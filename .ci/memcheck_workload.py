"""Calls every function on its success and failure paths, for a memcheck run."""
import warnings

import numpy as np

import ombrix

warnings.simplefilter("ignore")
p = np.array([2,2,2,3,2,2,3,9,9,9,1,1,0,0,5.0])
print(ombrix.skew(p), ombrix.ombrix(p[::-1], np.zeros((2,2)))["rearrange_score"], ombrix.cal_limit(p), ombrix.cal_R_pyx(p[::2]))
print(ombrix.permutation_score(0, p, None, np.ones(1), np.array([6.0]), 0, 20, True)["num_greater"])
print(ombrix.perm_cnv_pyx(p, 1.0, 4.0, 10, 1))
for bad in [(np.arange(3),), (None,), ([1],)]:
    try: ombrix.skew(*bad)
    except Exception as e: print(type(e).__name__)
