// Skipping zero bytes 64 at a time, for scans of sparse 8-bit images.
#pragma once

#include <cstdint>
#include <cstring>

namespace torvel {

// True when the 64 bytes at p are all zero (eight word loads, or-ed).
inline bool zero_block64(const std::uint8_t* p) {
  std::uint64_t w[8];
  std::memcpy(w, p, sizeof w);
  return ((w[0] | w[1]) | (w[2] | w[3]) | (w[4] | w[5]) | (w[6] | w[7])) == 0;
}

// Index of the first non-zero byte of p[from .. n), or n.
inline int first_nonzero(const std::uint8_t* p, int from, int n) {
  int x = from;
  while (x < n) {
    while (x + 64 <= n && zero_block64(p + x)) x += 64;
    const int stop = x + 64 < n ? x + 64 : n;
    while (x < stop && p[x] == 0) ++x;
    if (x < stop) return x;
  }
  return n;
}

// Index of the last non-zero byte of p[from .. n), or from - 1.
inline int last_nonzero(const std::uint8_t* p, int from, int n) {
  int x = n;
  while (x > from) {
    while (x - 64 >= from && zero_block64(p + x - 64)) x -= 64;
    const int stop = x - 64 > from ? x - 64 : from;
    while (x > stop && p[x - 1] == 0) --x;
    if (x > stop) return x - 1;
  }
  return from - 1;
}

}  // namespace torvel
