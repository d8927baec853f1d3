// Chain scoring on hand-built stores: which points of an entry are kept, how the window and missing
// stores bound the chains, and the pass-1 rule of keeping the better-scored half.
#include "analysis/chain_scoring.h"

#include <gtest/gtest.h>

#include <vector>

#include "analysis/point_store.h"

namespace vendrix::analysis {
namespace {

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
