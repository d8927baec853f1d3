// vendrix_quality_measure: how steady one clip is, as JSON (scores and the per-frame camera path).
//
//   vendrix_quality_measure CLIP [--input IN] [--truth shake.json] [--zoom Z] [--mask objects.mkv]
//                           [--elapsed S] [--lowpass-hz F] [--json out.json]
//
// With --input (the clip a stabiliser was given), every output frame is also compared with its input
// frame: cropping, distortion, and with --truth an error against the intended path free of drift.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>

#include <malloc.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "estimator.h"

using namespace vendrix::quality;

int main(int argc, char** argv) {
  // OpenCV's per-frame temporaries are megabytes each; glibc would return them to the kernel and fault
  // them in afresh every frame, which costs more than the tracking. Keep them in the heap instead.
  mallopt(M_MMAP_THRESHOLD, 512 << 20);
  mallopt(M_TRIM_THRESHOLD, 1024 << 20);
  CLI::App app("Measures a clip's camera path and steadiness from its frames (feature tracking)");
  std::string clip, input, truth_path, mask, json_path;
  ScoreOptions options;
  double elapsed = -1;
  app.add_option("CLIP", clip, "video to measure")->required();
  app.add_option("--input", input, "the clip the stabiliser was given: compare every frame with it");
  app.add_option("--truth", truth_path, "`vendrix shake` truth file of the input: score the distance to its "
                                       "intended path; its object mask is used unless --mask is given");
  app.add_option("--zoom", options.zoom, "output pixels per input pixel, for the intended path (default 1)");
  app.add_option("--mask", mask, "grey video, non-zero where objects move (not tracked); of the input's frames with --input");
  app.add_option("--elapsed", elapsed, "seconds the stabiliser took, copied into the result");
  app.add_option("--lowpass-hz", options.lowpass_hz, "cut-off of the path low-pass for the jitter (default 1)");
  app.add_option("--json", json_path, "write here instead of standard output");
  CLI11_PARSE(app, argc, argv);

  try {
    const auto start = std::chrono::steady_clock::now();
    Truth truth;
    if (!truth_path.empty()) {
      truth = ReadTruth(truth_path);
      options.truth = &truth;
      if (mask.empty()) mask = truth.mask;
    }
    InputViews views;
    if (!input.empty()) {
      views = CompareToInput(input, clip, mask);
      options.views = &views;
    }
    const ClipTrack track = TrackClip(clip, mask, input.empty() ? nullptr : &views);
    if (track.uncovered.size() < 2) throw std::runtime_error(clip + ": fewer than two frames");
    const Scores s = Score(track, options);
    nlohmann::json j;
    j["clip"] = clip;
    j["width"] = track.width;
    j["height"] = track.height;
    j["fps"] = track.fps;
    j["frames"] = s.frames;
    j["failed_pairs"] = s.failed_pairs;
    j["units"] = "lengths in pixels of a 1080-line frame";
    j["jitter_px"] = s.jitter_px;
    j["jitter_roll_deg"] = s.jitter_roll_deg;
    j["wobble_px"] = s.wobble_px;
    j["lowpass_hz"] = options.lowpass_hz;
    if (s.intended_error_px) j["intended_error_px"] = *s.intended_error_px;
    j["stability"] = s.stability;
    j["stability_translation"] = s.stability_translation;
    j["stability_rotation"] = s.stability_rotation;
    j["zoom_range"] = s.zoom_range;
    j["distortion"] = s.distortion;
    j["distortion_mean"] = s.distortion_mean;
    if (s.retained_mean) j["retained_mean"] = *s.retained_mean, j["retained_min"] = *s.retained_min;
    if (!input.empty()) j["failed_views"] = s.failed_views;
    j["uncovered_mean"] = s.uncovered_mean;
    j["uncovered_max"] = s.uncovered_max;
    if (elapsed >= 0) j["elapsed_s"] = elapsed;
    j["measure_s"] = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    nlohmann::json path = nlohmann::json::array();
    const double unit = 1080.0 / track.height;
    const std::vector<Pose> poses = CameraPath(track.motion, track.width, track.height);
    for (size_t i = 0; i < poses.size(); ++i)
      path.push_back({{"x", poses[i].x * unit}, {"y", poses[i].y * unit}, {"roll", poses[i].roll},
                      {"scale", poses[i].scale}, {"uncovered", track.uncovered[i]},
                      {"tracked", i == 0 || track.motion[i - 1].ok}});
    if (!input.empty()) {
      // The stabiliser's own correction of each frame: the input-to-output map as a similarity.
      nlohmann::json correction = nlohmann::json::array();
      for (const FrameView& v : views.frames) {
        const cv::Matx23d& a = v.similarity;
        correction.push_back(v.ok ? nlohmann::json{{"dx", a(0, 2) * unit}, {"dy", a(1, 2) * unit},
                                                   {"roll", std::atan2(a(1, 0), a(0, 0))},
                                                   {"scale", std::hypot(a(0, 0), a(1, 0))}, {"retained", v.retained}}
                                          : nlohmann::json(nullptr));
      }
      j["correction"] = std::move(correction);
      if (options.truth) {
        // The output's camera on the truth's path, with the intended path beside it (1080 lines).
        nlohmann::json on_path = nlohmann::json::array();
        const double to_1080 = 1080.0 / truth.height;
        const auto placed = PlaceOnTruth(views, truth, track.width, track.height);
        for (size_t i = 0; i < placed.size(); ++i) {
          const Pose& want = truth.intended[i];
          on_path.push_back({{"x", placed[i] ? nlohmann::json(placed[i]->x * to_1080) : nlohmann::json(nullptr)},
                             {"y", placed[i] ? nlohmann::json(placed[i]->y * to_1080) : nlohmann::json(nullptr)},
                             {"intended_x", want.x * to_1080}, {"intended_y", want.y * to_1080},
                             {"shaky_x", truth.shaky[i].x * to_1080}, {"shaky_y", truth.shaky[i].y * to_1080}});
        }
        j["on_path"] = std::move(on_path);
      }
    }
    j["path"] = std::move(path);
    if (json_path.empty()) {
      std::cout << j.dump(1) << "\n";
    } else {
      std::ofstream(json_path) << j.dump(1) << "\n";
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vendrix_quality_measure: error: %s\n", e.what());
    return 1;
  }
  return 0;
}
