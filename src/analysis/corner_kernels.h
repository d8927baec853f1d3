// The per-row kernels of the corner detector and their table: the streaming response pass (luma, tensor
// products, the separable smoothings, the response), the window maxima and suppression of a row, the
// band's sum of squares, the candidate scan and the peak scan of the Harris path.
//
// Every entry of the table starts as the plain C++ reference and is replaced by a vector version only
// where one exists for the running processor. All versions of an entry give identical bits: the float
// kernels do the reference's operations in its order in every lane, and never fuse a multiply and an
// add.
#pragma once

#include <cstdint>

namespace vendrix::analysis {

// taps[i] is the weight of the pixels i away from the centre (i = 0..3) of a 7-tap symmetric smoothing;
// each output is ((t0*c + t1*(l1 + r1)) + t2*(l2 + r2)) + t3*(l3 + r3), l/r the pixels on either side.
struct CornerKernels {
  // dst[x] = src[x] x 0.003921569 (1/255) for x < width.
  void (*load_luma)(const uint8_t* src, float* dst, int32_t width);
  // The products of the central differences gx = row[x - 1] - row[x + 1], gy = up[x] - down[x] for the
  // interior 1 <= x <= width - 2: sxx = gx*gx, syy = gy*gy, sxy = gx*gy. Columns 0 and width - 1 are
  // not written.
  void (*tensor_row)(const float* up, const float* row, const float* down, float* sxx, float* syy, float* sxy,
                     int32_t width);
  // dst[x] = the taps over pad[x .. x + 6] for x < width (pad holds the row shifted by 3).
  void (*smooth_row)(const float* pad, float* dst, int32_t width, const float taps[4]);
  // dst[x] = the taps over rows[0..6][x] (rows[3] the centre) for x < width.
  void (*smooth_columns)(const float* const rows[7], float* dst, int32_t width, const float taps[4]);
  // The response of one row from the column smoothing of the three row-smoothed tensor channels:
  // with a, b, c the column taps over xx, yy, xy at x, dst[x] = (a*b - c*c) - 0.04*((a + b)*(a + b)).
  void (*column_response)(const float* const xx[7], const float* const yy[7], const float* const xy[7], float* dst,
                          int32_t width, const float taps[4]);
  // dst[i] = a[i] > b[i] ? a[i] : b[i] for i < n. dst may be a, and b may lie ahead of a in the same
  // row (b = a + s): each value is read before it is overwritten.
  void (*max_rows)(const float* a, const float* b, float* dst, int32_t n);
  // dst[i] = r[i] when r[i] >= t and r[i] >= w[i], else 0, for i < n.
  void (*suppress_row)(const float* r, const float* w, float t, float* dst, int32_t n);
  // Sum of p[i]^2 for i < n, accumulated in four interleaved partial sums (element i into sum i % 4 over
  // the whole blocks of four), which are added as (s0 + s1) + (s2 + s3), the rest after them in order.
  float (*sum_squares)(const float* p, int32_t n);
  // The first i in [start, n) with row[i] > floor, or n.
  int32_t (*next_above)(const float* row, int32_t start, int32_t n, float floor);
  // The peaks of a response row: each x in [start, end), in increasing order, where row[x] is above
  // `level` and not 0, and none of its eight neighbours in above, row and below is larger once values
  // not above the level count as 0. Writes them to xs (room for end - start) and returns their number.
  // Reads columns start - 1 .. end of the three rows.
  int32_t (*row_peaks)(const float* above, const float* row, const float* below, int32_t start, int32_t end,
                       float level, int32_t* xs);
};

// The table for the running processor (see platform/kernel_table.h for when it is filled).
const CornerKernels& CornerKernelTable();

}  // namespace vendrix::analysis
