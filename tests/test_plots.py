"""The figures, made from the sample atlas and checked for what they hold."""
import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("anndata")
matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt

import ombrix_batch
from ombrix_batch import InputError
from ombrix_batch.pl import write_figure as plot
from ombrix_batch.plots import draw_heatmap as heatmap
from ombrix_batch.plots import draw_pvalues
from test_batch import SAMPLE


@pytest.fixture(scope="module")
def table(tmp_path_factory):
    path = tmp_path_factory.mktemp("scores") / "scores.parquet"
    ombrix_batch.score(SAMPLE, states="thresholds", n_jobs=1, progress=False, output=path)
    return path


def test_the_heatmap_holds_one_row_per_cell_in_genomic_order(table):
    scores = pd.read_parquet(table)
    figure, ax = plt.subplots()
    image = heatmap(scores, ax)
    shown = image.get_array()
    assert shown.shape == (48, 22)
    assert [t.get_text() for t in ax.get_xticklabels()] == [str(i) for i in range(1, 23)]
    assert ax.get_xlabel() == "chromosome" and "48 cells" in ax.get_title()
    by_cell = scores.assign(cell=scores["cell"].astype(str)).set_index(["cell", "chromosome"])
    row = [t.get_text() for t in ax.get_yticklabels()].index("cell040")
    assert shown[row, 0] == pytest.approx(-np.log10(by_cell.loc[("cell040", "chr1"), "qval"]))
    assert figure.axes[-1].get_ylabel() == "-log10 q"  # the colour bar
    plt.close(figure)


def test_large_atlases_are_averaged_per_group_or_sampled(table):
    scores = pd.read_parquet(table)
    many = pd.concat([scores.assign(cell=scores["cell"].astype(str) + f"_{k}") for k in range(8)])  # 384 cells
    groups = pd.Series(np.where(many["cell"].str.startswith("cell04"), "late", "early"),
                       index=many["cell"]).groupby(level=0).first()
    figure, (left, right) = plt.subplots(1, 2)
    assert heatmap(many, left, groups, max_rows=100).get_array().shape == (2, 22)
    assert "averaged within 2 groups" in left.get_title()
    assert heatmap(many, right, max_rows=100).get_array().shape == (100, 22)
    assert "100 shown" in right.get_title()
    plt.close(figure)


def test_the_pvalue_histogram_counts_every_testable_profile(table):
    scores = pd.read_parquet(table)
    figure, ax = plt.subplots()
    draw_pvalues(scores, ax)
    assert sum(p.get_height() for p in ax.patches) == (scores["status"] == "ok").sum() == 54
    assert ax.get_xlabel() == "p-value"
    plt.close(figure)


def test_plot_files_from_the_command_line(table, tmp_path):
    overview = tmp_path / "overview.png"
    process = run_cli_plot(table, "-o", overview, "--atlas", SAMPLE, "--groupby", "cell_type")
    assert process.wait() == 0, process.communicate()
    assert overview.read_bytes().startswith(b"\x89PNG")
    profile = tmp_path / "profile.pdf"
    plot(table, profile, atlas=SAMPLE, cell="cell040", chromosome="chr1")
    assert profile.read_bytes().startswith(b"%PDF")
    with pytest.raises(InputError, match="no row for cell 'nobody'"):
        plot(table, tmp_path / "x.png", atlas=SAMPLE, cell="nobody", chromosome="chr1")
    with pytest.raises(InputError, match="needs the AnnData"):
        plot(table, tmp_path / "x.png", groupby="cell_type")


def run_cli_plot(*args):
    import subprocess
    import sys

    return subprocess.Popen([sys.executable, "-m", "ombrix_batch.cli", "plot", *map(str, args)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def test_the_heatmap_says_what_cannot_be_tested_and_where_q_stands(table):
    scores = pd.read_parquet(table)
    groups = pd.Series(np.where(scores["cell"].astype(str) < "cell034", "before", "from 34"),
                       index=scores["cell"].astype(str)).groupby(level=0).first()
    figure, ax = plt.subplots()
    image = heatmap(scores, ax, groups)
    shown = image.get_array()
    untestable = (scores["status"] != "ok").to_numpy().reshape(48, 22)
    assert np.array_equal(np.ma.getmaskarray(shown), untestable)  # drawn in the 'bad' grey
    low, high = image.get_clim()
    assert low == 0.0 and high >= 2 * -np.log10(0.05)  # q = 1 is the bottom of the scale
    bar = figure.axes[-1]
    assert [t.get_text() for t in bar.get_yticklabels(minor=True)] == ["q = 0.05"]
    assert [t.get_text() for t in ax.get_yticklabels()] == ["before", "from 34"]
    plt.close(figure)


@pytest.mark.parametrize("suffix", [".tsv", ".parquet"])
def test_a_profile_figure_draws_the_backgrounds_its_row_counted(tmp_path, suffix):
    # chr8 is left out of the mapping: its lambda falls back to the mean of the
    # others (20.0), which the figure must use too; per-cell exp_lambda values
    # are kept as a digest only and must be given again
    exp = np.linspace(0.5, 3.0, 48)
    path = tmp_path / f"scores{suffix}"
    table = ombrix_batch.score(SAMPLE, states="thresholds", possion_lambda={"chr1": 10.0, "chr2": 30.0},
                               exp_lambda=exp, n_jobs=1, progress=False, output=path)
    from ombrix_batch.plots import profile_backgrounds
    from ombrix_batch.results import read_results

    read = read_results(path)
    testable = table[(table["status"] == "ok") & table["chromosome"].isin(["chr1", "chr8"])]
    assert set(testable["chromosome"]) == {"chr1", "chr8"}
    for cell, chromosome, num_greater, drawn, score in testable[
            ["cell", "chromosome", "num_greater", "backgrounds", "rearrange_score"]].itertuples(index=False):
        _, _, backgrounds = profile_backgrounds(read, SAMPLE, cell, chromosome, exp_lambda=exp)
        assert len(backgrounds) == drawn
        assert (backgrounds >= np.float32(score)).sum() == num_greater
    cell = testable.loc[testable["chromosome"] == "chr8", "cell"].iloc[0]
    figure = tmp_path / "profile.png"
    process = run_cli_plot(path, "-o", figure, "--atlas", SAMPLE, "--cell", cell, "--chromosome", "chr8")
    _, err = process.communicate()
    assert process.returncode != 0 and "give the same exp_lambda" in err and "Traceback" not in err
    plot(path, figure, atlas=SAMPLE, cell=cell, chromosome="chr8", exp_lambda=exp)
    assert figure.read_bytes().startswith(b"\x89PNG")
    with pytest.raises(InputError, match="digest differs"):
        plot(path, figure, atlas=SAMPLE, cell=cell, chromosome="chr8", exp_lambda=exp[::-1])


def test_a_profile_figure_refuses_a_table_it_cannot_reproduce(table):
    scores = pd.read_parquet(table)
    at = scores.index[scores["status"] == "ok"][0]
    scores.loc[at, "num_greater"] -= 1  # as a table scored from another atlas, or with other lambdas, would
    from ombrix_batch.plots import profile_backgrounds

    with pytest.raises(InputError, match="not scored from this atlas"):
        profile_backgrounds(scores, SAMPLE, scores.loc[at, "cell"], scores.loc[at, "chromosome"])
