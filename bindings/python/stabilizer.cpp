#include "stabilizer.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "errors.h"
#include "frames.h"

namespace py = pybind11;

namespace vendrix::python {

namespace {

double Fx(int32_t v) { return double(v) / VENDRIX_FX_ONE; }

MotionCompArrayBRecord RecordOf(const std::vector<uint32_t>& comp, int64_t i) {
  MotionCompArrayBRecord r;
  std::memcpy(&r,
              reinterpret_cast<const uint8_t*>(comp.data()) + VENDRIX_COMP_B_OFFSET_RECORDS +
                  size_t(i) * VENDRIX_COMP_B_RECORD_SIZE,
              sizeof r);
  return r;
}

// The similarity a correction applies to the analysis frame, read from its four corner displacements:
// translation of the centre, rotation and scale of the top and left edges.
std::array<double, 4> CorrectionOf(const MotionCompArrayBRecord& r, double w, double h) {
  double x = 0, y = 0;
  for (const VendrixFxPoint& c : r.corner) x += Fx(c.x) / 4, y += Fx(c.y) / 4;
  const double top_dx = w + Fx(r.corner[1].x) - Fx(r.corner[0].x), top_dy = Fx(r.corner[1].y) - Fx(r.corner[0].y);
  const double left_dx = Fx(r.corner[3].x) - Fx(r.corner[0].x), left_dy = h + Fx(r.corner[3].y) - Fx(r.corner[0].y);
  const double rotation = (std::atan2(top_dy, top_dx) - std::atan2(left_dx, left_dy)) / 2;
  const double zoom = (std::hypot(top_dx, top_dy) / w + std::hypot(left_dx, left_dy) / h) / 2;
  return {x, y, rotation, zoom};
}

bool MayShareMemory(const py::array& a, const py::array& b) {
  return py::module_::import("numpy").attr("may_share_memory")(a, b).cast<bool>();
}

}  // namespace

Stabilizer::Stabilizer(int width, int height, const Options& options, int64_t max_frames)
    : width_(width),
      height_(height),
      analysis_(AnalysisSettings(options)),
      render_(RenderSettings(analysis_, options)),
      capacity_(max_frames) {
  if (width < 16 || height < 16 || width > 16384 || height > 16384)
    throw py::value_error("width and height must be 16..16384, not " + std::to_string(width) + "x" + std::to_string(height));
  if (max_frames < 1 || max_frames > INT32_MAX / 2)
    throw py::value_error("max_frames must be 1.." + std::to_string(INT32_MAX / 2) + ", not " + std::to_string(max_frames));
  path_ = NewGlobalMotionPath(0, uint32_t(max_frames), 0);
  if (!path_) throw Failure("the library could not create a path of " + std::to_string(max_frames) + " frames");
}

Stabilizer::~Stabilizer() { DeleteGlobalMotionPath(path_); }

void Stabilizer::Close() {
  py::gil_scoped_release nogil;
  std::lock_guard lock(mutex_);
  DeleteGlobalMotionPath(path_);
  path_ = nullptr;
}

void Stabilizer::CheckOpen() const {
  if (!path_) throw Failure("the stabilizer is closed");
}

void Stabilizer::CheckFinished() const {
  CheckOpen();
  if (!finished_) throw Failure("finish() must be called before frames are rendered or paths read");
}

void Stabilizer::Add(const py::array& frame) {
  const FrameKind kind = CheckFrame(frame, width_, height_);
  LibraryView view = ViewOf(frame, kind);
  const Strided pixels = StridedOf(frame);
  py::gil_scoped_release nogil;
  std::lock_guard lock(mutex_);
  CheckOpen();
  if (finished_) throw Failure("frames cannot be added after finish()");
  if (added_ >= capacity_)
    throw Failure("this stabilizer takes at most " + std::to_string(capacity_) + " frames (its max_frames)");
  std::unique_ptr<LibraryImage> copy;
  if (!view.data) {
    copy = std::make_unique<LibraryImage>(kind);
    copy->CopyFrom(pixels);
    view = copy->view();
  }
  ScanInput scan{};
  scan.tag = VENDRIX_SCAN_INPUT_TAG;
  scan.format = view.format;
  scan.width = width_;
  scan.height = height_;
  scan.pitch = view.pitch;
  scan.buffer = view.data;
  scan.aspectFactor = 1.0f;
  scan.settings = analysis_;
  ScanMapB(path_, uint32_t(added_), &scan);
  ++added_;
}

void Stabilizer::Finish() {
  py::gil_scoped_release nogil;
  std::lock_guard lock(mutex_);
  CheckOpen();
  if (finished_) return;
  if (added_ == 0) throw Failure("finish() needs at least one added frame");
  // The block matcher hands its last jobs' results to the path only when the analysis is settled with
  // the keep flag; finishing alone would drop them. Settle, then smooth.
  const FinishRequest settle{VENDRIX_FINISH_REQUEST_TAG, VENDRIX_FINISH_SETTLE_ONLY, 0, 0, VENDRIX_FINISH_KEEP_ANALYSIS};
  FinishPath(path_, &settle);
  FinishPathB(path_, 0, &analysis_);
  const int64_t size = SizeOfMotionCompArrayBPath(path_);
  comp_.assign(size_t(size / 4), 0u);
  comp_[0] = VENDRIX_COMP_B_TAG;
  if (size != VENDRIX_COMP_B_SIZE(capacity_) || CopyMotionCompArrayBPath(path_, comp_.data(), int32_t(size)) != 1)
    throw Failure("the library refused to produce the corrections");
  // The definition reads the framing from the settings copy inside the array.
  std::memcpy(reinterpret_cast<uint8_t*>(comp_.data()) + VENDRIX_COMP_OFFSET_SETTINGS, &render_, sizeof render_);
  ComputePaths();
  finished_ = true;
}

// The measured path integrates the frame-to-frame motion the analysis measured (the camera moved
// opposite to the content); the smoothed path is the measured one moved by each frame's correction.
void Stabilizer::ComputePaths() {
  MotionCompHeader head;
  std::memcpy(&head, comp_.data(), sizeof head);
  const double w = head.width > 0 ? head.width : 1, h = head.height > 0 ? head.height : 1;
  const double sx = width_ / w, sy = height_ / h;  // analysis pixels to video pixels
  camera_.clear();
  smoothed_.clear();
  corners_.clear();
  std::array<double, 4> at{0, 0, 0, 1};
  for (int64_t i = 0; i < added_; ++i) {
    float t[3] = {0, 0, 0}, r[3] = {0, 0, 0};
    if (i > 0 && GetAnalysisFrameTranslation(path_, 0, int32_t(i), t) == 1 &&
        GetAnalysisFrameRotation(path_, 0, int32_t(i), r) == 1 && std::isfinite(t[0]) && std::isfinite(t[1])) {
      at[0] -= t[0] * sx;
      at[1] -= t[1] * sy;
      at[2] -= std::isfinite(r[2]) ? r[2] : 0.0;
      // The zoom term is the scale change in working pixels: 0.9 x height per unit of zoom.
      at[3] *= std::isfinite(t[2]) ? 1.0 + t[2] / (0.9 * h) : 1.0;
    }
    camera_.push_back(at);
    const MotionCompArrayBRecord rec = RecordOf(comp_, i);
    const std::array<double, 4> c = CorrectionOf(rec, w, h);
    smoothed_.push_back({at[0] - c[0] * sx, at[1] - c[1] * sy, at[2] - c[2], at[3] * c[3]});
    std::array<double, 8> k;
    for (int j = 0; j < VENDRIX_CORNER_COUNT; ++j) k[2 * j] = Fx(rec.corner[j].x) * sx, k[2 * j + 1] = Fx(rec.corner[j].y) * sy;
    corners_.push_back(k);
  }
}

py::array Stabilizer::Render(const py::array& frame, int64_t index, std::optional<py::array> out) {
  const FrameKind kind = CheckFrame(frame, width_, height_);
  py::array target;
  if (out) {
    target = *out;
    const FrameKind out_kind = CheckFrame(target, width_, height_);
    if (out_kind.deep != kind.deep || out_kind.channels != kind.channels)
      throw py::value_error("out must have the frame's shape and dtype");
    if (!target.writeable()) throw py::value_error("out is read-only");
  } else {
    target = py::array(frame.dtype(), std::vector<py::ssize_t>(frame.shape(), frame.shape() + frame.ndim()));
    std::memset(target.mutable_data(), 0, size_t(target.nbytes()));
  }
  // Rendering into the frame itself goes through a copy of the frame.
  const bool overlap = out && MayShareMemory(frame, target);
  LibraryView source = overlap ? LibraryView{} : ViewOf(frame, kind);
  LibraryView output = ViewOf(target, kind);
  const Strided source_pixels = StridedOf(frame), output_pixels = StridedOf(target);
  {
    py::gil_scoped_release nogil;
    std::lock_guard lock(mutex_);
    CheckFinished();
    if (index < 0 || index >= added_)
      throw py::index_error("frame index " + std::to_string(index) + " is outside 0.." + std::to_string(added_ - 1));
    std::unique_ptr<LibraryImage> source_copy, output_copy;
    if (!source.data) {
      source_copy = std::make_unique<LibraryImage>(kind);
      source_copy->CopyFrom(source_pixels);
      source = source_copy->view();
    }
    if (!output.data) {
      output_copy = std::make_unique<LibraryImage>(kind);
      output = output_copy->view();
    }
    TexMapDefA def{};
    def.version = VENDRIX_TEXMAP_A_VERSION;
    def.pixelFormat = kind.format;
    def.srcRect = {0, 0, width_ * VENDRIX_FX_ONE, height_ * VENDRIX_FX_ONE};
    def.srcPitch = source.pitch;
    def.srcRows = height_;
    def.srcBuffer = source.data;
    def.outRect = def.srcRect;
    def.outPitch = output.pitch;
    def.outRows = height_;
    def.outBuffer = output.data;
    // The result grades the correction (a small visible part, a large zoom); every grade is rendered.
    DefTexMapA(&def, comp_.data(), 0, int32_t(index), 0, width_, height_);
    TexMap(&def);
    if (output_copy) output_copy->CopyTo(output_pixels);
  }
  return target;
}

py::array Stabilizer::CameraPath(bool smoothed) {
  std::vector<std::array<double, 4>> p;
  {
    py::gil_scoped_release nogil;
    std::lock_guard lock(mutex_);
    CheckFinished();
    p = smoothed ? smoothed_ : camera_;
  }
  py::array_t<double> a({py::ssize_t(p.size()), py::ssize_t(4)});
  if (!p.empty()) std::memcpy(a.mutable_data(), p.data(), p.size() * sizeof p[0]);
  return a;
}

py::array Stabilizer::Corrections() {
  std::vector<std::array<double, 8>> corners;
  {
    py::gil_scoped_release nogil;
    std::lock_guard lock(mutex_);
    CheckFinished();
    corners = corners_;
  }
  py::array_t<double> a({py::ssize_t(corners.size()), py::ssize_t(4), py::ssize_t(2)});
  if (!corners.empty()) std::memcpy(a.mutable_data(), corners.data(), corners.size() * sizeof corners[0]);
  return a;
}

}  // namespace vendrix::python
