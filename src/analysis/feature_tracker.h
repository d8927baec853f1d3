// The feature-tracking analyser: a pipeline of eleven stages joined by queues, run by the threads of a
// borrowed worker pool (or on the scanning thread when no pool can be had).
//
//   1 detect -> 2 prepare (entry order) -> 3 track -> 4 triangulate (entry order) -> 5 fit (pass 0)
//   -> 6 look-ahead (pass 0) -> 7 chain scoring (pass 0) -> [8 fit -> 9 look-ahead -> 10 scoring (pass 1)]
//   -> 11 deliver
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
}  // namespace vendrix::analysis

namespace vendrix::analysis {

// One entry on its way through the pipeline.
struct AnalyserItem {
  AnalyserItem* next = nullptr;
  AnalyserItem* prev = nullptr;
  int32_t entry = 0;
  int32_t pass = 0;                 // 0 or 1 (second pass over the same entry)
  int32_t windowStart = 0;          // chain-scoring window decided by the look-ahead stage
  int32_t windowEnd = 0;
  bool empty = false;               // no image could be made: flows through and delivers no motion
  uint8_t runSecondPass = 0;        // the clip flags as they stood when the entry was submitted, so
  uint8_t secondClip = 0;           // every stage of an entry sees the same ones
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

class T_AnalyserB final : public model::T_Analyser {
 public:
  static constexpr int32_t kMaxCorners = 2000;
  static constexpr int32_t kLookAhead = 19;
  static constexpr int32_t kLookBack = 1500;
  static constexpr int32_t kStoresKept = 1510;

  // Creates the analyser for `path` together with the path's point-store table (one slot per entry).
  // Null when memory is short (nothing stays allocated).
  static T_AnalyserB* Create(GlobalMotionPath* path);

  ~T_AnalyserB() override;
  void Release() override;
  void Sync(int32_t mode) override;
  bool BeginEntry(int32_t entry, const model::AnalysisImage* image) override;
  bool SubmitEntry(const model::AnalysisImage* image) override;
  model::MeasureParams* MeasureParameters() override { return &measure_; }
  model::ModelParams* ModelParameters() override { return &model_; }
  void Shift(int32_t delta) override;

  // Test and benchmark hooks.
  bool Running() const { return running_.load(std::memory_order_acquire); }
  int32_t QueueCount(int stage);
  // Nanoseconds spent in each stage (index 1..11) since creation, summed over threads.
  int64_t StageNanoseconds(int stage) const { return stageNs_[stage].load(std::memory_order_relaxed); }

 private:
  explicit T_AnalyserB(GlobalMotionPath* path);

  using LockedQueue = concurrency::WorkQueue<AnalyserItem, platform::CriticalSection>;
  using SpinQueue = concurrency::WorkQueue<AnalyserItem, concurrency::SpinLock>;

  // Look-ahead state of one pass (stages 6 and 9).
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
  void DrainResults();
  void SetEndOfInput(bool on);
  void FreeItem(AnalyserItem* item);
  DetectorScratch* ClaimScratch();
  void ReturnScratch(DetectorScratch* scratch);

  GlobalMotionPath* path_;
  int32_t currentEntry_ = -1;
  model::MeasureParams measure_{};
  model::ModelParams model_{};
  uint8_t clipFlags_[5] = {};  // [0]: run the second pass; [1]: ... with the quality filter off

  // Queues 1..11 (index 0 unused); 5, 8 and 11 are spin-locked.
  LockedQueue q1_, q2_, q3_, q4_, q6_, q7_, q9_, q10_;
  SpinQueue q5_, q8_, q11_;
  StageBuffer buffers_[2];
  SpinQueue results_;

  // In-order stages keep the entry they expect next; -1 until the first entry is submitted.
  std::atomic<int32_t> prepareNext_{-1};
  std::atomic<int32_t> triangulateNext_{-1};
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
  std::atomic<int64_t> stageNs_[12] = {};
};

}  // namespace vendrix::analysis
