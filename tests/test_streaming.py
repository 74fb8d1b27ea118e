"""An .h5ad read in blocks of rows straight from the file (never .X) gives the
table of the same AnnData scored from memory, dense or CSR, float32 or float64."""
import numpy as np
import pytest

pd = pytest.importorskip("pandas")
anndata = pytest.importorskip("anndata")
h5py = pytest.importorskip("h5py")
sp = pytest.importorskip("scipy.sparse")

import ombrix_batch  # noqa: E402
from ombrix_batch.h5ad import FileRows  # noqa: E402
from ombrix_batch.readers import read_atlas  # noqa: E402

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
        pd.testing.assert_frame_equal(one.rows, two.rows, check_exact=True)
        assert one.tasks == two.tasks and one.fingerprint == two.fingerprint
