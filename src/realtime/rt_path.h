// The real-time motion path: a sliding analysis window over a stream (a global motion path) and the
// compensation array of its latest finishing.
//
// Stream frame numbers are signed 64-bit. The window's path holds the frames windowFirst ..
// windowFirst + room - 1 (two entries per frame with field pairs). Every function here except
// RtCreate takes the process-wide real-time lock for its whole run: all objects of the process are
// served one call at a time, the analysis and finishing they trigger included.
#pragma once

#include <cstdint>

#include "model/global_motion_path.h"
#include "vendrix/vendrix.h"

struct RTMotionPath {
  GlobalMotionPath* path;  // the analysis window; null until a frame is scanned and after a reset
  RTPathConfig config;
  PathSettings settings;
  uint32_t* comp;           // compensation array B of the latest finishing; null when none
  int64_t windowFirst;      // stream frame of the path's entry 0
  int64_t compFirst;        // stream frame of comp's record 0
  int64_t lastScanned;      // the most recent frame handed to the scanner
  int32_t lastWidth;        // its size; 0 when nothing was scanned since the last reset
  int32_t lastHeight;
  float lastAspect;         // its aspect factor; 0 until the first scan (resets keep it)
};

namespace vendrix::realtime {

// The configuration's window in frames: the path's room, the last frame the window accepts, the length
// after which it slides.
int64_t WindowRoom(const RTPathConfig& c);

RTMotionPath* RtCreate();
void RtDelete(RTMotionPath* rt);
int32_t RtConfigure(RTMotionPath* rt, const RTPathConfig* config);
int32_t RtGetSettings(RTMotionPath* rt, PathSettings* out, uint32_t size);
int32_t RtSetSettings(RTMotionPath* rt, const PathSettings* in, int32_t size);

// Drops the window and the compensation array (lastAspect stays): the next scan starts a new window.
void RtReset(RTMotionPath* rt);
// Releases the compensation array.
void RtDropComp(RTMotionPath* rt);

}  // namespace vendrix::realtime
