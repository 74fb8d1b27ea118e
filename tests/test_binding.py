"""Argument binding of every published function: counts, keywords, conversions."""
import ctypes
import re
import sys

import numpy as np
import pytest

import ombrix
from conftest import ombrix_entries


def vec():
    return np.array([1.0, 1.0, 2.0, 2.0, 2.0, 3.0])


def mat():
    return np.zeros((2, 3))


# name -> (definition line, [(parameter, kind, line, valid value factory)])
FUNCTIONS = {
    "skew": (8, [("data", "vector", 8, vec)]),
    "ombrix": (26, [("cnv_data", "vector", 26, vec), ("chr_pos", "matrix", 27, mat)]),
    "cal_limit": (67, [("x", "vector", 70, vec), ("coverage_thr", "double", 70, lambda: 0.6)]),
    "permutation_bg": (110, [
        ("data", "vector", 110, vec), ("chr_pos", "matrix", 111, mat),
        ("lbd", "double", 112, lambda: 1.0), ("possion_lbd", "double", 112, lambda: 0.0),
        ("size", "int", 112, lambda: 3), ("seed", "int", 112, lambda: 1)]),
    "permutation_score": (186, [
        ("x", "int", 186, lambda: 0), ("cnv", "vector", 186, vec),
        ("gene_loc", "matrix", 186, mat), ("exp_lambda", "vector", 187, lambda: np.ones(2)),
        ("possion_lambda", "vector", 188, lambda: np.ones(2)), ("chr_num", "int", 188, lambda: 0),
        ("random_num", "int", 188, lambda: 0), ("random", "truth", 188, lambda: False)]),
    "cal_R_pyx": (239, [("cnv_data", "vector", 239, vec)]),
    "perm_cnv_pyx": (263, [
        ("cnv_data", "vector", 263, vec), ("exp_lam", "double", 263, lambda: 1.0),
        ("possion_lam", "double", 263, lambda: 0.0), ("random_num", "int", 263, lambda: 2),
        ("seed", "int", 263, lambda: 1)]),
}
PUBLISHED = [name for name in FUNCTIONS if hasattr(ombrix, name)]


def valid_args(name):
    return [factory() for _, _, _, factory in FUNCTIONS[name][1]]


def qualname(name):
    return "ombrix." + name


def params_of_kind(*kinds):
    return [(name, i) for name in PUBLISHED
            for i, (_, kind, _, _) in enumerate(FUNCTIONS[name][1]) if kind in kinds]


def expect_binding_error(name, args, kwargs, exc_type, message, line):
    with pytest.raises(exc_type) as info:
        getattr(ombrix, name)(*args, **kwargs)
    assert str(info.value) == message
    assert ombrix_entries(info.value) == [(qualname(name), line)]


COUNT_CASES = [
    ("skew", 0, {}, "skew() takes exactly 1 positional argument (0 given)"),
    ("skew", 2, {}, "skew() takes exactly 1 positional argument (2 given)"),
    ("cal_limit", 0, {}, "cal_limit() takes at least 1 positional argument (0 given)"),
    ("cal_limit", 3, {}, "cal_limit() takes at most 2 positional arguments (3 given)"),
    ("permutation_bg", 4, {}, "permutation_bg() takes at least 5 positional arguments (4 given)"),
    ("permutation_bg", 7, {}, "permutation_bg() takes at most 6 positional arguments (7 given)"),
    ("ombrix", 0, {"cnv_data": vec()}, "ombrix() takes exactly 2 positional arguments (1 given)"),
    ("ombrix", 1, {}, "ombrix() takes exactly 2 positional arguments (1 given)"),
    ("ombrix", 0, {"chr_pos": mat()}, "ombrix() takes exactly 2 positional arguments (0 given)"),
    ("ombrix", 3, {}, "ombrix() takes exactly 2 positional arguments (3 given)"),
    ("ombrix", 3, {"bogus": 1}, "ombrix() takes exactly 2 positional arguments (3 given)"),
    ("permutation_score", 2, {"gene_loc": mat()},
     "permutation_score() takes exactly 8 positional arguments (3 given)"),
    ("permutation_score", 0, {"cnv": vec()},
     "permutation_score() takes exactly 8 positional arguments (0 given)"),
    ("cal_R_pyx", 2, {}, "cal_R_pyx() takes exactly 1 positional argument (2 given)"),
    ("perm_cnv_pyx", 2, {}, "perm_cnv_pyx() takes exactly 5 positional arguments (2 given)"),
]


@pytest.mark.parametrize("name, npos, kwargs, message", COUNT_CASES)
def test_argument_count_errors(name, npos, kwargs, message):
    if name not in PUBLISHED:
        pytest.skip("not published")
    args = (valid_args(name) * 2 + [None] * 8)[:npos]
    expect_binding_error(name, args, kwargs, TypeError, message, FUNCTIONS[name][0])


@pytest.mark.parametrize("name", PUBLISHED)
def test_all_keywords_bind_like_positionals(name):
    params = FUNCTIONS[name][1]
    args = valid_args(name)
    by_keyword = getattr(ombrix, name)(**{p[0]: a for p, a in zip(params, args)})
    assert repr(by_keyword) == repr(getattr(ombrix, name)(*args))


@pytest.mark.parametrize("name", PUBLISHED)
def test_keyword_errors(name):
    definition_line, params = FUNCTIONS[name]
    args = valid_args(name)
    expect_binding_error(name, args, {"bogus": 1}, TypeError,
                         f"{name}() got an unexpected keyword argument 'bogus'", definition_line)
    expect_binding_error(name, args, {params[0][0]: args[0]}, TypeError,
                         f"{name}() got multiple values for keyword argument '{params[0][0]}'",
                         definition_line)


class Str(str):
    pass


@pytest.mark.parametrize("name", PUBLISHED)
def test_keyword_names_match_by_string_equality(name):
    params = FUNCTIONS[name][1]
    args = valid_args(name)
    kwargs = {Str(p[0]): a for p, a in zip(params, args)}
    assert repr(getattr(ombrix, name)(**kwargs)) == repr(getattr(ombrix, name)(*args))


def vectorcall(func, args, kwnames):
    api = ctypes.pythonapi
    api.PyObject_Vectorcall.restype = ctypes.py_object
    api.PyObject_Vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t,
                                        ctypes.py_object]
    array = (ctypes.py_object * len(args))(*args)
    return api.PyObject_Vectorcall(func, ctypes.cast(array, ctypes.c_void_p),
                                   len(args) - len(kwnames), kwnames)


@pytest.mark.parametrize("name", PUBLISHED)
def test_non_string_keyword_is_refused(name):
    args = valid_args(name)
    with pytest.raises(TypeError) as info:
        vectorcall(getattr(ombrix, name), args + [1], (3,))
    assert str(info.value) == f"{name}() keywords must be strings"
    assert ombrix_entries(info.value) == [(qualname(name), FUNCTIONS[name][0])]


def readonly_vector():
    a = vec()
    a.flags.writeable = False
    return a


BAD_VECTORS = [
    (lambda: np.arange(3), ValueError, "Buffer dtype mismatch, expected 'double' but got 'long'"),
    (lambda: np.arange(3, dtype=np.float32), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (lambda: np.zeros(3, dtype=complex), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'complex double'"),
    (lambda: np.zeros(3, dtype=bool), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'bool'"),
    (lambda: np.zeros((2, 2)), ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    (lambda: np.zeros(3, dtype=">f8"), ValueError,
     "Big-endian buffer not supported on little-endian compiler"),
    (readonly_vector, ValueError, "buffer source array is read-only"),
    (lambda: [1.0, 2.0], TypeError, "a bytes-like object is required, not 'list'"),
    (lambda: 3.0, TypeError, "a bytes-like object is required, not 'float'"),
    (lambda: b"\0" * 8, BufferError, "Object is not writable."),
    (lambda: bytearray(8), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'unsigned char'"),
    (lambda: memoryview(bytearray(16)).cast("d", (1, 2)), ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
]


@pytest.mark.parametrize("name, index", params_of_kind("vector"))
@pytest.mark.parametrize("make_bad, exc_type, message", BAD_VECTORS)
def test_vector_buffer_errors(name, index, make_bad, exc_type, message):
    args = valid_args(name)
    args[index] = make_bad()
    expect_binding_error(name, args, {}, exc_type, message, FUNCTIONS[name][1][index][2])


BAD_MATRICES = [
    (lambda: np.zeros(3), ValueError, "Buffer has wrong number of dimensions (expected 2, got 1)"),
    (lambda: np.zeros((2, 2), dtype=np.int64), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'long'"),
    (lambda: "ab", TypeError, "a bytes-like object is required, not 'str'"),
]


@pytest.mark.parametrize("name, index", params_of_kind("matrix"))
@pytest.mark.parametrize("make_bad, exc_type, message", BAD_MATRICES)
def test_matrix_buffer_errors(name, index, make_bad, exc_type, message):
    args = valid_args(name)
    args[index] = make_bad()
    expect_binding_error(name, args, {}, exc_type, message, FUNCTIONS[name][1][index][2])


class IntReturnsFloat:
    def __int__(self):
        return 1.5


class IntRaises:
    def __int__(self):
        raise ArithmeticError("no int")


class IndexOnly:
    def __index__(self):
        return 1


BAD_INTS = [
    (2**31, OverflowError, "value too large to convert to int"),
    (-(2**31) - 1, OverflowError, "value too large to convert to int"),
    (2**200, OverflowError, "value too large to convert to int"),
    ("3", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (IndexOnly(), TypeError, "an integer is required"),
    (IntReturnsFloat(), TypeError, "__int__ returned non-int (type float)"),
    (IntRaises(), ArithmeticError, "no int"),
]


@pytest.mark.parametrize("name, index", params_of_kind("int"))
@pytest.mark.parametrize("bad, exc_type, message", BAD_INTS)
def test_int_conversion_errors(name, index, bad, exc_type, message):
    args = valid_args(name)
    args[index] = bad
    expect_binding_error(name, args, {}, exc_type, message, FUNCTIONS[name][1][index][2])


@pytest.mark.parametrize("name, index", params_of_kind("double"))
@pytest.mark.parametrize("bad, message", [
    ("a", "must be real number, not str"),
    (None, "must be real number, not NoneType"),
])
def test_double_conversion_errors(name, index, bad, message):
    args = valid_args(name)
    args[index] = bad
    expect_binding_error(name, args, {}, TypeError, message, FUNCTIONS[name][1][index][2])


@pytest.mark.parametrize("name, index", params_of_kind("truth"))
def test_truth_conversion_error(name, index):
    class NoTruth:
        def __bool__(self):
            raise ZeroDivisionError("no truth")

    args = valid_args(name)
    args[index] = NoTruth()
    expect_binding_error(name, args, {}, ZeroDivisionError, "no truth",
                         FUNCTIONS[name][1][index][2])


@pytest.mark.parametrize("name, index", params_of_kind("vector"))
def test_vectors_of_2_31_elements_are_refused(name, index):
    args = valid_args(name)
    args[index] = np.lib.stride_tricks.as_strided(np.zeros(1), shape=(2**31,), strides=(0,),
                                                  writeable=True)
    with pytest.raises(ValueError, match=re.escape("2**31 elements or more are not supported")):
        getattr(ombrix, name)(*args)


@pytest.mark.parametrize("name", PUBLISHED)
def test_caller_arrays_untouched_and_refcounts_kept(name):
    args = valid_args(name)
    arrays = [a for a in args if isinstance(a, np.ndarray)]
    before = [sys.getrefcount(a) for a in arrays]
    snapshot = [a.tobytes() for a in arrays]
    getattr(ombrix, name)(*args)
    with pytest.raises(TypeError):
        getattr(ombrix, name)(*args, bogus=1)
    last_vector = max(i for i, p in enumerate(FUNCTIONS[name][1]) if p[1] == "vector")
    bad = list(args)
    bad[last_vector] = np.arange(3)
    with pytest.raises(ValueError):
        getattr(ombrix, name)(*bad)
    del bad
    assert [sys.getrefcount(a) for a in arrays] == before
    assert [a.tobytes() for a in arrays] == snapshot
