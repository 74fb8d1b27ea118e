"""An .h5ad read in blocks of rows straight from the file (never .X) gives the
table of the same AnnData scored from memory, dense or CSR, float32 or float64."""
import numpy as np
import pytest

pd = pytest.importorskip("pandas")
anndata = pytest.importorskip("anndata")
h5py = pytest.importorskip("h5py")
sp = pytest.importorskip("scipy.sparse")

import ombrix_batch
from ombrix_batch.h5ad import FileRows
from ombrix_batch.readers import read_atlas

pytestmark = pytest.mark.filterwarnings("ignore:Mean of empty slice", "ignore:invalid value encountered")
OPTIONS = {"states": "thresholds", "backgrounds": 60, "n_jobs": 1, "progress": False}


def log_ratios(cells, dtype, seed=5):
    rng = np.random.default_rng(seed)
    values = np.zeros((cells, 90))
    values[cells // 3:, 10:40] = 0.5  # a clone with a gain
    noisy = rng.random(cells) < 0.3
    values[noisy] += rng.normal(0.0, 0.3, size=(int(noisy.sum()), 90))
    values[rng.random(values.shape) < 0.4] = 0.0  # zeros, as a sparse matrix leaves out
    return values.astype(dtype)


def written(path, matrix, with_x):
    cells = matrix.shape[0]
    adata = anndata.AnnData(X=np.ones((cells, 3), dtype=np.float32) if with_x else None,
                            obs=pd.DataFrame(index=[f"cell{i:04d}" for i in range(cells)]),
                            obsm={"X_cnv": matrix}, uns={"cnv": {"chr_pos": {"chr1": 0, "chr2": 30, "chr3": 55}}})
    adata.write_h5ad(path)
    return adata


@pytest.mark.parametrize("sparse", [False, True], ids=["dense", "csr"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("with_x", [False, True], ids=["no X", "with X"])
def test_the_file_read_in_blocks_gives_the_in_memory_table(tmp_path, sparse, dtype, with_x):
    values = log_ratios(2500, dtype)  # more rows than one block
    matrix = sp.csr_matrix(values) if sparse else values
    adata = written(tmp_path / "a.h5ad", matrix, with_x)
    atlas = read_atlas(tmp_path / "a.h5ad")
    assert isinstance(atlas.matrix, FileRows)
    from_file = ombrix_batch.score(tmp_path / "a.h5ad", **OPTIONS)
    from_memory = ombrix_batch.score(adata, **OPTIONS)
    pd.testing.assert_frame_equal(from_file, from_memory, check_exact=True)
    assert from_file.attrs["distinct_tasks"] == from_memory.attrs["distinct_tasks"] < len(from_file)


def test_x_is_never_read(tmp_path):
    path = tmp_path / "a.h5ad"
    adata = written(path, log_ratios(300, np.float32), with_x=True)
    with h5py.File(path, "a") as handle:  # an .X that no reader could read
        del handle["X"]
        handle.create_dataset("X", data=np.zeros(1))
        handle["X"].attrs["encoding-type"] = "not-a-matrix"
    with pytest.raises(Exception):  # noqa: B017 - anndata's own error, whatever it is
        anndata.read_h5ad(path)
    pd.testing.assert_frame_equal(ombrix_batch.score(path, **OPTIONS), ombrix_batch.score(adata, **OPTIONS),
                                  check_exact=True)


@pytest.mark.parametrize("sparse", [False, True], ids=["dense", "csr"])
def test_the_plan_made_by_two_processes_is_the_plan_of_one(tmp_path, sparse):
    from ombrix_batch.states import States
    from ombrix_batch.tasks import make_plan

    values = log_ratios(4500, np.float32)  # three blocks
    adata = written(tmp_path / "a.h5ad", sp.csr_matrix(values) if sparse else values, with_x=False)
    for source in (read_atlas(tmp_path / "a.h5ad"), read_atlas(adata)):
        one, two = (make_plan(source, States("thresholds"), 20, None, None, False, n_jobs=n) for n in (1, 2))
        pd.testing.assert_frame_equal(one.rows(), two.rows(), check_exact=True)
        for name in one.ARRAYS:
            np.testing.assert_array_equal(getattr(one, name), getattr(two, name))
        assert one.fingerprint == two.fingerprint


@pytest.mark.parametrize("sparse", [False, True], ids=["dense", "csr"])
@pytest.mark.parametrize("n_jobs", [1, 2])
@pytest.mark.parametrize("bad, states, message", [
    (np.nan, "thresholds", r"NaN or infinite values \(the first: nan for cell 'cell4100' on chr2, position 7 of"),
    (0.5, "integer", r"not integer copy states \(for example 0.5\)"),  # NaN comes first in a block
], ids=["nan", "not integer"])
def test_a_bad_value_in_a_late_block_is_named_while_planning(tmp_path, sparse, n_jobs, bad, states, message):
    values = np.round(log_ratios(4500, np.float32) * 2)  # integers, three blocks
    values[4100, 37] = bad  # chr2 starts at column 30
    values[4200, 80] = np.inf if np.isnan(bad) else 1.5  # a later one is not the one named
    values[4100, 36] = 0.0  # unstored in a sparse matrix, just before it
    adata = written(tmp_path / "a.h5ad", sp.csr_matrix(values) if sparse else values, with_x=False)
    for source in (tmp_path / "a.h5ad", adata):
        with pytest.raises(ombrix_batch.InputError, match=message):
            ombrix_batch.score(source, **{**OPTIONS, "states": states, "n_jobs": n_jobs})


def test_a_csr_with_repeated_and_unordered_columns_is_scored_as_its_sums(tmp_path):
    values = log_ratios(2300, np.float64)  # two blocks
    dense = sp.csr_matrix(values)
    # each stored value split in two halves, stored in reverse column order within each row
    rows = np.repeat(np.arange(values.shape[0]), np.diff(dense.indptr))
    halves = np.concatenate([dense.data / 2, dense.data - dense.data / 2])
    order = np.lexsort((-np.tile(dense.indices, 2), np.tile(rows, 2)))
    indptr = np.r_[0, np.cumsum(2 * np.diff(dense.indptr))]
    split = sp.csr_matrix((halves[order], np.tile(dense.indices, 2)[order], indptr), shape=values.shape)
    assert not split.has_canonical_format
    np.testing.assert_array_equal(split.toarray(), dense.toarray())
    written(tmp_path / "split.h5ad", split, with_x=False)
    expected = ombrix_batch.score(written(tmp_path / "plain.h5ad", dense, with_x=False), **OPTIONS)
    plain = read_atlas(tmp_path / "plain.h5ad")
    given = ombrix_batch.Atlas(plain.source, plain.cells, plain.chromosomes, split, plain.ranges)
    for source in (tmp_path / "split.h5ad", given):
        pd.testing.assert_frame_equal(ombrix_batch.score(source, **OPTIONS), expected, check_exact=True)


# --- the table made from per-task results, and written a batch of rows at a time ----------------------

@pytest.fixture(scope="module")
def scored_run(tmp_path_factory):
    from ombrix_batch.options import Options
    from ombrix_batch.run import run_scoring

    path = tmp_path_factory.mktemp("atlas") / "a.h5ad"
    written(path, log_ratios(700, np.float64), with_x=False)
    return run_scoring(path, Options(**{**OPTIONS, "stop_after": 0, "with_r": True}))


@pytest.mark.parametrize("suffix", [".parquet", ".tsv"])
def test_a_table_written_in_batches_reads_back_as_the_whole_table(tmp_path, scored_run, suffix):
    from ombrix_batch.results import read_results, write_table

    output = tmp_path / f"t{suffix}"
    write_table(scored_run, output, rows=3 * 100 + 7)  # batches that end inside a cell
    whole = scored_run.table()
    back = read_results(output)
    if suffix == ".tsv":  # a text table gives names as text
        whole = whole.astype({"cell": str, "chromosome": str, "status": str})
    pd.testing.assert_frame_equal(back, whole, check_exact=True)
    assert back.attrs["distinct_tasks"] == whole.attrs["distinct_tasks"]


@pytest.mark.parametrize("by", [["qval", "pval"], ["pval", "qval"], ["n_segments", "limit"]])
@pytest.mark.parametrize("top", [0, 1, 7, 100, 5000])
def test_the_best_rows_are_those_of_the_sorted_table(scored_run, by, top):
    from ombrix_batch.tasks import OK

    table = scored_run.table()
    for chosen, mask in ((scored_run.by_task["status"] == OK, table["status"] == "ok"),
                         (scored_run.by_task["qval"] < 0.5, table["qval"] < 0.5)):
        expected = table[mask.to_numpy()].sort_values(by, kind="stable").head(top).reset_index(drop=True)
        pd.testing.assert_frame_equal(scored_run.best(chosen, by, top), expected, check_exact=True)
        rows = table[mask.to_numpy()]
        assert scored_run.count_rows(chosen) == (len(rows), rows["cell"].nunique())



@pytest.mark.parametrize("layout", ["csr", "dense", "float32", "fortran"])
@pytest.mark.parametrize("method", ["none", "thresholds"])
def test_a_chunks_values_are_each_tasks_profile_as_states(monkeypatch, layout, method):
    from ombrix_batch import run
    from ombrix_batch.atlas import Atlas
    from ombrix_batch.states import States

    monkeypatch.setattr(run, "FILE_BLOCK_ROWS", 5)  # tasks in several blocks
    rng = np.random.default_rng(3)
    values = rng.choice([0.0, -0.0, -0.5, 0.25, 1.5], size=(23, 40))
    matrix = {"csr": lambda: sp.csr_matrix(values), "dense": lambda: values,
              "float32": lambda: values.astype(np.float32), "fortran": lambda: np.asfortranarray(values)}[layout]()
    dense = matrix.toarray() if sp.issparse(matrix) else np.asarray(matrix, dtype=np.float64)
    ranges = [(0, 7), (7, 19), (22, 40)]  # columns 19-21 in no chromosome
    atlas = Atlas("test", [f"c{i}" for i in range(23)], ["chr1", "chr2", "chr3"], matrix, ranges)
    states = States(method)
    cells, chromosomes = rng.integers(0, 23, 40), rng.integers(0, 3, 40)
    order, starts, got = run.ChunkValues(atlas, states).of(cells, chromosomes)
    assert sorted(order.tolist()) == list(range(40))
    expected = [np.asarray(states.apply(dense[i, slice(*ranges[j])]), dtype=np.float64)
                for i, j in zip(cells[order], chromosomes[order])]
    np.testing.assert_array_equal(starts, np.r_[0, np.cumsum([len(e) for e in expected])])
    assert got.dtype == np.float64 and got.tobytes() == np.concatenate(expected).tobytes()
