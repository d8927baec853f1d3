// Life cycle, threads, synchronisation and result hand-over of the feature-tracking analyser. The
// stage bodies are in analyser_stages.cpp.
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
  T_AnalyserB* analyser;
};

}  // namespace

T_AnalyserB::T_AnalyserB(GlobalMotionPath* path) : path_(path) {}

T_AnalyserB::~T_AnalyserB() {
  StopWorkers();
  for (LockedQueue* q : {&q1_, &q2_, &q3_, &q4_, &q6_, &q7_, &q9_, &q10_})
    while (AnalyserItem* item = q->PopFront()) FreeItem(item);
  for (SpinQueue* q : {&q5_, &q8_, &q11_, &results_})
    while (AnalyserItem* item = q->PopFront()) FreeItem(item);
  for (StageBuffer& b : buffers_) {
    for (AnalyserItem* item : b.waiting) FreeItem(item);
    b.waiting.clear();
  }
  FreeItem(lastPrepared_);
  for (DetectorScratch* scratch : scratches_) {
    DetectorScratchRelease(*scratch);
    delete scratch;
  }
  delete linker_;
}

T_AnalyserB* T_AnalyserB::Create(GlobalMotionPath* path) {
  if (!path || path->matchStore) return nullptr;
  const int32_t capacity = model::PathCapacity(path);
  void** store = static_cast<void**>(platform::HeapAllocate(sizeof(void*) * size_t(capacity > 0 ? capacity : 1)));
  if (!store) return nullptr;
  auto* a = new (std::nothrow) T_AnalyserB(path);
  if (a) a->linker_ = new (std::nothrow) ChainLinker();
  if (!a || !a->linker_) {
    delete a;
    platform::HeapRelease(store);
    return nullptr;
  }
  path->matchStore = store;
  return a;
}

void T_AnalyserB::Release() {
  Sync(0);
  delete this;
}

bool T_AnalyserB::BeginEntry(int32_t entry, const model::AnalysisImage*) {
  currentEntry_ = entry;
  if (entry < 0 || entry >= model::PathCapacity(path_)) return false;
  if (entry == 0 || entry == 1) {
    // The clip flags are decided at the start of a clip and kept for the rest of it.
    std::fill(std::begin(clipFlags_), std::end(clipFlags_), uint8_t{0});
    if (model_.refitVariant) {
      clipFlags_[0] = 1;
      if (!measure_.qualityFilter) clipFlags_[1] = 1;
    }
  }
  SetEndOfInput(false);
  return true;
}

bool T_AnalyserB::SubmitEntry(const model::AnalysisImage* image) {
  if (!image || currentEntry_ < 0 || currentEntry_ >= model::PathCapacity(path_)) return false;
  auto* item = platform::HeapNew<AnalyserItem>();
  if (!item) return false;
  item->entry = currentEntry_;
  item->width = path_->width;
  item->height = path_->height;
  item->aspect = path_->inputScale;
  item->runSecondPass = clipFlags_[0];
  item->secondClip = clipFlags_[1];
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
  if (prepareNext_.load() < 0) {
    // Entry 0 is only the reference of entry 1; a run that starts later delivers its first entry too.
    const int32_t first_delivered = item->entry == 0 ? 1 : item->entry;
    prepareNext_.store(item->entry);
    triangulateNext_.store(first_delivered);
    for (StageBuffer& b : buffers_) b.nextProduce = first_delivered;
  }
  q1_.PushBack(item);

  if (!running_.load(std::memory_order_acquire) && !StartWorkers()) {
    while (ProcessRound()) {
    }
    DrainResults();
    return true;
  }
  for (int i = 0; i < kBackPressureChecks; ++i) {
    if (q1_.Count() <= kBackPressureDepth && q3_.Count() <= kBackPressureDepth) break;
    platform::SleepMs(kBackPressureSleepMs);
  }
  DrainResults();
  return true;
}

bool T_AnalyserB::StartWorkers() {
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

void T_AnalyserB::StopWorkers() {
  if (!pool_) return;
  running_.store(false, std::memory_order_release);
  concurrency::PoolService()->ReleasePool(pool_);  // waits for every worker loop to end
  pool_ = nullptr;
}

void T_AnalyserB::WorkerLoop(concurrency::PoolJob* job) {
  T_AnalyserB* self = PoolJobArgs<WorkerArgs>(job)->analyser;
  for (;;) {
    if (self->ProcessRound()) continue;
    if (!self->running_.load(std::memory_order_acquire)) return;
    platform::SleepMs(kIdleSleepMs);
  }
}

bool T_AnalyserB::ProcessRound() {
  // Each stage's time is only counted when it did work, so idle polling does not blur the profile.
  bool worked = false;
  using Clock = std::chrono::steady_clock;
  auto run = [&](int stage, auto&& body) {
    const auto t0 = Clock::now();
    const bool did = body();
    worked |= did;
    if (did)
      stageNs_[stage].fetch_add(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t0).count(),
                               std::memory_order_relaxed);
  };
  run(1, [&] { return Detect(); });
  run(2, [&] { return Prepare(); });
  run(3, [&] { return Track(); });
  run(4, [&] { return Triangulate(); });
  run(5, [&] { return Fit(0); });
  run(6, [&] { return LookAhead(0); });
  run(7, [&] { return Score(0); });
  run(8, [&] { return Fit(1); });
  run(9, [&] { return LookAhead(1); });
  run(10, [&] { return Score(1); });
  run(11, [&] { return Deliver(); });
  return worked;
}

bool T_AnalyserB::WatchedQueuesIdle() {
  return q1_.Count() == 0 && q2_.Count() <= 1 && q3_.Count() == 0 && q4_.Count() == 0 && q5_.Count() == 0 &&
         q7_.Count() == 0 && q8_.Count() == 0 && q10_.Count() == 0 && q11_.Count() == 0;
}

void T_AnalyserB::SetEndOfInput(bool on) {
  for (StageBuffer& b : buffers_) {
    b.lock.Enter();
    b.endOfInput = on;
    b.lock.Leave();
  }
}

void T_AnalyserB::Sync(int32_t mode) {
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
  DrainResults();
  const int32_t capacity = model::PathCapacity(path_);
  if (path_->lastFrame + 1 < capacity) {
    model::FrameRecord& next = path_->analysis->records[path_->lastFrame + 1];
    model::RecordReset(next);
    next.u(model::kSlotCount) = 1;
  }
  if (path_->lastFrame < currentEntry_) ++path_->lastFrame;
}

void T_AnalyserB::DrainResults() {
  while (AnalyserItem* item = results_.PopFront()) {
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
}

void T_AnalyserB::Shift(int32_t delta) {
  auto shift = [delta](AnalyserItem* item) { item->entry += delta; };
  q1_.ForEach(shift), q2_.ForEach(shift), q3_.ForEach(shift), q4_.ForEach(shift), q5_.ForEach(shift);
  q6_.ForEach(shift), q7_.ForEach(shift), q8_.ForEach(shift), q9_.ForEach(shift), q10_.ForEach(shift);
  q11_.ForEach(shift), results_.ForEach(shift);
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
}

int32_t T_AnalyserB::QueueCount(int stage) {
  switch (stage) {
    case 1: return q1_.Count();
    case 2: return q2_.Count();
    case 3: return q3_.Count();
    case 4: return q4_.Count();
    case 5: return q5_.Count();
    case 6: return q6_.Count();
    case 7: return q7_.Count();
    case 8: return q8_.Count();
    case 9: return q9_.Count();
    case 10: return q10_.Count();
    case 11: return q11_.Count();
    default: return results_.Count();
  }
}

void T_AnalyserB::FreeItem(AnalyserItem* item) {
  if (!item) return;
  model::MatchListRelease(item->matches);
  platform::HeapDelete(item);
}

}  // namespace vendrix::analysis
