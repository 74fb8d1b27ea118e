"""Notes on binding failures: they name the parameter and the usual fix, and
leave the exception's message, type and traceback entries as they were."""
import numpy as np
import pytest

import ombrix
from conftest import ombrix_entries

VECTOR_TAKES = "takes a 1-D float64 NumPy array (writable, any stride) or None"


def read_only(values):
    values.flags.writeable = False
    return values


def series():
    pd = pytest.importorskip("pandas")
    return pd.Series([1.0, 2.0, 2.0])


# (argument factory, exception type, exact message, what the note says about it, the fix)
BAD_PROFILES = {
    "list": (lambda: [1.0, 2.0], TypeError, "a bytes-like object is required, not 'list'",
             "got a list.", "np.ascontiguousarray(data, dtype=np.float64)"),
    "int64": (lambda: np.arange(3, dtype=np.int64), ValueError,
              "Buffer dtype mismatch, expected 'double' but got 'long'",
              "got a 1-D int64 array.", "np.ascontiguousarray(data, dtype=np.float64)"),
    "float32": (lambda: np.arange(3, dtype=np.float32), ValueError,
                "Buffer dtype mismatch, expected 'double' but got 'float'",
                "got a 1-D float32 array.", "np.ascontiguousarray(data, dtype=np.float64)"),
    "series": (series, TypeError, "a bytes-like object is required, not 'Series'",
               "got a pandas Series.", "data.to_numpy(dtype=np.float64, copy=True)"),
    "read-only": (lambda: read_only(np.arange(3.0)), ValueError, "buffer source array is read-only",
                  "got a read-only 1-D float64 array.", "data.copy()"),
    "2-D": (lambda: np.arange(6.0).reshape(2, 3), ValueError,
            "Buffer has wrong number of dimensions (expected 1, got 2)",
            "got a 2-D float64 array of shape (2, 3).", "data[i] for row i"),
}


@pytest.mark.parametrize("kind", BAD_PROFILES)
def test_a_bad_profile_gets_a_note_with_the_fix(kind):
    make, exc_type, message, described, fix = BAD_PROFILES[kind]
    with pytest.raises(exc_type) as info:
        ombrix.skew(make())
    assert str(info.value) == message
    assert ombrix_entries(info.value) == [("ombrix.skew", 8)]
    [note] = info.value.__notes__
    assert note.startswith(f"ombrix.skew(), parameter 'data': {VECTOR_TAKES}; {described}")
    assert fix in note


@pytest.mark.parametrize("kind", BAD_PROFILES)
def test_the_fix_in_the_note_works(kind):
    make, _, _, _, fix = BAD_PROFILES[kind]
    data = make()
    fixed = eval(fix.removesuffix(" for row i"), {"np": np, "data": data, "i": 0})
    assert ombrix.skew(fixed) == ombrix.skew(np.array(fixed, dtype=np.float64))


def test_a_misspelt_keyword_is_matched_to_the_missing_parameter():
    with pytest.raises(TypeError) as info:
        ombrix.permutation_score(0, np.ones(3), None, np.ones(1), poisson_lambda=np.ones(1),
                                 chr_num=0, random_num=1, random=True)
    assert str(info.value) == "permutation_score() takes exactly 8 positional arguments (4 given)"
    assert ombrix_entries(info.value) == [("ombrix.permutation_score", 186)]
    [note] = info.value.__notes__
    assert note == (
        "ombrix.permutation_score() takes (x, cnv, gene_loc, exp_lambda, possion_lambda, chr_num, "
        "random_num, random). Missing: 'possion_lambda'. The keyword 'poisson_lambda' is not one "
        "of its parameters: did you mean 'possion_lambda'?")


@pytest.mark.parametrize("call, message, note_end", [
    (lambda: ombrix.permutation_bg(np.ones(3), None, 1.0, 2.0, 0, sed=3),
     "permutation_bg() got an unexpected keyword argument 'sed'",
     "(data, chr_pos, lbd, possion_lbd, size, seed=1). The keyword 'sed' is not one of its "
     "parameters: did you mean 'seed'?"),
    (lambda: ombrix.cal_limit(), "cal_limit() takes at least 1 positional argument (0 given)",
     "(x, coverage_thr=0.6). Missing: 'x'."),
    (lambda: ombrix.skew(np.ones(2), zzz=1), "skew() got an unexpected keyword argument 'zzz'",
     "(data). The keyword 'zzz' is not one of its parameters."),
])
def test_count_and_keyword_failures_show_the_signature(call, message, note_end):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    [note] = info.value.__notes__
    assert note.endswith(note_end)


@pytest.mark.parametrize("call, exc_type, note_part", [
    (lambda: ombrix.permutation_bg(np.ones(3), None, "1", 2.0, 0), TypeError,
     "parameter 'lbd': takes a real number; got a str. Pass a number, such as float(lbd)."),
    (lambda: ombrix.permutation_bg(np.ones(3), None, 1.0, 2.0, 2**40), OverflowError,
     "parameter 'size': takes a 32-bit integer, from -2147483648 to 2147483647"),
    (lambda: ombrix.perm_cnv_pyx(np.ones(3), 1.0, 2.0, "3", 1), TypeError,
     "parameter 'random_num': takes an integer; got a str."),
    (lambda: ombrix.ombrix(np.ones(3), [[1.0]]), TypeError,
     "parameter 'chr_pos': takes a 2-D float64 NumPy array or None; got a list. Pass None"),
])
def test_scalar_and_table_failures_name_their_parameter(call, exc_type, note_part):
    with pytest.raises(exc_type) as info:
        call()
    [note] = info.value.__notes__
    assert note_part in note


def test_exceptions_raised_by_the_argument_itself_get_no_note():
    class Broken:
        def __float__(self):
            raise RuntimeError("broken on purpose")

    with pytest.raises(RuntimeError) as info:
        ombrix.permutation_bg(np.ones(3), None, Broken(), 2.0, 0)
    assert not hasattr(info.value, "__notes__")
