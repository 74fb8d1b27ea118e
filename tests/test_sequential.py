"""Sequential backgrounds in the driver: the p-values they give, the rows
that cannot be tested, the summary, and the same table however the work is
spread."""
import math
import pathlib

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("anndata")
pytest.importorskip("scipy")

from hypothesis import given, settings
from hypothesis import strategies as st
from scipy.stats import false_discovery_control

import ombrix
import ombrix_batch
from ombrix_batch import Atlas
from ombrix_batch.options import Options
from ombrix_batch.results import fdr_of_groups, sequential_pvalues
from ombrix_batch.run import run_scoring
from ombrix_batch.summary import backgrounds_needed, smallest_q, summary
from test_batch import SAMPLE

pytestmark = pytest.mark.filterwarnings("ignore:Mean of empty slice", "ignore:invalid value encountered")

NAN_SCORE = [3.0] * 8 + [2.0] * 7  # two segments of one length in the segment table: the score is NaN
SHATTERED = [2.0, 3.0, 1.0, 2.0, 4.0, 2.0, 3.0, 1.0, 2.0, 3.0, 2.0, 4.0, 1.0, 2.0, 3.0, 2.0] * 3

@pytest.mark.parametrize("reached, run, expected", [
    (10, 40, 10 / 40),            # stopped at the 10th reaching background, after 40
    (10, 1000, 10 / 1000),        # the 10th came with the last background: still stopped
    (3, 1000, 4 / 1001),          # ran all N with fewer than h reaching
    (0, 1000, 1 / 1001),          # nothing reached it: the floor
])
def test_besag_clifford_p_values(reached, run, expected):
    assert sequential_pvalues(np.array([reached]), np.array([run]), 1000, 10)[0] == expected


def test_stop_after_zero_is_the_fixed_count():
    assert sequential_pvalues(np.array([10]), np.array([1000]), 1000, 0)[0] == 11 / 1001


def mixed_atlas():
    rng = np.random.default_rng(4)
    profiles = {(0, 0): np.array(NAN_SCORE), (0, 1): np.full(12, 2.0), (0, 2): np.array([2.0, 3.0]),
                (1, 0): np.array(SHATTERED), (1, 1): np.repeat([2.0, 3.0, 2.0], 6),
                (1, 2): rng.integers(1, 4, 30).astype(float)}
    return Atlas("mixed", ["a", "b"], ["chr1", "chr2", "chr3"], profiles=profiles)


def test_untestable_rows_get_no_q_and_stay_out_of_the_correction():
    table = ombrix_batch.score(mixed_atlas(), backgrounds=200, n_jobs=1, progress=False)
    by_row = table.set_index(["cell", "chromosome"])
    assert by_row.loc[("a", "chr1"), "status"] == "undefined"
    assert by_row.loc[("a", "chr2"), "status"] == "constant"
    assert by_row.loc[("a", "chr3"), "status"] == "too short"
    undefined = by_row.loc[("a", "chr1")]
    assert math.isnan(undefined["pval"]) and undefined["backgrounds"] == 0
    ok = table["status"] == "ok"
    assert table.loc[~ok, "qval"].isna().all() and table.loc[ok, "qval"].notna().all()
    expected = false_discovery_control(table.loc[ok, "pval"].to_numpy(), method="bh")
    assert np.array_equal(table.loc[ok, "qval"].to_numpy(), expected)
    assert table.attrs["testable"] == 3
    assert table.attrs["status_counts"] == {"ok": 3, "constant": 1, "too short": 1, "undefined": 1}


def test_sequential_rows_follow_the_stop_rule_on_the_sample():
    table = ombrix_batch.score(SAMPLE, states="thresholds", backgrounds=3000, stop_after=10, n_jobs=1,
                               progress=False)
    ok = table[table["status"] == "ok"]
    stopped = ok[ok["backgrounds"] < 3000]
    assert len(stopped) and (stopped["num_greater"] == 10).all()
    assert np.array_equal(stopped["pval"], 10 / stopped["backgrounds"])
    hits = ok[ok["chromosome"].isin(["chr1", "chr2"]) & (ok["n_segments"] > 10)]
    assert (hits["backgrounds"] == 3000).all() and (hits["num_greater"] < 10).all()
    assert np.array_equal(hits["pval"], (hits["num_greater"] + 1) / 3001) and (hits["qval"] < 0.05).all()
    # a constant profile scores 0, which nearly every background reaches (a NaN one does not)
    constant = table[table["status"] == "constant"]
    assert (constant["num_greater"] == 10).all() and (constant["backgrounds"] <= 15).all()


def test_the_same_table_however_the_work_is_spread(tmp_path):
    options = {"states": "thresholds", "backgrounds": 1500, "stop_after": 5, "with_r": True, "progress": False}
    serial = ombrix_batch.score(SAMPLE, n_jobs=1, **options)
    pooled = ombrix_batch.score(SAMPLE, n_jobs=2, chunk_size=3, **options)
    pd.testing.assert_frame_equal(serial, pooled, check_exact=True)
    pytest.importorskip("distributed")
    on_dask = ombrix_batch.score(SAMPLE, dask_local=2, chunk_size=4, **options)
    pd.testing.assert_frame_equal(serial, on_dask, check_exact=True)
    assert (serial["R_backgrounds"] <= 1500).all() and serial["R_pval"].notna().any()


def test_a_fixed_count_is_the_modules_own_count():
    values = np.array(SHATTERED)
    fixed = ombrix_batch.score(Atlas("one", ["c"], ["chr1"], profiles={(0, 0): values}), backgrounds=300,
                               stop_after=0, n_jobs=1, progress=False)
    reference = ombrix.permutation_score(0, values.copy(), None, np.ones(1), np.full(1, 20.0), 0, 300, True)
    assert fixed["num_greater"][0] == reference["num_greater"] and fixed["backgrounds"][0] == 300
    assert fixed["pval"][0] == (reference["num_greater"] + 1) / 301


def scored_sample(backgrounds):
    return run_scoring(SAMPLE, Options(states="thresholds", backgrounds=backgrounds, stop_after=10, n_jobs=1,
                                       progress=False))


def test_the_summary_says_when_nothing_can_be_significant():
    # 20 backgrounds: even the 28 shattered chromosomes of the sample stop at p = 1/21, q = 0.09
    text = summary(scored_sample(20), pathlib.Path("t.tsv"), top=5)
    assert "Nothing is significant at q < 0.05." in text
    assert "Rows by status: 54 ok, 1002 constant (one copy state)." in text
    assert "Testable (status ok): 54 rows" in text
    assert f"Smallest q this run can reach: {smallest_q(54, 20, 1, 'Benjamini-Hochberg'):.3g}" in text
    assert f"need at least --backgrounds {backgrounds_needed(54, 5, 'Benjamini-Hochberg')}" in text
    listed = text.split("The testable rows with the smallest p:\n")[1].splitlines()[1:6]
    shown = [float(line.split()[-2]) for line in listed]
    assert shown == [1 / 21] * 5 or shown == sorted(shown)


def test_hits_are_listed_by_q_then_p():
    text = summary(scored_sample(2000), pathlib.Path("t.tsv"), top=40)
    assert "Significant at q < 0.05 (Benjamini-Hochberg): 28 of 54 testable profiles, in 14 cells." in text
    rows = text.split("in 14 cells.\n")[1].splitlines()[1:29]
    listed = [(float(r.split()[-1]), float(r.split()[-2])) for r in rows]
    assert listed == sorted(listed)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(st.integers(0, 12), st.integers(1, 6)), min_size=1, max_size=60),
       st.sampled_from(["bh", "by"]))
def test_q_values_of_tasks_are_scipys_q_values_of_their_rows(tasks, method):
    # few distinct p-values, so that ties within and across tasks are the rule
    pvalues = np.array([(k + 1) / 13 for k, _ in tasks])
    counts = np.array([c for _, c in tasks])
    per_row = false_discovery_control(np.repeat(pvalues, counts), method=method)
    expected = per_row[np.r_[0, np.cumsum(counts)[:-1]]]
    assert np.array_equal(fdr_of_groups(pvalues, counts, method), expected)


def test_the_floor_of_q():
    assert smallest_q(471, 10_000, 1, "Benjamini-Hochberg") == pytest.approx(471 / 10_001)
    assert backgrounds_needed(471, 5, "Benjamini-Hochberg") == 1884
    harmonic = sum(1 / i for i in range(1, 101))
    assert smallest_q(100, 999, 2, "Benjamini-Yekutieli") == pytest.approx(100 * harmonic / 2000)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.floats(-5, 5), min_size=1, max_size=6, unique=True),
       st.lists(st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from([-0.0, 0.0, 0.2, -0.25]),
                max_size=40))
def test_thresholds_count_the_cut_points_at_or_below_each_value(cuts, values):
    from ombrix_batch.states import States

    cuts = sorted(cuts)
    if np.any(np.diff(cuts) <= 0):
        return
    values = np.array(values, dtype=np.float64)
    expected = np.searchsorted(np.array(cuts), values, side="right").astype(np.float64)
    assert np.array_equal(States("thresholds", tuple(cuts)).apply(values), expected)
