"""Imports torvel (which imports NumPy, cv2, scikit-learn, SciPy and imutils), fits a plane
(LAPACK, BLAS and OpenCV's Rodrigues inside the module), and fails (exit status 1) if the module is not
this environment's or if the process loaded any OpenCV, LAPACK, BLAS or Fortran runtime
from outside this environment's packages: the wheel's module must carry its own.

    python scripts/check_loaded_libs.py   (with the venv's interpreter)
"""
import os
import re
import sys

import numpy as np
import torvel

FOREIGN = re.compile(r"opencv|lapack|blas|gfortran", re.IGNORECASE)


def main():
    rng = np.random.default_rng(0)
    xy = rng.uniform(-50, 50, (200, 2))
    pts = np.column_stack([xy, 600 + 0.1 * xy[:, 0] - 0.2 * xy[:, 1]])
    torvel.torvel_class().fit_plane(pts, 0.0)

    problems = []
    if not os.path.realpath(torvel.__file__).startswith(os.path.realpath(sys.prefix)):
        problems.append(f"torvel was imported from {torvel.__file__}, outside {sys.prefix}")
    with open("/proc/self/maps") as maps:
        mapped = {line.split()[-1] for line in maps if ".so" in line}
    for path in sorted(mapped):
        if FOREIGN.search(os.path.basename(path)) and not path.startswith(sys.prefix):
            problems.append(f"loaded {path}")
    for p in problems:
        print(f"check-loaded-libs: {p}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
