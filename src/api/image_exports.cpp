// Exports of the image utilities: conversion, A/B mixing and the analysis preview. Each refuses a null
// record; none reports anything.
#include "api/guard.h"
#include "path/global_motion_path.h"
#include "util/image_convert.h"
#include "util/image_mix.h"
#include "util/preview.h"
#include "vendrix/vendrix.h"

using vendrix::api::GuardedVoid;

extern "C" void ConvImage(const ConvRecord* record) noexcept {
  if (!record) return;
  GuardedVoid([&] { vendrix::util::ConvertImage(*record); });
}

extern "C" void MixABImage(const MixRecord* record) noexcept {
  if (!record) return;
  GuardedVoid([&] { vendrix::util::MixImages(*record); });
}

extern "C" void PrepPreviewImage(GlobalMotionPath* path, uint64_t, const ConvRecord* record) noexcept {
  if (!record) return;
  GuardedVoid([&] { vendrix::util::PreparePreview(path, *record); });
}
