"""Scoring whole copy-number atlases with ombrix: every cell and chromosome,
on every core, with progress, resume and multiple-testing correction.

    import ombrix_batch as ob
    ob.tl.score(adata, states="thresholds")     # results into .obsm, .obs, .uns
    ob.pl.heatmap(adata, groupby="cell_type")
    table = ob.score("atlas.h5ad", states="thresholds")   # a path or a table

The names below are imported on first use, so that the compiled helper
(`ombrix_batch._native`) loads without the driver's dependencies.
"""
from __future__ import annotations

import importlib
from importlib.metadata import PackageNotFoundError, version
from typing import TYPE_CHECKING, Any

from .errors import BatchError, BatchNote, InputError

try:
    __version__ = version("ombrix")
except PackageNotFoundError:  # a source tree on sys.path, not installed
    __version__ = "unknown"

if TYPE_CHECKING:
    from . import pl, tl
    from .anndata_io import write_back, write_h5ad
    from .atlas import Atlas
    from .defaults import CNVKIT_THRESHOLDS
    from .readers import read_atlas
    from .run import score
    from .states import States
    from .tl import score_anndata

_WHERE = {"score_anndata": "tl", "write_back": "anndata_io", "write_h5ad": "anndata_io", "Atlas": "atlas",
          "read_atlas": "readers", "score": "run", "CNVKIT_THRESHOLDS": "defaults", "States": "states"}
_SUBMODULES = ("tl", "pl")

__all__ = [
    "CNVKIT_THRESHOLDS",
    "Atlas",
    "BatchError",
    "BatchNote",
    "InputError",
    "States",
    "__version__",
    "pl",
    "read_atlas",
    "score",
    "score_anndata",
    "tl",
    "write_back",
    "write_h5ad",
]


def __getattr__(name: str) -> Any:
    if name in _SUBMODULES:
        return importlib.import_module(f".{name}", __name__)
    if name not in _WHERE:
        raise AttributeError(f"module 'ombrix_batch' has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{_WHERE[name]}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
