"""The driver under bad input and misuse: every mistake gets the driver's own
error naming its field (exit 2 on the command line, never a traceback),
nothing hangs, and no worker outlives its parent."""
import os
import pathlib
import signal
import subprocess
import threading
import time

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
anndata = pytest.importorskip("anndata")
pytest.importorskip("scipy")
pytest.importorskip("joblib")

import ombrix_batch
from ombrix_batch import BatchError, BatchNote, InputError
from test_batch import SAMPLE, run_cli, wait_for_parts

pytestmark = pytest.mark.filterwarnings("ignore:Mean of empty slice", "ignore:invalid value encountered")


def small_anndata(uns, names=None):
    values = np.random.default_rng(0).integers(1, 4, size=(6, 20)).astype(float)
    obs = pd.DataFrame(index=names or [f"c{i}" for i in range(6)])
    return anndata.AnnData(obs=obs, obsm={"X_cnv": values}, uns=uns)


def bad_files(folder):
    small_anndata({"cnv": {"chr_pos": np.array([0, 10])}}).write_h5ad(folder / "chr_pos_array.h5ad")
    small_anndata({"cnv": "chromosomes"}).write_h5ad(folder / "cnv_string.h5ad")
    cells_as_rows = pd.DataFrame(np.ones((5, 30), dtype=int), index=[f"cell{i}" for i in range(5)])
    cells_as_rows.to_csv(folder / "transposed.tsv", sep="\t")
    (folder / "header_only.tsv").write_text("chrom\tchrompos\tc1\n")


BAD_FILES = [
    ("chr_pos_array.h5ad", "['chr_pos'] is a ndarray, not a mapping"),
    ("cnv_string.h5ad", "(.uns['cnv'] is a str)"),
    ("transposed.tsv", "as when cells are rows"),
    ("header_only.tsv", "has a header but no rows"),
]


@pytest.mark.parametrize("name, message", BAD_FILES, ids=[n for n, _ in BAD_FILES])
def test_a_bad_file_is_one_line_naming_what_is_wrong(tmp_path, name, message):
    bad_files(tmp_path)
    process = run_cli(tmp_path / name, "-o", tmp_path / "t.tsv", "--states", "round", "--quiet")
    _, err = process.communicate(timeout=120)
    assert process.returncode == 2 and "Traceback" not in err, err
    assert err.startswith("ombrix score: error: ") and message in err


BAD_OPTIONS = [
    (["--backgrounds", "2147483648"], "up to 2147483647"),
    (["--stop-after", "-1"], "stop_after must be"),
    (["--top", "-1"], "argument --top"),
    (["--dask-local", "0"], "dask_local must be a positive number of workers"),
    (["--dask-local", "-1"], "dask_local must be a positive number of workers"),
    (["--exp-lambda", "0"], "exp_lambda must be a positive finite number"),
    (["--poisson-lambda", "-1"], "possion_lambda must be a positive finite number"),
    (["--chunk-size", "0"], "chunk_size must be a positive integer"),
    (["--n-jobs", "0"], "n_jobs must be a positive integer or -1"),
    (["--thresholds", "-0.3,-0.3,0.1"], "thresholds must be finite cut points in increasing order"),
]


@pytest.mark.parametrize("options, message", BAD_OPTIONS, ids=[" ".join(o) for o, _ in BAD_OPTIONS])
def test_a_bad_option_is_refused_at_once(tmp_path, options, message):
    output = tmp_path / "t.tsv"
    started = time.monotonic()
    process = run_cli(SAMPLE, "-o", output, "--states", "thresholds", "--quiet", *options)
    _, err = process.communicate(timeout=60)
    assert process.returncode == 2 and "Traceback" not in err, err
    assert message in err
    assert not output.with_name(output.name + ".parts").exists() and time.monotonic() - started < 30


def test_cut_points_with_a_minus_sign_and_the_usual_spelling_are_taken(tmp_path):
    spelled = run_cli(SAMPLE, "-o", tmp_path / "a.tsv", "--states", "thresholds", "--thresholds",
                      "-1.1,-0.25,0.2,0.7", "--poisson-lambda", "20", "--backgrounds", "200", "--quiet")
    plain = run_cli(SAMPLE, "-o", tmp_path / "b.tsv", "--states", "thresholds", "--backgrounds", "200", "--quiet")
    assert spelled.wait(timeout=120) == 0 and plain.wait(timeout=120) == 0, spelled.communicate()
    assert (tmp_path / "a.tsv").read_bytes() == (tmp_path / "b.tsv").read_bytes()


API_MISUSE = {
    "None": ({"source": None}, "must be a path"),
    "bytes": ({"source": b"atlas.h5ad"}, "not bytes"),
    "a name for cells": ({"cells": "c0"}, "cells must be a list of cell names"),
    "groups without groupby": ({"groups": ["a"]}, "go together"),
    "an unknown cell": ({"cells": ["nobody"]}, "no cell named ['nobody']"),
    "a lambda that is no number": ({"exp_lambda": {"cell000": "x"}}, "every value must be a number"),
    "a negative lambda": ({"possion_lambda": [-1.0] * 22}, "must be positive finite numbers"),
}


@pytest.mark.parametrize("options, message", API_MISUSE.values(), ids=API_MISUSE.keys())
def test_api_misuse_raises_the_drivers_error(options, message):
    options = {"source": SAMPLE, "states": "thresholds", "n_jobs": 1, "progress": False, **options}
    with pytest.raises(InputError) as raised:
        ombrix_batch.score(options.pop("source"), **options)
    assert message in str(raised.value)


def test_a_chromosome_named_with_a_slash_is_refused_before_it_breaks_the_h5ad(tmp_path):
    adata = small_anndata({"cnv": {"chr_pos": {"chr1/p": 0, "chr2": 10}}})
    ombrix_batch.score_anndata(adata, states="round", backgrounds=20, n_jobs=1, progress=False)
    with pytest.raises(InputError, match="a name with '/' cannot be written"):
        ombrix_batch.write_h5ad(adata, str(tmp_path / "out.h5ad"))
    assert not (tmp_path / "out.h5ad").exists()
    fine = small_anndata({"cnv": {"chr_pos": {"chr1": 0, "chr2": 10}}})
    ombrix_batch.score_anndata(fine, states="round", backgrounds=20, n_jobs=1, progress=False)
    ombrix_batch.write_h5ad(fine, str(tmp_path / "fine.h5ad"))  # a str path is a path
    assert anndata.read_h5ad(tmp_path / "fine.h5ad").obsm["ombrix_score"].shape == (6, 2)


def test_mostly_untestable_profiles_get_a_note():
    one_position_each = ombrix_batch.Atlas("t", ["a", "b"], [f"chr{i}" for i in range(10)],
                                           profiles={(i, j): np.array([2.0]) for i in range(2) for j in range(10)})
    with pytest.warns(BatchNote, match="100% of the profiles have fewer than 3 positions"):
        ombrix_batch.score(one_position_each, n_jobs=1, progress=False)


def test_some_cells_by_name_or_by_group():
    options = {"states": "thresholds", "backgrounds": 300, "n_jobs": 1, "progress": False}
    full = ombrix_batch.score(SAMPLE, **options).set_index(["cell", "chromosome"])
    named = ombrix_batch.score(SAMPLE, cells=["cell040", "cell002"], **options)
    assert sorted(set(named["cell"].astype(str))) == ["cell002", "cell040"] and len(named) == 44
    by_group = ombrix_batch.score(SAMPLE, groupby="cell_type", groups=["rearranged"], **options)
    groups = anndata.read_h5ad(SAMPLE).obs["cell_type"]
    assert set(by_group["cell"].astype(str)) == set(groups.index[groups == "rearranged"])
    for part in (named, by_group):
        same = full.loc[list(zip(part["cell"].astype(str), part["chromosome"].astype(str)))]
        for column in ("rearrange_score", "num_greater", "backgrounds", "pval"):
            assert np.array_equal(part[column].to_numpy(), same[column].to_numpy(), equal_nan=True)


def running(pid):
    """Alive and not a zombie waiting for its parent's wait()."""
    status = pathlib.Path(f"/proc/{pid}/status")
    try:
        return b"State:\tZ" not in status.read_bytes()
    except FileNotFoundError:
        return False


def test_workers_end_when_their_parent_is_killed(tmp_path):
    output = tmp_path / "t.tsv"
    process = run_cli(SAMPLE, "-o", output, "--states", "thresholds", "--backgrounds", "200000", "--stop-after",
                      "0", "--n-jobs", "2", "--oversubscribe", "--chunk-size", "1", "--quiet")
    wait_for_parts(output.with_name(output.name + ".parts"), 1, process)
    children = subprocess.run(["pgrep", "-P", str(process.pid)], capture_output=True, text=True,
                              check=False).stdout.split()
    assert children
    process.send_signal(signal.SIGKILL)
    process.wait()
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline and any(running(c) for c in children):
        time.sleep(0.2)
    assert not [c for c in children if running(c)]


def test_a_cluster_whose_workers_keep_dying_ends_in_bounded_time():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") \
            as cluster, distributed.Client(cluster) as client:
        stop = threading.Event()

        def kill_workers_again_and_again():
            while not stop.wait(1.0):
                try:
                    client.run(os._exit, 1)
                except Exception:
                    pass

        killer = threading.Thread(target=kill_workers_again_and_again, daemon=True)
        started = time.monotonic()
        killer.start()
        try:
            with pytest.raises(BatchError, match="Dask workers"):
                ombrix_batch.score(SAMPLE, states="thresholds", backgrounds=200000, stop_after=0, chunk_size=1,
                                   client=client, progress=False)
        finally:
            stop.set()
            killer.join()
        assert time.monotonic() - started < 120


def test_a_missing_value_is_named_by_cell_and_chromosome():
    values = np.ones((3, 6))
    values[2, 4] = np.nan
    atlas = ombrix_batch.Atlas("t", ["a", "b", "c"], ["chr1", "chr2"], matrix=values, ranges=[(0, 3), (3, 6)])
    with pytest.raises(InputError, match=r"the first: nan for cell 'c' on chr2, position 1"):
        ombrix_batch.score(atlas, n_jobs=1, progress=False)
