// Measures masks with torvel::get_short_long_intersection and prints one line per mask.
//   measure_masks MASKS [DIRECTIONS]
// MASKS: int32 count, then per mask int32 rows, int32 cols, float64 margin_length and
// rows * cols bytes. DIRECTIONS: the 540 probe directions as float64 (cosine, sine) pairs;
// without it the library's own table is used. A line is "none", "error MESSAGE", or
// the three end point pairs (x y x y each) and the three lengths in hexadecimal floating point.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <vector>

#include "contour/axes.h"
#include "support/error.h"

namespace {

template <class T>
T read(std::ifstream& in) {
  T v{};
  in.read(reinterpret_cast<char*>(&v), sizeof v);
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  torvel::DirectionTable dirs = torvel::libm_direction_table();
  if (argc > 2) {
    std::ifstream table(argv[2], std::ios::binary);
    for (auto& d : dirs) {
      d.co = read<double>(table);
      d.si = read<double>(table);
    }
    if (!table) return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const auto count = read<std::int32_t>(in);
  for (std::int32_t i = 0; i < count; ++i) {
    const auto rows = read<std::int32_t>(in);
    const auto cols = read<std::int32_t>(in);
    const auto margin = read<double>(in);
    cv::Mat mask(rows, cols, CV_8UC1);
    in.read(reinterpret_cast<char*>(mask.data), static_cast<std::streamsize>(mask.total()));
    if (!in) return 2;
    try {
      const auto m = torvel::get_short_long_intersection(mask, margin, dirs);
      if (!m) {
        std::puts("none");
        continue;
      }
      for (const auto* pair : {&m->pt_short, &m->pt_long0, &m->pt_long1}) {
        std::printf("%d %d %d %d ", (*pair)[0].x, (*pair)[0].y, (*pair)[1].x, (*pair)[1].y);
      }
      std::printf("%a %a %a\n", m->short_intersection, m->long_intersection,
                  m->short_intersection_90);
    } catch (const torvel::Error& e) {
      std::printf("error %s\n", e.what());
    }
  }
  return 0;
}
