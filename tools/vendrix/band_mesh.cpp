#include "band_mesh.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "cli_error.h"

namespace vendrix::cli {

std::vector<int16_t> BandPairs(GlobalMotionPath* path, int64_t entries) {
  const int64_t size = SizeOfMotionCompArrayDPath(path);
  if (size != VENDRIX_COMP_D_SIZE(entries)) throw CliError("the library refused to produce the band array");
  std::vector<uint32_t> array(size_t(size / 4), 0u);
  array[0] = VENDRIX_COMP_D_TAG;
  if (CopyMotionCompArrayDPath(path, array.data(), int32_t(size)) != 1)
    throw CliError("the library refused to produce the band array");
  std::vector<int16_t> pairs(size_t(entries) * kBandValues);
  const auto* bytes = reinterpret_cast<const uint8_t*>(array.data());
  for (int64_t i = 0; i < entries; ++i)
    std::memcpy(&pairs[size_t(i) * kBandValues],
                bytes + VENDRIX_COMP_D_OFFSET_RECORDS + i * VENDRIX_COMP_D_RECORD_SIZE + VENDRIX_COMP_D_RECORD_OFFSET_BANDS,
                kBandValues * sizeof(int16_t));
  if (std::all_of(pairs.begin(), pairs.end(), [](int16_t v) { return v == 0; })) pairs.clear();
  return pairs;
}

BandRows BandRowsOf(const std::vector<int16_t>& bands, const std::vector<uint32_t>& comp, int64_t entry) {
  BandRows rows;
  if (bands.empty() || entry < 0 || size_t(entry + 1) * kBandValues > bands.size()) return rows;
  rows.pairs = &bands[size_t(entry) * kBandValues];
  rows.analysis_width = int32_t(comp[VENDRIX_COMP_OFFSET_WIDTH / 4]);
  rows.analysis_height = int32_t(comp[VENDRIX_COMP_OFFSET_HEIGHT / 4]);
  return rows;
}

void DrawFrame(const TexMapDefA& def, const BandRows& rows) {
  const int16_t* pairs = rows.pairs;
  if (!pairs) {
    TexMap(&def);
    return;
  }
  const int analysis_width = rows.analysis_width, analysis_height = rows.analysis_height;
  TexMapDefD d{};
  d.version = VENDRIX_TEXMAP_D_VERSION;
  d.pixelFormat = def.pixelFormat;
  d.fieldFlags = def.fieldFlags;
  d.mapFlags = def.mapFlags | VENDRIX_MAP_BAND_MESH;
  d.srcRect = def.srcRect;
  d.srcPitch = def.srcPitch;
  d.srcRows = def.srcRows;
  d.srcBuffer = def.srcBuffer;
  d.outRect = def.outRect;
  d.outPitch = def.outPitch;
  d.outRows = def.outRows;
  d.outBuffer = def.outBuffer;
  d.visibleRect = def.visibleRect;
  std::memcpy(d.cornerShift, def.cornerShift, sizeof(d.cornerShift));
  // The quad's top and left edges (output 16.16) per analysis pixel across and down the frame.
  const VendrixFxPoint* c = def.cornerShift;
  const double across_x = double(def.outRect.w) + c[1].x - c[0].x, across_y = double(c[1].y) - c[0].y;
  const double down_x = double(c[3].x) - c[0].x, down_y = double(def.outRect.h) + c[3].y - c[0].y;
  const double per_x = analysis_width > 0 ? 1.0 / (256.0 * analysis_width) : 0.0;
  const double per_y = analysis_height > 0 ? 1.0 / (256.0 * analysis_height) : 0.0;
  auto fixed = [](double v) { return int32_t(std::clamp(std::lround(v), -(1L << 30), 1L << 30)); };
  // The pairs are measured from the centre row, and the top and bottom rows move alike (the wobble
  // is even about the centre). The mesh never moves the frame's bottom edge, so the whole quad takes
  // the top band's shift and each band what it has beyond that.
  double shift[VENDRIX_TEXMAP_BAND_COUNT][2];
  for (int k = 0; k < VENDRIX_TEXMAP_BAND_COUNT; ++k) {
    const double x = pairs[2 * k] * per_x, y = pairs[2 * k + 1] * per_y;
    shift[k][0] = across_x * x + down_x * y;
    shift[k][1] = across_y * x + down_y * y;
  }
  for (VendrixFxPoint& corner : d.cornerShift)
    corner = {fixed(corner.x + shift[0][0]), fixed(corner.y + shift[0][1])};
  for (int k = 0; k < VENDRIX_TEXMAP_BAND_COUNT; ++k)
    d.bandShift[k] = {fixed(shift[k][0] - shift[0][0]), fixed(shift[k][1] - shift[0][1])};
  TexMapD(&d);
}

}  // namespace vendrix::cli
