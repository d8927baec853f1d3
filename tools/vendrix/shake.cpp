#include "shake.h"

#include <cmath>
#include <filesystem>
#include <random>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include "atomic_file.h"
#include "cli_error.h"
#include "video_input.h"

namespace vendrix::cli {

namespace {

// How a kind of camera shakes, for a 640-pixel-wide frame (scaled with the width): the amplitude of the
// random tremor and how quickly it wanders (a pole near 1 is slow), a periodic bob (walking steps,
// engine vibration) and the roll that goes with both.
struct Preset {
  double tremor_px, tremor_pole, bob_px, bob_hz, roll_deg, pan_px_per_s;
};

Preset PresetNamed(const std::string& name) {
  if (name == "gentle") return {1.5, 0.90, 0.0, 0.0, 0.15, 4};
  if (name == "handheld") return {4.0, 0.80, 0.8, 1.3, 0.5, 10};
  if (name == "walk") return {3.0, 0.85, 6.0, 1.9, 1.0, 18};
  if (name == "vehicle") return {2.5, 0.35, 1.5, 11.0, 0.35, 40};
  throw CliError(fmt::format("--preset must be walk, handheld, vehicle or gentle, not '{}'", name));
}

// A camera pose: where the view's centre sits on the image plane (output pixels), its roll (radians)
// and zoom. The picture content moves the opposite way.
struct Pose {
  double x = 0, y = 0, roll = 0, zoom = 1;
};

cv::Mat LoadImageBgr(const std::string& path) {
  VideoInput input(path);
  FramePtr frame = NewFrame();
  if (!input.NextFrame(frame.get())) throw CliError(fmt::format("{}: no picture could be decoded", path));
  cv::Mat bgr(frame->height, frame->width, CV_8UC3);
  SwsPtr sws(sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format), frame->width, frame->height,
                            AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!sws) throw CliError(fmt::format("{}: cannot convert its pixel format", path));
  uint8_t* planes[4] = {bgr.data, nullptr, nullptr, nullptr};
  int strides[4] = {int(bgr.step[0]), 0, 0, 0};
  sws_scale(sws.get(), frame->data, frame->linesize, 0, frame->height, planes, strides);
  return bgr;
}

}  // namespace

std::string TruthPathFor(const std::string& clip) {
  return std::filesystem::path(clip).replace_extension(".json").string();
}

void MakeShakyClip(const std::string& image_path, const std::string& out, const ShakeOptions& o,
                   const EncoderOptions& encoder, Progress& progress) {
  const Preset preset = PresetNamed(o.preset);
  if (o.frames < 2 || o.frames > 100000) throw CliError(fmt::format("--frames must be 2..100000, not {}", o.frames));
  if (o.width < 16 || o.height < 16 || o.width > 8192 || o.height > 8192)
    throw CliError(fmt::format("--size must be between 16x16 and 8192x8192, not {}x{}", o.width, o.height));
  if (!(o.fps >= 1 && o.fps <= 240)) throw CliError(fmt::format("--fps must be 1..240, not {}", o.fps));
  const cv::Mat image = LoadImageBgr(image_path);

  // The motion: a slow pan plus tremor (first-order filtered noise), bob and roll.
  const double scale = o.width / 640.0;
  std::mt19937 rng(o.seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  const double keep = preset.tremor_pole, drive = std::sqrt(1 - keep * keep);
  const double phase = std::uniform_real_distribution<double>(0, 2 * M_PI)(rng);
  std::vector<Pose> intended(size_t(o.frames)), shake(size_t(o.frames));
  double tx = 0, ty = 0, tr = 0;
  for (int i = 0; i < o.frames; ++i) {
    const double t = i / o.fps;
    tx = keep * tx + drive * noise(rng);
    ty = keep * ty + drive * noise(rng);
    tr = keep * tr + drive * noise(rng);
    const double bob = std::sin(2 * M_PI * preset.bob_hz * t + phase);
    intended[size_t(i)].x = preset.pan_px_per_s * scale * t;
    shake[size_t(i)].x = preset.tremor_px * scale * tx + 0.3 * preset.bob_px * scale * bob;
    shake[size_t(i)].y = preset.tremor_px * scale * ty + preset.bob_px * scale * std::abs(bob);
    shake[size_t(i)].roll = (preset.roll_deg * M_PI / 180) * (0.7 * tr + 0.3 * bob);
  }

  // The view covers a fixed window of the image, small enough that the pan and the shake stay inside.
  double reach_x = 0, reach_y = 0;
  for (int i = 0; i < o.frames; ++i) {
    reach_x = std::max(reach_x, std::abs(intended[size_t(i)].x + shake[size_t(i)].x));
    reach_y = std::max(reach_y, std::abs(shake[size_t(i)].y));
  }
  const double diag = std::hypot(o.width, o.height) * std::sin(preset.roll_deg * 3 * M_PI / 180);
  const double need_w = o.width + 2 * (reach_x + diag), need_h = o.height + 2 * (reach_y + diag);
  // Image pixels per output pixel.
  const double k = std::min(image.cols / need_w, image.rows / need_h);
  const double cx = image.cols / 2.0 - k * intended.back().x / 2, cy = image.rows / 2.0;

  VideoSpec spec;
  spec.width = o.width;
  spec.height = o.height;
  spec.pixel_format = AV_PIX_FMT_YUV420P;
  const AVRational rate = av_d2q(o.fps, 100000);
  spec.frame_rate = rate;
  spec.time_base = av_inv_q(rate);
  spec.range = AVCOL_RANGE_MPEG;
  spec.space = AVCOL_SPC_BT709;
  spec.primaries = AVCOL_PRI_BT709;
  spec.transfer = AVCOL_TRC_BT709;
  VideoOutput output(out, spec, encoder);
  SwsPtr sws(sws_getContext(o.width, o.height, AV_PIX_FMT_BGR24, o.width, o.height, output.pixel_format(),
                            SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr, nullptr));
  if (!sws) throw CliError("cannot convert frames for the encoder");
  const int* coeffs = sws_getCoefficients(SWS_CS_ITU709);
  sws_setColorspaceDetails(sws.get(), coeffs, 1, coeffs, 0, 0, 1 << 16, 1 << 16);

  cv::Mat view(o.height, o.width, CV_8UC3);
  progress.Start("shake", o.frames);
  for (int i = 0; i < o.frames; ++i) {
    const Pose& p = intended[size_t(i)];
    const Pose& s = shake[size_t(i)];
    // Output pixel (u, v) sees image point centre + k * R(roll) * (u - w/2, v - h/2) + k * position.
    const double roll = p.roll + s.roll, c = std::cos(roll) * k, sn = std::sin(roll) * k;
    const double px = cx + k * (p.x + s.x), py = cy + k * (p.y + s.y);
    cv::Matx23d m(c, -sn, px - c * o.width / 2.0 + sn * o.height / 2.0, sn, c, py - sn * o.width / 2.0 - c * o.height / 2.0);
    cv::warpAffine(image, view, m, view.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REFLECT);
    AVFrame* frame = output.WritableFrame();
    uint8_t* planes[4] = {view.data, nullptr, nullptr, nullptr};
    int strides[4] = {int(view.step[0]), 0, 0, 0};
    sws_scale(sws.get(), planes, strides, 0, o.height, frame->data, frame->linesize);
    frame->pts = i;
    frame->pkt_duration = 1;
    output.WriteFrame(frame);
    progress.Update(i + 1);
  }
  output.Finish();
  progress.End();

  nlohmann::json truth;
  truth["image"] = image_path;
  truth["clip"] = out;
  truth["preset"] = o.preset;
  truth["seed"] = o.seed;
  truth["width"] = o.width;
  truth["height"] = o.height;
  truth["fps"] = o.fps;
  truth["frame_count"] = o.frames;
  truth["convention"] =
      "per frame: the camera's view centre in output pixels (x right, y down) and roll in radians, split into "
      "the intended path and the shake added to it; picture content moves the opposite way";
  nlohmann::json frames = nlohmann::json::array();
  for (int i = 0; i < o.frames; ++i) {
    const Pose& p = intended[size_t(i)];
    const Pose& s = shake[size_t(i)];
    frames.push_back({{"frame", i},
                      {"intended", {{"x", p.x}, {"y", p.y}, {"roll", p.roll}}},
                      {"shake", {{"x", s.x}, {"y", s.y}, {"roll", s.roll}}}});
  }
  truth["frames"] = std::move(frames);
  WriteFileAtomically(TruthPathFor(out), truth.dump(1) + "\n");
}

}  // namespace vendrix::cli
