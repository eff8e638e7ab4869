"""The module and class contract: bindings, method objects, argument binding, errors."""
import inspect
import subprocess
import sys
import traceback

import numpy
import pytest

import torvel

T = torvel.torvel_class

METHODS = [
    ("get_calib_res0", ["pkl_path"], None),
    ("get_calib_res", ["pkl_path"], None),
    ("distance_2pts", ["p1", "p2"], None),
    ("fit_plane", ["all_laser_3d_pts", "shift_ratio"], None),
    ("intersect_line_plane", ["vecpt0s", "vecpt1s", "p_cos", "p_nos", "epsion"], (1e-6,)),
    ("get_img_coord_from_3d_pts",
     ["x", "y", "z", "focus", "center_col", "center_row", "pixel_sizec", "pixel_sizer"], None),
    ("get_short_long_intersection", ["img", "margin_length"], (100,)),
    ("plot_ellipse",
     ["semimaj", "semimin", "phi", "x_cent", "y_cent", "theta_num", "ax", "plot_kwargs", "fill",
      "fill_kwargs", "data_out", "cov", "mass_level"],
     (1, 1, 0, 0, 0, 1e3, None, None, False, None, False, None, 0.68)),
    ("get_laser_line", ["mask1", "mask2", "th2", "direction"], None),
    ("undistortion", ["maparray", "img"], None),
    ("undistort_bilinear", ["img", "maparray", "weight1", "weight2", "weight3", "weight4"], None),
    ("get_line_of_sight_pts",
     ["rows", "cols", "focus", "pixel_sizer", "pixel_sizec", "center_row", "center_col"], None),
    ("from_cnt2cnt",
     ["xs", "ys", "focus", "pixel_sizer", "pixel_sizec", "center_row", "center_col",
      "p_cos_one_point", "RRa", "normal_vec"], None),
]


def test_namespace_binds_the_libraries_in_order():
    import cv2
    import imutils
    import math
    import pickle
    from scipy.stats import chi2
    from sklearn import linear_model

    names = [k for k in vars(torvel) if not k.startswith("__")]
    assert names == ["np", "LA", "linear_model", "cv2", "imutils", "math", "chi2", "pickle",
                     "torvel_class"]
    assert torvel.np is numpy and torvel.LA is numpy.linalg
    assert torvel.linear_model is linear_model and torvel.cv2 is cv2
    assert torvel.imutils is imutils and torvel.math is math
    assert torvel.chi2 is chi2 and torvel.pickle is pickle


def test_second_import_returns_the_same_module():
    import importlib
    assert importlib.import_module("torvel") is torvel
    del sys.modules["torvel"]
    try:
        again = importlib.import_module("torvel")
        assert again.torvel_class is not None
    finally:
        sys.modules["torvel"] = torvel


def test_failing_library_import_fails_the_module_import_and_a_retry_starts_afresh():
    code = (
        "import sys\n"
        "sys.modules['imutils'] = None\n"
        "try:\n"
        "    import torvel\n"
        "except ImportError as e:\n"
        "    print('failed', 'imutils' in str(e), 'torvel' in sys.modules)\n"
        "del sys.modules['imutils']\n"
        "import torvel\n"
        "print('ok', torvel.torvel_class().distance_2pts((0, 0), (3, 4)))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["failed", "True", "False", "ok", "5.0"]


def test_class_is_made_by_type_with_the_methods_in_table_order():
    assert type(T) is type and T.__bases__ == (object,)
    assert T.__module__ == "torvel" and T.__qualname__ == "torvel_class"
    methods = [k for k in vars(T) if not k.startswith("__")]
    assert methods == [m[0] for m in METHODS]
    assert vars(T()) == {}


@pytest.mark.parametrize("name,params,defaults", METHODS)
def test_method_objects_carry_names_defaults_and_signature(name, params, defaults):
    f = vars(T)[name]
    assert f.__name__ == name
    assert f.__qualname__ == "torvel_class." + name
    assert f.__module__ == "torvel"
    assert f.__defaults__ == defaults
    assert f.__doc__ and f.__doc__.strip()
    sig = inspect.signature(f)
    assert list(sig.parameters) == ["self"] + params
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    bound = getattr(T(), name)
    assert list(inspect.signature(bound).parameters) == params
    assert bound.__self__ is not None and bound.__func__ is f


def test_defaults_are_single_shared_objects():
    e = T.plot_ellipse.__defaults__
    assert e[2] is e[3] is e[4]            # 0
    assert e[0] is e[1]                    # 1
    assert e[6] is e[7] is e[9] is e[11] is None
    assert e[8] is e[10] is False
    assert T.plot_ellipse.__defaults__ is T.plot_ellipse.__defaults__
    assert T.get_short_long_intersection.__defaults__[0] == 100


def test_any_object_can_be_self():
    assert T.distance_2pts(object(), (0, 0), (3, 4)) == 5.0
    assert T.distance_2pts(None, p1=(0, 0), p2=(3, 4)) == 5.0


def test_help_shows_the_real_parameters():
    text = __import__("pydoc").render_doc(T.intersect_line_plane)
    assert "epsion=1e-06" in text


BINDING_ERRORS = [
    (lambda t: t.distance_2pts((0, 0)),
     "distance_2pts() takes exactly 3 positional arguments (2 given)"),
    (lambda t: t.distance_2pts(1, 2, 3),
     "distance_2pts() takes exactly 3 positional arguments (4 given)"),
    (lambda t: T.distance_2pts(),
     "distance_2pts() takes exactly 3 positional arguments (0 given)"),
    (lambda t: t.distance_2pts(p2=1),
     "distance_2pts() takes exactly 3 positional arguments (1 given)"),
    (lambda t: t.get_short_long_intersection(),
     "get_short_long_intersection() takes at least 2 positional arguments (1 given)"),
    (lambda t: t.get_short_long_intersection(1, 2, 3),
     "get_short_long_intersection() takes at most 3 positional arguments (4 given)"),
    (lambda t: t.get_short_long_intersection(1, 50, margin_length=80),
     "get_short_long_intersection() got multiple values for keyword argument 'margin_length'"),
    (lambda t: t.intersect_line_plane(1, 2, 3, 4, epsilon=1e-6),
     "intersect_line_plane() got an unexpected keyword argument 'epsilon'"),
    (lambda t: t.distance_2pts((0, 0), (1, 1), self=1),
     "distance_2pts() got multiple values for keyword argument 'self'"),
    (lambda t: t.plot_ellipse(*range(14)),
     "plot_ellipse() takes at most 14 positional arguments (15 given)"),
    (lambda t: T.distance_2pts(**{"self": 1, "p1": (0, 0), "p2": (0, 1), "p3": 2}),
     "distance_2pts() got an unexpected keyword argument 'p3'"),
]


@pytest.mark.parametrize("call,message", BINDING_ERRORS)
def test_binding_errors_use_the_interpreters_message_forms(call, message):
    with pytest.raises(TypeError) as info:
        call(T())
    assert str(info.value) == message


def test_keyword_binding_fills_by_name():
    t = T()
    assert t.distance_2pts(p2=(3, 4), p1=(0, 0)) == 5.0
    args = (numpy.zeros((1, 3)), numpy.array([[0, 0, 1.0]]), numpy.array([0, 0, 5.0]),
            numpy.array([0, 0, 1.0]))
    assert t.intersect_line_plane(*args, epsion=1e-6)[0, 2] == 5.0


def test_keywords_must_be_strings():
    # Only reachable through the C call protocol with a dict holding a non-string key.
    import ctypes
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    with pytest.raises(TypeError) as info:
        call(T.distance_2pts, (None, (0, 0), (3, 4)), {1: 2})
    assert "keywords must be strings" in str(info.value)


def entries(tb):
    return [(f.name, f.filename) for f in traceback.extract_tb(tb)]


@pytest.mark.parametrize("call", [
    lambda t: t.distance_2pts((0, 0)),              # binding
    lambda t: t.distance_2pts((0,), (3, 4)),         # in the body
])
def test_failures_add_the_method_traceback_entry(call):
    with pytest.raises(Exception) as info:
        call(T())
    assert ("torvel.torvel_class.distance_2pts", "test_bilinear/torvel") in entries(info.tb)


def test_results_are_new_objects_every_call():
    t = T()
    rows = numpy.arange(3.0)
    a = t.get_line_of_sight_pts(rows, rows, 8, 1, 1, 0, 0)
    b = t.get_line_of_sight_pts(rows, rows, 8, 1, 1, 0, 0)
    assert a is not b and not numpy.shares_memory(a, b)
