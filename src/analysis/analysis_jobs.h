// The job pool of a block-matching path: up to eight jobs, job i bound to dedicated worker i. A job
// measures one entry; results reach the path in the order the jobs were submitted, when the pool needs
// the job again or the path is finished.
#pragma once

#include <atomic>
#include <cstdint>

#include "analysis/block_measure.h"
#include "analysis/frame_planes.h"
#include "model/analysis_jobs.h"
#include "model/global_motion_path.h"

namespace vendrix::analysis {

struct AnalysisJob {
  AnalysisJob* next = nullptr;  // membership of the free or the busy list
  AnalysisJob* prev = nullptr;
  uint32_t frameIndex = 0;       // the scan's frame index (the path's hand-over value)
  int32_t worker = 0;            // the dedicated worker this job runs on
  bool submitted = false;        // handed to its worker (the first frame of a clip is only prepared)
  std::atomic<bool> finished{false};  // set by the job body when the entry's records are written
  FrameWindow* window = nullptr;      // owned while the job is not free
  EntryMeasurement work{};            // what the worker measures; work.matches is owned until hand-over
};

class BlockMatchingJobs final : public model::AnalysisJobPool {
 public:
  static constexpr int32_t kMaxRequested = 128;

  // Null above kMaxRequested, when memory is short, or when a worker thread cannot be started.
  static BlockMatchingJobs* Create(GlobalMotionPath* path, int32_t requested);

  // A free job; when every job is busy the oldest is completed and handed over first.
  AnalysisJob* TakeFree();
  // Appends a set-up job to the busy list; with `measure` its worker starts measuring it.
  void Submit(AnalysisJob* job, bool measure);
  // Returns a job whose set-up failed to the free list (its window and list are freed).
  void Abandon(AnalysisJob* job);
  // Called before `entry` is set up. An entry at or before the last one submitted (a frame scanned
  // again, or out of order) may still be measured by a worker, or its planes read through another
  // job's window: every busy job is then completed and handed over first, in order, so that no two
  // workers ever write the same entry's records. Scans in ascending order never wait here.
  void SettleBeforeEntry(int32_t entry);

  void CompleteAll(bool hand_over) override;
  void Release() override;

  explicit BlockMatchingJobs(GlobalMotionPath* path) : path_(path) {}  // use Create
  ~BlockMatchingJobs() override;

 private:
  void CompleteOldest(bool hand_over);
  static void Unlink(AnalysisJob*& head, AnalysisJob* job);
  static void PushBack(AnalysisJob*& head, AnalysisJob* job);

  GlobalMotionPath* path_;
  AnalysisJob* busy_ = nullptr;  // oldest first
  AnalysisJob* free_ = nullptr;
  int32_t count_ = 0;
  int32_t lastEntry_ = -1;  // entry of the job submitted last
  AnalysisJob jobs_[8];
};

}  // namespace vendrix::analysis
