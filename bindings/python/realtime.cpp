#include "realtime.h"

#include <string>

#include "errors.h"
#include "library_image.h"

namespace py = pybind11;

namespace vendrix::python {

RealtimeStabilizer::RealtimeStabilizer(int width, int height, const cli::AnalysisOptions& analysis,
                                       const cli::RenderOptions& render, int look_ahead)
    : width_(width), height_(height), look_ahead_(look_ahead) {
  CheckSize(width, height);
  path_ = Command([&] {
    return cli::NewRealtimePath(cli::RenderSettings(cli::AnalysisSettings(analysis), render), look_ahead);
  });
}

void RealtimeStabilizer::Close() {
  py::gil_scoped_release nogil;
  std::lock_guard lock(mutex_);
  path_.reset();
  held_.clear();
}

void RealtimeStabilizer::CheckOpen() const {
  if (!path_) throw Failure("the stabilizer is closed");
}

py::list RealtimeStabilizer::Push(const py::array& frame) {
  const FrameKind kind = CheckFrame(frame, width_, height_);
  const Strided pixels = StridedOf(frame);
  Shown shown;
  {
    py::gil_scoped_release nogil;
    std::lock_guard lock(mutex_);
    CheckOpen();
    if (flushed_) throw Failure("frames cannot be pushed after flush()");
    if (!kind_) kind_ = kind;
    if (kind.deep != kind_->deep || kind.channels != kind_->channels)
      throw py::value_error("every frame of a stream must have the first frame's dtype and channels");
    // The frame is held until it can be shown, so it is copied: the caller may reuse its array.
    held_.push_back({std::make_unique<LibraryImage>(kind), next_});
    held_.back().image->CopyFrom(pixels);
    ++pushed_;
    Scan(*held_.back().image, shown);
    while (ShowOldest(true, shown)) {
    }
  }
  return ToArrays(shown);
}

// At the end of the stream the held frames wait for frames that will never come. The last frame is
// handed to the scanner again as still frames (never shown) until each held frame has the look-ahead
// of any other, so the last frames are smoothed as the rest are. Ctrl-C is honoured between frames.
py::list RealtimeStabilizer::Flush() {
  py::list result;
  for (bool more = true; more;) {
    Shown shown;
    {
      py::gil_scoped_release nogil;
      std::lock_guard lock(mutex_);
      CheckOpen();
      flushed_ = true;
      more = DrainStep(shown);
    }
    for (py::handle a : ToArrays(shown)) result.append(a);
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }
  return result;
}

bool RealtimeStabilizer::DrainStep(Shown& shown) {
  if (held_.empty()) return false;
  // A repeat the scanner refuses cannot bring the requirement closer: the frame is shown as is.
  if (!ShowOldest(true, shown) && !Scan(*held_.back().image, shown)) ShowOldest(false, shown);
  return !held_.empty();
}

// Hands `picture` to the scanner as stream frame next_. A full window refuses a frame until a
// definition slides it: the oldest held frames are shown, then the frame is scanned again; refused with
// nothing older held, it goes unanalysed (false).
bool RealtimeStabilizer::Scan(LibraryImage& picture, Shown& shown) {
  const LibraryView v = picture.view();
  const RTFrameInput scan{VENDRIX_RT_FRAME_TAG, v.format, 0, width_, height_, v.pitch, 1.0f, 0, v.data};
  return cli::ScanIntoWindow(path_.get(), scan, next_++, [&] { return held_.size() >= 2 && ShowOldest(false, shown); });
}

// Renders the oldest held frame; with `when_steady`, only once the scanner got as far as it must.
bool RealtimeStabilizer::ShowOldest(bool when_steady, Shown& shown) {
  if (held_.empty()) return false;
  const int64_t f = held_.front().index;
  if (when_steady && !cli::Steady(path_.get(), f)) return false;
  LibraryImage& source = *held_.front().image;
  auto target = std::make_unique<LibraryImage>(*kind_);
  const LibraryView in = source.view(), out = target->view();
  TexMapDefA def = cli::WholeFrameDefinition(in.format, width_, height_, in.data, in.pitch, out.data, out.pitch);
  if (definitions_.Define(path_.get(), def, f, width_, height_)) {
    TexMap(&def);
    shown.push_back(std::move(target));
  } else {
    shown.push_back(std::move(held_.front().image));  // before the first correction: as it came
  }
  held_.pop_front();
  return true;
}

py::list RealtimeStabilizer::ToArrays(Shown& shown) const {
  py::list out;
  for (const auto& image : shown) {
    std::vector<py::ssize_t> shape{height_, width_};
    if (kind_->channels > 1) shape.push_back(kind_->channels);
    py::array a = kind_->deep ? py::array(py::dtype::of<uint16_t>(), shape) : py::array(py::dtype::of<uint8_t>(), shape);
    image->CopyTo(StridedOf(a));
    out.append(a);
  }
  return out;
}

}  // namespace vendrix::python
