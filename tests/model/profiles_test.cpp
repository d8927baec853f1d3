// The profile table: lookup by exact match (highest index wins, so the identical profiles 8 and 10
// report 10; the default record is profile 41) and out-of-range indexes. (What the profiles hold is
// pinned by the golden hashes of the paths finished under them and by the end-to-end steadiness.)
#include "model/profiles.h"

#include <gtest/gtest.h>

#include <cstring>

namespace vendrix::model {
namespace {

TEST(Profiles, FindReturnsTheHighestMatchingIndex) {
  static_assert(sizeof(PathSettings) == 60);
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
