"""Measuring with one camera and a line laser (see torvel_class)."""
import math as math
import pickle as pickle
from typing import Any, List, Optional, Tuple

import numpy as np
import numpy.typing as npt
from numpy import linalg as LA

# The libraries the methods use, bound at import (untyped ones as Any).
linear_model: Any
cv2: Any
imutils: Any
chi2: Any

_Float = npt.NDArray[np.float64]
_Int = npt.NDArray[np.int64]
_Image = npt.NDArray[np.uint8]
_PointPair = List[List[np.int32]]

class torvel_class:
    def get_calib_res0(self, pkl_path: Any) -> Tuple[Any, npt.NDArray[Any]]: ...
    def get_calib_res(
        self, pkl_path: Any
    ) -> Tuple[Any, npt.NDArray[Any], npt.NDArray[Any], npt.NDArray[Any], npt.NDArray[Any], npt.NDArray[Any]]: ...
    def distance_2pts(self, p1: Any, p2: Any) -> float: ...
    def fit_plane(
        self, all_laser_3d_pts: npt.NDArray[Any], shift_ratio: float
    ) -> Tuple[float, _Float, _Float, _Float, float, float, float, _Float, float, float]: ...
    def intersect_line_plane(
        self, vecpt0s: npt.ArrayLike, vecpt1s: npt.ArrayLike, p_cos: npt.ArrayLike,
        p_nos: npt.ArrayLike, epsion: float = 1e-06
    ) -> _Float: ...
    def get_img_coord_from_3d_pts(
        self, x: npt.ArrayLike, y: npt.ArrayLike, z: npt.ArrayLike, focus: float,
        center_col: float, center_row: float, pixel_sizec: float, pixel_sizer: float
    ) -> Tuple[_Int, _Int]: ...
    def get_short_long_intersection(
        self, img: _Image, margin_length: float = 100
    ) -> Optional[Tuple[_PointPair, _PointPair, _PointPair, float, float, float]]: ...
    def plot_ellipse(
        self, semimaj: float = 1, semimin: float = 1, phi: float = 0, x_cent: float = 0,
        y_cent: float = 0, theta_num: float = 1e3, ax: Any = None, plot_kwargs: Any = None,
        fill: Any = False, fill_kwargs: Any = None, data_out: Any = False,
        cov: Optional[npt.ArrayLike] = None, mass_level: Optional[float] = 0.68
    ) -> Tuple[_Float, _Float]: ...
    def get_laser_line(
        self, mask1: npt.ArrayLike, mask2: npt.ArrayLike, th2: _Image, direction: Any
    ) -> Tuple[_Float, _Float]: ...
    def undistortion(self, maparray: npt.NDArray[np.integer[Any]], img: _Image) -> _Image: ...
    def undistort_bilinear(
        self, img: _Image, maparray: npt.NDArray[Any], weight1: npt.ArrayLike,
        weight2: npt.ArrayLike, weight3: npt.ArrayLike, weight4: npt.ArrayLike
    ) -> _Image: ...
    def get_line_of_sight_pts(
        self, rows: npt.ArrayLike, cols: npt.ArrayLike, focus: float, pixel_sizer: float,
        pixel_sizec: float, center_row: float, center_col: float
    ) -> _Float: ...
    def from_cnt2cnt(
        self, xs: npt.ArrayLike, ys: npt.ArrayLike, focus: float, pixel_sizer: float,
        pixel_sizec: float, center_row: float, center_col: float,
        p_cos_one_point: npt.ArrayLike, RRa: npt.ArrayLike, normal_vec: npt.ArrayLike
    ) -> Tuple[npt.NDArray[np.int32], _Float, _Int, _Int, _Float]: ...
