// vendrix.RealtimeStabilizer: the sliding-window road for live sources. Each pushed frame is analysed
// as it arrives and held (copied) until the path has seen enough later frames to show it steady; push()
// returns the frames that became ready, flush() at the end of the stream the rest. The path, its window
// and the showing of frames are the command's real-time road's: output starts after a fixed delay of
// look_ahead + 49 frames and memory stays flat however long the stream is.
//
// Locking as the offline class: one lock per object, the GIL released while the library works. The
// library serialises its real-time calls process-wide, so two streams on two threads take turns.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <pybind11/numpy.h>

#include "frames.h"
#include "realtime_pass.h"
#include "settings_options.h"

namespace vendrix::python {

class RealtimeStabilizer {
 public:
  RealtimeStabilizer(int width, int height, const cli::AnalysisOptions& analysis, const cli::RenderOptions& render,
                     int look_ahead);
  RealtimeStabilizer(const RealtimeStabilizer&) = delete;
  RealtimeStabilizer& operator=(const RealtimeStabilizer&) = delete;

  pybind11::list Push(const pybind11::array& frame);
  pybind11::list Flush();
  void Close();

  int delay() const { return look_ahead_ + cli::kSteadyMargin - 1; }  // frames from arrival to output
  int64_t pushed() const { return pushed_; }
  int64_t reused() const { return definitions_.reused; }  // frames shown with the previous frame's correction

 private:
  using Shown = std::vector<std::unique_ptr<LibraryImage>>;
  struct Held {
    std::unique_ptr<LibraryImage> image;
    int64_t index;
  };

  bool Scan(LibraryImage& picture, Shown& shown);
  bool ShowOldest(bool when_steady, Shown& shown);
  bool DrainStep(Shown& shown);
  pybind11::list ToArrays(Shown& shown) const;
  void CheckOpen() const;

  const int width_, height_, look_ahead_;
  std::mutex mutex_;
  cli::RtPathPtr path_;
  std::optional<FrameKind> kind_;  // of the first frame; every later frame must match
  cli::StreamDefinitions definitions_;
  std::deque<Held> held_;
  int64_t next_ = 0;  // the stream frame number the next scan gets
  int64_t pushed_ = 0;
  bool flushed_ = false;
};

}  // namespace vendrix::python
