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
  uint8_t* Row(int32_t y) { return mem.data() + offset + static_cast<int64_t>(y) * desc.pitch; }
};

MixRecord Record(const ImageDesc& a, const ImageDesc& b, const ImageDesc& c, int32_t weight) {
  return {.tag = VENDRIX_IMAGE_TAG, .aFormat = a.format, .aFieldMode = a.fieldMode, .aWidth = a.width, .aHeight = a.height,
          .aPitch = a.pitch, .aBuffer = a.buffer, .b = b, .c = c, .mixMode = VENDRIX_MIX_LINEAR, .weight = weight};
}

struct Format {
  uint32_t code;
  int values;      // per pixel
  int valueBytes;  // 1, 2 or 4 (float)
};
const Format kFormats[] = {{1, 4, 1},  {2, 3, 1},  {8, 4, 1},  {9, 2, 1},  {10, 2, 1},
                           {11, 4, 1}, {15, 4, 1}, {16, 4, 2}, {17, 4, 4}, {18, 4, 2},
                           {19, 4, 4}, {20, 4, 2}, {21, 4, 4}, {22, 4, 2}, {23, 4, 4}};

// Constant images of different sizes, C bottom-up: the intersection of the three takes the hand-worked
// cross-fade at weight 40000, everything else of C stays, A and B are only read.
TEST(MixABImage, EveryFormatOverTheIntersection) {
  std::mt19937 rng(77);
  for (const Format& f : kFormats) {
    SCOPED_TRACE(f.code);
    const int bpp = f.values * f.valueBytes;
    Image8 a(f.code, 9, 3, 9 * bpp + 4, false, rng), b(f.code, 7, 4, 7 * bpp, false, rng);
    Image8 c(f.code, 8, 5, 8 * bpp + 3, true, rng);
    auto fill = [&](Image8& im, double value) {
      for (int32_t y = 0; y < im.desc.height; ++y)
        for (int32_t v = 0; v < im.desc.width * f.values; ++v) {
          uint8_t* p = im.Row(y) + v * f.valueBytes;
          const float fv = static_cast<float>(value);
          const auto iv = static_cast<uint16_t>(value * (f.valueBytes == 1 ? 255 : 65535));
          if (f.valueBytes == 4) std::memcpy(p, &fv, 4);
          else std::memcpy(p, &iv, f.valueBytes);
        }
    };
    fill(a, 0.75), fill(b, 0.25);
    const std::vector<uint8_t> a_before = a.mem, b_before = b.mem, c_before = c.mem;
    ASSERT_TRUE(MixImages(Record(a.desc, b.desc, c.desc, 40000)));
    // (191 * 25535 + 63 * 40000) / 65536 = 112, (49151 * 25535 + 16383 * 40000) / 65536 = 29150,
    // 0.75 + (0.25 - 0.75) * 40000 / 65535 = 0.4448196
    const uint32_t want8 = 112, want16 = 29150;
    const float want_f = 0.4448196f;
    for (int32_t y = 0; y < 5; ++y)
      for (int32_t v = 0; v < 8 * f.values; ++v) {
        const uint8_t* p = c.Row(y) + v * f.valueBytes;
        if (y >= 3 || v >= 7 * f.values) {  // outside the intersection
          ASSERT_EQ(std::memcmp(p, c_before.data() + (p - c.mem.data()), f.valueBytes), 0);
          continue;
        }
        uint32_t iv = 0;
        float fv = 0;
        std::memcpy(f.valueBytes == 4 ? static_cast<void*>(&fv) : &iv, p, f.valueBytes);
        if (f.valueBytes == 4) ASSERT_NEAR(fv, want_f, 1e-6f);
        else ASSERT_EQ(iv, f.valueBytes == 1 ? want8 : want16);
      }
    EXPECT_EQ(a.mem, a_before);
    EXPECT_EQ(b.mem, b_before);
  }
}

TEST(MixABImage, DestinationMayBeEitherSource) {
  std::mt19937 rng(3);
  for (const Format& f : kFormats) {
    const int bpp = f.values * f.valueBytes;
    Image8 a(f.code, 21, 3, 21 * bpp, false, rng), b(f.code, 21, 3, 21 * bpp + 4, true, rng);
    Image8 c = a;
    c.desc.buffer = c.mem.data() + c.offset;
    ASSERT_TRUE(MixImages(Record(a.desc, b.desc, c.desc, 40000)));
    Image8 in_a = a, in_b = b;
    in_a.desc.buffer = in_a.mem.data() + in_a.offset;
    in_b.desc.buffer = in_b.mem.data() + in_b.offset;
    ASSERT_TRUE(MixImages(Record(in_a.desc, b.desc, in_a.desc, 40000)));  // C is A
    EXPECT_EQ(in_a.mem, c.mem) << f.code;
    ASSERT_TRUE(MixImages(Record(a.desc, in_b.desc, in_b.desc, 40000)));  // C is B, with B's own pitch
    for (int32_t y = 0; y < 3; ++y) EXPECT_EQ(std::memcmp(in_b.Row(y), c.Row(y), 21 * bpp), 0) << f.code;
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
