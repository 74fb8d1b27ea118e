"""Sphinx configuration: MyST pages, an executed tutorial, and the API from
the docstrings (the compiled module's from its type stubs)."""
from __future__ import annotations

import ast
import pathlib
import re
from importlib.metadata import version as installed_version
from typing import Any

project = "ombrix"
author = "the ombrix developers"
release = installed_version("ombrix")
version = release
extensions = ["myst_nb", "sphinx.ext.autodoc", "sphinx.ext.autosummary", "sphinx.ext.napoleon"]
exclude_patterns = ["_build", "jupyter_execute"]
html_theme = "sphinx_book_theme"
html_title = f"ombrix {release}"
myst_enable_extensions = ["colon_fence", "dollarmath"]
myst_heading_anchors = 3

autosummary_generate = True
autodoc_member_order = "bysource"
napoleon_google_docstring = False
napoleon_numpy_docstring = True
napoleon_use_rtype = False

# the tutorial runs at every build: a page whose code fails fails the build
nb_execution_mode = "force"
nb_execution_raise_on_error = True
nb_execution_timeout = 600
nb_merge_streams = True

STUBS = pathlib.Path(__file__).resolve().parents[1] / "ombrix-stubs" / "__init__.pyi"


def stub_functions() -> dict[str, tuple[str, str]]:
    """The compiled module's functions as its stubs declare them: the
    signature with its types, and the docstring (the module carries neither)."""
    tree = ast.parse(STUBS.read_text())
    # the stubs' private aliases, spelt out for a reader
    aliases = {node.targets[0].id: ast.unparse(node.value).replace("_npt.", "numpy.typing.").replace("_np.", "numpy.")
               for node in tree.body if isinstance(node, ast.Assign) and isinstance(node.targets[0], ast.Name)
               and node.targets[0].id.startswith("_")}
    found = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            signature = f"({ast.unparse(node.args)})"
            returns = ast.unparse(node.returns) if node.returns else ""
            for alias, meaning in aliases.items():
                signature = re.sub(rf"\b{alias}\b", meaning, signature)
            found[node.name] = (signature + (f" -> {returns}" if returns else ""), ast.get_docstring(node) or "")
    return found


FROM_STUBS = stub_functions()


def stub_docstring(app: Any, what: str, name: str, obj: Any, options: Any, lines: list[str]) -> None:
    module, _, function = name.rpartition(".")
    if module == "ombrix" and function in FROM_STUBS and not lines:
        lines.extend(FROM_STUBS[function][1].splitlines())


def stub_signature(app: Any, what: str, name: str, obj: Any, options: Any, signature: str | None,
                   return_annotation: str | None) -> tuple[str, str] | None:
    module, _, function = name.rpartition(".")
    if module == "ombrix" and function in FROM_STUBS:
        text = FROM_STUBS[function][0]
        arguments, _, returns = text.partition(" -> ")
        return arguments, returns
    return None


def setup(app: Any) -> None:
    app.connect("autodoc-process-docstring", stub_docstring)
    app.connect("autodoc-process-signature", stub_signature)
