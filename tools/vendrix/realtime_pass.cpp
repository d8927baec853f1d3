#include "realtime_pass.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <memory>
#include <optional>

#include <fmt/format.h>

#include "cli_error.h"
#include "frame_pipeline.h"
#include "video_input.h"

namespace vendrix::cli {

// Path geometry (realtime_window.h): margin 50 and look-ahead 50 (a delay of 99 frames, 3.3 s at 30 frames/s). Measured on a 1500-frame
// 480x270 `vendrix shake --seed 7` clip, jitter of the output tracked with OpenCV (input 3.95 px,
// offline road 0.09 px): look-ahead 50 / margin 50 gave 0.26 and 0.29 px in two runs, no step over
// 1.5 px at the window slide; margin 10 gave 0.35 px and a 5.2 px step at the slide; the library's
// own 20 / 10 (window 1000) gave 0.45 px with steps up to 6 px. Look-ahead 20 or 30 with margin 50 measured 0.27 and
// 0.21 px in single runs, within the run-to-run spread, so the longer look-ahead is kept.

namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

struct HeldFrame {
  FramePtr frame;
  int64_t index;
};

// One run: the path, the frames it holds and the figures of the run.
class StreamRun {
 public:
  StreamRun(VideoInput& input, VideoOutput& output, Progress& progress, Timings& timings, StreamFigures& figures)
      : input_(input), output_(output), progress_(progress), timings_(timings), figures_(figures) {}

  void Configure(const PathSettings& settings, int look_ahead) {
    path_ = NewRealtimePath(settings, look_ahead);
    figures_.look_ahead = look_ahead;
  }

  // Scans the frame just decoded, holds it, and writes every held frame the path can now show steady.
  void Arrive(AVFrame* decoded) {
    if (!renderer_) {
      width_ = decoded->width;
      height_ = decoded->height;
      renderer_.emplace(width_, height_);
    }
    CheckSameSize(*decoded, width_, height_, input_.name());
    const auto start = Clock::now();
    const double encode_before = output_.encode_seconds();
    held_.push_back({NewFrame(), next_});
    av_frame_move_ref(held_.back().frame.get(), decoded);
    ++arrived_;
    Scan(*held_.back().frame);
    while (ShowOldest(true)) {
    }
    Step(start, encode_before);
  }

  // At the end of the input the held frames still wait for frames that will never come. The last
  // frame is handed to the scanner again as still frames (never written) until each held frame has
  // the look-ahead of any other, so the last frames are analysed and smoothed as the rest are instead
  // of keeping the correction of the last frame whose analysis happened to be complete.
  void Drain() {
    while (!held_.empty()) {
      const auto start = Clock::now();
      const double encode_before = output_.encode_seconds();
      // A repeat the scanner refuses cannot bring the requirement closer: the frame is written as is.
      if (!ShowOldest(true) && !Scan(*held_.back().frame)) ShowOldest(false);
      Step(start, encode_before);
    }
  }

  int64_t arrived() const { return arrived_; }
  int64_t written() const { return written_; }

 private:
  // Hands `picture` to the scanner as stream frame next_. A full window refuses a frame until a
  // definition slides it: the oldest held frames are written, then the frame is scanned again; refused
  // with nothing older held, it goes unanalysed (false).
  bool Scan(const AVFrame& picture) {
    int pitch = 0;
    const uint8_t* luma = renderer_->Luma(picture, pitch);
    // The analyser reads the luma plane only.
    const RTFrameInput scan{VENDRIX_RT_FRAME_TAG, VENDRIX_PIXFMT_YUV420P, 0, width_, height_, pitch, 1.0f, 0, luma};
    const auto start = Clock::now();
    double showing = 0;  // seconds spent writing frames to make room, counted by ShowOldest
    const bool scanned = ScanIntoWindow(path_.get(), scan, next_++, [&] {
      if (held_.size() < 2) return false;
      const auto show_start = Clock::now();
      ShowOldest(false);
      showing += Since(show_start);
      return true;
    });
    timings_.analysis += Since(start) - showing;
    return scanned;
  }

  // Writes the oldest held frame; with `when_steady`, only once the scanner got as far as it must.
  bool ShowOldest(bool when_steady) {
    if (held_.empty()) return false;
    const int64_t f = held_.front().index;
    if (when_steady) {
      if (!Steady(path_.get(), f)) return false;
      figures_.delay_frames = std::max(figures_.delay_frames, next_ - 1 - f);
    }
    const auto start = Clock::now();
    double define_seconds = 0;
    AVFrame* encoded = renderer_->Render(*held_.front().frame, output_, [&](TexMapDefA& def, int /*field*/, BandRows& /*bands*/) {
      const auto define_start = Clock::now();
      const bool defined = definitions_.Define(path_.get(), def, f, width_, height_);
      define_seconds = Since(define_start);
      return defined;
    });
    figures_.reused = definitions_.reused;
    timings_.finishing += define_seconds;
    timings_.render += Since(start) - define_seconds;
    held_.pop_front();
    output_.WriteFrame(encoded);
    progress_.Update(++written_);
    return true;
  }

  // One frame step ends: its time without the encoder's share is a candidate for the worst.
  void Step(Clock::time_point start, double encode_before) {
    const double seconds = Since(start) - (output_.encode_seconds() - encode_before);
    figures_.worst_frame = std::max(figures_.worst_frame, seconds);
  }

  VideoInput& input_;
  VideoOutput& output_;
  Progress& progress_;
  Timings& timings_;
  StreamFigures& figures_;
  RtPathPtr path_;
  std::optional<FrameRenderer> renderer_;
  StreamDefinitions definitions_;
  std::deque<HeldFrame> held_;
  int width_ = 0, height_ = 0;
  int64_t next_ = 0;  // the stream frame number the next scan gets
  int64_t arrived_ = 0, written_ = 0;
};

}  // namespace

bool Steady(RTMotionPath* path, int64_t frame) {
  int64_t scanned = -1, needed = -1;
  RTMotionScannerRequirementsFrameRange(path, frame, &scanned, &needed, nullptr);
  return scanned >= needed;
}

bool StreamDefinitions::Define(RTMotionPath* path, TexMapDefA& def, int64_t frame, int width, int height) {
  if (RTMotionPathTexMapDef(path, &def, 0, frame, 0, width, height) >= 0) {
    last = def;
    return true;
  }
  if (!last) return false;
  ++reused;
  const TexMapDefA buffers = def;
  def = *last;
  def.srcBuffer = buffers.srcBuffer;
  def.outBuffer = buffers.outBuffer;
  return true;
}

RtPathPtr NewRealtimePath(const PathSettings& settings, int look_ahead) {
  if (look_ahead < 2 || look_ahead > 1000) throw CliError(fmt::format("--look-ahead must be 2..1000, not {}", look_ahead));
  RtPathPtr path(NewRTMotionPath());
  if (!path) throw CliError("out of memory");
  const RTPathConfig config{VENDRIX_RT_CONFIG_TAG, WindowLengthFor(look_ahead), uint32_t(kSteadyMargin), uint32_t(look_ahead), 0};
  PathSettings s = settings;
  s.OutputFlags &= ~uint32_t{VENDRIX_OUTPUT_ADAPTIVE};
  if (RTMotionPathConfigurate(path.get(), &config) != 1 || RTMotionPathSetSettings(path.get(), &s, int32_t(sizeof s)) != 1)
    throw CliError("the library refused the real-time path's configuration");
  return path;
}

StreamFigures StabilizeStream(const std::string& in, const std::string& out, const PathSettings& settings,
                              int look_ahead, const EncoderOptions& encoder, Progress& progress, Timings& timings) {
  VideoInput input(in);
  input.set_warning_sink([&](const std::string& m) { progress.Warn(m); });
  // A file's length is known from its packets (read without decoding) for the progress bar; a stream's
  // is not.
  const int64_t expected = input.seekable() ? input.CountPackets() : 0;
  const std::unique_ptr<VideoOutput> output = OpenOutput(input, out, encoder, progress);
  StreamFigures figures;
  const AVRational rate = SpecOf(input).frame_rate;
  if (rate.num > 0 && rate.den > 0) figures.frame_period = av_q2d(av_inv_q(rate));

  // Audio and the rest are copied as they are read, ahead of the held video; the muxer holds them
  // until the video of the same time is written, however long the delay.
  output->AllowLead(double(look_ahead + kSteadyMargin - 1) * figures.frame_period);

  StreamRun run(input, *output, progress, timings, figures);
  run.Configure(settings, look_ahead);
  FramePtr frame = NewFrame();
  auto copy_other = [&](AVPacket* packet) { output->CopyPacket(packet); };
  progress.Start("stabilize", expected);
  try {
    while (input.NextFrame(frame.get(), copy_other)) run.Arrive(frame.get());
    if (run.arrived() == 0) throw CliError(fmt::format("{}: no video frame could be decoded", input.name()));
    run.Drain();
    output->Finish();
  } catch (const OutputClosed& e) {
    progress.Warn(fmt::format("{} after {} frames; stopped", e.what(), run.written()));
    figures.closed = true;
  }
  progress.End();
  figures.delay = double(figures.delay_frames) * figures.frame_period;
  timings.decode += input.decode_seconds();
  timings.encode += output->encode_seconds();
  timings.frames = run.written();
  return figures;
}

}  // namespace vendrix::cli
