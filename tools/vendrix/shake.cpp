#include "shake.h"

#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include "atomic_file.h"
#include "cli_error.h"
#include "shake_objects.h"
#include "shake_paths.h"
#include "video_input.h"

namespace vendrix::cli {

namespace fs = std::filesystem;

namespace {

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

// A stretch of the clip filmed on one view of the still: its frames, the picture it sees, how large
// that appears (image pixels per output pixel) and the image point the view centres on at rest, and
// what moves in it.
struct Shot {
  int first = 0, end = 0;
  cv::Mat image;
  double k = 1, cx = 0, cy = 0;
  std::unique_ptr<SceneLayers> layers;
};

// The first four presets' view: a fixed window of the image centred on the middle of the pan, small
// enough that the pan and the shake stay inside.
void FrameAroundPan(Shot& shot, const CameraPath& path, const ShakeStyle& style, int width, int height) {
  double reach_x = 0, reach_y = 0;
  for (int i = shot.first; i < shot.end; ++i) {
    const Pose p = path.Intended(i), s = path.Shake(i);
    reach_x = std::max(reach_x, std::abs(p.x + s.x));
    reach_y = std::max(reach_y, std::abs(s.y));
  }
  const double diag = std::hypot(width, height) * std::sin(style.roll_deg * 3 * M_PI / 180);
  const double need_w = width + 2 * (reach_x + diag), need_h = height + 2 * (reach_y + diag);
  shot.k = std::min(shot.image.cols / need_w, shot.image.rows / need_h);
  shot.cx = shot.image.cols / 2.0 - shot.k * path.Intended(shot.end - 1).x / 2;
  shot.cy = shot.image.rows / 2.0;
}

// The other presets' view: `size` times the largest window that holds everything the view reaches,
// its spare room split `along` : 1 - along before and after it (one half each: centred).
void FrameToFit(Shot& shot, const Reach& r, double size, cv::Point2d along) {
  const double need_w = r.x1 - r.x0, need_h = r.y1 - r.y0;
  shot.k = size * std::min(shot.image.cols / need_w, shot.image.rows / need_h);
  shot.cx = along.x * (shot.image.cols - shot.k * need_w) - shot.k * r.x0;
  shot.cy = along.y * (shot.image.rows - shot.k * need_h) - shot.k * r.y0;
}

// Output pixel (u, v) sees image point centre + k / zoom * R(roll) * (u - w/2, v - h/2) + k * position.
cv::Matx23d ViewMatrix(const Shot& shot, const Pose& pose, int width, int height) {
  const double kz = shot.k / pose.zoom, c = std::cos(pose.roll) * kz, sn = std::sin(pose.roll) * kz;
  const double px = shot.cx + shot.k * pose.x, py = shot.cy + shot.k * pose.y;
  return {c, -sn, px - c * width / 2.0 + sn * height / 2.0, sn, c, py - sn * width / 2.0 - c * height / 2.0};
}

// With a rolling shutter each row has its own pose: row v of the picture taken at time t is exposed at
// time t + readout * v / height (in frames).
void RowMaps(const CameraPath& path, const Shot& shot, double t, double readout, cv::Mat& map_x, cv::Mat& map_y) {
  for (int v = 0; v < map_x.rows; ++v) {
    const cv::Matx23d m = ViewMatrix(shot, path.Total(t + readout * v / map_x.rows), map_x.cols, map_x.rows);
    float* mx = map_x.ptr<float>(v);
    float* my = map_y.ptr<float>(v);
    for (int u = 0; u < map_x.cols; ++u) {
      mx[u] = float(m(0, 0) * u + m(0, 1) * v + m(0, 2));
      my[u] = float(m(1, 0) * u + m(1, 1) * v + m(1, 2));
    }
  }
}

VideoSpec ClipSpec(const ShakeOptions& o, AVPixelFormat format) {
  VideoSpec spec;
  spec.width = o.width;
  spec.height = o.height;
  spec.pixel_format = format;
  const AVRational rate = av_d2q(o.fps, 100000);
  spec.frame_rate = rate;
  spec.time_base = av_inv_q(rate);
  return spec;
}

// Removes finished files again unless the run got to the end: all outputs or none.
struct UnlessKept {
  std::vector<std::string> paths;
  bool kept = false;
  ~UnlessKept() {
    std::error_code ignored;
    if (!kept)
      for (const std::string& p : paths)
        if (!IsStandardStream(p)) fs::remove(p, ignored);
  }
};

}  // namespace

std::string TruthPathFor(const std::string& clip) {
  return fs::path(clip).replace_extension(".json").string();
}

std::string MaskPathFor(const std::string& clip) {
  return fs::path(clip).replace_extension(".mask.mkv").string();
}

std::vector<std::string> MakeShakyClip(const std::string& image_path, const std::string& out, const ShakeOptions& o,
                                       const EncoderOptions& encoder, Progress& progress) {
  Scenario scenario = ScenarioNamed(o.preset);
  scenario.objects = scenario.objects || o.objects;
  if (o.frames < 2 || o.frames > 100000) throw CliError(fmt::format("--frames must be 2..100000, not {}", o.frames));
  if (o.width < 16 || o.height < 16 || o.width > 8192 || o.height > 8192)
    throw CliError(fmt::format("--size must be between 16x16 and 8192x8192, not {}x{}", o.width, o.height));
  if (!(o.fps >= 1 && o.fps <= 240)) throw CliError(fmt::format("--fps must be 1..240, not {}", o.fps));
  if (o.interlaced && o.height % 2 != 0)
    throw CliError(fmt::format("--interlaced needs an even height (two fields of equal height), not {}", o.height));
  const FieldOrder field_order =
      !o.interlaced ? FieldOrder::kProgressive : o.bottom_first ? FieldOrder::kBottomFirst : FieldOrder::kTopFirst;
  const int fields = o.interlaced ? 2 : 1;
  const cv::Mat image = LoadImageBgr(image_path);
  const CameraPath path(scenario, o.frames, o.width, o.height, o.fps, o.seed);
  const double readout = scenario.readout;

  std::vector<Shot> shots(path.cut() < 0 ? 1 : 2);
  shots[0].end = path.cut() < 0 ? o.frames : path.cut();
  shots[0].image = image;
  if (scenario.first_four)
    FrameAroundPan(shots[0], path, scenario.style, o.width, o.height);
  else
    FrameToFit(shots[0], ViewReach(path, 0, shots[0].end, o.width, o.height, readout), 0.99, {0.5, 0.5});
  if (shots.size() > 1) {
    // After the cut: the still turned round, seen from closer and off its centre.
    shots[1].first = shots[0].end;
    shots[1].end = o.frames;
    cv::flip(image, shots[1].image, -1);
    FrameToFit(shots[1], ViewReach(path, shots[1].first, o.frames, o.width, o.height, readout), 0.7, {0.15, 0.8});
  }
  if (scenario.objects) {
    for (Shot& s : shots) {
      const Pose middle = path.Intended((s.first + s.end - 1) / 2.0);
      s.layers = std::make_unique<SceneLayers>(s.image, s.k, cv::Point2d(s.cx + s.k * middle.x, s.cy + s.k * middle.y),
                                               cv::Size(o.width, o.height));
    }
  }

  VideoSpec spec = ClipSpec(o, AV_PIX_FMT_YUV420P);
  spec.range = AVCOL_RANGE_MPEG;
  spec.space = AVCOL_SPC_BT709;
  spec.primaries = AVCOL_PRI_BT709;
  spec.transfer = AVCOL_TRC_BT709;
  spec.field_order = AvFieldOrder(field_order);
  VideoOutput output(out, spec, encoder);
  // An interlaced picture is converted one field at a time (see ScaleFields).
  const int sws_rows = o.height / fields;
  SwsPtr sws(sws_getContext(o.width, sws_rows, AV_PIX_FMT_BGR24, o.width, sws_rows, output.pixel_format(),
                            SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr, nullptr));
  if (!sws) throw CliError("cannot convert frames for the encoder");
  const int* coeffs = sws_getCoefficients(SWS_CS_ITU709);
  sws_setColorspaceDetails(sws.get(), coeffs, 1, coeffs, 0, 0, 1 << 16, 1 << 16);
  std::optional<VideoOutput> mask_output;
  if (scenario.objects) {
    VideoSpec grey = ClipSpec(o, AV_PIX_FMT_GRAY8);
    grey.range = AVCOL_RANGE_JPEG;
    EncoderOptions lossless;
    lossless.codec = "ffv1";
    mask_output.emplace(MaskPathFor(out), grey, lossless);
  }

  cv::Mat view(o.height, o.width, CV_8UC3), scene, scene_mask, view_mask(o.height, o.width, CV_8U), mask;
  cv::Mat woven(o.height, o.width, CV_8UC3), woven_mask(o.height, o.width, CV_8U);
  cv::Mat map_x(o.height, o.width, CV_32F), map_y(o.height, o.width, CV_32F);
  // The mask is widened by a few pixels so that the objects' soft edges are inside it.
  const int widen = 2 + o.height / 360;
  const cv::Mat kernel = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * widen + 1, 2 * widen + 1));
  // The view (and the mask of what moves in it) of `shot` filmed at time t, in frames.
  auto film = [&](Shot& shot, double t) {
    const cv::Mat* source = &shot.image;
    if (shot.layers) {
      // The objects are placed for the picture's middle row (the only one without a rolling shutter).
      const Pose aim = path.Intended(t + readout / 2);
      shot.layers->Compose((t + readout / 2) / o.fps, {shot.cx + shot.k * aim.x, shot.cy + shot.k * aim.y}, scene,
                           scene_mask);
      source = &scene;
    }
    if (readout > 0) {
      RowMaps(path, shot, t, readout, map_x, map_y);
      cv::remap(*source, view, map_x, map_y, cv::INTER_LINEAR, cv::BORDER_REFLECT);
      if (shot.layers) cv::remap(scene_mask, view_mask, map_x, map_y, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
    } else {
      const cv::Matx23d m = ViewMatrix(shot, path.Total(t), o.width, o.height);
      cv::warpAffine(*source, view, m, view.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REFLECT);
      if (shot.layers)
        cv::warpAffine(scene_mask, view_mask, m, view.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                       cv::BORDER_CONSTANT);
    }
  };
  progress.Start("shake", o.frames);
  for (int i = 0; i < o.frames; ++i) {
    Shot& shot = shots[i < shots[0].end ? 0 : 1];
    const cv::Mat* picture = &view;
    const cv::Mat* picture_mask = &view_mask;
    if (o.interlaced) {
      // Each field keeps the rows of its own view: rows 0, 2, 4 ... for the top field.
      for (int field = 0; field < 2; ++field) {
        film(shot, i + 0.5 * field);
        for (int y = field ^ int(o.bottom_first); y < o.height; y += 2) {
          view.row(y).copyTo(woven.row(y));
          if (shot.layers) view_mask.row(y).copyTo(woven_mask.row(y));
        }
      }
      picture = &woven;
      picture_mask = &woven_mask;
    } else {
      film(shot, i);
    }
    AVFrame* frame = output.WritableFrame();
    uint8_t* planes[4] = {picture->data, nullptr, nullptr, nullptr};
    int strides[4] = {int(picture->step[0]), 0, 0, 0};
    if (o.interlaced)
      ScaleFields(sws.get(), planes, strides, frame->data, frame->linesize, o.height);
    else
      sws_scale(sws.get(), planes, strides, 0, o.height, frame->data, frame->linesize);
    frame->pts = i;
    frame->pkt_duration = 1;
    output.WriteFrame(frame);
    if (mask_output) {
      cv::threshold(*picture_mask, mask, 0, 255, cv::THRESH_BINARY);
      cv::dilate(mask, mask, kernel);
      AVFrame* grey = mask_output->WritableFrame();
      for (int y = 0; y < o.height; ++y)
        std::memcpy(grey->data[0] + y * grey->linesize[0], mask.ptr(y), size_t(o.width));
      grey->pts = i;
      grey->pkt_duration = 1;
      mask_output->WriteFrame(grey);
    }
    progress.Update(i + 1);
  }
  UnlessKept written;
  output.Finish();
  written.paths.push_back(out);
  if (mask_output) {
    mask_output->Finish();
    written.paths.push_back(MaskPathFor(out));
  }
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
  truth["cuts"] = path.cut() < 0 ? nlohmann::json::array() : nlohmann::json::array({path.cut()});
  truth["rolling_shutter"] = readout;
  truth["interlaced"] = o.interlaced;
  if (o.interlaced) truth["field_order"] = o.bottom_first ? "bottom" : "top";
  if (mask_output) truth["mask"] = fs::path(MaskPathFor(out)).filename().string();
  truth["convention"] =
      "per frame: the camera's view centre in output pixels at zoom 1 (x right, y down), its roll in radians and "
      "zoom (how much larger the content appears), split into the intended path and the shake added to it "
      "(positions and rolls add; the shake has no zoom); picture content moves the opposite way. With a rolling "
      "shutter, row v of frame i is exposed at time (i + rolling_shutter * v / height) / fps and the pose given is "
      "the centre row's. Each cut starts a new shot, a different view whose positions are its own; the intended "
      "path runs on continuously across it. The mask video, when there is one, is non-zero where objects or "
      "swaying texture move. An interlaced clip's frame i is woven from two fields filmed half a frame apart: "
      "the pose given for the frame is its first field's (time i), `second_field` has the other's (time i + 0.5); "
      "field_order says whether the first field is the top one (rows 0, 2, 4 ...) or the bottom one";
  nlohmann::json frames = nlohmann::json::array();
  for (int i = 0; i < o.frames; ++i) {
    auto poses = [&](nlohmann::json& into, double t) {
      const Pose p = path.Intended(t + readout / 2), s = path.Shake(t + readout / 2);
      into["intended"] = {{"x", p.x}, {"y", p.y}, {"roll", p.roll}, {"zoom", p.zoom}};
      into["shake"] = {{"x", s.x}, {"y", s.y}, {"roll", s.roll}};
    };
    nlohmann::json frame = {{"frame", i}};
    poses(frame, i);
    if (o.interlaced) poses(frame["second_field"], i + 0.5);
    frames.push_back(std::move(frame));
  }
  truth["frames"] = std::move(frames);
  WriteFileAtomically(TruthPathFor(out), truth.dump(1) + "\n");
  written.kept = true;
  written.paths.push_back(TruthPathFor(out));
  return written.paths;
}

}  // namespace vendrix::cli

