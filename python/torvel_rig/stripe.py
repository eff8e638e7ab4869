"""The laser stripe's sub-pixel centre line.

For a stripe that runs across the image, every column is searched for its brightest pixel
in the laser channel; where that peak exceeds the threshold and the channel falls back to
the threshold within +-`window` pixels on both sides (a ridge, not a bright surface), the
centre of gravity of the channel above the threshold, (value - threshold) as the weight,
within that window gives the stripe's row in that column. A stripe that runs
down the image is treated the same way row by row. Where laser-off frames are given, the
laser channel is the laser-on frame minus the laser-off frame (clipped at 0)."""
import cv2
import numpy as np

LASERS = ("red", "green", "gray")
DEFAULT_WINDOW = 7
WINDOWS = (7, 11, 16, 24, 36)        # tried by choose_window, narrowest first


def laser_channel(img, laser):
    """The channel that carries the laser, 8-bit H x W. For "red" and "green" of a BGR
    image: that channel's excess over the mean of the other two, clipped at 0 (white and
    grey surfaces drop out, the laser stays); "gray": the grey image. A grey image (also one
    read as three equal channels) serves as it is for every laser."""
    if laser not in LASERS:
        raise ValueError(f"laser {laser!r}: choose one of {', '.join(LASERS)}")
    if img.ndim == 2:
        return img
    if np.array_equal(img[..., 0], img[..., 1]) and np.array_equal(img[..., 1], img[..., 2]):
        return np.ascontiguousarray(img[..., 0])   # a grey file read as colour
    if laser == "gray":
        return cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
    c = img.astype(np.int16)
    own, a, b = (2, 0, 1) if laser == "red" else (1, 0, 2)
    excess = c[..., own] - (c[..., a] + c[..., b]) // 2
    return np.clip(excess, 0, 255).astype(np.uint8)


def subtract_background(on, off):
    """Laser-on minus laser-off, clipped to 0 .. 255, 8-bit."""
    d = on.astype(np.int16) - off.astype(np.int16)
    return np.clip(d, 0, 255).astype(np.uint8)


def auto_threshold(channel, mask=None):
    """A threshold between the ground and the stripe: halfway between the median and the
    95th percentile of the column peaks (at least 8 grey levels above the median)."""
    c = channel.astype(np.float32)
    if mask is not None:
        c = np.where(mask > 0, c, 0)
    peaks = np.concatenate([c.max(axis=0), c.max(axis=1)])
    sel = c[mask > 0] if mask is not None and np.any(mask) else c
    ground = float(np.median(sel))
    top = float(np.percentile(peaks, 95))
    return max(ground + 8.0, 0.5 * (ground + top))


def stripe_direction(channel, threshold, mask=None):
    """'horizontal' when more columns than rows have a peak above the threshold (a stripe
    running across the image), else 'vertical'."""
    c = channel if mask is None else np.where(mask > 0, channel, 0)
    cols = int(np.count_nonzero(c.max(axis=0) > threshold))
    rows = int(np.count_nonzero(c.max(axis=1) > threshold))
    return "horizontal" if cols >= rows else "vertical"


def stripe_centres(channel, mask=None, threshold=None, window=DEFAULT_WINDOW,
                   direction="auto"):
    """Sub-pixel centre line of the stripe in the 8-bit laser channel: (xs, ys) float64
    arrays (x = column, y = row), one point per column (or per row for a vertical stripe)
    whose peak inside `mask` (non-zero = searched; None = everywhere) exceeds `threshold`
    (None: auto_threshold). Returns (xs, ys, direction, threshold)."""
    ch = np.asarray(channel)
    if ch.ndim != 2:
        raise ValueError("the laser channel must be a single-channel image")
    if threshold is None:
        threshold = auto_threshold(ch, mask)
    if direction == "auto":
        direction = stripe_direction(ch, threshold, mask)
    c = ch.astype(np.float64)
    if mask is not None:
        c = np.where(mask > 0, c, 0.0)
    if direction == "vertical":
        c = c.T
    n_along, n_across = c.shape[1], c.shape[0]
    peak = np.argmax(c, axis=0)                                   # per column
    peak_val = c[peak, np.arange(n_along)]
    offs = np.arange(-int(window), int(window) + 1)[:, None]
    idx = peak[None, :] + offs                                    # (2w+1) x n_along
    inside = (idx >= 0) & (idx < n_across)
    vals = c[np.clip(idx, 0, n_across - 1), np.arange(n_along)[None, :]]
    wgt = np.where(inside, np.clip(vals - threshold, 0.0, None), 0.0)
    total = wgt.sum(axis=0)
    # A stripe is a ridge: the channel falls below the threshold on both sides within the
    # window (a bright surface wider than the window is no stripe).
    lo = c[np.clip(peak - int(window), 0, n_across - 1), np.arange(n_along)]
    hi = c[np.clip(peak + int(window), 0, n_across - 1), np.arange(n_along)]
    ok = (peak_val > threshold) & (total > 0) & (lo <= threshold) & (hi <= threshold)
    centre = (wgt * idx).sum(axis=0)[ok] / total[ok]
    along = np.arange(n_along, dtype=np.float64)[ok]
    if direction == "vertical":
        return centre, along, direction, float(threshold)
    return along, centre, direction, float(threshold)


def choose_window(channel, mask=None, threshold=None, direction="auto"):
    """The narrowest half window of WINDOWS within which the stripe falls back below the
    threshold on both sides in at least half of the columns (rows) whose peak exceeds the
    threshold; the one giving most points when none does. Wide or blooming stripes of large
    frames need more than DEFAULT_WINDOW."""
    ch = np.asarray(channel)
    if threshold is None:
        threshold = auto_threshold(ch, mask)
    if direction == "auto":
        direction = stripe_direction(ch, threshold, mask)
    c = ch if mask is None else np.where(mask > 0, ch, 0)
    peaks = int(np.count_nonzero((c.max(axis=0 if direction == "horizontal" else 1))
                                 > threshold))
    best, best_n = WINDOWS[0], -1
    for w in WINDOWS:
        n = len(stripe_centres(ch, mask, threshold, w, direction)[0])
        if peaks and n >= 0.5 * peaks:
            return w
        if n > best_n:
            best, best_n = w, n
    return best
