"""The scanpy-shaped functions: tl.score writes into an AnnData, the pl
functions read it back (also after an .h5ad round trip) and return Axes."""
import inspect
import subprocess
import sys
from importlib.metadata import version

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
anndata = pytest.importorskip("anndata")
matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt

import ombrix_batch
from ombrix_batch import InputError, pl, tl
from ombrix_batch.options import defaults
from test_batch import SAMPLE

RUN = {"states": "thresholds", "backgrounds": 200, "n_jobs": 1, "progress": False}


@pytest.fixture(scope="module")
def scored():
    adata = anndata.read_h5ad(SAMPLE)
    assert tl.score(adata, **RUN) is None
    return adata


def test_inplace_writes_what_the_table_holds_and_the_other_modes_leave_the_atlas_alone(scored):
    table = tl.score(anndata.read_h5ad(SAMPLE), inplace=False, **RUN)
    pd.testing.assert_frame_equal(table, ombrix_batch.score(SAMPLE, **RUN))
    by_row = table.set_index(["cell", "chromosome"])
    assert scored.obsm["ombrix_qval"].loc["cell040", "chr1"] == by_row.loc[("cell040", "chr1"), "qval"] < 0.05
    assert list(scored.obsm["ombrix_score"].columns) == [f"chr{i}" for i in range(1, 23)]
    counted = (scored.obsm["ombrix_qval"] < 0.05).sum(axis=1).to_numpy()
    assert np.array_equal(scored.obs["ombrix_n_significant"].to_numpy(), counted) and counted.sum() > 0
    assert len(scored.uns["ombrix"]["table"]) == len(table)

    original = anndata.read_h5ad(SAMPLE)
    copied = tl.score(original, copy=True, key_added="again", alpha=0.2, **RUN)
    assert "again_score" in copied.obsm and copied.uns["again"]["params"]["alpha"] == 0.2
    assert not {"again_score", "ombrix_score"} & set(original.obsm) and "again" not in original.uns
    with pytest.raises(InputError, match="give one"):
        tl.score(original, copy=True, inplace=False, **RUN)
    with pytest.raises(InputError, match="ombrix_batch.score for a path"):
        tl.score(str(SAMPLE), **RUN)


def test_the_plots_take_the_scored_atlas_or_the_table_and_return_their_axes(scored, tmp_path):
    table = scored.uns["ombrix"]["table"]
    ax = pl.heatmap(scored, groupby="cell_type")
    assert [t.get_text() for t in ax.get_yticklabels()] == sorted(set(scored.obs["cell_type"].astype(str)))
    assert [t.get_text() for t in ax.get_xticklabels()] == [str(i) for i in range(1, 23)]
    plt.close(ax.figure)
    figure, given = plt.subplots()
    assert pl.pvalues(table, ax=given) is given
    assert sum(p.get_height() for p in given.patches) == (table["status"] == "ok").sum()
    plt.close(figure)
    hit = table[(table["status"] == "ok")].sort_values("pval").iloc[0]
    left, right = pl.profile(scored, hit["cell"], hit["chromosome"])
    assert left.get_title().startswith(f"{hit['cell']} {hit['chromosome']}")
    assert f"{int(hit['num_greater'])} of {int(hit['backgrounds'])}" in right.get_title()
    plt.close(left.figure)

    # the parameters the profile needs (states, thresholds, lambdas) survive the file
    path = tmp_path / "scored.h5ad"
    scored.write_h5ad(path)
    back = anndata.read_h5ad(path)
    assert list(back.uns["ombrix"]["params"]["thresholds"]) == [-1.1, -0.25, 0.2, 0.7]
    left, right = pl.profile(back, hit["cell"], hit["chromosome"])
    assert f"{int(hit['num_greater'])} of" in right.get_title()
    ax = pl.heatmap(back)  # chromosomes in genomic order, though .h5ad may store them sorted as text
    assert [t.get_text() for t in ax.get_xticklabels()][:3] == ["1", "2", "3"]
    plt.close("all")


def test_one_axes_for_the_two_panels_of_a_profile_is_refused(scored):
    figure, ax = plt.subplots()
    with pytest.raises(InputError, match="ax must be two Axes"):
        pl.profile(scored, "cell040", "chr1", ax=ax)
    plt.close(figure)


@pytest.mark.parametrize("call", [pl.heatmap, pl.pvalues, lambda a: pl.profile(a, "cell040", "chr1")])
def test_plots_of_an_unscored_atlas_say_what_to_run(call):
    with pytest.raises(InputError, match=r"no results in .uns\['ombrix'\]: run ombrix_batch.tl.score"):
        call(anndata.read_h5ad(SAMPLE))


@pytest.mark.parametrize("function", [ombrix_batch.score, tl.score])
def test_the_public_signatures_keep_the_run_options_defaults(function):
    # each lists the options for its readers; a default changed in one place only would go unnoticed
    parameters = inspect.signature(function).parameters
    shared = {name: p.default for name, p in parameters.items() if name in defaults()}
    assert shared == {name: value for name, value in defaults().items() if name in shared}
    assert set(defaults()) - set(shared) <= {"layout", "chromosome_column"}
    assert all(f"\n    {name}\n" in function.__doc__ for name in list(parameters)[1:])  # every parameter documented


def test_the_version_is_the_package_metadata():
    assert ombrix_batch.__version__ == version("ombrix")
    done = subprocess.run([sys.executable, "-m", "ombrix_batch.cli", "--version"], capture_output=True, text=True)
    assert done.returncode == 0 and done.stdout.strip() == f"ombrix {version('ombrix')}"
