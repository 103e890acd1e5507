"""A Dask LocalCluster of two worker processes on loopback for the tests."""
import os
from contextlib import contextmanager
from pathlib import Path

import pytest

import _karvex_rs


@contextmanager
def local_client(workers=2):
    """A client of ``workers`` worker processes on 127.0.0.1, no dashboard.
    The workers import the same karvex and native modules as this process."""
    distributed = pytest.importorskip("distributed")
    import karvex as package

    paths = [str(Path(package.__file__).parents[1]), str(Path(_karvex_rs.__file__).parent)]
    old = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = os.pathsep.join(paths + ([old] if old else []))
    try:
        cluster = distributed.LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
            dashboard_address=None, worker_dashboard_address=None, silence_logs=40)
    finally:
        if old is None:
            del os.environ["PYTHONPATH"]
        else:
            os.environ["PYTHONPATH"] = old
    with cluster, distributed.Client(cluster) as connected:
        # Every worker known to the scheduler before any test scatters or
        # counts on them (a loaded machine can be slow to register one).
        connected.wait_for_workers(workers)
        connected.register_plugin(_package_path_plugin(distributed, list(package.__path__)))
        yield connected


def _package_path_plugin(distributed, path):
    """A plugin giving every worker, restarted ones too, the karvex package
    path of this process (the test run adds the build's folder to it)."""

    class PackagePath(distributed.WorkerPlugin):
        name = "karvex-package-path"

        def setup(self, worker):
            import karvex

            for folder in path:
                if folder not in karvex.__path__:
                    karvex.__path__.append(folder)

    return PackagePath()
