#include "surface/methods.h"

#include <array>

namespace torvel::surface {
namespace {

using D = Default;

constexpr const char* calib0_params[] = {"self", "pkl_path"};
constexpr const char* calib_params[] = {"self", "pkl_path"};
constexpr const char* distance_params[] = {"self", "p1", "p2"};
constexpr const char* fit_plane_params[] = {"self", "all_laser_3d_pts", "shift_ratio"};
constexpr const char* intersect_params[] = {"self", "vecpt0s", "vecpt1s", "p_cos", "p_nos",
                                            "epsion"};
constexpr const char* img_coord_params[] = {"self",       "x",          "y",
                                            "z",          "focus",      "center_col",
                                            "center_row", "pixel_sizec", "pixel_sizer"};
constexpr const char* short_long_params[] = {"self", "img", "margin_length"};
constexpr const char* ellipse_params[] = {"self",   "semimaj",   "semimin",     "phi",
                                          "x_cent", "y_cent",    "theta_num",   "ax",
                                          "plot_kwargs", "fill", "fill_kwargs", "data_out",
                                          "cov",    "mass_level"};
constexpr const char* laser_params[] = {"self", "mask1", "mask2", "th2", "direction"};
constexpr const char* undistortion_params[] = {"self", "maparray", "img"};
constexpr const char* bilinear_params[] = {"self",    "img",     "maparray", "weight1",
                                           "weight2", "weight3", "weight4"};
constexpr const char* sight_params[] = {"self",        "rows",        "cols",      "focus",
                                        "pixel_sizer", "pixel_sizec", "center_row",
                                        "center_col"};
constexpr const char* cnt2cnt_params[] = {"self",       "xs",          "ys",
                                          "focus",      "pixel_sizer", "pixel_sizec",
                                          "center_row", "center_col",  "p_cos_one_point",
                                          "RRa",        "normal_vec"};

constexpr Default intersect_defaults[] = {D::Float1e_6};
constexpr Default short_long_defaults[] = {D::Int100};
constexpr Default ellipse_defaults[] = {D::Int1,  D::Int1,     D::Int0,  D::Int0,     D::Int0,
                                        D::Float1e3, D::None,  D::None,  D::False,    D::None,
                                        D::False, D::None,     D::Float0_68};

const std::array<MethodSpec, 13> table = {{
    {"get_calib_res0", calib0_params, {},
     "Read a calibration file: the parameter record and the undistortion map.\n\n"
     "pkl_path: path of the pickled dictionary (keys \"param\", \"map\", optional \"shift\").\n"
     "Returns (params, maparray): params as stored; maparray H x W flat source indices, as\n"
     "stored (its dtype kept) or, with \"shift\", float64 minus shift*shift/2 + 7*shift + 5.",
     get_calib_res0_impl},
    {"get_calib_res", calib_params, {},
     "Read a calibration file: parameter record, map and the four bilinear weights.\n\n"
     "pkl_path: path of the pickled dictionary (keys \"param\", \"map\", \"w1\"..\"w4\", "
     "optional \"shift\").\n"
     "Returns (params, maparray, weight1, weight2, weight3, weight4): the map as in\n"
     "get_calib_res0, the H x W fixed-point weights (65535 = 1) as stored.",
     get_calib_res_impl},
    {"distance_2pts", distance_params, {},
     "Euclidean distance of two points in their first two coordinates.\n\n"
     "p1, p2: indexable points (x, y, ...); further coordinates are ignored.\n"
     "Returns a float, in the points' unit.",
     distance_2pts_impl},
    {"fit_plane", fit_plane_params, {},
     "Fit the laser plane robustly to 3-D points and derive the plane frame.\n\n"
     "all_laser_3d_pts: N x 3 array, camera frame (mm); centred in place on the plane point O.\n"
     "shift_ratio: scale of the offset of p_cos_one_point along z.\n"
     "Returns (Phi [rad], normal_vec (3,), RRa (3, 3) camera->plane, RRa_inv, Ox_lpts, "
     "Oy_lpts,\nOz_lpts, p_cos_one_point (3,), mean_dist, shift), float64 throughout.",
     fit_plane_impl},
    {"intersect_line_plane", intersect_params, intersect_defaults,
     "Intersect line i with plane i for N lines at once.\n\n"
     "vecpt0s, vecpt1s: N x 3 first and second points of the lines (camera frame).\n"
     "p_cos, p_nos: N x 3 or (3,) plane points and normals; epsion: parallelism threshold.\n"
     "Returns N x 3 float64 points; a line parallel to its plane gives its first point.",
     intersect_line_plane_impl},
    {"get_img_coord_from_3d_pts", img_coord_params, {},
     "Project camera-frame 3-D points to integer pixel rows and columns.\n\n"
     "x, y, z: arrays of one shape (camera frame, mm); focus, pixel pitches in mm,\n"
     "center_col, center_row in pixels.\n"
     "Returns (row, col): int64 arrays of that shape, truncated toward zero.",
     get_img_coord_from_3d_pts_impl},
    {"get_short_long_intersection", short_long_params, short_long_defaults,
     "Measure the long and short axes of the first object of a mask through its centroid.\n\n"
     "img: H x W uint8 mask (non-zero = object); margin_length: pixels added to half the\n"
     "coarse extent for the later probes.\n"
     "Returns (pt_short, pt_long0, pt_long1, short_intersection, long_intersection, "
     "short_intersection_90): point pairs [[x, y], [x, y]] of int32 and lengths in pixels "
     "(float), or None when no contour encloses more than 100 pixels.",
     get_short_long_intersection_impl},
    {"plot_ellipse", ellipse_params, ellipse_defaults,
     "Outline of an ellipse from semi-axes and angle, or from a 2 x 2 covariance.\n\n"
     "semimaj, semimin, phi [rad], x_cent, y_cent; theta_num points (truncated to int);\n"
     "cov: 2 x 2 covariance replacing the axes and angle, scaled to enclose mass_level\n"
     "(None: the scale sqrt(2.279)). ax, plot_kwargs, fill, fill_kwargs, data_out: ignored.\n"
     "Returns (x, y): two float64 arrays of theta_num points, rows of one 2 x n array.",
     plot_ellipse_impl},
    {"get_laser_line", laser_params, {},
     "Extract the laser stripe: inlier centroids of the stripe blobs inside two masks.\n\n"
     "mask1, mask2: H x W region masks (any numeric dtype, taken modulo 256).\n"
     "th2: H x W uint8 thresholded image; direction: 1 fits rows as a function of columns,\n"
     "anything else columns as a function of rows.\n"
     "Returns (independent, dependent): float64 pixel coordinates of the inlier centroids.",
     get_laser_line_impl},
    {"undistortion", undistortion_params, {},
     "Correct lens distortion by gathering one source pixel per output pixel.\n\n"
     "maparray: integer map of flat source indices (at most H x W); img: H x W uint8 image.\n"
     "Returns the corrected H x W uint8 image; 0 where the map names no pixel.",
     undistortion_impl},
    {"undistort_bilinear", bilinear_params, {},
     "Correct lens distortion by fixed-point bilinear interpolation.\n\n"
     "img: H x W uint8 image; maparray: H x W upper-left flat indices (truncated to int32);\n"
     "weight1..weight4: weights broadcasting to H x W, 65535 = 1.\n"
     "Returns the corrected H x W uint8 image (sum / 65535 truncated, saturated at 255).",
     undistort_bilinear_impl},
    {"get_line_of_sight_pts", sight_params, {},
     "Unit lines of sight of pixels in the camera frame.\n\n"
     "rows, cols: pixel coordinates of one shape S; focus, pixel_sizer, pixel_sizec in mm;\n"
     "center_row, center_col in pixels.\n"
     "Returns a 3 x S float64 array of unit vectors (x, y, z along the first axis).",
     get_line_of_sight_pts_impl},
    {"from_cnt2cnt", cnt2cnt_params, {},
     "Map an image contour onto the laser plane as an integer contour in plane units.\n\n"
     "xs, ys: contour columns and rows (N); camera intrinsics as get_line_of_sight_pts;\n"
     "p_cos_one_point (3,), RRa (3, 3), normal_vec (3,) from fit_plane.\n"
     "Returns (crt N x 1 x 2 int32 in 1e-4 length units, hor_points2 3 x N float64, fx, fy\n"
     "int64, pts3d_contour N x 3 float64).",
     from_cnt2cnt_impl},
}};

}  // namespace

std::span<const MethodSpec> method_table() { return table; }

}  // namespace torvel::surface
