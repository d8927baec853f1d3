#include "stream_window.h"

#include <algorithm>
#include <cstdlib>

#include "realtime_window.h"

namespace vendrix::gst {

namespace {

// The window geometry of the vendrix command's real-time road, where it was measured.
using cli::kSteadyMargin;
using cli::WindowLengthFor;

// A mapped video frame that unmaps itself.
class MappedFrame {
 public:
  MappedFrame(const GstVideoInfo& info, GstBuffer* buffer, GstMapFlags flags) {
    GstVideoInfo copy = info;  // the map call wants a mutable info it only reads
    mapped_ = gst_video_frame_map(&frame_, &copy, buffer, flags);
  }
  ~MappedFrame() {
    if (mapped_) gst_video_frame_unmap(&frame_);
  }
  MappedFrame(const MappedFrame&) = delete;
  MappedFrame& operator=(const MappedFrame&) = delete;
  explicit operator bool() const { return mapped_; }
  GstVideoFrame& frame() { return frame_; }

 private:
  GstVideoFrame frame_{};
  bool mapped_ = false;
};

}  // namespace

int StreamWindow::DelayFor(int look_ahead) { return look_ahead + kSteadyMargin - 1; }

StreamWindow::StreamWindow(const GstVideoInfo& info, int look_ahead, NewOutput new_output)
    : info_(info),
      look_ahead_(look_ahead),
      new_output_(std::move(new_output)),
      layout_(info),
      fields_(GST_VIDEO_INFO_IS_INTERLACED(&info)) {}

StreamWindow::~StreamWindow() {
  for (const Held& h : held_) gst_buffer_unref(h.buffer);
  for (GstBuffer* b : drawn_) gst_buffer_unref(b);
  DeleteRTMotionPath(path_);
}

bool StreamWindow::Start(const PathSettings& settings) {
  path_ = NewRTMotionPath();
  if (!path_) {
    error_ = "the library could not create a real-time path (out of memory)";
    return false;
  }
  const RTPathConfig config{VENDRIX_RT_CONFIG_TAG, WindowLengthFor(look_ahead_), uint32_t(kSteadyMargin),
                            uint32_t(look_ahead_), fields_ ? 1u : 0u};
  if (RTMotionPathConfigurate(path_, &config) != 1 || RTMotionPathSetSettings(path_, &settings, int32_t(sizeof settings)) != 1) {
    error_ = "the library refused the real-time path's configuration";
    return false;
  }
  return true;
}

void StreamWindow::ChangeSettings(const PathSettings& settings) {
  RTMotionPathSetSettings(path_, &settings, int32_t(sizeof settings));
}

bool StreamWindow::Arrive(GstBuffer* buffer) {
  held_.push_back({buffer, next_});
  if (!Scan(buffer) && !error_.empty()) return false;
  while (ShowOldest(true)) {
  }
  return error_.empty();
}

bool StreamWindow::Drain() {
  // The last held frames still wait for frames that will never come. The last frame is scanned again
  // as still frames (never shown) until each held frame has its look-ahead, so the last frames are
  // smoothed as the rest are; a repeat the path refuses cannot help, and the oldest frame is shown
  // with the analysis there is.
  while (!held_.empty() && error_.empty()) {
    if (!ShowOldest(true) && error_.empty() && !Scan(held_.back().buffer)) ShowOldest(false);
  }
  return error_.empty();
}

GstBuffer* StreamWindow::TakeDrawn() {
  if (drawn_.empty()) return nullptr;
  GstBuffer* b = drawn_.front();
  drawn_.pop_front();
  return b;
}

// The caps' field order where they give one, else the frame's own flag.
bool StreamWindow::TopFirst(GstBuffer* buffer) const {
  switch (GST_VIDEO_INFO_FIELD_ORDER(&info_)) {
    case GST_VIDEO_FIELD_ORDER_TOP_FIELD_FIRST: return true;
    case GST_VIDEO_FIELD_ORDER_BOTTOM_FIELD_FIRST: return false;
    default: return GST_BUFFER_FLAG_IS_SET(buffer, GST_VIDEO_BUFFER_FLAG_TFF);
  }
}

uint32_t StreamWindow::AnalysisFieldMode(GstBuffer* buffer) const {
  if (!fields_) return 0;
  // The path's first entry of a frame is the field named here, the second the other one.
  return VENDRIX_FIELD_IN_FRAME | (TopFirst(buffer) ? VENDRIX_FIELD_FIRST : VENDRIX_FIELD_SECOND);
}

// Hands `buffer` to the scanner as stream frame next_. A full window refuses a frame until a
// definition slides it: the oldest held frames are shown, then the frame is scanned again; refused
// with nothing older held, it goes unanalysed (false).
bool StreamWindow::Scan(GstBuffer* buffer) {
  MappedFrame mapped(info_, buffer, GST_MAP_READ);
  if (!mapped) {
    error_ = "could not map an input frame";
    return false;
  }
  const LibraryImage luma = layout_.Analysis(mapped.frame());
  const float aspect = float(GST_VIDEO_INFO_PAR_N(&info_)) / float(std::max(1, GST_VIDEO_INFO_PAR_D(&info_)));
  const RTFrameInput scan{VENDRIX_RT_FRAME_TAG, luma.code, AnalysisFieldMode(buffer), GST_VIDEO_INFO_WIDTH(&info_),
                          GST_VIDEO_INFO_HEIGHT(&info_), luma.pitch, aspect, 0, luma.data};
  int32_t status = -1;
  for (;;) {
    status = RTMotionPathScanMap(path_, &scan, next_);
    if (status == 0 || held_.size() < 2 || !ShowOldest(false)) break;
  }
  ++next_;
  return status == 0;
}

// Shows the oldest held frame; with `when_steady`, only once the scanner got as far as it must.
bool StreamWindow::ShowOldest(bool when_steady) {
  if (held_.empty()) return false;
  const int64_t f = held_.front().index;
  if (when_steady) {
    int64_t scanned = -1, needed = -1;
    RTMotionScannerRequirementsFrameRange(path_, f, &scanned, &needed, nullptr);
    if (scanned < needed) return false;
  }
  GstBuffer* in = held_.front().buffer;
  GstBuffer* out = new_output_();
  if (!out) {
    error_ = "no output buffer could be allocated";
    return false;
  }
  bool drawn = false;
  {
    MappedFrame source(info_, in, GST_MAP_READ), target(info_, out, GST_MAP_WRITE);
    if (source && target) drawn = Draw(source.frame(), target.frame(), f, TopFirst(in));
  }
  if (!drawn) {
    gst_buffer_unref(out);
    error_ = "could not map a frame for drawing";
    return false;
  }
  gst_buffer_copy_into(out, in, GstBufferCopyFlags(GST_BUFFER_COPY_FLAGS | GST_BUFFER_COPY_TIMESTAMPS), 0, -1);
  gst_buffer_unref(in);
  held_.pop_front();
  drawn_.push_back(out);
  return true;
}

bool StreamWindow::Completed(int64_t frame) {
  int64_t first = -1, last = -1;
  RTMotionScannerCompletedFrameRange(path_, &first, &last);
  return first >= 0 && frame >= first && frame <= last;
}

TexMapDefA StreamWindow::Definition(const LibraryImage& source, const LibraryImage& target, uint32_t field,
                                    bool top_first) const {
  const int32_t w = GST_VIDEO_INFO_WIDTH(&info_), h = GST_VIDEO_INFO_HEIGHT(&info_);
  const VendrixFxRect whole{0, 0, w * VENDRIX_FX_ONE, h * VENDRIX_FX_ONE};
  TexMapDefA def{};
  def.version = VENDRIX_TEXMAP_A_VERSION;
  def.pixelFormat = source.code;
  if (fields_) {
    // Field 0 is the earlier one: the top rows when the top field comes first.
    const bool bottom = (field == 0) != top_first;
    def.fieldFlags = VENDRIX_TEXFIELD_FIELDS | (bottom ? VENDRIX_TEXFIELD_SECOND : 0u);
  }
  def.srcRect = whole;
  def.srcPitch = source.pitch;
  def.srcRows = h;
  def.srcBuffer = source.data;
  def.outRect = whole;
  def.outPitch = target.pitch;
  def.outRows = h;
  def.outBuffer = target.data;
  return def;
}

// Draws held frame `frame` from `in` into `out`, field by field for interlaced video. Definitions are
// asked for only inside the completed range, where the path never waits for analysis; outside it (a
// frame the path refuses, or the last frames of a drain) the previous correction is the closest there
// is, and before the first correction the frame is shown as it came.
bool StreamWindow::Draw(const GstVideoFrame& in, GstVideoFrame& out, int64_t frame, bool top_first) {
  const uint32_t fields = fields_ ? 2 : 1;
  const int32_t w = GST_VIDEO_INFO_WIDTH(&info_), h = GST_VIDEO_INFO_HEIGHT(&info_);
  const bool completed = Completed(frame);
  const LibraryImage source = layout_.Source(in), target = layout_.Target(out);
  TexMapDefA defs[2];
  bool fresh[2] = {false, false};
  for (uint32_t field = 0; field < fields; ++field) {
    defs[field] = Definition(source, target, field, top_first);
    fresh[field] = completed && RTMotionPathTexMapDef(path_, &defs[field], 0, frame, field, w, h) >= 0;
    if (!fresh[field] && !last_[field]) return gst_video_frame_copy(&out, &in);
  }
  for (uint32_t field = 0; field < fields; ++field) {
    TexMapDefA& def = defs[field];
    if (fresh[field]) {
      last_[field] = def;
    } else {
      def.mapFlags = last_[field]->mapFlags;
      def.visibleRect = last_[field]->visibleRect;
      for (int k = 0; k < VENDRIX_CORNER_COUNT; ++k) def.cornerShift[k] = last_[field]->cornerShift[k];
      ++reused_;
    }
    TexMap(&def);
  }
  layout_.Store(out);
  return true;
}

}  // namespace vendrix::gst
