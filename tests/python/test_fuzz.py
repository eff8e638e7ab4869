"""Fuzzing every method with generated arguments (fuzz_driver.py) in child processes, so
that a crash or a hang fails the test of its method instead of ending the test run.

Each method gets a seed range; the seed fixes the argument family and the arguments, so a
failure reproduces with

    python tests/python/fuzz_driver.py --show <method> <seed>

(with torvel importable, e.g. PYTHONPATH set to the build folder of the extension). The
default run takes about 20 seconds for all methods on two cores; TORVEL_FUZZ=long runs 100
times as many seeds, TORVEL_FUZZ=<number> that many seeds per method. The child limits its
address space to a few GiB, so that a multi-gigabyte allocation fails as MemoryError
instead of swapping.
"""
import json
import os
import subprocess
import sys
import tempfile
import time

import pytest

import torvel

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVER = os.path.join(HERE, "fuzz_driver.py")

METHODS = [k for k in vars(torvel.torvel_class) if not k.startswith("_")]

# Seeds per method in the default run (about 20 s for all of them on two cores).
DEFAULT_SEEDS = {m: 3000 for m in METHODS}
WORKERS = 2          # child processes at a time (the machine has two cores)
STALL_TIMEOUT = 120  # seconds without a new case before a child counts as hung (the
                     # driver's own per-case watchdog normally reports a hang first)
MAX_CRASHES = 6      # crashes of one method before its remaining seeds are skipped


def seeds_per_method():
    mode = os.environ.get("TORVEL_FUZZ", "")
    if mode == "long":
        return {m: 100 * n for m, n in DEFAULT_SEEDS.items()}
    if mode.isdigit():
        return {m: int(mode) for m in METHODS}
    return dict(DEFAULT_SEEDS)


def module_path():
    """The folder to put first on the child's path so that it imports this torvel."""
    path = os.path.dirname(os.path.abspath(torvel.__file__))
    if os.path.basename(torvel.__file__).startswith("__init__"):
        path = os.path.dirname(path)
    return path


def child_environment():
    env = dict(os.environ, TORVEL_FUZZ_PATH=module_path())
    if "libasan" in env.get("LD_PRELOAD", ""):
        # The driver cannot limit its address space under AddressSanitizer: the sanitizer's
        # allocator refuses large blocks instead (NULL, i.e. MemoryError, not an abort).
        extra = "allocator_may_return_null=1:max_allocation_size_mb=2048"
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS", ""), extra]))
    return env


class Child:
    """One driver process over a list of (method, start, stop) runs."""

    def __init__(self, runs, folder):
        self.runs = runs
        self.state = tempfile.mkdtemp(dir=folder)
        env = child_environment()
        argv = [sys.executable, DRIVER, "--state", self.state]
        for m, a, b, skip in runs:
            argv += ["--run", f"{m}:{a}:{b}:{','.join(skip)}"]
        self.err = open(os.path.join(self.state, "stderr"), "w+")
        self.proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=self.err,
                                     env=env, cwd=HERE)
        self.started = time.monotonic()

    def lines(self):
        path = os.path.join(self.state, "report")
        if not os.path.exists(path):
            return []
        with open(path) as f:
            return [json.loads(line) for line in f if line.strip()]

    def current(self):
        """(method, seed, family) of the case the child had started, or None."""
        path = os.path.join(self.state, "current")
        if not os.path.exists(path):
            return None
        with open(path) as f:
            text = f.read().split(None, 2)
        if len(text) < 2:
            return None
        return text[0], int(text[1]), text[2].strip() if len(text) > 2 else "?"

    def stalled(self):
        """Seconds since the child last started a case (or since it started)."""
        try:
            last = os.stat(os.path.join(self.state, "current")).st_mtime
        except FileNotFoundError:
            return time.monotonic() - self.started
        return time.time() - last

    def stderr_tail(self):
        """The child's last words: the fault handler's traceback or the sanitizer's report."""
        self.err.seek(0)
        text = self.err.read()
        cut = text.find("\nExtension modules:")
        if cut >= 0:
            text = text[:cut]
        # (Allocations the sanitizer's allocator refused became MemoryErrors: not news.)
        text = "\n".join(line for line in text.splitlines()
                         if "AddressSanitizer failed to allocate" not in line)
        return text[-4000:]


def run_all(counts, folder):
    """{method: {"failures": [...], "done": seeds run, "seconds": ...}} for every method.

    After a crash or a hang the next child goes on with the seed after it; a family that
    crashed twice is skipped for the rest of its method (it has made its point), and a
    method stops after MAX_CRASHES."""
    results = {m: {"failures": [], "done": 0, "seconds": 0.0, "failing": 0, "skipped": set()}
               for m in counts}
    # Queues of methods for the workers, balanced by expected cost.
    cost = {m: counts[m] * (3 if m in ("get_short_long_intersection", "fit_plane") else 1)
            for m in counts}
    queues = [[] for _ in range(WORKERS)]
    loads = [0] * WORKERS
    for m in sorted(counts, key=lambda m: -cost[m]):
        i = loads.index(min(loads))
        queues[i].append((m, 0, counts[m], ()))
        loads[i] += cost[m]
    running = [Child(q, folder) for q in queues if q]
    crashes = {}
    while running:
        time.sleep(0.05)
        for child in list(running):
            rc = child.proc.poll()
            hung = rc is None and child.stalled() > STALL_TIMEOUT
            if rc is None and not hung:
                continue
            if hung:
                child.proc.kill()
                child.proc.wait()
            running.remove(child)
            if rc == 0:
                child.err.close()
            for line in child.lines():
                r = results[line["method"]]
                if "done" in line:
                    r["done"] += line["done"][1] - line["done"][0]
                    r["seconds"] += line["seconds"]
                    r["failing"] += line["failing"]
                else:
                    r["failures"].append(line)
            if rc == 0:
                continue
            where = child.current()
            if where is None:
                last_words = child.stderr_tail()
                child.err.close()
                for run in child.runs:
                    results[run[0]]["failures"].append(
                        {"seed": None, "family": "child start",
                         "problems": [["crash", last_words]]})
                continue
            method, seed, family = where
            r = results[method]
            last_words = child.stderr_tail()
            child.err.close()
            what = "hang" if hung or "Timeout" in last_words else f"crash (exit {rc})"
            r["failures"].append({"seed": seed, "family": family,
                                  "problems": [[what, last_words]]})
            r["failing"] += 1
            crashes.setdefault(method, []).append(family.split(":")[0])
            if crashes[method].count(family.split(":")[0]) >= 2:
                r["skipped"].add(family.split(":")[0])
            remaining = []
            started = False
            for m, a, b, skip in child.runs:
                if m == method:
                    started = True
                    r["done"] += seed - a + 1
                    if seed + 1 < b and len(crashes[m]) < MAX_CRASHES:
                        remaining.append((m, seed + 1, b, tuple(sorted(r["skipped"]))))
                    elif seed + 1 < b:
                        r["stopped"] = seed + 1
                elif started:
                    remaining.append((m, a, b, skip))
            if remaining:
                running.append(Child(remaining, folder))
    return results


@pytest.fixture(scope="module")
def fuzz_results(request, tmp_path_factory):
    """One run over every method selected in this session, shared by their tests."""
    selected = {item.callspec.params["method"] for item in request.session.items
                if item.module is request.module and hasattr(item, "callspec")}
    counts = {m: n for m, n in seeds_per_method().items() if m in selected}
    return run_all(counts, str(tmp_path_factory.mktemp("fuzz")))


def describe(method, failure):
    seed = failure["seed"]
    lines = [f"{method} seed {seed} ({failure['family']}):"]
    for kind, detail in failure["problems"]:
        # Of a crash report, what is not the driver's own frames, at most 15 lines.
        text = [t for t in str(detail).splitlines()
                if t.strip() and "fuzz_driver.py" not in t and "most recent call first" not in t]
        lines.append(f"  {kind}: " + "\n    ".join(text[:15]))
    if seed is not None:
        lines.append(f"  reproduce: python {os.path.relpath(DRIVER)} --show {method} {seed}")
    return "\n".join(lines)


@pytest.mark.parametrize("method", METHODS)
def test_generated_arguments_give_results_or_clean_exceptions(fuzz_results, method):
    r = fuzz_results[method]
    failures = r["failures"]
    notes = f" (stopped at seed {r['stopped']})" if "stopped" in r else ""
    if r["skipped"]:
        notes += f" (families skipped after crashes: {', '.join(sorted(r['skipped']))})"
    assert not failures, (f"{r['failing']} failing cases{notes}; first ones:\n"
                          + "\n".join(describe(method, f) for f in failures[:8]))
    assert r["done"] >= seeds_per_method()[method]


if __name__ == "__main__":
    # Development aid: run the default fuzz and print per-method times and failures.
    counts = seeds_per_method()
    if len(sys.argv) > 1:
        counts = {m: counts[m] for m in sys.argv[1:]}
    with tempfile.TemporaryDirectory() as folder:
        t0 = time.monotonic()
        res = run_all(counts, folder)
        for m, r in res.items():
            print(f"{m:30s} {r['done']:7d} seeds {r['seconds']:7.1f} s  {r['failing']} failing")
            for f in r["failures"][:10]:
                print("   ", describe(m, f).replace("\n", "\n    ")[:1500])
        print(f"total {time.monotonic() - t0:.1f} s")
