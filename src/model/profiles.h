// The settings record's default and the table of 42 stabilisation profiles.
//
// Records are compared and copied as raw 60-byte blocks: every field, the reserved one included,
// takes part in equality, so a profile is found only by an exact match.
#pragma once

#include <cstdint>

#include "vendrix/vendrix.h"

namespace vendrix::model {

constexpr int32_t kProfileCount = 42;

extern const PathSettings kDefaultPathSettings;  // equal to profile 41; what a new real-time path starts from
extern const PathSettings kProfileTable[kProfileCount];

bool SameSettings(const PathSettings& a, const PathSettings& b);

// Copies profile `index` to *out; false (out untouched) when index > 41.
bool CopyProfile(uint32_t index, PathSettings* out);
// Highest index whose profile equals *rec byte for byte, or -1. Searching downwards makes a record
// equal to the identical profiles 8 and 10 report 10, and the default record report 41.
int32_t FindProfileIndex(const PathSettings* rec);
// True when *rec equals profile `index`; an index beyond the table is reported as a match.
bool MatchesProfile(uint32_t index, const PathSettings* rec);

}  // namespace vendrix::model
