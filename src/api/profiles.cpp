// Profile exports: constant-table look-ups, callable from any thread at any time.
#include "model/profiles.h"
#include "vendrix/vendrix.h"

namespace model = vendrix::model;

extern "C" int32_t GetProfileNums(void) noexcept { return model::kProfileCount; }

extern "C" int32_t ApplyProfile(uint32_t index, PathSettings* out) noexcept { return model::CopyProfile(index, out) ? 1 : 0; }

extern "C" int32_t FindProfile(const PathSettings* rec) noexcept { return model::FindProfileIndex(rec); }

extern "C" int32_t IsSameProfile(uint32_t index, const PathSettings* rec) noexcept {
  return model::MatchesProfile(index, rec) ? 1 : 0;
}
