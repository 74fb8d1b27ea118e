"""The defaults and choices that the command line shows, apart from the
modules that use them, so that `ombrix --help` imports nothing heavy."""
from __future__ import annotations

DEFAULT_BACKGROUNDS = 10_000
DEFAULT_STOP_AFTER = 10
CORRECTIONS = {"bh": "Benjamini-Hochberg", "by": "Benjamini-Yekutieli"}
CNVKIT_THRESHOLDS = (-1.1, -0.25, 0.2, 0.7)
METHODS = ("integer", "round", "thresholds", "none")
