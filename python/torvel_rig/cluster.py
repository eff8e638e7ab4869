"""measure on a Dask distributed cluster: the context (calibration map and weights, camera,
plane) is scattered once to every worker; each task reads its frame by path on its worker
and gives back the row and the overlay's PNG bytes. `distributed` is imported only here."""
from .errors import RigError


def measure_on_cluster(address, ctx, jobs, task, on_result):
    """Run `task(frame, mask, ctx)` for every (frame, mask) of `jobs` on the scheduler at
    `address`; `on_result(index, result)` is called as each finishes (in the client)."""
    try:
        from distributed import Client, as_completed
    except ImportError:
        raise RigError("--scheduler needs Dask's distributed; install it (pip install "
                       "'torvel[dask]' or the python3-distributed package)") from None
    try:
        client = Client(address, timeout=20)
    except (OSError, TimeoutError, ValueError) as e:
        raise RigError(f"cannot reach the scheduler at {address} ({e}); start one with "
                       "'dask scheduler' and its workers with 'dask worker ADDRESS'") from None
    try:
        if not client.scheduler_info().get("workers"):
            client.wait_for_workers(1, timeout=60)
        shared = client.scatter(ctx, broadcast=True, hash=False)
        futures = [client.submit(task, frame, mask, shared, pure=False, key=f"measure-{i}")
                   for i, (frame, mask) in enumerate(jobs)]
        index = {f.key: i for i, f in enumerate(futures)}
        for future in as_completed(futures):
            on_result(index[future.key], future.result())
            future.release()
    finally:
        client.close()
