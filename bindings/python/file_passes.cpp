#include "file_passes.h"

#include <cstring>
#include <vector>

#include <pybind11/numpy.h>

#include "cli_error.h"
#include "errors.h"
#include "ffmpeg_util.h"
#include "motion_file.h"
#include "passes.h"
#include "realtime_pass.h"
#include "settings_options.h"

namespace py = pybind11;

namespace vendrix::python {

namespace {

cli::AnalysisOptions AnalysisOf(const Options& o) {
  CheckOptions(o);
  cli::AnalysisOptions a;
  a.profile = o.profile;
  a.smoothing = o.smoothing;
  a.analysis_level = o.analysis_level;
  return a;
}

cli::RenderOptions RenderOf(const Options& o) {
  cli::RenderOptions r;
  r.framing = o.framing;
  r.max_zoom = o.max_zoom;
  return r;
}

// A quiet progress whose every step checks for Ctrl-C and calls the Python callback, with the GIL
// taken for that moment only.
void Listen(cli::Progress& progress, const py::object& callback) {
  progress.set_listener([&callback](const std::string& stage, int64_t done, int64_t total) {
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) throw PythonErrorPending{};
    if (callback.is_none()) return;
    try {
      callback(stage, done, total);
    } catch (py::error_already_set& e) {
      e.restore();
      throw PythonErrorPending{};
    }
  });
}

// Runs a pass without the GIL and turns its failures into Python exceptions. FFmpeg's own messages
// are silenced as the command does without --verbose.
template <class Pass>
void RunPass(Pass pass) {
  cli::SetFfmpegLogging(false);
  try {
    py::gil_scoped_release nogil;
    pass();
  } catch (const PythonErrorPending&) {
    throw py::error_already_set();
  } catch (const cli::CliError& e) {
    throw Failure(e.what());
  }
}

py::array PathArray(const std::vector<cli::PathSample>& path) {
  py::array_t<double> a({py::ssize_t(path.size()), py::ssize_t(4)});
  double* d = a.mutable_data();
  for (const cli::PathSample& p : path) *d++ = p.x, *d++ = p.y, *d++ = p.rotation, *d++ = p.zoom;
  return a;
}

}  // namespace

py::dict StabilizeFile(const std::string& in, const std::string& out, const Options& options, const EncoderChoice& encoder,
                       bool realtime, int look_ahead, const py::object& progress) {
  const cli::AnalysisOptions analysis = AnalysisOf(options);
  const cli::RenderOptions render = RenderOf(options);
  if (realtime && (look_ahead < 2 || look_ahead > 1000))
    throw py::value_error("look_ahead must be 2..1000, not " + std::to_string(look_ahead));
  cli::EncoderOptions e;
  e.codec = encoder.codec;
  e.crf = encoder.crf;
  e.preset = encoder.preset;
  e.format = encoder.format;
  cli::Timings timings;
  cli::StreamFigures figures;
  cli::Progress meter(true);
  Listen(meter, progress);
  RunPass([&] {
    const PathSettings settings = cli::AnalysisSettings(analysis);
    const PathSettings look = cli::RenderSettings(settings, render);
    if (realtime) {
      figures = cli::StabilizeStream(in, out, look, look_ahead, e, meter, timings);
    } else {
      const cli::Motion motion = cli::AnalyseClip(in, settings, meter, timings);
      cli::RenderClip(in, motion, look, out, e, meter, timings);
    }
  });
  py::dict result;
  result["frames"] = timings.frames;
  result["decode_s"] = timings.decode;
  result["analysis_s"] = timings.analysis;
  result["finishing_s"] = timings.finishing;
  result["render_s"] = timings.render;
  result["encode_s"] = timings.encode;
  if (realtime) result["delay_frames"] = figures.delay_frames;
  return result;
}

py::dict AnalyzeFile(const std::string& in, const Options& options, const std::optional<std::string>& motion_file,
                     const py::object& progress) {
  const cli::AnalysisOptions analysis = AnalysisOf(options);
  cli::Timings timings;
  cli::Motion motion;
  cli::Progress meter(true);
  Listen(meter, progress);
  RunPass([&] {
    motion = cli::AnalyseClip(in, cli::AnalysisSettings(analysis), meter, timings);
    if (motion_file) cli::SaveMotion(*motion_file, motion);
  });
  py::dict result;
  result["width"] = motion.video_width;
  result["height"] = motion.video_height;
  result["frames"] = motion.frames;
  result["camera"] = PathArray(motion.camera);
  result["smoothed"] = PathArray(motion.smoothed);
  return result;
}

}  // namespace vendrix::python
