"""One task over many frames: in order, on a pool of threads, or on a Dask cluster
(cluster.py). Each job is a tuple of paths (None allowed); results come back by index."""
import concurrent.futures
import os

import cv2


def run(task, ctx, jobs, workers, scheduler, on_result, name):
    """Call on_result(index, task(*job, ctx)) for every job of `jobs`: on the Dask scheduler
    at `scheduler` (a worker reads by absolute path), else on `workers` threads."""
    if not jobs:
        return
    if scheduler:
        from .cluster import measure_on_cluster
        remote = [tuple(None if p is None else os.path.abspath(p) for p in job) for job in jobs]
        measure_on_cluster(scheduler, ctx, remote, task, on_result, name=name)
    elif workers == 1:
        for i, job in enumerate(jobs):
            on_result(i, task(*job, ctx))
    else:
        # The workers share the cores: OpenCV's own threads inside each frame would only
        # compete with them.
        threads = cv2.getNumThreads()
        cv2.setNumThreads(1)
        try:
            with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
                futures = {pool.submit(task, *job, ctx): i for i, job in enumerate(jobs)}
                for fut in concurrent.futures.as_completed(futures):
                    on_result(futures[fut], fut.result())
        finally:
            cv2.setNumThreads(threads)
