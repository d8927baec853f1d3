// The camera path before and after smoothing as an SVG chart: horizontal and vertical position,
// rotation and zoom against the frame number, one panel each.
#pragma once

#include <string>

#include "motion.h"

namespace vendrix::cli {

// Writes the chart to `path` (temporary name, then rename). Throws CliError.
void WritePathPlot(const std::string& path, const Motion& motion, const std::string& title);

}  // namespace vendrix::cli
