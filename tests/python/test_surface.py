"""The module and class contract: bindings, method objects, argument binding, errors."""
import ast
import inspect
import os
import subprocess
import sys
import traceback

import numpy
import pytest

import torvel

T = torvel.torvel_class

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")
PUBLIC = [k for k in vars(T) if not k.startswith("_")]


def stub_methods():
    """{name: [(parameter, default or NO_DEFAULT), ...]} of torvel_class in stubs/torvel.pyi,
    in the stub's order."""
    with open(os.path.join(ROOT, "stubs", "torvel.pyi")) as f:
        tree = ast.parse(f.read())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "torvel_class")
    out = {}
    for fn in cls.body:
        if isinstance(fn, ast.FunctionDef):
            names = [a.arg for a in fn.args.args]
            defaults = [ast.literal_eval(d) for d in fn.args.defaults]
            out[fn.name] = list(zip(names, [NO_DEFAULT] * (len(names) - len(defaults)) + defaults))
    return out


def readme_methods():
    """The same from the README's table of methods (without self)."""
    with open(os.path.join(ROOT, "README.md")) as f:
        text = f.read()
    table = text.split("## The methods", 1)[1].split("\n\n")[2]
    out = {}
    for row in table.splitlines()[2:]:
        name, args = [c.strip().strip("`") for c in row.strip("|").split("|")[:2]]
        params = []
        for arg in args.split(", "):
            p, _, d = arg.partition("=")
            params.append((p, ast.literal_eval(d) if d else NO_DEFAULT))
        out[name] = [("self", NO_DEFAULT)] + params
    return out


NO_DEFAULT = object()


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


def test_class_is_made_by_type():
    assert type(T) is type and T.__bases__ == (object,)
    assert T.__module__ == "torvel" and T.__qualname__ == "torvel_class"
    assert vars(T()) == {}


@pytest.mark.parametrize("documented", [stub_methods, readme_methods])
def test_methods_in_documented_order_with_documented_defaults_shared(documented):
    docs = documented()
    assert PUBLIC == list(docs)
    shared = {}
    for name in PUBLIC:
        f = vars(T)[name]
        sig = inspect.signature(f)
        got = [(p.name, NO_DEFAULT if p.default is p.empty else p.default)
               for p in sig.parameters.values()]
        # Equal values of one type: 1 is not 1.0 and False is not 0.
        assert [(p, type(d), d) for p, d in got] == [(p, type(d), d) for p, d in docs[name]], name
        assert f.__defaults__ == (tuple(d for _, d in got if d is not NO_DEFAULT) or None)
        for d in f.__defaults__ or ():
            assert shared.setdefault((type(d), d), d) is d, f"{name}: {d!r} is a second object"
    assert T.plot_ellipse.__defaults__ is T.plot_ellipse.__defaults__


@pytest.mark.parametrize("name", PUBLIC)
def test_method_objects_bind_like_functions(name):
    f = vars(T)[name]
    assert f.__name__ == name
    assert f.__qualname__ == "torvel_class." + name
    assert f.__module__ == "torvel"
    assert f.__doc__ and f.__doc__.strip()
    sig = inspect.signature(f)
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    bound = getattr(T(), name)
    assert list(inspect.signature(bound).parameters) == list(sig.parameters)[1:]
    assert bound.__self__ is not None and bound.__func__ is f


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


def test_methods_reach_cv2_through_their_own_module():
    # A 3-D th2 takes the laser line's cv2 path; the method must not look its module up
    # by name (a reloaded or unregistered module is not the one that made it).
    th2 = numpy.zeros((40, 60, 1), numpy.uint8)
    th2[18:21, 5:55] = 255
    mask = numpy.ones((40, 60), numpy.uint8)
    expected = T().get_laser_line(mask, mask, th2, 1)
    saved = sys.modules["torvel"]
    sys.modules["torvel"] = None
    try:
        got = T().get_laser_line(mask, mask, th2, 1)
    finally:
        sys.modules["torvel"] = saved
    assert all(numpy.array_equal(a, b) for a, b in zip(expected, got))
