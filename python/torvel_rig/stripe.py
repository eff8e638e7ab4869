"""The laser stripe in real photographs: its sub-pixel centre line, with a quality per point.

1. The contrast image (`contrast`): for a red or green laser the laser channel's excess over
   the mean of the other two (white and grey surfaces drop out, the laser stays); the grey
   image for "gray" and for frames whose three channels are equal; with a laser-off frame,
   laser-on minus laser-off. Pixels where the laser saturates its channel are marked.
2. The search across the stripe (`find_stripe`): the stripe's direction is found per frame
   from its strongest ridge points, and scanlines run across it (columns for a stripe
   within 30 degrees of horizontal, rows within 30 degrees of vertical, and the image
   rotated in between). On each scanline the peak, its height above
   the scanline's local ground, its width at half height, and its centre: the centre of
   gravity of the ground-subtracted contrast within a window fitted to the frame's stripe
   width, or the middle of the run for a saturated flat top.
3. Rejection by geometry (`fit_line`): on a planar target the stripe is one straight line in
   the corrected frame, so a line fitted robustly (a consensus within the stripe's width)
   keeps the points near it and drops reflections, backgrounds and hands.

Image points are (x, y) = (column, row) of the image the contrast was made from."""
import math
import typing

import cv2
import numpy as np

LASERS = ("red", "green", "gray")
SATURATED = 250          # a laser channel at or above this is clipped by the sensor
STRAIGHT = 30.0          # degrees from an image axis within which scanlines are not rotated
MIN_HALF_WINDOW, MAX_HALF_WINDOW = 2, 40
NOISE_FACTOR = 6.0       # a peak stands this many noise sigmas above its ground
RELATIVE_PEAK = 0.15     # ... and at least this share of the frame's strong peaks
CENTRE_LEVEL = 0.25      # of the peak's height above ground: the centre of gravity's floor


class Contrast(typing.NamedTuple):
    """`image` float32 H x W (the laser's contrast, >= 0), `saturated` bool H x W (the laser
    clips its channel), `grey` (the frame was grey, whatever laser was asked for),
    `reflectance` float32 H x W or None: the scene without the laser (the other two
    channels of a colour frame, the laser-off frame), what the surface's print does to any
    light (the sheet the pattern is printed on is found in it); `noise` the contrast's
    noise sigma, measured before the contrast is clipped at 0."""
    image: np.ndarray
    saturated: np.ndarray
    grey: bool
    reflectance: typing.Optional[np.ndarray] = None
    noise: float = 0.0


class Stripe(typing.NamedTuple):
    """Stripe points of one image: `xs`, `ys` (float64, sub-pixel), `peak` (contrast above the
    local ground), `width` (full width at half height, pixels), `angle` (the stripe's
    direction in degrees, x towards y, in [0, 180)), `half_window` (pixels)."""
    xs: np.ndarray
    ys: np.ndarray
    peak: np.ndarray
    width: np.ndarray
    angle: float
    half_window: int

    def take(self, keep):
        return self._replace(xs=self.xs[keep], ys=self.ys[keep], peak=self.peak[keep],
                             width=self.width[keep])

    @property
    def size(self):
        return int(self.xs.size)


class Line(typing.NamedTuple):
    """A line in the image: `point` (x, y) on it and unit `direction` (dx, dy)."""
    point: np.ndarray
    direction: np.ndarray

    def distances(self, xs, ys):
        dx, dy = self.direction
        return np.abs((np.asarray(xs) - self.point[0]) * dy
                      - (np.asarray(ys) - self.point[1]) * dx)


def is_grey(img):
    """True for a 2-D image and for a colour image whose three channels are equal (what a
    monochrome camera stored as colour gives)."""
    img = np.asarray(img)
    return img.ndim == 2 or _equal_planes([img[..., c] for c in range(img.shape[2])])


def _equal_planes(planes):
    """True when the planes are equal (a colour frame differs on a sparse grid already)."""
    few = [p[::17, ::17] for p in planes]
    return (all(np.array_equal(few[0], f) for f in few[1:])
            and all(np.array_equal(planes[0], p) for p in planes[1:]))


def _signal(img, laser, grey):
    """The laser's signal in one frame (int16), its saturation (bool) and the frame's
    reflectance without the laser (float32, None for a grey frame)."""
    if grey:
        g = img if img.ndim == 2 else img[..., 0]
        return g.astype(np.int16), g >= SATURATED, None
    if laser == "gray":
        g = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
        return g.astype(np.int16), g >= SATURATED, None
    c = img.astype(np.int16)
    own, a, b = (2, 0, 1) if laser == "red" else (1, 0, 2)
    rest = c[..., a] + c[..., b]
    return c[..., own] - rest // 2, img[..., own] >= SATURATED, 0.5 * rest.astype(np.float32)


def scene_grey(img, laser):
    """An 8-bit grey image of the scene with as little of the laser as the frame allows: the
    mean of the two channels a red or green laser leaves alone, the grey image otherwise."""
    if img.ndim == 2:
        return img
    if laser == "gray" or is_grey(img):
        return cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
    a, b = (0, 1) if laser == "red" else (0, 2)
    return ((img[..., a].astype(np.uint16) + img[..., b] + 1) // 2).astype(np.uint8)


def contrast(on, laser, off=None, reflectance=True):
    """The Contrast of a frame (BGR or grey, 8-bit) for `laser` ("red", "green", "gray"),
    laser-on minus laser-off when `off` is given. Where the laser saturates its channel the
    contrast is raised to the frame's top, so that a clipped stripe is a flat top and not a
    dip between two shoulders (on white, a saturated red stripe turns white).
    `reflectance=False` leaves the Contrast's reflectance out (None) for a caller that has
    no use for it."""
    if laser not in LASERS:
        raise ValueError(f"laser {laser!r}: choose one of {', '.join(LASERS)}")
    grey = is_grey(on) and (off is None or is_grey(off))
    if off is None and not grey and laser != "gray":
        return _colour_contrast(cv2.split(np.ascontiguousarray(on)), laser, reflectance)
    sig, sat, refl = _signal(on, laser, grey)
    if off is not None:
        off_sig, _, off_refl = _signal(off, laser, grey)
        sig = sig - off_sig
        refl = off_refl if off_refl is not None else off_sig.astype(np.float32)
    noise = _noise(sig[::4, ::4])
    sig = np.maximum(sig, 0, out=sig).astype(np.float32)
    return Contrast(_raise_saturated(sig, sat), sat, grey, refl if reflectance else None, noise)


def _noise(sample):
    """The contrast's noise sigma from a subsample of the signed signal (a spread, not a
    sum: every 16th pixel will do): 1.4826 median absolute deviations."""
    if sample.size and sample.dtype.kind in "iu":
        # Integers: both medians counted out of a histogram (of twice the deviations, which
        # are whole or half), exactly the float32 medians of the sample, without a sort.
        v = sample.ravel().astype(np.int32)
        low = int(v.min())
        med2 = _median_twice(np.bincount(v - low), v.size) + 2 * low      # 2 x median
        return 1.4826 * float(np.float32(_median_twice(np.bincount(np.abs(2 * v - med2)),
                                                       v.size) / 4.0))
    sample = sample.astype(np.float32)
    return 1.4826 * float(np.median(np.abs(sample - np.median(sample))))


def _median_twice(counts, n):
    """Twice the median of `n` whole numbers 0, 1, ... given by their `counts`: the middle
    one doubled, or the sum of the middle two."""
    below = np.cumsum(counts)
    a = int(np.searchsorted(below, (n - 1) // 2 + 1))        # the ((n-1)//2)-th smallest
    b = int(np.searchsorted(below, n // 2 + 1))              # the (n//2)-th smallest
    return a + b


def _raise_saturated(image, sat):
    if np.any(sat):
        image[sat] = max(float(image.max()), 1.0)
    return image


def contrast_of_planes(planes, laser, reflectance=True):
    """contrast(cv2.merge(planes), laser, reflectance=reflectance) of a frame given as its
    three 8-bit planes B, G, R (as cv2.split gives them), without merging them."""
    planes = [np.ascontiguousarray(p) for p in planes]
    if laser not in LASERS:
        raise ValueError(f"laser {laser!r}: choose one of {', '.join(LASERS)}")
    if len(planes) != 3 or laser == "gray" or _equal_planes(planes):
        return contrast(cv2.merge(planes), laser, reflectance=reflectance)
    return _colour_contrast(planes, laser, reflectance)


def _colour_contrast(planes, laser, reflectance):
    """contrast() of a colour frame's planes (B, G, R) for a red or green laser without a
    laser-off frame, in 8 bits: the laser channel minus the floored mean of the other two,
    clipped at 0 by saturating subtraction, is exactly _signal's value clipped; one float
    conversion."""
    own, a, b = _laser_and_others(planes, laser)
    refl = cv2.multiply(cv2.add(a, b, dtype=cv2.CV_32F), 0.5) if reflectance else None
    return contrast_of_laser(own, _floor_mean(a, b))._replace(reflectance=refl)


def _laser_and_others(planes, laser):
    """The laser's plane of a frame's planes (B, G, R) and the other two."""
    return (planes[2], planes[0], planes[1]) if laser == "red" else \
        (planes[1], planes[0], planes[2])


def _floor_mean(a, b):
    """floor((a + b) / 2) of two 8-bit planes without leaving 8 bits: (a & b) + ((a ^ b) >> 1)."""
    half = cv2.bitwise_xor(a, b)
    np.right_shift(half, 1, out=half)
    return cv2.add(half, cv2.bitwise_and(a, b))


def laser_and_rest(img, laser):
    """A colour frame (BGR, 8-bit) for a red or green laser as two 8-bit planes: the
    laser's channel and the floored mean of the other two, the planes contrast_of_laser
    takes (a caller may correct these two instead of the frame's three)."""
    own, a, b = _laser_and_others(cv2.split(np.ascontiguousarray(img)), laser)
    return own, _floor_mean(a, b)


def contrast_of_laser(own, rest):
    """The Contrast (without reflectance) of a laser's 8-bit plane `own` over the 8-bit
    plane `rest` of what the other channels see: own - rest clipped at 0, with own's
    saturation."""
    noise = _noise(own[::4, ::4].astype(np.int16) - rest[::4, ::4])
    image = cv2.subtract(own, rest).astype(np.float32)
    sat = own >= SATURATED
    return Contrast(_raise_saturated(image, sat), sat, False, None, noise)


def lit(con, mask, share=0.3, grow=7):
    """The pixels the laser lights (bool): above `share` of the contrast's top inside `mask`
    (its 99.9th percentile, so that a few specks do not set it), grown by `grow` pixels."""
    inside = con.image[np.asarray(mask) > 0]
    if inside.size == 0:
        return np.zeros(con.image.shape, bool)
    top = float(np.percentile(inside, 99.9))
    on = (con.image > max(share * top, 1.0)).astype(np.uint8)
    return cv2.dilate(on, np.ones((grow, grow), np.uint8)) > 0


def stripe_angle(image, mask=None, strongest=None):
    """The stripe's rough direction in degrees (x towards y, [0, 180)) in a contrast image:
    the strongest pixels (all at or above the level of the `strongest`-th, by default
    twice the image's larger side) are projected across every whole degree, and the
    direction whose projections pile up most sharply wins, so that a reflection or a speck
    elsewhere does not tilt it. None when the image holds no contrast."""
    c = np.asarray(image, dtype=np.float32)
    if mask is not None:
        c = np.where(np.asarray(mask) > 0, c, 0)
    flat = c.ravel()
    n = min(int(strongest or 2 * max(c.shape)), int(np.count_nonzero(flat > 0)))
    if n < 2:
        return None
    level = np.partition(flat, flat.size - n)[flat.size - n]
    idx = np.flatnonzero(flat >= level)
    idx = idx[::max(1, idx.size // (4 * n))]        # ties of a flat top: a spread sample
    ys, xs = np.divmod(idx, c.shape[1])
    xs = xs - xs.mean()
    ys = ys - ys.mean()
    t = np.radians(np.arange(180.0))[:, None]
    across = np.floor((ys[None, :] * np.cos(t) - xs[None, :] * np.sin(t)) / 2.0).astype(np.int64)
    across -= across.min(axis=1, keepdims=True)
    scores = []
    for row in across:
        hist = np.bincount(row)
        scores.append(np.convolve(hist, np.ones(3), "valid").max() if hist.size >= 3
                      else hist.sum())
    return float(np.argmax(scores))


def _rotation(angle, shape):
    """The affine map that turns a stripe at `angle` horizontal, with the output size that
    holds the whole rotated image."""
    h, w = shape
    m = cv2.getRotationMatrix2D(((w - 1) / 2.0, (h - 1) / 2.0), angle, 1.0)
    c, s = abs(m[0, 0]), abs(m[0, 1])
    ow, oh = int(math.ceil(w * c + h * s)), int(math.ceil(w * s + h * c))
    m[0, 2] += (ow - w) / 2.0
    m[1, 2] += (oh - h) / 2.0
    return m, (ow, oh)


def _scanlines(layers, angle):
    """The float32 `layers` laid out with the stripe roughly horizontal (so the scanlines
    are the columns; bool layers come back bool), and the map of that layout's (x, y) back
    to the image's."""
    tilt = min(angle % 180.0, 180.0 - angle % 180.0)       # degrees from horizontal
    if tilt <= STRAIGHT:
        return layers, lambda x, y: (x, y)
    if tilt >= 90.0 - STRAIGHT:
        return [a.T for a in layers], lambda x, y: (y, x)
    m, size = _rotation(angle, layers[0].shape)
    out = []
    for a in layers:
        if a.dtype == bool:
            out.append(cv2.warpAffine(a.astype(np.uint8), m, size, flags=cv2.INTER_NEAREST) > 0)
        else:
            out.append(cv2.warpAffine(a, m, size, flags=cv2.INTER_LINEAR, borderValue=0))
    inv = cv2.invertAffineTransform(m)

    def back(x, y):
        return (inv[0, 0] * x + inv[0, 1] * y + inv[0, 2],
                inv[1, 0] * x + inv[1, 1] * y + inv[1, 2])
    return out, back


def _runs(values, start, level):
    """Per column, the first and last row of the run of `values` >= `level` (per column)
    through row `start` (one row for every column): values is K x N (NaN is never in a
    run), level length N."""
    above = values >= level[None, :]
    before = ~above[:start][::-1]               # rows start-1, start-2, ..., 0
    after = ~above[start + 1:]
    first = np.where(before.any(axis=0), start - np.argmax(before, axis=0), 0)
    last = np.where(after.any(axis=0), start + np.argmax(after, axis=0), values.shape[0] - 1)
    return first, last


def _gather(image, rows, cols, masked=True):
    """image[rows, cols] (as float32) for K x N rows about each of N columns; NaN off the
    image or, when `masked`, where the image is negative (outside the searched mask)."""
    k = image.shape[0]
    v = image[np.clip(rows, 0, k - 1), cols[None, :]].astype(np.float32, copy=False)
    inside = (rows >= 0) & (rows < k)
    if masked:
        inside &= v >= 0
    return np.where(inside, v, np.float32(np.nan))


def _ground(vals, reach):
    """The local ground of each column: the lower of the medians of its two flanks, the
    outer two thirds of `reach` on either side of the middle row."""
    near = reach // 3
    ground = np.fmin(_column_nanmedian(vals[:reach - near]),
                     _column_nanmedian(vals[reach + near + 1:]))
    return np.where(np.isfinite(ground), ground, 0.0)


def _column_nanmedian(vals):
    """np.nanmedian(vals, axis=0): the plain median (the same middle values, averaged the
    same way in float32) for the columns without NaN, nanmedian's for those with some, NaN
    for those with nothing else (asked without the warning nanmedian gives, which a
    warnings filter cannot silence from one of several threads)."""
    isnan = np.isnan(vals)
    some = isnan.any(axis=0)
    out = np.median(vals, axis=0) if vals.shape[0] else np.full(vals.shape[1], np.nan, vals.dtype)
    part = some & ~isnan.all(axis=0)
    if np.any(part):
        out[part] = np.nanmedian(vals[:, part], axis=0)
    out[some & ~part] = np.nan
    return out


def find_stripe(con, mask=None, min_peak=None, half_window=None, angle=None):
    """The Stripe of a Contrast inside `mask` (non-zero = searched; None = everywhere).
    `min_peak` overrides the least peak height above the local ground (default: NOISE_FACTOR
    noise sigmas, and RELATIVE_PEAK of the frame's strong peaks); `half_window` the
    centre-of-gravity window (default: fitted to the stripe's width); `angle` the stripe's
    direction in degrees (default: found, see below).

    The direction: stripe_angle gives it roughly, a line fitted to the points found across
    it precisely; a stripe found more than STRAIGHT degrees off the direction searched is
    searched again across its own."""
    if angle is not None:
        return _search(con, mask, min_peak, half_window, float(angle))
    rough = stripe_angle(con.image, mask)
    if rough is None:
        return _search(con, mask, min_peak, half_window, 0.0)._replace(xs=np.zeros(0))
    first = _search(con, mask, min_peak, half_window, rough)
    if first.size < 2:
        return first
    line, _ = fit_line(first.xs, first.ys, line_tolerance(first), first.peak)
    angle = math.degrees(math.atan2(line.direction[1], line.direction[0])) % 180.0
    if abs(math.sin(math.radians(angle - first.angle))) <= math.sin(math.radians(STRAIGHT)):
        return first._replace(angle=angle)
    return _search(con, mask, min_peak, half_window, angle)


def _search(con, mask, min_peak, half_window, angle):
    """find_stripe's search across a stripe at `angle` degrees."""
    c = np.asarray(con.image, dtype=np.float32)
    empty = Stripe(np.zeros(0), np.zeros(0), np.zeros(0), np.zeros(0), float(angle),
                   int(half_window or MIN_HALF_WINDOW))
    tilt = min(angle % 180.0, 180.0 - angle % 180.0)
    if mask is None and (tilt <= STRAIGHT or tilt >= 90.0 - STRAIGHT):
        # The whole image, not rotated: every scanline is searched, the image as it is
        # (no masked copy); the peaks by OpenCV's first-maximum search, argmax's rows.
        transposed = tilt > STRAIGHT
        (c, sat), back = _scanlines([c, np.asarray(con.saturated, bool)], angle)
        if c.size == 0:
            return empty
        cols = np.arange(c.shape[1])
        peak_row = cv2.reduceArgMax(np.ascontiguousarray(c.T if transposed else c),
                                    1 if transposed else 0).ravel().astype(np.intp)
        peak = c[peak_row, cols]
        masked = False                       # nothing negative to leave out
    else:
        m = np.ones(c.shape, bool) if mask is None else np.asarray(mask) > 0
        (c, sat, m), back = _scanlines(
            [np.where(m, c, -1.0).astype(np.float32), np.asarray(con.saturated, bool), m], angle)
        c = np.where(m, c, -1.0)             # rotation blends the mask's edge: outside again
        cols = np.flatnonzero(m.any(axis=0))
        if cols.size == 0:
            return empty
        cm = c[:, cols]
        peak_row = np.argmax(cm, axis=0)
        peak = cm[peak_row, np.arange(cols.size)]
        masked = True
    reach = 3 * (int(half_window) if half_window else MAX_HALF_WINDOW // 2)
    rows = peak_row[None, :] + np.arange(-reach, reach + 1)[:, None]
    vals = _gather(c, rows, cols, masked)
    ground = _ground(vals, reach)
    height = peak - ground
    # Half-height runs about the peak give the width; the plateau gives a saturated top.
    first, last = _runs(vals, reach, ground + 0.5 * height)
    width = (last - first + 1).astype(np.float64)
    sigma = con.noise
    strong = np.percentile(height, 90) if height.size else 0.0
    level = min_peak if min_peak is not None else max(NOISE_FACTOR * max(sigma, 0.5),
                                                      RELATIVE_PEAK * strong)
    ok = (height > level) & np.isfinite(height)
    if not np.any(ok):
        return empty
    if half_window is None:
        # The stripe's width: the median width weighted by peak height, so that neither the
        # many faint peaks of noise nor a few wide bright surfaces set it.
        order = np.argsort(width[ok], kind="stable")
        weight = np.cumsum(height[ok][order])
        w_typ = float(width[ok][order][np.searchsorted(weight, 0.5 * weight[-1])])
        half_window = int(np.clip(math.ceil(w_typ), MIN_HALF_WINDOW, MAX_HALF_WINDOW))
    hw = int(half_window)
    ok &= width <= 2 * hw + 1            # wider than its window: a lit surface, no stripe
    # Centre of gravity of the contrast above a quarter of the peak's height (the tails
    # add noise, not position), about the run's middle.
    mid = (first + last) // 2 - reach + peak_row
    wrows = mid[None, :] + np.arange(-hw, hw + 1)[:, None]
    wv = _gather(c, wrows, cols, masked)
    wgt = np.fmax(wv - (ground + CENTRE_LEVEL * height)[None, :], 0.0)      # NaN weighs 0
    total = wgt.sum(axis=0)
    ok &= total > 0
    centre = (wgt * wrows).sum(axis=0) / np.where(total > 0, total, 1.0)
    # A saturated flat top: the middle of its run.
    s_first, s_last = _runs(vals, reach, peak - 0.5)
    flat = sat[peak_row, cols] & (s_last > s_first)
    centre = np.where(flat, 0.5 * (s_first + s_last) - reach + peak_row, centre)
    x, y = back(cols[ok].astype(np.float64), centre[ok])
    return Stripe(np.asarray(x, dtype=np.float64), np.asarray(y, dtype=np.float64),
                  height[ok].astype(np.float64), width[ok], float(angle), hw)


def fit_line(xs, ys, tolerance, weights=None, trials=200, seed=0):
    """The line the most points (or the most `weights`, such as peak heights, so that faint
    specks of noise count little) lie within `tolerance` pixels of: a consensus over
    `trials` seeded pairs, refitted by total least squares to its inliers; and the inlier
    mask. None and an all-false mask for fewer than two points."""
    xs = np.asarray(xs, dtype=np.float64)
    ys = np.asarray(ys, dtype=np.float64)
    n = xs.size
    if n < 2:
        return None, np.zeros(n, bool)
    rng = np.random.default_rng(seed)
    i = rng.integers(0, n, trials)
    j = rng.integers(0, n, trials)
    dx, dy = xs[j] - xs[i], ys[j] - ys[i]
    length = np.hypot(dx, dy)
    good = length > 0
    if not np.any(good):
        return None, np.zeros(n, bool)
    i, dx, dy = i[good], dx[good] / length[good], dy[good] / length[good]
    dist = np.abs((xs[None, :] - xs[i, None]) * dy[:, None]
                  - (ys[None, :] - ys[i, None]) * dx[:, None])
    w = np.ones(n) if weights is None else np.asarray(weights, dtype=np.float64)
    counts = (dist <= tolerance) @ w
    inliers = dist[int(np.argmax(counts))] <= tolerance
    line = None
    for _ in range(2):          # refit, and take the refit's inliers
        p = np.array([xs[inliers].mean(), ys[inliers].mean()])
        q = np.stack([xs[inliers] - p[0], ys[inliers] - p[1]], axis=1)
        d = np.linalg.svd(q, full_matrices=False)[2][0] if len(q) >= 2 else np.array([1.0, 0.0])
        line = Line(p, d)
        new = line.distances(xs, ys) <= tolerance
        if new.sum() < 2:
            break
        inliers = new
    return line, inliers


def line_tolerance(stripe):
    """How far from its line a stripe point may lie: half the stripe's typical width, at
    least 1.5 pixels (speckle moves a centre by about a pixel)."""
    w = float(np.median(stripe.width)) if stripe.size else 0.0
    return max(1.5, 0.5 * w)
