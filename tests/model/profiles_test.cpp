// The profile table: spot rows against values written out independently, lookup by exact match
// (highest index wins, so the identical profiles 8 and 10 report 10) and out-of-range indexes.
#include "model/profiles.h"

#include <gtest/gtest.h>

#include <cstring>

namespace vendrix::model {
namespace {

struct Row {
  int index;
  int32_t v[15];
};
// One row per family and the default record (= profile 41).
const Row kSpotRows[] = {
    {0, {0, 1, 0x0, 0, 0, 13107, 13107, 0, 0x100, 1, 0, 0, 0, 0, 0}},
    {3, {0, 1, 0x0, 3, -26214, 19660, 19660, 0, 0x100, 1, 0, 0, 0, 0, 0}},
    {20, {0, 0, 0x4, 2, 26214, 13107, 13107, 2, 0x100, 0, 0, 0, 0, 0, 0}},
    {33, {65536, 2, 0x18, 4, 0, 19005, 26214, 2, 0x100, 2, 0, 0, 0, 0, 0}},
    {37, {19660, 1, 0x9, 9, 0, 26214, 19660, 6, 0x1000, 2, 0, 13107, 19660, 32768, 32768}},
    {41, {0, 1, 0x4D, 9, 0, 26214, 19660, 2, 0, 2, 0, 13107, 32768, 32768, 32768}},
};

TEST(Profiles, SpotRowsAndDefaultAreByteExact) {
  static_assert(sizeof(PathSettings) == 60);
  for (const Row& row : kSpotRows) {
    PathSettings out;
    ASSERT_TRUE(CopyProfile(static_cast<uint32_t>(row.index), &out));
    EXPECT_EQ(std::memcmp(&out, row.v, 60), 0) << "profile " << row.index;
  }
  EXPECT_EQ(std::memcmp(&kDefaultPathSettings, kSpotRows[5].v, 60), 0);
}

TEST(Profiles, FindReturnsTheHighestMatchingIndex) {
  for (uint32_t i = 0; i < kProfileCount; ++i) {
    PathSettings rec;
    ASSERT_TRUE(CopyProfile(i, &rec));
    EXPECT_EQ(FindProfileIndex(&rec), i == 8 ? 10 : static_cast<int32_t>(i)) << i;
    EXPECT_TRUE(MatchesProfile(i, &rec));
    rec.Reserved ^= 1;  // every field takes part, the reserved one included
    EXPECT_EQ(FindProfileIndex(&rec), -1) << i;
    EXPECT_FALSE(MatchesProfile(i, &rec));
  }
  EXPECT_EQ(FindProfileIndex(&kDefaultPathSettings), 41);
  EXPECT_EQ(FindProfileIndex(nullptr), -1);
}

TEST(Profiles, OutOfRangeIndexes) {
  PathSettings out;
  std::memset(&out, 0x5A, sizeof(out));
  const PathSettings untouched = out;
  EXPECT_FALSE(CopyProfile(42, &out));
  EXPECT_FALSE(CopyProfile(0xFFFFFFFFu, &out));
  EXPECT_EQ(std::memcmp(&out, &untouched, sizeof(out)), 0);
  EXPECT_TRUE(MatchesProfile(42, &out));  // beyond the table counts as the same, whatever the record
  EXPECT_TRUE(MatchesProfile(0xFFFFFFFFu, nullptr));
}

}  // namespace
}  // namespace vendrix::model
