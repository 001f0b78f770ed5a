"""xr.open_mfdataset(engine="quarn", parallel=True) on a real dask.distributed
LocalCluster: two worker processes on the loopback interface, started and shut
down here. The only test that starts a cluster; it takes a few seconds."""

import os
import pathlib
import struct

import numpy as np
import pytest

import quarn
from psfwriter import REALISTIC

RUNS = 200


@pytest.fixture
def run_files(tmp_path):
    """RUNS ac results of the same shape, run i with V(out)[0].real = i."""
    f, expected = REALISTIC["ac"]()
    data = f.to_bytes()
    marker = struct.pack(">d", expected.traces[0][1][0].real)
    assert data.count(marker) == 1
    paths = []
    for i in range(RUNS):
        path = tmp_path / f"run{i:03}.psfbin"
        path.write_bytes(data.replace(marker, struct.pack(">d", float(i))))
        paths.append(str(path))
    return paths


def test_local_cluster_open_mfdataset(run_files, monkeypatch):
    xr = pytest.importorskip("xarray")
    distributed = pytest.importorskip("dask.distributed")
    # The worker processes import quarn from where this process does.
    package_root = str(pathlib.Path(quarn.__file__).resolve().parent.parent)
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join([package_root, os.environ.get("PYTHONPATH", "")]))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None) as cluster, \
            distributed.Client(cluster):
        ds = xr.open_mfdataset(run_files, engine="quarn", combine="nested", concat_dim="run",
                               parallel=True)
        ds = ds.load()
    assert ds.sizes["run"] == RUNS
    for i, path in enumerate(run_files):
        psf = quarn.read_psf(path)
        run = ds.isel(run=i)
        assert run["V(out)"].values[0].real == i
        for s in psf.sweeps + psf.traces:
            assert np.array_equal(run[s.name].values.view(np.uint64), s.data.view(np.uint64)), (path, s.name)
