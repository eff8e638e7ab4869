// Undistortion of an 8-bit single-channel image through a flat-index lookup map:
// nearest-pixel gather and fixed-point bilinear interpolation, each one pass over the
// output. Maps and weights are read in their own element type through strided views,
// so no conversion copy is made. Both passes run their rows through cv::parallel_for_
// (cv::setNumThreads applies); every output pixel depends on nothing but its own
// inputs, so the result does not depend on the thread count.
#pragma once

#include <cstddef>
#include <cstdint>

namespace torvel {

// Element types a map or a weight array may hold.
enum class ElemType { U8, I8, U16, I16, U32, I32, U64, I64, F32, F64 };

bool is_integer(ElemType type);

// Read-only 2-D strided view in element units: element (r, c) is the ElemType value at
// data + (r * row_step + c * col_step) elements. Steps may be 0 (broadcast) or negative.
struct Strided2D {
  const void* data = nullptr;
  ElemType type = ElemType::I64;
  std::ptrdiff_t rows = 0;
  std::ptrdiff_t cols = 0;
  std::ptrdiff_t row_step = 0;
  std::ptrdiff_t col_step = 1;
};

// The raw image: rows x cols pixels, row-major and contiguous, so that pixel (r, c) is
// data[r * cols + c] and a flat index v names pixel (v div cols, v mod cols). size is the
// caller's element count (rows * cols for a single-channel image); any other count cannot
// be flattened to rows * cols pixels and is an error.
struct ImageView {
  const std::uint8_t* data = nullptr;
  std::ptrdiff_t rows = 0;
  std::ptrdiff_t cols = 0;
  std::ptrdiff_t size = 0;
};

// Nearest-pixel correction. With H, W the image size and N = H * W:
// out[r * W + c] = img.data[v] for v = map(r, c) when 0 <= v < N, else 0; output pixels
// outside the map's extent are 0. out holds H * W bytes, written completely.
// Errors, checked in this order before anything is written:
//  - img.size != N: Value, "cannot reshape array of size <size> into shape (<N>,)";
//  - a floating-point map: Index, "arrays used as indices must be of integer (or boolean)
//    type" (values are never rounded);
//  - a valid entry at a row r >= H: Index, "index <r> is out of bounds for axis 0 with size
//    <H>" (the first such entry in row-major order); otherwise a valid entry at a column
//    c >= W: Index, "index <c> is out of bounds for axis 1 with size <W>".
void undistort_nearest(const Strided2D& map, const ImageView& img, std::uint8_t* out);

// Bilinear correction in fixed point, 65535 standing for one. Per output pixel (r, c):
//  i1 = map(r, c) converted to int32 truncating toward zero (a real value that is NaN or
//       outside the int32 range gives INT32_MIN; an integer wider than 32 bits wraps);
//  i2 = i1 + 1, i3 = i1 + w, i4 = i2 + w in wrapping int32 arithmetic, w = map.cols;
//  tk = img.data[ik] when 0 <= ik < N, else 0 (also 0 outside the map's extent);
//  S  = w1*t1 + w2*t2 + w3*t3 + w4*t4 in wrapping uint64 arithmetic, where each weight is
//       converted to uint64: integers wrap (a negative weight becomes 2^64 + weight); reals
//       are truncated toward zero, negative ones wrap like the integer they truncate to,
//       [2^63, 2^64) converts exactly, NaN, -inf and values below -2^63 give 2^63, values
//       of 2^64 or more give 0 (the x86-64 conversion);
//  out = trunc(S / 65535.0), saturated at 255 (reached only when the weights of a pixel
//       sum above 65535 or wrap, i.e. outside the fixed-point model).
// weights[k] are H x W views of the weight arrays after broadcasting (their rows and cols
// are not read; a broadcast axis has step 0). Errors: as undistort_nearest for the image
// size, then the map bound checks of i1, i2, i3, i4 in that order (the first neighbour map
// with a valid entry beyond the image reports it). A real-valued map is not an error here.
void undistort_bilinear(const Strided2D& map, const ImageView& img, const Strided2D weights[4],
                        std::uint8_t* out);

// The image check alone: Value error unless img.size == img.rows * img.cols.
void check_image_flattenable(const ImageView& img);

// The bound checks of undistort_bilinear alone (the image size, then i1 ... i4), for
// callers that must report these errors before a failure of their own.
void check_bilinear_map(const Strided2D& map, const ImageView& img);

}  // namespace torvel
