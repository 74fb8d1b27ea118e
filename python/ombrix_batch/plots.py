"""Drawing a score table on given Axes: a heatmap of -log10 q (cells x
chromosomes), the p-value histogram, and one profile with its segments and
its score against its background distribution. `pl` makes the figures."""
from __future__ import annotations

import warnings
from typing import Any

import numpy as np
import pandas as pd

from .errors import InputError

MAX_ROWS = 300  # more cells than this are aggregated per group, or sampled
ALPHA = 0.05  # the q-value marked on the colour bar


def chromosome_order(table: pd.DataFrame) -> list[str]:
    column = table["chromosome"]
    if isinstance(column.dtype, pd.CategoricalDtype):
        return [str(c) for c in column.cat.categories]
    return [str(c) for c in dict.fromkeys(column.astype(str))]


def draw_heatmap(table: pd.DataFrame, ax: Any, groups: pd.Series | None = None, max_rows: int = MAX_ROWS,
            alpha: float = ALPHA) -> Any:
    """-log10 q per cell and chromosome, from 0 (q = 1) up, with `alpha`
    marked on the colour bar and the untestable profiles (no q) left grey;
    cells sorted by group (a Series from cell name to group, its groups
    labelled) and, beyond `max_rows`, averaged per group or sampled evenly,
    as the title says."""
    chromosomes = chromosome_order(table)
    values = table.assign(cell=table["cell"].astype(str), chromosome=table["chromosome"].astype(str),
                          score=-np.log10(table["qval"].clip(lower=1e-300)))
    matrix = values.pivot(index="cell", columns="chromosome", values="score").reindex(columns=chromosomes)
    title = f"-log10 q of {len(matrix)} cells"
    labels: list[str] = []
    if groups is not None:
        groups = groups.astype(str).reindex(matrix.index)
        order = np.argsort(groups.to_numpy(), kind="stable")
        matrix, groups = matrix.iloc[order], groups.iloc[order]
        if len(matrix) > max_rows:
            matrix = matrix.groupby(groups.to_numpy(), sort=False).mean()
            title += f", averaged within {len(matrix)} groups"
            labels = list(matrix.index)
    if len(matrix) > max_rows:
        keep = np.linspace(0, len(matrix) - 1, max_rows).round().astype(int)
        matrix = matrix.iloc[keep]
        if groups is not None and not labels:
            groups = groups.iloc[keep]
        title += f", {max_rows} shown (every {len(values) // len(chromosomes) / max_rows:.1f}th)"
    import matplotlib

    colours = matplotlib.colormaps["magma_r"].with_extremes(bad="#d9d9d9")  # no q-value: not testable
    threshold = -np.log10(alpha)
    shown = matrix.to_numpy(dtype=float)
    # the scale starts at q = 1 and reaches well past the threshold, so that
    # a run without hits looks like one
    top = max(2 * threshold, float(np.nanmax(shown)) if np.isfinite(shown).any() else 0.0)
    image = ax.imshow(np.ma.masked_invalid(shown), aspect="auto", interpolation="nearest", cmap=colours,
                      vmin=0.0, vmax=top)
    ax.set_xticks(range(len(chromosomes)), [c.removeprefix("chr") for c in chromosomes], fontsize=7)
    ax.set_xlabel("chromosome")
    if labels or (len(matrix) <= 60 and groups is None):
        ax.set_yticks(range(len(matrix)), labels or list(matrix.index), fontsize=6)
    elif groups is not None:
        names = groups.to_numpy()
        starts = np.r_[0, np.flatnonzero(names[1:] != names[:-1]) + 1]
        ends = np.r_[starts[1:], len(names)]
        ax.set_yticks((starts + ends - 1) / 2, [names[s] for s in starts], fontsize=7)
        for y in starts[1:] - 0.5:
            ax.axhline(y, color="white", linewidth=0.8)
    else:
        ax.set_yticks([])
    ax.set_ylabel("cells" + (" by group" if groups is not None else ""))
    ax.set_title(title + "; grey: not testable", fontsize=9)
    bar = ax.figure.colorbar(image, ax=ax, label="-log10 q")
    bar.ax.axhline(threshold, color="#1f77b4", linewidth=2)
    bar.ax.set_yticks([threshold], [f"q = {alpha:g}"], minor=True, fontsize=7, color="#1f77b4")
    return image


def draw_pvalues(table: pd.DataFrame, ax: Any, bins: int = 20) -> None:
    """Under the null the p-values are uniform; rearranged profiles pile up at
    the left. The testable profiles only: the others have no q-value."""
    pvalues = table.loc[table["status"] == "ok", "pval"] if "status" in table else table["pval"].dropna()
    ax.hist(pvalues, bins=np.linspace(0.0, 1.0, bins + 1), color="#4c72b0", edgecolor="white")
    ax.axhline(len(pvalues) / bins, color="grey", linestyle="--", linewidth=1, label="uniform")
    ax.set_xlabel("p-value")
    ax.set_ylabel("profiles")
    ax.set_title(f"p-values of {len(pvalues)} testable profiles", fontsize=9)
    ax.legend(fontsize=7)


def draw_profile(values: np.ndarray, row: pd.Series, backgrounds: np.ndarray, axes: Any) -> None:
    left, right = axes
    positions = np.arange(len(values))
    left.step(positions, values, where="mid", color="black", linewidth=1)
    changes = np.flatnonzero(values[1:] != values[:-1])
    for c in changes:
        left.axvline(c + 0.5, color="#dd8452", linewidth=0.6, alpha=0.7)
    left.set_xlabel("position on the chromosome")
    left.set_ylabel("copy state")
    left.set_title(f"{row['cell']} {row['chromosome']}: {len(changes) + 1} segments", fontsize=9)
    finite = backgrounds[np.isfinite(backgrounds)]
    right.hist(finite, bins=40, color="#4c72b0", edgecolor="white")
    right.axvline(row["rearrange_score"], color="#c44e52", linewidth=2, label="observed")
    right.set_xlabel("rearrangement score")
    right.set_ylabel("backgrounds")
    right.set_title(f"score {row['rearrange_score']:.4g}; {int(row['num_greater'])} of {int(row['backgrounds'])} "
                    f"backgrounds reach it; p = {row['pval']:.3g}, q = {row['qval']:.3g}", fontsize=9)
    right.legend(fontsize=7)


def obs_column(atlas: Any, column: str) -> pd.Series:
    if atlas is None:
        raise InputError("grouping cells needs the AnnData they come from (--atlas)")
    from .subset import obs_of

    obs = obs_of(atlas)  # of a file, .obs alone is read
    if column not in obs:
        raise InputError(f".obs has no column {column!r} (it has {list(obs.columns)})")
    return pd.Series(obs[column].to_numpy(), index=obs.index.astype(str))


def profile_backgrounds(table: pd.DataFrame, atlas: Any, cell: str, chromosome: str, states: str | None = None,
                        exp_lambda: Any = None, use_rep: str = "X_cnv",
                        key: str = "cnv") -> tuple[np.ndarray, pd.Series, np.ndarray]:
    """One profile of a results table: its values (as scored), its row, and the
    scores of the backgrounds that the row counted, drawn again as the scoring
    drew them (the same lambdas, after the same fallback, and the same
    seeds). A count that differs from the table's means that the table was
    not scored from this atlas with these options, and is refused."""
    from .defaults import CNVKIT_THRESHOLDS
    from .readers import read_atlas
    from .scoring import judge
    from .states import States
    from .tasks import recorded_lambdas

    rows = table[(table["cell"].astype(str) == cell) & (table["chromosome"].astype(str) == chromosome)]
    if rows.empty:
        raise InputError(f"the table has no row for cell {cell!r}, chromosome {chromosome!r}")
    row = rows.iloc[0]
    source = read_atlas(atlas, use_rep=use_rep, key=key)
    if cell not in source.cells or chromosome not in source.chromosomes:
        raise InputError(f"the atlas has no profile for cell {cell!r}, chromosome {chromosome!r}")
    chosen = States(states or table.attrs.get("states_method", "integer"),
                    tuple(table.attrs.get("thresholds", CNVKIT_THRESHOLDS)))
    cell_at, chromosome_at = source.cells.index(cell), source.chromosomes.index(chromosome)
    values = np.require(chosen.apply(source.profile(cell_at, chromosome_at)), np.float64, ["C", "W"])
    lambdas = recorded_lambdas(source, table.attrs, exp_lambda)
    drawn = int(row["backgrounds"])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # empty segments, as the scoring counts them
        judged = judge(values, float(lambdas.exp[cell_at]), float(lambdas.possion[chromosome_at]), drawn, 0,
                       keep_scores=True)
    if judged["num_greater"] != int(row["num_greater"]):
        raise InputError(f"the backgrounds drawn again for cell {cell!r}, chromosome {chromosome!r} give "
                         f"{judged['num_greater']} of {drawn} reaching the score, the table {int(row['num_greater'])}: "
                         f"the table was not scored from this atlas with these states and lambdas")
    return values, row, np.asarray(judged.get("background_scores", []), dtype=np.float64)
