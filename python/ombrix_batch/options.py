"""The options of a scoring run, with their defaults, in one place. The
public functions (`ombrix_batch.score`, `tl.score`) list them by name for
their users and their documentation, and hand them on as one `Options`."""
from __future__ import annotations

import dataclasses
import os
from collections.abc import Mapping, Sequence
from typing import Any

from .defaults import CNVKIT_THRESHOLDS, DEFAULT_BACKGROUNDS, DEFAULT_STOP_AFTER


@dataclasses.dataclass(frozen=True)
class Options:
    use_rep: str = "X_cnv"
    key: str = "cnv"
    layout: str = "auto"
    chromosome_column: str | None = None
    states: str = "integer"
    thresholds: Sequence[float] = CNVKIT_THRESHOLDS
    backgrounds: int = DEFAULT_BACKGROUNDS
    stop_after: int = DEFAULT_STOP_AFTER
    exp_lambda: Any = None
    possion_lambda: Any = None
    with_r: bool = False
    correction: str = "bh"
    n_jobs: int = -1
    oversubscribe: bool = False
    chunk_size: int | None = None
    output: str | os.PathLike[str] | None = None
    resume: bool = False
    progress: bool = True
    scheduler: str | None = None
    client: Any = None
    dask_local: int | None = None
    cells: Sequence[str] | None = None
    groupby: str | None = None
    groups: Sequence[str] | None = None

    @classmethod
    def of(cls, values: Mapping[str, Any]) -> Options:
        """The options among `values` (a function's `locals()`, the command
        line's arguments); the others keep their defaults."""
        return cls(**{field.name: values[field.name] for field in dataclasses.fields(cls) if field.name in values})


def defaults() -> dict[str, Any]:
    return {field.name: field.default for field in dataclasses.fields(Options)}
