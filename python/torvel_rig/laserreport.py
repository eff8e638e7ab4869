"""The report of calibrate-laser, written whether the plane was fitted or refused: every
frame corrected with its stripe points (kept, and rejected coloured by reason), the pattern's
outline, the printed sheet and the fitted stripe line; frames.csv, one row per frame; and,
with a plane, the points in 3-D with it and the residuals per frame."""
import os

import cv2
import numpy as np

from . import images, planefile
from .output import figure, make_folder, save_figure, write_csv

KEPT = (0, 255, 255)                 # BGR
REJECTED = {1: (255, 0, 255), 2: (255, 128, 0), 3: (0, 128, 255), 4: (128, 128, 128)}
LABELS = {1: "magenta: off the stripe's line (reflection, background)",
          2: "blue: window not wholly on the printed sheet",
          3: "orange: window across an edge of the print",
          4: "grey: far fainter than the rest of the stripe"}
OUTLINE = (255, 200, 0)
SHEET = (255, 255, 255)
LINE = (0, 200, 0)
FRAME_COLUMNS = ("frame", "pattern_found", "detector", "pnp_error_px", "points_found", "kept",
                 "residual_rms_mm", "held_out_mm", "reason")


def _text(img, text, y, color, scale):
    org = (8, int(y * scale))
    cv2.putText(img, text, org, cv2.FONT_HERSHEY_SIMPLEX, 0.45 * scale, (0, 0, 0),
                max(2, int(3 * scale)), cv2.LINE_AA)
    cv2.putText(img, text, org, cv2.FONT_HERSHEY_SIMPLEX, 0.45 * scale, color,
                max(1, int(scale)), cv2.LINE_AA)


def _line_ends(line, shape):
    h, w = shape[:2]
    far = 2.0 * (h + w)
    p, d = line.point, line.direction
    return (tuple(np.round(p - far * d).astype(int)), tuple(np.round(p + far * d).astype(int)))


def frame_image(f):
    """The corrected frame with what the stripe finder and the gates made of it."""
    img = f.image.copy()
    scale = max(1.0, img.shape[1] / 900.0)
    thick = max(1, int(round(scale)))
    if f.sheet is not None:
        contours = cv2.findContours(f.sheet, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)[-2]
        cv2.drawContours(img, contours, -1, SHEET, thick, cv2.LINE_AA)
    if f.outline is not None:
        cv2.polylines(img, [f.outline.reshape(-1, 1, 2)], True, OUTLINE, thick, cv2.LINE_AA)
    if f.line is not None:
        a, b = _line_ends(f.line, img.shape)
        cv2.line(img, a, b, LINE, thick, cv2.LINE_AA)
    if f.found is not None:
        for x, y, why in zip(f.found.xs, f.found.ys, f.drop):
            colour = KEPT if why == 0 else REJECTED[int(why)]
            cv2.circle(img, (int(round(x)), int(round(y))), thick, colour, -1)
    label = f"{os.path.basename(f.path)}: " + (f"{len(f.points)} stripe points used"
                                              if f.usable else f"not used: {f.gate.value} "
                                              f"({f.detail})")
    _text(img, label, 20, (255, 255, 255), scale)
    _text(img, "yellow: stripe points used", 40, KEPT, scale)
    for i, (k, text) in enumerate(LABELS.items()):
        _text(img, text, 58 + 18 * i, REJECTED[k], scale)
    _text(img, "cyan: pattern outline, white: printed sheet, green: stripe line", 130, OUTLINE,
          scale)
    return img


def _number(v, digits):
    return "" if v is None or not np.isfinite(v) else f"{v:.{digits}f}"


def frame_row(f):
    found = f.found.size if f.found is not None else 0
    return [f.path, "yes" if f.detector else "no", f.detector or "",
            _number(f.pnp_error, 3), found, len(f.points) if f.usable else 0,
            _number(f.residual_rms, 4), _number(f.held_out, 4),
            "" if f.usable else f"{f.gate.value}: {f.detail}"]


def write(folder, frames, values):
    """The report of `frames` (calibrate_laser.Frame) in `folder`; the 3-D view and the
    residuals only with a plane (`values`, fit_plane's ten)."""
    make_folder(folder)
    for i, f in enumerate(frames):
        if f.image is None:
            continue
        name = os.path.splitext(os.path.basename(f.path))[0]
        images.write_image(os.path.join(folder, f"stripe_{i:02d}_{name}.png"), frame_image(f))
    write_csv(os.path.join(folder, "frames.csv"), FRAME_COLUMNS, [frame_row(f) for f in frames])
    usable = [f for f in frames if f.usable and len(f.points)]
    if values is None or not usable:
        return
    pts = np.concatenate([f.points for f in usable])
    n = np.asarray(values[1], dtype=np.float64)
    a, b, c = planefile.plane_coefficients(n, (values[4], values[5], values[6]))
    fig = figure(figsize=(7, 6), dpi=100)
    ax = fig.add_subplot(projection="3d")
    for f in usable:
        ax.scatter(f.points[:, 0], f.points[:, 2], f.points[:, 1], s=2,
                   label=os.path.basename(f.path))
    gx, gy = np.meshgrid(np.linspace(pts[:, 0].min(), pts[:, 0].max(), 10),
                         np.linspace(pts[:, 1].min(), pts[:, 1].max(), 10))
    ax.plot_surface(gx, a * gx + b * gy + c, gy, alpha=0.25, color="tab:gray")
    ax.set_xlabel("x (mm)")
    ax.set_ylabel("z (mm)")
    ax.set_zlabel("y (mm)")
    ax.invert_zaxis()
    ax.set_title(f"laser points and plane z = {a:.4f} x + {b:.4f} y + {c:.2f}")
    if len(usable) <= 12:
        ax.legend(fontsize=7, markerscale=4, loc="upper left")
    save_figure(fig, os.path.join(folder, "plane_3d.png"))

    o = np.array([values[4], values[5], values[6]], dtype=np.float64)
    res = [(f.points - o) @ n for f in usable]
    fig = figure(figsize=(max(6.0, 0.6 * len(usable) + 2), 4.0), dpi=100)
    ax = fig.add_subplot()
    ax.boxplot(res, showfliers=False)
    ax.axhline(0.0, color="tab:gray", linewidth=0.8)
    ax.set_xticks(range(1, len(usable) + 1))
    ax.set_xticklabels([os.path.basename(f.path) for f in usable], rotation=60, ha="right",
                       fontsize=8)
    ax.set_ylabel("signed distance to the plane (mm)")
    ax.set_title("Residuals per frame")
    fig.tight_layout()
    save_figure(fig, os.path.join(folder, "residuals.png"))
    write_csv(os.path.join(folder, "residuals.csv"),
              ["frame", "points", "rms_mm", "mean_mm", "max_abs_mm", "held_out_mm"],
              [[f.path, len(r), f"{np.sqrt(np.mean(r * r)):.5f}", f"{r.mean():.5f}",
                f"{np.abs(r).max():.5f}", _number(f.held_out, 5)] for f, r in zip(usable, res)])
