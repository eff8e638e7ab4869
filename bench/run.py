"""Times torvel against the same steps composed with NumPy, cv2 and scikit-learn.

Usage: python bench/run.py [group ...]   (groups: the bench_<group>.py files here)

The cost of the harness's own call (an empty lambda) is measured once and subtracted.
Each bench_<group>.py defines rows() -> [(label, ours, reference), ...] with zero-argument
callables on inputs built outside the timed region. A row's reference may be None (a
figure of ours alone). Every callable is repeated; the median is reported.
"""
import importlib
import os
import platform
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def median_seconds(fn, min_time=0.2, max_repeats=200):
    fn()  # warm up
    samples = []
    start = time.perf_counter()
    while len(samples) < 5 or (time.perf_counter() - start < min_time and len(samples) < max_repeats):
        # Batch tiny calls so the clock's resolution does not dominate.
        t0 = time.perf_counter()
        fn()
        t1 = time.perf_counter()
        if t1 - t0 < 1e-4:
            n = 1000
            t0 = time.perf_counter()
            for _ in range(n):
                fn()
            t1 = time.perf_counter()
            samples.append((t1 - t0) / n)
        else:
            samples.append(t1 - t0)
    return statistics.median(samples)


def harness_seconds():
    """What calling an empty zero-argument lambda costs; subtracted from every timing."""
    noop = lambda: None  # noqa: E731
    return min(median_seconds(noop) for _ in range(3))


def fmt(seconds):
    if seconds is None:
        return "-"
    for unit, scale in (("s", 1), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def groups(selected):
    names = sorted(f[6:-3] for f in os.listdir(HERE) if f.startswith("bench_") and f.endswith(".py"))
    return [n for n in names if not selected or n in selected]


def main(argv):
    print(f"machine: {platform.machine()}, {os.cpu_count()} cores, Python {platform.python_version()}")
    header = f"| {'row':<58} | {'torvel':>10} | {'composition':>11} | {'speed-up':>8} |"
    print(header)
    print("|" + "-" * 60 + "|" + "-" * 12 + "|" + "-" * 13 + "|" + "-" * 10 + "|")
    overhead = harness_seconds()
    for group in groups(argv):
        module = importlib.import_module(f"bench_{group}")
        for label, ours, reference in module.rows():
            t_ours = max(median_seconds(ours) - overhead, 1e-9)
            t_ref = max(median_seconds(reference) - overhead, 1e-9) if reference is not None else None
            ratio = f"{t_ref / t_ours:.1f}x" if t_ref else "-"
            print(f"| {label:<58} | {fmt(t_ours):>10} | {fmt(t_ref):>11} | {ratio:>8} |", flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
