// Progress of one pass on standard error: a redrawn bar with frames per second and time left when
// standard error is a terminal, a plain line every few seconds otherwise (logs, CI), nothing when quiet.
// Warnings go through here too, so they never tear a bar apart. A host running the passes in process
// (the Python module) can also listen to every step.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace vendrix::cli {

class Progress {
 public:
  explicit Progress(bool quiet);
  ~Progress();  // ends a bar left open by an error, so the error starts on its own line

  // `total` frames are expected; 0 when the length is not known (a stream).
  void Start(const std::string& label, int64_t total);
  void Update(int64_t done);
  void End();
  void Warn(const std::string& message);
  void Note(const std::string& message);  // an ordinary line, silenced by quiet

  // Called on Start, every Update and End with the pass's label, the frames done and the total (0 when
  // unknown), quiet or not. It may throw to stop the pass; the exception leaves the pass as an error
  // would, so no half-written output remains.
  using Listener = std::function<void(const std::string& label, int64_t done, int64_t total)>;
  void set_listener(Listener listener) { listener_ = std::move(listener); }

 private:
  void Draw(bool final);
  void ClearBar();

  bool quiet_, terminal_;
  std::string label_;
  int64_t total_ = 0, done_ = 0;
  bool bar_shown_ = false;
  Listener listener_;
  std::chrono::steady_clock::time_point start_, last_draw_;
};

}  // namespace vendrix::cli
