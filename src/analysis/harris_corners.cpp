#include "analysis/harris_corners.h"

#include <algorithm>

#include <opencv2/imgproc.hpp>

#include "analysis/corner_kernels.h"

namespace vendrix::analysis {
namespace {

// Candidates strongest first; equal responses in a fixed order (the later address first), so the
// result never depends on the sort's implementation. Sorted only as far as the spacing pass reads:
// it usually stops at the corner limit long before the end of the list.
class StrongestFirst {
 public:
  explicit StrongestFirst(std::vector<const float*>& list) : list_(list) {}
  size_t size() const { return list_.size(); }
  const float* operator[](size_t i) {
    if (i >= sorted_) SortMore();
    return list_[i];
  }

 private:
  static bool Stronger(const float* a, const float* b) { return *a > *b ? true : *a < *b ? false : a > b; }
  // First the strongest 4096 (twice the usual corner limit), selected in linear time and then sorted;
  // the rest only if the pass reads past them.
  static constexpr size_t kFirstBlock = 4096;
  void SortMore() {
    const auto begin = list_.begin() + std::ptrdiff_t(sorted_);
    if (sorted_ == 0 && list_.size() > kFirstBlock) {
      const auto block_end = list_.begin() + std::ptrdiff_t(kFirstBlock);
      std::nth_element(begin, block_end, list_.end(), Stronger);
      std::sort(begin, block_end, Stronger);
      sorted_ = kFirstBlock;
    } else {
      std::sort(begin, list_.end(), Stronger);
      sorted_ = list_.size();
    }
  }
  std::vector<const float*>& list_;
  size_t sorted_ = 0;
};

// The spacing pass of goodFeaturesToTrack: candidates strongest first, each kept unless a kept corner
// lies closer than `distance`, found through a grid of distance-sized cells.
void Space(StrongestFirst& candidates, const cv::Mat& response, int distance, int max_corners,
           std::vector<std::vector<cv::Point2f>>& grid, std::vector<cv::Point2f>& out) {
  out.clear();
  const int cell = distance;
  const int columns = (response.cols + cell - 1) / cell, rows = (response.rows + cell - 1) / cell;
  grid.resize(size_t(columns) * size_t(rows));
  for (std::vector<cv::Point2f>& g : grid) g.clear();
  const double limit = double(distance) * distance;
  for (size_t i = 0; i < candidates.size(); ++i) {
    const float* c = candidates[i];
    const size_t offset = size_t(reinterpret_cast<const uchar*>(c) - response.data);
    const int y = int(offset / response.step), x = int((offset - size_t(y) * response.step) / sizeof(float));
    const int cx = x / cell, cy = y / cell;
    bool good = true;
    for (int yy = std::max(0, cy - 1); good && yy <= std::min(rows - 1, cy + 1); ++yy)
      for (int xx = std::max(0, cx - 1); good && xx <= std::min(columns - 1, cx + 1); ++xx)
        for (const cv::Point2f& m : grid[size_t(yy) * size_t(columns) + size_t(xx)]) {
          const float dx = float(x) - m.x, dy = float(y) - m.y;  // float sums, as goodFeaturesToTrack
          if (dx * dx + dy * dy < limit) {
            good = false;
            break;
          }
        }
    if (!good) continue;
    grid[size_t(cy) * size_t(columns) + size_t(cx)].emplace_back(float(x), float(y));
    out.emplace_back(float(x), float(y));
    if (max_corners > 0 && int(out.size()) == max_corners) return;
  }
}

// Buffers of one detecting thread.
struct HarrisScratch {
  cv::Mat response;
  std::vector<const float*> candidates;
  std::vector<std::vector<cv::Point2f>> grid;
};

}  // namespace

void HarrisCorners(const cv::Mat& image, const HarrisPlan& plan, int max_corners, std::vector<cv::Point2f>& out) {
  out.clear();
  if (image.empty()) return;
  // Kept per thread from frame to frame (a few MB per detecting thread, until it ends). Freed every
  // frame, these and OpenCV's own temporaries left the top of the thread's heap empty enough for the
  // allocator to hand the pages back, and every frame faulted them in again: at 640x480, 401,000 page
  // faults per 300 frames and 2.5 times the CPU time; with these kept, 16,000. Reached through one
  // reference: in a shared library every use of a thread-local by name is a call to find it.
  thread_local HarrisScratch per_thread;
  HarrisScratch& scratch = per_thread;
  cv::Mat& response = scratch.response;
  std::vector<const float*>& candidates = scratch.candidates;
  candidates.clear();
  cv::cornerHarris(image, response, 3, 3, 0.04);
  double strongest = 0;
  cv::minMaxLoc(response, nullptr, &strongest);
  // goodFeaturesToTrack keeps the responses above a share of the strongest (the rest set to 0) and
  // takes the non-zero ones that equal the 3 x 3 maximum of the kept responses. The same test in one
  // pass, without writing the thresholded and dilated images: most pixels fail the first comparison.
  // The threshold is compared in single precision, as OpenCV's threshold does for float images.
  const float level = static_cast<float>(strongest * plan.quality);
  const auto kept = [level](float v) { return v > level ? v : 0.0f; };
  // The vector scan of the corner detector's kernels steps over the responses below the level.
  const auto next_above = CornerKernelTable().next_above;
  const int rows = response.rows, columns = response.cols;
  for (int y = 1; y < rows - 1; ++y) {
    const float* above = response.ptr<float>(y - 1);
    const float* r = response.ptr<float>(y);
    const float* below = response.ptr<float>(y + 1);
    for (int x = next_above(r, 1, columns - 1, level); x < columns - 1; x = next_above(r, x + 1, columns - 1, level)) {
      const float v = r[x];  // above the level: kept as it is
      if (v == 0) continue;
      if (kept(above[x - 1]) > v || kept(above[x]) > v || kept(above[x + 1]) > v || kept(r[x - 1]) > v ||
          kept(r[x + 1]) > v || kept(below[x - 1]) > v || kept(below[x]) > v || kept(below[x + 1]) > v)
        continue;
      candidates.push_back(r + x);
    }
  }
  StrongestFirst strongest_first(candidates);
  for (int distance = plan.start_distance;; --distance) {
    Space(strongest_first, response, std::max(distance, 1), max_corners, scratch.grid, out);
    if (int(out.size()) > plan.enough || distance - 1 < plan.min_distance) return;
  }
}

}  // namespace vendrix::analysis
