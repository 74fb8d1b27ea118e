"""Figures of the results, in scanpy's manner: each function takes the
AnnData that `tl.score` wrote into (or a results table, or its file), draws
on the Axes it is given or on new ones, and returns the Axes."""
from __future__ import annotations

import os
import pathlib
from typing import TYPE_CHECKING, Any

import pandas as pd

from .anndata_io import written_back
from .errors import InputError
from .outputs import check_writable_place, exclusive, refuse_input_as_output, remove_leftovers, write_atomically
from .plots import ALPHA, MAX_ROWS, draw_heatmap, draw_profile, draw_pvalues, obs_column, profile_backgrounds
from .results import read_results

if TYPE_CHECKING:
    from matplotlib.axes import Axes

FIGURE_SUFFIXES = (".png", ".pdf", ".svg")


def results_of(data: Any, key_added: str) -> pd.DataFrame:
    """The results table of an AnnData (`.uns[key_added]`), a table, or its file."""
    if hasattr(data, "obsm") and hasattr(data, "uns"):
        return written_back(data, key_added)[0]
    if isinstance(data, pd.DataFrame):
        return data
    if isinstance(data, (str, os.PathLike)):
        return read_results(pathlib.Path(data))
    raise InputError(f"the results are an AnnData scored by tl.score, a table or its file, not {type(data).__name__}")


def new_axes(ax: Any, count: int = 1, figsize: tuple[float, float] = (9.0, 6.0)) -> Any:
    if ax is not None:
        return ax
    import matplotlib.pyplot as plt

    _, axes = plt.subplots(1, count, figsize=figsize)
    return axes


def shown(show: bool) -> None:
    if show:
        import matplotlib.pyplot as plt

        plt.show()


def heatmap(data: Any, *, key_added: str = "ombrix", groupby: str | None = None, atlas: Any = None,
            alpha: float | None = None, max_rows: int = MAX_ROWS, ax: Axes | None = None,
            show: bool = False) -> Axes:
    """-log10 q of every cell and chromosome.

    The colour scale starts at q = 1 and runs well past ``alpha``, which the
    colour bar marks, so that a run without hits looks like one; profiles
    that cannot be tested are grey. Chromosomes are in genomic order.

    Parameters
    ----------
    data
        An AnnData scored by :func:`ombrix_batch.tl.score`, a results table,
        or the file of one.
    key_added
        Where :func:`ombrix_batch.tl.score` wrote the results in an AnnData.
    groupby
        An ``.obs`` column to sort and label the cells by (of ``data``, or of ``atlas``).
    atlas
        The AnnData or ``.h5ad`` whose ``.obs`` holds ``groupby``, when ``data`` is a table.
    alpha
        The q-value marked on the colour bar (default: the ``alpha`` of
        ``tl.score``, else 0.05).
    max_rows
        Beyond this many cells, they are averaged per group (with ``groupby``)
        or sampled evenly; the title says which.
    ax
        The Axes to draw on; a new figure when None.
    show
        Show the figure (:func:`matplotlib.pyplot.show`).

    Returns
    -------
    The Axes of the heatmap; its colour bar is on its figure.
    """
    table = results_of(data, key_added)
    source = data if atlas is None and hasattr(data, "obs") else atlas
    groups = obs_column(source, groupby) if groupby is not None else None
    chosen = float(alpha if alpha is not None else table.attrs.get("alpha", ALPHA))
    axes: Axes = new_axes(ax)
    draw_heatmap(table, axes, groups, max_rows=max_rows, alpha=chosen)
    shown(show)
    return axes


def pvalues(data: Any, *, key_added: str = "ombrix", bins: int = 20, ax: Axes | None = None,
            show: bool = False) -> Axes:
    """The histogram of the testable profiles' p-values.

    Under the null hypothesis the p-values are uniform (the dashed line);
    rearranged profiles pile up at the left.

    Parameters
    ----------
    data
        An AnnData scored by :func:`ombrix_batch.tl.score`, a results table, or the file of one.
    key_added
        Where :func:`ombrix_batch.tl.score` wrote the results in an AnnData.
    bins
        Bins between 0 and 1.
    ax
        The Axes to draw on; a new figure when None.
    show
        Show the figure.

    Returns
    -------
    The Axes of the histogram.
    """
    axes: Axes = new_axes(ax, figsize=(5.0, 4.0))
    draw_pvalues(results_of(data, key_added), axes, bins)
    shown(show)
    return axes


def profile(data: Any, cell: str, chromosome: str, *, atlas: Any = None, key_added: str = "ombrix",
            use_rep: str = "X_cnv", key: str = "cnv", states: str | None = None, exp_lambda: Any = None,
            ax: Any = None, show: bool = False) -> Any:
    """One profile with its segments, and its score against its backgrounds.

    The backgrounds are drawn again as the scoring drew them (the same seeds
    and lambdas); a count that differs from the table's means that the table
    was not scored from this atlas with these options, and is refused.

    Parameters
    ----------
    data
        An AnnData scored by :func:`ombrix_batch.tl.score`, a results table, or the file of one.
    cell
        The profile's cell.
    chromosome
        The profile's chromosome.
    atlas
        The AnnData or ``.h5ad`` the table was scored from (default: ``data``, when it is one).
    key_added
        Where :func:`ombrix_batch.tl.score` wrote the results in an AnnData.
    use_rep
        The atlas's ``.obsm`` matrix of copy numbers.
    key
        The atlas's ``.uns`` entry holding ``"chr_pos"``.
    states
        The copy states the table was scored with (default: those its parameters record).
    exp_lambda
        The per-cell ``exp_lambda`` the table was scored with, if it was one
        per cell (the table keeps only its digest).
    ax
        Two Axes, for the profile and for the backgrounds; a new figure when None.
    show
        Show the figure.

    Returns
    -------
    The two Axes.
    """
    table = results_of(data, key_added)
    source = atlas if atlas is not None else data if hasattr(data, "obsm") else None
    if source is None:
        raise InputError("a profile figure needs the atlas the table was scored from (atlas=, --atlas)")
    if ax is not None and (not hasattr(ax, "__len__") or len(ax) != 2):
        raise InputError(f"ax must be two Axes (the profile, its backgrounds), not {type(ax).__name__}")
    values, row, backgrounds = profile_backgrounds(table, source, cell, chromosome, states, exp_lambda, use_rep, key)
    axes = new_axes(ax, 2, figsize=(12.0, 4.5))
    draw_profile(values, row, backgrounds, axes)
    shown(show)
    return axes


def write_figure(table_path: str | os.PathLike[str], output: str | os.PathLike[str], *, atlas: Any = None,
                 groupby: str | None = None, cell: str | None = None, chromosome: str | None = None,
                 states: str | None = None, exp_lambda: Any = None) -> pathlib.Path:
    """What `ombrix plot` writes: the heatmap beside the p-value histogram or,
    with `cell` and `chromosome` (and the `atlas` they come from), that
    profile's figure; whole or not at all, never over the table or the atlas."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    output = pathlib.Path(output)
    if output.suffix not in FIGURE_SUFFIXES:
        raise InputError(f"{output}: the figure is written as {', '.join(FIGURE_SUFFIXES)} (by its suffix)")
    check_writable_place(output, "the figure")
    refuse_input_as_output(table_path, {"the figure": output})
    if atlas is not None and not hasattr(atlas, "obs"):
        refuse_input_as_output(atlas, {"the figure": output})
    with exclusive(output):
        remove_leftovers(output)
        table = read_results(pathlib.Path(table_path))
        one_profile = cell is not None or chromosome is not None
        if one_profile and (cell is None or chromosome is None or atlas is None):
            raise InputError("a profile figure needs --cell, --chromosome and the --atlas they come from")
        if groupby is not None and atlas is None:
            raise InputError("grouping cells needs the AnnData they come from (--atlas)")
        if one_profile:
            figure, axes = plt.subplots(1, 2, figsize=(12, 4.5))
        else:
            figure, axes = plt.subplots(1, 2, figsize=(13, 6), gridspec_kw={"width_ratios": [3, 1]})
        try:
            if one_profile:
                assert cell is not None and chromosome is not None
                profile(table, cell, chromosome, atlas=atlas, states=states, exp_lambda=exp_lambda, ax=axes)
            else:
                heatmap(table, groupby=groupby, atlas=atlas, ax=axes[0])
                pvalues(table, ax=axes[1])
                figure.suptitle(f"ombrix: {table.attrs.get('source', table_path)}", fontsize=10)
            figure.tight_layout()
            write_atomically(output, lambda p: figure.savefig(p, dpi=150, format=output.suffix[1:]))
        finally:
            plt.close(figure)
    return output


__all__ = ["heatmap", "profile", "pvalues"]
