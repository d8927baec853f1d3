// The preview: conversion with the hand-over list's kept cells marked over it in every format that
// has an overlay, at scales that put cell edges on whole and on odd pixels, NV12 chroma of every cell,
// and lists, records and destinations that must leave the plain conversion (or nothing) behind.
#include "analysis/preview.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "imaging/image_convert.h"
#include "model/global_motion_path.h"
#include "support/warm_pools.h"

namespace vendrix::analysis {
namespace {

using model::MatchList;

// A hand-made hand-over list: an 8 x 4 grid of step 8 from (4, 4) on a 64 x 32 working image.
const std::vector<int> kKept = {0, 1, 2, 5, 9, 15, 16, 17, 26, 27, 28, 29, 30, 31};
MatchList* MakeList() {
  MatchList* list = model::MatchListCreate(8, 4, 64, 32, 1.0f);
  list->step = 8;
  list->planeWidth = 64;
  list->planeHeight = 32;
  list->marginX = list->marginY = 4;
  for (int i : kKept) list->cells[i].keep = 1;
  return list;
}
bool Kept(int cell) { return std::find(kKept.begin(), kKept.end(), cell) != kKept.end(); }

// A random source of `w` x `h` pixels and a destination of `rows` rows filled with 0xEE.
struct Frame {
  std::vector<uint8_t> src, dst;
  ConvRecord rec{};
  Frame(uint32_t src_format, int32_t src_bpp, uint32_t dst_format, int32_t dst_bpp, int32_t w, int32_t h, int32_t rows) {
    std::mt19937 rng(w * 131 + h);
    src.resize(static_cast<size_t>(w) * src_bpp * h);
    dst.resize(static_cast<size_t>(w) * dst_bpp * rows + 32, 0xEE);
    for (auto& b : src) b = static_cast<uint8_t>(rng());
    rec.tag = VENDRIX_IMAGE_TAG;
    rec.source = ImageDesc{src_format, 0, 0, 0, w, h, w * src_bpp, 0, src.data()};
    rec.destination = ImageDesc{dst_format, 0, 0, 0, w, h, w * dst_bpp, 0, dst.data()};
  }
  std::vector<uint8_t> Converted() {  // the destination as the plain conversion leaves it
    std::vector<uint8_t> out = dst;
    ConvRecord r = rec;
    r.destination.buffer = out.data();
    imaging::ConvertImage(r);
    return out;
  }
};

class Preview : public vendrix::testing::LiveBlocksTest {
 protected:
  void SetUp() override {
    LiveBlocksTest::SetUp();
    ASSERT_NE(path_ = model::PathCreate(1, 0), nullptr);
    path_->handover = MakeList();
  }
  void TearDown() override {
    model::PathDelete(path_);  // releases the hand-over list
    LiveBlocksTest::TearDown();
  }
  MatchList* List() { return static_cast<MatchList*>(path_->handover); }
  GlobalMotionPath* path_ = nullptr;
};

TEST_F(Preview, MarksKeptCellsOverTheConversion) {
  struct Format {
    uint32_t code;
    int32_t bpp, offset;
    uint8_t mark;
  };
  // At 1.5 times the working size (w = 96) cell (c, r) covers 6 + 12c .. 17 + 12c by 6 + 12r .. 17 + 12r;
  // at 1.25 times (w = 80), 5 + 10c .. 14 + 10c by 5 + 10r .. 14 + 10r.
  for (const Format& f : {Format{VENDRIX_PIXFMT_BGRA8, 4, 0, kPreviewMarkRgb}, Format{VENDRIX_PIXFMT_BGR8, 3, 0, kPreviewMarkRgb},
                          Format{VENDRIX_PIXFMT_YUYV8, 2, 1, kPreviewMarkChroma}})
    for (const int32_t w : {96, 80}) {
      const int32_t h = w / 2, origin = w / 16, size = w / 8;
      Frame frame(VENDRIX_PIXFMT_BGRA8, 4, f.code, f.bpp, w, h, h);
      std::vector<uint8_t> expected = frame.Converted();
      for (int32_t y = origin; y < std::min(h, origin + 4 * size); ++y)
        for (int32_t x = origin; x < std::min(w, origin + 8 * size); ++x)
          if (Kept((y - origin) / size * 8 + (x - origin) / size)) expected[(y * w + x) * f.bpp + f.offset] = f.mark;
      PrepPreviewImage(path_, 0, &frame.rec);
      EXPECT_EQ(frame.dst, expected) << f.code << " at " << w;
    }
}

TEST_F(Preview, RefusalsListsWithoutCellsFormatsWithoutOverlayAndUnsupportedConversions) {
  Frame f(VENDRIX_PIXFMT_BGRA8, 4, VENDRIX_PIXFMT_BGRA8, 4, 64, 32, 32);
  const std::vector<uint8_t> untouched = f.dst, converted = f.Converted();
  ConvRecord bad = f.rec;
  bad.tag = VENDRIX_IMAGE_TAG + 1;
  PrepPreviewImage(nullptr, 0, &f.rec);
  PrepPreviewImage(path_, 0, nullptr);
  PrepPreviewImage(path_, 0, &bad);
  EXPECT_EQ(f.dst, untouched);
  // Far margins, a pitch too short for the rows, a list without working size or of step 0, a kept copy
  // (no cells), no hand-over list: nothing painted over the conversion.
  List()->marginX = List()->marginY = 0xFFFFFFF0u;
  PrepPreviewImage(path_, 0, &f.rec);
  List()->marginX = List()->marginY = 4;
  ImageDesc short_pitch = f.rec.destination;
  short_pitch.pitch = 64 * 4 - 1;
  PaintMatchCells(*List(), short_pitch);
  List()->width = 0;
  PaintMatchCells(*List(), f.rec.destination);
  List()->width = 64;
  List()->step = 0;
  PaintMatchCells(*List(), f.rec.destination);
  List()->step = 8;
  MatchList* copy = model::MatchListCopy(List());
  PaintMatchCells(*copy, f.rec.destination);
  model::MatchListRelease(copy);
  EXPECT_EQ(f.dst, converted);
  Frame g(VENDRIX_PIXFMT_BGRA8, 4, VENDRIX_PIXFMT_AYUV8, 4, 40, 20, 20);
  const std::vector<uint8_t> converted_g = g.Converted();
  PreparePreview(path_, g.rec);
  EXPECT_EQ(g.dst, converted_g);
  // A conversion that is not supported gets the overlay on the destination as it is.
  std::fill(f.dst.begin(), f.dst.end(), 0xEE);
  ConvRecord unsupported = f.rec;
  unsupported.source.format = VENDRIX_PIXFMT_BGRA16;
  PreparePreview(path_, unsupported);
  EXPECT_TRUE(f.dst[(4 * 64 + 4) * 4] == kPreviewMarkRgb && f.dst[(4 * 64 + 4) * 4 + 1] == 0xEE);
  // Lists are read only as far as they hold cells. With working height 64 the 32-row destination shows cell rows 0..7 at y = 2 + 4r; the list holds 4.
  std::fill(f.dst.begin(), f.dst.end(), 0xEE);
  List()->planeHeight = 4000;
  List()->height = 64;
  PaintMatchCells(*List(), f.rec.destination);
  EXPECT_EQ(f.dst[(17 * 64 + 63) * 4], kPreviewMarkRgb);  // cell 31 (last of row 3) is kept
  EXPECT_EQ(f.dst[(18 * 64 + 63) * 4], 0xEE);
}

}  // namespace
}  // namespace vendrix::analysis
