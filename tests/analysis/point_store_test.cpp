#include "analysis/point_store.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "analysis/chain_link.h"
#include "model/global_motion_path.h"
#include "platform/heap.h"

namespace vendrix::analysis {
namespace {

// A path of 9 entries with its store table, as the analyser sets it up.
class PointStores : public ::testing::Test {
 protected:
  static constexpr int kEntries = 9;
  void SetUp() override {
    live_ = platform::HeapLiveBlocks();
    path_ = model::PathCreate(kEntries, 0);
    ASSERT_NE(path_, nullptr);
    path_->matchStore = static_cast<void**>(platform::HeapAllocate(kEntries * sizeof(void*)));
    ASSERT_NE(path_->matchStore, nullptr);
  }
  void TearDown() override {
    model::PathDelete(path_);  // frees every slot and the table
    EXPECT_EQ(platform::HeapLiveBlocks(), live_);
  }
  PointStore* At(int e) { return PointStoreAt(path_, e); }
  GlobalMotionPath* path_ = nullptr;
  int64_t live_ = 0;
};

TEST_F(PointStores, BuildFillsTheTrackedPoints) {
  const float from[] = {10, 20, 30.5f, 40};
  const float to[] = {12, 19, 30, 44.25f};
  ASSERT_TRUE(BuildPointStore(path_, 3, from, to, 2));
  const PointStore* s = At(3);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->count, 2u);
  EXPECT_EQ(s->useCount, 1u);
  EXPECT_EQ(static_cast<const void*>(s->points), static_cast<const void*>(s + 1));
  const TrackedPoint& p = s->points[1];
  EXPECT_EQ((std::vector<float>{p.x, p.y, p.dx, p.dy}), (std::vector<float>{30.0f, 44.25f, -0.5f, 4.25f}));
  EXPECT_EQ(p.prev, kNoLink);
  EXPECT_EQ(p.next, kNoLink);
  EXPECT_EQ(p.inlier0 + p.kept0 + p.inlier1 + p.present, 4);
  EXPECT_EQ(p.kept1, 0);
  EXPECT_EQ(At(2), nullptr);  // only entry 1 touches another slot

  // Replacing the slot frees the old store; an empty result is still a store.
  const int64_t blocks = platform::HeapLiveBlocks();
  ASSERT_TRUE(BuildPointStore(path_, 3, from, to, 0));
  EXPECT_EQ(platform::HeapLiveBlocks(), blocks);
  EXPECT_EQ(At(3)->count, 0u);
}

TEST_F(PointStores, EntryOneAlsoStartsTheChainsInEntryZero) {
  const float from[] = {1, 2, 3, 4, 5, 6};
  const float to[] = {1.5f, 2, 3.5f, 4, 5.5f, 6};
  ASSERT_TRUE(BuildPointStore(path_, 0, to, to, 1));  // an older entry-0 store is replaced
  ASSERT_TRUE(BuildPointStore(path_, 1, from, to, 3));
  const PointStore* s0 = At(0);
  const PointStore* s1 = At(1);
  ASSERT_NE(s0, nullptr);
  ASSERT_EQ(s0->count, 3u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(s0->points[i].x, from[2 * i]);
    EXPECT_EQ(s0->points[i].y, from[2 * i + 1]);
    EXPECT_EQ(s0->points[i].dx, 0.0f);
    EXPECT_EQ(s0->points[i].dy, 0.0f);
    EXPECT_EQ(s0->points[i].present, 1);
    EXPECT_EQ(s0->points[i].prev, kNoLink);
    EXPECT_EQ(s0->points[i].next, i);
    EXPECT_EQ(s1->points[i].prev, i);
    EXPECT_EQ(s1->points[i].next, kNoLink);
  }
}

TEST_F(PointStores, MissingTableBadArgumentsAndMemoryFailure) {
  const float xy[] = {1, 2};
  void** table = path_->matchStore;
  path_->matchStore = nullptr;
  EXPECT_FALSE(BuildPointStore(path_, 1, xy, xy, 1));
  path_->matchStore = table;
  EXPECT_FALSE(BuildPointStore(nullptr, 1, xy, xy, 1));
  EXPECT_FALSE(BuildPointStore(path_, kEntries, xy, xy, 1));
  EXPECT_FALSE(BuildPointStore(path_, -1, xy, xy, 1));
  EXPECT_FALSE(BuildPointStore(path_, 2, nullptr, xy, 1));
  EXPECT_FALSE(BuildPointStore(path_, 2, xy, xy, -1));
  EXPECT_EQ(PointStoreCreate(-1), nullptr);
  EXPECT_EQ(PointStoreAt(path_, kEntries), nullptr);
  ASSERT_TRUE(BuildPointStore(path_, 2, xy, xy, 1));
  platform::HeapFailAllocation(1);
  EXPECT_FALSE(BuildPointStore(path_, 2, xy, xy, 1));
  EXPECT_EQ(At(2), nullptr);  // the old store is gone, the slot stays empty
}

// Chain linking on hand-built stores. Entry 2's features were tracked from corners of image 1; a
// feature of entry 1 continues when its position lies closer than 5 pixels to one of those corners.
TEST_F(PointStores, LinksFeaturesThatMeetACornerWithinFivePixels) {
  const float e1_from[] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const float e1_to[] = {100, 100, 200, 50, 300, 300, 52, 60, 420, 10};  // where 5 features went in image 1
  const float e2_from[] = {203, 54, 100, 100, 304, 303, 47, 60, 200.5f, 50.5f};
  const float e2_to[] = {205, 55, 101, 101, 306, 304, 48, 61, 201, 51};
  ASSERT_TRUE(BuildPointStore(path_, 1, e1_from, e1_to, 5));
  ASSERT_TRUE(BuildPointStore(path_, 2, e2_from, e2_to, 5));
  ChainLinker linker;
  ASSERT_TRUE(LinkChains(linker, path_, 2));
  const PointStore* a = At(1);
  const PointStore* b = At(2);
  // e1 #0 (100,100) -> e2 #1 exactly; #1 (200,50) -> e2 #4 (0.71 px; e2 #0 at 5 px is farther);
  // #2 (300,300) is exactly 5 px from e2 #2 (304,303): no link; #3 (52,60) is 5 px from e2 #3: no link;
  // #4 (420,10) lies outside the subdivision's rectangle.
  EXPECT_EQ(a->points[0].next, 1);
  EXPECT_EQ(a->points[1].next, 4);
  EXPECT_EQ(a->points[2].next, kNoLink);
  EXPECT_EQ(a->points[3].next, kNoLink);
  EXPECT_EQ(a->points[4].next, kNoLink);
  EXPECT_EQ(b->points[1].prev, 0);
  EXPECT_EQ(b->points[4].prev, 1);
  EXPECT_EQ(b->points[0].prev, kNoLink);
  EXPECT_EQ(b->points[2].prev, kNoLink);
  EXPECT_EQ(b->points[3].prev, kNoLink);
  EXPECT_EQ(a->useCount, 2u);
  EXPECT_EQ(b->useCount, 2u);
  // Entry 1's back links from its own build are untouched.
  EXPECT_EQ(a->points[3].prev, 3);
}

TEST_F(PointStores, TwoFeaturesReachingOneCornerBothLinkForward) {
  const float e2_from[] = {10, 10, 40, 40, 70, 10};
  const float e2_to[] = {11, 11, 41, 41, 71, 11};
  const float e3_from[] = {40, 40, 10.5f, 11, 90, 90};
  const float e3_to[] = {42, 42, 12, 12, 92, 92};
  ASSERT_TRUE(BuildPointStore(path_, 2, e2_from, e2_to, 3));  // positions 11,11 / 41,41 / 71,11
  ASSERT_TRUE(BuildPointStore(path_, 3, e3_from, e3_to, 3));
  At(2)->points[2].x = 39.5f;  // entry 2 #2 now sits next to the corner (40,40) too
  At(2)->points[2].y = 40.0f;
  ChainLinker linker;
  ASSERT_TRUE(LinkChains(linker, path_, 3));
  EXPECT_EQ(At(2)->points[0].next, 1);
  EXPECT_EQ(At(2)->points[1].next, 0);
  EXPECT_EQ(At(2)->points[2].next, 0);
  EXPECT_EQ(At(3)->points[0].prev, 1);  // the last written back link: lower index, visited last
  EXPECT_EQ(At(3)->points[1].prev, 0);
  EXPECT_EQ(At(3)->points[2].prev, kNoLink);
}

TEST_F(PointStores, LinkingNeedsBothStoresAndReusesTheLinker) {
  const float xy[] = {5, 5, 25, 25};
  ChainLinker linker;
  EXPECT_FALSE(LinkChains(linker, path_, 1));  // entry 1 is linked by its build
  ASSERT_TRUE(BuildPointStore(path_, 4, xy, xy, 2));
  EXPECT_FALSE(LinkChains(linker, path_, 4));  // no store for entry 3
  EXPECT_FALSE(LinkChains(linker, path_, 5));  // none for entry 5
  EXPECT_EQ(At(4)->useCount, 1u);
  // A longer run through one linker: random features tracked with sub-pixel noise all continue.
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> offset(-5, 5), jitter(-1.5f, 1.5f);
  std::vector<float> from(200), to(200);
  for (int i = 0; i < 100; ++i) {  // a jittered 10 x 10 grid 40 pixels apart
    to[2 * i] = 30.0f + 40.0f * float(i % 10) + offset(rng);
    to[2 * i + 1] = 30.0f + 40.0f * float(i / 10) + offset(rng);
  }
  ASSERT_TRUE(BuildPointStore(path_, 4, to.data(), to.data(), 100));
  for (int e = 5; e < 8; ++e) {
    const PointStore* prev = At(e - 1);
    for (int i = 0; i < 100; ++i) {
      from[2 * i] = prev->points[99 - i].x + jitter(rng);  // reversed order: links are not index-aligned
      from[2 * i + 1] = prev->points[99 - i].y + jitter(rng);
      to[2 * i] = from[2 * i] + 3.0f;
      to[2 * i + 1] = from[2 * i + 1] - 2.0f;
    }
    ASSERT_TRUE(BuildPointStore(path_, e, from.data(), to.data(), 100));
    ASSERT_TRUE(LinkChains(linker, path_, e));
    for (int i = 0; i < 100; ++i) {
      EXPECT_EQ(At(e)->points[i].prev, 99 - i) << "entry " << e << " point " << i;
      EXPECT_EQ(At(e - 1)->points[99 - i].next, i);
    }
  }
}

// Inlier marking: 40 points under a known homography plus outliers moved 30 pixels.
class Inliers : public PointStores {
 protected:
  static constexpr int kN = 40;
  std::vector<float> from_, to_;
  void Make(int outlier_every) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> pos(20, 600);
    from_.resize(2 * kN);
    to_.resize(2 * kN);
    for (int i = 0; i < kN; ++i) {
      const float x = pos(rng), y = pos(rng);
      const float w = 1.0f + 1e-4f * x - 5e-5f * y;
      from_[2 * i] = x;
      from_[2 * i + 1] = y;
      to_[2 * i] = (1.02f * x - 0.03f * y + 7.0f) / w;
      to_[2 * i + 1] = (0.025f * x + 0.99f * y - 4.0f) / w;
      if (outlier_every && i % outlier_every == 0) to_[2 * i] += 30.0f;
    }
    ASSERT_TRUE(BuildPointStore(path_, 5, from_.data(), to_.data(), kN));
  }
  static bool Outlier(int i) { return i % 5 == 0; }
};

TEST_F(Inliers, PassZeroMarksTheOutliers) {
  Make(5);
  MarkInliers(At(5), 0, false);
  for (int i = 0; i < kN; ++i) EXPECT_EQ(At(5)->points[i].inlier0, Outlier(i) ? 0 : 1) << i;
}

TEST_F(Inliers, PassOneOffersOnlyKeptPointsWithEitherEstimator) {
  Make(5);
  for (bool second_clip : {false, true}) {
    for (int i = 0; i < kN; ++i) At(5)->points[i].kept0 = i % 4 != 1;  // 30 offered, 6 of them outliers
    MarkInliers(At(5), 1, second_clip);
    for (int i = 0; i < kN; ++i) {
      const int expected = (i % 4 != 1 && !Outlier(i)) ? 1 : 0;
      EXPECT_EQ(At(5)->points[i].inlier1, expected) << i << (second_clip ? " RANSAC" : " LMEDS");
      EXPECT_EQ(At(5)->points[i].inlier0, 1);  // the other pass is untouched
    }
  }
}

TEST_F(Inliers, EightPairsOrAFailedEstimateMarkEveryPoint) {
  Make(5);
  for (int i = 0; i < kN; ++i) {
    At(5)->points[i].kept0 = i < 8;
    At(5)->points[i].inlier1 = 0;
  }
  MarkInliers(At(5), 1, true);
  for (int i = 0; i < kN; ++i) EXPECT_EQ(At(5)->points[i].inlier1, 1);
  // Every point at one place: no homography can be estimated.
  std::vector<float> same(2 * kN, 50.0f);
  ASSERT_TRUE(BuildPointStore(path_, 6, same.data(), same.data(), kN));
  for (int i = 0; i < kN; ++i) At(6)->points[i].inlier0 = 0;
  MarkInliers(At(6), 0, false);
  for (int i = 0; i < kN; ++i) EXPECT_EQ(At(6)->points[i].inlier0, 1);
  MarkInliers(nullptr, 0, false);
  MarkInliers(At(6), 2, false);  // no such pass: nothing changes
  for (int i = 0; i < kN; ++i) EXPECT_EQ(At(6)->points[i].inlier0 + At(6)->points[i].inlier1, 2);
}

}  // namespace
}  // namespace vendrix::analysis
