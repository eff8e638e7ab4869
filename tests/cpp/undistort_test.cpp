#include "calib/undistort.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "support/error.h"
#include "expect_error.h"

namespace torvel {
namespace {

using testing::expect_error;

template <class T>
constexpr ElemType type_of() {
  if constexpr (std::is_same_v<T, std::uint8_t>) return ElemType::U8;
  if constexpr (std::is_same_v<T, std::int8_t>) return ElemType::I8;
  if constexpr (std::is_same_v<T, std::uint16_t>) return ElemType::U16;
  if constexpr (std::is_same_v<T, std::int16_t>) return ElemType::I16;
  if constexpr (std::is_same_v<T, std::uint32_t>) return ElemType::U32;
  if constexpr (std::is_same_v<T, std::int32_t>) return ElemType::I32;
  if constexpr (std::is_same_v<T, std::uint64_t>) return ElemType::U64;
  if constexpr (std::is_same_v<T, std::int64_t>) return ElemType::I64;
  if constexpr (std::is_same_v<T, float>) return ElemType::F32;
  return ElemType::F64;
}

template <class T>
struct Array2 {
  std::ptrdiff_t rows, cols;
  std::vector<T> data;
  Array2(std::ptrdiff_t r, std::ptrdiff_t c, T fill = T{})
      : rows(r), cols(c), data(static_cast<std::size_t>(r * c), fill) {}
  T& operator()(std::ptrdiff_t r, std::ptrdiff_t c) { return data[r * cols + c]; }
  Strided2D view() const { return {data.data(), type_of<T>(), rows, cols, cols, 1}; }
};

struct Image {
  std::ptrdiff_t rows, cols;
  std::vector<std::uint8_t> px;
  Image(std::ptrdiff_t r, std::ptrdiff_t c, unsigned seed = 1) : rows(r), cols(c), px(r * c) {
    std::mt19937 rng(seed);
    for (auto& p : px) p = static_cast<std::uint8_t>(1 + rng() % 255);  // never 0
  }
  ImageView view() const { return {px.data(), rows, cols, rows * cols}; }
  std::uint8_t at(std::int64_t flat) const { return px[flat]; }
};

template <class T>
std::vector<std::uint8_t> nearest(const Array2<T>& map, const Image& img) {
  std::vector<std::uint8_t> out(img.px.size(), 77);
  undistort_nearest(map.view(), img.view(), out.data());
  return out;
}

std::vector<std::uint8_t> bilinear(const Strided2D& map, const Image& img, const Strided2D w[4]) {
  std::vector<std::uint8_t> out(img.px.size(), 77);
  undistort_bilinear(map, img.view(), w, out.data());
  return out;
}

template <class T>
Strided2D broadcast(const T& value) {
  return {&value, type_of<T>(), 0, 0, 0, 0};
}

// ---- nearest-pixel gather ----

template <class T>
class NearestTyped : public ::testing::Test {};
using IntTypes = ::testing::Types<std::uint8_t, std::int8_t, std::uint16_t, std::int16_t,
                                  std::uint32_t, std::int32_t, std::uint64_t, std::int64_t>;
TYPED_TEST_SUITE(NearestTyped, IntTypes);

TYPED_TEST(NearestTyped, IdentityAndSpecialEntriesInEveryIntegerType) {
  using T = TypeParam;
  const Image img(3, 5);  // N = 15 fits every type
  Array2<T> map(3, 5);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 5; ++c) map(r, c) = static_cast<T>(r * 5 + c);
  EXPECT_EQ(nearest(map, img), img.px);

  map(0, 0) = static_cast<T>(-1);  // -1, or the type's maximum when unsigned: invalid
  map(0, 1) = 15;                  // N: invalid
  map(0, 2) = 14;                  // N - 1: bottom-right pixel
  map(0, 3) = 5;                   // W: pixel (1, 0)
  map(0, 4) = 5;                   // duplicate
  map(1, 0) = std::numeric_limits<T>::max();
  map(1, 1) = std::numeric_limits<T>::min();
  const auto out = nearest(map, img);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], 0);
  EXPECT_EQ(out[2], img.at(14));
  EXPECT_EQ(out[3], img.at(5));
  EXPECT_EQ(out[4], img.at(5));
  EXPECT_EQ(out[5], 0);
  EXPECT_EQ(out[6], std::numeric_limits<T>::min() == 0 ? img.at(0) : 0);
  for (int i = 7; i < 15; ++i) EXPECT_EQ(out[i], img.px[i]);
}

TEST(Nearest, SmallAndInvalidMapsLeaveZeros) {
  const Image img(4, 6);
  Array2<std::int64_t> small(2, 3, 7);
  auto out = nearest(small, img);
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 6; ++c) EXPECT_EQ(out[r * 6 + c], (r < 2 && c < 3) ? img.at(7) : 0);

  Array2<std::int64_t> invalid(4, 6, 24);
  invalid(3, 5) = -5;
  EXPECT_EQ(nearest(invalid, img), std::vector<std::uint8_t>(24, 0));

  Array2<std::int64_t> empty(0, 0);
  EXPECT_EQ(nearest(empty, img), std::vector<std::uint8_t>(24, 0));
}

TEST(Nearest, MapLargerThanImage) {
  const Image img(2, 3);
  // Invalid entries beyond the image are fine; the output position uses the image width.
  Array2<std::int32_t> map(3, 4, -1);
  map(0, 0) = 5;
  map(1, 2) = 1;
  auto out = nearest(map, img);
  EXPECT_EQ(out, (std::vector<std::uint8_t>{img.at(5), 0, 0, 0, 0, img.at(1)}));

  // Every row index is checked before any column index, as NumPy's fancy index does.
  map(0, 3) = 0;  // column 3 >= W comes first in row-major order ...
  map(2, 1) = 2;  // ... but the row error is reported
  expect_error(ErrorKind::Index, "index 2 is out of bounds for axis 0 with size 2",
               [&] { nearest(map, img); });
  map(2, 1) = 6;  // N: invalid, so only the column error remains
  expect_error(ErrorKind::Index, "index 3 is out of bounds for axis 1 with size 3",
               [&] { nearest(map, img); });
}

TEST(Nearest, RefusesRealMapsAndUnflattenableImages) {
  const Image img(2, 3);
  Array2<double> real(2, 3, -1.0);  // even with no valid entry
  expect_error(ErrorKind::Index, "arrays used as indices must be of integer (or boolean) type",
               [&] { nearest(real, img); });
  Array2<std::int64_t> map(2, 3);
  ImageView three_channels{img.px.data(), 2, 3, 18};
  std::vector<std::uint8_t> out(6);
  // The image is flattened first, so its error wins over the map's.
  expect_error(ErrorKind::Value, "cannot reshape array of size 18 into shape (6,)",
               [&] { undistort_nearest(real.view(), three_channels, out.data()); });
}

TEST(Nearest, StridedMapViews) {
  const Image img(3, 4);
  // The identity map stored transposed and read through swapped steps, and a negative
  // column step reversing each row.
  Array2<std::int16_t> t(4, 3);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) t(c, r) = static_cast<std::int16_t>(r * 4 + c);
  std::vector<std::uint8_t> out(12);
  undistort_nearest({t.data.data(), ElemType::I16, 3, 4, 1, 3}, img.view(), out.data());
  EXPECT_EQ(out, img.px);

  Array2<std::int16_t> id(3, 4);
  for (int i = 0; i < 12; ++i) id.data[i] = static_cast<std::int16_t>(i);
  undistort_nearest({id.data.data() + 3, ElemType::I16, 3, 4, 4, -1}, img.view(), out.data());
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) EXPECT_EQ(out[r * 4 + c], img.at(r * 4 + 3 - c));
}

// ---- bilinear ----

// The documented steps, one neighbour image at a time, with a real division.
template <class M, class Wt>
std::vector<std::uint8_t> bilinear_reference(const Array2<M>& map, const Image& img,
                                             const Array2<Wt>* w[4]) {
  const std::int64_t n = img.rows * img.cols;
  std::vector<double> sum(img.px.size(), 0.0);
  std::vector<std::uint64_t> s(img.px.size(), 0);
  const std::int64_t off[4] = {0, 1, map.cols, map.cols + 1};
  for (int k = 0; k < 4; ++k) {
    for (std::ptrdiff_t r = 0; r < std::min(map.rows, img.rows); ++r) {
      for (std::ptrdiff_t c = 0; c < std::min(map.cols, img.cols); ++c) {
        const auto m1 = static_cast<std::int32_t>(static_cast<std::int64_t>(
            std::trunc(static_cast<double>(map.data[r * map.cols + c]))));
        const std::int64_t i = m1 + off[k];
        const std::uint64_t t = (i >= 0 && i < n) ? img.at(i) : 0;
        s[r * img.cols + c] +=
            static_cast<std::uint64_t>(w[k]->data[r * img.cols + c]) * t;
      }
    }
  }
  std::vector<std::uint8_t> out(img.px.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<std::uint8_t>(static_cast<double>(s[i]) / 65535.0);
  }
  return out;
}

template <class M, class Wt>
void check_random_bilinear(unsigned seed, bool real_map, int H = 23, int W = 31) {
  std::mt19937 rng(seed);
  const int N = H * W;
  const Image img(H, W, seed);
  Array2<M> map(H, W);
  std::uniform_int_distribution<int> idx(-2 * W, N + 2 * W);
  std::uniform_real_distribution<double> frac(0.0, 1.0);
  for (auto& v : map.data) {
    const double x = idx(rng) + (real_map ? frac(rng) : 0.0);
    if constexpr (std::is_integral_v<M>) {
      v = static_cast<M>(static_cast<std::int64_t>(x));
    } else {
      v = static_cast<M>(x);
    }
  }
  Array2<Wt> w[4] = {{H, W}, {H, W}, {H, W}, {H, W}};
  for (int p = 0; p < H * W; ++p) {
    int left = 65535 - static_cast<int>(rng() % 2);  // sums of 65535 or 65534
    for (int k = 0; k < 3; ++k) {
      const int x = static_cast<int>(rng() % (left + 1));
      w[k].data[p] = static_cast<Wt>(x);
      left -= x;
    }
    w[3].data[p] = static_cast<Wt>(left);
  }
  const Array2<Wt>* wp[4] = {&w[0], &w[1], &w[2], &w[3]};
  const Strided2D views[4] = {w[0].view(), w[1].view(), w[2].view(), w[3].view()};
  EXPECT_EQ(bilinear(map.view(), img, views), bilinear_reference(map, img, wp));
}

TEST(Bilinear, MatchesTheStepsOnRandomMapsAndWeights) {
  check_random_bilinear<double, std::uint16_t>(1, true);
  check_random_bilinear<float, std::int64_t>(2, true);
  check_random_bilinear<std::int64_t, std::uint32_t>(3, false);
  check_random_bilinear<std::int32_t, double>(4, false);
  check_random_bilinear<std::uint32_t, std::int32_t>(5, false);
  check_random_bilinear<double, std::uint16_t>(6, true, 5, 700);  // several column blocks
}

TEST(Bilinear, StridedMapEqualsContiguousMap) {
  const Image img(9, 11);
  Array2<float> map(9, 11), transposed(11, 9);
  Array2<std::uint16_t> w(9, 11);
  std::mt19937 rng(12);
  for (int r = 0; r < 9; ++r) {
    for (int c = 0; c < 11; ++c) {
      map(r, c) = static_cast<float>(static_cast<int>(rng() % 120) - 10) + 0.5f;
      transposed(c, r) = map(r, c);
      w(r, c) = static_cast<std::uint16_t>(rng() % 16384);
    }
  }
  const Strided2D wv[4] = {w.view(), w.view(), w.view(), w.view()};
  EXPECT_EQ(bilinear({transposed.data.data(), ElemType::F32, 9, 11, 1, 9}, img, wv),
            bilinear(map.view(), img, wv));
}

TEST(Bilinear, FullFirstWeightIsTheNearestGatherOnTheTruncatedMap) {
  const Image img(5, 7);
  Array2<double> map(5, 7);
  Array2<std::int32_t> truncated(5, 7);
  std::mt19937 rng(9);
  for (int i = 0; i < 35; ++i) {
    map.data[i] = static_cast<int>(rng() % 45) - 5 + 0.75 * ((i % 3) - 1);
    truncated.data[i] = static_cast<std::int32_t>(map.data[i]);
  }
  const std::uint16_t one = 65535, zero = 0;
  const Strided2D w[4] = {broadcast(one), broadcast(zero), broadcast(zero), broadcast(zero)};
  EXPECT_EQ(bilinear(map.view(), img, w), nearest(truncated, img));
}

TEST(Bilinear, FixedPointTruncationAndEdges) {
  Image img(3, 4);
  for (auto& p : img.px) p = 200;
  img.px[4] = 10;  // pixel (1, 0)
  Array2<double> map(3, 4, 5.0);  // upper-left (1, 1): all four neighbours are 200
  map(0, 1) = 3.0;                // (0, 3), last column: right-hand neighbour is (1, 0)
  map(0, 2) = 9.0;                // (2, 1), last row: lower neighbours are out of range
  map(0, 3) = -0.5;               // truncates to 0: pixel (0, 0), not invalid
  map(1, 0) = -1.5;               // truncates to -1: invalid; +1 -> (0, 0), +w -> (0, 3)
  Array2<std::uint16_t> w1(3, 4, 16384), w2(3, 4, 16384), w3(3, 4, 16384), w4(3, 4, 16383);
  w4(1, 1) = 16382;  // sum 65534
  const Strided2D w[4] = {w1.view(), w2.view(), w3.view(), w4.view()};
  const auto out = bilinear(map.view(), img, w);
  EXPECT_EQ(out[4 * 0 + 0], 200);  // weights sum to 65535
  EXPECT_EQ(out[4 * 1 + 1], 199);  // 65534 * 200 / 65535 = 199.99..., truncated
  // (0, 3): 200 * 16384 + 10 * 16384 (wrapped to the next row) + 200 * 16384 + 200 * 16383
  EXPECT_EQ(out[1], static_cast<std::uint8_t>((200.0 * 49151 + 10.0 * 16384) / 65535.0));
  EXPECT_EQ(out[2], static_cast<std::uint8_t>(200.0 * 32768 / 65535.0));  // darkened: 100
  EXPECT_EQ(out[3], static_cast<std::uint8_t>((200.0 * 49151 + 10.0 * 16384) / 65535.0));
  // -1: map1 invalid, map2 = (0, 0), map3 = (0, 3), map4 = (1, 0)
  EXPECT_EQ(out[4], static_cast<std::uint8_t>((200.0 * 32768 + 10.0 * 16383) / 65535.0));
}

TEST(Bilinear, BroadcastRowAndMixedWeightTypes) {
  const Image img(6, 9);
  Array2<double> map(6, 9);
  std::mt19937 rng(4);
  for (auto& v : map.data) v = (rng() % 60) - 3 + 0.5;
  Array2<std::uint16_t> w[4] = {{6, 9}, {6, 9}, {6, 9}, {6, 9}};
  std::vector<std::uint16_t> row[4];
  std::vector<std::int64_t> row64[4];
  for (int c = 0; c < 9; ++c) {
    const std::uint16_t a = static_cast<std::uint16_t>(rng() % 30000), b = static_cast<std::uint16_t>(rng() % 30000);
    const std::uint16_t vals[4] = {a, b, static_cast<std::uint16_t>(5000), static_cast<std::uint16_t>(65535 - a - b - 5000)};
    for (int k = 0; k < 4; ++k) {
      row[k].push_back(vals[k]);
      row64[k].push_back(vals[k]);
      for (int r = 0; r < 6; ++r) w[k](r, c) = vals[k];
    }
  }
  const Strided2D full[4] = {w[0].view(), w[1].view(), w[2].view(), w[3].view()};
  const auto expected = bilinear(map.view(), img, full);
  const Strided2D rows16[4] = {{row[0].data(), ElemType::U16, 6, 9, 0, 1},
                               {row[1].data(), ElemType::U16, 6, 9, 0, 1},
                               {row[2].data(), ElemType::U16, 6, 9, 0, 1},
                               {row[3].data(), ElemType::U16, 6, 9, 0, 1}};
  EXPECT_EQ(bilinear(map.view(), img, rows16), expected);
  const Strided2D mixed[4] = {rows16[0], {row64[1].data(), ElemType::I64, 6, 9, 0, 1},
                              w[2].view(), {row64[3].data(), ElemType::I64, 6, 9, 0, 1}};
  EXPECT_EQ(bilinear(map.view(), img, mixed), expected);
}

TEST(Bilinear, OutsideTheFixedPointModelIsDefined) {
  Image img(2, 3);
  for (auto& p : img.px) p = 250;
  Array2<std::int64_t> map(2, 3, 0);
  // Weights summing above 65535 saturate at 255 instead of wrapping.
  const std::uint16_t big = 65535;
  const Strided2D sat[4] = {broadcast(big), broadcast(big), broadcast(big), broadcast(big)};
  auto out = bilinear(map.view(), img, sat);
  EXPECT_EQ(out[0], 255);
  Image wide(2, 20);
  for (auto& p : wide.px) p = 250;
  Array2<std::int64_t> wide_map(2, 20, 0);
  Array2<std::uint16_t> full(2, 20, 65535);  // the contiguous uint16 path
  const Strided2D sat16[4] = {full.view(), full.view(), full.view(), full.view()};
  EXPECT_EQ(bilinear(wide_map.view(), wide, sat16), std::vector<std::uint8_t>(40, 255));
  // Exact multiples of 65535 on that path: sums 65535 give 250, sums 65534 give 249.
  Array2<std::uint16_t> quarter(2, 20, 16384), last(2, 20, 16383);
  for (int c = 0; c < 20; c += 2) last(1, c) = 16382;
  const Strided2D exact[4] = {quarter.view(), quarter.view(), quarter.view(), last.view()};
  out = bilinear(wide_map.view(), wide, exact);
  for (int c = 0; c < 20; ++c) {
    EXPECT_EQ(out[c], 250);
    EXPECT_EQ(out[20 + c], c % 2 == 0 ? 249 : 250);
  }
  // A negative weight wraps to 2^64 - 1 as the uint64 conversion does; the sums wrap too.
  const std::int64_t minus_one = -1, two = 2, zero = 0;
  const Strided2D neg[4] = {broadcast(minus_one), broadcast(zero), broadcast(zero), broadcast(zero)};
  out = bilinear(map.view(), img, neg);
  EXPECT_EQ(out[0], 255);
  // (2^64 - 1) * 250 + 2 * 250 wraps to 250: 250 / 65535 -> 0
  const Strided2D wrap[4] = {broadcast(minus_one), broadcast(two), broadcast(zero), broadcast(zero)};
  out = bilinear(map.view(), img, wrap);
  EXPECT_EQ(out[0], 0);
  // Real weights: NaN converts to 2^63, -1.5 to 2^64 - 1, 1e20 to 0.
  const double nan = std::nan(""), m15 = -1.5, huge = 1e20, dzero = 0.0;
  const Strided2D reals[4] = {broadcast(huge), broadcast(dzero), broadcast(huge), broadcast(dzero)};
  EXPECT_EQ(bilinear(map.view(), img, reals)[0], 0);
  const Strided2D reals2[4] = {broadcast(nan), broadcast(m15), broadcast(dzero), broadcast(dzero)};
  EXPECT_EQ(bilinear(map.view(), img, reals2)[0], 255);

  // Map values beyond 32 bits: integers wrap (2^32 + 4 names pixel 4), reals that do not
  // fit give INT32_MIN, whose neighbours are all invalid too.
  map(0, 0) = (std::int64_t{1} << 32) + 4;
  const std::uint16_t one = 65535, z16 = 0;
  const Strided2D first[4] = {broadcast(one), broadcast(z16), broadcast(z16), broadcast(z16)};
  img.px[4] = 9;
  EXPECT_EQ(bilinear(map.view(), img, first)[0], 9);
  Array2<double> real(2, 3, 3e9);
  real(0, 1) = std::nan("");
  real(0, 2) = -std::numeric_limits<double>::infinity();
  const Strided2D all[4] = {broadcast(big), broadcast(big), broadcast(big), broadcast(big)};
  EXPECT_EQ(bilinear(real.view(), img, all), std::vector<std::uint8_t>(6, 0));
}

TEST(Bilinear, NeighbourBoundsAndImageErrors) {
  const Image img(2, 3);
  const std::uint16_t z = 0;
  const Strided2D w[4] = {broadcast(z), broadcast(z), broadcast(z), broadcast(z)};
  // -1 at row 2 is invalid for map1 but map2 names pixel 0 there: map2's check fails.
  Array2<double> map(3, 3, -100.0);
  map(2, 0) = -1.0;
  expect_error(ErrorKind::Index, "index 2 is out of bounds for axis 0 with size 2",
               [&] { bilinear(map.view(), img, w); });
  // A wider map (w = 4) with a column beyond the image: map3 = -4 + 4 = 0 is valid.
  Array2<std::int64_t> wide(2, 4, -100);
  wide(1, 3) = -4;
  expect_error(ErrorKind::Index, "index 3 is out of bounds for axis 1 with size 3",
               [&] { bilinear(wide.view(), img, w); });
  wide(1, 3) = -10;
  EXPECT_NO_THROW(check_bilinear_map(wide.view(), img.view()));
  ImageView bad{img.px.data(), 2, 3, 5};
  expect_error(ErrorKind::Value, "cannot reshape array of size 5 into shape (6,)",
               [&] { check_bilinear_map(wide.view(), bad); });
}

TEST(Undistort, ResultDoesNotDependOnTheThreadCount) {
  const int H = 480, W = 640;
  const Image img(H, W, 3);
  Array2<std::int64_t> map(H, W);
  Array2<double> real(H, W);
  Array2<std::uint16_t> w(H, W);
  std::mt19937 rng(7);
  for (int i = 0; i < H * W; ++i) {
    map.data[i] = static_cast<std::int64_t>(rng() % (H * W + 1000)) - 500;
    real.data[i] = map.data[i] + 0.25;
    w.data[i] = static_cast<std::uint16_t>(rng() % 16384);
  }
  const Strided2D wv[4] = {w.view(), w.view(), w.view(), w.view()};
  const int saved = cv::getNumThreads();
  cv::setNumThreads(2);
  const auto n2 = nearest(map, img);
  const auto b2 = bilinear(real.view(), img, wv);
  cv::setNumThreads(1);
  EXPECT_EQ(nearest(map, img), n2);
  EXPECT_EQ(bilinear(real.view(), img, wv), b2);
  cv::setNumThreads(saved);
}

}  // namespace
}  // namespace torvel
