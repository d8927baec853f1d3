// The match list: the point correspondences of one measured entry, handed from a measurement (block
// matcher or feature tracker) to the model fit, kept on request by the frame records and painted by
// the preview.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vendrix::model {

// One correspondence, 13 four-byte slots. Displacement and position are in analysis pixels; the
// displacement runs from the reference entry to the current entry.
struct MatchEntry {
  uint32_t slot0;    // 0
  float dx;          // 1: displacement x (the fit's residual)
  float dy;          // 2: displacement y
  float x;           // 3: block position in the current entry
  float y;           // 4
  uint32_t slot5;    // 0
  float weightX;     // 6: > 0 when x was measured; <= 0 excludes the entry on that axis
  float weightY;     // 7
  uint32_t error;    // 8: best sum of squared differences
  uint32_t texture;  // 9: copied from the cell
  float quality;     // 10: measurement quality; the model fit reuses it as a per-match weight or mark
  float fitValue;    // 11: written by the model fit (squared reprojection error of the projective fit)
  uint8_t valid;     // 12: first byte of the slot
  uint8_t pad[3];
};
static_assert(sizeof(MatchEntry) == 52);
static_assert(offsetof(MatchEntry, dx) == 4 && offsetof(MatchEntry, x) == 12);
static_assert(offsetof(MatchEntry, weightX) == 24 && offsetof(MatchEntry, quality) == 40);
static_assert(offsetof(MatchEntry, valid) == 48);

// One measurement cell of the block matcher's grid (36 bytes; the preview reads the keep byte at 32).
struct MatchCell {
  int32_t x, y;      // block centre
  uint32_t texture;  // sum of (p - mean)^2 over the block
  float weightX;     // gradient energies, later their square roots
  float weightY;
  float score;
  uint32_t reserved[2];
  uint8_t keep;
  uint8_t pad[3];
};
static_assert(sizeof(MatchCell) == 36);
static_assert(offsetof(MatchCell, keep) == 32);

struct MatchList {
  MatchEntry* matches;   // capacity entries
  MatchCell* cells;      // capacity cells
  int32_t capacity;
  uint32_t count;        // entries in use (cells during selection, matches after the search)
  uint32_t width;        // working size
  uint32_t height;
  float aspectFactor;    // the scan's aspect factor, 1.0 unless within 0.1..10
  uint32_t columns;      // W/4 + 1 for the block matcher
  uint32_t rows;         // H/4 + 1
  uint32_t step;         // grid step finally used by the block matcher
  uint32_t planeWidth;   // of the level planes used
  uint32_t planeHeight;
  uint32_t marginX;      // grid start offset
  uint32_t marginY;
};

// One zero-filled heap block holding the header, columns x rows entries and as many cells.
// Null when memory is short or the size does not fit.
MatchList* MatchListCreate(uint32_t columns, uint32_t rows, uint32_t width, uint32_t height, float aspect);
void MatchListRelease(MatchList* list);  // null is ignored
// A kept copy: a single-column list with room for max(count, kept cells) matches, holding the matches,
// the size fields and the grid description. Null when memory is short or `list` is null.
MatchList* MatchListCopy(const MatchList* list);

// The aspect factor as stored: values outside 0.1..10, or NaN, become 1.0.
float SanitizeAspect(float aspect);

}  // namespace vendrix::model
