"""measure on a Dask distributed cluster: the workers are checked once for torvel and
torvel_rig, the context (calibration map and weights, camera, plane) is scattered once to
every worker; each task reads its frame by path on its worker and gives back the row and
the overlay's PNG bytes. `distributed` is imported only here."""
import asyncio
import sys
import uuid

from .errors import RigError

# What a worker must import to measure: the module, and the task and context's home.
WORKER_MODULES = ("torvel", "torvel_rig.measure")
WORKER_WAIT = 60      # seconds to wait for a first worker


def add_worker_arguments(parser, verb, done):
    """--workers and --scheduler, for a command that `verb`s frames (`done`: "measured")."""
    parser.add_argument("--workers", type=int, default=1, metavar="N",
                        help=f"frames {done} at once on this machine (default: 1)")
    parser.add_argument("--scheduler", metavar="tcp://HOST:PORT",
                        help=f"{verb} on this Dask distributed scheduler's workers instead; "
                             "they read the frames by the paths given")


def start_command(what, address=None):
    """The command that starts a scheduler or a worker (`what`) with this interpreter, the
    one torvel and torvel_rig are installed in."""
    return " ".join([sys.executable, "-m", "dask", what] + ([address] if address else []))


def _import_probe(modules):
    """A function for client.run that imports `modules` on a worker and gives None, or the
    first failure as text. It is made here, as a closure, so that it travels by value: a
    worker without torvel_rig could not resolve a function of this module by name."""
    def probe():
        import importlib
        for name in modules:
            try:
                importlib.import_module(name)
            except Exception as e:  # any failure to import is the answer
                first = str(e).splitlines()[0] if str(e) else ""
                return f"cannot import {name} ({type(e).__name__}: {first})"
        return None
    return probe


def check_workers(client, address):
    """RigError naming the workers that cannot import torvel and torvel_rig (WORKER_MODULES),
    and how to start them right."""
    found = client.run(_import_probe(WORKER_MODULES), on_error="return")
    bad = {w: r for w, r in found.items() if r is not None}
    if not bad:
        return
    names = sorted(bad)
    listed = ", ".join(names[:3]) + (f" and {len(names) - 3} more" if len(names) > 3 else "")
    reason = bad[names[0]]
    if not isinstance(reason, str):       # the probe itself could not run there
        reason = f"cannot run a check ({type(reason).__name__}: {reason})"
    raise RigError(f"{len(names)} of {len(found)} workers ({listed}) {reason}; start each "
                   f"worker with the Python that has torvel installed: "
                   f"{start_command('worker', address)}")


def measure_on_cluster(address, ctx, jobs, task, on_result, name="measure"):
    """Run `task(frame, mask, ctx)` for every (frame, mask) of `jobs` (a mask, or any
    second per-frame value such as a laser-off frame) on the scheduler at `address`;
    `on_result(index, result)` is called as each finishes (in the client). The tasks' keys
    are `name`, a token of this run and the index: two runs on one scheduler never share a
    key, so neither is given the other's results."""
    try:
        from distributed import Client, as_completed
    except ImportError:
        raise RigError("--scheduler needs Dask's distributed; install it (pip install "
                       "'torvel[dask]' or the python3-distributed package)") from None
    try:
        client = Client(address, timeout=20)
    except (OSError, TimeoutError, asyncio.TimeoutError, ValueError) as e:
        raise RigError(f"cannot reach the scheduler at {address} ({e}); start one with "
                       f"'{start_command('scheduler')}' and its workers with "
                       f"'{start_command('worker', 'ADDRESS')}'") from None
    try:
        if not client.scheduler_info().get("workers"):
            try:
                client.wait_for_workers(1, timeout=WORKER_WAIT)
            except (TimeoutError, asyncio.TimeoutError):
                raise RigError(f"no worker joined the scheduler at {address} within "
                               f"{WORKER_WAIT} s; start one with "
                               f"'{start_command('worker', address)}'") from None
        check_workers(client, address)
        shared = client.scatter(ctx, broadcast=True, hash=False)
        run = uuid.uuid4().hex
        futures = [client.submit(task, frame, mask, shared, pure=False, key=f"{name}-{run}-{i}")
                   for i, (frame, mask) in enumerate(jobs)]
        index = {f.key: i for i, f in enumerate(futures)}
        for future in as_completed(futures):
            on_result(index[future.key], future.result())
            future.release()
    finally:
        client.close()
