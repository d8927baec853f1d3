// Chain linking: connects each tracked feature of an entry to the same feature in the next entry, so
// that chain scoring can follow a feature across many entries.
//
// A feature of entry e - 1 sits where it was tracked to in image e - 1; the features of entry e were
// tracked from the corners detected in that same image. The two are the same feature when the tracked
// position lies closer than 5 pixels to the nearest of those corners. A grid of cells at least 5 pixels
// wide finds it: whatever lies closer than 5 pixels sits in the query's cell or one of its eight
// neighbours. (A Delaunay subdivision's nearest-vertex walk gives the same links at several times the
// cost: building it and its Voronoi cells is most of the work of an entry's linking.)
#pragma once

#include <cstdint>
#include <vector>

#include "analysis/point_store.h"

struct GlobalMotionPath;

namespace vendrix::analysis {

// The grid, kept by the caller so that its storage is reused from one entry to the next. Not shared
// between threads (linking runs strictly in entry order anyway).
struct ChainLinker {
  std::vector<int32_t> cellFirst;   // per cell: the highest-numbered point of the current store in it
  std::vector<int32_t> nextInCell;  // per point: the next lower-numbered point of its cell
};

// Links the stores of entries entry - 1 and entry (entry >= 2; entry 1 is linked when its store is
// built) and adds one to both use counts. False, with nothing done, when either store or the path's
// table is missing.
bool LinkChains(ChainLinker& linker, GlobalMotionPath* path, int32_t entry);

// The linking of two stores: for each point j of `previous`, last to first, whose position lies within
// 8 pixels of the box around `current`'s tracked-from positions (x - dx, y - dy), the point i of
// `current` whose tracked-from position is nearest gets prev = j and point j gets next = i when they are
// closer than 5 pixels. Of coincident points the highest-numbered one is taken. Both use counts
// go up by one.
void LinkStores(ChainLinker& linker, PointStore& previous, PointStore& current);

}  // namespace vendrix::analysis
