// Life cycle, threads, synchronisation and result hand-over of the feature-tracking analyser. The
// stage bodies are in feature_tracker_stages.cpp.
#include "analysis/feature_tracker.h"

#include <algorithm>
#include <chrono>
#include <new>

#include "analysis/chain_link.h"
#include "analysis/corner_detector.h"
#include "analysis/scan_params.h"
#include "model/frame_record.h"
#include "platform/debug.h"
#include "platform/heap.h"
#include "platform/system.h"

namespace vendrix::analysis {
namespace {

constexpr int32_t kSyncNothing = 1;
constexpr int32_t kSyncEndOfInput = 2;
constexpr int32_t kSyncStop = 3;
constexpr int32_t kSyncDrain = 4;

constexpr uint32_t kIdleSleepMs = 3;         // a worker that found no work
constexpr uint32_t kBackPressureSleepMs = 5;  // submit waits while the first queues are full
constexpr int kBackPressureChecks = 500;
constexpr int32_t kBackPressureDepth = 2;
constexpr uint32_t kSyncPollMs = 10;
constexpr int kSyncPolls = 1000;
constexpr int kSyncRounds = 1000;

struct WorkerArgs {
  FeatureTracker* analyser;
};

}  // namespace

FeatureTracker::FeatureTracker(GlobalMotionPath* path) : path_(path) {}

FeatureTracker::~FeatureTracker() {
  StopWorkers();
  ForEachQueue([this](auto& q) {
    while (AnalyserItem* item = q.PopFront()) FreeItem(item);
  });
  for (StageBuffer& b : buffers_) {
    for (AnalyserItem* item : b.waiting) FreeItem(item);
    b.waiting.clear();
  }
  for (AnalyserItem* item : early_) FreeItem(item);
  FreeItem(lastPrepared_);
  for (DetectorScratch* scratch : scratches_) {
    DetectorScratchRelease(*scratch);
    delete scratch;
  }
  delete linker_;
}

FeatureTracker* FeatureTracker::Create(GlobalMotionPath* path) {
  if (!path || path->matchStore) return nullptr;
  const int32_t capacity = model::PathCapacity(path);
  void** store = static_cast<void**>(platform::HeapAllocate(sizeof(void*) * size_t(capacity > 0 ? capacity : 1)));
  if (!store) return nullptr;
  auto* a = new (std::nothrow) FeatureTracker(path);
  if (a) a->linker_ = new (std::nothrow) ChainLinker();
  if (!a || !a->linker_) {
    delete a;
    platform::HeapRelease(store);
    return nullptr;
  }
  path->matchStore = store;
  return a;
}

void FeatureTracker::Release() {
  Sync(0);
  delete this;
}

bool FeatureTracker::BeginEntry(int32_t entry, const model::AnalysisImage*) {
  currentEntry_ = entry;
  if (entry < 0 || entry >= model::PathCapacity(path_)) return false;
  if (entry == 0 || entry == 1) {
    // The clip flags are decided at the start of a clip and kept for the rest of it.
    runSecondPass_ = model_.refitVariant != 0;
    unfiltered_ = runSecondPass_ && !measure_.qualityFilter;
  }
  SetEndOfInput(false);
  return true;
}

bool FeatureTracker::SubmitEntry(const model::AnalysisImage* image) {
  if (!image || currentEntry_ < 0 || currentEntry_ >= model::PathCapacity(path_)) return false;
  auto* item = platform::HeapNew<AnalyserItem>();
  if (!item) return false;
  item->entry = currentEntry_;
  item->width = path_->width;
  item->height = path_->height;
  item->aspect = path_->inputScale;
  item->runSecondPass = runSecondPass_;
  item->unfiltered = unfiltered_;
  item->measure = measure_;
  item->model = model_;
  model::AnalysisImage working = *image;
  working.halveAllowed = 1;
  ChooseWorkingImage(working);
  try {
    item->image.create(working.height, working.width, CV_8UC1);
    item->image.setTo(0);  // the readers leave the rim of a halved frame unwritten
    item->corners.reserve(kMaxCorners);
  } catch (...) {
    item->empty = true;  // flows through the pipeline so the entries after it keep their order
  }
  if (!item->empty && working.readRow)
    working.readRow(working, item->image.data, static_cast<int32_t>(item->image.step[0]));
  if (lastSubmitted_ >= 0 && item->entry > lastSubmitted_ + 1) {
    skippedLock_.Enter();
    skipped_.emplace_back(lastSubmitted_ + 1, item->entry - 1);
    skippedLock_.Leave();
  }
  lastSubmitted_ = std::max(lastSubmitted_, item->entry);
  if (prepareNext_.load() < 0) {
    // Entry 0 is only the reference of entry 1; a run that starts later delivers its first entry too.
    const int32_t first_delivered = item->entry == 0 ? 1 : item->entry;
    prepareNext_.store(item->entry);
    triangulateNext_.store(first_delivered);
    for (StageBuffer& b : buffers_) b.nextProduce = first_delivered;
  }
  detectIn_.PushBack(item);

  if (!running_.load(std::memory_order_acquire) && !StartWorkers()) {
    while (ProcessRound()) {
    }
    DrainResults();
    return true;
  }
  for (int i = 0; i < kBackPressureChecks; ++i) {
    if (detectIn_.Count() <= kBackPressureDepth && trackIn_.Count() <= kBackPressureDepth) break;
    platform::SleepMs(kBackPressureSleepMs);
  }
  DrainResults();
  return true;
}

bool FeatureTracker::StartWorkers() {
  concurrency::ThreadPoolService* svc = concurrency::PoolService();
  const int32_t n = svc->ThreadCount();
  if (n < 2) return false;
  concurrency::WorkerPool* pool = svc->AcquirePool();
  if (!pool) return false;
  svc->SetPoolPriority(pool, platform::kPriorityBelowNormal);
  pool_ = pool;
  running_.store(true, std::memory_order_release);
  for (int32_t i = 0; i < n; ++i) {
    concurrency::PoolJob job;
    *concurrency::PoolJobArgs<WorkerArgs>(&job) = WorkerArgs{this};
    job.fn.store(WorkerLoop, std::memory_order_relaxed);
    svc->SubmitJob(pool, &job);
  }
  return true;
}

void FeatureTracker::StopWorkers() {
  if (!pool_) return;
  running_.store(false, std::memory_order_release);
  concurrency::PoolService()->ReleasePool(pool_);  // waits for every worker loop to end
  pool_ = nullptr;
}

void FeatureTracker::WorkerLoop(concurrency::PoolJob* job) {
  FeatureTracker* self = PoolJobArgs<WorkerArgs>(job)->analyser;
  for (;;) {
    if (self->ProcessRound()) continue;
    if (!self->running_.load(std::memory_order_acquire)) return;
    platform::SleepMs(kIdleSleepMs);
  }
}

bool FeatureTracker::ProcessRound() {
  // Each stage's time is only counted when it did work, so idle polling does not blur the profile.
  bool worked = false;
  using Clock = std::chrono::steady_clock;
  auto run = [&](TrackerStage stage, auto&& body) {
    const auto t0 = Clock::now();
    const bool did = body();
    worked |= did;
    if (did)
      stageNs_[static_cast<int>(stage)].fetch_add(
          std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count(), std::memory_order_relaxed);
  };
  run(TrackerStage::kDetect, [&] { return Detect(); });
  run(TrackerStage::kPrepare, [&] { return Prepare(); });
  run(TrackerStage::kTrack, [&] { return Track(); });
  run(TrackerStage::kTriangulate, [&] { return Triangulate(); });
  run(TrackerStage::kFitFirstPass, [&] { return Fit(0); });
  run(TrackerStage::kLookAheadFirstPass, [&] { return LookAhead(0); });
  run(TrackerStage::kScoreFirstPass, [&] { return Score(0); });
  run(TrackerStage::kFitSecondPass, [&] { return Fit(1); });
  run(TrackerStage::kLookAheadSecondPass, [&] { return LookAhead(1); });
  run(TrackerStage::kScoreSecondPass, [&] { return Score(1); });
  run(TrackerStage::kDeliver, [&] { return Deliver(); });
  return worked;
}

// Idle enough for Sync: everything has left the stages that work unconditionally. The in-order prepare
// stage may hold one early item, and the look-ahead stages hold entries on purpose until more arrive or
// the input ends, so neither is waited for.
bool FeatureTracker::WatchedQueuesIdle() {
  return detectIn_.Count() == 0 && prepareIn_.Count() <= 1 && trackIn_.Count() == 0 && triangulateIn_.Count() == 0 &&
         fitIn_[0].Count() == 0 && scoreIn_[0].Count() == 0 && fitIn_[1].Count() == 0 && scoreIn_[1].Count() == 0 &&
         deliverIn_.Count() == 0;
}

void FeatureTracker::SetEndOfInput(bool on) {
  for (StageBuffer& b : buffers_) {
    b.lock.Enter();
    b.endOfInput = on;
    b.lock.Leave();
  }
}

void FeatureTracker::Sync(int32_t mode) {
  switch (mode) {
    case kSyncNothing:
      return;
    case kSyncEndOfInput:
      if (running_.load() && !WatchedQueuesIdle()) platform::SleepMs(kSyncPollMs);
      SetEndOfInput(true);
      return;
    case kSyncStop:
      StopWorkers();
      return;
    case kSyncDrain:
      DrainResults();
      return;
    default:
      break;
  }
  if (running_.load()) {
    int polls = 0;
    while (!WatchedQueuesIdle() && polls < kSyncPolls) {
      platform::SleepMs(kSyncPollMs);
      ++polls;
    }
    if (polls == kSyncPolls) platform::DebugOutput("Vendrix: T_AnalyserB::Sync Timeout\n");
  }
  StopWorkers();
  SetEndOfInput(true);
  // The workers are gone: finish on this thread. An entry that never arrived (a host that skipped a
  // frame) would hold the in-order stages forever, so once nothing else moves they may skip it.
  int rounds = 0;
  for (; rounds < kSyncRounds; ++rounds) {
    if (ProcessRound()) continue;
    if (forceOrder_) break;
    forceOrder_ = true;
  }
  forceOrder_ = false;
  if (rounds == kSyncRounds) platform::DebugOutput("Vendrix: T_AnalyserB::Sync ProcessAll loops\n");
  DrainResults(true);
  const int32_t capacity = model::PathCapacity(path_);
  if (path_->lastFrame + 1 < capacity) {
    model::FrameRecord& next = path_->analysis->records[path_->lastFrame + 1];
    model::RecordReset(next);
    next.u(model::kSlotCount) = 1;
  }
  if (path_->lastFrame < currentEntry_) ++path_->lastFrame;
}

void FeatureTracker::DrainResults(bool all) {
  while (AnalyserItem* item = results_.PopFront()) {
    const auto at = std::upper_bound(early_.begin(), early_.end(), item,
                                     [](const AnalyserItem* a, const AnalyserItem* b) { return a->entry < b->entry; });
    early_.insert(at, item);
  }
  size_t taken = 0;
  for (; taken < early_.size(); ++taken) {
    AnalyserItem* item = early_[taken];
    if (!all && item->entry > SkipMissing(path_->lastFrame + 1)) break;
    path_->preparedCount = 0;  // the finisher's cache was built from the records before this one
    if (item->entry > path_->lastFrame) {
      platform::HeapRelease(path_->handover);
      path_->handover = item->matches;
      item->matches = nullptr;
      path_->handoverValue = 0;
      path_->lastFrame = item->entry;
      // Keep the most recent stores; scorers of older entries find a missing store and stop there.
      const int32_t drop_to = item->entry - (kStoresKept + 1);
      if (drop_to >= 0 && path_->matchStore) {
        std::unique_lock<std::shared_mutex> lock(storeLock_);
        for (int32_t e = drop_to; e >= 0 && path_->matchStore[e]; --e) {
          platform::HeapRelease(path_->matchStore[e]);
          path_->matchStore[e] = nullptr;
        }
      }
    }
    FreeItem(item);
  }
  early_.erase(early_.begin(), early_.begin() + static_cast<std::ptrdiff_t>(taken));
}

void FeatureTracker::Shift(int32_t delta) {
  ForEachQueue([delta](auto& q) { q.ForEach([delta](AnalyserItem* item) { item->entry += delta; }); });
  for (AnalyserItem* item : early_) item->entry += delta;
  if (lastPrepared_) lastPrepared_->entry += delta;
  for (std::atomic<int32_t>* next : {&prepareNext_, &triangulateNext_})
    if (next->load() >= 0) next->fetch_add(delta);
  for (StageBuffer& b : buffers_) {
    b.lock.Enter();
    for (AnalyserItem* item : b.waiting) item->entry += delta;
    if (b.nextProduce >= 0) b.nextProduce += delta;
    b.lock.Leave();
  }
  currentEntry_ += delta;
  skippedLock_.Enter();
  for (auto& range : skipped_) range.first += delta, range.second += delta;
  std::erase_if(skipped_, [](const auto& range) { return range.second < 0; });
  skippedLock_.Leave();
  if (lastSubmitted_ >= 0) lastSubmitted_ += delta;
}

int32_t FeatureTracker::SkipMissing(int32_t entry) {
  skippedLock_.Enter();
  for (bool moved = true; moved;) {
    moved = false;
    for (const auto& [first, last] : skipped_)
      if (entry >= first && entry <= last) entry = last + 1, moved = true;
  }
  skippedLock_.Leave();
  return entry;
}

int32_t FeatureTracker::QueueCount(TrackerStage stage) {
  switch (stage) {
    case TrackerStage::kDetect: return detectIn_.Count();
    case TrackerStage::kPrepare: return prepareIn_.Count();
    case TrackerStage::kTrack: return trackIn_.Count();
    case TrackerStage::kTriangulate: return triangulateIn_.Count();
    case TrackerStage::kFitFirstPass: return fitIn_[0].Count();
    case TrackerStage::kLookAheadFirstPass: return lookAheadIn_[0].Count();
    case TrackerStage::kScoreFirstPass: return scoreIn_[0].Count();
    case TrackerStage::kFitSecondPass: return fitIn_[1].Count();
    case TrackerStage::kLookAheadSecondPass: return lookAheadIn_[1].Count();
    case TrackerStage::kScoreSecondPass: return scoreIn_[1].Count();
    case TrackerStage::kDeliver: return deliverIn_.Count();
    case TrackerStage::kCount: break;
  }
  return results_.Count();
}

void FeatureTracker::FreeItem(AnalyserItem* item) {
  if (!item) return;
  model::MatchListRelease(item->matches);
  platform::HeapDelete(item);
}

}  // namespace vendrix::analysis
