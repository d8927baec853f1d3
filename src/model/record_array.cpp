#include "model/record_array.h"

#include <cstring>

#include "platform/heap.h"

namespace vendrix::model {
namespace {
// Far beyond any clip (about 10 hours of 50i), and small enough that the block size fits easily.
constexpr int32_t kMaxCapacity = 1 << 22;
}  // namespace

FrameRecordArray* RecordArrayCreate(int32_t capacity) {
  if (capacity < 0 || capacity > kMaxCapacity) return nullptr;
  const size_t n = size_t(capacity) + 1;
  // The pointer tables follow the records; 420-byte records leave them misaligned for an odd count,
  // so their offset is rounded up to pointer alignment.
  const size_t tables = (sizeof(FrameRecordArray) + n * sizeof(FrameRecord) + alignof(void*) - 1) & ~(alignof(void*) - 1);
  const size_t bytes = tables + 2 * n * sizeof(void*);
  auto* a = static_cast<FrameRecordArray*>(platform::HeapAllocate(bytes));
  if (!a) return nullptr;
  a->records = reinterpret_cast<FrameRecord*>(a + 1);
  a->keptMatches = reinterpret_cast<void**>(reinterpret_cast<uint8_t*>(a) + tables);
  a->originalMatches = a->keptMatches + n;
  a->count = capacity;
  return a;
}

void RecordArrayRelease(FrameRecordArray* array) {
  if (!array) return;
  for (int32_t i = array->count; i >= 0; --i) {
    platform::HeapRelease(array->keptMatches[i]);
    platform::HeapRelease(array->originalMatches[i]);
  }
  platform::HeapRelease(array);
}

void RecordArraySetOwned(void** table, int32_t index, void* block) {
  platform::HeapRelease(table[index]);
  table[index] = block;
}

namespace {

// The index range [first, last) of positions that receive a record when shifting n by delta, and the
// count moved; everything is done with memmove, so shifting allocates nothing and cannot fail.
struct ShiftPlan {
  int32_t dst, src, moved;
};

ShiftPlan PlanShift(int32_t n, int32_t delta) {
  const int64_t moved = int64_t{n} - (delta < 0 ? -int64_t{delta} : int64_t{delta});
  if (moved <= 0) return {0, 0, 0};
  return delta < 0 ? ShiftPlan{0, -delta, static_cast<int32_t>(moved)} : ShiftPlan{delta, 0, static_cast<int32_t>(moved)};
}

template <class T>
void ShiftTable(T* table, int32_t n, int32_t delta) {
  const ShiftPlan p = PlanShift(n, delta);
  if (p.moved) std::memmove(table + p.dst, table + p.src, sizeof(T) * size_t(p.moved));
  // Vacated positions: before the moved run when shifting up, after it when shifting down.
  const int32_t clear_from = delta > 0 ? 0 : p.moved;
  const int32_t clear_to = delta > 0 ? (p.moved ? p.dst : n) : n;
  std::memset(static_cast<void*>(table + clear_from), 0, sizeof(T) * size_t(clear_to - clear_from));
}

void FreeDropped(void** table, int32_t n, int32_t delta) {
  for (int32_t i = 0; i < n; ++i) {
    const int64_t to = int64_t{i} + delta;
    if (to < 0 || to >= n) {
      platform::HeapRelease(table[i]);
      table[i] = nullptr;
    }
  }
}

}  // namespace

void ShiftOwnedBlocks(void** table, int32_t n, int32_t delta) {
  if (!table || delta == 0 || n <= 0) return;
  FreeDropped(table, n, delta);
  ShiftTable(table, n, delta);
}

void RecordArrayShift(FrameRecordArray* array, int32_t delta) {
  if (!array || delta == 0 || array->count <= 0) return;
  ShiftOwnedBlocks(array->keptMatches, array->count, delta);
  ShiftOwnedBlocks(array->originalMatches, array->count, delta);
  ShiftTable(array->records, array->count, delta);
}

}  // namespace vendrix::model
