// Shared by the fuzz targets (each one translation unit, which uses these unqualified): guarded host buffers of exactly
// the size an image needs, well-formed images drawn from the fuzzer's bytes, and a count of the inputs reaching the work.
#pragma once

#include <sanitizer/asan_interface.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "vendrix/vendrix.h"

#if __has_include("concurrency/library.h")
#include "concurrency/library.h"
#include "concurrency/thread_pool.h"
// Attach the library as loading the shared object would; parallel loops on the calling thread, for repeatable runs.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vendrix::concurrency::CreateRTPathLock();
  if (!vendrix::concurrency::ProcessAttach(nullptr)) abort();
  vendrix::concurrency::PoolService()->SetMultithreaded(false);
  return 0;
}
#endif

namespace vendrix::fuzz {

// `size` bytes between two PROT_NONE pages. The block starts 16-byte aligned; the few bytes between its
// end and the trailing guard page are poisoned, so a read or write one byte outside faults either way.
struct Guarded {
  explicit Guarded(size_t bytes) : size(bytes) {
    const size_t page = size_t(sysconf(_SC_PAGESIZE)), body = (size + 15) / page * page + page;
    len = body + 2 * page;
    map = static_cast<uint8_t*>(mmap(nullptr, len, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (map == MAP_FAILED || mprotect(map + page, body, PROT_READ | PROT_WRITE) != 0) abort();
    data = map + page + ((body - size) & ~size_t{15});
    ASAN_POISON_MEMORY_REGION(map + page, data - map - page);
    ASAN_POISON_MEMORY_REGION(data + size, map + page + body - data - size);
  }
  ~Guarded() {
    ASAN_UNPOISON_MEMORY_REGION(map, len);
    munmap(map, len);
  }
  Guarded(const Guarded&) = delete;  // owns its mapping
  void operator=(const Guarded&) = delete;
  size_t size, len;
  uint8_t *map, *data;
};

// Every code the header names, and a few it does not.
inline uint32_t PickFormat(FuzzedDataProvider& in) {
  static constexpr uint32_t kCodes[] = {1, 2, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 3, 0, 99};
  return kCodes[in.ConsumeIntegralInRange<size_t>(0, std::size(kCodes) - 1) % std::size(kCodes)];
}

// Bytes of one host row: whole 4:2:2 pairs, whole groups of 6 for 10-bit 4:2:2, v210 padded to 48 pixels as usual.
inline int64_t RowBytes(uint32_t format, int64_t w) {
  switch (format) {
    case 2: return 3 * w;
    case 9: case 10: case 12: return (format == 12 ? 2 : 4) * ((w + 1) / 2);
    case 13: case 14: return format == 13 ? 128 * ((w + 47) / 48) : 24 * ((w + 5) / 6);
    case 24: return w;
    default: return (format >= 16 && format <= 23 ? (format & 1 ? 16 : 8) : 4) * w;
  }
}

// A host image of exactly the bytes its format, size and pitch cover: rows continue in the pitch's
// direction (negative pitches are bottom-up), 4:2:0 chroma planes follow the luma rows.
struct Image {
  uint32_t format;
  int32_t width, height, pitch;
  std::unique_ptr<Guarded> mem;
  uint8_t* row0;
  Image(FuzzedDataProvider& in, uint32_t fmt, int32_t w, int32_t h, int unit = 4) : format(fmt), width(w), height(h) {
    const int64_t row = RowBytes(fmt, w), luma = fmt == VENDRIX_PIXFMT_NV12 ? w : row;  // NV12 chroma rows hold pairs
    pitch = int32_t((row + unit - 1) / unit * unit + unit * in.ConsumeIntegralInRange(0, 2)) * (in.ConsumeBool() ? -1 : 1);
    const int64_t p = pitch, c = (h + 1) / 2, q = p / 2;
    int64_t lo = std::min<int64_t>(0, p * (h - 1)), hi = std::max<int64_t>(luma, p * (h - 1) + luma);
    auto span = [&](int64_t first, int64_t last, int64_t bytes) {
      lo = std::min({lo, first, last});
      hi = std::max({hi, first + bytes, last + bytes});
    };
    if (fmt == VENDRIX_PIXFMT_NV12) span(p * h, p * (h + c - 1), row);
    if (fmt == VENDRIX_PIXFMT_YUV420P) span(p * h, p * h + q * (2 * c - 1), (w + 1) / 2);
    mem = std::make_unique<Guarded>(size_t(hi - lo));
    row0 = mem->data - lo;
    // Texture from a seeded generator: a few fuzzer bytes steer the content without paying for it.
    uint32_t s = in.ConsumeIntegral<uint32_t>() | 1;
    for (size_t i = 0; i < mem->size; ++i) mem->data[i] = uint8_t((s = s * 1103515245u + 12345u) >> 24);
  }
  ImageDesc Desc(uint32_t field_mode) const { return {format, field_mode, 0, 0, width, height, pitch, 0, row0}; }
};

// Luma rows of `image` (NV12, YUV420P) cropped at (dx, dy) from a larger `texture`: frames with motion to measure.
inline void PaintCrop(const Image& image, const Image& texture, int dx, int dy) {
  for (int y = 0; y < image.height; ++y)
    std::memcpy(image.row0 + int64_t(y) * image.pitch, texture.row0 + int64_t(y + dy) * texture.pitch + dx, size_t(image.width));
}

// Inputs that reached the work behind the argument checks, printed at exit when VENDRIX_FUZZ_STATS is set.
struct Reach {
  long runs = 0, reached = 0;
  void Count(bool r) { ++runs, reached += r; }
  ~Reach() { if (getenv("VENDRIX_FUZZ_STATS") && runs) fprintf(stderr, "reach: %ld of %ld inputs (%ld %%)\n", reached, runs, 100 * reached / runs); }
};
inline Reach reach;

// A profile, mostly with a few of its words replaced by small values or arbitrary bits.
inline PathSettings FuzzSettings(FuzzedDataProvider& in) {
  PathSettings s{};
  ApplyProfile(in.ConsumeIntegralInRange<uint32_t>(0, VENDRIX_PROFILE_COUNT - 1), &s);
  auto* words = reinterpret_cast<int32_t*>(&s);
  for (int i = 0, n = in.ConsumeIntegralInRange(0, 4); i < n; ++i)
    words[in.ConsumeIntegralInRange(0, 14)] = in.ConsumeBool() ? in.ConsumeIntegralInRange(-1, 10) : in.ConsumeIntegral<int32_t>() >> in.ConsumeIntegralInRange(0, 16);
  return s;
}

}  // namespace vendrix::fuzz

using namespace vendrix::fuzz;
