#include "imaging/image_mix.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace vendrix::imaging {
namespace {

constexpr size_t kGuard = 40;

// An image inside a buffer with guard bytes on both sides; bottom-up when flipped.
struct Image8 {
  std::vector<uint8_t> mem;
  size_t offset;
  ImageDesc desc{};
  Image8(uint32_t format, int32_t width, int32_t height, int32_t pitch, bool flipped, std::mt19937& rng) {
    mem.resize(2 * kGuard + static_cast<size_t>(pitch) * height);
    for (auto& b : mem) b = static_cast<uint8_t>(rng());
    offset = kGuard + (flipped ? static_cast<size_t>(pitch) * (height - 1) : 0);
    desc = ImageDesc{format, 0, 0, 0, width, height, flipped ? -pitch : pitch, 0, mem.data() + offset};
  }
  Image8(const Image8& o) : mem(o.mem), offset(o.offset), desc(o.desc) { desc.buffer = mem.data() + offset; }
  uint8_t* Row(int32_t y) { return mem.data() + offset + static_cast<int64_t>(y) * desc.pitch; }
};

MixRecord Record(const ImageDesc& a, const ImageDesc& b, const ImageDesc& c, int32_t weight) {
  return {.tag = VENDRIX_IMAGE_TAG, .aFormat = a.format, .aFieldMode = a.fieldMode, .aWidth = a.width, .aHeight = a.height,
          .aPitch = a.pitch, .aBuffer = a.buffer, .b = b, .c = c, .mixMode = VENDRIX_MIX_LINEAR, .weight = weight};
}

// Pixel formats the mix takes, with their bytes per pixel.
struct Format {
  uint32_t code;
  int bpp;
};
const Format kFormats[] = {{1, 4},  {2, 3},  {8, 4},   {9, 2},  {10, 2}, {11, 4},  {15, 4}, {16, 8},
                           {17, 16}, {18, 8}, {19, 16}, {20, 8}, {21, 16}, {22, 8}, {23, 16}};

// A separate destination, A and B (bottom-up, with its own pitch) as the destination give the same
// rows, and the sources of the first are only read. (The values of every format over the
// intersection of unequal sizes are pinned by the golden hashes, the row kernels by tests/kernels.)
TEST(MixABImage, DestinationMayBeEitherSource) {
  std::mt19937 rng(3);
  for (const Format& f : kFormats) {
    Image8 a(f.code, 21, 3, 21 * f.bpp, false, rng), b(f.code, 21, 3, 21 * f.bpp + 4, true, rng);
    Image8 c = a, in_a = a, in_b = b;
    ASSERT_TRUE(MixImages(Record(a.desc, b.desc, c.desc, 40000)));
    EXPECT_TRUE(a.mem == in_a.mem && b.mem == in_b.mem) << f.code;  // the sources are only read
    ASSERT_TRUE(MixImages(Record(in_a.desc, b.desc, in_a.desc, 40000)));  // C is A
    EXPECT_EQ(in_a.mem, c.mem) << f.code;
    ASSERT_TRUE(MixImages(Record(a.desc, in_b.desc, in_b.desc, 40000)));  // C is B, with B's own pitch
    for (int32_t y = 0; y < 3; ++y) EXPECT_EQ(std::memcmp(in_b.Row(y), c.Row(y), 21 * f.bpp), 0) << f.code;
  }
}

TEST(MixABImage, FieldsAndRefusals) {
  std::mt19937 rng(8);
  Image8 a(1, 4, 6, 16, false, rng), b(1, 4, 6, 16, false, rng), c(1, 4, 6, 16, false, rng);
  // The second field of each: only rows 1, 3 and 5 of C change.
  MixRecord r = Record(a.desc, b.desc, c.desc, 30000);
  r.aFieldMode = r.b.fieldMode = r.c.fieldMode = 6;
  const std::vector<uint8_t> before = c.mem;
  const MixRecord copy = r;
  ASSERT_TRUE(MixImages(r));
  EXPECT_EQ(std::memcmp(&r, &copy, sizeof r), 0);
  for (int32_t y = 0; y < 6; ++y)
    EXPECT_EQ(std::memcmp(c.Row(y), before.data() + c.offset + 16 * y, 16) == 0, y % 2 == 0) << y;

  c.mem = before;
  const MixRecord base = Record(a.desc, b.desc, c.desc, 30000);
  std::vector<std::pair<const char*, MixRecord>> cases;
  auto add = [&](const char* name, auto mutate) {
    MixRecord m = base;
    mutate(m);
    cases.push_back({name, m});
  };
  add("tag", [](MixRecord& m) { m.tag = 0; });
  add("mix mode 2", [](MixRecord& m) { m.mixMode = 2; });
  add("formats differ", [](MixRecord& m) { m.b.format = 8; });
  add("field modes differ", [](MixRecord& m) { m.c.fieldMode = 1; });
  for (uint32_t code : {3u, 12u, 13u, 14u, 24u, 99u})
    add("unsupported format", [code](MixRecord& m) { m.aFormat = m.b.format = m.c.format = code; });
  add("null A", [](MixRecord& m) { m.aBuffer = nullptr; });
  add("zero height", [](MixRecord& m) { m.b.height = 0; });
  add("field of one row", [](MixRecord& m) {
    m.aHeight = 1;
    m.aFieldMode = m.b.fieldMode = m.c.fieldMode = 4;
  });
  add("short pitch", [](MixRecord& m) { m.c.pitch = -15; });
  for (const auto& [name, m] : cases) {
    EXPECT_FALSE(MixImages(m)) << name;
    MixABImage(&m);
    EXPECT_EQ(c.mem, before) << name;
  }
  MixABImage(nullptr);
}

}  // namespace
}  // namespace vendrix::imaging
