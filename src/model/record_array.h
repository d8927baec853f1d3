// The container behind every per-entry array of a path: capacity + 1 records (the last one a spare)
// and two tables of owned per-entry blocks, all in one zero-filled heap block.
#pragma once

#include <cstdint>

#include "model/frame_record.h"

namespace vendrix::model {

struct FrameRecordArray {
  FrameRecord* records;  // capacity + 1 records, directly behind this header
  void** keptMatches;         // capacity + 1 owned blocks: the kept match list of each entry
  void** originalMatches;         // capacity + 1 owned blocks: the untouched match list taken by the first re-fit
  int32_t count;         // the capacity; records[count] is the spare
};

// Null when memory is short or the capacity is negative or absurdly large.
FrameRecordArray* RecordArrayCreate(int32_t capacity);
// Frees every owned block (highest index first), then the array; null is ignored.
void RecordArrayRelease(FrameRecordArray* array);
// Replaces the owned block at `index` of table A or B, freeing the old one.
void RecordArraySetOwned(void** table, int32_t index, void* block);

// Moves every record i with its owned blocks to i + delta where that stays inside 0..count-1; blocks
// of records pushed out are freed and vacated positions become zero records. The spare is not moved.
void RecordArrayShift(FrameRecordArray* array, int32_t delta);
// The same for a table of n owned blocks.
void ShiftOwnedBlocks(void** table, int32_t n, int32_t delta);

}  // namespace vendrix::model
