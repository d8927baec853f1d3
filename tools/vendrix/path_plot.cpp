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

std::string Polyline(const std::vector<PathSample>& samples, const Panel& p, double lo, double hi, int y0,
                     const char* colour, double width) {
  std::string points;
  const size_t n = samples.size();
  const double span = hi - lo;
  // One point per output pixel column is enough; long clips are thinned evenly.
  const size_t step = std::max<size_t>(1, n / (kWidth - kLeft - kRight));
  for (size_t i = 0; i < n; i += step) {
    const double x = kLeft + (n > 1 ? double(i) / double(n - 1) : 0.0) * (kWidth - kLeft - kRight);
    const double y = y0 + kPanelHeight - (p.value(samples[i]) - lo) / span * kPanelHeight;
    points += fmt::format("{:.1f},{:.1f} ", x, y);
  }
  return fmt::format(R"(<polyline fill="none" stroke="{}" stroke-width="{}" points="{}"/>)"
                     "\n",
                     colour, width, points);
}

}  // namespace

void WritePathPlot(const std::string& path, const Motion& motion, const std::string& title) {
  const Panel panels[] = {
      {"horizontal position", "px", [](const PathSample& s) { return s.x; }},
      {"vertical position", "px", [](const PathSample& s) { return s.y; }},
      {"rotation", "degrees", [](const PathSample& s) { return s.rotation * 180.0 / M_PI; }},
      {"zoom", "%", [](const PathSample& s) { return (s.zoom - 1.0) * 100.0; }},
  };
  const int height = kTop + 4 * (kPanelHeight + kGap) + 20;
  std::string svg = fmt::format(
      R"(<svg xmlns="http://www.w3.org/2000/svg" width="{0}" height="{1}" viewBox="0 0 {0} {1}" font-family="sans-serif" font-size="12">)"
      "\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
      R"(<text x="{2}" y="22" font-size="15">{3}</text>)"
      "\n"
      R"(<text x="{2}" y="40" fill="#c0392b">measured camera path</text><text x="{4}" y="40" fill="#1f6fb2">after stabilisation</text>)"
      "\n",
      kWidth, height, kLeft, Escape(title), kLeft + 160);
  const size_t n = motion.camera.size();
  for (int k = 0; k < 4; ++k) {
    const Panel& p = panels[k];
    const int y0 = kTop + k * (kPanelHeight + kGap) + 14;
    double lo = 0, hi = 0;
    for (size_t i = 0; i < n; ++i) {
      for (double v : {p.value(motion.camera[i]), p.value(motion.smoothed[i])}) {
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
      svg += Polyline(motion.smoothed, p, lo, hi, y0, "#1f6fb2", 2.2);
      svg += Polyline(motion.camera, p, lo, hi, y0, "#c0392b", 1.0);
    }
    svg += fmt::format(R"(<text x="{}" y="{}">0</text><text x="{}" y="{}" text-anchor="end">frame {}</text>)"
                       "\n",
                       kLeft, y0 + kPanelHeight + 14, kWidth - kRight, y0 + kPanelHeight + 14, n > 0 ? n - 1 : 0);
  }
  svg += "</svg>\n";

  WriteFileAtomically(path, svg);
}

}  // namespace vendrix::cli
