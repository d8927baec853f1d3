#include "path_plot.h"

#include <algorithm>
#include <cmath>
#include <functional>

#include <fmt/format.h>

#include "atomic_file.h"
#include "cli_error.h"

namespace vendrix::cli {

namespace {

constexpr int kWidth = 960, kPanelHeight = 170, kLeft = 80, kRight = 20, kTop = 50, kGap = 36;

struct Panel {
  const char* name;
  const char* unit;
  std::function<double(const PathSample&)> value;
};

std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else out += c;
  }
  return out;
}

double FrameX(size_t i, size_t n) {
  return kLeft + (n > 1 ? double(i) / double(n - 1) : 0.0) * (kWidth - kLeft - kRight);
}

// `value(i)` is the plotted value of frame i of n.
std::string Polyline(size_t n, const std::function<double(size_t)>& value, double lo, double hi, int y0,
                     const char* colour, double width) {
  std::string points;
  const double span = hi - lo;
  // One point per output pixel column is enough; long clips are thinned evenly.
  const size_t step = std::max<size_t>(1, n / (kWidth - kLeft - kRight));
  for (size_t i = 0; i < n; i += step) {
    const double y = y0 + kPanelHeight - (value(i) - lo) / span * kPanelHeight;
    points += fmt::format("{:.1f},{:.1f} ", FrameX(i, n), y);
  }
  return fmt::format(R"(<polyline fill="none" stroke="{}" stroke-width="{}" points="{}"/>)"
                     "\n",
                     colour, width, points);
}

// Light bands over the runs of frames the analysis could not measure.
std::string UnmeasuredBands(const std::vector<uint8_t>& measured, int y0) {
  std::string out;
  const size_t n = measured.size();
  const double frame_width = n > 1 ? double(kWidth - kLeft - kRight) / double(n - 1) : 0.0;
  for (size_t i = 0; i < n;) {
    if (measured[i]) {
      ++i;
      continue;
    }
    const size_t first = i;
    while (i < n && !measured[i]) ++i;
    out += fmt::format(R"(<rect x="{:.1f}" y="{}" width="{:.1f}" height="{}" fill="#f5b7b1"/>)"
                       "\n",
                       FrameX(first, n) - frame_width / 2, y0, std::max(1.0, double(i - first) * frame_width),
                       kPanelHeight);
  }
  return out;
}

}  // namespace

void WritePathPlot(const std::string& path, const Motion& motion, const std::vector<double>& framing_zoom,
                   const std::string& title) {
  const Panel panels[] = {
      {"horizontal position", "px", [](const PathSample& s) { return s.x; }},
      {"vertical position", "px", [](const PathSample& s) { return s.y; }},
      {"rotation", "degrees", [](const PathSample& s) { return s.rotation * 180.0 / M_PI; }},
      {"zoom", "%", [](const PathSample& s) { return (s.zoom - 1.0) * 100.0; }},
  };
  const int height = kTop + 4 * (kPanelHeight + kGap) + 20;
  const size_t n = motion.camera.size();
  const bool with_framing = framing_zoom.size() == n && n > 0;
  const size_t unmeasured =
      size_t(std::count(motion.measured.begin(), motion.measured.end(), uint8_t{0}));
  std::string svg = fmt::format(
      R"(<svg xmlns="http://www.w3.org/2000/svg" width="{0}" height="{1}" viewBox="0 0 {0} {1}" font-family="sans-serif" font-size="12">)"
      "\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      R"(<text x="{2}" y="22" font-size="15">{3}</text>)"
      "\n"
      R"(<text x="{2}" y="40" fill="#c0392b">measured camera path</text><text x="{4}" y="40" fill="#1f6fb2">after stabilisation</text>)"
      "\n",
      kWidth, height, kLeft, Escape(title), kLeft + 160);
  if (with_framing)
    svg += fmt::format(R"(<text x="{}" y="40" fill="#27ae60">zoom of the framing</text>)"
                       "\n",
                       kLeft + 300);
  if (unmeasured > 0)
    svg += fmt::format(R"(<text x="{}" y="40" fill="#c0392b">shaded: {} frames not measured</text>)"
                       "\n",
                       kLeft + 450, unmeasured);
  for (int k = 0; k < 4; ++k) {
    const Panel& p = panels[k];
    const int y0 = kTop + k * (kPanelHeight + kGap) + 14;
    const bool zoom_panel = k == 3;
    auto framing = [&](size_t i) { return (framing_zoom[i] - 1.0) * 100.0; };
    double lo = 0, hi = 0;
    for (size_t i = 0; i < n; ++i) {
      for (double v : {p.value(motion.camera[i]), p.value(motion.smoothed[i]),
                       zoom_panel && with_framing ? framing(i) : 0.0}) {
        if (!std::isfinite(v)) continue;
        lo = std::min(lo, v);
        hi = std::max(hi, v);
      }
    }
    // Some headroom, and a visible scale even for a flat line.
    const double pad = std::max((hi - lo) * 0.05, p.unit[0] == 'p' ? 0.5 : 0.01);
    lo -= pad;
    hi += pad;
    svg += fmt::format(R"(<text x="{}" y="{}" font-weight="bold">{} ({})</text>)"
                       "\n",
                       kLeft, y0 - 4, p.name, p.unit);
    if (motion.measured.size() == n) svg += UnmeasuredBands(motion.measured, y0);
    svg += fmt::format(R"(<rect x="{}" y="{}" width="{}" height="{}" fill="none" stroke="#999"/>)"
                       "\n",
                       kLeft, y0, kWidth - kLeft - kRight, kPanelHeight);
    for (const double v : {hi, (lo + hi) / 2, lo}) {
      const double y = y0 + kPanelHeight - (v - lo) / (hi - lo) * kPanelHeight;
      svg += fmt::format(R"(<text x="{}" y="{:.1f}" text-anchor="end">{:.3g}</text><line x1="{}" x2="{}" y1="{:.1f}" y2="{:.1f}" stroke="#eee"/>)"
                         "\n",
                         kLeft - 6, y + 4, v, kLeft, kWidth - kRight, y, y);
    }
    if (n > 0) {
      // The thin measured line goes on top, so it stays visible where the correction leaves it alone.
      svg += Polyline(n, [&](size_t i) { return p.value(motion.smoothed[i]); }, lo, hi, y0, "#1f6fb2", 2.2);
      svg += Polyline(n, [&](size_t i) { return p.value(motion.camera[i]); }, lo, hi, y0, "#c0392b", 1.0);
      if (zoom_panel && with_framing) svg += Polyline(n, framing, lo, hi, y0, "#27ae60", 1.4);
    }
    svg += fmt::format(R"(<text x="{}" y="{}">0</text><text x="{}" y="{}" text-anchor="end">frame {}</text>)"
                       "\n",
                       kLeft, y0 + kPanelHeight + 14, kWidth - kRight, y0 + kPanelHeight + 14, n > 0 ? n - 1 : 0);
  }
  svg += "</svg>\n";

  WriteFileAtomically(path, svg);
}

}  // namespace vendrix::cli
