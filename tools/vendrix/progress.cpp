#include "progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include <fmt/format.h>

namespace vendrix::cli {

namespace {

using Clock = std::chrono::steady_clock;

std::string Clocktime(double seconds) {
  const int s = static_cast<int>(seconds + 0.5);
  return s >= 3600 ? fmt::format("{}:{:02}:{:02}", s / 3600, s / 60 % 60, s % 60) : fmt::format("{}:{:02}", s / 60, s % 60);
}

}  // namespace

Progress::Progress(bool quiet) : quiet_(quiet), terminal_(isatty(STDERR_FILENO) != 0) {}

Progress::~Progress() {
  if (bar_shown_) fmt::print(stderr, "\n");
}

void Progress::Start(const std::string& label, int64_t total) {
  label_ = label;
  total_ = total;
  done_ = 0;
  start_ = last_draw_ = Clock::now();
  if (listener_) listener_(label_, 0, total_);
  if (!quiet_ && !terminal_) {
    if (total_ > 0)
      fmt::print(stderr, "{}: {} frames\n", label_, total_);
    else
      fmt::print(stderr, "{}: a stream\n", label_);
  }
}

void Progress::Update(int64_t done) {
  done_ = done;
  if (listener_) listener_(label_, done_, total_);
  if (quiet_) return;
  const auto now = Clock::now();
  const auto every = terminal_ ? std::chrono::milliseconds(100) : std::chrono::milliseconds(5000);
  if (now - last_draw_ < every) return;
  last_draw_ = now;
  Draw(false);
}

void Progress::End() {
  if (listener_) listener_(label_, done_, std::max(total_, done_));
  if (!quiet_) Draw(true);
}

void Progress::Draw(bool final) {
  const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
  const double fps = elapsed > 0 ? double(done_) / elapsed : 0.0;
  const int64_t total = std::max(total_, done_);
  const double left = fps > 0 ? double(total - done_) / fps : 0.0;
  if (total_ <= 0) {
    // A stream of unknown length: frames and speed only.
    if (terminal_) {
      fmt::print(stderr, "\r{:<9} {} frames {:5.1f} fps {}\x1b[K", label_, done_, fps, Clocktime(elapsed));
      bar_shown_ = !final;
      if (final) fmt::print(stderr, "\n");
    } else {
      fmt::print(stderr, "{}: {} frames, {:.1f} fps, {}\n", label_, done_, fps, Clocktime(elapsed));
    }
  } else if (terminal_) {
    constexpr int kWidth = 30;
    const int filled = total > 0 ? int(kWidth * done_ / total) : kWidth;
    fmt::print(stderr, "\r{:<9} [{:=<{}}{:<{}}] {:>3}% {}/{} {:5.1f} fps {} {}\x1b[K", label_, "", filled, "",
               kWidth - filled, total > 0 ? 100 * done_ / total : 100, done_, total, fps, final ? "took" : "left",
               Clocktime(final ? elapsed : left));
    bar_shown_ = !final;
    if (final) fmt::print(stderr, "\n");
  } else {
    fmt::print(stderr, "{}: {}/{} frames, {:.1f} fps, {} {}\n", label_, done_, total, fps, final ? "took" : "left",
               Clocktime(final ? elapsed : left));
  }
  std::fflush(stderr);
}

void Progress::ClearBar() {
  if (bar_shown_) fmt::print(stderr, "\r\x1b[K");
}

void Progress::Warn(const std::string& message) {
  ClearBar();
  fmt::print(stderr, "vendrix: warning: {}\n", message);
  if (bar_shown_) Draw(false);
}

void Progress::Note(const std::string& message) {
  if (quiet_) return;
  ClearBar();
  fmt::print(stderr, "{}\n", message);
}

}  // namespace vendrix::cli
