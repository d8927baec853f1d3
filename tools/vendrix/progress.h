// Progress of one pass on standard error: a redrawn bar with frames per second and time left when
// standard error is a terminal, a plain line every few seconds otherwise (logs, CI), nothing when quiet.
// Warnings go through here too, so they never tear a bar apart.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

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

 private:
  void Draw(bool final);
  void ClearBar();

  bool quiet_, terminal_;
  std::string label_;
  int64_t total_ = 0, done_ = 0;
  bool bar_shown_ = false;
  std::chrono::steady_clock::time_point start_, last_draw_;
};

}  // namespace vendrix::cli
