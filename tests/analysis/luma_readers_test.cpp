#include "analysis/luma_readers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "analysis/scan_params.h"

namespace vendrix::analysis {
namespace {

// The luma of one pixel written out from the format table, independently of the readers' kernels.
int RefLuma(uint32_t format, const uint8_t* p) {
  auto f = [&](int i) {
    float v;
    std::memcpy(&v, p + 4 * i, 4);
    return v;
  };
  auto clampf = [](float v) { return v > 0 ? (v >= 255 ? 255 : static_cast<int>(v)) : 0; };
  switch (format) {
    case 1: case 2: return (p[0] + p[1] + p[2]) / 3;
    case 8: return (p[1] + p[2] + p[3]) / 3;
    case 9: return p[1];
    case 10: case 12: case 24: return p[0];
    case 11: return p[2];
    case 15: return p[1];
    case 16: return (p[1] + p[3] + p[5]) / 3;
    case 17: return clampf((f(0) + f(1) + f(2)) * 85);
    case 18: return (p[3] + p[5] + p[7]) / 3;
    case 19: return clampf((f(1) + f(2) + f(3)) * 85);
    case 20: return p[3];
    case 21: return clampf(f(1) * 255);
    case 22: return p[5];
    case 23: return clampf(f(2) * 255);
  }
  return -1;
}

struct Source {
  std::vector<uint8_t> bytes;
  int32_t width, height, pitch, bpp;
  const uint8_t* Row0(bool bottom_up) const {
    return bottom_up ? bytes.data() + int64_t{height - 1} * pitch : bytes.data();
  }
};

Source RandomSource(uint32_t format, int32_t w, int32_t h, uint32_t seed) {
  Source s{{}, w, h, 0, LumaBytesPerPixel(format)};
  s.pitch = w * s.bpp + 12;  // padded rows
  s.bytes.resize(size_t(s.pitch) * h);
  std::mt19937 rng(seed);
  if (format == 17 || format == 19 || format == 21 || format == 23) {
    std::uniform_real_distribution<float> u(-0.1f, 1.2f);  // includes out-of-range values to clamp
    for (size_t i = 0; i + 4 <= s.bytes.size(); i += 4) {
      const float v = u(rng);
      std::memcpy(&s.bytes[i], &v, 4);
    }
  } else {
    for (auto& b : s.bytes) b = static_cast<uint8_t>(rng());
  }
  return s;
}

model::AnalysisImage ImageOf(const Source& s, uint32_t format, uint32_t field_mode, uint32_t halve, bool bottom_up) {
  model::AnalysisImage img{};
  img.format = format;
  img.fieldMode = field_mode;
  img.sourceWidth = s.width;
  img.sourceHeight = s.height;
  img.sourcePitch = bottom_up ? -s.pitch : s.pitch;
  img.sourceBuffer = s.Row0(bottom_up);
  img.halveAllowed = halve;
  ChooseWorkingImage(img);
  return img;
}

// Source luma at (x, y) of the image's own source rows.
int SrcLuma(const model::AnalysisImage& img, uint32_t format, int x, int y) {
  return RefLuma(format, img.sourceBuffer + int64_t{y} * img.sourcePitch + int64_t{x} * LumaBytesPerPixel(format));
}

constexpr uint8_t kGuard = 0xA5;

// A plane with a guard frame of 8 bytes on every side that must survive every read.
struct GuardedPlane {
  int32_t w, h, pitch;
  std::vector<uint8_t> bytes;
  GuardedPlane(int32_t width, int32_t height) : w(width), h(height), pitch(width + 16), bytes(size_t(pitch) * (height + 16), kGuard) {}
  uint8_t* Origin() { return bytes.data() + 8 * pitch + 8; }
  uint8_t At(int x, int y) { return Origin()[int64_t{y} * pitch + x]; }
  bool GuardsIntact() const {
    for (int32_t y = 0; y < h + 16; ++y)
      for (int32_t x = 0; x < pitch; ++x) {
        const bool inside = y >= 8 && y < h + 8 && x >= 8 && x < w + 8;
        if (!inside && bytes[size_t(y) * pitch + x] != kGuard) return false;
      }
    return true;
  }
};

const uint32_t kLumaFormats[] = {1, 2, 8, 9, 10, 11, 12, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};

TEST(LumaReaders, FullSizeMatchesTheFormatTableForEveryFormatAndBothRowOrders) {
  for (uint32_t format : kLumaFormats)
    for (bool bottom_up : {false, true}) {
      const Source s = RandomSource(format, 37, 11, format);
      model::AnalysisImage img = ImageOf(s, format, 0, 0, bottom_up);
      ASSERT_EQ(img.readRow, ReadLumaFull);
      GuardedPlane plane(img.width, img.height);
      img.readRow(img, plane.Origin(), plane.pitch);
      for (int y = 0; y < img.height; ++y)
        for (int x = 0; x < img.width; ++x)
          ASSERT_EQ(plane.At(x, y), SrcLuma(img, format, x, y)) << "format " << format << " at " << x << "," << y;
      EXPECT_TRUE(plane.GuardsIntact()) << format;
    }
}

TEST(LumaReaders, HalfSizeIsTheBinomialOfSourceLumaAndLeavesTheRimAlone) {
  for (uint32_t format : {1u, 10u, 12u, 17u, 20u}) {
    const Source s = RandomSource(format, 720, 460, 100 + format);
    model::AnalysisImage img = ImageOf(s, format, 0, 1, false);
    ASSERT_EQ(img.readRow, ReadLumaHalf);
    ASSERT_EQ(img.width, 360);
    GuardedPlane plane(img.width, img.height);
    std::memset(plane.Origin(), 7, 1);  // the rim keeps whatever it held
    img.readRow(img, plane.Origin(), plane.pitch);
    EXPECT_EQ(plane.At(0, 0), 7);
    for (int y = 1; y <= img.height - 2; y += 13)
      for (int x = 1; x <= img.width - 2; x += 7) {
        int sum = 0;
        for (int dy = -1; dy <= 1; ++dy)
          for (int dx = -1; dx <= 1; ++dx)
            sum += (2 - std::abs(dx)) * (2 - std::abs(dy)) * SrcLuma(img, format, 2 * x + dx, 2 * (y + dy));
        ASSERT_EQ(plane.At(x, y), (sum + 8) >> 4) << "format " << format << " at " << x << "," << y;
      }
    EXPECT_TRUE(plane.GuardsIntact());
  }
}

TEST(LumaReaders, FieldReaderTakesEverySecondRowOfTheChosenField) {
  const Source s = RandomSource(1, 64, 20, 9);
  for (uint32_t mode : {VENDRIX_FIELD_IN_FRAME | VENDRIX_FIELD_FIRST, VENDRIX_FIELD_IN_FRAME | VENDRIX_FIELD_SECOND}) {
    model::AnalysisImage img = ImageOf(s, 1, mode, 1, false);
    ASSERT_EQ(img.readRow, ReadLumaField);
    GuardedPlane plane(img.width, img.height);
    img.readRow(img, plane.Origin(), plane.pitch);
    const int first_row = (mode & VENDRIX_FIELD_SECOND) ? 1 : 0;
    for (int y = 0; y < img.height; ++y)
      for (int x = 1; x <= img.width - 2; ++x) {
        const int row = first_row + 2 * y;
        const int expect = (SrcLuma(img, 1, 2 * x - 1, row) + 2 * SrcLuma(img, 1, 2 * x, row) +
                            SrcLuma(img, 1, 2 * x + 1, row) + 2) >> 2;
        ASSERT_EQ(plane.At(x, y), expect) << mode << " " << x << "," << y;
      }
    EXPECT_TRUE(plane.GuardsIntact());
  }
}

TEST(LumaReaders, FormatsWithoutLumaLeaveThePlaneAndBadImagesWriteNothing) {
  const Source s = RandomSource(1, 16, 8, 3);
  for (uint32_t format : {3u, 4u, 5u, 6u, 7u, 14u, 99u}) {
    model::AnalysisImage img = ImageOf(s, 1, 0, 0, false);
    img.format = format;
    GuardedPlane plane(img.width, img.height);
    std::memset(plane.Origin(), kGuard, 1);
    ReadLumaFull(img, plane.Origin(), plane.pitch);
    EXPECT_EQ(plane.At(3, 3), kGuard) << format;
  }
  model::AnalysisImage img = ImageOf(s, 1, 0, 0, false);
  ReadLumaFull(img, nullptr, 16);  // no plane: nothing happens
  img.buffer = nullptr;
  GuardedPlane plane(img.width, img.height);
  ReadLumaHalf(img, plane.Origin(), plane.pitch);
  EXPECT_EQ(plane.At(2, 2), kGuard);
}

TEST(LumaReaders, FloatChannelsClampAndNaNReadsAsBlack) {
  float px[4] = {std::nanf(""), 2.0f, -1.0f, 0.5f};
  uint8_t out[1];
  ASSERT_TRUE(LumaOfRow(21, reinterpret_cast<uint8_t*>(px), out, 1));
  EXPECT_EQ(out[0], 255);  // channel 1 = 2.0 clamps
  ASSERT_TRUE(LumaOfRow(23, reinterpret_cast<uint8_t*>(px), out, 1));
  EXPECT_EQ(out[0], 0);  // channel 2 = -1.0 clamps
  ASSERT_TRUE(LumaOfRow(17, reinterpret_cast<uint8_t*>(px), out, 1));
  EXPECT_EQ(out[0], 0);  // a NaN in the sum
}

}  // namespace
}  // namespace vendrix::analysis
