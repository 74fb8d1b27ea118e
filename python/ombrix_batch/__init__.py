"""Scoring whole copy-number atlases with ombrix: every cell and chromosome,
on every core, with progress, resume and multiple-testing correction.

    import ombrix_batch
    table = ombrix_batch.score("atlas.h5ad", states="thresholds")
"""
from .anndata_io import score_anndata, write_back, write_h5ad
from .atlas import Atlas
from .errors import BatchError, BatchNote, InputError
from .readers import read_atlas
from .run import score
from .states import CNVKIT_THRESHOLDS, States

__all__ = ["Atlas", "BatchError", "BatchNote", "CNVKIT_THRESHOLDS", "InputError", "States", "read_atlas",
           "score", "score_anndata", "write_back", "write_h5ad"]
