// vendrix: stabilises video files with libvendrix.
//
//   vendrix stabilize IN OUT          analyse, smooth and render in one go
//   vendrix stabilize --realtime IN OUT   the same in one streaming pass; IN and OUT may be "-"
//   vendrix analyze IN MOTIONFILE     analyse and smooth, keep the result
//   vendrix render IN MOTIONFILE OUT  render a kept result, with any framing
//   vendrix profiles                  the stabilisation profiles
//   vendrix shake IMAGE OUT           make a shaky test clip from a still image
//
// Errors are one line on standard error and a non-zero status (1: the run failed, 2: bad usage); no
// output file is left half written.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include <CLI/CLI.hpp>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <nlohmann/json.hpp>

#include "cli_error.h"
#include "cover_framing.h"
#include "ffmpeg_util.h"
#include "motion_file.h"
#include "passes.h"
#include "path_plot.h"
#include "profiles_table.h"
#include "realtime_pass.h"
#include "settings_options.h"
#include "shake.h"
#include "video_input.h"

namespace vendrix::cli {
namespace {

struct CommonOptions {
  bool quiet = false, verbose = false;
  std::string stats;
};

void AddAnalysisOptions(CLI::App* cmd, AnalysisOptions& a) {
  cmd->add_option("--profile", a.profile, "stabilisation profile 0..41 (see `vendrix profiles`); default: 41 with the match quality filter on")
      ->check(CLI::Range(0, VENDRIX_PROFILE_COUNT - 1));
  cmd->add_option("--smoothing", a.smoothing, "path smoothing strength 0..1 (0.4 by default; 1 holds the camera still)")
      ->check(CLI::Range(0.0, 1.0));
  cmd->add_option("--analysis-level", a.analysis_level, "motion analysis preset 0..9 (9: feature tracking)")
      ->check(CLI::Range(0, 9));
  cmd->add_flag("--no-follow-pans{false}", a.follow_pans,
                "keep the library's smoothed path as it is (it lags pans within the kernel radius of the clip's "
                "ends); by default the command fits a local line under a kernel of the same width");
  cmd->add_flag("--unskew", a.unskew,
                "also straighten the lean a rolling shutter (phones, most CMOS cameras) gives frames while "
                "the camera moves; the rows' wobble is taken out in any case (with the default profile), "
                "the lean only with this, as it changes each frame's shape");
}

void AddProgressiveOption(CLI::App* cmd, bool& progressive) {
  cmd->add_flag("--progressive", progressive,
                "treat interlaced video as whole frames: analyse and render frames, not fields, and write the "
                "output progressive (by default interlaced video is stabilised field by field and stays "
                "interlaced in its field order; --realtime always works on whole frames)");
}

void AddRenderOptions(CLI::App* cmd, RenderOptions& r, EncoderOptions& e) {
  cmd->add_option("--framing", r.framing,
                  "what fills the margins a correction opens: cover (zoom up to --max-zoom, then extend edges; "
                  "default), fit (zoom without limit), fill (black), extend (stretched edges), crop (fixed black "
                  "frame), profile (the profile's own framing)")
      ->check(CLI::IsMember(std::vector<std::string>(std::begin(kFramingNames), std::end(kFramingNames))));
  cmd->add_option("--max-zoom", r.max_zoom, "zoom limit of --framing cover, 1.1..4.0 (default 1.2)")
      ->check(CLI::Range(1.1, 4.0));
  cmd->add_option("--max-uncovered", r.max_uncovered,
                  "cover: percent of the clip's output pixels the zoom may leave to stretched edges where the "
                  "shake peaks, so that a few frames do not set the zoom of the whole clip; 0..1 (default 0.1; "
                  "0 covers every frame)")
      ->check(CLI::Range(0.0, 1.0));
  cmd->add_option("--compare", r.compare, "split view: the unwarped input in the left or top half")
      ->check(CLI::IsMember({"left", "top"}));
  cmd->add_flag("--grid", r.grid, "draw a 6 x 6 guide grid");
  cmd->add_option("--codec", e.codec, "video encoder (default libx264, or the container's own)");
  cmd->add_option("--crf", e.crf, "encoder quality, lower is better (default 18)")->check(CLI::Range(0, 63));
  cmd->add_option("--preset", e.preset, "encoder speed preset (default medium)");
  cmd->add_option("--format", e.format,
                  "container format, when OUT's name does not say (e.g. matroska); `--format null` writes nothing "
                  "and times the rest");
}

void AddCommonOptions(CLI::App* cmd, CommonOptions& c, bool stats) {
  cmd->add_flag("-q,--quiet", c.quiet, "no progress or summary");
  cmd->add_flag("--verbose", c.verbose, "also show FFmpeg's own messages");
  if (stats) cmd->add_option("--stats", c.stats, "write the time each stage took to this JSON file");
}

void WriteStats(const std::string& path, const Timings& t, const StreamFigures* stream = nullptr) {
  if (path.empty()) return;
  std::ofstream f(path, std::ios::trunc);
  f << StatsRecord(t, stream).dump(1) << "\n";
  if (!f) throw CliError(fmt::format("cannot write {}", path));
}

void Summary(Progress& progress, const std::string& what, const Timings& t) {
  progress.Note(fmt::format("vendrix: {} ({} frames; decode {:.2f} s, analysis {:.2f} s, finishing {:.2f} s, render "
                            "{:.2f} s, encode {:.2f} s)",
                            what, t.frames, t.decode, t.analysis, t.finishing, t.render, t.encode));
}

std::string StreamSummary(const StreamFigures& f) {
  std::string s = fmt::format("delay {} frames", f.delay_frames);
  if (f.frame_period > 0) s += fmt::format(" ({:.2f} s)", f.delay);
  s += fmt::format(", worst frame {:.1f} ms", 1000 * f.worst_frame);
  if (f.frame_period > 0) s += fmt::format(" of {:.1f} ms per frame", 1000 * f.frame_period);
  return s;
}

void CheckMotionMatches(const Motion& m, const std::string& motion_path, const std::string& in) {
  VideoInput input(in);
  const AVCodecParameters* par = input.stream()->codecpar;
  if (par->width != m.video_width || par->height != m.video_height)
    throw CliError(fmt::format("{} was made for a {}x{} video; {} is {}x{}", motion_path, m.video_width, m.video_height,
                               in, par->width, par->height));
  const int64_t frames = input.CountPackets();
  if (frames != m.frames)
    throw CliError(fmt::format("{} was made for a clip of {} frames; {} has {}", motion_path, m.frames, in, frames));
}

int Run(int argc, char** argv) {
  CLI::App app{"vendrix: video stabilisation with libvendrix"};
  app.require_subcommand(1);
  app.set_version_flag("--version", fmt::format("vendrix {}.{}.{}.{}", VENDRIX_VERSION_MAJOR(VendrixVersion()),
                                                VENDRIX_VERSION_MINOR(VendrixVersion()),
                                                VENDRIX_VERSION_BUILD(VendrixVersion()),
                                                VENDRIX_VERSION_REVISION(VendrixVersion())));

  std::string in, out, motion_path, image, plot, save_motion, size = "640x360";
  bool realtime = false, progressive = false;
  std::string field_order = "top";
  int look_ahead = kDefaultLookAhead;
  AnalysisOptions analysis;
  RenderOptions render;
  EncoderOptions encoder;
  CommonOptions common;
  ShakeOptions shake;

  CLI::App* stabilize = app.add_subcommand("stabilize", "analyse, smooth and render a video file");
  stabilize->add_option("IN", in, "input video; - reads standard input (with --realtime)")->required();
  stabilize->add_option("OUT", out, "stabilised video to write; - writes standard output (with --format)")->required();
  AddAnalysisOptions(stabilize, analysis);
  AddProgressiveOption(stabilize, progressive);
  AddRenderOptions(stabilize, render, encoder);
  CLI::Option* realtime_flag =
      stabilize->add_flag("--realtime", realtime,
                          "one streaming pass: each frame is written once the frames after it that its correction "
                          "needs have arrived (a fixed delay), with flat memory; for live sources and long inputs");
  stabilize
      ->add_option("--look-ahead", look_ahead,
                   fmt::format("frames of look-ahead of --realtime, 2..1000 (default {}); the delay is this plus {}",
                               kDefaultLookAhead, kSteadyMargin - 1))
      ->check(CLI::Range(2, 1000))
      ->needs(realtime_flag);
  stabilize->add_option("--plot", plot, "write the camera path before and after smoothing as SVG")->excludes(realtime_flag);
  stabilize->add_option("--save-motion", save_motion, "also keep the motion file for `vendrix render`")
      ->excludes(realtime_flag);
  AddCommonOptions(stabilize, common, true);

  CLI::App* analyze = app.add_subcommand("analyze", "analyse and smooth a video file, save the motion");
  analyze->add_option("IN", in, "input video")->required();
  analyze->add_option("MOTIONFILE", motion_path, "motion file to write")->required();
  AddAnalysisOptions(analyze, analysis);
  AddProgressiveOption(analyze, progressive);
  analyze->add_option("--plot", plot, "write the camera path before and after smoothing as SVG");
  AddCommonOptions(analyze, common, true);

  CLI::App* render_cmd = app.add_subcommand("render", "render a video file through a saved motion file");
  render_cmd->add_option("IN", in, "input video (the one that was analysed)")->required();
  render_cmd->add_option("MOTIONFILE", motion_path, "motion file from `vendrix analyze`")->required();
  render_cmd->add_option("OUT", out, "stabilised video to write")->required();
  AddRenderOptions(render_cmd, render, encoder);
  render_cmd->add_option("--plot", plot, "write the saved camera path before and after smoothing as SVG");
  AddCommonOptions(render_cmd, common, true);

  CLI::App* profiles = app.add_subcommand("profiles", "list the stabilisation profiles");

  CLI::App* shake_cmd = app.add_subcommand("shake", "make a shaky test clip (and its true motion) from a still image");
  shake_cmd->add_option("IMAGE", image, "still image (PNG, JPEG, ...)")->required();
  shake_cmd->add_option("OUT", out, "clip to write; the true motion goes beside it as .json")->required();
  shake_cmd->add_option("--preset", shake.preset, ShakePresetHelp())->check(CLI::IsMember(ShakePresetNames()));
  shake_cmd->add_flag("--objects", shake.objects,
                      "also large objects crossing the view and swaying texture (as in the static preset)");
  shake_cmd->add_option("--frames", shake.frames, "number of frames (default 150)")->check(CLI::Range(2, 100000));
  shake_cmd->add_option("--size", size, "frame size WxH (default 640x360)");
  shake_cmd->add_option("--fps", shake.fps, "frame rate (default 30)")->check(CLI::Range(1.0, 240.0));
  shake_cmd->add_option("--seed", shake.seed, "random seed (default 1)");
  CLI::Option* interlaced_flag = shake_cmd->add_flag(
      "--interlaced", shake.interlaced,
      "interlaced clip: each field is filmed half a frame after the other, with its own camera pose");
  shake_cmd
      ->add_option("--field-order", field_order, "which field of --interlaced comes first: top (default) or bottom")
      ->check(CLI::IsMember({"top", "bottom"}))
      ->needs(interlaced_flag);
  shake_cmd->add_option("--crf", encoder.crf, "encoder quality (default 18)")->check(CLI::Range(0, 63));
  AddCommonOptions(shake_cmd, common, false);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    fmt::print(stderr, "vendrix: error: {} (see vendrix --help)\n", e.what());
    return 2;
  }

  SetFfmpegLogging(common.verbose);
  InstallInterruptHandler();
  Progress progress(common.quiet);
  Timings timings;
  // `look` carries the framing the clip is (or by default would be) rendered with.
  auto plot_if_asked = [&](const Motion& motion, const std::vector<uint32_t>& framed) {
    if (!plot.empty()) WritePathPlot(plot, motion, FramingZoom(motion, framed), fmt::format("{}: camera path", in));
  };

  if (profiles->parsed()) {
    PrintProfiles(stdout);
  } else if (stabilize->parsed() && realtime) {
    const PathSettings look = RenderSettings(AnalysisSettings(analysis), render);
    const StreamFigures figures = StabilizeStream(in, out, look, look_ahead, encoder, progress, timings);
    WriteStats(common.stats, timings, &figures);
    Summary(progress, fmt::format("wrote {}; {}", IsStandardStream(out) ? "standard output" : out, StreamSummary(figures)),
            timings);
  } else if (stabilize->parsed()) {
    const PathSettings settings = AnalysisSettings(analysis);
    const PathSettings look = RenderSettings(settings, render);
    const double budget = UncoveredBudget(render);
    const Motion motion = AnalyseClip(in, settings, progress, timings, {analysis.follow_pans, progressive});
    if (!save_motion.empty()) SaveMotion(save_motion, motion);
    const std::vector<uint32_t> framed = FramedArray(motion, look, budget);
    plot_if_asked(motion, framed);
    RenderClip(in, motion, framed, out, encoder, progress, timings);
    WriteStats(common.stats, timings);
    Summary(progress, fmt::format("wrote {}", out), timings);
  } else if (analyze->parsed()) {
    const PathSettings settings = AnalysisSettings(analysis);
    const Motion motion = AnalyseClip(in, settings, progress, timings, {analysis.follow_pans, progressive});
    SaveMotion(motion_path, motion);
    // As `render` draws it by default.
    plot_if_asked(motion, FramedArray(motion, RenderSettings(settings, {}), UncoveredBudget({})));
    WriteStats(common.stats, timings);
    Summary(progress, fmt::format("wrote {}", motion_path), timings);
  } else if (render_cmd->parsed()) {
    const Motion motion = LoadMotion(motion_path);
    CheckMotionMatches(motion, motion_path, in);
    const std::vector<uint32_t> framed =
        FramedArray(motion, RenderSettings(motion.settings, render), UncoveredBudget(render));
    plot_if_asked(motion, framed);
    RenderClip(in, motion, framed, out, encoder, progress, timings);
    WriteStats(common.stats, timings);
    Summary(progress, fmt::format("wrote {}", out), timings);
  } else if (shake_cmd->parsed()) {
    int w = 0, h = 0;
    char tail = 0;
    if (std::sscanf(size.c_str(), "%dx%d%c", &w, &h, &tail) != 2)
      throw CliError(fmt::format("--size must look like 1280x720, not '{}'", size));
    shake.width = w;
    shake.height = h;
    shake.bottom_first = field_order == "bottom";
    const std::vector<std::string> written = MakeShakyClip(image, out, shake, encoder, progress);
    progress.Note(fmt::format("vendrix: wrote {}", fmt::join(written, ", ")));
  }
  return 0;
}

}  // namespace
}  // namespace vendrix::cli

int main(int argc, char** argv) {
  try {
    return vendrix::cli::Run(argc, argv);
  } catch (const vendrix::cli::OutputClosed& e) {
    // The program reading the stream stopped (a player was closed): the run ends here, not in error.
    std::fprintf(stderr, "vendrix: %s; stopped\n", e.what());
    return 0;
  } catch (const vendrix::cli::CliError& e) {
    std::fprintf(stderr, "vendrix: error: %s\n", e.what());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vendrix: error: %s\n", e.what());
  }
  return 1;
}
