// The library's own corner detector: a Harris-type response on a smoothed structure tensor, non-maximum
// suppression over a square window whose size follows the frame size, and a selection that keeps the
// strongest corners up to a limit. Used by the feature-tracking analyser to seed optical flow.
//
// All arithmetic is single-precision float. Corners come out as integer-valued (x, y) float pairs, in
// raster order when every candidate fits, else strongest first.
//
// Work memory: one heap block held by a DetectorScratch that the caller keeps across frames (one per
// concurrent detection). The block only grows, so a steady frame size allocates once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vendrix::analysis {

// Reusable work memory of the detector. Zero-initialised = empty; the owner calls
// DetectorScratchRelease when done. Not shared between threads.
struct DetectorScratch {
  void* block = nullptr;
  size_t bytes = 0;
};

// Makes `scratch` hold at least `bytes` (the old contents are not kept). False, with the scratch left
// empty, when the memory cannot be had.
bool DetectorScratchReserve(DetectorScratch& scratch, size_t bytes);
void DetectorScratchRelease(DetectorScratch& scratch);

// Suppression spacing for a width x height image: d0 = trunc(sqrt(W*H) / 73 + 0.5); above 4 it is reduced
// by trunc((d0 + 3) / 6); never below 2. 720 x 576 -> 7, 1920 x 1080 -> 17, 64 x 64 -> 2.
int32_t CornerSpacing(int32_t width, int32_t height);

// Detects at most `max_corners` corners in an 8-bit grey image (row y starts at image + y * pitch;
// |pitch| >= width) and writes them to xy as (x, y) pairs (room for 2 * max_corners floats). Returns the
// count; 0 (nothing written) for bad arguments, images smaller than 5 x 5, or when the work memory
// cannot be had.
int32_t DetectCorners(const uint8_t* image, int32_t width, int32_t height, int32_t pitch, int32_t max_corners,
                      DetectorScratch& scratch, float* xy);

// ---- Kernels, exposed for the tests and the benchmark ----

// The detector's planes inside its work block (each width * height floats, row pitch = width).
struct CornerPlanes {
  int32_t width, height;
  float* response;    // smoothed response R
  float* suppressed;  // M: R where R is its window's maximum and at least the threshold, else 0
  void* candidates;   // two planes: up to width * height CornerCandidate records
  float* windowRows;  // three planes: running maxima of the suppression (3 * (2d + 1) rows, pitch width)
  float* rows;        // kCornerRowBuffers rows of CornerRowStride(width) floats for the streaming kernels
};

constexpr int32_t kCornerRowBuffers = 40;
// Floats per row buffer: the row with 3 replicated pixels on either side, rounded up to 4 floats.
inline int32_t CornerRowStride(int32_t width) { return (width + 6 + 3) & ~3; }

// One candidate corner: its value M and raster index y * width + x.
struct CornerCandidate {
  float value;
  int32_t index;
};
static_assert(sizeof(CornerCandidate) == 8);

// Bytes of the work block for width x height; 0 when the size is out of range (below 5 or above 32767 on
// a side). Never less than 13 planes (52 * W * H bytes), the detector's established work size, so which
// frames can be had does not depend on how the kernels lay out their buffers; the layout itself takes
// seven planes and the row buffers, and the rest is never touched (address space, not memory).
size_t CornerWorkBytes(int32_t width, int32_t height);
// Lays the planes out in a block of at least CornerWorkBytes(width, height) bytes.
CornerPlanes CornerPlanesIn(void* block, int32_t width, int32_t height);

// Smoothing taps of K(3, p): taps[i] is the weight of the pixels i away from the centre (i = 0..3),
// proportional to exp(-0.5 i^2 / p), normalised so that the seven taps sum to 1.
void SmoothingTaps(float spread, float taps[4]);
// Load (pixel / 255), structure tensor (central differences, outermost rows and columns 0), tensor
// smoothing K(3, 0.3), response S_xx*S_yy - S_xy^2 - 0.04*(S_xx + S_yy)^2 and its smoothing K(3, 0.7):
// fills planes.response from the image. The smoothings are separable, rows first, with the edge pixel
// repeated beyond the plane edge; each output is ((t0*c + t1*(l1 + r1)) + t2*(l2 + r2)) + t3*(l3 + r3),
// l/r the pixels on either side. Runs as one pass over the image with rings of rows, so the
// intermediate planes never leave the cache.
void ComputeCornerResponse(const uint8_t* image, int32_t pitch, const CornerPlanes& planes);
// Sum of R^2 over the band of spacing d (0 when it is empty), and over the pixels of band d that band
// d + 1 leaves out (0 when band d + 1 is empty): lowering the spacing adds one ring to the sum.
float BandSquares(const CornerPlanes& planes, int32_t d);
float RingSquares(const CornerPlanes& planes, int32_t d);
// Threshold for spacing d: min(0.4 * sqrt(Q / (m + 1)), 0.0009), Q the sum of R^2 over the band
// d <= x < W - d, d <= y < H - d and m its pixel count.
float CornerThreshold(const CornerPlanes& planes, int32_t d);
// Fills planes.suppressed from planes.response for spacing d and threshold t: R at band pixels whose R
// is at least t and not below any R of the (2d + 1)^2 window around them, 0 everywhere else.
void SuppressNonMaxima(const CornerPlanes& planes, int32_t d, float threshold);
// Collects the candidates (M > 0.0008, raster order) into planes.candidates and applies the selection
// rules for the limit n: all when they fit; the n strongest when up to 4n; with more, the weak ones
// (M <= a quarter of the mean) are dropped first, in order, and the n strongest kept if still too many.
// Equal values keep raster order. Returns the number kept (the first records of planes.candidates).
int32_t SelectCorners(const CornerPlanes& planes, int32_t max_corners);

// Sparse form of suppression and collection, for frames with few strong pixels. Peaks: the band pixels
// of spacing d whose R is above the candidate floor (0.0008), as raster indices, in raster order; every
// candidate of spacing d or wider is one. Returns their count.
int32_t CollectPeaks(const CornerPlanes& planes, int32_t d, int32_t* peaks);
// The candidates of spacing d and threshold t among the peaks (those in the band of d whose R is at least
// t and not below any R of their window), in raster order: the records SelectCorners would collect from
// SuppressNonMaxima's output. Returns their count.
int32_t PeakCandidates(const CornerPlanes& planes, const int32_t* peaks, int32_t count, int32_t d, float threshold,
                       CornerCandidate* out);

}  // namespace vendrix::analysis
