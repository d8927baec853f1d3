// vendrix.stabilize_file and vendrix.analyze_file: the vendrix command's passes, run in this process
// through the command's host library (FFmpeg reading and writing, audio, timestamps and metadata kept,
// output written whole or not at all), with the command's defaults.
#pragma once

#include <optional>
#include <string>

#include <pybind11/pybind11.h>

#include "options.h"

namespace vendrix::python {

struct EncoderChoice {
  std::string codec;   // empty: libx264 where the container takes H.264, else the container's own
  int crf = 18;
  std::string preset = "medium";
  std::string format;  // empty: from the output's name
};

// `progress`, when not None, is called as progress(stage, done, total) for every frame of every pass
// ("analyse", "render" or "stabilize"; total 0 when unknown). Ctrl-C and an exception raised by the
// callback stop the pass. Returns the seconds each stage took and the frame count (and, on the
// real-time road, the delay in frames).
pybind11::dict StabilizeFile(const std::string& in, const std::string& out, const Options& options,
                             const EncoderChoice& encoder, bool realtime, int look_ahead, const pybind11::object& progress);

// Analyses and smooths `in`; returns its size, frame count and the measured and smoothed camera paths
// (N x 4: x, y, rotation, zoom), and writes the motion file for `vendrix render` when one is named.
pybind11::dict AnalyzeFile(const std::string& in, const Options& options, const std::optional<std::string>& motion_file,
                           const pybind11::object& progress);

}  // namespace vendrix::python
