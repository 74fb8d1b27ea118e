"""The type stubs describe the results precisely enough that ordinary user
code, and the examples, pass `mypy --strict`; and a misspelt key does not."""
import pathlib
import runpy
import shutil
import warnings

import pytest

REPO = pathlib.Path(__file__).resolve().parent.parent
EXAMPLE = REPO / "examples" / "score_profiles.py"

USER_CODE = '''\
import numpy as np
import ombrix

cnv = np.array([1.0, 1.0, 2.0, 2.0, 2.0, 3.0])
res = ombrix.permutation_score(0, cnv, None, np.array([1.0]), np.array([20.0]), 0, 50, True)
pval: float = (res["num_greater"] + 1) / (50 + 1)
score: float = res["dc"]["rearrange_score"] * 2.0
limit: float = res["dc"]["limit"]
index: int = res["x"]
segments = res["dc"]["smooth_segment"]
lengths: list[float] = [end - start + 1 for start, end, _ in segments]
table = ombrix.ombrix(cnv, None)
first_start: float = table["smooth_segment"][0][0]
r: float = ombrix.cal_R_pyx(cnv)
reached = sum(1 for value in ombrix.perm_cnv_pyx(cnv, 1.0, 5.0, 10, 1) if value >= r)
background: float = ombrix.permutation_bg(cnv, None, 1.0, 20.0, 0, seed=3)
share = ombrix.cal_limit(cnv)
skewness: float = ombrix.skew(cnv) + 1.0
assert isinstance(res["num_greater"], int) and isinstance(limit, float) and isinstance(index, int)
'''

MISSPELT_KEY = '''\
import numpy as np
import ombrix

res = ombrix.permutation_score(0, np.ones(3), None, np.ones(1), np.ones(1), 0, 5, True)
count = res["num_greatr"] + 1
'''


@pytest.fixture
def mypy(tmp_path, monkeypatch):
    api = pytest.importorskip("mypy.api")
    # The stubs of this checkout, whether or not the package is installed.
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    shutil.copy(REPO / "ombrix-stubs" / "__init__.pyi", stubs / "ombrix.pyi")
    monkeypatch.setenv("MYPYPATH", str(stubs))
    cache = tmp_path / "cache"

    def run(*paths):
        out, err, status = api.run(["--strict", "--no-error-summary", "--cache-dir", str(cache),
                                    *map(str, paths)])
        return status, out + err

    return run


def test_user_code_and_the_example_pass_strict_checking(mypy, tmp_path):
    user = tmp_path / "user_code.py"
    user.write_text(USER_CODE)
    status, output = mypy(user, EXAMPLE)
    assert status == 0, output
    with warnings.catch_warnings():  # NumPy's warnings about empty segments
        warnings.simplefilter("ignore")
        runpy.run_path(str(user))  # the types hold at run time too


def test_a_misspelt_result_key_is_caught(mypy, tmp_path):
    user = tmp_path / "misspelt.py"
    user.write_text(MISSPELT_KEY)
    status, output = mypy(user)
    assert status == 1
    assert '"num_greatr"' in output
