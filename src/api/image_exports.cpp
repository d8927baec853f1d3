// Exports of the image utilities: conversion, A/B mixing and the analysis preview. Each refuses a null
// record; none reports anything.
#include "api/guard.h"
#include "model/global_motion_path.h"
#include "imaging/image_convert.h"
#include "imaging/image_mix.h"
#include "analysis/preview.h"
#include "vendrix/vendrix.h"

using vendrix::api::GuardedVoid;

extern "C" void ConvImage(const ConvRecord* record) noexcept {
  if (!record) return;
  GuardedVoid([&] { vendrix::imaging::ConvertImage(*record); });
}

extern "C" void MixABImage(const MixRecord* record) noexcept {
  if (!record) return;
  GuardedVoid([&] { vendrix::imaging::MixImages(*record); });
}

extern "C" void PrepPreviewImage(GlobalMotionPath* path, uint64_t, const ConvRecord* record) noexcept {
  if (!record) return;
  GuardedVoid([&] { vendrix::analysis::PreparePreview(path, *record); });
}
