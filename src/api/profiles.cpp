// Profile exports: constant-table look-ups, callable from any thread at any time.
#include "util/profiles.h"
#include "vendrix/vendrix.h"

namespace util = vendrix::util;

extern "C" int32_t GetProfileNums(void) noexcept { return util::kProfileCount; }

extern "C" int32_t ApplyProfile(uint32_t index, PathSettings* out) noexcept { return util::CopyProfile(index, out) ? 1 : 0; }

extern "C" int32_t FindProfile(const PathSettings* rec) noexcept { return util::FindProfileIndex(rec); }

extern "C" int32_t IsSameProfile(uint32_t index, const PathSettings* rec) noexcept {
  return util::MatchesProfile(index, rec) ? 1 : 0;
}
