// The block matcher's measurement of one entry: the reference distance, the two-pass search radius,
// single or multi-distance measurement and the records written from it. Runs as a job on a worker
// thread (or inline); it writes only its own entry's records and kept match lists.
#pragma once

#include <cstdint>

#include "analysis/block_search.h"
#include "analysis/frame_planes.h"
#include "model/global_motion_path.h"
#include "model/measure_params.h"
#include "model/model_params.h"

namespace vendrix::analysis {

// What the job body reads; set up by the scanning thread before the job starts.
struct EntryMeasurement {
  GlobalMotionPath* path;
  int32_t entry;
  const model::FramePlanePool* pool;
  const FrameWindow* window;  // the planes of the entry and of up to four entries before it
  model::MatchList* matches;  // the job's list: holds the last measurement's matches and cells
  model::MeasureParams measure;
  model::ModelParams model;
  bool interlaced;            // the path holds two fields per frame
};

// Measures the entry and writes its records into the path's measurement arrays the mode uses.
void MeasureEntry(const EntryMeasurement& job, const BlockKernels& k);

// The planes of the window's current entry against the entry `distance` before it; false when the
// planes a measurement needs are not prepared.
bool PlanesAtDistance(const model::FramePlanePool& pool, const FrameWindow& window, int32_t distance,
                      const model::MeasureParams& p, SearchPlanes* planes);

}  // namespace vendrix::analysis
