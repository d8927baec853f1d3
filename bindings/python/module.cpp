// The vendrix Python module: names, arguments and documentation of what the other files implement.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "errors.h"
#include "file_passes.h"
#include "realtime.h"
#include "stabilizer.h"

namespace py = pybind11;
using namespace py::literals;

namespace vendrix::python {
namespace {

const cli::RenderOptions kRender;
const cli::EncoderOptions kEncoder;

// The keyword options of the entry points, named and defaulting as the command's. Analysis:
#define VENDRIX_ANALYSIS_ARGS "profile"_a = py::none(), "smoothing"_a = py::none(), "analysis_level"_a = py::none()
// and of the entry points that smooth a whole clip, "follow_pans"_a = true. Framing:
#define VENDRIX_RENDER_ARGS "framing"_a = kRender.framing, "max_zoom"_a = kRender.max_zoom
// and, for a whole clip, the cover framing's budget of stretched edges.
#define VENDRIX_CLIP_RENDER_ARGS VENDRIX_RENDER_ARGS, "max_uncovered"_a = kRender.max_uncovered

constexpr const char* kOptionsDoc = R"(
Options (the vendrix command's): profile 0..41 (None: 41 with the feature tracker's match quality
filter on, the command's default); smoothing 0..1 (the profile's 0.4; 1 holds the camera still);
analysis_level 0..9 (the profile's 9, feature tracking; 0..8 match blocks); framing "cover" (zoom up
to max_zoom, 1.2, then stretch the edges), "fit", "fill" (black margins), "extend", "crop" or
"profile". Offline, max_uncovered is the percent of the clip's output pixels (0.1; 0..1) the cover
framing may leave to stretched edges where the shake peaks, to zoom less (the command's --max-uncovered). Offline, follow_pans=False keeps the library's smoothed translation, which lags a pan near
the clip's ends (the command's --no-follow-pans).)";

template <class T>
void AddContextManager(py::class_<T>& c) {
  c.def("__enter__", [](T& self) -> T& { return self; }, py::return_value_policy::reference)
      .def("__exit__", [](T& self, const py::args&) { self.Close(); })
      .def("close", &T::Close, "Frees the library's path; later calls raise vendrix.Error.");
}

}  // namespace
}  // namespace vendrix::python

using namespace vendrix::python;

PYBIND11_MODULE(vendrix, m) {
  m.doc() = "Video stabilisation with libvendrix: numpy frames (Stabilizer, RealtimeStabilizer) and video files "
            "(stabilize_file, analyze_file).";
  py::register_exception<Failure>(m, "Error", PyExc_RuntimeError);
  const uint32_t v = VendrixVersion();
  m.attr("__version__") = std::to_string(VENDRIX_VERSION_MAJOR(v)) + "." + std::to_string(VENDRIX_VERSION_MINOR(v)) +
                          "." + std::to_string(VENDRIX_VERSION_BUILD(v)) + "." + std::to_string(VENDRIX_VERSION_REVISION(v));

  py::class_<Stabilizer> stabilizer(m, "Stabilizer", (std::string(R"(Stabilizer(width, height, *, max_frames=10000, ...options)

Offline stabilisation of numpy frames: add(frame) every frame in order, finish(), then render(frame,
index) any of them. Frames are uint8 or uint16, H x W (grey), H x W x 3 (BGR) or H x W x 4 (BGRA), as
OpenCV hands them. max_frames is the most frames add() takes (the path is sized for it up front, about
2.5 kB a frame).)") + kOptionsDoc).c_str());
  stabilizer
      .def(py::init([](int width, int height, int64_t max_frames, std::optional<int> profile,
                       std::optional<double> smoothing, std::optional<int> analysis_level, bool follow_pans,
                       std::string framing, double max_zoom, double max_uncovered) {
             return new Stabilizer(width, height, {profile, smoothing, analysis_level, follow_pans},
                                   {std::move(framing), max_zoom, max_uncovered}, max_frames);
           }),
           "width"_a, "height"_a, py::kw_only(), "max_frames"_a = 10000, VENDRIX_ANALYSIS_ARGS, "follow_pans"_a = true,
           VENDRIX_CLIP_RENDER_ARGS)
      .def("add", &Stabilizer::Add, "frame"_a, "Analyses the next frame.")
      .def("finish", &Stabilizer::Finish,
           "Smooths the camera path of the frames added as the command does (following pans unless "
           "follow_pans=False); needed before render().")
      .def("render", &Stabilizer::Render, "frame"_a, "index"_a, "out"_a = py::none(),
           "Returns frame `index` (the same picture that was added) steadied, in `out` when given (same shape and "
           "dtype; may be `frame` itself), else in a new array.")
      .def("camera_path", &Stabilizer::CameraPath, py::kw_only(), "smoothed"_a = false,
           "N x 4 float64: x, y (pixels), rotation (radians) and zoom of the camera per frame, as measured or, "
           "with smoothed=True, as the steadied frames show it.")
      .def("corrections", &Stabilizer::Corrections,
           "N x 4 x 2 float64: how far each frame's corners (top-left, top-right, bottom-right, bottom-left) move, "
           "in pixels.")
      .def_property_readonly("frames", &Stabilizer::frames, "Frames added so far.")
      .def_property_readonly("finished", &Stabilizer::finished)
      .def_property_readonly("width", &Stabilizer::width)
      .def_property_readonly("height", &Stabilizer::height);
  AddContextManager(stabilizer);

  py::class_<RealtimeStabilizer> realtime(m, "RealtimeStabilizer", (std::string(R"(RealtimeStabilizer(width, height, *, look_ahead=50, ...options)

Streaming stabilisation for live sources: push(frame) returns the steadied frames that became ready
(each frame comes out `delay` = look_ahead + 49 frames after it went in), flush() at the end returns the
rest. Frames as for Stabilizer; every frame must have the first one's dtype and channels.)") + kOptionsDoc).c_str());
  realtime
      .def(py::init([](int width, int height, int look_ahead, std::optional<int> profile, std::optional<double> smoothing,
                       std::optional<int> analysis_level, std::string framing, double max_zoom) {
             return new RealtimeStabilizer(width, height, {profile, smoothing, analysis_level},
                                           {std::move(framing), max_zoom}, look_ahead);
           }),
           "width"_a, "height"_a, py::kw_only(), "look_ahead"_a = vendrix::cli::kDefaultLookAhead, VENDRIX_ANALYSIS_ARGS,
           VENDRIX_RENDER_ARGS)
      .def("push", &RealtimeStabilizer::Push, "frame"_a, "Takes the next frame; returns a list of steadied frames.")
      .def("flush", &RealtimeStabilizer::Flush, "Ends the stream; returns the steadied frames still held.")
      .def_property_readonly("delay", &RealtimeStabilizer::delay, "Frames between a frame's push and its return.")
      .def_property_readonly("pushed", &RealtimeStabilizer::pushed)
      .def_property_readonly("reused", &RealtimeStabilizer::reused,
                             "Frames shown with the previous frame's correction (the path refused their own).");
  AddContextManager(realtime);

  m.def(
      "stabilize_file",
      [](const std::string& in, const std::string& out, bool realtime_road, int look_ahead, std::string codec, int crf,
         std::string preset, std::string format, const py::object& progress, std::optional<int> profile,
         std::optional<double> smoothing, std::optional<int> analysis_level, bool follow_pans, std::string framing,
         double max_zoom, double max_uncovered) {
        return StabilizeFile(in, out, {profile, smoothing, analysis_level, follow_pans},
                             {std::move(framing), max_zoom, max_uncovered},
                             {std::move(codec), crf, std::move(preset), std::move(format)}, realtime_road, look_ahead,
                             progress);
      },
      "input"_a, "output"_a, py::kw_only(), "realtime"_a = false, "look_ahead"_a = vendrix::cli::kDefaultLookAhead,
      "codec"_a = kEncoder.codec, "crf"_a = kEncoder.crf, "preset"_a = kEncoder.preset, "format"_a = kEncoder.format,
      "progress"_a = py::none(), VENDRIX_ANALYSIS_ARGS, "follow_pans"_a = true, VENDRIX_CLIP_RENDER_ARGS,
      (std::string(R"(Stabilises a video file as `vendrix stabilize` does, in this process: audio, subtitles,
timestamps and metadata are kept; the output appears only when complete. progress(stage, done, total) is
called for every frame. Returns what the command's --stats writes: the frame count, the seconds each stage
took and, with realtime=True, the delay and the other figures of the stream.)") + kOptionsDoc).c_str());
  m.def(
      "analyze_file",
      [](const std::string& in, const std::optional<std::string>& motion_file, const py::object& progress,
         std::optional<int> profile, std::optional<double> smoothing, std::optional<int> analysis_level,
         bool follow_pans) {
        return AnalyzeFile(in, {profile, smoothing, analysis_level, follow_pans}, motion_file, progress);
      },
      "input"_a, "motion_file"_a = py::none(), py::kw_only(), "progress"_a = py::none(), VENDRIX_ANALYSIS_ARGS,
      "follow_pans"_a = true,
      "Analyses and smooths a video file as `vendrix analyze` does; returns width, height, frames and the "
      "measured and smoothed camera paths (N x 4: x, y, rotation, zoom), and writes the motion file for "
      "`vendrix render` when one is named.");
}
