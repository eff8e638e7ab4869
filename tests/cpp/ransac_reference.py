"""Reference data for ransac_test: scikit-learn's own RANSACRegressor on seeded problems.

The recorded files are checked in under data/ (so the C++ tests need no interpreter);
after a change here, record them again with the interpreter whose scikit-learn the
estimator reproduces (NumPy, scikit-learn 1.2):
    ransac_reference.py record
or one of them:
    ransac_reference.py streams|products|problems <output file>
Each is a plain text file:

  stream <n> <k> <count>            followed by one line of count * k indices, the subsets
                                    sample_without_replacement returned inside a real fit
  stream-error <n> <k> <message>
  product <n> <C or F> <coef hex x2> <intercept hex>, then lines "x ..." and "p ...": the
                                    rows and LinearRegression.predict on them in that order
  problem <name> <columns> <n> <threshold> <C or F: the order of the array X given to fit>
  x <hex floats, row-major>
  y <hex floats>
  ok <n_trials> <inlier mask as 0/1> <coef hex...> <intercept hex> <predict(X[:1]) hex>
  error <exception type> <message, newlines written as \\n>

Floats are written with float.hex so both sides read the same bits.
"""
import os
import sys
import warnings

import numpy as np
from sklearn.linear_model import RANSACRegressor
from sklearn.linear_model import _ransac

warnings.simplefilter("ignore")


def hexs(values):
    return " ".join(float(v).hex() for v in np.ravel(values))


def record_streams(out):
    real = _ransac.sample_without_replacement
    for k in (2, 3):
        for n in (2, 3, 4, 5, 10, 50, 99, 100, 101, 199, 200, 201, 299, 300, 301, 1000, 5000):
            drawn = []

            def spy(n_population, n_samples, random_state=None):
                idx = real(n_population, n_samples, random_state=random_state)
                drawn.append([int(i) for i in idx])
                return idx

            _ransac.sample_without_replacement = spy
            try:
                reg = RANSACRegressor(residual_threshold=3.0, max_trials=300, random_state=42,
                                      is_data_valid=lambda X, y: False)
                reg.fit(np.zeros((n, k - 1)), np.zeros(n))
                raise AssertionError("a fit with every subset rejected cannot succeed")
            except ValueError as exc:
                if not drawn:
                    out.write(f"stream-error {n} {k} {exc}\n")
                    continue
            finally:
                _ransac.sample_without_replacement = real
            out.write(f"stream {n} {k} {len(drawn)}\n")
            out.write(" ".join(str(i) for subset in drawn for i in subset) + "\n")


# Problems of more rows are generated (the stream of draws stays the same) but not recorded:
# they would make the checked-in file large and test no other path.
MAX_RECORDED_ROWS = 48


def write_problem(out, name, X, y, threshold, order="C"):
    if len(X) > MAX_RECORDED_ROWS:
        return
    X = np.asarray(X, dtype=np.float64, order=order)
    y = np.ascontiguousarray(y, dtype=np.float64)
    n, columns = X.shape
    out.write(f"problem {name} {columns} {n} {float(threshold).hex()} {order}\n")
    out.write("x " + hexs(np.ascontiguousarray(X)) + "\n")
    out.write("y " + hexs(y) + "\n")
    reg = RANSACRegressor(residual_threshold=threshold, max_trials=300, random_state=42)
    try:
        reg.fit(X, y)
    except Exception as exc:  # the type and text are what is compared
        message = str(exc).replace("\n", "\\n")
        out.write(f"error {type(exc).__name__} {message}\n")
        return
    mask = "".join("1" if v else "0" for v in reg.inlier_mask_)
    pred = reg.predict(X[:1])[0]
    out.write(f"ok {reg.n_trials_} {mask} {hexs(reg.estimator_.coef_)} "
              f"{float(reg.estimator_.intercept_).hex()} {float(pred).hex()}\n")


def line_problems(rng):
    """Lines y = a x + b, threshold 3 (pixels) unless stated."""
    for i in range(40):  # float data with outliers up to 60 %
        n = int(rng.integers(5, 300))
        x = rng.uniform(0, 1920, n)
        y = 0.3 * x + 100 + rng.normal(0, 1.5, n)
        out = rng.random(n) < rng.uniform(0, 0.6)
        y[out] += rng.uniform(-400, 400, out.sum())
        yield f"line-outliers-{i}", x[:, None], y, 3.0
    for i in range(40):  # integer pixels: residuals land exactly on the threshold
        n = int(rng.integers(4, 120))
        x = rng.integers(0, 1920, n).astype(float)
        slope = rng.choice([0.0, 0.5, 1.0, 2.0, -1.0, 0.25])
        y = np.floor(slope * x) + 50 + rng.integers(-4, 5, n)
        out = rng.random(n) < 0.3
        y[out] += rng.integers(-200, 200, out.sum())
        yield f"line-integer-ties-{i}", x[:, None], y, 3.0
    for i in range(15):  # exact duplicates
        n = int(rng.integers(3, 40))
        x = rng.integers(0, 50, n).astype(float)
        y = 2 * x + rng.integers(-6, 7, n)
        x = np.concatenate([x, x[: n // 2]])
        y = np.concatenate([y, y[: n // 2]])
        yield f"line-duplicates-{i}", x[:, None], y, 3.0
    for n in (0, 1, 2, 3, 4):  # tiny sets
        for j in range(3):
            x = rng.integers(0, 20, n).astype(float)
            y = rng.integers(0, 20, n).astype(float)
            yield f"line-n{n}-{j}", x.reshape(n, 1), y, 3.0
    # identical x: exact and inexact means, close and far y
    yield "line-same-x-exact", np.full((2, 1), 7.0), np.array([0.0, 100.0]), 3.0
    yield "line-same-x-close", np.full((5, 1), 7.0), np.array([1.0, 2.0, 3.0, 2.5, 1.5]), 3.0
    yield "line-same-x-inexact", np.full((3, 1), 0.1), np.array([0.1, 0.1, 0.1]), 3.0
    yield "line-same-x-far", np.full((6, 1), 0.1), np.array([0.0, 10, 20, 30, 40, 50.0]), 3.0
    yield "line-constant-y", np.arange(10.0)[:, None], np.full(10, 0.1), 3.0
    yield "line-collinear", np.arange(0, 40, 3.0)[:, None], 3 * np.arange(0, 40, 3.0) - 7, 3.0
    for i in range(8):  # pure noise with a tiny threshold: every trial ties at two inliers
        n = int(rng.integers(20, 400))
        yield f"line-noise-{i}", rng.uniform(0, 100, (n, 1)), rng.uniform(0, 100, n), 1e-9
    for i in range(6):  # two equally populated lines
        n = int(rng.integers(6, 40))
        x = rng.uniform(0, 100, 2 * n)
        y = np.where(np.arange(2 * n) < n, x, -x + 300) + rng.normal(0, 0.5, 2 * n)
        yield f"line-two-lines-{i}", x[:, None], y, 3.0
    for i in range(4):  # one inlier per trial: NaN scores
        n = int(rng.integers(3, 12))
        x = np.arange(n, dtype=float) * 100
        y = (-1.0) ** np.arange(n) * 1000 * np.arange(1, n + 1)
        yield f"line-one-inlier-{i}", x[:, None], y, 3.0
    yield "line-same-x-spread", np.full((4, 1), 3.0), np.array([0.0, 100, 200, 300]), 3.0
    yield "line-no-consensus", np.full((3, 1), 3.0), np.array([0.0, 10, 30]), 3.0
    yield "line-nan-y", np.arange(4.0)[:, None], np.array([0.0, np.nan, 1, np.inf]), 3.0
    yield "line-inf-y", np.arange(4.0)[:, None], np.array([0.0, np.inf, 1, np.nan]), 3.0
    yield "line-nan-x", np.array([[0.0], [1], [np.nan], [3], [4]]), np.arange(5.0), 3.0
    yield "line-inf-x", np.array([[0.0], [np.inf], [2], [np.nan], [4]]), np.arange(5.0), 3.0
    for i in range(6):  # centroid-like data: half-pixel values, many rows
        n = int(rng.integers(100, 260))
        x = rng.integers(0, 3840, n) / 2.0
        y = np.round((0.1 * x + 500 + rng.normal(0, 2, n)) * 4) / 4
        yield f"line-centroids-{i}", x[:, None], y, 3.0


def plane_problems(rng):
    """Planes z = a x + b y + c, threshold 0.01 unless stated."""
    for i in range(40):
        n = int(rng.integers(5, 300))
        xy = rng.uniform(-100, 100, (n, 2))
        z = 0.2 * xy[:, 0] - 0.1 * xy[:, 1] + 500 + rng.normal(0, 0.003, n)
        out = rng.random(n) < rng.uniform(0, 0.5)
        z[out] += rng.uniform(-5, 5, out.sum())
        yield f"plane-outliers-{i}", xy, z, 0.01
    for i in range(10):  # far offset
        n = int(rng.integers(10, 100))
        xy = rng.uniform(-50, 50, (n, 2)) + 800
        z = 0.01 * xy[:, 0] + 0.02 * xy[:, 1] + 800 + rng.normal(0, 0.002, n)
        yield f"plane-far-{i}", xy, z, 0.01
    for i in range(10):  # integer grids with heights quantised to 0.01
        g = int(rng.integers(2, 12))
        xs, ys = np.meshgrid(np.arange(g, dtype=float), np.arange(g + 1, dtype=float))
        xy = np.column_stack([xs.ravel(), ys.ravel()])
        z = np.round((0.03 * xy[:, 0] + 0.01 * xy[:, 1] + rng.integers(-2, 3, len(xy)) * 0.01)
                     * 100) / 100
        yield f"plane-grid-quantised-{i}", xy, z, 0.01
    for i in range(20):  # random heights quantised to 0.01: ties at the threshold
        n = int(rng.integers(4, 80))
        xy = rng.integers(0, 30, (n, 2)).astype(float)
        z = np.round((0.05 * xy[:, 0] + 0.02 * xy[:, 1] + rng.integers(-1, 2, n) * 0.01) * 100)
        yield f"plane-quantised-{i}", xy, z / 100, 0.01
    for i in range(8):  # xy on one line
        n = int(rng.integers(4, 40))
        t = rng.uniform(-10, 10, n) if i % 2 else rng.integers(-10, 10, n).astype(float)
        xy = np.column_stack([t, 2 * t + 1])
        z = 0.5 * t + rng.normal(0, 0.001, n)
        yield f"plane-collinear-{i}", xy, z, 0.01
    for n in (0, 1, 2, 3, 4):
        for j in range(2):
            xy = rng.integers(0, 10, (n, 2)).astype(float)
            z = rng.integers(0, 10, n) / 100
            yield f"plane-n{n}-{j}", xy.reshape(n, 2), z, 0.01
    yield "plane-same-xy", np.tile([[1.5, 2.5]], (5, 1)), np.array([0.1, 0.2, 0.1, 0.1, 0.3]), 0.01
    for i in range(6):  # duplicates
        n = int(rng.integers(4, 30))
        xy = rng.integers(0, 10, (n, 2)).astype(float)
        z = 0.1 * xy[:, 0] + rng.integers(-3, 4, n) / 100
        yield f"plane-duplicates-{i}", np.vstack([xy, xy[:3]]), np.concatenate([z, z[:3]]), 0.01
    for i in range(4):  # noise: many trials
        n = int(rng.integers(30, 400))
        yield f"plane-noise-{i}", rng.uniform(0, 10, (n, 2)), rng.uniform(0, 10, n), 1e-9
    yield "plane-same-xy-spread", np.tile([[1.0, 1.0]], (4, 1)), np.array([0.0, 1, 2, 3]), 0.01
    yield "plane-no-consensus", np.tile([[1.0, 1.0]], (3, 1)), np.array([0.0, 1, 3]), 0.01
    yield "plane-nan-x", np.array([[0.0, 1], [1, 2], [2, np.nan], [3, 3], [4, 0]]), np.arange(5.0), 0.01


def record_products(out):
    """estimator.predict's matrix-vector products for both memory orders of X."""
    from sklearn.linear_model import LinearRegression
    rng = np.random.default_rng(99)
    for n in (1, 2, 3, 5, 17, 100, 257):
        for order in ("C", "F"):
            X = np.asarray(rng.uniform(-1000, 1000, (n, 2)), order=order)
            model = LinearRegression().fit(rng.uniform(0, 1, (4, 2)), rng.uniform(0, 1, 4))
            model.coef_ = rng.uniform(-1, 1, 2)
            model.intercept_ = float(rng.uniform(-100, 100))
            out.write(f"product {n} {order} {hexs(model.coef_)} {float(model.intercept_).hex()}\n")
            out.write("x " + hexs(np.ascontiguousarray(X)) + "\n")
            out.write("p " + hexs(model.predict(X)) + "\n")


def main():
    if sys.argv[1:] == ["record"]:
        folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
        for mode in ("streams", "products", "problems"):
            record(mode, os.path.join(folder, f"ransac_{mode}.txt"))
    else:
        record(sys.argv[1], sys.argv[2])


def record(mode, path):
    with open(path, "w") as out:
        if mode == "streams":
            record_streams(out)
        elif mode == "products":
            record_products(out)
        else:
            rng = np.random.default_rng(20240611)
            for name, X, y, threshold in line_problems(rng):
                write_problem(out, name, X, y, threshold)
            for name, X, y, threshold in plane_problems(rng):
                write_problem(out, name, X, y, threshold)
                if len(X) >= 3:  # X as np.vstack((xs, ys)).T hands it over
                    write_problem(out, name + "-fortran", X, y, threshold, order="F")


if __name__ == "__main__":
    main()
