"""The module object, its namespace and its function objects."""
import ctypes
import importlib
import inspect
import multiprocessing
import pickle
import pydoc
import shutil
import subprocess
import sys
import types

import numpy as np
import pytest

import ombrix

ALL_FUNCTIONS = [
    "skew", "ombrix", "cal_limit", "permutation_bg", "permutation_score", "cal_R_pyx",
    "perm_cnv_pyx",
]
PUBLISHED = [name for name in ALL_FUNCTIONS if hasattr(ombrix, name)]

SIGNATURES = {
    "skew": ("(data)", None),
    "ombrix": ("(cnv_data, chr_pos)", None),
    "cal_limit": ("(x, coverage_thr=0.6)", (0.6,)),
    "permutation_bg": ("(data, chr_pos, lbd, possion_lbd, size, seed=1)", (1,)),
    "permutation_score": (
        "(x, cnv, gene_loc, exp_lambda, possion_lambda, chr_num, random_num, random)", None),
    "cal_R_pyx": ("(cnv_data)", None),
    "perm_cnv_pyx": ("(cnv_data, exp_lam, possion_lam, random_num, seed)", None),
}


def test_namespace_holds_numpy_the_functions_and_test_dict():
    public = {k for k in vars(ombrix) if not k.startswith("__")}
    assert public == {"np", *PUBLISHED}
    assert ombrix.np is np
    assert ombrix.__test__ == {}
    assert list(n for n in vars(ombrix) if n in ALL_FUNCTIONS) == PUBLISHED
    assert ombrix.__name__ == "ombrix"
    assert sys.modules["ombrix"] is ombrix


@pytest.mark.skipif(not shutil.which("nm") or not sys.platform.startswith("linux"), reason="needs binutils' nm")
def test_module_exports_only_its_init_function():
    listing = subprocess.run(["nm", "-D", "--defined-only", ombrix.__file__], capture_output=True, text=True,
                             check=True).stdout
    assert [line.split()[-1] for line in listing.splitlines()] == ["PyInit_ombrix"]


def test_import_twice_and_reload_keep_the_same_module():
    first_skew = ombrix.skew
    assert importlib.import_module("ombrix") is ombrix
    assert importlib.reload(ombrix) is ombrix
    assert ombrix.skew is first_skew


def test_exec_on_another_module_object_is_refused():
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.restype = ctypes.c_int
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    definition = api.PyModule_GetDef(ombrix)
    assert definition
    with pytest.raises(RuntimeError, match=r"^Module 'ombrix' has already been imported\. "
                       r"Re-initialisation is not supported\.$"):
        api.PyModule_ExecDef(types.ModuleType("ombrix"), definition)
    assert api.PyModule_ExecDef(ombrix, definition) == 0


def create_legacy_subinterpreter():
    """A subinterpreter that shares the main one's GIL, where extension modules
    decide for themselves whether they load; (module, id)."""
    if sys.version_info >= (3, 13):
        interpreters = pytest.importorskip("_interpreters")
        return interpreters, interpreters.create("legacy")
    interpreters = pytest.importorskip("_xxsubinterpreters")
    if sys.version_info >= (3, 12):
        return interpreters, interpreters.create(isolated=False)
    return interpreters, interpreters.create()


def test_import_in_a_second_interpreter_is_refused():
    interpreters, interp = create_legacy_subinterpreter()
    try:
        script = f"import sys; sys.path[:] = {sys.path!r}\n" \
                 "try:\n    import ombrix\nexcept ImportError as e:\n    msg = str(e)\n" \
                 "else:\n    msg = 'imported'\n" \
                 "assert msg == ('Interpreter change detected - this module can only be loaded " \
                 "into one interpreter per process.'), msg\n"
        # 3.13 returns a failure's description instead of raising it.
        assert interpreters.run_string(interp, script) is None
    finally:
        interpreters.destroy(interp)


@pytest.mark.parametrize("name", PUBLISHED)
def test_function_attributes(name):
    f = getattr(ombrix, name)
    signature, defaults = SIGNATURES[name]
    assert f.__name__ == name
    assert f.__qualname__ == name
    assert f.__module__ == "ombrix"
    assert f.__doc__ is None
    assert f.__defaults__ == defaults
    if defaults:
        assert [type(d) for d in f.__defaults__] == [type(d) for d in defaults]
    assert str(inspect.signature(f)) == signature
    assert inspect.isroutine(f)


@pytest.mark.parametrize("name", PUBLISHED)
def test_help_shows_the_signature(name):
    text = pydoc.render_doc(getattr(ombrix, name), renderer=pydoc.plaintext)
    # 3.13 spreads a long signature over several lines.
    assert (name + SIGNATURES[name][0]).replace(" ", "") in "".join(text.split())


@pytest.mark.parametrize("name", PUBLISHED)
def test_pickled_by_reference(name):
    f = getattr(ombrix, name)
    assert pickle.loads(pickle.dumps(f)) is f


def test_multiprocessing_pool_maps_a_function():
    profiles = [np.array([1.0, 2.0, 2.0]), np.array([2.0, 4.0, 2.0])]
    ctx = multiprocessing.get_context("spawn")
    with ctx.Pool(1) as pool:
        results = pool.map(ombrix.skew, profiles)
    assert results == [ombrix.skew(p) for p in profiles]


def test_functions_bind_as_methods_like_python_functions():
    class Holder:
        skew = ombrix.skew

    assert Holder.skew is ombrix.skew
    with pytest.raises(TypeError, match="a bytes-like object is required"):
        Holder().skew()
