// The entries of the kernel tables as the checks and the benchmarks call them: names, the bytes a
// conversion row reads and writes, and a call of each corner detector kernel on rows of inputs.
#pragma once

#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

#include "analysis/block_kernels.h"
#include "analysis/block_search.h"
#include "analysis/corner_kernels.h"
#include "imaging/convert_rows.h"
#include "imaging/mix_rows.h"
#include "imaging/pixel_formats.h"
#include "platform/cpu.h"
#include "texmap/quad_spans.h"

namespace vendrix::testing {

struct IsaLevel {
  const char* name;
  uint32_t flags;
};
inline constexpr IsaLevel kIsaLevels[] = {{"sse2", platform::kCpuSse2},
                                          {"avx2", platform::kCpuSse2 | platform::kCpuAvx2}};

// A copy of a kernel table as `flags` fill it.
template <class Table>
Table TableAt(uint32_t flags, const Table& (*get)()) {
  platform::SetCpuFlagsMask(flags);
  const Table table = get();
  platform::SetCpuFlagsMask(platform::kCpuAllFlags);
  return table;
}

// ---- Conversion rows: counts in units of fixed size, even counts for the 4:2:2 packers, or v210
// groups of 6 pixels in 16 bytes (the step then ignored). ----

enum class Rows { kUnits, kEvenUnits, kV210In, kV210Out, kV210Copy };
struct RowEntry {
  const char* name;
  int src_unit, dst_unit, element;  // element: bytes per source value, 4 for f32
  Rows rows = Rows::kUnits;
};
inline constexpr RowEntry kRowEntries[] = {  // in the order of convert::ConvertRow
    {"CopyRow1", 1, 1, 1},         {"CopyRow2", 2, 2, 1},         {"CopyRow3", 3, 3, 1},
    {"CopyRow4", 4, 4, 1},         {"BgraFromBgr", 3, 4, 1},      {"BgraFromArgb", 4, 4, 1},
    {"BgraFromArgb16", 8, 4, 2},   {"BgraFromArgb32f", 16, 4, 4}, {"BgrFromBgra", 4, 3, 1},
    {"ArgbFromBgra", 4, 4, 1},     {"ArgbFromArgb16", 8, 4, 2},   {"ArgbFromArgb32f", 16, 4, 4},
    {"Argb16FromBgra", 4, 8, 1},   {"Argb32fFromBgra", 4, 16, 1}, {"GreyFromUyvy", 2, 4, 1},
    {"GreyFromYuyv", 2, 4, 1},     {"TintFromBgraKeepAlpha", 4, 4, 1}, {"TintFromBgra", 4, 4, 1},
    {"TintFromBgr", 3, 4, 1},      {"TintBgrFromBgr", 3, 3, 1},   {"TintFromArgb", 4, 4, 1},
    {"TintFromArgb16", 8, 4, 2},   {"TintFromArgb32f", 16, 4, 4}, {"TintFromVuya", 4, 4, 1},
    {"TintFromAyuv", 4, 4, 1},     {"TintFromAyuv16", 8, 4, 2},   {"TintFromAyuv32f", 16, 4, 4},
    {"UyvyFromBgra", 4, 2, 1, Rows::kEvenUnits}, {"YuyvFromBgra", 4, 2, 1, Rows::kEvenUnits},
    {"TintYuyvPairs", 4, 4, 1},    {"VuyaFromBgra", 4, 4, 1},     {"AyuvFromBgra", 4, 4, 1},
    {"Ayuv16FromBgra", 4, 8, 1},   {"Ayuv32fFromBgra", 4, 16, 1}, {"Vuya16FromBgra", 4, 8, 1},
    {"Vuya32fFromBgra", 4, 16, 1}, {"BgraFromVuya", 4, 4, 1},     {"ArgbFromAyuv", 4, 4, 1},
    {"ArgbFromAyuv16", 8, 4, 2},   {"ArgbFromAyuv32f", 16, 4, 4}, {"LumaFromV210", 0, 1, 1, Rows::kV210In},
    {"CopyV210Row", 0, 0, 1, Rows::kV210Copy}, {"V210FromUyvy16", 4, 0, 2, Rows::kV210Out},
    {"Uyvy16FromV210", 0, 4, 1, Rows::kV210In},
};
static_assert(std::size(kRowEntries) == imaging::convert::kConvertRowCount);

// Source and destination bytes of a row of `count` units.
inline std::pair<size_t, size_t> RowBytes(const RowEntry& e, int32_t count, uint32_t step) {
  const size_t n = static_cast<size_t>(count), groups = 16 * ((n + 5) / 6);
  const size_t padded = static_cast<size_t>(imaging::V210PaddedRowBytes(count));
  switch (e.rows) {
    case Rows::kV210In: return {groups, n * e.dst_unit};
    case Rows::kV210Out: return {n * e.src_unit, groups};
    case Rows::kV210Copy: return {padded, padded};
    default: return {(imaging::FxInt((count - 1) * step) + 1) * static_cast<size_t>(e.src_unit), n * e.dst_unit};
  }
}

inline constexpr const char* kMixNames[] = {"U8", "U16", "F32"};

// ---- The corner detector's rows: each entry called on rows of n values, writing into `out` (room for
// three rows; scalar results stored there too). ----

using analysis::CornerKernels;
struct CornerInputs {
  const float* rows[7];  // rows of n (+ padding) floats, each ending at a guard page
  const uint8_t* bytes;  // n bytes, ending at a guard page
  float taps[4];
  float level;  // a threshold or floor, usually one of the row's values
};
struct CornerEntry {
  const char* name;
  int32_t padding;  // values read beyond n
  bool (*replaced)(const CornerKernels& ref, const CornerKernels& vec);
  void (*call)(const CornerKernels& k, const CornerInputs& in, int32_t n, float* out);
};
using K = const CornerKernels&;
using In = const CornerInputs&;
#define VENDRIX_CORNER_ENTRY(member, padding, ...) \
  {#member, padding, [](K r, K v) { return r.member != v.member; }, [](K k, In in, int32_t n, float* out) __VA_ARGS__}
inline const CornerEntry kCornerEntries[] = {
    VENDRIX_CORNER_ENTRY(load_luma, 0, { k.load_luma(in.bytes, out, n); }),
    VENDRIX_CORNER_ENTRY(tensor_row, 0, {
      k.tensor_row(in.rows[0], in.rows[1], in.rows[2], out, out + n, out + 2 * n, n);
    }),
    VENDRIX_CORNER_ENTRY(smooth_row, 6, { k.smooth_row(in.rows[0], out, n, in.taps); }),
    VENDRIX_CORNER_ENTRY(smooth_columns, 0, { k.smooth_columns(in.rows, out, n, in.taps); }),
    VENDRIX_CORNER_ENTRY(column_response, 0, {
      const float* const* r = in.rows;
      const float* yy[7] = {r[3], r[1], r[4], r[0], r[6], r[2], r[5]};
      const float* xy[7] = {r[6], r[5], r[4], r[3], r[2], r[1], r[0]};
      k.column_response(r, yy, xy, out, n, in.taps);
    }),
    VENDRIX_CORNER_ENTRY(max_rows, 0, {
      k.max_rows(in.rows[0], in.rows[1], out, n);
      // In place with the second row ahead in the same buffer, as the window maxima use it.
      std::memcpy(out + n, in.rows[2], sizeof(float) * n);
      const int32_t shift = 1 << (n % 5);
      if (shift < n) k.max_rows(out + n, out + n + shift, out + n, n - shift);
    }),
    VENDRIX_CORNER_ENTRY(suppress_row, 0, { k.suppress_row(in.rows[0], in.rows[1], in.level, out, n); }),
    VENDRIX_CORNER_ENTRY(sum_squares, 0, { out[0] = k.sum_squares(in.rows[0], n); }),
    VENDRIX_CORNER_ENTRY(next_above, 0, {
      int32_t found = 0;  // every value above the level, found as the candidate scans step through a row
      const float* row = in.rows[0];
      for (int32_t i = k.next_above(row, 0, n, in.level); i < n; i = k.next_above(row, i + 1, n, in.level))
        out[found++] = static_cast<float>(i);
    }),
    VENDRIX_CORNER_ENTRY(row_peaks, 0, {
      int32_t* xs = reinterpret_cast<int32_t*>(out);  // the interior of a response row, as the Harris path scans it
      if (n >= 3) xs[0] = k.row_peaks(in.rows[0], in.rows[1], in.rows[2], 1, n - 1, in.level, xs + 1);
    }),
};
#undef VENDRIX_CORNER_ENTRY

inline constexpr const char* kLayoutNames[] = {"4x8",      "4x16",       "4xF32",    "LumaOdd",
                                               "LumaEven", "ChromaEven", "ChromaOdd"};
static_assert(std::size(kLayoutNames) == texmap::kSpanLayoutCount);

// ---- The block matcher's kernels ----

inline constexpr const char* kBlockNames[] = {"sparse_row", "first_min", "block_ssd", "cell_measure"};
inline bool BlockEntryReplaced(const analysis::BlockKernels& r, const analysis::BlockKernels& v, int i) {
  return i == 0 ? r.sparse_row != v.sparse_row
                : i == 1 ? r.first_min != v.first_min : i == 2 ? r.block_ssd != v.block_ssd : r.cell_measure != v.cell_measure;
}

}  // namespace vendrix::testing
