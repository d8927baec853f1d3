// The block matcher: one measurement on prepared planes recovers known shifts for every block size; the
// scanner fills the records of each distance and field mode, hands results over in order, re-fits kept
// lists and survives what cannot be measured, leaving nothing allocated. (The third-pixel stage and the
// preview of kept cells are pinned by the golden hashes of the block-matching profiles.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "analysis/analysis_jobs.h"
#include "analysis/block_kernels.h"
#include "analysis/block_measure.h"
#include "analysis/frame_planes.h"
#include "analysis/scan.h"
#include "analysis/frame_queries.h"
#include "analysis/scan_params.h"
#include "model/frame_plane_pool.h"
#include "support/synthetic_frames.h"
#include "support/synthetic_matches.h"
#include "support/warm_pools.h"

namespace vendrix::analysis {
namespace {

constexpr int kW = 320, kH = 240;

// A stack of four bordered planes holding `luma` (kW x kH) and its smoothed levels.
struct Planes {
  std::vector<uint8_t> pixels[4];
  ptrdiff_t pitch = kW + 2 * model::kPlaneBorder;

  explicit Planes(const cv::Mat& luma) {
    for (auto& p : pixels) p.assign(size_t(pitch) * (kH + 2 * model::kPlaneBorder), 0);
    for (int y = 0; y < kH; ++y) std::memcpy(Origin(0) + y * pitch, luma.ptr(y), kW);
    for (int k = 1; k < 4; ++k) BinomialLevel(Origin(k - 1), Origin(k), int32_t(pitch), kW, kH, 1 << (k - 1));
  }
  uint8_t* Origin(int level) { return pixels[level].data() + model::kPlaneBorder * pitch + model::kPlaneBorder; }
};

SearchPlanes Pair(Planes& current, Planes& reference) {
  SearchPlanes p;
  for (int k = 0; k < 4; ++k) p.current[k] = current.Origin(k), p.reference[k] = reference.Origin(k);
  p.pitch = current.pitch;
  p.width = kW;
  p.height = kH;
  return p;
}

// The default settings at analysis level `level` with `flags`.
PathSettings Level(int level, uint32_t flags = 0) {
  PathSettings s{};
  ApplyProfile(VENDRIX_PROFILE_DEFAULT, &s);
  s.AnalysisLevel = level;
  s.AnalysisFlags = flags;
  return s;
}

// The parameters the scanner derives for `level`, with every search stage on.
model::MeasureParams Params(int level) {
  model::MeasureParams m;
  model::ModelParams p;
  DeriveScanParams(Level(level), kW, kH, m, p, nullptr);
  return m;
}

cv::Mat Shifted(const cv::Mat& texture, double dx, double dy) {
  const cv::Mat m = (cv::Mat_<double>(2, 3) << 1, 0, dx - 60, 0, 1, dy - 60);
  cv::Mat out;
  cv::warpAffine(texture, out, m, cv::Size(kW, kH), cv::INTER_LINEAR, cv::BORDER_REFLECT);
  return out;
}

using List = testing::MatchListPtr;
List MakeList() { return List(model::MatchListCreate(kW / 4 + 1, kH / 4 + 1, kW, kH, 1.0f)); }

class BlockSize : public ::testing::TestWithParam<int> {};

// Integer shifts: the sparse four-sample search ties now and then one pixel off in flat parts of the
// texture (a third of a pixel back toward the truth by the full-block check), so most blocks are
// exact and the median always is.
TEST_P(BlockSize, RecoversIntegerShifts) {
  const int block = GetParam();
  const cv::Mat texture = testing::MakeTexture(kW + 120, kH + 120, 21);
  Planes reference(Shifted(texture, 0, 0));
  for (const cv::Point shift : {cv::Point(3, -5), cv::Point(-7, 2)}) {
    SCOPED_TRACE(::testing::Message() << "shift " << shift);
    Planes current(Shifted(texture, shift.x, shift.y));
    model::MeasureParams p = Params(4);
    p.blockSize = p.gridStep = static_cast<uint16_t>(block);
    List list = MakeList();
    const Measurement m = MeasureOnce(p, Pair(current, reference), *list, BlockKernelTable());
    ASSERT_GT(m.count, 20u);
    std::vector<float> xs, ys;
    uint32_t exact = 0;
    for (uint32_t i = 0; i < list->count; ++i) {
      const model::MatchEntry& e = list->matches[i];
      xs.push_back(e.dx), ys.push_back(e.dy);
      exact += e.dx == float(shift.x) && e.dy == float(shift.y);
      // Block positions lie on the grid: the block's centre plus three pixels.
      EXPECT_EQ(int(e.x - 3 - block / 2 - list->marginX) % int(list->step), 0);
    }
    std::nth_element(xs.begin(), xs.begin() + xs.size() / 2, xs.end());
    std::nth_element(ys.begin(), ys.begin() + ys.size() / 2, ys.end());
    EXPECT_EQ(xs[xs.size() / 2], float(shift.x));
    EXPECT_EQ(ys[ys.size() / 2], float(shift.y));
    EXPECT_GE(exact, 0.85 * m.count);
    EXPECT_NEAR(m.meanDx, shift.x, 0.5);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, BlockSize, ::testing::Values(8, 12, 16, 24));

TEST(BlockSearch, AFlatFrameKeepsNoCell) {
  Planes flat(cv::Mat(kH, kW, CV_8U, cv::Scalar(90)));
  model::MeasureParams p = Params(4);
  List list = MakeList();
  const Measurement m = MeasureOnce(p, Pair(flat, flat), *list, BlockKernelTable());
  EXPECT_EQ(m.count, 0u);
  for (int32_t i = 0; i < list->capacity; ++i) EXPECT_EQ(list->cells[i].keep, 0);
}

// ---- Through the scanner ------------------------------------------------------------------------

// A clip whose frame k shows the texture moved by k * (dx, dy).
std::vector<cv::Mat> Pan(int frames, double dx, double dy, int w = kW, int h = kH) {
  const cv::Mat texture = testing::MakeTexture(w + 200, h + 200, 9);
  std::vector<cv::Mat> clip;
  for (int i = 0; i < frames; ++i) clip.push_back(testing::RenderFrame(texture, w, h, {dx * i, dy * i, 0}));
  return clip;
}

// The luma plane of NV12 is all the analysis reads.
void ScanGrey(GlobalMotionPath* path, const cv::Mat& frame, uint32_t index, const PathSettings& s, uint32_t field_mode = 0) {
  const ScanInput in{.tag = VENDRIX_SCAN_INPUT_TAG, .format = VENDRIX_PIXFMT_NV12, .fieldMode = field_mode, .width = frame.cols,
                     .height = frame.rows, .pitch = static_cast<int32_t>(frame.step[0]), .buffer = frame.data,
                     .aspectFactor = 1.0f, .settings = s};
  ScanFrame(path, index, &in);
}

void Settle(GlobalMotionPath* path) {
  FinishRequest settle{VENDRIX_FINISH_REQUEST_TAG, VENDRIX_FINISH_SETTLE_ONLY, 0, 0, VENDRIX_FINISH_KEEP_ANALYSIS};
  FinishPath(path, &settle);
}

class BlockScan : public testing::LiveBlocksTest {};

TEST_F(BlockScan, MultiDistanceFillsTheSpansTheEntryHas) {
  // VENDRIX_ANALYSIS_EXTRA_MEASURE: distances 1, 2 and 4 into arrays 0, 1 and 2, as far as the entry
  // index reaches: entry 3 gets 1 and 2 but not 4.
  const auto clip = Pan(6, 1, -1);
  GlobalMotionPath* path = model::PathCreate(6, 0);
  for (uint32_t i = 0; i < 6; ++i) ScanGrey(path, clip[i], i, Level(4, VENDRIX_ANALYSIS_EXTRA_MEASURE));
  Settle(path);
  auto record = [&](int variant, int entry) -> const model::FrameRecord& { return path->measured[variant]->records[entry]; };
  EXPECT_EQ(record(0, 3).u(model::kSlotSpan), 1u);
  EXPECT_EQ(record(1, 3).u(model::kSlotSpan), 2u);
  EXPECT_EQ(record(2, 3).u(model::kSlotSpan), 0u);
  for (int variant : {0, 1, 2}) {
    const float d = float(1 << variant);
    EXPECT_EQ(record(variant, 5).u(model::kSlotSpan), uint32_t(d));
    EXPECT_NEAR(record(variant, 5).f(model::kSlotTx), d, 0.1f);
    EXPECT_NEAR(record(variant, 5).f(model::kSlotTy), -d, 0.1f);
    EXPECT_GT(record(variant, 5).f(model::kSlotSpread), 0.5f * d);  // the spread of that measurement
  }
  model::PathDelete(path);
}

TEST_F(BlockScan, FieldsAreShiftedByHalfARowTowardTheFrameCentre) {
  // One field per buffer, the same image for both fields of a frame: the second field measures no
  // motion against the first and reports the half-row shift alone; the first measures the pan.
  const auto clip = Pan(4, 0, 2);
  GlobalMotionPath* path = model::PathCreate(4, VENDRIX_PATH_INTERLACED);
  for (uint32_t i = 0; i < 4; ++i) ScanGrey(path, clip[i], i, Level(4), VENDRIX_FIELD_FIRST);
  Settle(path);
  float first[3], second[3];
  ASSERT_TRUE(AnalysisFrameTranslation(path, 0, 4, first));
  ASSERT_TRUE(AnalysisFrameTranslation(path, 0, 5, second));
  EXPECT_NEAR(first[1], 2.0f - 0.5f, 0.05f);
  EXPECT_NEAR(second[1], 0.5f, 0.05f);
  model::PathDelete(path);
}

TEST_F(BlockScan, RefitPassRestoresTheMeasuredListsAndRefitsEntriesWithoutMotion) {
  // Level 6: camera model, re-fit variant. The first finishing keeps every entry's list as measured;
  // a later pass over a longer path starts from those copies again and re-fits entries without a fit.
  const auto clip = Pan(7, 2, 1);
  GlobalMotionPath* path = model::PathCreate(7, VENDRIX_PATH_KEEP_MATCHES);
  const PathSettings s = Level(6);
  for (uint32_t i = 0; i < 6; ++i) ScanGrey(path, clip[i], i, s);
  FinishPathB(path, VENDRIX_FINISH_KEEP_ANALYSIS, &s);
  model::FrameRecordArray* a = path->analysis;
  auto* original = static_cast<model::MatchList*>(a->originalMatches[3]);
  auto* kept = static_cast<model::MatchList*>(a->keptMatches[3]);
  ASSERT_TRUE(original && kept && kept->count > 20);
  const float dx = kept->matches[0].dx;
  kept->matches[0].dx = 1000.0f;          // a list changed after measuring ...
  a->records[3].u(model::kSlotCount) = 0;  // ... and an entry without a fit
  ScanGrey(path, clip[6], 6, s);
  FinishPathB(path, VENDRIX_FINISH_KEEP_ANALYSIS, &s);
  kept = static_cast<model::MatchList*>(a->keptMatches[3]);
  EXPECT_EQ(kept->matches[0].dx, dx);
  EXPECT_GT(a->records[3].count(), 20u);
  EXPECT_NEAR(a->records[3].f(model::kSlotTx), 2.0f, 0.1f);
  EXPECT_EQ(path->refitSize, 7u);
  model::PathDelete(path);
}

// Scans hand their jobs over in order: the ninth of ten hands the first over, the tenth waits for the
// second's. A frame scanned again while its first measurement is still with a worker (a host that seeks
// back, or repeats a frame) waits for it: two workers writing one entry's records freed its kept list
// twice. The records come out as from scanning each frame once.
TEST_F(BlockScan, ScansHandOverInOrderAndAFrameScannedAgainGivesTheRecordsOfOneScan) {
  const auto clip = Pan(10, 2, 1);
  std::vector<std::vector<uint8_t>> records;
  for (const bool again : {false, true}) {
    GlobalMotionPath* path = model::PathCreate(10, 0);
    for (uint32_t i = 0; i < 10; ++i) {
      ScanGrey(path, clip[i], i, Level(4));
      for (uint32_t k = 0; again && i >= 2 && k < 3; ++k) ScanGrey(path, clip[i - k % 2], i - k % 2, Level(4));
      EXPECT_TRUE(again || i < 8 || (path->lastFrame == int32_t(i) - 8 && path->handoverValue == i - 8 && path->handover)) << i;
    }
    Settle(path);
    EXPECT_EQ(path->lastFrame, 9);
    float t[3];
    ASSERT_TRUE(AnalysisFrameTranslation(path, 0, 5, t));
    EXPECT_TRUE(std::fabs(t[0] - 2.0f) < 0.1f && std::fabs(t[1] - 1.0f) < 0.1f) << t[0] << ", " << t[1];
    EXPECT_EQ(path->analysis->records[5].u(model::kSlotSpan), 1u);
    const auto* bytes = reinterpret_cast<const uint8_t*>(path->analysis->records);
    records.emplace_back(bytes, bytes + 10 * sizeof(model::FrameRecord));
    model::PathDelete(path);
  }
  EXPECT_EQ(records[0], records[1]);
}

TEST_F(BlockScan, WhatCannotBeMeasuredLeavesRecordsEmptyAndThePathUsable) {
  // A frame smaller than a block with its search reach, entries beyond the capacity, a flat frame.
  GlobalMotionPath* path = model::PathCreate(3, 0);
  const cv::Mat tiny = testing::MakeTexture(24, 20, 3);
  for (uint32_t i = 0; i < 5; ++i) ScanGrey(path, tiny, i, Level(2));
  Settle(path);
  EXPECT_EQ(path->lastFrame, 2);
  for (int e = 0; e < 3; ++e) EXPECT_EQ(path->analysis->records[e].count(), 0u);
  model::PathDelete(path);

  // An entry whose reference planes left the pool is not measured: distance 0, no matches.
  const auto clip = Pan(16, 1, 1);
  path = model::PathCreate(16, 0);
  for (uint32_t i = 0; i < 16; ++i) ScanGrey(path, clip[i], i, Level(4));
  ScanGrey(path, clip[1], 1, Level(4));  // entry 0's planes were recycled by now
  Settle(path);
  EXPECT_EQ(path->analysis->records[1].u(model::kSlotSpan), 0u);
  EXPECT_EQ(path->analysis->records[1].count(), 0u);
  EXPECT_GT(path->analysis->records[15].count(), 20u);
  model::PathDelete(path);
}

}  // namespace
}  // namespace vendrix::analysis
