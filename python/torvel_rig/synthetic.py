"""An embedded synthetic rig for tests and the demo: a pinhole camera with known intrinsics
and lens distortion (OpenCV's model), a line laser whose sheet is a known plane, a flat
chessboard target in many poses, and an elliptical object lying in the laser plane.

Everything is rendered as the raw (distorted) camera sees it: every pixel is supersampled
(`supersample` x `supersample` rays through the pixel's area, each ray undistorted exactly
and met with the target), then averaged, given Gaussian sensor noise and quantised to 8
bits. Frames are BGR when a colour laser is asked for (the laser adds to its own channel),
grey otherwise.

Frames, units and conventions are those of the library: camera frame x right, y down, z
along the optical axis, millimetres; pixel (x, y) = (column, row), pixel centres at
integer coordinates.

    rig = Rig()                                    # 640 x 480, or Rig(width=.., height=..)
    views = rig.write_views(folder, 12)           # chessboard views for calibrate-camera
    on, off = rig.write_laser_frames(folder, 6)   # stripe-on-target frames (+ laser-off)
    img = rig.render_section((40, 25), 30)         # the lit section for measure
    rig.camera_matrix, rig.dist_coeffs, rig.plane_normal, rig.plane_offset  # the truth
"""
import math
import os
import pickle

import cv2
import numpy as np

from . import pattern as _pattern
from .images import write_image
from .output import atomic_output


def _rotation(rx, ry, rz):
    """Rotation matrix of the angles (degrees) about x, then y, then z (camera frame)."""
    return cv2.Rodrigues(np.array([0.0, 0.0, math.radians(rz)]))[0] @ \
        cv2.Rodrigues(np.array([0.0, math.radians(ry), 0.0]))[0] @ \
        cv2.Rodrigues(np.array([math.radians(rx), 0.0, 0.0]))[0]


class Pose:
    """A board pose: board point P (mm, z = 0) is at R @ P + t in the camera frame."""

    def __init__(self, R, t):
        self.R = np.asarray(R, dtype=np.float64)
        self.t = np.asarray(t, dtype=np.float64)

    @property
    def normal(self):
        return self.R[:, 2].copy()

    def __repr__(self):
        return f"Pose(normal={np.round(self.normal, 4).tolist()}, t={np.round(self.t, 2).tolist()})"


class Rig:
    """The synthetic rig. All of its truth is in attributes:

    width, height          image size (pixels)
    camera_matrix          3 x 3 (fx, fy, cx, cy scale with the width)
    dist_coeffs            k1 k2 p1 p2 k3
    pixel_size, focus      sensor pitch and focal length (mm): focus = fx * pixel_size
    plane_normal           unit normal of the laser sheet (z component positive)
    plane_offset           d of the sheet n . X = d (mm)
    pattern, cols, rows, square   the target (pattern.py's kinds and sizes): by default a
                           chessboard of 9 x 6 inner corners, 15 mm squares; "circles"
                           7 x 5 circles 20 mm apart; "acircles" 5 x 9, rows 10 mm apart
    circle_radius          radius of the circles (mm)
    """

    PATTERNS = {"chessboard": (9, 6, 15.0), "circles": (7, 5, 20.0), "acircles": (5, 9, 10.0)}
    pixel_size = 0.006
    dist_coeffs = np.array([-0.21, 0.085, 0.0009, -0.0006, -0.012])
    plane_normal = np.array([0.04, -0.62, 0.78]) / np.linalg.norm([0.04, -0.62, 0.78])
    axis_crossing = 340.0          # mm: where the laser sheet crosses the optical axis
    stripe_sigma = 0.8             # mm: Gaussian half-width of the laser line on a surface
    edge_blur = 0.25               # mm: blur of the squares' edges
    white, black, ground = 215.0, 35.0, 70.0   # grey levels of the lit board and beyond it

    def __init__(self, width=640, height=480, supersample=2, noise=1.5, seed=7,
                 pattern="chessboard"):
        self.width, self.height = int(width), int(height)
        self.pattern = pattern
        self.cols, self.rows, self.square = self.PATTERNS[pattern]
        self.circle_radius = 0.25 * self.square if pattern == "circles" else 0.4 * self.square
        s = self.width / 640.0
        self.camera_matrix = np.array([[822.0 * s, 0.0, (self.width - 1) / 2 + 6.5 * s],
                                       [0.0, 818.5 * s, (self.height - 1) / 2 - 4.25 * s],
                                       [0.0, 0.0, 1.0]])
        self.focus = self.camera_matrix[0, 0] * self.pixel_size
        self.plane_offset = float(self.plane_normal[2] * self.axis_crossing)
        self.supersample = int(supersample)
        self.noise = float(noise)
        self.seed = int(seed)
        self._rays = None

    # --- the camera -------------------------------------------------------------------

    @property
    def image_size(self):
        return (self.width, self.height)

    def distort(self, x, y):
        """Distorted normalised coordinates of ideal normalised coordinates."""
        k1, k2, p1, p2, k3 = self.dist_coeffs
        r2 = x * x + y * y
        radial = 1 + (k1 + (k2 + k3 * r2) * r2) * r2
        return (x * radial + 2 * p1 * x * y + p2 * (r2 + 2 * x * x),
                y * radial + p1 * (r2 + 2 * y * y) + 2 * p2 * x * y)

    def undistort_normalised(self, xd, yd, iterations=60):
        """Ideal normalised coordinates of distorted ones (Newton's method on the model)."""
        x, y = xd.copy(), yd.copy()
        h = 1e-7
        for _ in range(iterations):
            fx, fy = self.distort(x, y)
            ex, ey = fx - xd, fy - yd
            ax, ay = self.distort(x + h, y)
            bx, by = self.distort(x, y + h)
            j11, j21 = (ax - fx) / h, (ay - fy) / h
            j12, j22 = (bx - fx) / h, (by - fy) / h
            det = j11 * j22 - j12 * j21
            dx = (j22 * ex - j12 * ey) / det
            dy = (-j21 * ex + j11 * ey) / det
            x -= dx
            y -= dy
            if max(np.abs(dx).max(), np.abs(dy).max()) < 1e-13:
                break
        return x, y

    def project(self, points):
        """Raw (distorted) pixel (x, y) of N x 3 camera-frame points."""
        p = np.asarray(points, dtype=np.float64).reshape(-1, 3)
        xd, yd = self.distort(p[:, 0] / p[:, 2], p[:, 1] / p[:, 2])
        k = self.camera_matrix
        return k[0, 0] * xd + k[0, 2], k[1, 1] * yd + k[1, 2]

    def rays(self):
        """Ideal normalised ray directions (x, y; z = 1) of every subsample of every raw
        pixel: two arrays of shape (supersample^2, H, W), computed once."""
        if self._rays is None:
            n = self.supersample
            offs = (np.arange(n) + 0.5) / n - 0.5
            k = self.camera_matrix
            rows, cols = np.mgrid[0:self.height, 0:self.width].astype(np.float64)
            xs, ys = [], []
            for dy in offs:
                for dx in offs:
                    xd = (cols + dx - k[0, 2]) / k[0, 0]
                    yd = (rows + dy - k[1, 2]) / k[1, 1]
                    x, y = self.undistort_normalised(xd, yd)
                    xs.append(x)
                    ys.append(y)
            self._rays = (np.stack(xs), np.stack(ys))
        return self._rays

    # --- the board --------------------------------------------------------------------

    def object_points(self):
        return _pattern.object_points(self.pattern, self.cols, self.rows, self.square)

    def _print_outline(self, grow=0.0):
        """(x0, y0, x1, y1) of the printed pattern on the board, grown by `grow` mm."""
        o = _pattern.outline(self.pattern, self.cols, self.rows, self.square)
        return o[0, 0] - grow, o[0, 1] - grow, o[2, 0] + grow, o[2, 1] + grow

    def _pose(self, rx, ry, rz, centre):
        """The pose whose board centre sits at `centre` (camera frame)."""
        R = _rotation(rx, ry, rz)
        c = self.object_points().mean(axis=0)
        return Pose(R, np.asarray(centre, dtype=np.float64) - R @ c)

    def _board_fits(self, pose, margin):
        """The whole print (the pattern's outer outline) inside the raw image."""
        x0, y0, x1, y1 = self._print_outline()
        edge = np.array([[x0, y0, 0], [x1, y0, 0], [x1, y1, 0], [x0, y1, 0]], dtype=np.float64)
        t = np.linspace(0, 1, 12)[:, None]
        border = np.concatenate([a + t * (b - a) for a, b in zip(edge, np.roll(edge, -1, 0))])
        cam = border @ pose.R.T + pose.t
        if np.any(cam[:, 2] <= 10):
            return False
        x, y = self.project(cam)
        return bool(np.all((x > margin) & (x < self.width - 1 - margin)
                           & (y > margin) & (y < self.height - 1 - margin)))

    def view_poses(self, n, seed=None):
        """`n` varied board poses for camera calibration (tilts up to about 35 degrees, the
        whole board inside the image)."""
        rng = np.random.default_rng(self.seed if seed is None else seed)
        f = self.camera_matrix[0, 0]
        x0, _, x1, _ = self._print_outline()
        base = 1.45 * f * (x1 - x0) / self.width          # the print ~ 2/3 of the width
        poses = []
        while len(poses) < n:
            rx, ry = rng.uniform(-35, 35, 2)
            rz = rng.uniform(-20, 20)
            z = base * rng.uniform(0.85, 1.25)
            half = z * self.width / f / 2
            centre = (rng.uniform(-0.25, 0.25) * half, rng.uniform(-0.2, 0.2) * half, z)
            pose = self._pose(rx, ry, rz, centre)
            if self._board_fits(pose, 4):
                poses.append(pose)
        return poses

    def laser_poses(self, n, seed=None):
        """`n` board poses crossed by the laser sheet: depths spread around the sheet's
        crossing with the optical axis, tilts up to about 25 degrees, the stripe running
        across the board at 30 degrees or more to it."""
        rng = np.random.default_rng((self.seed if seed is None else seed) + 1000)
        nx, ny, nz = self.plane_normal
        poses = []
        f = self.camera_matrix[0, 0]
        zs = np.linspace(0.9, 1.1, n) * self.axis_crossing
        for z in zs:
            for _ in range(500):
                rx, ry = rng.uniform(-25, 25, 2)
                rz = rng.uniform(-10, 10)
                x = rng.uniform(-0.1, 0.1) * z * self.width / f
                y = (self.plane_offset - nx * x - nz * z) / ny        # on the sheet
                y += rng.uniform(-0.2, 0.2) * np.ptp(self.object_points()[:, 1])
                pose = self._pose(rx, ry, rz, (x, y, z))
                # the sheet meets the board at 30 degrees or more, as on a real rig
                steep = abs(pose.normal @ self.plane_normal) < math.cos(math.radians(30))
                if steep and self._board_fits(pose, 4):
                    poses.append(pose)
                    break
            else:
                raise RuntimeError("no laser pose fits the image; use a larger image")
        return poses

    def _hits(self, pose):
        """Board coordinates (X, Y) and camera-frame points of every subsample ray."""
        rx, ry = self.rays()
        n, t = pose.normal, pose.t
        s = (n @ t) / (n[0] * rx + n[1] * ry + n[2])
        px, py, pz = s * rx, s * ry, s
        R = pose.R
        dx, dy, dz = px - t[0], py - t[1], pz - t[2]
        bx = R[0, 0] * dx + R[1, 0] * dy + R[2, 0] * dz
        by = R[0, 1] * dx + R[1, 1] * dy + R[2, 1] * dz
        return bx, by, (px, py, pz), s > 0

    def _albedo(self, bx, by, front):
        """Reflectance (as grey level) of the board at board coordinates: the print's edges
        blurred by `edge_blur` mm (a tanh profile, as a lens and the print blur them), so
        that pixel sampling adds no aliasing; a white margin of one spacing around the print;
        the ground beyond."""
        s = self.square
        x0, y0, x1, y1 = self._print_outline()
        inside = (bx >= x0) & (bx <= x1) & (by >= y0) & (by <= y1)
        if self.pattern == "chessboard":
            k = s / (math.pi * self.edge_blur)
            g = np.tanh(k * np.sin(math.pi * bx / s)) * np.tanh(k * np.sin(math.pi * by / s))
        else:       # dark circles on white: g = -1 inside a circle, +1 outside
            d = self._circle_distance(bx, by)
            g = np.tanh((d - self.circle_radius) / self.edge_blur)
        val = 0.5 * (self.white + self.black) - 0.5 * (self.white - self.black) * g
        if self.pattern != "chessboard":
            val = self.white + self.black - val                   # circles dark
        x0, y0, x1, y1 = self._print_outline(s)
        margin = (bx >= x0) & (bx <= x1) & (by >= y0) & (by <= y1)
        return np.where(front & inside, val, np.where(front & margin, self.white, self.ground))

    def _circle_distance(self, bx, by):
        """Distance (mm) from board points to the nearest circle centre of the grid."""
        s = self.square
        d = np.full(bx.shape, np.inf)
        i0 = np.round(by / s)
        for di in (-1.0, 0.0, 1.0):           # the nearest circle is in one of three rows
            i = np.clip(i0 + di, 0, self.rows - 1)
            if self.pattern == "acircles":
                odd = i % 2
                j = np.clip(np.round((bx / s - odd) / 2), 0, self.cols - 1)
                cx = (2 * j + odd) * s
            else:
                cx = np.clip(np.round(bx / s), 0, self.cols - 1) * s
            d = np.minimum(d, np.hypot(bx - cx, by - i * s))
        return d

    def _finish(self, img, rng):
        img = img + rng.normal(0.0, self.noise, img.shape) if self.noise > 0 else img
        return np.clip(np.round(img), 0, 255).astype(np.uint8)

    def render_board(self, pose, laser=None, laser_on=True, ambient=None, power=100.0, seed=0,
                     wall=None):
        """The raw frame of the board in `pose`. `laser` None: a grey view of the board;
        "gray", "red" or "green": the laser sheet lights a stripe on the board (unless
        `laser_on` is false: the laser-off frame of the same pose); colour lasers give BGR
        frames. `ambient` scales the board's lighting (default 1 for views, 0.6 for laser
        frames), `power` is the stripe's peak on white (above 255 it saturates). `wall`: a
        wall facing the camera that many mm behind the board's centre, on which the
        stripe continues beyond the board (a stripe off the target)."""
        if ambient is None:
            ambient = 1.0 if laser is None else 0.6
        rng = np.random.default_rng([self.seed, seed, 1 if laser_on else 0])
        bx, by, (px, py, pz), front = self._hits(pose)
        albedo = self._albedo(bx, by, front)
        base = (ambient * albedo).mean(axis=0)
        if laser is None:
            return self._finish(base, rng)
        if laser_on:
            n = self.plane_normal
            dist = n[0] * px + n[1] * py + n[2] * pz - self.plane_offset
            on_board = albedo != self.ground      # the ground beyond the target stays dark
            lit = power * albedo / self.white * on_board
            if wall is not None:
                z = float((pose.R @ self.object_points().mean(axis=0) + pose.t)[2]) + wall
                rx, ry = self.rays()
                dist = np.where(on_board, dist, n[0] * z * rx + n[1] * z * ry + n[2] * z
                                - self.plane_offset)
                lit = np.where(on_board, lit, power * self.ground / self.white)
            stripe = (lit * np.exp(-0.5 * (dist / self.stripe_sigma) ** 2)).mean(axis=0)
        else:
            stripe = np.zeros_like(base)
        if laser == "gray":
            return self._finish(base + stripe, rng)
        chans = [base, base, base]
        chans[2 if laser == "red" else 1] = base + stripe
        return np.dstack([self._finish(c, rng) for c in chans])

    # --- the board on a turntable -----------------------------------------------------

    def turntable_axis(self):
        """The default turntable's axis (a turntable.Axis, camera frame): the table's
        centre 350 mm along the optical axis, its axis pointing up out of the table and
        tilted 45 degrees towards the camera, as a camera looking down at the table sees
        it."""
        from .turntable import Axis
        up = np.array([0.0, -math.cos(math.radians(45.0)), -math.sin(math.radians(45.0))])
        return Axis(np.array([0.0, 0.0, 350.0]), up)

    def turntable_poses(self, n, span_deg, axis=None, offset=(12.0, 7.0)):
        """`n` poses of the board lying on a turntable (its print facing up, its centre
        `offset` mm from the axis in the table's plane), the table turned by
        linspace(0, span_deg, n) degrees from the first pose about `axis` (a
        turntable.Axis, right-handed about its direction; default turntable_axis()). The
        turns are centred on the board's home pose, so that the board stays in view."""
        axis = self.turntable_axis() if axis is None else axis
        a = np.asarray(axis.point, dtype=np.float64)
        u = np.asarray(axis.direction, dtype=np.float64)
        u = u / np.linalg.norm(u)
        # The board's z axis points into the table (away from the camera, as in view_poses).
        bz = -u
        bx = np.array([1.0, 0.0, 0.0]) - bz[0] * bz
        bx /= np.linalg.norm(bx)
        home = np.stack([bx, np.cross(bz, bx), bz], axis=1)
        centre = a + offset[0] * home[:, 0] + offset[1] * home[:, 1]
        t_home = centre - home @ self.object_points().mean(axis=0)
        poses = []
        for angle in np.linspace(-0.5 * span_deg, 0.5 * span_deg, int(n)):
            turn = cv2.Rodrigues(u * math.radians(angle))[0]
            pose = Pose(turn @ home, turn @ (t_home - a) + a)
            if not self._board_fits(pose, 4):
                raise RuntimeError(f"the board turned by {angle:.1f} degrees leaves the image; "
                                   "give a smaller span or another axis")
            poses.append(pose)
        return poses

    # --- the lit section --------------------------------------------------------------

    def plane_frame(self):
        """Origin (where the sheet crosses the optical axis) and two orthonormal in-plane
        directions (u along camera x as far as possible, v = n x u) of the laser sheet."""
        n = self.plane_normal
        u = np.array([1.0, 0.0, 0.0]) - n[0] * n
        u /= np.linalg.norm(u)
        v = np.cross(n, u)
        return np.array([0.0, 0.0, self.axis_crossing]), u, v

    def render_section(self, semi_axes=(40.0, 25.0), angle=30.0, centre=(0.0, 0.0),
                       laser="gray", lit=210.0, dark=25.0, seed=0):
        """The raw frame of an elliptical object lying in the laser sheet and lit by it (the
        section): semi-axes (mm), the long axis at `angle` degrees from the plane frame's u
        towards v, centred at `centre` (mm, in (u, v)) from the frame's origin; bright on
        a dark ground. Colour lasers give BGR frames lit in their channel."""
        rng = np.random.default_rng([self.seed, seed, 99])
        rx, ry = self.rays()
        o, u, v = self.plane_frame()
        n = self.plane_normal
        s = (n @ o) / (n[0] * rx + n[1] * ry + n[2])
        px, py, pz = s * rx - o[0], s * ry - o[1], s - o[2]
        pu = u[0] * px + u[1] * py + u[2] * pz - centre[0]
        pv = v[0] * px + v[1] * py + v[2] * pz - centre[1]
        c, sn = math.cos(math.radians(angle)), math.sin(math.radians(angle))
        a, b = semi_axes
        inside = ((c * pu + sn * pv) / a) ** 2 + ((-sn * pu + c * pv) / b) ** 2 <= 1.0
        img = np.where(inside & (s > 0), lit, dark).mean(axis=0)
        if laser == "gray":
            return self._finish(img, rng)
        chans = [np.full(img.shape, dark), np.full(img.shape, dark), np.full(img.shape, dark)]
        chans[2 if laser == "red" else 1] = img
        return np.dstack([self._finish(ch, rng) for ch in chans])

    # --- files ------------------------------------------------------------------------

    @staticmethod
    def _write(path, img):
        write_image(path, img)
        return path

    def write_views(self, folder, n=12, prefix="view", seed=None):
        """`n` chessboard views as PNG files in `folder`; returns their paths."""
        os.makedirs(folder, exist_ok=True)
        return [self._write(os.path.join(folder, f"{prefix}{i:02d}.png"),
                            self.render_board(p, seed=i))
                for i, p in enumerate(self.view_poses(n, seed))]

    def write_laser_frames(self, folder, n=6, laser="red", background=True, prefix="laser",
                           poses=None, **render):
        """`n` stripe-on-target frames (and, with `background`, the laser-off frame of each
        pose) as PNG files in `folder`; returns (on_paths, off_paths or [])."""
        os.makedirs(folder, exist_ok=True)
        poses = self.laser_poses(n) if poses is None else poses
        on, off = [], []
        for i, p in enumerate(poses):
            on.append(self._write(os.path.join(folder, f"{prefix}{i:02d}.png"),
                                  self.render_board(p, laser, True, seed=i, **render)))
            if background:
                off.append(self._write(os.path.join(folder, f"{prefix}{i:02d}_off.png"),
                                       self.render_board(p, laser, False, seed=i, **render)))
        return on, off

    def write_true_calibration(self, path):
        """The calibration file of the rig's true intrinsics (calibfile.write_calibration)."""
        from .calibfile import write_calibration
        return write_calibration(path, self.camera_matrix, self.dist_coeffs, self.image_size,
                                 pixel_size=self.pixel_size, pattern="synthetic truth")

    def plane_error(self, normal, point_on_plane, at):
        """(angle between `normal` and the true normal in degrees, distance in mm along the
        true normal between the fitted plane and the true plane at the point `at`)."""
        n = np.asarray(normal, dtype=np.float64)
        n = n / np.linalg.norm(n)
        ang = math.degrees(math.acos(min(1.0, abs(float(n @ self.plane_normal)))))
        at = np.asarray(at, dtype=np.float64)
        q = at - ((at - np.asarray(point_on_plane)) @ n) * n     # `at` onto the fitted plane
        return ang, float(q @ self.plane_normal - self.plane_offset)


# --- a second rig: 1920 x 1080 with the library's own lens model --------------------------

class LensRig:
    """A 1920 x 1080 rig whose lens follows the library's own simple model rather than
    OpenCV's: a pinhole camera (focus and pixel pitch in mm) with one radial coefficient,
    a laser sheet at a known tilt, flat targets facing the camera at known depths, and an
    elliptical section lying in the sheet. It writes its calibration file in the form the
    library's loader takes with a "shift" (the map stored with an offset) and renders what
    the camera sees (raw, distorted, grey frames). The scripts' demo on real files, its
    tests and the pipeline benchmark use it.

        lens = LensRig()
        lens.write_calibration(path)
        sight = lens.sight_of_raw_pixels()
        img = lens.render_stripe(sight, 550.0, rng)       # the stripe on a target
        img = lens.render_section(sight, rng)              # the lit section
    """

    FOCUS = 8.0             # mm
    PIXEL = 0.0048          # mm, square pixels
    H, W = 1080, 1920
    CENTER_ROW, CENTER_COL = (H - 1) / 2, (W - 1) / 2
    K1 = 0.08               # radial distortion per squared normalised radius
    SHIFT = 3.0             # the calibration file stores its map with this offset

    # The laser sheet: a plane through PLANE_POINT with unit normal PLANE_NORMAL (camera
    # frame).
    PLANE_POINT = np.array([0.0, 0.0, 600.0])
    PLANE_NORMAL = np.array([0.05, -0.6, 0.8]) / np.linalg.norm([0.05, -0.6, 0.8])
    TARGET_DEPTHS = (500.0, 550.0, 675.0, 725.0)   # mm; flat targets facing the camera

    # The section: an ellipse in the laser plane (semi-axes in mm, angle in the plane).
    SECTION_SEMI_AXES = (45.0, 28.0)
    SECTION_ANGLE = math.radians(25.0)

    @property
    def camera(self):
        """The library's five camera arguments (a camera.Camera)."""
        from .camera import Camera
        return Camera(self.FOCUS, self.PIXEL, self.PIXEL, self.CENTER_ROW, self.CENTER_COL)

    def distort(self, rows, cols):
        """Raw (distorted) pixel position of ideal pixel positions."""
        dr, dc = rows - self.CENTER_ROW, cols - self.CENTER_COL
        k = 1.0 + self.K1 * (dr * dr + dc * dc) * (self.PIXEL / self.FOCUS) ** 2
        return self.CENTER_ROW + dr * k, self.CENTER_COL + dc * k

    def undistort(self, rows, cols, iterations=8):
        """Ideal pixel position of raw pixel positions (fixed-point inversion of distort)."""
        ir, ic = rows.astype(np.float64), cols.astype(np.float64)
        for _ in range(iterations):
            dr, dc = ir - self.CENTER_ROW, ic - self.CENTER_COL
            k = 1.0 + self.K1 * (dr * dr + dc * dc) * (self.PIXEL / self.FOCUS) ** 2
            ir = self.CENTER_ROW + (rows - self.CENTER_ROW) / k
            ic = self.CENTER_COL + (cols - self.CENTER_COL) / k
        return ir, ic

    def calibration(self):
        """The bilinear map of the lens: upper-left flat source index and four fixed-point
        weights (65535 = 1) for every corrected pixel."""
        rows, cols = np.mgrid[0:self.H, 0:self.W].astype(np.float64)
        sr, sc = self.distort(rows, cols)
        fr, fc = np.floor(sr), np.floor(sc)
        ar, ac = sr - fr, sc - fc
        maparray = fr * self.W + fc
        weights = [(1 - ar) * (1 - ac), (1 - ar) * ac, ar * (1 - ac), ar * ac]
        weights = [np.floor(65535 * w).astype(np.uint16) for w in weights]
        return maparray, weights

    def write_calibration(self, path):
        """The calibration file: the map with the loader's "shift" offset, the weights and
        a "param" record of the lens."""
        maparray, (w1, w2, w3, w4) = self.calibration()
        offset = self.SHIFT * self.SHIFT / 2.0 + 7.0 * self.SHIFT + 5
        record = {"focus": self.FOCUS, "pixel": self.PIXEL, "k1": self.K1,
                  "size": (self.H, self.W)}
        with atomic_output(path) as f:
            pickle.dump({"param": record, "map": maparray + offset, "shift": self.SHIFT,
                         "w1": w1, "w2": w2, "w3": w3, "w4": w4}, f, protocol=4)

    def sight_of_raw_pixels(self):
        """Unit lines of sight (H x W x 3) of every raw pixel centre."""
        rows, cols = np.mgrid[0:self.H, 0:self.W].astype(np.float64)
        ir, ic = self.undistort(rows, cols)
        d = np.stack([(ic - self.CENTER_COL) * self.PIXEL, (ir - self.CENTER_ROW) * self.PIXEL,
                      np.full(ir.shape, self.FOCUS)], axis=-1)
        return d / np.linalg.norm(d, axis=-1, keepdims=True)

    def plane_frame(self):
        """Two orthonormal in-plane directions of the laser plane."""
        u = np.cross(self.PLANE_NORMAL, [1.0, 0.0, 0.0])
        u /= np.linalg.norm(u)
        v = np.cross(self.PLANE_NORMAL, u)
        return u, v

    def section_centre(self):
        """Where the laser plane crosses the optical axis."""
        return np.array([0.0, 0.0, self.PLANE_NORMAL @ self.PLANE_POINT / self.PLANE_NORMAL[2]])

    def render_stripe(self, sight, depth, rng, dash=14.0, gap=9.0, outliers=6):
        """The laser line on a flat target at `depth`, as a dashed stripe (speckle breaks it
        into blobs), with sensor noise and a few stray reflections."""
        t = depth / sight[..., 2]
        p = sight * t[..., None]                               # target point of every pixel
        dist = (p - self.PLANE_POINT) @ self.PLANE_NORMAL      # mm from the laser sheet
        px = depth * self.PIXEL / self.FOCUS                   # mm per pixel on the target
        along = p[..., 0] / px                                 # along the stripe, pixels
        on_dash = np.mod(along, dash + gap) < dash
        profile = np.clip(1.6 - np.abs(dist) / px / 1.2, 0.0, 1.0)
        img = 230.0 * profile * on_dash
        for _ in range(outliers):                              # reflections off the line
            r, c = rng.integers(60, self.H - 60), rng.integers(60, self.W - 60)
            img[r - 3:r + 4, c - 3:c + 4] = 220.0
        img += rng.normal(0.0, 4.0, img.shape)
        return np.clip(img, 0, 255).astype(np.uint8)

    def render_section(self, sight, rng):
        """The lit section: an ellipse lying in the laser plane, bright on a dark ground."""
        n = self.PLANE_NORMAL
        t = (n @ self.PLANE_POINT) / (sight @ n)
        p = sight * t[..., None] - self.section_centre()
        u, v = self.plane_frame()
        a, b = self.SECTION_SEMI_AXES
        cu, su = math.cos(self.SECTION_ANGLE), math.sin(self.SECTION_ANGLE)
        x, y = p @ u, p @ v
        xe, ye = cu * x + su * y, -su * x + cu * y
        inside = (xe / a) ** 2 + (ye / b) ** 2 <= 1.0
        img = np.where(inside, 210.0, 25.0) + rng.normal(0.0, 4.0, inside.shape)
        return np.clip(img, 0, 255).astype(np.uint8)

    def region_masks(self):
        """The two stripe regions: the left and the right part of the frame, apart from a
        band in the middle."""
        m1 = np.zeros((self.H, self.W), np.uint8)
        m2 = np.zeros((self.H, self.W), np.uint8)
        m1[:, 40:900] = 255
        m2[:, 1020:self.W - 40] = 255
        return m1, m2

    def true_plane_angle_deg(self, normal):
        """Angle (degrees) between `normal` and the sheet's true normal."""
        return math.degrees(math.acos(min(1.0, abs(float(np.dot(normal, self.PLANE_NORMAL))))))


# --- scanned objects: surfaces lit by the rig's laser sheet while they move ---------------

class Sphere:
    """A sphere of `radius` mm about `centre` (camera frame of frame 0)."""

    def __init__(self, centre, radius, albedo=180.0):
        self.centre = np.asarray(centre, dtype=np.float64)
        self.radius = float(radius)
        self.albedo = float(albedo)

    def hit(self, o, d):
        """Ray parameter of the first hit of the rays o + s d (o a 3-vector, d 3 arrays),
        inf where a ray misses."""
        oc = o - self.centre
        a = d[0] * d[0] + d[1] * d[1] + d[2] * d[2]
        b = 2.0 * (d[0] * oc[0] + d[1] * oc[1] + d[2] * oc[2])
        disc = b * b - 4.0 * a * (oc @ oc - self.radius ** 2)
        s = (-b - np.sqrt(np.maximum(disc, 0.0))) / (2.0 * a)
        return np.where((disc >= 0) & (s > 0), s, np.inf)

    def distance(self, points):
        """Distance (mm) of N x 3 points to the surface."""
        return np.abs(np.linalg.norm(np.asarray(points) - self.centre, axis=1) - self.radius)


class Step:
    """A step on a flat base: the base plane through `origin` with unit normal `up`; where
    (p - origin) . `across` >= 0 the surface stands `height` mm higher, joined by a riser.
    All in the camera frame of frame 0."""

    def __init__(self, origin, up, across, height, albedo=150.0):
        self.origin = np.asarray(origin, dtype=np.float64)
        self.up = np.asarray(up, dtype=np.float64) / np.linalg.norm(up)
        a = np.asarray(across, dtype=np.float64)
        a = a - (a @ self.up) * self.up
        self.across = a / np.linalg.norm(a)
        self.height = float(height)
        self.albedo = float(albedo)

    def _coords(self, p):
        q = [p[i] - self.origin[i] for i in range(3)]
        return (sum(q[i] * self.across[i] for i in range(3)),
                sum(q[i] * self.up[i] for i in range(3)))

    def hit(self, o, d):
        best = np.full(d[0].shape, np.inf)
        for normal, level, inside in ((self.up, 0.0, lambda u, z: u < 0),
                                      (self.up, self.height, lambda u, z: u >= 0),
                                      (self.across, 0.0,
                                       lambda u, z: (z >= 0) & (z <= self.height))):
            den = d[0] * normal[0] + d[1] * normal[1] + d[2] * normal[2]
            with np.errstate(divide="ignore", invalid="ignore"):
                s = (level - (o - self.origin) @ normal) / den
            u, z = self._coords([o[i] + s * d[i] for i in range(3)])
            ok = (s > 0) & np.isfinite(s) & inside(u, z)
            best = np.where(ok & (s < best), s, best)
        return best

    def distance(self, points):
        u, z = self._coords(np.asarray(points, dtype=np.float64).T)
        lower = np.hypot(np.maximum(u, 0.0), z)
        upper = np.hypot(np.maximum(-u, 0.0), z - self.height)
        riser = np.hypot(u, np.maximum.reduce([np.zeros_like(z), -z, z - self.height]))
        return np.minimum(np.minimum(lower, upper), riser)


def turned(point, direction, degrees):
    """The motion (R, t) of a turn by `degrees` about the axis through `point` along the unit
    `direction` (right-hand rule): a point p of frame 0 is at R p + t."""
    d = np.asarray(direction, dtype=np.float64)
    R = cv2.Rodrigues((math.radians(degrees) * d / np.linalg.norm(d)).reshape(3, 1))[0]
    p = np.asarray(point, dtype=np.float64)
    return R, p - R @ p


def moved(direction, mm):
    """The motion (R, t) of a slide by `mm` along the unit `direction`."""
    d = np.asarray(direction, dtype=np.float64)
    return np.eye(3), mm * d / np.linalg.norm(d)


def render_scan_frame(rig, shapes, motion=None, laser="red", laser_on=True, power=170.0,
                      ambient=0.5, ground=25.0, seed=0):
    """The raw frame of `shapes` (Sphere, Step, Cylinder; frame-0 placement) moved by `motion` (R, t;
    None: not moved), lit by `rig`'s laser sheet as render_board lights the board: the
    stripe exp(-0.5 (distance to the sheet / stripe_sigma)^2) times the albedo, over
    `ambient` light; rays that meet nothing see a dark `ground`. BGR for a colour laser."""
    R, t = (np.eye(3), np.zeros(3)) if motion is None else motion
    rng = np.random.default_rng([rig.seed, seed, 5 if laser_on else 4])
    rx, ry = rig.rays()
    one = np.ones_like(rx)
    # Rays in the frame-0 placement: from R^T (0 - t) along R^T (rx, ry, 1); a hit at
    # parameter s is the camera-frame point s (rx, ry, 1) either way.
    o = R.T @ (-np.asarray(t, dtype=np.float64))
    d = [R[0, i] * rx + R[1, i] * ry + R[2, i] * one for i in range(3)]
    s = np.full(rx.shape, np.inf)
    albedo = np.full(rx.shape, ground)
    for shape in shapes:
        h = shape.hit(o, d)
        nearer = h < s
        s = np.where(nearer, h, s)
        albedo = np.where(nearer, shape.albedo, albedo)
    found = np.isfinite(s)
    base = (ambient * albedo).mean(axis=0)
    stripe = np.zeros_like(base)
    if laser_on:
        n = rig.plane_normal
        sf = np.where(found, s, 0.0)
        dist = sf * (n[0] * rx + n[1] * ry + n[2]) - rig.plane_offset
        stripe = (np.where(found, power * albedo / 255.0, 0.0)
                  * np.exp(-0.5 * (dist / rig.stripe_sigma) ** 2)).mean(axis=0)
    if laser == "gray":
        return rig._finish(base + stripe, rng)
    chans = [base, base, base]
    chans[2 if laser == "red" else 1] = base + stripe
    return np.dstack([rig._finish(c, rng) for c in chans])


def write_true_plane(rig, path):
    """plane.json of `rig`'s true laser sheet: fit_plane on points sampled on it (half a
    micrometre to either side, so that the fit's shift is finite)."""
    from torvel import torvel_class
    from .planefile import write_plane
    o, u, v = rig.plane_frame()
    g = np.random.default_rng(3).uniform(-60, 60, (400, 2))
    pts = o + g[:, :1] * u + g[:, 1:] * v
    pts[::2] += 5e-4 * rig.plane_normal
    pts[1::2] -= 5e-4 * rig.plane_normal
    fit = torvel_class().fit_plane(pts.copy(), 1.0)
    return write_plane(path, fit, [("truth", len(pts))], 5e-4, "synthetic truth")


class Cylinder:
    """A closed upright cylinder of `radius` mm: its bottom disc centred at `base`, its axis
    along the unit `axis` to its top disc `height` mm further (camera frame of frame 0). A
    sphere resting on it sits at top + its radius along `axis`."""

    def __init__(self, base, axis, radius, height, albedo=160.0):
        self.base = np.asarray(base, dtype=np.float64)
        self.axis = np.asarray(axis, dtype=np.float64) / np.linalg.norm(axis)
        self.radius = float(radius)
        self.height = float(height)
        self.albedo = float(albedo)

    @property
    def top(self):
        """The centre of the top disc."""
        return self.base + self.height * self.axis

    def _coords(self, p):
        """Height along the axis from the base and distance from the axis of the points
        p = (x, y, z) (arrays or numbers)."""
        q = [p[i] - self.base[i] for i in range(3)]
        h = sum(q[i] * self.axis[i] for i in range(3))
        r2 = sum(q[i] * q[i] for i in range(3)) - h * h
        return h, np.sqrt(np.maximum(r2, 0.0))

    def hit(self, o, d):
        """Ray parameter of the first hit of the rays o + s d (o a 3-vector, d 3 arrays),
        inf where a ray misses. Only the rays that meet the cylinder's bounding sphere are
        traced further (the object fills a small part of a frame)."""
        o = np.asarray(o, dtype=np.float64)
        oc = o - (self.base + 0.5 * self.height * self.axis)
        dd = d[0] * d[0] + d[1] * d[1] + d[2] * d[2]
        b = d[0] * oc[0] + d[1] * oc[1] + d[2] * oc[2]
        near = b * b - dd * (oc @ oc - self.radius ** 2 - (0.5 * self.height) ** 2) >= 0
        best = np.full(dd.shape, np.inf)
        best[near] = self._hit(o, [c[near] for c in d])
        return best

    def _hit(self, o, d):
        a = self.axis
        w = o - self.base
        wa = float(w @ a)
        wp = w - wa * a
        da = d[0] * a[0] + d[1] * a[1] + d[2] * a[2]
        dp = [d[i] - da * a[i] for i in range(3)]
        qa = dp[0] * dp[0] + dp[1] * dp[1] + dp[2] * dp[2]
        qb = 2.0 * (dp[0] * wp[0] + dp[1] * wp[1] + dp[2] * wp[2])
        qc = float(wp @ wp) - self.radius ** 2
        disc = qb * qb - 4.0 * qa * qc
        root = np.sqrt(np.maximum(disc, 0.0))
        best = np.full(da.shape, np.inf)
        with np.errstate(divide="ignore", invalid="ignore"):
            for s in ((-qb - root) / (2.0 * qa), (-qb + root) / (2.0 * qa)):    # the side
                h = wa + s * da
                ok = (disc >= 0) & (s > 0) & (h >= 0) & (h <= self.height)
                best = np.where(ok & (s < best), s, best)
            for level in (0.0, self.height):                                   # the discs
                s = (level - wa) / da
                r2 = sum((wp[i] + s * dp[i]) ** 2 for i in range(3))
                ok = (s > 0) & np.isfinite(s) & (r2 <= self.radius ** 2)
                best = np.where(ok & (s < best), s, best)
        return best

    def part_distances(self, points):
        """Distances (mm) of N x 3 points to the side, the top and the bottom disc (3 x N)."""
        h, r = self._coords(np.asarray(points, dtype=np.float64).T)
        out = np.maximum(r - self.radius, 0.0)
        side = np.hypot(r - self.radius, np.maximum.reduce([np.zeros_like(h), -h,
                                                            h - self.height]))
        return np.stack([side, np.hypot(out, h - self.height), np.hypot(out, h)])

    def distance(self, points):
        """Distance (mm) of N x 3 points to the surface."""
        return self.part_distances(points).min(axis=0)
