"""The batch driver on real Dask clusters (processes): the serial table bit
for bit, resume on the cluster path, and clear errors for a scheduler where
nothing listens and for a worker without the driver."""
import signal
import socket
import subprocess
import sys
import time

import pytest

pd = pytest.importorskip("pandas")
distributed = pytest.importorskip("distributed")
pytest.importorskip("anndata")

import ombrix_batch
from ombrix_batch import BatchError
from test_batch import SAMPLE, run_cli, wait_for_parts

OPTIONS = dict(states="thresholds", backgrounds=200, with_r=True, progress=False)


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as connected:
        yield connected


def test_the_cluster_gives_the_serial_table_bit_for_bit(client):
    serial = ombrix_batch.score(SAMPLE, n_jobs=1, **OPTIONS)
    on_dask = ombrix_batch.score(SAMPLE, client=client, chunk_size=2, **OPTIONS)
    pd.testing.assert_frame_equal(serial, on_dask, check_exact=True)
    assert on_dask.attrs["workers"].startswith("Dask at tcp://") and "2 workers" in on_dask.attrs["workers"]


def test_a_run_killed_on_a_local_cluster_resumes_there(tmp_path):
    options = ["--states", "thresholds", "--backgrounds", "2000", "--stop-after", "0", "--chunk-size", "1", "--quiet"]
    reference = tmp_path / "serial.parquet"
    assert run_cli(SAMPLE, "-o", reference, "--n-jobs", "1", *options).wait() == 0
    output = tmp_path / "dask.parquet"
    process = run_cli(SAMPLE, "-o", output, "--dask-local", "2", *options)
    wait_for_parts(output.with_name(output.name + ".parts"), 3, process)
    process.send_signal(signal.SIGKILL)
    process.wait()
    resumed = run_cli(SAMPLE, "-o", output, "--dask-local", "2", "--resume", *options)
    assert resumed.wait() == 0, resumed.communicate()
    pd.testing.assert_frame_equal(pd.read_parquet(output), pd.read_parquet(reference), check_exact=True)


def test_a_scheduler_address_where_nothing_listens_fails_in_bounded_time():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    started = time.monotonic()
    with pytest.raises(BatchError, match=f"no Dask scheduler answered at tcp://127.0.0.1:{port}"):
        ombrix_batch.score(SAMPLE, scheduler=f"tcp://127.0.0.1:{port}", **OPTIONS)
    assert time.monotonic() - started < 60


def test_a_worker_without_the_driver_says_to_install_it():
    with distributed.LocalCluster(n_workers=0, processes=True, dashboard_address=":0") as cluster, \
            distributed.Client(cluster) as connected:
        # a real worker process in which the driver's package cannot be imported
        worker = subprocess.Popen(
            [sys.executable, "-c", "import sys; sys.modules['ombrix_batch'] = None; "
             "from distributed.cli.dask_worker import main; main()",
             cluster.scheduler_address, "--nthreads", "1", "--no-dashboard", "--no-nanny"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            connected.wait_for_workers(1, timeout=60)
            with pytest.raises(BatchError, match="install ombrix on every worker"):
                ombrix_batch.score(SAMPLE, client=connected, **OPTIONS)
        finally:
            worker.kill()
            worker.wait()
