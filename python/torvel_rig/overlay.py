"""The overlay of a measured frame: the corrected frame with the laser-lit object, the
stripe's centre line on it, the object's contour, the axes in pixels, the ellipse fitted on
the laser plane, the measured values written on it and a legend."""
import os

import cv2
import numpy as np

from . import stripe

# BGR colours of the legend's entries
LIT = (0, 140, 255)
STRIPE = (0, 255, 255)
CONTOUR = (255, 255, 0)
LONG = (0, 0, 255)
SHORT = (255, 80, 0)
OUTLINE = (0, 220, 0)
FONT = cv2.FONT_HERSHEY_SIMPLEX


def _text(img, text, org, scale, colour=(255, 255, 255)):
    cv2.putText(img, text, org, FONT, scale, (0, 0, 0), max(3, int(4 * scale)), cv2.LINE_AA)
    cv2.putText(img, text, org, FONT, scale, colour, max(1, int(1.6 * scale)), cv2.LINE_AA)


def _point(p):
    return (int(p[0]), int(p[1]))


def draw(drawing, row):
    """The overlay (BGR image) of one measured frame."""
    grey = drawing["corrected"]
    mask = drawing["mask"]
    img = cv2.cvtColor(grey, cv2.COLOR_GRAY2BGR)
    tint = img.copy()
    tint[mask > 0] = LIT
    img = cv2.addWeighted(img, 0.75, tint, 0.25, 0)
    scale = max(0.45, grey.shape[1] / 1920.0)
    thick = max(1, int(round(2 * scale)))
    # The stripe's centre line where the laser draws a ridge on the object (a lit outline);
    # a fully lit section has none but at its ends.
    near = cv2.dilate(mask, np.ones((9, 9), np.uint8))
    found = stripe.find_stripe(stripe.contrast(grey, "gray"), near)
    for x, y in zip(found.xs, found.ys):
        cv2.circle(img, (int(round(x)), int(round(y))), thick, STRIPE, -1)
    cv2.drawContours(img, [drawing["contour"]], -1, CONTOUR, thick)
    cv2.polylines(img, [np.round(drawing["outline"]).astype(np.int32).reshape(-1, 1, 2)], True,
                  OUTLINE, thick, cv2.LINE_AA)
    for pair, colour in ((drawing["pt_long0"], LONG), (drawing["pt_short"], SHORT)):
        cv2.line(img, _point(pair[0]), _point(pair[1]), colour, thick + 1, cv2.LINE_AA)
        for p in pair:
            cv2.circle(img, _point(p), 3 * thick, colour, -1)
    lines = [os.path.basename(row["file"]),
             f"long axis  {row['long_mm']} mm  ({row['long_px']} px)",
             f"short axis {row['short_mm']} mm  ({row['short_px']} px)",
             f"long axis at {row['angle_deg']} deg on the plane",
             f"centre ({row['centre_x_mm']}, {row['centre_y_mm']}, {row['centre_z_mm']}) mm"]
    if row["status"] != "ok":
        lines.append(f"{row['status']}: {row['error']}")
    step = int(34 * scale)
    for i, t in enumerate(lines):
        _text(img, t, (int(12 * scale), step * (i + 1)), 0.8 * scale)
    legend = [(LIT, "laser-lit object (mask)"), (STRIPE, "stripe centre line"),
              (CONTOUR, "object contour"), (LONG, "long axis (pixels)"),
              (SHORT, "short axis (pixels)"), (OUTLINE, "ellipse fitted on the laser plane")]
    h = grey.shape[0]
    x0 = int(12 * scale)
    for i, (colour, label) in enumerate(reversed(legend)):
        y = h - int(14 * scale) - i * step
        cv2.rectangle(img, (x0, y - int(18 * scale)), (x0 + int(28 * scale), y), colour, -1)
        _text(img, label, (x0 + int(38 * scale), y), 0.7 * scale)
    return img


def encode(drawing, row):
    """The overlay as PNG bytes (made where the frame was measured, written by the run)."""
    ok, data = cv2.imencode(".png", draw(drawing, row))
    return data.tobytes() if ok else None
