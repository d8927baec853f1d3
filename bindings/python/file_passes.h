// vendrix.stabilize_file and vendrix.analyze_file: the vendrix command's passes, run in this process
// through the command's host library (FFmpeg reading and writing, audio, timestamps and metadata kept,
// output written whole or not at all), with the command's defaults.
#pragma once

#include <optional>
#include <string>

#include <pybind11/pybind11.h>

#include "settings_options.h"
#include "video_output.h"

namespace vendrix::python {

// `progress`, when not None, is called as progress(stage, done, total) for every frame of every pass
// ("analyse", "render" or "stabilize"; total 0 when unknown). Ctrl-C and an exception raised by the
// callback stop the pass. Returns what `vendrix stabilize --stats` writes: the frame count, the seconds
// each stage took and, on the real-time road, the delay and the other figures of the run.
pybind11::dict StabilizeFile(const std::string& in, const std::string& out, const cli::AnalysisOptions& analysis,
                             const cli::RenderOptions& render, const cli::EncoderOptions& encoder, bool realtime,
                             int look_ahead, const pybind11::object& progress);

// Analyses and smooths `in`; returns its size, frame count and the measured and smoothed camera paths
// (N x 4: x, y, rotation, zoom), and writes the motion file for `vendrix render` when one is named.
pybind11::dict AnalyzeFile(const std::string& in, const cli::AnalysisOptions& analysis,
                           const std::optional<std::string>& motion_file, const pybind11::object& progress);

}  // namespace vendrix::python
