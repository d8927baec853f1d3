#include "model/profiles.h"

#include <gtest/gtest.h>

#include <cstring>

namespace vendrix::model {
namespace {

// A handful of rows written out from the profile table as independent checks of the constant data:
// one per family, and the rows that differ from a neighbour in a single field.
struct Row {
  int index;
  int32_t v[15];
};
const Row kSpotRows[] = {
    {0, {0, 1, 0x0, 0, 0, 13107, 13107, 0, 0x100, 1, 0, 0, 0, 0, 0}},
    {3, {0, 1, 0x0, 3, -26214, 19660, 19660, 0, 0x100, 1, 0, 0, 0, 0, 0}},
    {14, {0, 1, 0x8, 3, 0, 65536, 64225, 2, 0x100, 1, 0, 0, 0, 0, 0}},
    {20, {0, 0, 0x4, 2, 26214, 13107, 13107, 2, 0x100, 0, 0, 0, 0, 0, 0}},
    {29, {0, 1, 0x4, 3, 0, 52428, 64225, 2, 0x100, 0, 0, 0, 0, 0, 0}},
    {33, {65536, 2, 0x18, 4, 0, 19005, 26214, 2, 0x100, 2, 0, 0, 0, 0, 0}},
    {34, {19660, 1, 0x4, 6, 0, 16384, 13107, 6, 0x1000, 1, 0, 9830, 13107, 13107, 13107}},
    {37, {19660, 1, 0x9, 9, 0, 26214, 19660, 6, 0x1000, 2, 0, 13107, 19660, 32768, 32768}},
    {40, {13107, 1, 0x49, 9, 0, 65536, 64225, 2, 0, 2, 0, 32768, 64225, 32768, 32768}},
    {41, {0, 1, 0x4D, 9, 0, 26214, 19660, 2, 0, 2, 0, 13107, 32768, 32768, 32768}},
};

TEST(Profiles, TableRowsAndDefaultAreByteExact) {
  static_assert(sizeof(PathSettings) == 60);
  for (const Row& row : kSpotRows) {
    PathSettings out;
    ASSERT_TRUE(CopyProfile(static_cast<uint32_t>(row.index), &out));
    EXPECT_EQ(std::memcmp(&out, row.v, 60), 0) << "profile " << row.index;
  }
  EXPECT_EQ(std::memcmp(&kDefaultPathSettings, kSpotRows[9].v, 60), 0);
}

TEST(Profiles, FindReturnsTheHighestMatchingIndex) {
  for (uint32_t i = 0; i < kProfileCount; ++i) {
    PathSettings rec;
    ASSERT_TRUE(CopyProfile(i, &rec));
    EXPECT_EQ(FindProfileIndex(&rec), i == 8 ? 10 : static_cast<int32_t>(i)) << i;
    EXPECT_TRUE(MatchesProfile(i, &rec));
    // Any single changed bit, the reserved field included, makes the record no profile at all
    // (unless the change happens to produce another row, which no single bit does in this table).
    rec.Reserved ^= 1;
    EXPECT_EQ(FindProfileIndex(&rec), -1) << i;
    EXPECT_FALSE(MatchesProfile(i, &rec));
  }
  EXPECT_EQ(FindProfileIndex(&kDefaultPathSettings), 41);
  EXPECT_EQ(FindProfileIndex(nullptr), -1);
}

TEST(Profiles, OutOfRangeIndexes) {
  PathSettings out;
  std::memset(&out, 0x5A, sizeof(out));
  PathSettings untouched = out;
  EXPECT_FALSE(CopyProfile(42, &out));
  EXPECT_FALSE(CopyProfile(0xFFFFFFFFu, &out));
  EXPECT_EQ(std::memcmp(&out, &untouched, sizeof(out)), 0);
  EXPECT_TRUE(MatchesProfile(42, &out));  // beyond the table counts as the same, whatever the record
  EXPECT_TRUE(MatchesProfile(0xFFFFFFFFu, nullptr));
  EXPECT_TRUE(MatchesProfile(8, &kProfileTable[10]));
  EXPECT_FALSE(MatchesProfile(0, &kProfileTable[1]));
}

TEST(Profiles, TableHasNoDuplicatesBesidesEightAndTen) {
  for (int a = 0; a < kProfileCount; ++a)
    for (int b = a + 1; b < kProfileCount; ++b)
      EXPECT_EQ(SameSettings(kProfileTable[a], kProfileTable[b]), a == 8 && b == 10) << a << " " << b;
}

}  // namespace
}  // namespace vendrix::model
