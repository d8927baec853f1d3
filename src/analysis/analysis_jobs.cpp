#include "analysis/analysis_jobs.h"

#include <algorithm>

#include "analysis/block_kernels.h"
#include "concurrency/worker_registry.h"
#include "platform/heap.h"

namespace vendrix::analysis {
namespace {

struct JobArgs {
  AnalysisJob* job;
};

void RunJob(concurrency::WorkerJob* worker_job) {
  AnalysisJob* job = concurrency::WorkerJobArgs<JobArgs>(worker_job)->job;
  MeasureEntry(job->work, BlockKernelTable());
  job->finished.store(true, std::memory_order_release);
}

}  // namespace

BlockMatchingJobs* BlockMatchingJobs::Create(GlobalMotionPath* path, int32_t requested) {
  if (!path || requested < 1 || requested > kMaxRequested) return nullptr;
  auto* pool = platform::HeapNew<BlockMatchingJobs>(path);
  if (!pool) return nullptr;
  pool->count_ = std::min<int32_t>(requested, concurrency::kMaxWorkers);
  for (int32_t i = 0; i < pool->count_; ++i) {
    AnalysisJob& job = pool->jobs_[i];
    job.worker = i;
    PushBack(pool->free_, &job);
    if (!concurrency::WorkerEnsureThread(i)) {
      platform::HeapDelete(pool);
      return nullptr;
    }
  }
  return pool;
}

BlockMatchingJobs::~BlockMatchingJobs() { CompleteAll(false); }

void BlockMatchingJobs::Unlink(AnalysisJob*& head, AnalysisJob* job) {
  if (job->prev) job->prev->next = job->next;
  if (job->next) job->next->prev = job->prev;
  if (head == job) head = job->next;
  job->next = job->prev = nullptr;
}

void BlockMatchingJobs::PushBack(AnalysisJob*& head, AnalysisJob* job) {
  job->next = job->prev = nullptr;
  if (!head) {
    head = job;
    return;
  }
  AnalysisJob* last = head;
  while (last->next) last = last->next;
  last->next = job;
  job->prev = last;
}

AnalysisJob* BlockMatchingJobs::TakeFree() {
  if (!free_ && busy_) CompleteOldest(true);
  AnalysisJob* job = free_;
  if (job) Unlink(free_, job);
  return job;
}

void BlockMatchingJobs::SettleBeforeEntry(int32_t entry) {
  if (entry <= lastEntry_) CompleteAll(true);
}

void BlockMatchingJobs::Submit(AnalysisJob* job, bool measure) {
  lastEntry_ = job->work.entry;
  job->finished.store(false, std::memory_order_relaxed);
  job->submitted = false;
  if (measure) {
    concurrency::WorkerJob w;
    *concurrency::WorkerJobArgs<JobArgs>(&w) = JobArgs{job};
    w.fn.store(RunJob, std::memory_order_relaxed);
    // The worker may still run another path's job: wait for it rather than skip this entry.
    while (!concurrency::WorkerSubmit(job->worker, w)) concurrency::WorkerWaitIdle(job->worker);
    job->submitted = true;
  }
  PushBack(busy_, job);
}

void BlockMatchingJobs::Abandon(AnalysisJob* job) {
  if (job->window) {
    ReleaseWindow(*job->window);
    platform::HeapDelete(job->window);
    job->window = nullptr;
  }
  model::MatchListRelease(job->work.matches);
  job->work.matches = nullptr;
  PushBack(free_, job);
}

void BlockMatchingJobs::CompleteOldest(bool hand_over) {
  AnalysisJob* job = busy_;
  if (!job) return;
  if (job->submitted)
    while (!job->finished.load(std::memory_order_acquire)) concurrency::WorkerWaitIdle(job->worker);
  Unlink(busy_, job);
  if (hand_over) {
    platform::HeapRelease(path_->handover);
    path_->handover = job->work.matches;
    path_->handoverValue = job->frameIndex;
    path_->lastFrame = job->work.entry;
    job->work.matches = nullptr;
  }
  Abandon(job);  // releases the window's planes and drops a list not handed over
}

void BlockMatchingJobs::CompleteAll(bool hand_over) {
  while (busy_) CompleteOldest(hand_over);
}

void BlockMatchingJobs::Release() { platform::HeapDelete(this); }

}  // namespace vendrix::analysis
