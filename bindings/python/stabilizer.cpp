#include "stabilizer.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "errors.h"
#include "frames.h"
#include "library_image.h"
#include "band_mesh.h"
#include "cover_framing.h"
#include "passes.h"

namespace py = pybind11;

namespace vendrix::python {

namespace {

bool MayShareMemory(const py::array& a, const py::array& b) {
  return py::module_::import("numpy").attr("may_share_memory")(a, b).cast<bool>();
}

}  // namespace

Stabilizer::Stabilizer(int width, int height, const cli::AnalysisOptions& analysis, const cli::RenderOptions& render,
                       int64_t max_frames)
    : width_(width),
      height_(height),
      analysis_(Command([&] { return cli::AnalysisSettings(analysis); })),
      render_(Command([&] { return cli::RenderSettings(analysis_, render); })),
      uncovered_budget_(Command([&] { return cli::UncoveredBudget(render); })),
      follow_pans_(analysis.follow_pans),
      capacity_(max_frames) {
  CheckSize(width, height);
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
  // The path was made for max_frames entries; those never added are unmeasured, so the pans are
  // followed to the last added frame as they are to a clip's last.
  motion_ = Command([&] { return cli::FinishMotion(path_, analysis_, width_, height_, capacity_, cli::FieldOrder::kProgressive, follow_pans_); });
  // The definition reads the framing from the settings copy inside the array. The cover framing's zoom
  // is chosen from the frames added, as the command chooses it from a clip's: FramedArray of them alone
  // (the entries never added would count as covered frames) gives the header and settings, the
  // records stay.
  cli::Motion added;
  added.frames = added_;
  added.comp.assign(motion_.comp.begin(), motion_.comp.begin() + VENDRIX_COMP_B_SIZE(added_) / 4);
  const int32_t count = int32_t(added_);
  std::memcpy(reinterpret_cast<uint8_t*>(added.comp.data()) + VENDRIX_COMP_OFFSET_COUNT, &count, sizeof count);
  const std::vector<uint32_t> framed = cli::FramedArray(added, render_, uncovered_budget_);
  std::copy_n(framed.begin(), VENDRIX_COMP_B_OFFSET_RECORDS / 4, motion_.comp.begin());
  const int32_t capacity = int32_t(capacity_);
  std::memcpy(reinterpret_cast<uint8_t*>(motion_.comp.data()) + VENDRIX_COMP_OFFSET_COUNT, &capacity, sizeof capacity);
  finished_ = true;
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
    TexMapDefA def = cli::WholeFrameDefinition(kind.format, width_, height_, source.data, source.pitch, output.data,
                                               output.pitch);
    // The result grades the correction (a small visible part, a large zoom); every grade is rendered.
    DefTexMapA(&def, motion_.comp.data(), 0, int32_t(index), 0, width_, height_);
    cli::DrawFrame(def, cli::BandRowsOf(motion_.bands, motion_.comp, index));
    if (output_copy) output_copy->CopyTo(output_pixels);
  }
  return target;
}

py::array PathArray(const std::vector<cli::PathSample>& path) {
  py::array_t<double> a({py::ssize_t(path.size()), py::ssize_t(4)});
  double* d = a.mutable_data();
  for (const cli::PathSample& p : path) *d++ = p.x, *d++ = p.y, *d++ = p.rotation, *d++ = p.zoom;
  return a;
}

py::array Stabilizer::CameraPath(bool smoothed) {
  std::vector<cli::PathSample> p;
  {
    py::gil_scoped_release nogil;
    std::lock_guard lock(mutex_);
    CheckFinished();
    const std::vector<cli::PathSample>& all = smoothed ? motion_.smoothed : motion_.camera;
    p.assign(all.begin(), all.begin() + added_);
  }
  return PathArray(p);
}

py::array Stabilizer::Corrections() {
  py::array_t<double> a({py::ssize_t(added_), py::ssize_t(4), py::ssize_t(2)});
  double* d = a.mutable_data();
  {
    py::gil_scoped_release nogil;
    std::lock_guard lock(mutex_);
    CheckFinished();
    MotionCompHeader head;
    std::memcpy(&head, motion_.comp.data(), sizeof head);
    // Corrections are stored in analysis pixels.
    const double sx = double(width_) / std::max(head.width, 1), sy = double(height_) / std::max(head.height, 1);
    for (int64_t i = 0; i < added_; ++i)
      for (const VendrixFxPoint& c : cli::RecordOf(motion_, i).corner)
        *d++ = double(c.x) / VENDRIX_FX_ONE * sx, *d++ = double(c.y) / VENDRIX_FX_ONE * sy;
  }
  return a;
}

}  // namespace vendrix::python
