#include "analysis/preview.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "model/global_motion_path.h"
#include "platform/heap.h"
#include "imaging/image_convert.h"

namespace vendrix::analysis {
namespace {

using model::MatchList;

// A hand-made hand-over list: an 8 x 4 grid of step 8 from (4, 4) on a 64 x 32 working image.
MatchList* MakeList(const std::vector<int>& kept) {
  MatchList* list = model::MatchListCreate(8, 4, 64, 32, 1.0f);
  list->step = 8;
  list->planeWidth = 64;
  list->planeHeight = 32;
  list->marginX = list->marginY = 4;
  for (int i : kept) list->cells[i].keep = 1;
  return list;
}
const std::vector<int> kKept = {0, 1, 2, 5, 9, 15, 16, 17, 26, 27, 28, 29, 30, 31};

// 16.16 start of cell i on one axis, as a destination pixel clipped to the size.
int32_t Edge(uint32_t margin, uint32_t i, uint32_t step, uint32_t scale, int32_t size) {
  return static_cast<int32_t>(std::min<uint64_t>(((margin + uint64_t{i} * step) * scale) >> 16, size));
}

// Which cell, if any, covers destination pixel (x, y); -1 for none.
int CellAt(const MatchList& l, int32_t w, int32_t h, int32_t x, int32_t y) {
  const uint32_t sx = (uint32_t(w) << 16) / l.width, sy = (uint32_t(h) << 16) / l.height;
  for (uint32_t r = 0; r < l.planeHeight / l.step; ++r)
    for (uint32_t c = 0; c < l.planeWidth / l.step; ++c)
      if (x >= Edge(l.marginX, c, l.step, sx, w) && x < Edge(l.marginX, c + 1, l.step, sx, w) &&
          y >= Edge(l.marginY, r, l.step, sy, h) && y < Edge(l.marginY, r + 1, l.step, sy, h))
        return static_cast<int>(r * (l.planeWidth / l.step) + c);
  return -1;
}

struct Frame {
  std::vector<uint8_t> src, dst;
  ConvRecord rec{};
  Frame(uint32_t src_format, int32_t src_bpp, uint32_t dst_format, int32_t dst_bpp, int32_t w, int32_t h,
        int32_t rows) {
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

class Preview : public ::testing::Test {
 protected:
  void SetUp() override {
    live_ = platform::HeapLiveBlocks();
    path_ = model::PathCreate(1, 0);
    ASSERT_NE(path_, nullptr);
  }
  void TearDown() override {
    model::PathDelete(path_);  // releases the hand-over list
    EXPECT_EQ(platform::HeapLiveBlocks(), live_);
  }
  MatchList* List() { return static_cast<MatchList*>(path_->handover); }
  int64_t live_ = 0;
  GlobalMotionPath* path_ = nullptr;
};

TEST_F(Preview, MarksKeptCellsOverTheConversion) {
  path_->handover = MakeList(kKept);
  struct Case {
    uint32_t format;
    int32_t bpp, offset;
    uint8_t mark;
  };
  // 96 x 48 is 1.5 times the working size in both directions; 80 x 40 puts cell edges on odd columns.
  for (const Case& c : {Case{1, 4, 0, 160}, Case{2, 3, 0, 160}, Case{10, 2, 1, 96}}) {
    for (int32_t scale : {96, 80}) {
      const int32_t w = scale, h = scale / 2;
      Frame f(1, 4, c.format, c.bpp, w, h, h);
      std::vector<uint8_t> expected = f.Converted();
      for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
          const int cell = CellAt(*List(), w, h, x, y);
          if (cell >= 0 && List()->cells[cell].keep) expected[(y * w + x) * c.bpp + c.offset] = c.mark;
        }
      PrepPreviewImage(path_, 0, &f.rec);
      EXPECT_EQ(f.dst, expected) << c.format << " at " << w;
    }
  }
  // Cell (0, 0) spans (4 .. 12) x 1.5 = 6 .. 18 in both directions; column 5 is left of the grid.
  Frame f(1, 4, 1, 4, 96, 48, 48);
  const std::vector<uint8_t> converted = f.Converted();
  PreparePreview(path_, f.rec);
  EXPECT_EQ(f.dst[(6 * 96 + 6) * 4], 160);
  EXPECT_EQ(f.dst[(17 * 96 + 17) * 4], 160);
  EXPECT_EQ(f.dst[(6 * 96 + 5) * 4], converted[(6 * 96 + 5) * 4]);
}

TEST_F(Preview, Nv12ChromaOfEveryCell) {
  path_->handover = MakeList(kKept);
  const int32_t w = 80, h = 40;  // cells start at x = 5, 15, 25 ... and chroma rows 2, 7, 12 ...
  Frame f(12, 1, 12, 1, w, h, h + h / 2);
  f.src.resize(static_cast<size_t>(w) * (h + h / 2), 77);
  f.rec.source.buffer = f.src.data();
  std::vector<uint8_t> expected = f.Converted();
  // Painted in row-major order, so a pair shared with the previous cell takes the later cell's value.
  const MatchList& l = *List();
  const uint32_t sx = (uint32_t(w) << 16) / l.width, sy = (uint32_t(h) << 16) / l.height;
  for (uint32_t r = 0; r < 4; ++r)
    for (uint32_t c = 0; c < 8; ++c) {
      const uint8_t cb = l.cells[r * 8 + c].keep ? 96 : 128;
      const int32_t x0 = Edge(4, c, 8, sx, w) & ~1, x1 = Edge(4, c + 1, 8, sx, w);
      const int32_t y0 = Edge(4, r, 8, sy, h) / 2, y1 = Edge(4, r + 1, 8, sy, h) / 2;  // rows y >> 17
      for (int32_t y = y0; y < y1; ++y)
        for (int32_t x = x0; x < x1; x += 2) {
          expected[(h + y) * w + x] = cb;
          expected[(h + y) * w + x + 1] = 128;
        }
    }
  PreparePreview(path_, f.rec);
  EXPECT_EQ(f.dst, expected);
  EXPECT_EQ(f.dst[(h + 2) * w + 4], 96);    // cell 0 is kept: its first pair starts at column 4, row 5 >> 1
  EXPECT_EQ(f.dst[(h + 2) * w + 14], 96);   // pair 14 is shared by cells 0 and 1, both kept
  EXPECT_EQ(f.dst[(h + 2) * w + 34], 128);  // cell 3 (from column 35, pair 34) is not kept
  EXPECT_EQ(f.dst[(h + 1) * w + 4], 77);    // above the grid the chroma stays as converted
}

TEST_F(Preview, PlainConversionWithoutCells) {
  Frame f(1, 4, 1, 4, 40, 20, 20);
  const std::vector<uint8_t> converted = f.Converted();
  PrepPreviewImage(path_, 0, &f.rec);  // no hand-over block
  EXPECT_EQ(f.dst, converted);

  path_->handover = MakeList(kKept);
  List()->step = 0;
  PreparePreview(path_, f.rec);
  EXPECT_EQ(f.dst, converted);
  List()->step = 8;

  // A kept copy has no cells; a destination format without an overlay is only converted.
  MatchList* copy = model::MatchListCopy(List());
  PaintMatchCells(*copy, f.rec.destination);
  model::MatchListRelease(copy);
  EXPECT_EQ(f.dst, converted);
  Frame g(1, 4, 15, 4, 40, 20, 20);
  const std::vector<uint8_t> converted_g = g.Converted();
  PreparePreview(path_, g.rec);
  EXPECT_EQ(g.dst, converted_g);
}

TEST_F(Preview, RefusalsAndHostileLists) {
  path_->handover = MakeList(kKept);
  Frame f(1, 4, 1, 4, 64, 32, 32);
  const std::vector<uint8_t> untouched = f.dst;
  PrepPreviewImage(nullptr, 0, &f.rec);
  PrepPreviewImage(path_, 0, nullptr);
  ConvRecord bad = f.rec;
  bad.tag = 3;
  PrepPreviewImage(path_, 0, &bad);
  EXPECT_EQ(f.dst, untouched);

  // An unsupported conversion still gets the overlay on the destination as it is.
  ConvRecord unsupported = f.rec;
  unsupported.source.format = 16;
  PreparePreview(path_, unsupported);
  EXPECT_EQ(f.dst[(4 * 64 + 4) * 4], 160);
  EXPECT_EQ(f.dst[(4 * 64 + 4) * 4 + 1], 0xEE);

  // A grid larger than the list's cells reads only the rows it holds; far margins paint nothing; a
  // destination pitch too short for its rows is not painted.
  // With working height 64 the 32-row destination shows cell rows 0..7 at y = 2 + 4r; the list holds 4.
  f.dst = untouched;
  List()->planeHeight = 4000;
  List()->height = 64;
  PaintMatchCells(*List(), f.rec.destination);
  EXPECT_EQ(f.dst[(17 * 64 + 63) * 4], 160);  // cell 31 (last of row 3) is kept
  EXPECT_EQ(f.dst[(18 * 64 + 63) * 4], 0xEE);
  List()->height = 32;
  f.dst = untouched;
  List()->marginX = List()->marginY = 0xFFFFFFF0u;
  PaintMatchCells(*List(), f.rec.destination);
  EXPECT_EQ(f.dst, untouched);
  List()->marginX = List()->marginY = 4;
  ImageDesc short_pitch = f.rec.destination;
  short_pitch.pitch = 64 * 4 - 1;
  PaintMatchCells(*List(), short_pitch);
  List()->width = 0;
  PaintMatchCells(*List(), f.rec.destination);
  EXPECT_EQ(f.dst, untouched);
}

}  // namespace
}  // namespace vendrix::analysis
