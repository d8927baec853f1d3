#include "model/match_list.h"

#include <cstring>

#include "platform/heap.h"

namespace vendrix::model {
namespace {

MatchList* Allocate(uint64_t capacity, uint64_t cells) {
  constexpr uint64_t kMax = 1ull << 28;  // far beyond any working image (32768^2 / 16)
  if (capacity > kMax || cells > kMax) return nullptr;
  const size_t bytes = sizeof(MatchList) + capacity * sizeof(MatchEntry) + cells * sizeof(MatchCell);
  auto* list = static_cast<MatchList*>(platform::HeapAllocate(bytes));
  if (!list) return nullptr;
  list->matches = reinterpret_cast<MatchEntry*>(list + 1);
  list->cells = cells ? reinterpret_cast<MatchCell*>(list->matches + capacity) : nullptr;
  list->capacity = static_cast<int32_t>(capacity);
  return list;
}

}  // namespace

float SanitizeAspect(float aspect) { return (aspect >= 0.1f && aspect <= 10.0f) ? aspect : 1.0f; }

MatchList* MatchListCreate(uint32_t columns, uint32_t rows, uint32_t width, uint32_t height, float aspect) {
  const uint64_t capacity = uint64_t{columns} * rows;
  MatchList* list = Allocate(capacity, capacity);
  if (!list) return nullptr;
  list->width = width;
  list->height = height;
  list->aspectFactor = SanitizeAspect(aspect);
  list->columns = columns;
  list->rows = rows;
  return list;
}

void MatchListRelease(MatchList* list) { platform::HeapRelease(list); }

MatchList* MatchListCopy(const MatchList* list) {
  if (!list) return nullptr;
  uint32_t kept_cells = 0;
  if (list->cells)
    for (int32_t i = 0; i < list->capacity; ++i) kept_cells += list->cells[i].keep ? 1u : 0u;
  const uint32_t count = list->count <= static_cast<uint32_t>(list->capacity) ? list->count : 0;
  const uint32_t room = count > kept_cells ? count : kept_cells;
  MatchList* copy = Allocate(room, 0);
  if (!copy) return nullptr;
  std::memcpy(copy->matches, list->matches, count * sizeof(MatchEntry));
  copy->count = count;
  copy->width = list->width;
  copy->height = list->height;
  copy->aspectFactor = list->aspectFactor;
  copy->columns = 1;
  copy->rows = room;
  copy->step = list->step;
  copy->planeWidth = list->planeWidth;
  copy->planeHeight = list->planeHeight;
  copy->marginX = list->marginX;
  copy->marginY = list->marginY;
  return copy;
}

}  // namespace vendrix::model
