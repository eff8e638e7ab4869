#include "laser/lit_runs.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>

#include "support/zero_scan.h"

namespace torvel {
namespace {

void row_runs(const std::uint8_t* p, int row, int cols, std::vector<PixelRun>& out) {
  int x = 0;
  while ((x = first_nonzero(p, x, cols)) < cols) {
    const int begin = x;
    while (x < cols && p[x] != 0) ++x;
    out.push_back(PixelRun{row, begin, x});
  }
}

// Union-find over run indices; the smaller index becomes the root.
std::uint32_t find_root(std::vector<std::uint32_t>& parent, std::uint32_t i) {
  while (parent[i] != i) {
    parent[i] = parent[parent[i]];
    i = parent[i];
  }
  return i;
}

void unite(std::vector<std::uint32_t>& parent, std::uint32_t a, std::uint32_t b) {
  a = find_root(parent, a);
  b = find_root(parent, b);
  if (a < b) parent[b] = a;
  else if (b < a) parent[a] = b;
}

// The parts of the runs where the mask is not 0, in raster order.
std::vector<PixelRun> masked_runs(const std::vector<PixelRun>& runs, const cv::Mat& mask) {
  std::vector<PixelRun> out;
  out.reserve(runs.size());
  for (const PixelRun& r : runs) {
    const std::uint8_t* m = mask.ptr<std::uint8_t>(r.row);
    int x = r.begin;
    while (x < r.end) {
      while (x < r.end && m[x] == 0) ++x;
      if (x == r.end) break;
      const int begin = x;
      while (x < r.end && m[x] != 0) ++x;
      out.push_back(PixelRun{r.row, begin, x});
    }
  }
  return out;
}

struct Component {
  std::uint64_t first_block = std::numeric_limits<std::uint64_t>::max();  // (row/2, col/2)
  std::uint64_t area = 0, sum_x = 0, sum_y = 0;
};

}  // namespace

std::vector<PixelRun> lit_runs(const cv::Mat& image_u8, std::size_t limit) {
  CV_Assert(image_u8.type() == CV_8UC1 && image_u8.dims == 2);
  std::vector<PixelRun> runs;
  for (int y = 0; y < image_u8.rows && runs.size() <= limit; ++y) {
    row_runs(image_u8.ptr<std::uint8_t>(y), y, image_u8.cols, runs);
  }
  return runs;
}

cv::Mat centroids_of_masked_runs(const std::vector<PixelRun>& all_runs, const cv::Mat& mask_u8) {
  CV_Assert(mask_u8.type() == CV_8UC1 && mask_u8.dims == 2);
  const std::vector<PixelRun> runs = masked_runs(all_runs, mask_u8);
  const auto n = static_cast<std::uint32_t>(runs.size());
  std::vector<std::uint32_t> parent(n);
  std::iota(parent.begin(), parent.end(), 0u);

  // Runs of consecutive rows touch at 8-connectivity when their columns, widened by one on
  // each side, overlap. `prev` .. `cur` is the previous row, `cur` .. `next` this row.
  std::uint32_t prev = 0, cur = 0;
  while (cur < n) {
    std::uint32_t next = cur;
    while (next < n && runs[next].row == runs[cur].row) ++next;
    if (prev < cur && runs[prev].row + 1 == runs[cur].row) {
      std::uint32_t i = prev;
      for (std::uint32_t j = cur; j < next; ++j) {
        while (i < cur && runs[i].end < runs[j].begin) ++i;  // ends left of j's left neighbour
        for (std::uint32_t k = i; k < cur && runs[k].begin <= runs[j].end; ++k) {
          unite(parent, k, j);
        }
      }
    }
    prev = cur;
    cur = next;
  }

  std::vector<std::uint32_t> component_of(n);
  std::vector<Component> components;
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint32_t root = find_root(parent, i);
    if (root == i) {
      component_of[i] = static_cast<std::uint32_t>(components.size());
      components.emplace_back();
    } else {
      component_of[i] = component_of[root];  // the root has the smaller index
    }
    Component& c = components[component_of[i]];
    const PixelRun& r = runs[i];
    const auto len = static_cast<std::uint64_t>(r.end - r.begin);
    const auto y = static_cast<std::uint64_t>(r.row);
    const auto b = static_cast<std::uint64_t>(r.begin);
    c.first_block = std::min(c.first_block, ((y >> 1) << 32) | (b >> 1));
    c.area += len;
    c.sum_x += len * b + len * (len - 1) / 2;
    c.sum_y += len * y;
  }
  std::sort(components.begin(), components.end(),
            [](const Component& a, const Component& b) { return a.first_block < b.first_block; });

  const auto rows = static_cast<std::uint64_t>(mask_u8.rows);
  const auto cols = static_cast<std::uint64_t>(mask_u8.cols);
  std::uint64_t background_area = rows * cols;
  std::uint64_t background_x = rows * (cols * (cols - 1) / 2);
  std::uint64_t background_y = cols * (rows * (rows - 1) / 2);
  cv::Mat centroids(static_cast<int>(components.size()) + 1, 2, CV_64F);
  for (std::size_t k = 0; k < components.size(); ++k) {
    const Component& c = components[k];
    const double a = static_cast<double>(c.area);
    centroids.at<double>(static_cast<int>(k) + 1, 0) = static_cast<double>(c.sum_x) / a;
    centroids.at<double>(static_cast<int>(k) + 1, 1) = static_cast<double>(c.sum_y) / a;
    background_area -= c.area;
    background_x -= c.sum_x;
    background_y -= c.sum_y;
  }
  const double area = static_cast<double>(background_area);
  centroids.at<double>(0, 0) = static_cast<double>(background_x) / area;
  centroids.at<double>(0, 1) = static_cast<double>(background_y) / area;
  return centroids;
}

}  // namespace torvel
