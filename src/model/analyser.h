// The analyser interface: the one class hierarchy of the library. A path drives its threaded analyser
// through these operations only; the feature-tracking analyser implements them.
#pragma once

#include <cstdint>

#include "model/measure_params.h"
#include "model/model_params.h"

namespace vendrix::model {
struct AnalysisImage;
}

namespace vendrix::model {

class Analyser {
 public:
  virtual ~Analyser() = default;
  // Full Sync, then destroy and free. Used when the path is deleted or finishing drops the analyser.
  virtual void Release() = 0;
  // Settles the pipeline; mode 0 waits for everything (see the analyser for the other modes).
  virtual void Sync(int32_t mode) = 0;
  // Starts an entry; false when the entry is not below the path's capacity.
  virtual bool BeginEntry(int32_t entry, const AnalysisImage* image) = 0;
  // Hands the entry's image to the pipeline (copies what it needs before returning).
  virtual bool SubmitEntry(const AnalysisImage* image) = 0;
  virtual MeasureParams* MeasureParameters() = 0;
  virtual ModelParams* ModelParameters() = 0;
  // Adds delta to the entry index of every queued item (the real-time window slid).
  virtual void Shift(int32_t delta) = 0;
};

}  // namespace vendrix::model
