// The element's hold on one stream: every arriving frame is scanned into the library's real-time path
// and held until the path has seen the look-ahead it needs to show it steady; then it is drawn into a
// new buffer carrying the input's timestamps, duration and flags. A frame leaves exactly `delay()`
// frames after it arrived, so the delay is fixed and can be reported as latency.
//
// One window lives from one format or size to the next and from one flush to the next. All calls come
// from the streaming thread.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>

#include <gst/video/video.h>

#include "frame_layout.h"
#include "vendrix/vendrix.h"

namespace vendrix::gst {

class StreamWindow {
 public:
  // Gives a writable buffer for one output frame of the negotiated caps, or null when there is none.
  using NewOutput = std::function<GstBuffer*()>;

  StreamWindow(const GstVideoInfo& info, int look_ahead, NewOutput new_output);
  ~StreamWindow();
  StreamWindow(const StreamWindow&) = delete;
  StreamWindow& operator=(const StreamWindow&) = delete;

  // Creates the path with `settings`; false (see error()) when the library refuses.
  bool Start(const PathSettings& settings);
  // New settings for the frames still to come; the library decides what must be redone.
  void ChangeSettings(const PathSettings& settings);

  // Takes over `buffer`, scans it and draws every held frame the path can now show steady. False when
  // a frame could not be mapped or drawn (see error()).
  bool Arrive(GstBuffer* buffer);
  // Draws every held frame: at the end of the stream, before a new format or segment.
  bool Drain();
  // The oldest drawn frame not yet taken (the caller owns it), or null.
  GstBuffer* TakeDrawn();
  bool holding() const { return !held_.empty(); }

  // Frames between a frame's arrival and its leaving.
  static int DelayFor(int look_ahead);
  const std::string& error() const { return error_; }
  // Frames drawn with the previous frame's correction because the path had none for them.
  int64_t reused() const { return reused_; }

 private:
  struct Held {
    GstBuffer* buffer;
    int64_t index;
  };

  bool Scan(GstBuffer* buffer);
  bool ShowOldest(bool when_steady);
  bool Draw(const GstVideoFrame& in, GstVideoFrame& out, int64_t frame, bool top_first);
  bool Completed(int64_t frame);
  bool TopFirst(GstBuffer* buffer) const;
  uint32_t AnalysisFieldMode(GstBuffer* buffer) const;
  TexMapDefA Definition(const LibraryImage& source, const LibraryImage& target, uint32_t field, bool top_first) const;

  GstVideoInfo info_;
  int look_ahead_;
  NewOutput new_output_;
  FrameLayout layout_;
  RTMotionPath* path_ = nullptr;
  bool fields_;  // interlaced: two fields per frame, drawn one by one
  std::deque<Held> held_;
  std::deque<GstBuffer*> drawn_;
  std::optional<TexMapDefA> last_[2];  // the last definition the path gave, per field
  int64_t next_ = 0;                   // the stream frame number the next scan gets
  int64_t reused_ = 0;
  std::string error_;
};

}  // namespace vendrix::gst
