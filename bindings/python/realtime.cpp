#include "realtime.h"

#include <cstdlib>
#include <string>

#include "errors.h"

namespace py = pybind11;

namespace vendrix::python {

namespace {

// The window slides by two thirds of its length, and after a slide the path defines frames only from
// the first whole look-ahead block inside the window: a window whose slide is a whole number of
// look-ahead blocks (the one nearest the library's 1000 frames) leaves no frame undefined at a slide.
uint32_t WindowLengthFor(int look_ahead) {
  uint32_t best = 0;
  for (uint32_t length = 100; length <= 10000; ++length) {
    const bool whole_blocks = (2 * length / 3) % uint32_t(look_ahead) == 0;
    if (whole_blocks && (best == 0 || std::abs(int(length) - 1000) < std::abs(int(best) - 1000))) best = length;
  }
  return best;
}

}  // namespace

RealtimeStabilizer::RealtimeStabilizer(int width, int height, const Options& options, int look_ahead)
    : width_(width), height_(height), look_ahead_(look_ahead) {
  if (width < 16 || height < 16 || width > 16384 || height > 16384)
    throw py::value_error("width and height must be 16..16384, not " + std::to_string(width) + "x" + std::to_string(height));
  if (look_ahead < 2 || look_ahead > 1000) throw py::value_error("look_ahead must be 2..1000, not " + std::to_string(look_ahead));
  PathSettings settings = RenderSettings(AnalysisSettings(options), options);
  // The adaptive output needs the whole clip's motion, which a stream never has.
  settings.OutputFlags &= ~uint32_t{VENDRIX_OUTPUT_ADAPTIVE};
  path_ = NewRTMotionPath();
  if (!path_) throw Failure("the library could not create a real-time path");
  const RTPathConfig config{VENDRIX_RT_CONFIG_TAG, WindowLengthFor(look_ahead), uint32_t(kSteadyMargin), uint32_t(look_ahead), 0};
  if (RTMotionPathConfigurate(path_, &config) != 1 || RTMotionPathSetSettings(path_, &settings, int32_t(sizeof settings)) != 1) {
    DeleteRTMotionPath(path_);
    throw Failure("the library refused the real-time path's configuration");
  }
}

RealtimeStabilizer::~RealtimeStabilizer() { DeleteRTMotionPath(path_); }

void RealtimeStabilizer::Close() {
  py::gil_scoped_release nogil;
  std::lock_guard lock(mutex_);
  DeleteRTMotionPath(path_);
  path_ = nullptr;
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
  int32_t status = -1;
  for (;;) {
    status = RTMotionPathScanMap(path_, &scan, next_);
    if (status == 0 || held_.size() < 2) break;
    ShowOldest(false, shown);
  }
  ++next_;
  return status == 0;
}

// Renders the oldest held frame; with `when_steady`, only once the scanner got as far as it must.
bool RealtimeStabilizer::ShowOldest(bool when_steady, Shown& shown) {
  if (held_.empty()) return false;
  const int64_t f = held_.front().index;
  if (when_steady) {
    int64_t scanned = -1, needed = -1;
    RTMotionScannerRequirementsFrameRange(path_, f, &scanned, &needed, nullptr);
    if (scanned < needed) return false;
  }
  LibraryImage& source = *held_.front().image;
  auto target = std::make_unique<LibraryImage>(*kind_);
  const LibraryView in = source.view(), out = target->view();
  TexMapDefA def{};
  def.version = VENDRIX_TEXMAP_A_VERSION;
  def.pixelFormat = in.format;
  def.srcRect = {0, 0, width_ * VENDRIX_FX_ONE, height_ * VENDRIX_FX_ONE};
  def.srcPitch = in.pitch;
  def.srcRows = height_;
  def.srcBuffer = in.data;
  def.outRect = def.srcRect;
  def.outPitch = out.pitch;
  def.outRows = height_;
  def.outBuffer = out.data;
  bool corrected = RTMotionPathTexMapDef(path_, &def, 0, f, 0, width_, height_) >= 0;
  if (corrected) {
    last_def_ = def;
  } else if (last_def_) {
    // Refused: the previous frame's correction is the closest there is (the raw frame would jump).
    ++reused_;
    const TexMapDefA buffers = def;
    def = *last_def_;
    def.srcBuffer = buffers.srcBuffer;
    def.outBuffer = buffers.outBuffer;
    corrected = true;
  }
  if (corrected) {
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
