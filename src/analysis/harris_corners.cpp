#include "analysis/harris_corners.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <new>

#include <opencv2/imgproc.hpp>

#include "analysis/corner_kernels.h"

namespace vendrix::analysis {
namespace {

// A candidate as one sortable word: the response's bits, remapped so that unsigned order is float
// order, above its index in the response (row * floats per row + column). Comparing words orders by
// response and, among equal responses, puts the later position first: the fixed tie order that makes
// the result independent of the sort's implementation, at the cost of one integer compare.
uint64_t CandidateKey(float response, uint32_t index) {
  uint32_t bits;
  std::memcpy(&bits, &response, sizeof bits);
  bits = (bits & 0x80000000u) ? ~bits : bits | 0x80000000u;  // monotonic for every value but NaN
  return uint64_t{bits} << 32 | index;
}
uint32_t IndexOf(uint64_t key) { return static_cast<uint32_t>(key); }

// Candidates strongest first, sorted only as far as the spacing pass reads: it usually stops at the
// corner limit long before the end of the list.
class StrongestFirst {
 public:
  explicit StrongestFirst(std::vector<uint64_t>& list) : list_(list) {}
  size_t size() const { return list_.size(); }
  uint64_t operator[](size_t i) {
    if (i >= sorted_) SortMore();
    return list_[i];
  }

 private:
  // First the strongest 4096 (twice the usual corner limit), selected in linear time and then sorted;
  // the rest only if the pass reads past them.
  static constexpr size_t kFirstBlock = 4096;
  void SortMore() {
    const auto begin = list_.begin() + std::ptrdiff_t(sorted_);
    if (sorted_ == 0 && list_.size() > kFirstBlock) {
      const auto block_end = list_.begin() + std::ptrdiff_t(kFirstBlock);
      std::nth_element(begin, block_end, list_.end(), std::greater<>());
      std::sort(begin, block_end, std::greater<>());
      sorted_ = kFirstBlock;
    } else {
      std::sort(begin, list_.end(), std::greater<>());
      sorted_ = list_.size();
    }
  }
  std::vector<uint64_t>& list_;
  size_t sorted_ = 0;
};

// The spacing pass of goodFeaturesToTrack: candidates strongest first, each kept unless a kept corner
// lies closer than `distance`, found through a grid of distance-sized cells. `stride` is the response's
// floats per row.
void Space(StrongestFirst& candidates, const cv::Mat& response, uint32_t stride, int distance, int max_corners,
           std::vector<std::vector<cv::Point2f>>& grid, std::vector<cv::Point2f>& out) {
  out.clear();
  const int cell = distance;
  const int columns = (response.cols + cell - 1) / cell, rows = (response.rows + cell - 1) / cell;
  grid.resize(size_t(columns) * size_t(rows));
  for (std::vector<cv::Point2f>& g : grid) g.clear();
  const double limit = double(distance) * distance;
  for (size_t i = 0; i < candidates.size(); ++i) {
    const uint32_t index = IndexOf(candidates[i]);
    const int y = int(index / stride), x = int(index % stride);
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
  std::vector<uint64_t> candidates;
  std::vector<int32_t> peaks;  // columns of one row's peaks
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
  std::vector<uint64_t>& candidates = scratch.candidates;
  candidates.clear();
  cv::cornerHarris(image, response, 3, 3, 0.04);
  double strongest = 0;
  cv::minMaxLoc(response, nullptr, &strongest);
  // goodFeaturesToTrack keeps the responses above a share of the strongest (the rest set to 0) and
  // takes the non-zero ones that equal the 3 x 3 maximum of the kept responses. The same test in one
  // pass, without writing the thresholded and dilated images: most pixels fail the first comparison,
  // and the peak kernel compares the neighbours only where a centre passes it.
  // The threshold is compared in single precision, as OpenCV's threshold does for float images.
  const float level = static_cast<float>(strongest * plan.quality);
  const int rows = response.rows, columns = response.cols;
  const size_t stride = response.step1();
  // Frames are at most 32767 pixels on a side, so every index fits in 32 bits; guarded all the same.
  if (size_t(rows) * stride > UINT32_MAX) throw std::bad_alloc();
  std::vector<int32_t>& peaks = scratch.peaks;
  peaks.resize(size_t(std::max(columns, 0)));
  const auto row_peaks = CornerKernelTable().row_peaks;
  for (int y = 1; y < rows - 1; ++y) {
    const float* r = response.ptr<float>(y);
    const int32_t found = row_peaks(response.ptr<float>(y - 1), r, response.ptr<float>(y + 1), 1, columns - 1, level,
                                    peaks.data());
    for (int32_t i = 0; i < found; ++i) {
      const int32_t x = peaks[size_t(i)];
      candidates.push_back(CandidateKey(r[x], static_cast<uint32_t>(size_t(y) * stride + size_t(x))));
    }
  }
  StrongestFirst strongest_first(candidates);
  for (int distance = plan.start_distance;; --distance) {
    Space(strongest_first, response, static_cast<uint32_t>(stride), std::max(distance, 1), max_corners, scratch.grid,
          out);
    if (int(out.size()) > plan.enough || distance - 1 < plan.min_distance) return;
  }
}

}  // namespace vendrix::analysis
