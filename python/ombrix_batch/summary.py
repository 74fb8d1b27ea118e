"""What `ombrix score` prints: what was scored, how many rows could be tested
and what that cost, how small a q-value the run could reach, and the hits
(or, when there are none, that fact and the rows with the smallest p)."""
from __future__ import annotations

import math
import pathlib

import pandas as pd

from .results import Scored
from .tasks import OK

ALPHA = 0.05
HANDFUL = 5  # "a handful of hits": what the advice on --backgrounds is sized for
SHOWN = ["cell", "chromosome", "n_positions", "n_segments", "rearrange_score", "backgrounds", "pval", "qval"]
# what np.mean of an empty segment of a background warns
EMPTY_SEGMENT_WARNINGS = ("RuntimeWarning: Mean of empty slice",
                          "RuntimeWarning: invalid value encountered in scalar divide",
                          "RuntimeWarning: invalid value encountered in divide")
STATUS_NOTES = {"constant": "one copy state", "too short": "fewer than 3 positions",
                "undefined": "NaN score, e.g. two segments of equal length"}


def correction_factor(testable: int, correction: str) -> float:
    # Benjamini-Yekutieli's q-values are Benjamini-Hochberg's times the harmonic sum
    return sum(1.0 / i for i in range(1, testable + 1)) if correction == "Benjamini-Yekutieli" else 1.0


def smallest_q(testable: int, backgrounds: int, hits: int, correction: str) -> float:
    """The q-value of `hits` rows at the smallest p-value the backgrounds allow, 1 / (N + 1)."""
    return min(1.0, testable * correction_factor(testable, correction) / (hits * (backgrounds + 1)))


def backgrounds_needed(testable: int, hits: int, correction: str, alpha: float = ALPHA) -> int:
    """The fewest backgrounds N that let `hits` rows at p = 1 / (N + 1) reach q < alpha."""
    return math.floor(testable * correction_factor(testable, correction) / (hits * alpha))


def shown(rows: pd.DataFrame) -> str:
    return str(rows[SHOWN].to_string(index=False, float_format=lambda v: f"{v:.4g}"))


def summary(results: Scored, output: pathlib.Path, top: int) -> str:
    attrs = results.attrs
    cells, chromosomes = (len(results.plan.cells), len(results.plan.chromosomes)) if len(results) else (0, 0)
    correction, backgrounds, stop_after = attrs["correction"], attrs["backgrounds"], attrs["stop_after"]
    counts = attrs["status_counts"]
    testable = attrs["testable"]
    by_status = ", ".join(f"{counts[s]} {s}" + (f" ({STATUS_NOTES[s]})" if s in STATUS_NOTES else "")
                          for s in counts if counts[s])
    rule = (f"stopping once {stop_after} of them reach the profile's score" if stop_after
            else "all of them for every profile")
    lines = [
        (f"Scored {len(results)} profiles ({cells} cells x {chromosomes} chromosomes, "
         f"{attrs['distinct_tasks']} distinct) from {attrs['source']} in {attrs['seconds']:.1f} s "
         f"on {attrs['workers']}."),
        f"Copy states: {attrs['states']}.",
        f"exp_lambda: {attrs['exp_lambda']}.",
        f"possion_lambda: {attrs['possion_lambda']}.",
        f"Rows by status: {by_status or 'none'}.",
        f"Testable (status ok): {testable} rows; {correction} q-values over these alone.",
        (f"Backgrounds: up to {backgrounds} per profile, {rule}: {attrs['backgrounds_run']} drawn for "
         f"{attrs['distinct_tasks']} distinct profiles ({attrs['backgrounds_per_task']:g} each on average)."),
    ]
    expected = {m: c for m, c in attrs["warnings"].items() if m in EMPTY_SEGMENT_WARNINGS}
    if expected:
        lines.append(f"Some backgrounds of {max(expected.values())} distinct profiles cut an empty segment, whose "
                     f"mean NumPy warns is NaN; the backgrounds are defined that way, so this is expected and "
                     f"changes no result.")
    for message, count in sorted(attrs["warnings"].items()):
        if message not in EMPTY_SEGMENT_WARNINGS:
            lines.append(f"NumPy warned in {count} distinct profiles: {message}.")
    handful = min(HANDFUL, testable)
    if testable:
        several = (f", {smallest_q(testable, backgrounds, handful, correction):.3g} for {handful} hits"
                   if handful > 1 else "")
        lines.append(f"Smallest q this run can reach: {smallest_q(testable, backgrounds, 1, correction):.3g} for a "
                     f"single hit{several} (p-values start at 1/{backgrounds + 1}).")
    if attrs.get("chunks_kept"):
        lines.append(f"Resumed: {attrs['chunks_kept']} finished chunks were kept, the plan {attrs['plan']}.")
    significant = results.by_task["qval"] < ALPHA
    hits, hit_cells = results.count_rows(significant)
    if hits:
        lines.append(f"Significant at q < {ALPHA} ({correction}): {hits} of {testable} testable "
                     f"profiles, in {hit_cells} cells.")
        lines.append(shown(results.best(significant, ["qval", "pval"], top)))
    else:
        lines.append(f"Nothing is significant at q < {ALPHA}.")
        if testable:
            needed = backgrounds_needed(testable, handful, correction)
            if needed > backgrounds:
                lines.append(f"{handful} hits among {testable} testable rows need at least --backgrounds "
                             f"{needed} to reach it.")
            lines.append("The testable rows with the smallest p:")
            lines.append(shown(results.best(results.by_task["status"] == OK, ["pval", "qval"], top)))
    lines.append(f"Table written to {output}")
    return "\n".join(lines)
