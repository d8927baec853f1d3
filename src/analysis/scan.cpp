#include "analysis/scan.h"

#include <cstring>

#include "analysis/frame_planes.h"
#include "model/match_list.h"
#include "analysis/scan_params.h"
#include "analysis/feature_tracker.h"

namespace vendrix::analysis {
namespace {

// Prepares the scale stack of a block-matching entry in the path's plane pool. The measurement that
// reads the window joins here; until then the window is released once the planes are ready, and the
// planes stay keyed by entry so the next entries' windows find them.
void PrepareBlockMatchingEntry(GlobalMotionPath* path, const model::AnalysisImage& image, const model::MeasureParams& measure,
                               int32_t entry) {
  if (entry < 0 || entry >= model::PathCapacity(path)) return;
  if (!path->planePool) {
    path->planePool = model::FramePlanePoolCreate(image.width, image.height);
    if (!path->planePool) return;
  }
  FrameWindow window;
  if (!AcquireWindow(*path->planePool, entry, window)) return;
  PrepareScaleStack(*path->planePool, window, image, measure);
  ReleaseWindow(window);
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
  if (!path->analyser && !path->jobPool && !path->planePool) {
    model::MeasureParams measure;
    model::ModelParams model;
    DeriveScanParams(input->settings, input->width, input->height, measure, model, nullptr);
    if (model.analyserKind == 1) {
      path->analyser = FeatureTracker::Create(path);
      if (!path->analyser) return;
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
    model::MeasureParams measure;
    model::ModelParams model;
    SetUpEntry(path, input->settings, images[e], measure, model);
    PrepareBlockMatchingEntry(path, images[e], measure, static_cast<int32_t>(entry));
  }
}

}  // namespace vendrix::analysis
