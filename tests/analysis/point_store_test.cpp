// Point stores of the feature tracker: building an entry's store (and entry 0's with entry 1),
// refusals and memory failure, chain linking between entries on hand-placed features and against a
// plain nearest search, inlier marking under a known homography with planted outliers, and chain
// scoring on hand-built stores (which points are kept, how the window and missing stores bound the
// chains, pass 1 keeping the better-scored half). The path frees every store it holds.
#include "analysis/point_store.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "analysis/chain_link.h"
#include "analysis/chain_scoring.h"
#include "model/global_motion_path.h"
#include "platform/heap.h"
#include "support/warm_pools.h"

namespace vendrix::analysis {
namespace {

// A path of 9 entries with its store table, as the analyser sets it up.
class PointStores : public vendrix::testing::LiveBlocksTest {
 protected:
  static constexpr int kEntries = 9;
  void SetUp() override {
    LiveBlocksTest::SetUp();
    ASSERT_NE(path_ = model::PathCreate(kEntries, 0), nullptr);
    path_->matchStore = static_cast<void**>(platform::HeapAllocate(kEntries * sizeof(void*)));
    ASSERT_NE(path_->matchStore, nullptr);
  }
  void TearDown() override {
    model::PathDelete(path_);  // frees every slot and the table
    LiveBlocksTest::TearDown();
  }
  PointStore* At(int e) { return PointStoreAt(path_, e); }
  bool Build(int e, const std::vector<float>& from, const std::vector<float>& to) {
    return BuildPointStore(path_, e, from.data(), to.data(), static_cast<int32_t>(from.size() / 2));
  }
  bool Link(int e) { return LinkChains(linker_, path_, e); }
  GlobalMotionPath* path_ = nullptr;
  ChainLinker linker_;
};

TEST_F(PointStores, BuildFillsTheTrackedPointsAndReplacesTheOldStore) {
  ASSERT_TRUE(Build(3, {10, 20, 30.5f, 40}, {12, 19, 30, 44.25f}));
  const PointStore* s = At(3);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->count, 2u);
  EXPECT_EQ(s->useCount, 1u);
  EXPECT_EQ(static_cast<const void*>(s->points), static_cast<const void*>(s + 1));
  const TrackedPoint& p = s->points[1];
  EXPECT_EQ((std::vector<float>{p.x, p.y, p.dx, p.dy}), (std::vector<float>{30.0f, 44.25f, -0.5f, 4.25f}));
  EXPECT_TRUE(p.prev == kNoLink && p.next == kNoLink);
  EXPECT_TRUE(p.inlier0 && p.kept0 && p.inlier1 && p.present && !p.kept1);
  EXPECT_EQ(At(2), nullptr);  // only entry 1 touches another slot
  // Replacing the slot frees the old store; an empty result is still a store.
  const int64_t blocks = platform::HeapLiveBlocks();
  const float xy[] = {1, 2};
  ASSERT_TRUE(BuildPointStore(path_, 3, xy, xy, 0));
  EXPECT_EQ(platform::HeapLiveBlocks(), blocks);
  EXPECT_EQ(At(3)->count, 0u);
}

TEST_F(PointStores, EntryOneAlsoStartsTheChainsInEntryZero) {
  const std::vector<float> from = {1, 2, 3, 4, 5, 6}, to = {1.5f, 2, 3.5f, 4, 5.5f, 6};
  ASSERT_TRUE(Build(0, {9, 9}, {9, 9}));  // an older entry-0 store is replaced
  ASSERT_TRUE(Build(1, from, to));
  const PointStore* s0 = At(0);
  const PointStore* s1 = At(1);
  ASSERT_EQ(s0->count, 3u);
  for (int i = 0; i < 3; ++i) {
    const TrackedPoint& p = s0->points[i];
    EXPECT_TRUE(p.x == from[2 * i] && p.y == from[2 * i + 1] && p.dx == 0 && p.dy == 0 && p.present) << i;
    EXPECT_TRUE(p.prev == kNoLink && p.next == i && s1->points[i].prev == i && s1->points[i].next == kNoLink) << i;
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

// Entry e's features were tracked from corners of image e - 1; a feature of entry e - 1 continues when
// its position lies closer than 5 pixels to one of those corners.
TEST_F(PointStores, LinksFeaturesThatMeetACornerWithinFivePixels) {
  ASSERT_TRUE(Build(1, std::vector<float>(10, 0), {100, 100, 200, 50, 300, 300, 52, 60, 420, 10}));
  ASSERT_TRUE(Build(2, {203, 54, 100, 100, 304, 303, 47, 60, 200.5f, 50.5f}, {205, 55, 101, 101, 306, 304, 48, 61, 201, 51}));
  ASSERT_TRUE(Link(2));
  // #0 (100,100) -> #1 exactly; #1 (200,50) -> #4 (0.71 px; #0 at 5 px is farther); #2 (300,300) is
  // exactly 5 px from #2 and #3 (52,60) exactly 5 px from #3: no links; #4 (420,10) lies outside the
  // box around entry 2's points.
  const int32_t next[] = {1, 4, kNoLink, kNoLink, kNoLink}, prev[] = {kNoLink, 0, kNoLink, kNoLink, 1};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(At(1)->points[i].next, next[i]) << i;
    EXPECT_EQ(At(2)->points[i].prev, prev[i]) << i;
  }
  EXPECT_EQ(At(1)->useCount, 2u);
  EXPECT_EQ(At(2)->useCount, 2u);
  EXPECT_EQ(At(1)->points[3].prev, 3);  // entry 1's back links from its own build are untouched
  // Linking needs both stores: entry 1 is linked by its build, entry 3 has no store, nor entry 4 a previous one.
  ASSERT_TRUE(Build(4, {5, 5, 25, 25}, {5, 5, 25, 25}));
  EXPECT_FALSE(Link(1) || Link(3) || Link(4));
  EXPECT_EQ(At(4)->useCount, 1u);
}

// The grid gives the links of a plain nearest search over the current store's tracked-from positions
// (the later of coincident ones): thousands of features, most of them continuing within a few pixels,
// some coincident corners and some stray positions.
TEST_F(PointStores, LinksAreThoseOfTheNearestTrackedFromPosition) {
  std::mt19937 rng(17);
  std::uniform_real_distribution<float> x(0, 1280), y(0, 720), jitter(-4, 4);
  for (int round = 0; round < 4; ++round) {
    const int n = 1500;
    std::vector<float> from(2 * n), to(2 * n), prev_at(2 * n);
    for (int i = 0; i < n; ++i) {
      const bool coincident = i > 0 && i % 7 == 0;  // a corner found twice
      from[2 * i] = coincident ? from[2 * i - 2] : x(rng);
      from[2 * i + 1] = coincident ? from[2 * i - 1] : y(rng);
      to[2 * i] = from[2 * i] + jitter(rng);
      to[2 * i + 1] = from[2 * i + 1] + jitter(rng);
      const bool strays = i % 5 == 0;
      prev_at[2 * i] = strays ? x(rng) : from[2 * i] + jitter(rng);
      prev_at[2 * i + 1] = strays ? y(rng) : from[2 * i + 1] + jitter(rng);
    }
    ASSERT_TRUE(Build(1, std::vector<float>(2 * n, 0), prev_at));
    ASSERT_TRUE(Build(2, from, to));
    // The reference on copies of the two stores; every position of entry 1 lies inside the box around
    // those of entry 2 (the box is the hand-placed test's).
    std::vector<TrackedPoint> previous(At(1)->points, At(1)->points + n), current(At(2)->points, At(2)->points + n);
    for (int j = n; j-- > 0;) {
      TrackedPoint& q = previous[size_t(j)];
      int best = 0;  // nearest in double precision, the later of ties; linked below 5 px in single
      double best_d2 = 1e30;
      for (int i = 0; i < n; ++i) {
        const double ex = double(q.x) - (current[i].x - current[i].dx), ey = double(q.y) - (current[i].y - current[i].dy);
        if (ex * ex + ey * ey <= best_d2) best = i, best_d2 = ex * ex + ey * ey;
      }
      const float ex = q.x - (current[best].x - current[best].dx), ey = q.y - (current[best].y - current[best].dy);
      if (ex * ex + ey * ey < 25) q.next = best, current[best].prev = j;
    }
    ASSERT_TRUE(Link(2));
    int links = 0;
    for (int i = 0; i < n; ++i) {
      ASSERT_EQ(At(1)->points[i].next, previous[size_t(i)].next) << round << " " << i;
      ASSERT_EQ(At(2)->points[i].prev, current[size_t(i)].prev) << round << " " << i;
      links += previous[size_t(i)].next != kNoLink;
    }
    EXPECT_GT(links, n / 2);
  }
}

// 40 points under a known homography; every fifth moved 30 pixels off it.
class Inliers : public PointStores {
 protected:
  static constexpr int kN = 40;
  void SetUp() override {
    PointStores::SetUp();
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> pos(20, 600);
    std::vector<float> from(2 * kN), to(2 * kN);
    for (int i = 0; i < kN; ++i) {
      const float x = pos(rng), y = pos(rng), w = 1.0f + 1e-4f * x - 5e-5f * y;
      from[2 * i] = x;
      from[2 * i + 1] = y;
      to[2 * i] = (1.02f * x - 0.03f * y + 7.0f) / w + (Outlier(i) ? 30.0f : 0.0f);
      to[2 * i + 1] = (0.025f * x + 0.99f * y - 4.0f) / w;
    }
    ASSERT_TRUE(Build(5, from, to));
  }
  static bool Outlier(int i) { return i % 5 == 0; }
  TrackedPoint& P(int i) { return At(5)->points[i]; }
};

TEST_F(Inliers, PassZeroMarksTheOutliersAndPassOneOffersOnlyKeptPointsWithEitherEstimator) {
  MarkInliers(At(5), 0, false);
  for (int i = 0; i < kN; ++i) EXPECT_EQ(P(i).inlier0, Outlier(i) ? 0 : 1) << i;
  for (bool second_clip : {false, true}) {
    SCOPED_TRACE(second_clip ? "RANSAC" : "LMEDS");
    for (int i = 0; i < kN; ++i) P(i).kept0 = i % 4 != 1, P(i).inlier0 = 1;  // 30 offered, 6 of them outliers
    MarkInliers(At(5), 1, second_clip);
    for (int i = 0; i < kN; ++i) {
      EXPECT_EQ(P(i).inlier1, (i % 4 != 1 && !Outlier(i)) ? 1 : 0) << i;
      EXPECT_EQ(P(i).inlier0, 1);  // the other pass is untouched
    }
  }
}

TEST_F(Inliers, EightPairsOrAFailedEstimateMarkEveryPoint) {
  for (int i = 0; i < kN; ++i) P(i).kept0 = i < 8, P(i).inlier1 = 0;
  MarkInliers(At(5), 1, true);
  for (int i = 0; i < kN; ++i) EXPECT_EQ(P(i).inlier1, 1);
  // Every point at one place: no homography can be estimated.
  const std::vector<float> same(2 * kN, 50.0f);
  ASSERT_TRUE(Build(6, same, same));
  for (int i = 0; i < kN; ++i) At(6)->points[i].inlier0 = 0;
  MarkInliers(At(6), 0, false);
  for (int i = 0; i < kN; ++i) EXPECT_EQ(At(6)->points[i].inlier0, 1);
  MarkInliers(nullptr, 0, false);
  MarkInliers(At(6), 2, false);  // no such pass: nothing changes
  for (int i = 0; i < kN; ++i) EXPECT_EQ(At(6)->points[i].inlier0 + At(6)->points[i].inlier1, 2);
}

// Stores for `entries` entries of `points` points each, every point i linked to point i of its
// neighbours, all inliers of both passes unless changed by the test.
struct Chains {
  std::vector<void*> stores;
  Chains(int entries, int points) : stores(entries) {
    for (int e = 0; e < entries; ++e) {
      stores[e] = PointStoreCreate(points);
      for (int i = 0; i < points; ++i) At(e, i) = TrackedPoint{e > 0 ? i : kNoLink, e + 1 < entries ? i : kNoLink};
      for (int i = 0; i < points; ++i) At(e, i).inlier0 = At(e, i).inlier1 = 1;
    }
  }
  ~Chains() {
    for (void* s : stores) PointStoreRelease(static_cast<PointStore*>(s));
  }
  TrackedPoint& At(int e, int i) { return static_cast<PointStore*>(stores[e])->points[i]; }
  void Score(int entry, int start, int end, int pass, bool second_clip) {
    ScoreChains(stores.data(), static_cast<int32_t>(stores.size()), entry, start, end, pass, second_clip);
  }
};

TEST(ChainScoring, PassZeroDropsPointsWhoseChainIsMostlyOutliers) {
  Chains c(11, 6);
  // Point 0 is an outlier in every neighbouring entry; point 1's chain breaks right away.
  for (int e = 0; e < 11; ++e) c.At(e, 0).inlier0 = 0;
  c.At(5, 1).prev = c.At(5, 1).next = kNoLink;
  c.Score(5, 0, 10, 0, false);
  EXPECT_EQ(c.At(5, 0).kept0, 0);
  EXPECT_EQ(c.At(5, 1).kept0, 0);  // its support of 1 is far below the others'
  for (int i = 2; i < 6; ++i) EXPECT_EQ(c.At(5, i).kept0, 1) << i;
}

TEST(ChainScoring, WindowAndMissingStoresBoundTheChains) {
  Chains c(11, 4);
  // Inside the window [4, 6] the chains are three entries long; outliers outside it do not count.
  for (int e : {0, 1, 2, 3, 7, 8, 9, 10})
    for (int i = 0; i < 4; ++i) c.At(e, i).inlier0 = 0;
  c.Score(5, 4, 6, 0, false);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(c.At(5, i).kept0, 1);
  // A window of the entry alone gives every point support 1, below the minimum of 2.
  c.Score(5, 5, 5, 0, false);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(c.At(5, i).kept0, 0);
  // A missing store ends the walk instead of being read.
  PointStoreRelease(static_cast<PointStore*>(c.stores[4]));
  c.stores[4] = nullptr;
  c.Score(5, 0, 10, 0, false);
  EXPECT_EQ(c.At(5, 0).kept0, 0);  // now the long forward chain of outliers dominates
}

TEST(ChainScoring, PassOneKeepsTheBestScoredHalfAtLeast) {
  Chains c(9, 100);
  // Points 0..39 are outliers of pass 1 along their chains and score low.
  for (int e = 0; e < 9; ++e)
    for (int i = 0; i < 40; ++i) c.At(e, i).inlier1 = 0;
  c.Score(4, 0, 8, 1, true);
  int kept_good = 0, kept_bad = 0;
  for (int i = 0; i < 100; ++i) (i < 40 ? kept_bad : kept_good) += c.At(4, i).kept1;
  EXPECT_EQ(kept_good, 60);
  EXPECT_EQ(kept_bad, 0);
  ScoreChains(nullptr, 9, 4, 0, 8, 1, true);  // no table: nothing happens
  c.Score(42, 0, 8, 0, true);                 // entry outside the table
}

}  // namespace
}  // namespace vendrix::analysis
