// The conversion row table, and the copy kernels, which need no vector version: equal sizes copy the
// row in one memmove, already the fastest form on every processor.
#include "imaging/convert_rows.h"

#include <cstring>

#include "imaging/pixel_formats.h"
#include "platform/kernel_table.h"

namespace vendrix::imaging::convert {
namespace {

template <int kBytes>
void CopyUnits(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step) {
  if (step == static_cast<uint32_t>(kFxOne)) {
    // memmove: a host may convert an image onto itself.
    std::memmove(dst, src, static_cast<size_t>(count) * kBytes);
    return;
  }
  uint32_t position = 0;
  for (int32_t x = 0; x < count; ++x, position += step)
    std::memcpy(dst + x * kBytes, src + FxInt(position) * kBytes, kBytes);
}

void CopyV210Row(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t) {
  std::memmove(dst, src, static_cast<size_t>(V210PaddedRowBytes(count)));
}

void FillTable(uint32_t flags, ConvertRowTable* table) {
  FillCopyRows(flags, table);
  FillRgbRows(flags, table);
  FillYuvRows(flags, table);
}

constinit platform::KernelTable<ConvertRowTable> g_table(FillTable);

}  // namespace

void FillCopyRows(uint32_t, ConvertRowTable* table) {
  RowKernel* rows = table->rows;
  rows[kCopyRow1] = CopyUnits<1>;
  rows[kCopyRow2] = CopyUnits<2>;
  rows[kCopyRow3] = CopyUnits<3>;
  rows[kCopyRow4] = CopyUnits<4>;
  rows[kCopyV210Row] = CopyV210Row;
}

const ConvertRowTable& ConvertRowKernels() { return g_table.Get(); }

}  // namespace vendrix::imaging::convert
