"""The batch driver on real files, real libraries and real processes: every
input format and its errors, the copy states, the distinct-task cache, the
process pool bit for bit against a serial run, resume after SIGKILL, a
killed worker, and the command line."""
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
anndata = pytest.importorskip("anndata")
pytest.importorskip("joblib")
pytest.importorskip("pyarrow")
sp = pytest.importorskip("scipy.sparse")

import ombrix
import ombrix_batch
from ombrix_batch import BatchError, InputError

ROOT = pathlib.Path(__file__).resolve().parents[1]
SAMPLE = ROOT / "examples" / "sample_atlas.h5ad"
CHROMOSOMES = {"chr1": 0, "chr2": 9, "chr3": 15}
WIDTH = 22


def states_matrix(cells=6, seed=0):
    """Integer copy states, cells x 22 positions over three chromosomes, with
    repeated and constant profiles."""
    rng = np.random.default_rng(seed)
    matrix = np.full((cells, WIDTH), 2.0)
    for i in range(cells):
        if i % 2:
            a = int(rng.integers(0, 12))
            matrix[i, a:a + int(rng.integers(2, 9))] = rng.choice([0.0, 1.0, 3.0, 4.0])
    matrix[-1] = matrix[1]  # a repeated cell
    return matrix


def atlas(matrix, sparse=False, chr_pos=CHROMOSOMES, **uns):
    obs = pd.DataFrame(index=[f"c{i}" for i in range(matrix.shape[0])])
    obsm = {"X_cnv": sp.csr_matrix(matrix) if sparse else matrix}
    return anndata.AnnData(obs=obs, obsm=obsm, uns={"cnv": {"chr_pos": dict(chr_pos)}, **uns})


def direct(matrix, backgrounds, exp=1.0, possion=20.0):
    """What the module gives for each (cell, chromosome), called one by one."""
    starts = sorted(CHROMOSOMES.values()) + [WIDTH]
    out = []
    for i in range(matrix.shape[0]):
        for j in range(3):
            values = np.ascontiguousarray(matrix[i, starts[j]:starts[j + 1]])
            r = ombrix.permutation_score(i, values, None, np.full(matrix.shape[0], exp), np.full(3, possion), j,
                                         backgrounds, True)
            out.append((r["dc"]["rearrange_score"], r["num_greater"]))
    return out


def score(source, **kw):
    kw.setdefault("n_jobs", 1)
    kw.setdefault("progress", False)
    kw.setdefault("backgrounds", 30)
    kw.setdefault("stop_after", 0)  # every background, as permutation_score draws them
    return ombrix_batch.score(source, **kw)


@pytest.mark.filterwarnings("ignore:Mean of empty slice", "ignore:invalid value encountered")
@pytest.mark.parametrize("sparse", [False, True], ids=["dense", "csr"])
def test_anndata_rows_match_the_module_called_one_by_one(tmp_path, sparse):
    matrix = states_matrix()
    path = tmp_path / "a.h5ad"
    atlas(matrix, sparse, chr_pos={"chr3": 15, "chr1": 0, "chr2": 9}).write_h5ad(path)
    table = score(path)
    assert list(table["chromosome"][:3]) == ["chr1", "chr2", "chr3"]
    assert list(table["n_positions"][:3]) == [9, 6, 7]
    got = list(zip(table["rearrange_score"], table["num_greater"]))
    assert got == direct(matrix, 30)
    assert np.array_equal(table["pval"], (table["num_greater"] + 1) / 31)
    assert table.attrs["distinct_tasks"] < len(table)  # constant and repeated profiles once
    assert set(table["status"]) <= {"ok", "constant"}


def test_tables_wide_and_long_give_the_anndata_rows(tmp_path):
    matrix = states_matrix()
    reference = score(atlas(matrix))
    labels = np.repeat(list(CHROMOSOMES), np.diff(sorted(CHROMOSOMES.values()) + [WIDTH]))
    wide = pd.DataFrame(matrix.T, columns=[f"c{i}" for i in range(matrix.shape[0])])
    wide.insert(0, "chrompos", np.arange(WIDTH))
    wide.insert(0, "chrom", labels)
    long = pd.DataFrame([(f"c{i}", labels[k], k * 1000, matrix[i, k]) for i in range(matrix.shape[0])
                         for k in range(WIDTH)], columns=["cell", "chromosome", "start", "copy_number"])
    long = long.sample(frac=1.0, random_state=1)  # any row order
    for name, frame, sep in (("w.tsv", wide, "\t"), ("w.csv", wide, ","), ("l.tsv", long, "\t")):
        frame.to_csv(tmp_path / name, sep=sep, index=False)
    wide.to_parquet(tmp_path / "w.parquet")
    for name in ("w.tsv", "w.csv", "w.parquet", "l.tsv"):
        table = score(tmp_path / name)
        columns = ["cell", "chromosome", "rearrange_score", "num_greater"]
        pd.testing.assert_frame_equal(
            table[columns].astype(str).sort_values(["cell", "chromosome"]).reset_index(drop=True),
            reference[columns].astype(str).sort_values(["cell", "chromosome"]).reset_index(drop=True))


BAD_ANNDATA = {
    "no matrix": (dict(use_rep="X_other"), "has no 'X_other'"),
    "no chr_pos": (dict(key="other"), r"\['chr_pos'\] is missing"),
}


@pytest.mark.parametrize("case", sorted(BAD_ANNDATA))
def test_missing_fields_are_named(tmp_path, case):
    path = tmp_path / "a.h5ad"
    atlas(states_matrix()).write_h5ad(path)
    options, message = BAD_ANNDATA[case]
    with pytest.raises(InputError, match=message) as failure:
        score(path, **options)
    assert str(path) in str(failure.value)


@pytest.mark.parametrize("chr_pos, message", [
    ({"chr1": 0, "chr2": 9, "chr3": 30}, "does not fit the matrix"),
    ({"chr1": 3, "chr2": 9}, "must start at column 0"),
    ({"chr1": 0, "chr2": 9, "chr3": 9}, "is empty"),
    ({"chr1": 0, "chr2": "9"}, "not an integer"),
])
def test_chr_pos_that_does_not_fit_is_refused(chr_pos, message):
    with pytest.raises(InputError, match=message):
        score(atlas(states_matrix(), chr_pos=chr_pos))


def test_table_errors_name_file_and_field(tmp_path):
    bad = pd.DataFrame({"chrom": ["1", "1", "2"], "cellA": [2, 2, 3], "cellB": [2, "x", 2]})
    bad.to_csv(tmp_path / "bad.tsv", sep="\t", index=False)
    with pytest.raises(InputError, match=r"bad\.tsv.*'cellB' holds non-numeric values \(row 2: 'x'\)"):
        score(tmp_path / "bad.tsv")
    pd.DataFrame({"cellA": [1, 2]}).to_csv(tmp_path / "nochr.tsv", sep="\t", index=False)
    with pytest.raises(InputError, match="no chromosome column"):
        score(tmp_path / "nochr.tsv")
    with pytest.raises(InputError, match="no such file"):
        score(tmp_path / "missing.h5ad")


def test_log_ratios_need_a_chosen_discretisation():
    rng = np.random.default_rng(3)
    ratios = rng.normal(0.0, 0.3, (4, WIDTH))
    with pytest.raises(InputError, match="not integer copy states.*'thresholds'.*'round'.*'none'"):
        score(atlas(ratios))
    by_thresholds = score(atlas(ratios), states="thresholds")
    states = np.searchsorted([-1.1, -0.25, 0.2, 0.7], ratios, side="right").astype(float)
    np.testing.assert_array_equal(by_thresholds["rearrange_score"], score(atlas(states))["rearrange_score"])
    rounded = score(atlas(ratios * 4), states="round")
    np.testing.assert_array_equal(rounded["rearrange_score"], score(atlas(np.round(ratios * 4)))["rearrange_score"])
    raw = score(atlas(ratios), states="none")
    assert raw.attrs["states"].startswith("raw values")
    with pytest.raises(InputError, match="NaN or infinite"):
        score(atlas(np.where(ratios > 0.5, np.nan, ratios)), states="none")


def test_lambdas_by_vector_and_mapping_and_their_nan_fallback():
    matrix = states_matrix()
    exp = {"c1": 0.5}  # the other cells NaN: the module takes the mean of the given ones
    table = score(atlas(matrix), exp_lambda=exp, possion_lambda=[15.0, 25.0, 20.0])
    expected = score(atlas(matrix), exp_lambda=0.5, possion_lambda=[15.0, 25.0, 20.0])
    assert list(table["num_greater"]) == list(expected["num_greater"])
    with pytest.raises(InputError, match="3 entries for 6"):
        score(atlas(matrix), exp_lambda=[1.0, 2.0, 3.0])


def test_processes_give_the_serial_table_bit_for_bit():
    adata = anndata.read_h5ad(SAMPLE)
    serial = score(adata, states="thresholds", backgrounds=200, with_r=True)
    pooled = score(adata, states="thresholds", backgrounds=200, with_r=True, n_jobs=2, chunk_size=3)
    pd.testing.assert_frame_equal(serial, pooled, check_exact=True)
    assert {"R", "R_num_greater", "R_pval"} <= set(serial.columns)


def run_cli(*args, **kw):
    return subprocess.Popen([sys.executable, "-m", "ombrix_batch.cli", "score", *map(str, args)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)


def wait_for_parts(folder, at_least, process, timeout=120):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if folder.exists() and len(list(folder.glob("part-*.parquet"))) >= at_least:
            return
        assert process.poll() is None, process.communicate()
        time.sleep(0.05)
    pytest.fail("no finished chunk in time")


# a fixed count, and sequential backgrounds whose hits draw all N (30 000 keeps the run long enough to kill);
# the plan is kept with the parts and reused while the input is the same file, unchanged
@pytest.mark.parametrize("backgrounds, stop_after, touched", [("3000", "0", False), ("30000", "10", False),
                                                              ("3000", "0", True)],
                         ids=["fixed", "sequential", "input touched"])
def test_a_run_killed_with_sigkill_resumes_to_the_same_table(tmp_path, backgrounds, stop_after, touched):
    atlas = tmp_path / "atlas.h5ad"
    shutil.copyfile(SAMPLE, atlas)
    options = ["--states", "thresholds", "--backgrounds", backgrounds, "--stop-after", stop_after, "--n-jobs", "1",
               "--chunk-size", "1", "--quiet"]
    reference = tmp_path / "whole.parquet"
    assert run_cli(atlas, "-o", reference, *options).wait() == 0
    output = tmp_path / "killed.parquet"
    process = run_cli(atlas, "-o", output, *options)
    parts = output.with_name(output.name + ".parts")
    wait_for_parts(parts, 3, process)
    process.send_signal(signal.SIGKILL)
    process.wait()
    kept = len(list(parts.glob("part-*.parquet")))
    again = run_cli(atlas, "-o", output, *options)
    _, err = again.communicate()
    assert again.returncode == 2 and "--resume" in err  # never silently restarted or mixed
    if touched:
        os.utime(atlas, ns=(time.time_ns(), time.time_ns() + 10**9))
    resumed = run_cli(atlas, "-o", output, *options, "--resume")
    assert resumed.wait() == 0, resumed.communicate()
    assert 0 < kept < pd.read_parquet(reference).attrs["distinct_tasks"]
    table = pd.read_parquet(output)
    pd.testing.assert_frame_equal(table, pd.read_parquet(reference), check_exact=True)
    assert (table.attrs["chunks_kept"], table.attrs["plan"]) == (kept, "made" if touched else
                                                                 "kept from the unfinished run")
    assert not parts.exists()


def test_a_killed_worker_ends_the_run_with_its_work_kept(tmp_path):
    output = tmp_path / "t.parquet"
    process = run_cli(SAMPLE, "-o", output, "--states", "thresholds", "--backgrounds", "3000", "--stop-after", "0",
                      "--n-jobs", "2",
                      "--chunk-size", "1", "--quiet")
    parts = output.with_name(output.name + ".parts")
    wait_for_parts(parts, 1, process)
    children = subprocess.run(["pgrep", "-P", str(process.pid)], capture_output=True, text=True).stdout.split()
    workers = [int(c) for c in children
               if b"LokyProcess" in pathlib.Path(f"/proc/{c}/cmdline").read_bytes()]
    assert workers
    os.kill(workers[0], signal.SIGKILL)
    _, err = process.communicate(timeout=120)
    assert process.returncode == 2
    assert "a worker process died" in err and "--resume" in err
    assert list(parts.glob("part-*.parquet"))


def test_cli_scores_the_sample_atlas_and_prints_a_summary(tmp_path):
    output = tmp_path / "scores.tsv"
    process = run_cli(SAMPLE, "-o", output, "--states", "thresholds")
    out, err = process.communicate()
    assert process.returncode == 0, err
    assert "Scored 1056 profiles (48 cells x 22 chromosomes" in out
    assert f"Table written to {output}" in out
    table = pd.read_csv(output, sep="\t")
    hits = table[table["qval"] < 0.05]
    assert set(hits["chromosome"]) <= {"chr1", "chr2"} and len(hits) >= 20
    assert list(table.columns[:10]) == ["cell", "chromosome", "n_positions", "n_segments", "rearrange_score",
                                        "limit", "num_greater", "backgrounds", "pval", "qval"]
    assert (output.parent / (output.name + ".json")).exists()


def test_a_bad_input_on_the_command_line_is_one_clear_line(tmp_path):
    process = run_cli(SAMPLE, "-o", tmp_path / "x.tsv")
    _, err = process.communicate()
    assert process.returncode == 2
    assert err.startswith("ombrix score: error: ") and "Traceback" not in err
    with pytest.raises(BatchError):
        score(SAMPLE, output=tmp_path / "x.xlsx")


@pytest.mark.filterwarnings("ignore:Mean of empty slice", "ignore:invalid value encountered")
def test_read_only_profiles_are_scored():
    """pandas 3 (copy-on-write) hands out read-only arrays; the module takes writable ones."""
    values = np.array([2.0, 2.0, 3.0, 3.0, 2.0, 1.0, 1.0])
    values.setflags(write=False)
    table = score(ombrix_batch.Atlas("read-only", ["c0"], ["chr1"], profiles={(0, 0): values}))
    expected = ombrix.permutation_score(0, values.copy(), None, np.ones(1), np.full(1, 20.0), 0, 30, True)
    assert table["num_greater"][0] == expected["num_greater"]


def test_results_written_back_into_anndata_survive_h5ad(tmp_path):
    adata = anndata.read_h5ad(SAMPLE)
    table = score(adata, states="thresholds", backgrounds=1000)
    assert ombrix_batch.score_anndata(adata, states="thresholds", backgrounds=1000, n_jobs=1, progress=False) is None
    scores, qvalues = adata.obsm["ombrix_score"], adata.obsm["ombrix_qval"]
    assert list(scores.columns) == [f"chr{i}" for i in range(1, 23)]
    assert list(qvalues.index) == list(adata.obs_names)
    by_row = table.set_index(["cell", "chromosome"])
    assert scores.loc["cell040", "chr1"] == by_row.loc[("cell040", "chr1"), "rearrange_score"]
    significant = adata.obs["ombrix_n_significant"]
    rearranged = adata.obs["cell_type"] == "rearranged"
    assert (significant[rearranged] >= 1).all() and (significant[~rearranged] == 0).all()
    path = tmp_path / "back.h5ad"
    adata.write_h5ad(path)
    back = anndata.read_h5ad(path)
    pd.testing.assert_frame_equal(back.obsm["ombrix_qval"], qvalues)
    assert back.uns["ombrix"]["params"]["backgrounds"] == 1000
    assert len(back.uns["ombrix"]["table"]) == len(table)
    untouched = anndata.read_h5ad(SAMPLE)
    assert isinstance(ombrix_batch.score_anndata(untouched, inplace=False, states="thresholds", backgrounds=30,
                                                 n_jobs=1, progress=False), pd.DataFrame)
    assert "ombrix_score" not in untouched.obsm


def test_cli_writes_the_h5ad_back(tmp_path):
    written = tmp_path / "with_scores.h5ad"
    process = run_cli(SAMPLE, "-o", tmp_path / "t.parquet", "--states", "thresholds", "--backgrounds", "50",
                      "--write-h5ad", written, "--quiet")
    assert process.wait() == 0, process.communicate()
    assert {"ombrix_score", "ombrix_qval"} <= set(anndata.read_h5ad(written).obsm)


def test_without_dask_the_cluster_options_say_how_to_install_it(tmp_path):
    hidden = ("import sys; sys.modules['distributed'] = None; from ombrix_batch.cli import main; "
              f"sys.exit(main(['score', {str(SAMPLE)!r}, '-o', {str(tmp_path / 'x.tsv')!r}, '--states', "
              "'thresholds', '--dask-local', '2', '--quiet']))")
    process = subprocess.run([sys.executable, "-c", hidden], capture_output=True, text=True)
    assert process.returncode == 2
    assert "pip install 'ombrix[dask]'" in process.stderr


def test_the_command_line_answers_help_and_refusals_without_the_heavy_imports():
    # pandas, SciPy and AnnData take most of a second to import: only a command
    # that reads or writes needs them
    probe = ("import sys, contextlib, io\nfrom ombrix_batch import cli\n"
             "for argv in (['--help'], ['score', 'x.h5ad', '--states', 'bogus']):\n"
             "    with contextlib.suppress(SystemExit), contextlib.redirect_stdout(io.StringIO()), "
             "contextlib.redirect_stderr(io.StringIO()):\n"
             "        cli.main(argv)\n"
             "print(sorted(m for m in ('pandas', 'scipy', 'anndata', 'pyarrow') if m in sys.modules))")
    done = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, check=True)
    assert done.stdout.strip() == "[]"
