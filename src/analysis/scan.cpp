#include "analysis/scan.h"

#include <cstring>

#include "analysis/analysis_jobs.h"
#include "analysis/frame_planes.h"
#include "analysis/frame_records.h"
#include "model/match_list.h"
#include "analysis/scan_params.h"
#include "analysis/feature_tracker.h"
#include "platform/heap.h"

namespace vendrix::analysis {
namespace {

// Jobs asked of the pool: one more than can run, so the ninth scan waits for the first job.
constexpr int32_t kRequestedJobs = 9;

// Sets up one block-matching entry and hands it to a worker: planes prepared on this thread, the
// measurement on the job's worker. An entry that cannot be set up (beyond the capacity, no planes
// left, no memory) is not measured and leaves its records untouched.
void ScanBlockMatchingEntry(GlobalMotionPath* path, const PathSettings& settings, uint32_t frame,
                            model::AnalysisImage& image, int32_t entry) {
  auto* jobs = static_cast<BlockMatchingJobs*>(path->jobPool);
  jobs->SettleBeforeEntry(entry);
  AnalysisJob* job = jobs->TakeFree();
  if (!job) return;
  EntryMeasurement& work = job->work;
  SetUpEntry(path, settings, image, work.measure, work.model);
  if (!path->planePool) path->planePool = model::FramePlanePoolCreate(image.width, image.height);
  job->window = platform::HeapNew<FrameWindow>();
  work.matches = model::MatchListCreate(static_cast<uint32_t>(image.width) / 4 + 1,
                                        static_cast<uint32_t>(image.height) / 4 + 1, static_cast<uint32_t>(image.width),
                                        static_cast<uint32_t>(image.height), image.aspectFactor);
  if (!path->planePool || !job->window || !work.matches || entry >= model::PathCapacity(path) ||
      !AcquireWindow(*path->planePool, entry, *job->window)) {
    jobs->Abandon(job);
    return;
  }
  PrepareScaleStack(*path->planePool, *job->window, image, work.measure);
  work.path = path;
  work.entry = entry;
  work.pool = path->planePool;
  work.window = job->window;
  work.interlaced = (path->flags & kPathInterlaced) != 0;
  job->frameIndex = frame;
  // The job rewrites the entry's records: the finisher's preparation built on the old ones is stale.
  InvalidateEntry(path, entry);
  jobs->Submit(job, frame != 0);  // the clip's first frame is only the reference of the next
}

}  // namespace

void BuildEntryImages(const ScanInput& in, model::AnalysisImage& first, model::AnalysisImage& second) {
  std::memset(&first, 0, sizeof(first));
  first.format = in.format;
  first.fieldMode = in.fieldMode;
  first.aspectFactor = in.aspectFactor;
  first.sourceWidth = in.width;
  first.sourceHeight = in.height;
  first.sourcePitch = in.pitch;
  first.sourceBuffer = static_cast<const uint8_t*>(in.buffer);
  first.width = in.width;
  first.height = in.height;
  first.pitch = in.pitch;
  first.buffer = first.sourceBuffer;
  second = first;
  if (second.fieldMode) second.fieldMode ^= VENDRIX_FIELD_FIRST | VENDRIX_FIELD_SECOND;
}

void SetUpEntry(GlobalMotionPath* path, const PathSettings& settings, model::AnalysisImage& image, model::MeasureParams& measure,
                model::ModelParams& model) {
  DeriveScanParams(settings, image.sourceWidth, image.sourceHeight, measure, model, &image);
  // The feature tracker reads its own luma and always works on a halved large frame.
  if (model.analyserKind == 1) image.halveAllowed = 1;
  image.fieldShift = 0.0f;
  if (measure.fieldShiftOn && (image.fieldMode & (VENDRIX_FIELD_FIRST | VENDRIX_FIELD_SECOND))) {
    // The first field sits half a row above the frame's centre line, the second half a row below.
    measure.fieldShift = (image.fieldMode & VENDRIX_FIELD_FIRST) ? -0.5f : 0.5f;
    image.fieldShift = measure.fieldShift;
  }
  if (path->flags & kPathKeepMatches) measure.keepMatches = 1;
  path->measureParams = measure;
  path->modelParams = model;
  path->searchRadius = measure.searchRadius;
  ChooseWorkingImage(image);
  path->width = image.width;
  path->height = image.height;
}

void ScanFrame(GlobalMotionPath* path, uint32_t frame, const ScanInput* input) {
  if (!path || !input || input->tag != VENDRIX_SCAN_INPUT_TAG) return;
  const bool interlaced = (path->flags & kPathInterlaced) != 0;
  const int64_t first_entry = int64_t{frame} * (interlaced ? 2 : 1);
  path->fieldMode = input->fieldMode;
  path->inputWidth = static_cast<uint32_t>(input->width);
  path->inputHeight = static_cast<uint32_t>(input->height);
  path->inputScale = input->aspectFactor;
  if (input->width <= 0 || input->height <= 0 || input->width > 32767 || input->height > 32767 || !input->buffer)
    return;  // nothing to measure in a frame without pixels

  model::AnalysisImage images[2];
  BuildEntryImages(*input, images[0], images[1]);
  const int entries = interlaced ? 2 : 1;

  // The analyser is chosen once per path, by the settings of the first scan that finds none.
  if (!path->analyser && !path->jobPool) {
    model::MeasureParams measure;
    model::ModelParams model;
    DeriveScanParams(input->settings, input->width, input->height, measure, model, nullptr);
    if (model.analyserKind == 1) {
      path->analyser = FeatureTracker::Create(path);
      if (!path->analyser) return;
    } else {
      path->jobPool = BlockMatchingJobs::Create(path, kRequestedJobs);
      if (!path->jobPool) return;
    }
  }

  if (model::Analyser* analyser = path->analyser) {
    for (int e = 0; e < entries; ++e) {
      const int64_t entry = first_entry + e;
      if (entry > INT32_MAX || !analyser->BeginEntry(static_cast<int32_t>(entry), &images[e])) return;
      SetUpEntry(path, input->settings, images[e], *analyser->MeasureParameters(), *analyser->ModelParameters());
      analyser->SubmitEntry(&images[e]);
    }
    return;
  }

  for (int e = 0; e < entries; ++e) {
    const int64_t entry = first_entry + e;
    if (entry >= model::PathCapacity(path)) return;
    ScanBlockMatchingEntry(path, input->settings, frame, images[e], static_cast<int32_t>(entry));
  }
}

}  // namespace vendrix::analysis
