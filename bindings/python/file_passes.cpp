#include "file_passes.h"

#include "cli_error.h"
#include "cover_framing.h"
#include "errors.h"
#include "ffmpeg_util.h"
#include "motion_file.h"
#include "passes.h"
#include "realtime_pass.h"
#include "settings_options.h"
#include "stabilizer.h"

namespace py = pybind11;

namespace vendrix::python {

namespace {

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
    Rethrow(e);
  }
}

}  // namespace

py::dict StabilizeFile(const std::string& in, const std::string& out, const cli::AnalysisOptions& analysis,
                       const cli::RenderOptions& render, const cli::EncoderOptions& encoder, bool realtime, int look_ahead,
                       const py::object& progress) {
  const PathSettings settings = Command([&] { return cli::AnalysisSettings(analysis); });
  const PathSettings look = Command([&] { return cli::RenderSettings(settings, render); });
  const double budget = Command([&] { return cli::UncoveredBudget(render); });
  cli::Timings timings;
  cli::StreamFigures figures;
  cli::Progress meter(true);
  Listen(meter, progress);
  RunPass([&] {
    if (realtime) {
      figures = cli::StabilizeStream(in, out, look, look_ahead, encoder, meter, timings);
    } else {
      const cli::Motion motion = cli::AnalyseClip(in, settings, meter, timings, {.follow_pans = analysis.follow_pans});
      cli::RenderClip(in, motion, cli::FramedArray(motion, look, budget), out, encoder, meter, timings);
    }
  });
  return py::dict(py::module_::import("json").attr("loads")(cli::StatsRecord(timings, realtime ? &figures : nullptr).dump()));
}

py::dict AnalyzeFile(const std::string& in, const cli::AnalysisOptions& analysis,
                     const std::optional<std::string>& motion_file, const py::object& progress) {
  const PathSettings settings = Command([&] { return cli::AnalysisSettings(analysis); });
  cli::Timings timings;
  cli::Motion motion;
  cli::Progress meter(true);
  Listen(meter, progress);
  RunPass([&] {
    motion = cli::AnalyseClip(in, settings, meter, timings, {.follow_pans = analysis.follow_pans});
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
