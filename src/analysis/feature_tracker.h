// The feature-tracking analyser: a pipeline of eleven stages joined by queues, run by the threads of a
// borrowed worker pool (or on the scanning thread when no pool can be had).
//
//   detect -> prepare (entry order) -> track -> triangulate (entry order) -> fit (pass 0)
//   -> look-ahead (pass 0) -> chain scoring (pass 0) -> [fit -> look-ahead -> chain scoring (pass 1)]
//   -> deliver
//
// The second pass runs only for clips whose settings ask for the re-fit variant; it scores the chains
// again on the inliers of a stricter fit.
//
// Each stage pops one item from its input queue, works on it without holding any lock, and pushes it to
// the next queue; no stage ever holds two queue locks. Delivered results wait on the result list until
// the scanning thread drains them into the path (in SubmitEntry and Sync). Entry 0 of a run only
// provides the reference image for entry 1; every later entry is delivered with a motion record.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include <opencv2/core.hpp>

#include "model/analysis_image.h"
#include "model/match_list.h"
#include "model/analyser.h"
#include "concurrency/spin_lock.h"
#include "concurrency/thread_pool.h"
#include "concurrency/work_queue.h"
#include "model/global_motion_path.h"
#include "platform/sync.h"

namespace vendrix::analysis {

struct DetectorScratch;
struct ChainLinker;

// The stages in the order a processing round tries them.
enum class TrackerStage : int {
  kDetect,
  kPrepare,
  kTrack,
  kTriangulate,
  kFitFirstPass,
  kLookAheadFirstPass,
  kScoreFirstPass,
  kFitSecondPass,
  kLookAheadSecondPass,
  kScoreSecondPass,
  kDeliver,
  kCount,
};

// One entry on its way through the pipeline.
struct AnalyserItem {
  AnalyserItem* next = nullptr;
  AnalyserItem* prev = nullptr;
  int32_t entry = 0;
  int32_t pass = 0;                 // 0 or 1 (second pass over the same entry)
  int32_t windowStart = 0;          // chain-scoring window decided by the look-ahead stage
  int32_t windowEnd = 0;
  bool empty = false;               // no image could be made: flows through and delivers no motion
  // The clip flags as they stood when the entry was submitted, so every stage of an entry sees the same.
  bool runSecondPass = false;       // score the chains again after a second, stricter fit
  bool unfiltered = false;          // the quality filter is off: looser corner plan, length-weighted
                                    // chain scores, RANSAC in the second fit
  int32_t width = 0, height = 0;    // the path's analysed size and aspect when the entry was submitted:
  float aspect = 1.0f;              // the scanning thread may change the path's copies meanwhile
  model::MeasureParams measure;  // parameters of this entry
  model::ModelParams model;
  cv::Mat image;                    // working luma (detect, prepare, track)
  std::vector<cv::Point2f> corners; // detected in `image`
  cv::Mat prevImage;                // the previous entry's image and corners, paired by prepare
  std::vector<cv::Point2f> prevCorners;
  model::MatchList* matches = nullptr;  // delivered match list: the path's next hand-over block
};

class FeatureTracker final : public model::Analyser {
 public:
  static constexpr int32_t kMaxCorners = 2000;
  static constexpr int32_t kLookAhead = 19;
  static constexpr int32_t kLookBack = 1500;
  static constexpr int32_t kStoresKept = 1510;

  // Creates the analyser for `path` together with the path's point-store table (one slot per entry).
  // Null when memory is short (nothing stays allocated).
  static FeatureTracker* Create(GlobalMotionPath* path);

  ~FeatureTracker() override;
  void Release() override;
  void Sync(int32_t mode) override;
  bool BeginEntry(int32_t entry, const model::AnalysisImage* image) override;
  bool SubmitEntry(const model::AnalysisImage* image) override;
  model::MeasureParams* MeasureParameters() override { return &measure_; }
  model::ModelParams* ModelParameters() override { return &model_; }
  void Shift(int32_t delta) override;

  // Test and benchmark hooks.
  bool Running() const { return running_.load(std::memory_order_acquire); }
  // Items waiting in the stage's input queue (kCount: in the result list).
  int32_t QueueCount(TrackerStage stage);
  // Nanoseconds spent in the stage since creation, summed over threads.
  int64_t StageNanoseconds(TrackerStage stage) const {
    return stageNs_[static_cast<int>(stage)].load(std::memory_order_relaxed);
  }

 private:
  explicit FeatureTracker(GlobalMotionPath* path);

  using LockedQueue = concurrency::WorkQueue<AnalyserItem, platform::CriticalSection>;
  using SpinQueue = concurrency::WorkQueue<AnalyserItem, concurrency::SpinLock>;

  // Look-ahead state of one pass.
  struct StageBuffer {
    platform::CriticalSection lock;
    std::vector<AnalyserItem*> waiting;  // arrived, not yet produced
    int32_t nextProduce = -1;            // next entry to hand to chain scoring; -1 before the first
    bool endOfInput = false;
  };

  // Per-stage work; each returns true when it did something.
  bool Detect();
  bool Prepare();
  bool Track();
  bool Triangulate();
  bool Fit(int pass);
  bool LookAhead(int pass);
  bool Score(int pass);
  bool Deliver();
  bool ProcessRound();

  static void WorkerLoop(concurrency::PoolJob* job);
  bool StartWorkers();
  void StopWorkers();
  bool WatchedQueuesIdle();
  // Calls fn on every stage queue and the result list.
  template <class Fn>
  void ForEachQueue(Fn&& fn) {
    for (LockedQueue* q : {&detectIn_, &prepareIn_, &trackIn_, &triangulateIn_, &lookAheadIn_[0], &lookAheadIn_[1],
                           &scoreIn_[0], &scoreIn_[1]})
      fn(*q);
    for (SpinQueue* q : {&fitIn_[0], &fitIn_[1], &deliverIn_, &results_}) fn(*q);
  }
  // Hands finished entries to the path in entry order. The fit stages run on several workers and
  // finish out of order, and whatever reads the path while analysis goes on (a finishing that takes
  // only what is complete, the queries) reads every record up to lastFrame: an entry is handed over
  // once every entry before it was, or was never submitted. `all` (the end of a full Sync, workers
  // stopped) hands over whatever is left.
  void DrainResults(bool all = false);
  void SetEndOfInput(bool on);
  void FreeItem(AnalyserItem* item);
  DetectorScratch* ClaimScratch();
  void ReturnScratch(DetectorScratch* scratch);

  GlobalMotionPath* path_;
  int32_t currentEntry_ = -1;
  model::MeasureParams measure_{};
  model::ModelParams model_{};
  // Decided when entry 0 or 1 begins and kept for the rest of the clip (see AnalyserItem).
  bool runSecondPass_ = false;
  bool unfiltered_ = false;

  // The input queue of each stage; arrays are indexed by pass. The short hand-offs after the fit and
  // into delivery are spin-locked, the others take a critical section.
  LockedQueue detectIn_, prepareIn_, trackIn_, triangulateIn_, lookAheadIn_[2], scoreIn_[2];
  SpinQueue fitIn_[2], deliverIn_;
  StageBuffer buffers_[2];
  SpinQueue results_;
  std::vector<AnalyserItem*> early_;  // drained results waiting for an earlier entry, by entry; scanning thread

  // In-order stages keep the entry they expect next; -1 until the first entry is submitted.
  std::atomic<int32_t> prepareNext_{-1};
  std::atomic<int32_t> triangulateNext_{-1};

  // Entries the host skipped (a frame not scanned), as inclusive ranges: the in-order stages step over
  // them instead of waiting for entries that never come. Written by the scanning thread in SubmitEntry,
  // read by the stages; lastSubmitted_ belongs to the scanning thread.
  concurrency::SpinLock skippedLock_;
  std::vector<std::pair<int32_t, int32_t>> skipped_;
  int32_t lastSubmitted_ = -1;
  // The first entry at or after `entry` that was not skipped.
  int32_t SkipMissing(int32_t entry);
  std::atomic_flag prepareBusy_ = ATOMIC_FLAG_INIT;
  std::atomic_flag triangulateBusy_ = ATOMIC_FLAG_INIT;
  AnalyserItem* lastPrepared_ = nullptr;  // owned by whoever holds prepareBusy_
  bool forceOrder_ = false;               // Sync's final rounds may skip entries that never came

  // Point stores are freed by the scanning thread while scorers may read older entries: scorers hold
  // the lock shared for their walk, freeing takes it exclusively.
  std::shared_mutex storeLock_;

  ChainLinker* linker_ = nullptr;  // used under triangulateBusy_
  concurrency::SpinLock scratchLock_;
  std::vector<DetectorScratch*> scratches_;

  concurrency::WorkerPool* pool_ = nullptr;
  std::atomic<bool> running_{false};
  std::atomic<int64_t> stageNs_[static_cast<int>(TrackerStage::kCount)] = {};
};

}  // namespace vendrix::analysis
