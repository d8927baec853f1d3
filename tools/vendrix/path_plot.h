// The camera path before and after smoothing as an SVG chart: horizontal and vertical position,
// rotation and zoom against the frame number, one panel each. Frames the analysis could not measure
// are shaded; the zoom panel also shows the zoom the framing adds when the clip is rendered.
#pragma once

#include <string>
#include <vector>

#include "motion.h"

namespace vendrix::cli {

// Writes the chart to `path` (temporary name, then rename). Throws CliError.
// `framing_zoom` has one value per frame (FramingZoom) or is empty.
void WritePathPlot(const std::string& path, const Motion& motion, const std::vector<double>& framing_zoom,
                   const std::string& title);

}  // namespace vendrix::cli
