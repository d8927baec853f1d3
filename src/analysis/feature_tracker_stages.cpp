// The eleven stage bodies of the feature-tracking analyser. Each pops at most one item, works on it
// with no lock held, and pushes it on; see analyser_b.h for the pipeline.
#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include "analysis/chain_link.h"
#include "analysis/chain_scoring.h"
#include "analysis/corner_detector.h"
#include "analysis/frame_planes.h"
#include "analysis/frame_records.h"
#include "analysis/harris_corners.h"
#include "analysis/point_store.h"
#include "analysis/feature_tracker.h"
#include "motion/model_fit.h"
#include "platform/heap.h"

namespace vendrix::analysis {
namespace {

// Harris corners when the fine refinement is asked for: quality level and minimum distance, lowered
// step by step until enough corners are found.
constexpr HarrisPlan kHarrisNormal{0.00015, 7, 200, 4};
constexpr HarrisPlan kHarrisUnfiltered{0.0004, 6, 100, 5};

// Lucas-Kanade: a 12 x 12 window over four pyramid levels (maxLevel counts the levels above the
// image itself, so four levels are maxLevel 3), at most 25 iterations or a change below 0.000625.
const cv::Size kTrackWindow(12, 12);
constexpr int kTrackMaxLevel = 3;
const cv::TermCriteria kTrackStop(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 25, 0.000625);
constexpr float kTrackMaxError = 1100.0f;

// The entry's matches from its point store: one per point, weights 1 and valid when the pass kept it.
model::MatchList* MatchesFromStore(const PointStore* store, const AnalyserItem& item) {
  const uint32_t n = store ? store->count : 0;
  const int pass = item.pass;
  model::MatchList* list = model::MatchListCreate(n > 0 ? n : 1, 1, static_cast<uint32_t>(item.width),
                                                        static_cast<uint32_t>(item.height), item.aspect);
  if (!list) return nullptr;
  for (uint32_t i = 0; i < n; ++i) {
    const TrackedPoint& p = store->points[i];
    model::MatchEntry& m = list->matches[i];
    m.x = p.x;
    m.y = p.y;
    m.dx = p.dx;
    m.dy = p.dy;
    const bool kept = pass == 0 ? p.kept0 : p.kept1;
    m.weightX = m.weightY = kept ? 1.0f : 0.0f;
    m.valid = kept ? 1 : 0;
  }
  list->count = n;
  return list;
}

// The item of entry `want` from an in-order stage's queue, or an item of an earlier entry (an entry
// scanned again after the stage passed it), which the caller drops. In the final rounds of a Sync
// (`force`), when nothing upstream moves any more, the lowest entry that came is taken instead, so an
// entry that never arrived cannot hold the stage forever.
template <class Queue>
AnalyserItem* PopInOrder(Queue& q, int32_t want, bool force) {
  AnalyserItem* item = q.PopIf([want](AnalyserItem* i) { return i->entry <= want; });
  if (item || !force) return item;
  int32_t lowest = INT32_MAX;
  q.ForEach([&](AnalyserItem* i) { lowest = std::min(lowest, i->entry); });
  return lowest == INT32_MAX ? nullptr : q.PopIf([lowest](AnalyserItem* i) { return i->entry == lowest; });
}

}  // namespace

bool FeatureTracker::Detect() {
  AnalyserItem* item = detectIn_.PopFront();
  if (!item) return false;
  if (!item->empty) {
    const int32_t w = item->image.cols, h = item->image.rows, pitch = static_cast<int32_t>(item->image.step[0]);
    if (item->measure.contrastStretch) ContrastStretch(item->image.data, pitch, w, h);
    try {
      if (item->measure.refineFine) {
        HarrisCorners(item->image, item->unfiltered ? kHarrisUnfiltered : kHarrisNormal, kMaxCorners, item->corners);
      } else if (DetectorScratch* scratch = ClaimScratch()) {
        item->corners.resize(kMaxCorners);
        const int32_t n = DetectCorners(item->image.data, w, h, pitch, kMaxCorners, *scratch,
                                                  reinterpret_cast<float*>(item->corners.data()));
        item->corners.resize(static_cast<size_t>(n > 0 ? n : 0));
        ReturnScratch(scratch);
      }
    } catch (...) {
      item->corners.clear();  // an entry without corners is tracked with none
    }
  }
  prepareIn_.PushBack(item);
  return true;
}

bool FeatureTracker::Prepare() {
  if (prepareBusy_.test_and_set(std::memory_order_acquire)) return false;
  const int32_t want = SkipMissing(prepareNext_.load());
  AnalyserItem* item = PopInOrder(prepareIn_, want, forceOrder_);
  if (!item) {
    prepareBusy_.clear(std::memory_order_release);
    return false;
  }
  if (item->entry < want) {  // scanned again after its turn: its first analysis stands
    prepareBusy_.clear(std::memory_order_release);
    FreeItem(item);
    return true;
  }
  prepareNext_.store(item->entry + 1);
  // The previous entry's image and corners feed the tracking of this one. The first entry of a run
  // (or the first after a gap) has no predecessor and only becomes the reference.
  AnalyserItem* prev = lastPrepared_;
  const bool paired = prev && prev->entry == item->entry - 1 && !prev->empty && !item->empty;
  if (paired) {
    item->prevImage = prev->image;
    item->prevCorners = prev->corners;
  }
  FreeItem(prev);
  auto* keep = platform::HeapNew<AnalyserItem>();
  if (keep) {
    keep->entry = item->entry;
    keep->empty = item->empty;
    keep->image = item->image;      // shares the pixels (reference counted)
    keep->corners = item->corners;
  }
  lastPrepared_ = keep;
  prepareBusy_.clear(std::memory_order_release);
  if (item->entry > 0) {
    trackIn_.PushBack(item);  // unpaired (first of a run, or after a gap) it delivers no motion
  } else {
    FreeItem(item);  // entry 0 is only the reference of entry 1
  }
  return true;
}

bool FeatureTracker::Track() {
  AnalyserItem* item = trackIn_.PopFront();
  if (!item) return false;
  if (!item->prevCorners.empty() && !item->prevImage.empty() && !item->image.empty()) {
    std::vector<cv::Point2f> tracked;
    std::vector<uchar> status;
    std::vector<float> error;
    try {
      cv::calcOpticalFlowPyrLK(item->prevImage, item->image, item->prevCorners, tracked, status, error, kTrackWindow,
                               kTrackMaxLevel, kTrackStop);
    } catch (...) {
      status.clear();
    }
    // Keep the points whose tracking succeeded, both arrays compacted in order.
    size_t n = 0;
    for (size_t i = 0; i < status.size() && i < tracked.size(); ++i) {
      if (!status[i] || !(error[i] < kTrackMaxError)) continue;
      item->prevCorners[n] = item->prevCorners[i];
      tracked[n] = tracked[i];
      ++n;
    }
    BuildPointStore(path_, item->entry, reinterpret_cast<const float*>(item->prevCorners.data()),
                              reinterpret_cast<const float*>(tracked.data()), static_cast<int32_t>(n));
  }
  // The images are not needed past tracking; drop them early to keep memory flat on long clips.
  item->prevImage.release();
  item->image.release();
  item->prevCorners = {};
  item->corners = {};
  triangulateIn_.PushBack(item);
  return true;
}

bool FeatureTracker::Triangulate() {
  if (triangulateBusy_.test_and_set(std::memory_order_acquire)) return false;
  AnalyserItem* item = PopInOrder(triangulateIn_, SkipMissing(triangulateNext_.load()), forceOrder_);
  if (!item) {
    triangulateBusy_.clear(std::memory_order_release);
    return false;
  }
  triangulateNext_.store(item->entry + 1);
  if (item->entry >= 2 && linker_) LinkChains(*linker_, path_, item->entry);
  triangulateBusy_.clear(std::memory_order_release);
  fitIn_[0].PushBack(item);
  return true;
}

bool FeatureTracker::Fit(int pass) {
  AnalyserItem* item = pass == 0 ? fitIn_[0].PopFront() : fitIn_[1].PopFront();
  if (!item) return false;
  MarkInliers(PointStoreAt(path_, item->entry), pass, item->unfiltered);
  (pass == 0 ? lookAheadIn_[0] : lookAheadIn_[1]).PushBack(item);
  return true;
}

bool FeatureTracker::LookAhead(int pass) {
  StageBuffer& b = buffers_[pass];
  LockedQueue& in = pass == 0 ? lookAheadIn_[0] : lookAheadIn_[1];
  LockedQueue& out = pass == 0 ? scoreIn_[0] : scoreIn_[1];
  bool worked = false;
  AnalyserItem* arrived = in.PopFront();
  b.lock.Enter();
  if (arrived) {
    b.waiting.push_back(arrived);
    worked = true;
  }
  // The first entry waiting, in entry order, and the contiguous run of arrivals after it; entries the
  // host skipped count as arrived.
  AnalyserItem* produce = nullptr;
  if (b.nextProduce >= 0) b.nextProduce = SkipMissing(b.nextProduce);
  auto it = std::find_if(b.waiting.begin(), b.waiting.end(), [&](AnalyserItem* i) { return i->entry == b.nextProduce; });
  if (it == b.waiting.end() && b.endOfInput && forceOrder_ && !b.waiting.empty()) {
    it = std::min_element(b.waiting.begin(), b.waiting.end(),
                          [](AnalyserItem* x, AnalyserItem* y) { return x->entry < y->entry; });
    b.nextProduce = (*it)->entry;
  }
  if (it != b.waiting.end()) {
    int32_t frontier = b.nextProduce;
    auto has = [&](int32_t e) {
      return SkipMissing(e) != e ||
             std::any_of(b.waiting.begin(), b.waiting.end(), [e](AnalyserItem* i) { return i->entry == e; });
    };
    // Entries already produced count as arrived; only the waiting ones are checked.
    while (frontier < b.nextProduce + kLookAhead && has(frontier + 1)) ++frontier;
    if (frontier >= b.nextProduce + kLookAhead || b.endOfInput) {
      produce = *it;
      b.waiting.erase(it);
      produce->windowStart = std::max(0, produce->entry - kLookBack);
      produce->windowEnd = frontier;
      ++b.nextProduce;
    }
  }
  b.lock.Leave();
  if (produce) {
    out.PushBack(produce);
    worked = true;
  }
  return worked;
}

bool FeatureTracker::Score(int pass) {
  AnalyserItem* item = pass == 0 ? scoreIn_[0].PopFront() : scoreIn_[1].PopFront();
  if (!item) return false;
  {
    std::shared_lock<std::shared_mutex> lock(storeLock_);
    ScoreChains(path_->matchStore, model::PathCapacity(path_), item->entry, item->windowStart,
                          item->windowEnd, pass, item->unfiltered);
  }
  if (pass == 0 && item->runSecondPass) {
    item->pass = 1;
    fitIn_[1].PushBack(item);
  } else {
    deliverIn_.PushBack(item);
  }
  return true;
}

bool FeatureTracker::Deliver() {
  AnalyserItem* item = deliverIn_.PopFront();
  if (!item) return false;
  const int32_t e = item->entry;
  const auto* store = (path_->matchStore && e >= 0 && e < model::PathCapacity(path_))
                          ? static_cast<PointStore*>(path_->matchStore[e])
                          : nullptr;
  model::MatchList* list = MatchesFromStore(store, *item);
  if (list) {
    const model::MeasureParams& m = item->measure;
    if (m.fieldShiftOn && (m.maxDistance & 1) && std::fabs(m.fieldShift) > 0.001f)
      for (uint32_t i = 0; i < list->count; ++i) list->matches[i].dy += m.fieldShift;
    // Without the quality filter the second pass accepts a wide RANSAC search.
    const uint32_t hflags = (item->unfiltered && item->pass == 1) ? motion::kHomographyWideSearch : 0u;
    WriteEntryRecord(path_, item->model, *list,
                               EntryFit{0, e, 1, false, hflags, m.keepMatches != 0});
    if (store)
      for (uint32_t i = 0; i < list->count && i < store->count; ++i) {
        TrackedPoint& p = store->points[i];
        (item->pass == 0 ? p.kept0 : p.kept1) = list->matches[i].valid;
      }
  }
  item->matches = list;
  results_.PushBack(item);
  return true;
}

DetectorScratch* FeatureTracker::ClaimScratch() {
  scratchLock_.Enter();
  DetectorScratch* s = nullptr;
  if (!scratches_.empty()) {
    s = scratches_.back();
    scratches_.pop_back();
  }
  scratchLock_.Leave();
  return s ? s : new (std::nothrow) DetectorScratch();
}

void FeatureTracker::ReturnScratch(DetectorScratch* scratch) {
  scratchLock_.Enter();
  scratches_.push_back(scratch);
  scratchLock_.Leave();
}

}  // namespace vendrix::analysis
