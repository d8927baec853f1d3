#include "passes.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>

#include <fmt/format.h>

#include "band_mesh.h"
#include "cli_error.h"
#include "decode_ahead.h"
#include "encode_behind.h"
#include "frame_pipeline.h"
#include "pan_follow.h"
#include "video_input.h"

namespace vendrix::cli {

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

struct PathDelete {
  void operator()(GlobalMotionPath* p) const { DeleteGlobalMotionPath(p); }
};

}  // namespace

Motion AnalyseClip(const std::string& in, const PathSettings& settings, Progress& progress, Timings& timings,
                   const AnalysisChoices& choices) {
  VideoInput input(in);
  input.set_warning_sink([&](const std::string& m) { progress.Warn(m); });
  const int64_t packets = input.CountPackets();
  if (packets <= 0) throw CliError(fmt::format("{}: the video stream has no frames", in));
  if (packets > INT32_MAX / 4) throw CliError(fmt::format("{}: too many frames ({})", in, packets));

  // Made at the first frame, which tells whether the video is interlaced.
  std::unique_ptr<GlobalMotionPath, PathDelete> path;
  int32_t width = 0, height = 0;
  FieldOrder field_order = FieldOrder::kProgressive;

  FrameConverter converter;
  FramePtr frame = NewFrame();
  int64_t scanned = 0;
  progress.Start("analyse", packets);
  const auto start = Clock::now();
  while (input.NextFrame(frame.get())) {
    if (scanned == 0) {
      width = frame->width;
      height = frame->height;
      if (!choices.as_progressive) field_order = DetectFieldOrder(*frame, *input.stream()->codecpar);
      const bool fields = IsInterlaced(field_order);
      path.reset(NewGlobalMotionPath(0, uint32_t(packets), fields ? VENDRIX_PATH_INTERLACED : 0));
      if (!path) throw CliError("out of memory");
      if (fields)
        progress.Note(fmt::format("vendrix: {} is interlaced ({}); analysing its fields", in,
                                  FieldOrderName(field_order)));
    }
    CheckSameSize(*frame, width, height, in);
    // A decoder may produce more frames than the file has packets; the extra ones reuse the last
    // correction when rendered.
    if (scanned < packets) {
      ScanInput scan{};
      int pitch = 0;
      scan.tag = VENDRIX_SCAN_INPUT_TAG;
      scan.format = VENDRIX_PIXFMT_YUV420P;  // the analyser reads the luma plane only
      // Interlaced: the whole frame is handed over and the path analyses its two fields as two entries.
      scan.fieldMode = ScanFieldMode(field_order);
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

  // Settling the analyser's last frames happens inside the finish and is counted there.
  const auto finish_start = Clock::now();
  Motion motion = FinishMotion(path.get(), settings, width, height, packets, field_order, choices.follow_pans);
  timings.finishing += Since(finish_start);
  // A frame the analysis cannot measure keeps its shake. When that is most of the clip the output looks
  // like the input, so say why: a featureless or dark picture, or a profile whose own corner detector
  // finds too few corners on soft footage (with profiles 35, 36 and 39 no frame of the quality bench's
  // handheld clip is measured; the default road tracks Harris corners).
  // The first entry has no motion to measure and always counts as measured.
  const int64_t steps = int64_t(motion.measured.size()) - 1;
  const int64_t missed = std::count(motion.measured.begin(), motion.measured.end(), uint8_t{0});
  if (steps >= 10 && 2 * missed > steps)
    progress.Warn(fmt::format("the motion of {} of {} {} could not be measured; they keep their shake (too little "
                              "detail in the picture, or try the default profile)",
                              missed, steps, IsInterlaced(motion.field_order) ? "fields" : "frames"));
  return motion;
}

Motion FinishMotion(GlobalMotionPath* path, const PathSettings& settings, int32_t width, int32_t height, int64_t frames,
                    FieldOrder field_order, bool follow_pans) {
  // The block matcher hands its last jobs' results to the path only when the analysis is settled with the
  // keep flag; a release drops them, so settle first, then finish and release.
  const FinishRequest settle{VENDRIX_FINISH_REQUEST_TAG, VENDRIX_FINISH_SETTLE_ONLY, 0, 0, VENDRIX_FINISH_KEEP_ANALYSIS};
  FinishPath(path, &settle);
  FinishPathB(path, 0, &settings);
  Motion motion;
  motion.video_width = width;
  motion.video_height = height;
  motion.settings = settings;
  motion.frames = frames;
  motion.field_order = field_order;
  const int64_t size = SizeOfMotionCompArrayBPath(path);
  motion.comp.assign(size_t(size / 4), 0u);
  motion.comp[0] = VENDRIX_COMP_B_TAG;
  if (size != VENDRIX_COMP_B_SIZE(motion.entries()) || CopyMotionCompArrayBPath(path, motion.comp.data(), int32_t(size)) != 1)
    throw CliError("the library refused to produce the compensation array");
  motion.bands = BandPairs(path, motion.entries());
  ComputeCameraPaths(path, motion);
  if (follow_pans) FollowPans(motion);
  return motion;
}

void RenderClip(const std::string& in, const Motion& motion, const std::vector<uint32_t>& comp, const std::string& out,
                const EncoderOptions& encoder, Progress& progress, Timings& timings) {
  VideoInput input(in);
  const std::unique_ptr<VideoOutput> output = OpenOutput(input, out, encoder, progress, motion.field_order);

  FramePtr frame = NewFrame();
  const int width = motion.video_width, height = motion.video_height;
  FrameRenderer renderer(width, height, motion.field_order);
  int64_t index = 0;
  double render_seconds = 0;
  progress.Start("render", motion.frames);
  // Decoding the next frames and encoding the previous ones on threads of their own overlaps them
  // with the render. The writer was opened above: from here on only the decoder thread reads the
  // input and only the encoder thread writes the output.
  EncodeBehind writer(*output);
  auto copy_other = [&](AVPacket* packet) { writer.Packet(packet); };
  DecodeAhead decoded(input);
  while (decoded.NextFrame(frame.get(), copy_other)) {
    CheckSameSize(*frame, width, height, in);
    const auto start = Clock::now();
    const int32_t record = int32_t(std::min<int64_t>(index, motion.frames - 1));
    AVFrame* encoded = renderer.Render(*frame, *output, [&](TexMapDefA& def, int field, BandRows& bands) {
      DefTexMapA(&def, comp.data(), 0, record, field, width, height);
      bands = BandRowsOf(motion.bands, comp, IsInterlaced(motion.field_order) ? 2 * int64_t(record) + field : record);
      return true;
    });
    render_seconds += Since(start);
    writer.Frame(*encoded);
    ++index;
    progress.Update(index);
  }
  if (index == 0) throw CliError(fmt::format("{}: no video frame could be decoded", in));
  writer.Finish();
  output->Finish();
  progress.End();
  timings.decode += input.decode_seconds();
  timings.render += render_seconds;
  timings.encode += output->encode_seconds();
  timings.frames = index;
}

nlohmann::json StatsRecord(const Timings& t, const StreamFigures* stream) {
  nlohmann::json j = {{"frames", t.frames},         {"decode_s", t.decode}, {"analysis_s", t.analysis},
                      {"finishing_s", t.finishing}, {"render_s", t.render}, {"encode_s", t.encode}};
  if (stream) {
    j["look_ahead"] = stream->look_ahead;
    j["delay_frames"] = stream->delay_frames;
    j["delay_s"] = stream->delay;
    j["worst_frame_s"] = stream->worst_frame;
    j["reused_definitions"] = stream->reused;
  }
  return j;
}

}  // namespace vendrix::cli
