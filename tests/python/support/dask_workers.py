"""Replacing the workers of an in-process Dask cluster, as a cluster manager
does when workers die: the old worker closes without handing its data on."""


def replace_worker(cluster, client, address):
    """Close the worker at ``address`` at once, then start a new one and wait
    until the scheduler counts as many workers as before."""
    count = len(cluster.workers)
    name = next(name for name, worker in cluster.workers.items() if worker.address == address)
    worker = cluster.workers.pop(name)
    cluster.sync(worker.close)
    client.wait_for_workers(count - 1)  # returns at once; the loss is seen below
    while len(client.scheduler_info()["workers"]) != count - 1:
        client.sync(client.scheduler_info)  # let the scheduler notice the loss
    cluster.scale(count)
    client.wait_for_workers(count)
