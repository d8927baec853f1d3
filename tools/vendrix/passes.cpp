#include "passes.h"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>

#include <fmt/format.h>

#include "cli_error.h"
#include "library_image.h"
#include "video_input.h"

namespace vendrix::cli {

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

struct PathDelete {
  void operator()(GlobalMotionPath* p) const { DeleteGlobalMotionPath(p); }
};

void CheckSameSize(const AVFrame& frame, int width, int height, const std::string& in) {
  if (frame.width != width || frame.height != height)
    throw CliError(fmt::format("{}: the picture size changes from {}x{} to {}x{} mid-stream, which is not supported", in,
                               width, height, frame.width, frame.height));
}

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  return std::filesystem::equivalent(a, b, ec) && !ec;
}

}  // namespace

Motion AnalyseClip(const std::string& in, const PathSettings& settings, Progress& progress, Timings& timings) {
  VideoInput input(in);
  input.set_warning_sink([&](const std::string& m) { progress.Warn(m); });
  const int64_t packets = input.CountPackets();
  if (packets <= 0) throw CliError(fmt::format("{}: the video stream has no frames", in));
  if (packets > INT32_MAX / 2) throw CliError(fmt::format("{}: too many frames ({})", in, packets));

  Motion motion;
  motion.settings = settings;
  std::unique_ptr<GlobalMotionPath, PathDelete> path(NewGlobalMotionPath(0, uint32_t(packets), 0));
  if (!path) throw CliError("out of memory");

  FrameConverter converter;
  FramePtr frame = NewFrame();
  int64_t scanned = 0;
  progress.Start("analyse", packets);
  const auto start = Clock::now();
  while (input.NextFrame(frame.get())) {
    if (scanned == 0) {
      motion.video_width = frame->width;
      motion.video_height = frame->height;
    }
    CheckSameSize(*frame, motion.video_width, motion.video_height, in);
    // A decoder may produce more frames than the file has packets; the extra ones reuse the last
    // correction when rendered.
    if (scanned < packets) {
      ScanInput scan{};
      int pitch = 0;
      scan.tag = VENDRIX_SCAN_INPUT_TAG;
      scan.format = VENDRIX_PIXFMT_YUV420P;  // the analyser reads the luma plane only
      scan.width = frame->width;
      scan.height = frame->height;
      scan.buffer = const_cast<uint8_t*>(converter.Luma(*frame, pitch));
      scan.pitch = pitch;
      scan.aspectFactor = 1.0f;
      scan.settings = settings;
      ScanMapB(path.get(), uint32_t(scanned), &scan);
    }
    ++scanned;
    progress.Update(scanned);
  }
  progress.End();
  if (scanned == 0) throw CliError(fmt::format("{}: no video frame could be decoded", in));
  timings.decode += input.decode_seconds();
  timings.analysis += Since(start) - input.decode_seconds();
  timings.frames = scanned;

  // Settling the analyser's last frames happens inside the finish call and is counted there. The
  // block matcher hands its last jobs' results to the path only when the analysis is settled with the
  // keep flag; a release drops them, so settle first, then finish and release.
  const auto finish_start = Clock::now();
  const FinishRequest settle{VENDRIX_FINISH_REQUEST_TAG, VENDRIX_FINISH_SETTLE_ONLY, 0, 0, VENDRIX_FINISH_KEEP_ANALYSIS};
  FinishPath(path.get(), &settle);
  FinishPathB(path.get(), 0, &settings);
  motion.frames = packets;
  const int64_t size = SizeOfMotionCompArrayBPath(path.get());
  motion.comp.assign(size_t(size / 4), 0u);
  motion.comp[0] = VENDRIX_COMP_B_TAG;
  if (size != VENDRIX_COMP_B_SIZE(packets) || CopyMotionCompArrayBPath(path.get(), motion.comp.data(), int32_t(size)) != 1)
    throw CliError("the library refused to produce the compensation array");
  timings.finishing += Since(finish_start);
  ComputeCameraPaths(path.get(), motion);
  return motion;
}

void RenderClip(const std::string& in, const Motion& motion, const PathSettings& render_settings, const std::string& out,
                const EncoderOptions& encoder, Progress& progress, Timings& timings) {
  if (SameFile(in, out)) throw CliError(fmt::format("{}: the output would overwrite the input", out));
  VideoInput input(in);
  VideoOutput output(out, SpecOf(input), encoder, &input);
  for (const std::string& d : output.dropped())
    progress.Warn(fmt::format("{} cannot be stored in {}; left out", d, out));

  // The definition reads the framing from the settings copy inside the array.
  std::vector<uint32_t> comp = motion.comp;
  std::memcpy(reinterpret_cast<uint8_t*>(comp.data()) + VENDRIX_COMP_OFFSET_SETTINGS, &render_settings,
              sizeof render_settings);

  FrameConverter converter;
  FramePtr frame = NewFrame();
  std::unique_ptr<LibraryImage> source, target;
  const int width = motion.video_width, height = motion.video_height;
  int64_t index = 0;
  double render_seconds = 0;
  progress.Start("render", motion.frames);
  auto copy_other = [&](AVPacket* packet) { output.CopyPacket(packet); };
  while (input.NextFrame(frame.get(), copy_other)) {
    CheckSameSize(*frame, width, height, in);
    const auto start = Clock::now();
    if (!source) {
      const RenderLayout layout = ChooseRenderLayout(static_cast<AVPixelFormat>(frame->format));
      source = std::make_unique<LibraryImage>(layout, width, height);
      target = std::make_unique<LibraryImage>(layout, width, height);
    }
    converter.ToLibrary(*frame, *source);
    TexMapDefA def{};
    def.version = VENDRIX_TEXMAP_A_VERSION;
    def.pixelFormat = source->code();
    def.srcRect = {0, 0, width * VENDRIX_FX_ONE, height * VENDRIX_FX_ONE};
    def.srcPitch = source->pitch();
    def.srcRows = height;
    def.srcBuffer = source->data();
    def.outRect = {0, 0, width * VENDRIX_FX_ONE, height * VENDRIX_FX_ONE};
    def.outPitch = target->pitch();
    def.outRows = height;
    def.outBuffer = target->data();
    DefTexMapA(&def, comp.data(), 0, int32_t(std::min<int64_t>(index, motion.frames - 1)), 0, width, height);
    TexMap(&def);
    AVFrame* encoded = output.WritableFrame();
    converter.FromLibrary(*target, *encoded);
    encoded->pts = frame->best_effort_timestamp;
    encoded->pkt_duration = frame->pkt_duration;
    render_seconds += Since(start);
    output.WriteFrame(encoded);
    ++index;
    progress.Update(index);
  }
  if (index == 0) throw CliError(fmt::format("{}: no video frame could be decoded", in));
  output.Finish();
  progress.End();
  timings.decode += input.decode_seconds();
  timings.render += render_seconds;
  timings.encode += output.encode_seconds();
  timings.frames = index;
}

}  // namespace vendrix::cli
