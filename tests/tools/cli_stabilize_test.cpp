// The vendrix command end to end on small generated clips: steadiness measured on the decoded output,
// streams, timestamps, bit depth, sizes and metadata carried through, saved motion rendered again;
// `stabilize --realtime` as steady as the offline road, with the delay it reports, and in its live
// form from standard input to standard output; interlaced clips (two fields filmed half a frame apart)
// stabilised field by field in their field order, or as whole frames with --progressive.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <tuple>

#include <nlohmann/json.hpp>

#include "cli_support.h"
#include "band_mesh.h"
#include "cover_framing.h"
#include "motion_file.h"
#include "pan_follow.h"
#include "passes.h"
#include "settings_options.h"

extern "C" {
#include <libavcodec/codec_par.h>
}

namespace vendrix::testing {
namespace {

// One shaky clip for the whole suite: 480 x 270, 60 frames of handheld shake with a pan.
class CliStabilize : public SharedClipSuite {
 protected:
  static void SetUpTestSuite() { MakeSharedClip("--size 480x270 --frames 60 --seed 3"); }
};

// The shaky clip shows the motion its truth file gives. The command steadies it with every timestamp
// kept, and zoom-to-cover (the default) never shows a black edge; the motion saved by `analyze` renders
// with black margins (fill) and in split view, and draws the same plot.
TEST_F(CliStabilize, ShakeTruthSteadiedOutputAndSavedMotionRenderedAgain) {
  const nlohmann::json truth = ReadJson(In("clip.json"));
  ASSERT_EQ(truth["frames"].size(), 60u);
  const std::vector<cv::Mat> shaky = DecodeGrey(Clip());
  const std::vector<cv::Point2d> measured = CentreMotion(shaky);
  ASSERT_EQ(measured.size(), 59u);
  // Content moves against the camera: measured centre motion = -(camera step), within tracking error.
  double sq = 0;
  for (size_t i = 1; i < 60; ++i) {
    const auto& a = truth["frames"][i - 1];
    const auto& b = truth["frames"][i];
    const double dx = (b["intended"]["x"].get<double>() + b["shake"]["x"].get<double>()) -
                      (a["intended"]["x"].get<double>() + a["shake"]["x"].get<double>());
    const double dy = b["shake"]["y"].get<double>() - a["shake"]["y"].get<double>();
    sq += std::pow(measured[i - 1].x + dx, 2) + std::pow(measured[i - 1].y + dy, 2);
  }
  EXPECT_LT(std::sqrt(sq / 59), 0.5);

  const std::string out = In("steady.mp4"), motion = In("clip.vxm");
  ASSERT_TRUE(VendrixOk("stabilize " + Clip() + " " + out + " --plot " + In("plot.svg")));
  const double before = Jitter(measured), after = Jitter(CentreMotion(DecodeGrey(out)));
  EXPECT_GT(before, 2.0);
  EXPECT_LT(after, 0.25 * before) << "measured jitter " << before << " px in, " << after << " px out";
  const VideoInfo in_info = Probe(Clip()), out_info = Probe(out);
  EXPECT_EQ(out_info.pts, in_info.pts);
  EXPECT_EQ(out_info.width, 480);
  EXPECT_EQ(out_info.pixel_format, "yuv420p");
  EXPECT_EQ(out_info.colour_range, in_info.colour_range);
  EXPECT_EQ(out_info.colour_space, in_info.colour_space);

  ASSERT_TRUE(VendrixOk("analyze -q " + Clip() + " " + motion));
  ASSERT_TRUE(VendrixOk("render -q " + Clip() + " " + motion + " " + In("fill.mp4") + " --framing fill"));
  ASSERT_TRUE(VendrixOk("render -q " + Clip() + " " + motion + " " + In("split.mp4") + " --compare left --plot " + In("saved.svg")));
  // The camera paths travel in the motion file: the plot drawn from it (with the same framing's zoom)
  // is the one the analysis drew.
  const std::string plot = Slurp(In("plot.svg"));
  EXPECT_NE(plot.find("<polyline"), std::string::npos);
  EXPECT_NE(plot.find("</svg>"), std::string::npos);
  EXPECT_EQ(Slurp(In("saved.svg")), plot);
  auto darkest_edge = [](const std::vector<cv::Mat>& frames) {
    double worst = 255;
    for (const cv::Mat& f : frames)
      for (const cv::Mat& edge : {f.col(1), f.col(f.cols - 2), f.row(1), f.row(f.rows - 2)}) worst = std::min(worst, cv::mean(edge)[0]);
    return worst;
  };
  EXPECT_LT(darkest_edge(DecodeGrey(In("fill.mp4"))), 20.0);
  EXPECT_GT(darkest_edge(DecodeGrey(out)), 40.0);
  // Split view keeps the shaky input in its left half.
  const std::vector<cv::Mat> split = DecodeGrey(In("split.mp4"));
  ASSERT_EQ(split.size(), shaky.size());
  const cv::Rect left(0, 0, 200, 270);
  EXPECT_LT(cv::norm(split[30](left), shaky[30](left), cv::NORM_L1) / left.area(), 3.0);
  // The motion file belongs to its clip: a clip with another frame count is refused.
  ASSERT_TRUE(FfmpegOk("-i " + Clip() + " -frames:v 30 -c:v libx264 -y " + In("short.mp4")));
  const RunResult r = RunVendrix("render -q " + In("short.mp4") + " " + motion + " " + In("wrong.mp4"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("was made for a clip of 60 frames"), std::string::npos) << r.err;
}

nlohmann::json Shake(const ScratchDir& dir, const std::string& args) {
  EXPECT_TRUE(VendrixOk("shake -q " + SampleImage() + " " + (dir / "c.mp4") + " --size 320x180 " + args));
  return ReadJson(dir / "c.json");
}

TEST(CliShake, StaticSceneMasksEverythingThatMoves) {
  ScratchDir dir;
  const nlohmann::json truth = Shake(dir, "--preset static --crf 6 --frames 60");
  EXPECT_EQ(truth["mask"], "c.mask.mkv");
  for (const auto& f : truth["frames"])
    for (const char* k : {"x", "y", "roll"}) EXPECT_EQ(f["intended"][k].get<double>() + f["shake"][k].get<double>(), 0);
  // Whatever changes between frames lies in the mask; a large object is in view and moves.
  const std::vector<cv::Mat> clip = DecodeGrey(dir / "c.mp4"), mask = DecodeGrey(dir / "c.mask.mkv");
  ASSERT_EQ(mask.size(), 60u);
  int changed = 0, largest = 0;
  for (size_t i = 1; i < 60; ++i) {
    cv::Mat diff;
    cv::absdiff(clip[i], clip[i - 1], diff);
    changed += cv::countNonZero(diff > 24);
    EXPECT_EQ(cv::countNonZero((diff > 24) & ~(mask[i] | mask[i - 1])), 0) << i;
    largest = std::max(largest, cv::countNonZero(mask[i] & ~mask[i - 1]));
  }
  EXPECT_GT(changed, 10000);
  EXPECT_GT(largest, 320 * 180 / 100);

  // The command's default road sees a tripod shot: the objects do not drag the camera path along
  // (the library's default profile, without the match quality filter, drifts by about 2 px here).
  for (const cli::PathSample& s : Analyse(dir / "c.mp4").camera) ASSERT_LT(std::hypot(s.x, s.y), 0.1);
}

TEST(CliShake, RollingShutterWobbleTravelsInTheMotionFile) {
  // The default road finds the readout of a rolling-shutter clip and takes the rows' wobble out
  // through band pairs; they are saved with the motion, and rendering from the file draws the same
  // frames as the one-pass run.
  ScratchDir dir;
  Shake(dir, "--preset rolling-shutter --frames 45");
  const std::string clip = dir / "c.mp4", motion = dir / "c.vxm";
  ASSERT_TRUE(VendrixOk("stabilize -q " + clip + " " + (dir / "one.mp4") + " --save-motion " + motion));
  ASSERT_TRUE(VendrixOk("render -q " + clip + " " + motion + " " + (dir / "two.mp4")));
  const cli::Motion saved = cli::LoadMotion(motion);
  ASSERT_EQ(saved.bands.size(), 45u * cli::kBandValues);
  EXPECT_GT(*std::max_element(saved.bands.begin(), saved.bands.end()), 64);  // a quarter pixel and more
  const std::vector<cv::Mat> one = DecodeGrey(dir / "one.mp4"), two = DecodeGrey(dir / "two.mp4");
  ASSERT_EQ(one.size(), two.size());
  for (size_t i = 0; i < one.size(); ++i) ASSERT_EQ(cv::norm(one[i], two[i], cv::NORM_INF), 0) << i;
}

TEST(CliShake, CutIsListedWhereThePictureChanges) {
  ScratchDir dir;
  const nlohmann::json truth = Shake(dir, "--preset cut --frames 40");
  ASSERT_EQ(truth["cuts"], nlohmann::json::array({20}));
  EXPECT_FALSE(truth.contains("mask"));
  const std::vector<cv::Mat> clip = DecodeGrey(dir / "c.mp4");
  const double cut = cv::norm(clip[20], clip[19], cv::NORM_L1);
  for (int i = 1; i < 40; ++i) EXPECT_TRUE(i == 20 || cv::norm(clip[i], clip[i - 1], cv::NORM_L1) < cut / 3) << i;
  const nlohmann::json& f = truth["frames"];  // the intended path runs on across the cut
  EXPECT_NEAR(f[20]["intended"]["x"].get<double>(), f[19]["intended"]["x"].get<double>(), 1);
}

TEST_F(CliStabilize, UnmeasurableFramesAreMarked) {
  // Frames 20..25 painted black: neither they nor frame 26 (measured against a black frame) can be
  // measured; every other frame is.
  const std::string holes = In("holes.mp4");
  ASSERT_TRUE(FfmpegOk("-i " + Clip() + " -vf \"drawbox=enable='between(n,20,25)':w=iw:h=ih:color=black:t=fill\" -c:v libx264 -y " + holes));
  const std::vector<uint8_t> measured = Analyse(holes).measured;
  ASSERT_EQ(measured.size(), 60u);
  for (size_t i = 0; i < 60; ++i) EXPECT_EQ(measured[i], i < 20 || i > 26) << i;
  // A few holes pass quietly; a clip that is mostly holes is reported, the output written all the same.
  const std::string dark = In("dark.mp4");
  ASSERT_TRUE(FfmpegOk("-i " + Clip() + " -vf \"drawbox=enable='gte(n,20)':w=iw:h=ih:color=black:t=fill\" -c:v libx264 -y " + dark));
  const RunResult few = RunVendrix("stabilize -q " + holes + " " + In("holes_out.mp4"));
  const RunResult most = RunVendrix("stabilize -q " + dark + " " + In("dark_out.mp4"));
  EXPECT_EQ(few.status, 0);
  EXPECT_EQ(few.err, "");
  EXPECT_EQ(most.status, 0);
  EXPECT_NE(most.err.find("the motion of 40 of 59 frames could not be measured"), std::string::npos) << most.err;
}

// The cover framing on a made-up motion: small shake everywhere, two frames far out. The uncovered
// share is taken from the corners the library draws, not from the command's own model of them (whose
// zoom and shift the budget search relies on: a wrong model misses the budget here).
TEST(CoverFraming, SpendsNoMoreThanTheBudgetOnTheShakesPeaks) {
  cli::Motion m;
  m.video_width = 640, m.video_height = 360, m.frames = 200;
  m.comp.assign(size_t(VENDRIX_COMP_B_SIZE(m.frames)) / 4, 0u);
  MotionCompHeader head{
      .tag = VENDRIX_COMP_B_TAG, .magic = VENDRIX_COMP_MAGIC, .count = 200, .width = 320, .height = 180};
  auto* bytes = reinterpret_cast<uint8_t*>(m.comp.data());
  for (int i = 0; i < 200; ++i) {
    const bool peak = i == 50 || i == 120;
    const double dx = peak ? 20 : 3 * std::sin(i * 0.3), dy = peak ? -18 : 2 * std::cos(i * 0.37);
    MotionCompArrayBRecord rec{};
    for (VendrixFxPoint& c : rec.corner) c = {int32_t(dx * VENDRIX_FX_ONE), int32_t(dy * VENDRIX_FX_ONE)};
    std::memcpy(bytes + VENDRIX_COMP_B_OFFSET_RECORDS + i * VENDRIX_COMP_B_RECORD_SIZE, &rec, sizeof rec);
    // The bounds hold compensations, the opposite of the corner shifts.
    head.boundsMinX = std::min(head.boundsMinX, -rec.corner[0].x);
    head.boundsMaxX = std::max(head.boundsMaxX, -rec.corner[1].x);
    head.boundsMinY = std::min(head.boundsMinY, -rec.corner[0].y);
    head.boundsMaxY = std::max(head.boundsMaxY, -rec.corner[3].y);
  }
  std::memcpy(bytes, &head, sizeof head);
  // Mean uncovered share of the frames as drawn, and the zoom of the first.
  auto drawn = [&](const std::vector<uint32_t>& framed) {
    double uncovered = 0;
    for (int i = 0; i < 200; ++i) {
      TexMapDefA def{};
      def.version = VENDRIX_TEXMAP_A_VERSION;
      EXPECT_NE(DefTexMapA(&def, framed.data(), 0, i, 0, 640, 360), -1);
      MotionCompArrayBRecord as_drawn{};
      std::copy(std::begin(def.cornerShift), std::end(def.cornerShift), as_drawn.corner);
      uncovered += cli::UncoveredShare(as_drawn, 640, 360, 1.0, {}) / 200;
    }
    return std::pair{uncovered, cli::FramingZoom(m, framed)[0]};
  };
  const PathSettings cover = cli::RenderSettings(cli::AnalysisSettings({}), {});
  const auto [full_uncovered, full_zoom] = drawn(cli::FramedArray(m, cover, 0));
  EXPECT_LT(full_uncovered, 1e-4);
  EXPECT_GT(full_zoom, 1.08);
  // A budget of 0.1 %: the peaks spend it, everything else stays covered, the clip zooms less.
  const auto [uncovered, zoom] = drawn(cli::FramedArray(m, cover, 0.001));
  EXPECT_GT(uncovered, 0.0005);
  EXPECT_LE(uncovered, 0.0011);
  EXPECT_LT(zoom, full_zoom - 0.02);
  EXPECT_GE(zoom, cli::kUnnoticedZoom - 1e-3);
  // A clip the zoom limit cannot bring within the budget is drawn at the limit, not shifted to hide
  // its edges.
  const PathSettings limited = cli::RenderSettings(cli::AnalysisSettings({}), {.max_zoom = 1.1});
  const auto [beyond_uncovered, beyond_zoom] = drawn(cli::FramedArray(m, limited, 1e-5));
  EXPECT_NEAR(beyond_zoom, 1.1, 1e-3);
  EXPECT_GT(beyond_uncovered, 1e-5);
  EXPECT_LE(beyond_uncovered, cli::kMostStretched);
  // A budget too small to buy any zoom below the covering one, and other framings, keep the motion's
  // array.
  cli::RenderOptions fill{.framing = "fill"};
  const PathSettings filled = cli::RenderSettings(cli::AnalysisSettings({}), fill);
  for (const auto& [look, budget] : {std::pair{cover, 1e-7}, {filled, 0.001}}) {
    std::vector<uint32_t> expected = m.comp;
    std::memcpy(reinterpret_cast<uint8_t*>(expected.data()) + VENDRIX_COMP_OFFSET_SETTINGS, &look, sizeof look);
    EXPECT_EQ(cli::FramedArray(m, look, budget), expected);
  }
}

TEST_F(CliStabilize, FollowingPansKeepsTheViewOnTheIntendedPath) {
  // A line is its own local line, ends included; a 2 Hz shake on top of it is averaged out, wholly
  // where the kernel's 133-frame radius fits in the clip (the library's exponential taps let 0.7 % of
  // it through).
  std::vector<cli::PathSample> pan(400);
  for (size_t i = 0; i < pan.size(); ++i) pan[i] = {3.0 * double(i) + 4 * std::sin(0.45 * double(i)), -1.5 * double(i)};
  const std::vector<cli::PathSample> line = cli::LocalLineSmooth(pan, 0.4);
  for (size_t i = 0; i < pan.size(); ++i) {
    ASSERT_NEAR(line[i].x, 3.0 * double(i), i >= 133 && i + 133 < pan.size() ? 0.005 : 0.75) << i;
    ASSERT_NEAR(line[i].y, -1.5 * double(i), 1e-6) << i;
  }

  const nlohmann::json truth = ReadJson(In("clip.json"));
  const cli::Motion plain = Analyse(Clip(), {.follow_pans = false}), followed = Analyse(Clip());
  // How far the steadied view strays from where the camera was aimed, a constant offset aside.
  auto error = [&](const cli::Motion& m) {
    std::vector<cv::Point2d> off(60);
    cv::Point2d mean;
    for (size_t i = 0; i < 60; ++i) {
      const auto& intended = truth["frames"][i]["intended"];
      off[i] = {m.smoothed[i].x - intended["x"].get<double>(), m.smoothed[i].y - intended["y"].get<double>()};
      mean += off[i] / 60.0;
    }
    double sq = 0;
    for (const cv::Point2d& o : off) sq += (o - mean).dot(o - mean);
    return std::sqrt(sq / 60);
  };
  EXPECT_LT(error(followed), 0.6 * error(plain)) << "view off the intended path, plain: " << error(plain);

  // With the smoothed path already on its local line nothing moves, and the clip bounds the command
  // recomputes are the library's own.
  cli::Motion same = plain;
  same.smoothed = cli::LocalLineSmooth(plain.camera, double(plain.settings.Smoothing) / VENDRIX_FX_ONE);
  cli::FollowPans(same);
  const auto &before = *reinterpret_cast<const MotionCompHeader*>(plain.comp.data()),
             &after = *reinterpret_cast<const MotionCompHeader*>(same.comp.data());
  EXPECT_EQ(std::vector<uint32_t>(same.comp.begin() + VENDRIX_COMP_COMMON_HEADER_SIZE / 4, same.comp.end()),
            std::vector<uint32_t>(plain.comp.begin() + VENDRIX_COMP_COMMON_HEADER_SIZE / 4, plain.comp.end()));
  for (auto [a, b] : {std::pair{before.boundsMinX, after.boundsMinX}, {before.boundsMaxX, after.boundsMaxX},
                      {before.boundsMinY, after.boundsMinY}, {before.boundsMaxY, after.boundsMaxY}})
    EXPECT_NEAR(a, b, 1);
}

TEST_F(CliStabilize, AudioRotationVariableFrameRateTitleAndChaptersSurvive) {
  // Every third frame dropped (irregular timestamps), a sine track, then a display matrix turning the
  // video by 90 degrees as phones write it (ffmpeg 5.1's mp4 muxer takes it from a copied stream's
  // "rotate" tag; the test fails, rather than passes without it, if a later ffmpeg ignores the tag),
  // a title and two chapters.
  std::ofstream(In("meta.txt")) << ";FFMETADATA1\ntitle=Coffee\n[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1000\ntitle=Cup\n"
                                   "[CHAPTER]\nTIMEBASE=1/1000\nSTART=1000\nEND=1900\ntitle=Spoon\n";
  const std::string vfr = In("vfr_audio.mp4"), in = In("vfr_audio_rotated.mp4"), out = In("vfr_audio_out.mp4");
  ASSERT_TRUE(FfmpegOk("-i " + Clip() + " -f lavfi -i sine=frequency=440:duration=2 -vf \"select='not(eq(mod(n\\,3)\\,1))'\""
                       " -fps_mode vfr -c:v libx264 -c:a aac -shortest -y " + vfr));
  ASSERT_TRUE(FfmpegOk("-i " + vfr + " -i " + In("meta.txt") +
                       " -map 0 -map_metadata 1 -map_chapters 1 -c copy -metadata:s:v:0 rotate=90 -y " + in));
  ASSERT_TRUE(VendrixOk("stabilize -q " + in + " " + out));
  const VideoInfo a = Probe(in), b = Probe(out);
  ASSERT_EQ(b.pts.size(), a.pts.size());
  for (size_t i = 0; i < a.pts.size(); ++i) EXPECT_NEAR(b.pts[i], a.pts[i], 1e-3) << "frame " << i;
  ASSERT_EQ(b.streams.size(), 3u);  // video, audio and the chapters' own track
  EXPECT_EQ(b.streams[2].type, a.streams[2].type);
  EXPECT_EQ(b.streams[1].codec, "aac");
  EXPECT_EQ(b.streams[1].packets, a.streams[1].packets);
  EXPECT_EQ(b.streams[1].payload_hash, a.streams[1].payload_hash);
  EXPECT_NEAR(std::abs(b.rotation), 90.0, 1e-6);
  EXPECT_EQ(b.rotation, a.rotation);
  EXPECT_EQ(b.title, "Coffee");
  EXPECT_EQ(b.chapters, (std::vector<std::string>{"Cup", "Spoon"}));
}

// Ten-bit input is written at ten bits. 4:2:0 at an odd size keeps every pixel: x264 cannot subsample
// it, so the output moves to 4:4:4; a lossless codec in Matroska keeps the layout.
TEST_F(CliStabilize, BitDepthAndOddSizesAreKept) {
  ASSERT_TRUE(FfmpegOk("-i " + Clip() + " -frames:v 30 -pix_fmt yuv420p10le -c:v libx264 -y " + In("ten.mkv")));
  ASSERT_TRUE(FfmpegOk("-i " + Clip() + " -frames:v 24 -vf scale=321:181 -pix_fmt yuv420p -c:v ffv1 -y " + In("odd.mkv")));
  struct Case {
    std::string in, out, format;
    int width, height;
    size_t frames;
  };
  for (const Case& c : {Case{"ten.mkv", "ten_out.mkv", "yuv420p10le", 480, 270, 30}, {"odd.mkv", "odd.mp4", "yuv444p", 321, 181, 24},
                        {"odd.mkv", "odd_out.mkv --codec ffv1", "yuv420p", 321, 181, 24}}) {
    ASSERT_TRUE(VendrixOk("stabilize -q " + In(c.in) + " " + In(c.out)));
    const VideoInfo info = Probe(In(c.out.substr(0, c.out.find(' '))));
    EXPECT_EQ(std::tuple(info.width, info.height, info.pixel_format, info.pts.size()), std::tuple(c.width, c.height, c.format, c.frames));
  }
  // The ten-bit picture is steadier too: the 16-bit render path warps as the 8-bit one does.
  EXPECT_LT(Jitter(CentreMotion(DecodeGrey(In("ten_out.mkv")))), 0.35 * Jitter(CentreMotion(DecodeGrey(In("ten.mkv")))));
}

// 150 frames (5 s) of handheld shake at 480 x 270 with a sine track: with 40 frames of look-ahead,
// 61 frames are written while the stream still flows, the rest at its end.
class CliRealtime : public SharedClipSuite {
 protected:
  static void SetUpTestSuite() {
    MakeSharedClip("--size 480x270 --frames 150 --seed 5");
    ASSERT_TRUE(FfmpegOk("-i " + Clip() + " -f lavfi -i sine=frequency=440:duration=5 -c:v copy -c:a aac -y " + In("audio.mp4")));
  }
};

TEST_F(CliRealtime, AsSteadyAsTheOfflineRoadKeepingFramesTimestampsAndAudio) {
  const std::string in = In("audio.mp4"), offline = In("offline.mp4"), live = In("live.mp4");
  ASSERT_TRUE(VendrixOk("stabilize -q " + in + " " + offline));
  ASSERT_TRUE(VendrixOk("stabilize -q --realtime --look-ahead 40 " + in + " " + live + " --stats " + In("stats.json")));

  // Steadiness is the share of the input's jitter an output removes; the real-time road keeps at least
  // three quarters of what the offline road achieves with the whole clip in hand.
  const double before = Jitter(CentreMotion(DecodeGrey(in)));
  const double off = Jitter(CentreMotion(DecodeGrey(offline))), rt = Jitter(CentreMotion(DecodeGrey(live)));
  EXPECT_GT(before, 2.0);
  EXPECT_GE(1 - rt / before, 0.75 * (1 - off / before)) << "jitter " << before << " px in, offline " << off << ", real-time " << rt;

  const VideoInfo a = Probe(in), b = Probe(live);
  EXPECT_EQ(b.pts, a.pts);
  ASSERT_EQ(b.streams.size(), 2u);
  EXPECT_EQ(b.streams[1].packets, a.streams[1].packets);
  EXPECT_EQ(b.streams[1].payload_hash, a.streams[1].payload_hash);

  // Each frame waits for the look-ahead and the steady margin (50 frames) less one, no longer.
  const nlohmann::json stats = ReadJson(In("stats.json"));
  EXPECT_EQ(stats["delay_frames"].get<int>(), 89);
  EXPECT_NEAR(stats["delay_s"].get<double>(), 89 / 30.0, 1e-6);
  EXPECT_GT(stats["worst_frame_s"].get<double>(), 0.0);
}

TEST_F(CliRealtime, StandardInputToStandardOutput) {
  // ffmpeg streams MPEG-TS into the command, whose own MPEG-TS stream is read back.
  const std::string vendrix = VENDRIX_CLI_PATH, out = In("piped.ts");
  ASSERT_TRUE(FfmpegOk("-i " + Clip() + " -c copy -f mpegts - | " + vendrix + " stabilize -q --realtime - - --format mpegts > " + out));
  EXPECT_EQ(Probe(out).pts.size(), 150u);

  // A reader that stops early ends the run with a message and status 0.
  RunShell("(" + vendrix + " stabilize -q --realtime " + Clip() + " - --format mpegts 2>" + In("err") + "; echo $? >" +
           In("status") + ") | head -c 20000 >/dev/null");
  const std::string message = Slurp(In("err"));
  EXPECT_EQ(Slurp(In("status")), "0\n");
  EXPECT_NE(message.find("standard output was closed by its reader"), std::string::npos) << message;
}


// Field `parity` (0: rows 0, 2, 4 ...) of every frame, as pictures of half the height.
std::vector<cv::Mat> Fields(const std::vector<cv::Mat>& frames, int parity) {
  std::vector<cv::Mat> fields;
  for (const cv::Mat& f : frames) {
    cv::Mat field(f.rows / 2, f.cols, f.type());
    for (int y = 0; y < field.rows; ++y) f.row(2 * y + parity).copyTo(field.row(y));
    fields.push_back(field);
  }
  return fields;
}

// The larger jitter of the two fields' own sequences, measured apart.
double FieldJitter(const std::string& clip) {
  const std::vector<cv::Mat> frames = DecodeGrey(clip);
  return std::max(Jitter(CentreMotion(Fields(frames, 0))), Jitter(CentreMotion(Fields(frames, 1))));
}

// Horizontal motion from field to field in the order they were filmed (only x: the fields lie half a
// row apart vertically); its jitter sees whether the two fields of a frame were corrected apart.
std::vector<cv::Point2d> InterleavedMotion(const std::string& clip, bool top_first) {
  const std::vector<cv::Mat> frames = DecodeGrey(clip);
  const std::vector<cv::Mat> first = Fields(frames, top_first ? 0 : 1), second = Fields(frames, top_first ? 1 : 0);
  std::vector<cv::Mat> in_time;
  for (size_t i = 0; i < first.size(); ++i) in_time.push_back(first[i]), in_time.push_back(second[i]);
  std::vector<cv::Point2d> motion = CentreMotion(in_time);
  for (cv::Point2d& m : motion) m.y = 0;
  return motion;
}

TEST(CliInterlaced, FieldsAreStabilisedApartAndTheFieldOrderKept) {
  ScratchDir dir;
  for (const std::string order : {"top", "bottom"}) {
    SCOPED_TRACE(order);
    const std::string clip = dir / (order + ".mp4"), out = dir / (order + ".out.mp4");
    ASSERT_TRUE(VendrixOk("shake -q " + SampleImage() + " " + clip +
                          " --preset vehicle --size 320x240 --frames 40 --interlaced --field-order " + order));
    // The fields show the poses the truth gives them (the content moves against the camera).
    const nlohmann::json truth = ReadJson(dir / (order + ".json"));
    ASSERT_TRUE(truth["interlaced"].get<bool>() && truth["field_order"] == order);
    auto camera_x = [&](size_t field) {
      const nlohmann::json& f = truth["frames"][field / 2];
      const nlohmann::json& pose = field % 2 ? f["second_field"] : f;
      return pose["intended"]["x"].get<double>() + pose["shake"]["x"].get<double>();
    };
    const std::vector<cv::Point2d> steps = InterleavedMotion(clip, order == "top");
    double sq = 0;
    for (size_t k = 0; k < steps.size(); ++k) sq += std::pow(steps[k].x + camera_x(k + 1) - camera_x(k), 2);
    EXPECT_LT(std::sqrt(sq / double(steps.size())), 0.25);  // measured 0.06 (the steps themselves: 0.8)
    // The bottom-first clip goes through a motion file, which must keep the fields and their order.
    const std::string motion = dir / "m.vxm";
    if (order == "bottom") {
      ASSERT_TRUE(VendrixOk("analyze -q " + clip + " " + motion));
    }
    ASSERT_TRUE(VendrixOk(order == "top" ? "stabilize -q " + clip + " " + out : "render -q " + clip + " " + motion + " " + out));
    const VideoInfo info = Probe(out);
    EXPECT_EQ(info.field_order, order == "top" ? AV_FIELD_TT : AV_FIELD_BB);
    EXPECT_EQ(order == "top" ? info.top_first_frames : info.bottom_first_frames, 40);
    EXPECT_EQ(info.pts.size(), 40u);
    // The vehicle's fast shake changes within half a frame (measured: each field 2.7 -> 0.2-0.3 px,
    // fields in time order 0.79 -> 0.14-0.22 px).
    EXPECT_LT(FieldJitter(out), 0.3 * FieldJitter(clip));
    const double interleaved = Jitter(InterleavedMotion(out, order == "top"));
    EXPECT_LT(interleaved, 0.5 * Jitter(steps));

    if (order == "bottom") {
      const std::string whole = dir / "progressive.mp4";
      ASSERT_TRUE(VendrixOk("stabilize -q --progressive " + clip + " " + whole));
      const VideoInfo p = Probe(whole);
      EXPECT_EQ(p.field_order, AV_FIELD_PROGRESSIVE);
      EXPECT_EQ(p.top_first_frames + p.bottom_first_frames, 0);
      // One correction per frame leaves the fields' difference within a frame (measured 0.36 px).
      EXPECT_GT(Jitter(InterleavedMotion(whole, false)), 1.5 * interleaved);
    }
  }
}

}  // namespace
}  // namespace vendrix::testing
