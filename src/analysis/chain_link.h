// Chain linking: connects each tracked feature of an entry to the same feature in the next entry, so
// that chain scoring can follow a feature across many entries.
//
// A feature of entry e - 1 sits where it was tracked to in image e - 1; the features of entry e were
// tracked from the corners detected in that same image. The two are the same feature when the tracked
// position lies closer than 5 pixels to the corner, found as the nearest vertex of a planar Delaunay
// subdivision of entry e's tracked-from positions.
#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "analysis/point_store.h"

struct GlobalMotionPath;

namespace vendrix::analysis {

// The subdivision and its vertex map, kept by the caller so that their storage is reused from one entry
// to the next. Not shared between threads (linking runs strictly in entry order anyway).
struct ChainLinker {
  cv::Subdiv2D subdiv;
  std::vector<int32_t> pointOfVertex;  // subdivision vertex id -> point index of the current store
};

// Links the stores of entries entry - 1 and entry (entry >= 2; entry 1 is linked when its store is
// built) and adds one to both use counts. False, with nothing done, when either store or the path's
// table is missing.
bool LinkChains(ChainLinker& linker, GlobalMotionPath* path, int32_t entry);

// The linking of two stores: for each point j of `previous`, last to first, whose position lies in the
// subdivision's rectangle, the point i of `current` whose tracked-from position (x - dx, y - dy) is
// nearest gets prev = j and point j gets next = i when they are closer than 5 pixels. Both use counts
// go up by one.
void LinkStores(ChainLinker& linker, PointStore& previous, PointStore& current);

}  // namespace vendrix::analysis
