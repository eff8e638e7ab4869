// Bindings of the calibration file reader and the two undistortion methods.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "calib/undistort.h"
#include "support/error.h"
#include "surface/convert.h"
#include "surface/promotion.h"
#include "surface/registry.h"
#include "surface/unpickler.h"

namespace torvel::surface {
namespace {

// ---- the calibration file ----------------------------------------------------------

PyRef lookup(PyObject* dict, const char* key) {
  PyRef k = PyRef::check(PyUnicode_FromString(key));
  return PyRef::check(PyObject_GetItem(dict, k.get()));
}

// The stored map, or with "shift": map - (shift * shift / 2.0 + 7.0 * shift + 5).
PyRef unshifted_map(PyObject* dict) {
  PyRef key = PyRef::check(PyUnicode_FromString("shift"));
  const int has_shift = PySequence_Contains(dict, key.get());
  if (has_shift < 0) throw_python_error();
  if (!has_shift) return lookup(dict, "map");
  PyRef shift = lookup(dict, "shift");
  PyRef map = lookup(dict, "map");
  PyRef two = PyRef::check(PyFloat_FromDouble(2.0));
  PyRef seven = PyRef::check(PyFloat_FromDouble(7.0));
  PyRef five = PyRef::check(PyLong_FromLong(5));
  PyRef sq = numpy1_op(PyNumber_Multiply, shift.get(), shift.get());
  PyRef half = numpy1_op(PyNumber_TrueDivide, sq.get(), two.get());
  PyRef lin = numpy1_op(PyNumber_Multiply, seven.get(), shift.get());
  PyRef sum = numpy1_op(PyNumber_Add, half.get(), lin.get());
  PyRef offset = numpy1_op(PyNumber_Add, sum.get(), five.get());
  return numpy1_op(PyNumber_Subtract, map.get(), offset.get());
}

// ---- arrays ------------------------------------------------------------------------

// The element type the core reads in place, if the array's dtype is one of them.
std::optional<ElemType> elem_type(PyArrayObject* a) {
  const char kind = PyArray_DESCR(a)->kind;
  const npy_intp size = PyArray_ITEMSIZE(a);
  if (kind == 'i' || kind == 'u') {
    const bool u = kind == 'u';
    switch (size) {
      case 1: return u ? ElemType::U8 : ElemType::I8;
      case 2: return u ? ElemType::U16 : ElemType::I16;
      case 4: return u ? ElemType::U32 : ElemType::I32;
      case 8: return u ? ElemType::U64 : ElemType::I64;
      default: return std::nullopt;
    }
  }
  if (kind == 'f' && size == 4) return ElemType::F32;
  if (kind == 'f' && size == 8) return ElemType::F64;
  return std::nullopt;
}

bool whole_element_strides(PyArrayObject* a) {
  for (int i = 0; i < PyArray_NDIM(a); ++i) {
    if (PyArray_STRIDES(a)[i] % PyArray_ITEMSIZE(a) != 0) return false;
  }
  return true;
}

// obj as an array in its own dtype: a view when it is aligned, native and strided in whole
// elements, else a copy.
PyRef as_array(PyObject* obj, const char* argname) {
  PyObject* arr = PyArray_CheckFromAny(obj, nullptr, 0, 0,
                                       NPY_ARRAY_ALIGNED | NPY_ARRAY_NOTSWAPPED, nullptr);
  if (arr == nullptr) rethrow_naming(argname);
  PyRef a(arr);
  if (!whole_element_strides(a.array())) {
    a = PyRef::check(PyArray_NewCopy(a.array(), NPY_CORDER));
  }
  return a;
}

// astype(typenum) of an array whose dtype the core does not read in place.
PyRef cast(PyRef a, int typenum) {
  return PyRef::check(PyArray_CastToType(a.array(), PyArray_DescrFromType(typenum), 0));
}

// The image as contiguous uint8 pixels (other dtypes converted as astype(uint8) does);
// H and W are its first two dimensions.
PyRef image_array(Arg img, ImageView* view) {
  PyObject* arr = PyArray_FromAny(img.obj, PyArray_DescrFromType(NPY_UINT8), 0, 0,
                                  NPY_ARRAY_ALIGNED | NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_FORCECAST,
                                  nullptr);
  if (arr == nullptr) rethrow_naming(img.name);
  PyRef a(arr);
  if (PyArray_NDIM(a.array()) < 2) raise(PyExc_IndexError, "tuple index out of range");
  view->data = static_cast<const std::uint8_t*>(PyArray_DATA(a.array()));
  view->rows = PyArray_DIMS(a.array())[0];
  view->cols = PyArray_DIMS(a.array())[1];
  view->size = PyArray_SIZE(a.array());
  return a;
}

Strided2D map_view(PyArrayObject* a, ElemType type) {
  const npy_intp item = PyArray_ITEMSIZE(a);
  return {PyArray_DATA(a), type, PyArray_DIMS(a)[0], PyArray_DIMS(a)[1],
          PyArray_STRIDES(a)[0] / item, PyArray_STRIDES(a)[1] / item};
}

// A 2-D map, after the image checks that come first.
void require_2d_map(PyArrayObject* map, const ImageView& img) {
  const int nd = PyArray_NDIM(map);
  if (nd == 2) return;
  check_image_flattenable(img);
  raise(PyExc_ValueError, nd < 2 ? "not enough values to unpack (expected 2, got 1)"
                                        : "too many values to unpack (expected 2)");
}

// NumPy's way of writing a shape in a broadcast message: "(2,3)", "(5,)", "()".
std::string numpy_shape(const std::vector<npy_intp>& shape) {
  std::string s = "(";
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (i) s += ",";
    s += std::to_string(shape[i]);
  }
  if (shape.size() == 1) s += ",";
  return s + ")";
}

// a * b's shape, or NumPy's error for it.
std::vector<npy_intp> broadcast_pair(const std::vector<npy_intp>& a, const std::vector<npy_intp>& b) {
  const std::size_t nd = std::max(a.size(), b.size());
  std::vector<npy_intp> out(nd);
  for (std::size_t i = 0; i < nd; ++i) {
    const npy_intp da = i + a.size() >= nd ? a[i + a.size() - nd] : 1;
    const npy_intp db = i + b.size() >= nd ? b[i + b.size() - nd] : 1;
    if (da != db && da != 1 && db != 1) {
      raise(PyExc_ValueError, "operands could not be broadcast together with shapes " +
                                         numpy_shape(a) + " " + numpy_shape(b) + " ");
    }
    out[i] = da == 1 ? db : da;
  }
  return out;
}

PyObject* get_calib_res0_impl(PyObject* pkl_path) {
  PyRef dict = load_pickled(pkl_path);
  PyRef params = lookup(dict.get(), "param");
  PyRef map = unshifted_map(dict.get());
  return PyTuple_Pack(2, params.get(), map.get());
}

PyObject* get_calib_res_impl(PyObject* pkl_path) {
  PyRef dict = load_pickled(pkl_path);
  PyRef params = lookup(dict.get(), "param");
  PyRef w1 = lookup(dict.get(), "w1");
  PyRef w2 = lookup(dict.get(), "w2");
  PyRef w3 = lookup(dict.get(), "w3");
  PyRef w4 = lookup(dict.get(), "w4");
  PyRef map = unshifted_map(dict.get());
  return PyTuple_Pack(6, params.get(), map.get(), w1.get(), w2.get(), w3.get(), w4.get());
}

PyObject* undistortion_impl(Arg maparray, Arg image_arg) {
  PyRef map = as_array(maparray.obj, maparray.name);
  ImageView img;
  PyRef image = image_array(image_arg, &img);
  require_2d_map(map.array(), img);
  std::optional<ElemType> type = elem_type(map.array());
  if (!type || !is_integer(*type)) {
    check_image_flattenable(img);
    if (PyArray_DESCR(map.array())->kind == 'b') {
      raise(PyExc_TypeError, "maparray: a boolean map names no source pixels; expected integers");
    }
    raise(PyExc_IndexError, "arrays used as indices must be of integer (or boolean) type");
  }
  const Strided2D view = map_view(map.array(), *type);
  PyRef out = new_array(NPY_UINT8, {img.rows, img.cols});
  auto* o = static_cast<std::uint8_t*>(PyArray_DATA(out.array()));
  run_core(img.rows * img.cols, [&] { undistort_nearest(view, img, o); });
  return out.release();
}

// A weight as uint64 (in place when the core reads its dtype), with its element type.
struct Weight {
  PyRef array;
  ElemType type = ElemType::U64;
};

Weight weight_array(Arg w) {
  PyRef a = as_array(w.obj, w.name);
  std::optional<ElemType> type = elem_type(a.array());
  if (!type) {
    a = cast(std::move(a), NPY_UINT64);
    type = ElemType::U64;
  }
  return {std::move(a), *type};
}

// The four weights, each converted and broadcast in turn, and the shape of
// S = w1 * t1 + w2 * t2 + w3 * t3 + w4 * t4 for t of shape (H, W), or NumPy's error;
// weights that would widen the image itself are refused.
std::vector<npy_intp> bilinear_weights(const Arg (&given)[4], const ImageView& img,
                                       Weight (&weights)[4]) {
  const std::vector<npy_intp> hw{img.rows, img.cols};
  std::vector<npy_intp> shape;
  for (int k = 0; k < 4; ++k) {
    weights[k] = weight_array(given[k]);
    const std::vector<npy_intp> product = broadcast_pair(shape_of(weights[k].array.array()), hw);
    shape = k == 0 ? product : broadcast_pair(shape, product);
  }
  const std::size_t nd = shape.size();
  if (shape[nd - 2] != img.rows || shape[nd - 1] != img.cols) {
    raise(PyExc_NotImplementedError, "undistort_bilinear: weights that widen a " +
                                         numpy_shape(hw) + " image to " + numpy_shape(shape) +
                                         " are not supported");
  }
  return shape;
}

// The H x W view of a weight for slice l of the leading axes of `shape` (broadcast axes
// step 0).
Strided2D weight_slice(const Weight& w, const std::vector<npy_intp>& shape, npy_intp l,
                       const ImageView& img) {
  PyArrayObject* a = w.array.array();
  const int nd = static_cast<int>(shape.size());
  const int wd = PyArray_NDIM(a);
  const npy_intp item = PyArray_ITEMSIZE(a);
  auto* base = static_cast<const char*>(PyArray_DATA(a));
  npy_intp rest = l;
  for (int axis = nd - 3; axis >= 0; --axis) {
    const npy_intp idx = rest % shape[axis];
    rest /= shape[axis];
    const int waxis = axis - nd + wd;
    if (waxis >= 0 && PyArray_DIMS(a)[waxis] != 1) base += idx * PyArray_STRIDES(a)[waxis];
  }
  auto step = [&](int from_end) -> std::ptrdiff_t {
    const int waxis = wd - from_end;
    if (waxis < 0 || PyArray_DIMS(a)[waxis] == 1) return 0;
    return PyArray_STRIDES(a)[waxis] / item;
  };
  return {base, w.type, img.rows, img.cols, step(2), step(1)};
}

PyObject* undistort_bilinear_impl(Arg image_arg, Arg maparray, Arg weight1, Arg weight2,
                                  Arg weight3, Arg weight4) {
  // map1 = maparray.astype(np.int32); w = map1.shape[1]
  PyRef map = as_array(maparray.obj, maparray.name);
  std::optional<ElemType> map_type = elem_type(map.array());
  if (!map_type) {
    map = cast(std::move(map), NPY_INT32);
    map_type = ElemType::I32;
  }
  if (PyArray_NDIM(map.array()) < 2) raise(PyExc_IndexError, "tuple index out of range");
  ImageView img;
  PyRef image = image_array(image_arg, &img);
  require_2d_map(map.array(), img);
  const Strided2D map2d = map_view(map.array(), *map_type);
  check_bilinear_map(map2d, img);

  Weight weights[4];
  const std::vector<npy_intp> shape =
      bilinear_weights({weight1, weight2, weight3, weight4}, img, weights);

  // Leading axes (weights of more than two dimensions) repeat the image: one pass each.
  PyRef out = new_array(NPY_UINT8, shape);
  auto* o = static_cast<std::uint8_t*>(PyArray_DATA(out.array()));
  const npy_intp slices = size_of(shape) / std::max<npy_intp>(img.rows * img.cols, 1);
  const npy_intp total = size_of(shape);
  run_core(total, [&] {
    if (total == 0) return;
    for (npy_intp l = 0; l < slices; ++l) {
      Strided2D views[4];
      for (int k = 0; k < 4; ++k) views[k] = weight_slice(weights[k], shape, l, img);
      undistort_bilinear(map2d, img, views, o + l * img.rows * img.cols);
    }
  });
  return out.release();
}

// ---- registrations ----------------------------------------------------------------

const MethodSpec registrations[] = {
    method<get_calib_res0_impl>(
        0, "get_calib_res0",
        "Read a calibration file: the parameter record and the undistortion map.\n\n"
        "pkl_path: path of the pickled dictionary (keys \"param\", \"map\", optional \"shift\").\n"
        "Returns (params, maparray): params as stored; maparray H x W flat source indices, as\n"
        "stored (its dtype kept) or, with \"shift\", float64 minus shift*shift/2 + 7*shift + 5.",
        {"pkl_path"}),
    method<get_calib_res_impl>(
        1, "get_calib_res",
        "Read a calibration file: parameter record, map and the four bilinear weights.\n\n"
        "pkl_path: path of the pickled dictionary (keys \"param\", \"map\", \"w1\"..\"w4\", "
        "optional \"shift\").\n"
        "Returns (params, maparray, weight1, weight2, weight3, weight4): the map as in\n"
        "get_calib_res0, the H x W fixed-point weights (65535 = 1) as stored.",
        {"pkl_path"}),
    method<undistortion_impl>(
        9, "undistortion",
        "Correct lens distortion by gathering one source pixel per output pixel.\n\n"
        "maparray: integer map of flat source indices (at most H x W); img: H x W uint8 image.\n"
        "Returns the corrected H x W uint8 image; 0 where the map names no pixel.",
        {"maparray", "img"}),
    method<undistort_bilinear_impl>(
        10, "undistort_bilinear",
        "Correct lens distortion by fixed-point bilinear interpolation.\n\n"
        "img: H x W uint8 image; maparray: H x W upper-left flat indices (truncated to int32);\n"
        "weight1..weight4: weights broadcasting to H x W, 65535 = 1.\n"
        "Returns the corrected H x W uint8 image (sum / 65535 truncated, saturated at 255).",
        {"img", "maparray", "weight1", "weight2", "weight3", "weight4"}),
};

}  // namespace

std::span<const MethodSpec> calib_methods() { return registrations; }

}  // namespace torvel::surface
