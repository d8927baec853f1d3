// The block matcher's kernels and their table: integer sums of 8-bit luma over blocks and search
// windows. Every entry starts as the plain C++ reference and is replaced by a vector version only where
// one exists for the running processor; all versions of an entry give identical results (exact
// integer arithmetic, and the first-found rule on ties).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vendrix::analysis {

// The measures of one size x size cell: the sum of its pixels and of their squares, and the sums of
// the squared differences of horizontally (gradX) and vertically (gradY) neighbouring pixels inside it.
// size <= 24, so each fits 32 bits.
struct CellSums {
  uint32_t sum;
  uint32_t sumSquares;
  uint32_t gradX;
  uint32_t gradY;
};

struct BlockKernels {
  // The sparse sum of squared differences of four block samples at `count` consecutive horizontal
  // displacements: sums[i] = sum over k of (values[k] - ref[offsets[k] + i])^2 (at most 4 * 255^2).
  // Reads ref[offsets[k]] .. ref[offsets[k] + count - 1].
  void (*sparse_row)(const uint8_t* ref, const ptrdiff_t offsets[4], const uint8_t values[4], int32_t count,
                     uint32_t* sums);
  // Index of the first smallest of v[0..n), n >= 1, every value below 2^31. The first wins ties, which
  // keeps the search's scan order (rows top to bottom, left to right) the tie rule.
  int32_t (*first_min)(const uint32_t* v, int32_t n);
  // Full-block sum of squared differences of two size x size blocks (size 8, 12, 16 or 24), rows
  // `pitch` bytes apart.
  uint32_t (*block_ssd)(const uint8_t* a, const uint8_t* b, ptrdiff_t pitch, int32_t size);
  // The measures of the size x size cell at p (size 8, 12, 16 or 24). May read the byte right of each
  // row of the cell.
  void (*cell_measure)(const uint8_t* p, ptrdiff_t pitch, int32_t size, CellSums* out);
};

// The table for the running processor (see platform/kernel_table.h for when it is filled).
const BlockKernels& BlockKernelTable();

}  // namespace vendrix::analysis
