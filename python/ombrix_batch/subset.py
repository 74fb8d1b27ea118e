"""Scoring some of an atlas's cells: named ones (`cells=`, `--cells FILE`),
or those of some groups of an `.obs` column (`groupby=` with `groups=`)."""
from __future__ import annotations

import os
import pathlib
from collections.abc import Sequence
from typing import Any

import numpy as np
import pandas as pd

from .atlas import Atlas
from .errors import InputError
from .h5ad import read_obs


def check_choice(cells: Sequence[str] | None, groupby: str | None, groups: Sequence[str] | None) -> None:
    """Checked before the atlas is read."""
    if cells is not None and (isinstance(cells, (str, bytes)) or not all(isinstance(c, str) for c in cells)):
        raise InputError("cells must be a list of cell names (strings)")
    if cells is not None and groupby is not None:
        raise InputError("choose cells by name (cells) or by group (groupby, groups), not both")
    if (groupby is None) != (groups is None):
        raise InputError("groupby (an .obs column) and groups (some of its values) go together")
    if groups is not None and (isinstance(groups, (str, bytes)) or not len(groups)):
        raise InputError("groups must be a non-empty list of the values of the groupby column")


def read_cell_list(path: str | os.PathLike[str]) -> list[str]:
    """One cell name a line; blank lines are skipped."""
    try:
        text = pathlib.Path(path).read_text(encoding="utf-8-sig")
    except (OSError, UnicodeDecodeError) as exc:
        raise InputError(f"{path}: the list of cells cannot be read ({exc})") from None
    names = [line.strip() for line in text.splitlines() if line.strip()]
    if not names:
        raise InputError(f"{path}: the list of cells is empty (one cell name a line)")
    return names


def obs_of(source: Any) -> pd.DataFrame:
    """The cells' annotations of an AnnData or an .h5ad file (only .obs is read from the file)."""
    if hasattr(source, "obs"):
        return source.obs
    path = pathlib.Path(os.fspath(source)) if isinstance(source, (str, os.PathLike)) else None
    if path is None or path.suffix != ".h5ad":
        raise InputError("grouping cells needs an .h5ad file or an AnnData (their .obs)")
    if not path.exists():
        raise InputError(f"{path}: no such file")
    return read_obs(path)


def chosen_cells(source: Any, cells: Sequence[str] | None, groupby: str | None,
                 groups: Sequence[str] | None) -> list[str] | None:
    if groupby is None:
        return list(cells) if cells is not None else None
    obs = obs_of(source)
    if groupby not in obs:
        raise InputError(f".obs has no column {groupby!r} (it has {list(obs.columns)})")
    values = obs[groupby].astype(str)
    unknown = sorted(set(groups or []) - set(values))
    if unknown:
        raise InputError(f".obs[{groupby!r}] has no group {unknown[:5]} (it has {sorted(set(values))[:10]})")
    return [str(c) for c in obs.index[values.isin(list(groups or [])).to_numpy()]]


def subset(atlas: Atlas, names: list[str]) -> Atlas:
    """The atlas's rows of these cells, in the atlas's order."""
    index = {c: i for i, c in enumerate(atlas.cells)}
    unknown = [c for c in names if c not in index]
    if unknown:
        raise InputError(f"{atlas.source}: no cell named {unknown[:5]}" +
                         (f" and {len(unknown) - 5} more" if len(unknown) > 5 else ""))
    keep = np.array(sorted({index[c] for c in names}), dtype=np.int64)
    if not len(keep):
        raise InputError(f"{atlas.source}: no cell is chosen")
    kept = [atlas.cells[i] for i in keep]
    if atlas.matrix is not None:
        return Atlas(atlas.source, kept, atlas.chromosomes, matrix=atlas.matrix[keep], ranges=atlas.ranges)
    new_of = {int(old): new for new, old in enumerate(keep)}
    profiles = {(new_of[i], j): v for (i, j), v in atlas.profiles.items() if i in new_of}
    return Atlas(atlas.source, kept, atlas.chromosomes, profiles=profiles)
