// The global motion path: the object behind the offline, two-pass way of working. It owns every
// per-entry array of the clip and the resources of the running analysis.
//
// Entries: a progressive path has one entry per frame, an interlaced one two (entry = 2 * frame + field).
// The path has no lock: the host calls one export at a time per path, and analysis jobs that write the
// arrays from worker threads are waited for before anything reads the arrays as a whole.
#pragma once

#include <cstdint>

#include "model/measure_params.h"
#include "model/model_params.h"
#include "model/record_array.h"
#include "vendrix/vendrix.h"

namespace vendrix::model {
class Analyser;
class AnalysisJobPool;
}  // namespace vendrix::model
namespace vendrix::model {
struct FramePlanePool;
}

enum GlobalMotionPathFlags : uint8_t {
  kPathInterlaced = 0x01,   // two fields per frame, capacity doubled
  kPathKeepMatches = 0x02,  // keep every entry's match list
};

struct GlobalMotionPath {
  vendrix::model::FrameRecordArray* measured[4];  // measurement variants of every entry; owned
  vendrix::model::FrameRecordArray* analysis;     // = measured[0], read by the analysis queries
  vendrix::model::FrameRecordArray* integrated;   // integrated camera path; owned
  int32_t preparedCount;                         // entries covered by the matrix finisher's cache; 0 = none
  float preparedReadout;                         // rolling-shutter readout fraction of that cache; 0 = none
  vendrix::model::FrameRecordArray* smoothed;     // smoothed path or per-entry correction; owned
  float boundsMin[2];                            // smallest x, y of any compensated corner
  float boundsMax[2];                            // largest x, y
  vendrix::model::FramePlanePool* planePool;  // block-matching planes; owned
  void* handover;                                // block handed over by the last completed job; owned
  vendrix::model::AnalysisJobPool* jobPool;       // block-matching jobs; owned
  vendrix::model::Analyser* analyser;           // feature-tracking analyser; owned
  void** matchStore;                             // one owned point store per entry (capacity slots)
  int32_t width, height;                         // analysed size after field split / halving
  int32_t searchRadius;                          // of the measurement parameters in use
  uint32_t handoverValue;                        // scan frame index of the last completed job
  int32_t lastFrame;                             // last entry whose analysis is complete; starts at 0
  uint32_t fieldMode;                            // of the scan input
  uint8_t flags;                                 // GlobalMotionPathFlags
  uint32_t inputWidth, inputHeight;              // frame size of the scan input
  float inputScale;                              // the scan input's float value (aspect factor)
  vendrix::model::MeasureParams measureParams;  // of the last scan
  vendrix::model::ModelParams modelParams;          // of the last scan, amended by finishing
  float frameHeight;                             // set by the matrix finisher
  float limitX, limitY, limitAngle;              // compensation limits of the matrix finisher
  uint32_t refitSize;                            // entry count of the last re-fit pass
  uint8_t refitKind;                             // 0 = no re-fit yet, else the variant of the last one
};

namespace vendrix::model {

// Capacity = frame_count, doubled with flags bit 0; bits 0 and 1 are kept. Null on failure.
GlobalMotionPath* PathCreate(uint32_t frame_count, int32_t flags);
// Releases the analyser (after its full Sync), the arrays, then the analysis resources; null is ignored.
void PathDelete(GlobalMotionPath* path);
// Drops the analysis resources (analyser, job pool, plane pool, hand-over, match store) but keeps the
// arrays: finishing does this unless asked to keep the analysis state.
void PathReleaseAnalysis(GlobalMotionPath* path);
// Slides the path by delta entries (real-time window): analyser synced and shifted, lastFrame moved,
// the analysis array and the match store shifted with their owned blocks.
void PathShift(GlobalMotionPath* path, int32_t delta);

inline int32_t PathCapacity(const GlobalMotionPath* path) { return path->analysis ? path->analysis->count : 0; }

}  // namespace vendrix::model
