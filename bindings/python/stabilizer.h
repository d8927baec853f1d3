// vendrix.Stabilizer: the offline road over numpy frames. Every frame is added (analysed), finish()
// smooths the whole camera path, then any frame can be rendered steadied by its index, as often as
// wanted; the measured and smoothed camera paths and the per-frame corrections are numpy arrays. The
// path is finished as the command finishes a clip's (pans followed unless the options say otherwise), so
// a clip's frames get the corrections `vendrix stabilize` gives it.
//
// One lock per object: calls on one stabilizer from several Python threads run one at a time (the
// library's path objects take one host thread at a time), and the GIL is released while the library
// works, so stabilizers on other threads run in parallel.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include <pybind11/numpy.h>

#include "motion.h"
#include "settings_options.h"

namespace vendrix::python {

class Stabilizer {
 public:
  // `max_frames` is the most frames that can be added: the library sizes the path for it up front.
  Stabilizer(int width, int height, const cli::AnalysisOptions& analysis, const cli::RenderOptions& render,
             int64_t max_frames);
  ~Stabilizer();
  Stabilizer(const Stabilizer&) = delete;
  Stabilizer& operator=(const Stabilizer&) = delete;

  void Add(const pybind11::array& frame);
  void Finish();
  // `frame` steadied by the correction of frame `index`, in `out` when given (same shape and dtype; it
  // may be `frame` itself), else in a new array.
  pybind11::array Render(const pybind11::array& frame, int64_t index, std::optional<pybind11::array> out);
  // N x 4: x, y (video pixels), rotation (radians), zoom (1 = unchanged) of the camera per frame, as
  // measured or after smoothing.
  pybind11::array CameraPath(bool smoothed);
  // N x 4 x 2: displacement of each frame's corners (top-left, top-right, bottom-right, bottom-left)
  // by its correction, video pixels.
  pybind11::array Corrections();
  // Frees the library's path; later calls raise. Called by `with` and when the object is collected.
  void Close();

  int64_t frames() const { return added_; }
  bool finished() const { return finished_; }
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  void CheckOpen() const;
  void CheckFinished() const;

  const int width_, height_;
  const PathSettings analysis_, render_;
  const double uncovered_budget_;  // share of output pixels, cli::UncoveredBudget
  const bool follow_pans_;
  const int64_t capacity_;
  std::mutex mutex_;
  GlobalMotionPath* path_ = nullptr;
  std::atomic<int64_t> added_ = 0;
  std::atomic<bool> finished_ = false;
  // The finished motion of all max_frames entries, the render settings in its array's settings copy;
  // the entries past the added frames were never scanned.
  cli::Motion motion_;
};

// N x 4: x, y, rotation, zoom of each sample of `path`.
pybind11::array PathArray(const std::vector<cli::PathSample>& path);

}  // namespace vendrix::python
