"""The driver never loses or mixes a user's data: outputs that would replace
the input are refused, files are replaced whole (a kill or a full disk
leaves the old one), a resume must match what was computed, one run writes
an output at a time, and tables are read as written."""
import contextlib
import hashlib
import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import time
import uuid

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
anndata = pytest.importorskip("anndata")
pytest.importorskip("joblib")
pytest.importorskip("pyarrow")

import ombrix_batch
from ombrix_batch import BatchError, BatchNote, InputError
from ombrix_batch.run import worker_count
from test_batch import SAMPLE, run_cli, score, wait_for_parts

SLOW = ["--states", "thresholds", "--backgrounds", "3000", "--stop-after", "0", "--n-jobs", "1", "--chunk-size", "1",
        "--quiet"]
FAST = ["--states", "thresholds", "--backgrounds", "20", "--n-jobs", "1", "--quiet"]


def digest(path):
    return hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest()


@pytest.fixture(autouse=True)
def the_sample_atlas_is_never_changed():
    before = digest(SAMPLE)
    yield
    assert digest(SAMPLE) == before


def finish(process, timeout=180):
    out, err = process.communicate(timeout=timeout)
    return process.returncode, out, err


def long_table(tmp_path):
    adata = anndata.read_h5ad(SAMPLE)
    table = ombrix_batch.score(adata, states="thresholds", backgrounds=1, n_jobs=1, progress=False)
    frame = table[["cell", "chromosome"]].astype(str).assign(start=0, copy_number=2.0)
    path = tmp_path / "long.parquet"
    frame.to_parquet(path)
    return path


# --- outputs that are the input ------------------------------------------------------------------

def refused_cases(tmp_path):
    h5ad = tmp_path / "in.h5ad"
    shutil.copy(SAMPLE, h5ad)
    long = long_table(tmp_path)
    text = tmp_path / "long.tsv"
    pd.read_parquet(long).to_csv(text, sep="\t", index=False)
    (tmp_path / "t.tsv.parts").mkdir()
    inside = tmp_path / "t.tsv.parts" / "in.h5ad"
    shutil.copy(SAMPLE, inside)
    return {
        "table over a parquet input": (long, ["score", long, "--states", "round", "-o", long]),
        "table over a tsv input": (text, ["score", text, "-o", text]),
        "h5ad over the input": (h5ad, ["score", h5ad, "--states", "thresholds", "-o", tmp_path / "t.tsv",
                                       "--write-h5ad", h5ad]),
        "h5ad over the input by another path": (h5ad, ["score", h5ad, "--states", "thresholds", "-o",
                                                       tmp_path / "t.tsv", "--write-h5ad",
                                                       tmp_path / "." / "in.h5ad"]),
        "input in the parts folder": (inside, ["score", inside, "--states", "thresholds", "-o",
                                               tmp_path / "t.tsv"]),
    }


CASES = ["table over a parquet input", "table over a tsv input", "h5ad over the input",
         "h5ad over the input by another path", "input in the parts folder"]


@pytest.mark.parametrize("case", CASES)
def test_an_output_that_is_the_input_is_refused_before_any_work(tmp_path, case):
    path, argv = refused_cases(tmp_path)[case]
    before = digest(path)
    process = subprocess.run([sys.executable, "-m", "ombrix_batch.cli", *map(str, argv)], capture_output=True,
                             text=True, timeout=120)
    assert process.returncode == 2, process.stderr
    assert process.stderr.startswith("ombrix score: error: ") and "Traceback" not in process.stderr
    assert "input" in process.stderr
    assert digest(path) == before


def test_a_figure_over_its_table_is_refused(tmp_path):
    pytest.importorskip("matplotlib")
    from ombrix_batch.pl import write_figure as plot

    table = tmp_path / "t.parquet"
    score(SAMPLE, states="thresholds", output=table)
    before = digest(table)
    (tmp_path / "t.png").symlink_to(table)  # the same file under a figure's name
    with pytest.raises(InputError, match="is the input"):
        plot(table, tmp_path / "t.png")
    assert digest(table) == before


@pytest.mark.parametrize("where, message", [("folder.tsv", "is a folder"), ("missing/t.tsv", "does not exist")])
def test_an_output_that_can_never_be_written_is_refused_before_any_work(tmp_path, where, message):
    (tmp_path / "folder.tsv").mkdir()
    with pytest.raises(InputError, match=message):
        score(SAMPLE, states="thresholds", output=tmp_path / where)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["folder.tsv"]


def in_the_way(tmp_path):
    """Things beside an output that are not ombrix's and must survive a run."""
    (tmp_path / "t.tsv.parts").mkdir()
    (tmp_path / "t.tsv.parts" / "notes.txt").write_text("mine")
    return tmp_path / "t.tsv.parts" / "notes.txt"


def a_file_in_the_way(tmp_path):
    (tmp_path / "t.tsv.parts").write_text("mine")
    return tmp_path / "t.tsv.parts"


def an_input_named_like_a_leftover(tmp_path):
    path = tmp_path / ".t.tsv.partial-0123456789ab.tsv"  # what a run on t.tsv would remove
    pd.read_parquet(long_table(tmp_path)).to_csv(path, sep="\t", index=False)
    (tmp_path / "long.parquet").unlink()
    return path


@pytest.mark.parametrize("make, message", [
    (in_the_way, "is in the way"), (a_file_in_the_way, "is in the way"),
    (an_input_named_like_a_leftover, "has the name of a half-written file"),
])
def test_what_is_not_ombrixs_is_never_removed(tmp_path, make, message):
    kept = make(tmp_path)
    before = digest(kept)
    source = kept if kept.name.startswith(".") else SAMPLE
    with pytest.raises(BatchError, match=message):
        score(source, states="thresholds", output=tmp_path / "t.tsv")
    assert digest(kept) == before


@pytest.mark.parametrize("options, message", [
    (dict(chunk_size=0), "chunk_size must be a positive integer"),
    (dict(chunk_size=-5), "chunk_size must be a positive integer"),
    (dict(output=".x.tsv.partial-0123456789ab.tsv"), "kept for ombrix's own locks"),
])
def test_options_that_would_leave_a_blocked_output_are_refused(tmp_path, options, message):
    if "output" in options:
        options["output"] = tmp_path / options["output"]
    with pytest.raises(InputError, match=message):
        score(SAMPLE, states="thresholds", **{"output": tmp_path / "t.tsv", **options})
    assert not list(tmp_path.iterdir())


# --- files replaced whole --------------------------------------------------------------------------

def big_atlas(path):
    """The sample atlas with a large expression matrix, so that writing it takes a while."""
    adata = anndata.read_h5ad(SAMPLE)
    rng = np.random.default_rng(0)
    adata = anndata.AnnData(X=rng.random((adata.n_obs, 200_000), dtype=np.float32), obs=adata.obs,
                            obsm=dict(adata.obsm), uns=dict(adata.uns))
    adata.write_h5ad(path)


def test_a_kill_while_the_h5ad_is_written_leaves_the_old_file(tmp_path):
    source, written = tmp_path / "atlas.h5ad", tmp_path / "out.h5ad"
    big_atlas(source)
    options = [source, "-o", tmp_path / "t.parquet", *FAST, "--write-h5ad", written]
    assert finish(run_cli(*options))[0] == 0
    before, source_before = digest(written), digest(source)
    killed = False
    for _ in range(5):  # the write lasts a fraction of a second: catch it under way
        process = run_cli(*options)
        while process.poll() is None and not killed:
            if list(tmp_path.glob(".out.h5ad.partial-*")):
                process.send_signal(signal.SIGKILL)
                killed = True
            time.sleep(0.002)
        process.wait()
        if killed:
            break
    assert killed, "the write was never caught under way"
    assert list(tmp_path.glob(".out.h5ad.partial-*"))  # half-written, beside it
    assert digest(written) == before
    assert "ombrix_qval" in anndata.read_h5ad(written, backed="r").obsm
    assert finish(run_cli(*options))[0] == 0
    assert not list(tmp_path.glob(".out.h5ad.*"))  # the next run removed what the killed one left
    assert digest(source) == source_before


@pytest.fixture
def small_disk(tmp_path):
    """A file system of 1 MiB that fills up for real (ENOSPC)."""
    mount = tmp_path / "disk"
    mount.mkdir()
    if shutil.which("mount") is None:
        pytest.skip("no mount command here")
    made = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(mount)], capture_output=True)
    if made.returncode != 0:
        pytest.skip(f"cannot mount a small file system here ({made.stderr.decode().strip()})")
    try:
        yield mount
    finally:
        subprocess.run(["umount", "-l", str(mount)], check=False)


def fill(folder, leave):
    """Fills `folder`'s file system up to `leave` bytes."""
    stats = os.statvfs(folder)
    filler = folder / "filler"
    with open(filler, "wb") as handle:
        with contextlib.suppress(OSError):
            handle.write(b"\0" * max(0, stats.f_bavail * stats.f_frsize - leave))
    return filler


def test_a_full_disk_leaves_the_h5ad_as_it_was_with_a_clear_error(tmp_path, small_disk):
    written = small_disk / "out.h5ad"
    options = [SAMPLE, "-o", tmp_path / "t.parquet", *FAST, "--write-h5ad", written]
    assert finish(run_cli(*options))[0] == 0
    before = digest(written)
    fill(small_disk, 64 * 1024)
    status, _, err = finish(run_cli(*options))
    assert status == 2, err
    assert "No space left on device" in err and "unchanged" in err and "Traceback" not in err
    assert digest(written) == before
    assert sorted(p.name for p in small_disk.iterdir()) == ["filler", "out.h5ad"]  # no half-written file


def test_a_full_disk_while_the_table_is_written_keeps_the_work_and_resumes_exactly(tmp_path, small_disk):
    reference = tmp_path / "whole.tsv"
    assert finish(run_cli(SAMPLE, "-o", reference, *FAST))[0] == 0
    output = small_disk / "t.tsv"
    filler = fill(small_disk, 24 * 1024)
    status, _, err = finish(run_cli(SAMPLE, "-o", output, *FAST))
    assert status == 2 and "No space left on device" in err and "--resume" in err and "Traceback" not in err
    assert not output.exists() and not list(small_disk.glob(".t.tsv.partial-*"))
    filler.unlink()
    assert finish(run_cli(SAMPLE, "-o", output, *FAST, "--resume"))[0] == 0
    assert output.read_bytes() == reference.read_bytes()
    assert json.loads((small_disk / "t.tsv.json").read_text())["distinct_tasks"] == 46


def test_what_a_killed_run_left_half_written_is_removed(tmp_path):
    output = tmp_path / "t.tsv"
    leftovers = [tmp_path / f".t.tsv.partial-{uuid.uuid4().hex[:12]}.tsv",
                 tmp_path / f".t.tsv.json.partial-{uuid.uuid4().hex[:12]}.json"]
    for path in leftovers:
        path.write_text("half")
    hidden = tmp_path / ".t.tsv.parts.partial-0123456789ab"
    hidden.mkdir()
    (hidden / "part-000000.parquet").write_text("half")
    (tmp_path / "t.tsv.parts").mkdir()  # made by an older run killed before its run.json
    others = [tmp_path / ".t.tsv.partial-b.tsv.lock", tmp_path / ".t.tsv.partial-mine"]  # not leftovers of t.tsv
    for path in others:
        path.write_text("another run's")
    score(SAMPLE, states="thresholds", output=output)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([p.name for p in others] + ["t.tsv", "t.tsv.json"])


def test_a_table_and_parameters_of_two_runs_are_not_read_as_one(tmp_path):
    from ombrix_batch.results import read_results

    output = tmp_path / "t.tsv"
    score(SAMPLE, states="thresholds", backgrounds=20, output=output)
    earlier = (tmp_path / "t.tsv.json").read_text()
    score(SAMPLE, states="thresholds", backgrounds=30, output=output)
    assert read_results(output).attrs["backgrounds"] == 30 and "table_sha256" not in read_results(output).attrs
    (tmp_path / "t.tsv.json").write_text(earlier)  # as a stop between the two renames leaves them
    with pytest.raises(InputError, match="parameters of another version"):
        read_results(output)


# --- resumes that match ------------------------------------------------------------------------------

def api_run(output, mapping, *extra):
    code = ("import sys, ombrix_batch; ombrix_batch.score(sys.argv[1], states='thresholds', backgrounds=3000, "
            "stop_after=0, "
            f"n_jobs=1, chunk_size=1, progress=False, possion_lambda={mapping!r}, output=sys.argv[2], "
            f"resume={'--resume' in extra})")
    return subprocess.Popen([sys.executable, "-c", code, str(SAMPLE), str(output)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def test_a_resume_with_another_fallback_is_refused(tmp_path):
    first = {"chr1": 10.0, "chr2": 30.0, "chr3": 30.0}  # the others fall back to 23.33
    second = {"chr1": 10.0, "chr2": 10.0, "chr3": 30.0}  # the others fall back to 16.67
    output = tmp_path / "t.parquet"
    process = api_run(output, first)
    parts = output.with_name(output.name + ".parts")
    wait_for_parts(parts, 2, process)
    process.send_signal(signal.SIGKILL)
    process.wait()
    kept = json.loads((parts / "run.json").read_text())
    assert kept["possion_lambda"]["chr4"] == pytest.approx(70 / 3)  # the value used, not NaN
    with pytest.raises(BatchError, match=r"possion_lambda: .*then, .*now") as refused:
        score(SAMPLE, states="thresholds", backgrounds=3000, chunk_size=1, possion_lambda=second, output=output,
              resume=True)
    assert "16.66" in str(refused.value) and "23.33" in str(refused.value)
    with pytest.raises(BatchError, match="backgrounds: 3000 then, 2000 now"):
        score(SAMPLE, states="thresholds", backgrounds=2000, chunk_size=1, possion_lambda=first, output=output,
              resume=True)
    # no chunk_size given: the unfinished run's (1, not the default) cuts the rest
    resumed = score(SAMPLE, states="thresholds", backgrounds=3000, possion_lambda=first, output=output, resume=True)
    whole = score(SAMPLE, states="thresholds", backgrounds=3000, possion_lambda=first)
    pd.testing.assert_frame_equal(resumed, whole, check_exact=True)


def test_two_runs_on_one_output_give_one_clear_error(tmp_path):
    output = tmp_path / "t.tsv"
    slower = [*SLOW[:3], "30000", *SLOW[4:]]  # still running while the others start
    first = run_cli(SAMPLE, "-o", output, *slower)
    wait_for_parts(output.with_name(output.name + ".parts"), 1, first)
    for extra in ([], ["--resume"]):
        status, _, err = finish(run_cli(SAMPLE, "-o", output, *slower, *extra))
        assert status == 2 and f"another ombrix run (process {first.pid}) is writing" in err, err
    assert first.poll() is None
    first.send_signal(signal.SIGTERM)  # ends as Ctrl-C does: temporaries and lock gone, work kept
    status, _, err = finish(first)
    assert status == 128 + signal.SIGTERM and "--resume" in err and "Traceback" not in err
    assert not list(tmp_path.glob(".t.tsv*"))
    assert finish(run_cli(SAMPLE, "-o", output, *slower, "--resume"))[0] == 0
    assert len(pd.read_csv(output, sep="\t")) == 1056 and not list(tmp_path.glob("*.parts"))


# --- tables read as written ---------------------------------------------------------------------------

def wide_frame():
    rng = np.random.default_rng(7)
    labels = ["chr1"] * 8 + ["chr2"] * 7
    cells = ["S1#c0", "NA", "0000", "S2#c1"]
    frame = pd.DataFrame({"chrom": labels, "chrompos": list(range(8)) + list(range(7)),
                          "abspos": np.arange(15) * 10})
    for c in cells:
        frame[c] = rng.choice([1.0, 2.0, 3.0], 15)
    frame["gene"] = rng.choice([1.0, 2.0, 3.0], 15)  # a cell named like a position column, after the cells
    return frame


def test_wide_names_are_kept_and_rows_ordered_by_position(tmp_path):
    frame = wide_frame()
    frame.to_csv(tmp_path / "w.tsv", sep="\t", index=False)
    frame.sample(frac=1.0, random_state=3).to_csv(tmp_path / "shuffled.tsv", sep="\t", index=False)
    ordered = score(tmp_path / "w.tsv")
    assert list(ordered["cell"].cat.categories) == ["S1#c0", "NA", "0000", "S2#c1", "gene"]
    assert list(ordered["chromosome"].cat.categories) == ["chr1", "chr2"]
    shuffled = score(tmp_path / "shuffled.tsv")
    pd.testing.assert_frame_equal(shuffled, ordered, check_exact=True)
    matrix = frame[["S1#c0"]].to_numpy()[:8, 0]
    direct = ombrix_batch.score(ombrix_batch.Atlas("x", ["c"], ["chr1"], profiles={(0, 0): matrix.copy()}),
                                backgrounds=30, stop_after=0, n_jobs=1, progress=False)
    assert ordered["num_greater"][0] == direct["num_greater"][0]


def test_long_ids_and_names_are_kept_as_written(tmp_path):
    rows = [(cell, "chr1", p, float(2 + (p % 3 == 0))) for cell in ("0000", "S1#c0", "NA") for p in range(6)]
    frame = pd.DataFrame(rows, columns=["cell_id", "chromosome", "start", "copy_number"])
    frame.to_csv(tmp_path / "l.tsv", sep="\t", index=False)
    table = score(tmp_path / "l.tsv")
    assert list(table["cell"]) == ["0000", "S1#c0", "NA"]
    assert list(table["n_positions"]) == [6, 6, 6]


TABLE_FAULTS = {
    "a cell's column twice": ("wide", lambda f: f.rename(columns={"NA": "0000"}), r"'0000' has two columns"),
    "a NaN position": ("wide", lambda f: f.assign(chrompos=f["chrompos"].where(f.index != 4)),
                       r"'chrompos' has no number in row 5"),
    "a position twice": ("wide", lambda f: f.assign(chrompos=f["chrompos"].where(f.index != 4, 3)),
                         r"rows 4 and 5 are both at chr1:3"),
    "an empty chromosome": ("wide", lambda f: f.assign(chrom=f["chrom"].where(f.index != 2, "")),
                            r"'chrom' has no value in row 3"),
    "a missing long row": ("long", lambda f: f.drop(index=9), r"cell 'c1' has no value at chr1:3, where other"),
    "a NaN long position": ("long", lambda f: f.assign(start=f["start"].where(f.index != 2)),
                            r"'start' has no number in row 3"),
    "true and false as copy numbers": ("long", lambda f: f.assign(copy_number=f.index % 2 == 0),
                                       "true/false values"),
    "a number with an underscore": ("long", lambda f: f.assign(copy_number=f["copy_number"].astype(str).where(
        f.index != 4, "1_0")), r"non-numeric values \(row 5: '1_0'\)"),
    "a cell column without a name": ("wide", lambda f: f.rename(columns={"NA": " "}), "column 5 has no name"),
}


@pytest.mark.parametrize("case", sorted(TABLE_FAULTS))
def test_table_faults_are_refused_with_the_row(tmp_path, case):
    layout, change, message = TABLE_FAULTS[case]
    if layout == "wide":
        frame = wide_frame()
    else:
        frame = pd.DataFrame([(f"c{i}", "chr1", p, 2.0) for i in range(3) for p in range(6)],
                             columns=["cell", "chromosome", "start", "copy_number"])
    path = tmp_path / "t.tsv"
    change(frame).to_csv(path, sep="\t", index=False)
    with pytest.raises(InputError, match=message):
        score(path)


# --- values that change every result ------------------------------------------------------------------

@pytest.mark.parametrize("options, message", [
    (dict(states="thresholds", thresholds=(-1.1, float("nan"), 0.2, 0.7)), "finite cut points"),
    (dict(states="thresholds", thresholds=(-1.1, 0.2, 0.2, 0.7)), "each once"),
    (dict(possion_lambda=float("nan")), r"possion_lambda must be a positive finite number \(1e-300 to 1e\+07\)"),
    (dict(possion_lambda=0), "possion_lambda must be a positive"),
    (dict(exp_lambda=float("inf")), "exp_lambda must be a positive"),
    (dict(exp_lambda=-1.0), "exp_lambda must be a positive"),
    (dict(possion_lambda={"chr1": float("nan")}), "no entry is a number"),
    (dict(possion_lambda=[20.0] * 21 + [float("inf")]), r"'chr22' has inf"),
    (dict(possion_lambda={"chr1": "many"}), "every value must be a number"),
])
def test_values_that_would_change_every_result_are_refused(options, message):
    options.setdefault("states", "thresholds")
    with pytest.raises(InputError, match=message):
        score(SAMPLE, **options)


def test_processes_are_capped_at_the_cores_unless_asked():
    from joblib import cpu_count

    cores = cpu_count()
    workers, note = worker_count(cores + 998, 10_000, False)
    assert workers == cores and "capped at the" in note
    assert worker_count(cores + 998, 10_000, True) == (cores + 998, None)
    assert worker_count(-1, 1, False) == (1, None)  # never more processes than chunks
    with pytest.warns(BatchNote, match="capped at the"):
        score(SAMPLE, states="thresholds", n_jobs=cores + 998, backgrounds=5)


# --- at scale ------------------------------------------------------------------------------------------

def test_more_cells_than_joblib_sends_in_memory_score_on_two_processes():
    # 131 073 cells make a per-cell float64 vector over 1 MiB, which joblib hands to its workers as a
    # read-only memory map; the module takes writable arrays only
    cells = 131_073
    rng = np.random.default_rng(0)
    matrix = rng.integers(1, 4, size=(cells, 4)).astype(np.float64)
    atlas = ombrix_batch.Atlas("big", [f"c{i}" for i in range(cells)], ["chr1"], matrix=matrix, ranges=[(0, 4)])
    table = ombrix_batch.score(atlas, backgrounds=20, n_jobs=2, oversubscribe=True, chunk_size=8, progress=False)
    assert len(table) == cells and table["status"].isin(["ok", "constant", "undefined"]).all()
    serial = ombrix_batch.score(atlas, backgrounds=20, n_jobs=1, chunk_size=8, progress=False)
    pd.testing.assert_frame_equal(table, serial, check_exact=True)


@pytest.mark.parametrize("tasks", [1, 100, 4096, 130_000, 1_100_000, 5_500_000])
def test_chunk_files_stay_bounded(tasks):
    from ombrix_batch.run import MAX_CHUNKS, default_chunk_size

    size = default_chunk_size(tasks)
    assert 1 <= size and -(-tasks // size) <= MAX_CHUNKS
    assert size <= 64 or tasks > 64 * MAX_CHUNKS  # small atlases keep their fine-grained chunks
